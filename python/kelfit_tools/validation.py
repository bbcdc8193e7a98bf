"""Cross-validation and outliers: couplings kept out of a fit and judged by it.

* :func:`free_validation`: a free set of couplings is left out of the fit
  and predicted from it; its Q (free Q) says how well the tensor predicts
  couplings it never saw, which a fit's own Q cannot (five parameters fit
  noise too).
* :func:`cross_validate`: K-fold cross-validation: every coupling is free
  once, in one of K random folds; the folds' free Q with its spread.
* :func:`reject_outliers`: the coupling furthest beyond K normalised sigma
  is left out and the rest refitted, until none is; each exclusion is
  reported with the Q before and after.

Every fit here is weighted and scaled as the fit it checks (its ``sigma``
and ``scale``), and every Q is the statistics module's, over couplings
normalised to N-H (the raw Q where there is one bond type).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .fitting import DesignRows, FitResult, back_calculate, fit
from .prepare import free_parameters
from .statistics import quality

__all__ = [
    "REJECT_FLOOR",
    "REJECT_WARN_SHARE",
    "CrossValidation",
    "Exclusion",
    "FreeValidation",
    "Rejection",
    "check_threshold",
    "cross_validate",
    "free_mask",
    "free_validation",
    "reject_outliers",
]

#: Lowest rejection threshold (normalised sigma): below one sigma even sound
#: couplings are mostly "outliers", and without uncertainties each one left
#: out lowers the RMS, so the loop would eat the data set.
REJECT_FLOOR = 1.0

#: Share of a medium's couplings whose rejection is worth a warning.
REJECT_WARN_SHARE = 0.2


def check_threshold(threshold: float) -> None:
    """Refuse a rejection threshold below :data:`REJECT_FLOOR` (or not finite).

    Raises:
        ValueError: naming the range.
    """
    if not (REJECT_FLOOR <= threshold < math.inf):
        raise ValueError(
            f"the rejection threshold must be a finite number of normalised "
            f"sigma from {REJECT_FLOOR:g}, got {threshold}"
        )


#: Fewest couplings a held-out fit keeps per free parameter.
_MIN_ROWS_PER_PARAMETER = 1


@dataclass(frozen=True)
class _Rows:
    """What every held-out fit needs, for all rows."""

    vectors: NDArray[np.float64] | DesignRows
    observed: NDArray[np.float64]
    sigma: NDArray[np.float64] | None
    scale: NDArray[np.float64] | None
    factors: NDArray[np.float64]
    offset: bool

    def fit(self, keep: NDArray[np.bool_]) -> FitResult:
        needed = free_parameters(self.offset) + _MIN_ROWS_PER_PARAMETER
        if int(keep.sum()) < needed:
            raise ValueError(
                f"{int(keep.sum())} couplings left to fit; a fit needs at least "
                f"{needed}"
            )
        return fit(
            self.vectors[keep],
            self.observed[keep],
            offset=self.offset,
            sigma=None if self.sigma is None else self.sigma[keep],
            scale=None if self.scale is None else self.scale[keep],
        )

    def predict(
        self, result: FitResult, rows: NDArray[np.bool_]
    ) -> NDArray[np.float64]:
        return back_calculate(
            self.vectors[rows],
            result.params,
            scale=None if self.scale is None else self.scale[rows],
        )

    def q(self, rows: NDArray[np.bool_], calculated: NDArray[np.float64]) -> float:
        f = self.factors[rows]
        return quality(self.observed[rows] / f, calculated / f).q


def _rows(
    vectors: ArrayLike | DesignRows,
    result: FitResult,
    factors: ArrayLike | None,
) -> _Rows:
    n = result.observed.size
    v: NDArray[np.float64] | DesignRows
    if isinstance(vectors, DesignRows):
        v = vectors
        if len(v) != n:
            raise ValueError(f"need {n} design rows as the fit's rows, got {len(v)}")
    else:
        v = np.asarray(vectors, dtype=np.float64)
        if v.shape != (n, 3):
            raise ValueError(
                f"vectors must be {n} x 3 as the fit's rows, got {v.shape}"
            )
    f = np.ones(n) if factors is None else np.asarray(factors, dtype=np.float64)
    if f.shape != (n,):
        raise ValueError(f"factors must hold {n} values, got {f.shape}")
    return _Rows(
        v, result.observed, result.sigma, result.scale, f, result.offset_fitted
    )


def free_mask(
    count: int, fraction: float, rng: np.random.Generator
) -> NDArray[np.bool_]:
    """A random free set: round(fraction * count) of ``count`` rows, at least 1.

    Raises:
        ValueError: a fraction outside (0, 1).
    """
    if not 0.0 < fraction < 1.0:
        raise ValueError(f"the free fraction must lie between 0 and 1, got {fraction}")
    size = min(count - 1, max(1, round(fraction * count)))
    mask = np.zeros(count, dtype=bool)
    mask[rng.choice(count, size=size, replace=False)] = True
    return mask


@dataclass(frozen=True, eq=False)
class FreeValidation:
    """A fit of the working couplings, judged on the free ones.

    Attributes:
        free: which rows were free (left out of the fit).
        result: the fit of the working rows.
        calculated: the free rows' values predicted by it.
        q_free: Q of the free rows' prediction.
        q_work: Q of the working rows (the fit's own).
    """

    free: NDArray[np.bool_]
    result: FitResult
    calculated: NDArray[np.float64]
    q_free: float
    q_work: float


def free_validation(
    vectors: ArrayLike | DesignRows,
    result: FitResult,
    free: ArrayLike,
    *,
    factors: ArrayLike | None = None,
) -> FreeValidation:
    """Refit without the ``free`` rows and predict them (free Q).

    Args:
        vectors: the fit's N x 3 vectors.
        result: the fit of all rows (its sigma, scale and offset setting
            are kept).
        free: N booleans, True for a free row.
        factors: each row's factor normalising it to N-H
            (:attr:`Statistics.factors`); all 1 when None.

    Raises:
        ValueError: no free row, or too few working rows for a fit.
    """
    rows = _rows(vectors, result, factors)
    mask = np.asarray(free, dtype=bool)
    if mask.shape != rows.observed.shape or not mask.any():
        raise ValueError("the free set must hold at least one of the fit's rows")
    work = ~mask
    refit = rows.fit(work)
    calculated = rows.predict(refit, mask)
    return FreeValidation(
        free=mask,
        result=refit,
        calculated=calculated,
        q_free=rows.q(mask, calculated),
        q_work=rows.q(work, refit.calculated),
    )


@dataclass(frozen=True, eq=False)
class CrossValidation:
    """K-fold cross-validation of a fit.

    Attributes:
        folds: K.
        q_free: each fold's free Q.
        q_mean, q_sd: their mean and standard deviation (N - 1).
        q_pooled: Q of every coupling predicted while free, all at once.
        fold: each row's fold (0 to K - 1).
        calculated: each row's value predicted while it was free.
    """

    folds: int
    q_free: NDArray[np.float64]
    q_mean: float
    q_sd: float
    q_pooled: float
    fold: NDArray[np.int64]
    calculated: NDArray[np.float64]


def cross_validate(
    vectors: ArrayLike | DesignRows,
    result: FitResult,
    folds: int,
    rng: np.random.Generator,
    *,
    factors: ArrayLike | None = None,
) -> CrossValidation:
    """K-fold free Q: the rows in K random folds of (nearly) equal size,
    each fold predicted by a fit of the others.

    Raises:
        ValueError: K below 2 or above the number of rows, or folds whose
            complements are too small to fit.
    """
    rows = _rows(vectors, result, factors)
    n = rows.observed.size
    if not 2 <= folds <= n:
        raise ValueError(f"cross-validation needs 2 to {n} folds, got {folds}")
    fold = np.empty(n, dtype=np.int64)
    for k, members in enumerate(np.array_split(rng.permutation(n), folds)):
        fold[members] = k
    calculated = np.empty(n)
    q = np.empty(folds)
    for k in range(folds):
        free = fold == k
        refit = rows.fit(~free)
        calculated[free] = rows.predict(refit, free)
        q[k] = rows.q(free, calculated[free])
    everything = np.ones(n, dtype=bool)
    return CrossValidation(
        folds=folds,
        q_free=q,
        q_mean=float(np.mean(q)),
        q_sd=float(np.std(q, ddof=1)),
        q_pooled=rows.q(everything, calculated),
        fold=fold,
        calculated=calculated,
    )


@dataclass(frozen=True)
class Exclusion:
    """One coupling left out by :func:`reject_outliers`.

    Attributes:
        index: its row in the fit given.
        label: its label.
        deviation: its residual in normalised sigma when it was left out.
        q_before, q_after: Q of the fit before and after leaving it out.
    """

    index: int
    label: str
    deviation: float
    q_before: float
    q_after: float


@dataclass(frozen=True, eq=False)
class Rejection:
    """Outliers left out one at a time, with refits.

    Attributes:
        threshold: K, in normalised sigma.
        excluded: every exclusion, in order.
        kept: which rows the last fit kept.
        result: the last fit (of the kept rows).
        q_before, q_after: Q of the first fit and of the last.
        measure: what the deviation is measured in: ``"sigma"`` (the
            residual over the row's uncertainty) or ``"rms"`` (the
            normalised residual over the normalised RMS, for an
            unweighted fit).
    """

    threshold: float
    excluded: list[Exclusion] = field(default_factory=list)
    kept: NDArray[np.bool_] = field(default_factory=lambda: np.zeros(0, bool))
    result: FitResult | None = None
    q_before: float = math.nan
    q_after: float = math.nan
    measure: str = "sigma"


def _deviations(
    rows: _Rows, keep: NDArray[np.bool_], result: FitResult
) -> NDArray[np.float64]:
    """Each kept row's residual in normalised sigma."""
    if rows.sigma is not None:
        out: NDArray[np.float64] = result.residuals / rows.sigma[keep]
        return out
    normalised = result.residuals / rows.factors[keep]
    rms = math.sqrt(float(normalised @ normalised) / normalised.size)
    return normalised / rms if rms > 0 else np.zeros_like(normalised)


def reject_outliers(
    vectors: ArrayLike | DesignRows,
    result: FitResult,
    threshold: float,
    *,
    labels: Sequence[str] | None = None,
    factors: ArrayLike | None = None,
) -> Rejection:
    """Leave out the worst coupling beyond ``threshold`` normalised sigma
    and refit, until no coupling is beyond it.

    The deviation is the residual over the row's uncertainty; for an
    unweighted fit the normalised residual over the normalised RMS.  One
    coupling goes at a time, since one bad coupling pulls the tensor and so
    the residuals of others.  It stops early, with the rows it has, where
    one more exclusion would leave too few couplings to fit.

    Raises:
        ValueError: a threshold below :data:`REJECT_FLOOR`.
    """
    check_threshold(threshold)
    rows = _rows(vectors, result, factors)
    n = rows.observed.size
    names = list(labels) if labels is not None else [str(i + 1) for i in range(n)]
    keep = np.ones(n, dtype=bool)
    current = result
    q_start = rows.q(keep, current.calculated)
    q_now = q_start
    excluded: list[Exclusion] = []
    needed = free_parameters(rows.offset) + _MIN_ROWS_PER_PARAMETER
    while True:
        z = _deviations(rows, keep, current)
        worst = int(np.argmax(np.abs(z)))
        if abs(float(z[worst])) <= threshold or int(keep.sum()) - 1 < needed:
            break
        index = int(np.flatnonzero(keep)[worst])
        keep[index] = False
        current = rows.fit(keep)
        q_next = rows.q(keep, current.calculated)
        excluded.append(Exclusion(index, names[index], float(z[worst]), q_now, q_next))
        q_now = q_next
    return Rejection(
        threshold=float(threshold),
        excluded=excluded,
        kept=keep,
        result=current,
        q_before=q_start,
        q_after=q_now,
        measure="sigma" if rows.sigma is not None else "rms",
    )
