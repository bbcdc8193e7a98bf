"""Error estimates by repeated fitting of perturbed data."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._progress import track, wanted
from .fitting import FitResult, _observed, _row_factors, _vectors, fit, linear_start
from .tensor import canonical

__all__ = ["MonteCarloResult", "monte_carlo"]

Seed = Union[None, int, np.random.Generator]

#: Fresh draws allowed for one bootstrap refit before giving up.
_BOOTSTRAP_REDRAWS = 50


@dataclass(frozen=True, eq=False)
class MonteCarloResult:
    """Spread of the tensor over refits of perturbed data.

    Da, R and Dr are taken from each refit's canonical form
    (0 <= R <= 2/3), so equivalent parameter sets from different refits
    compare like for like.

    Attributes:
        method: ``"noise"`` or ``"bootstrap"``.
        trials: number of refits.
        sigma: standard deviation of the added noise (``nan`` for bootstrap
            and for per-row sigmas, which are the fit's own).
        da_sd, r_sd, dr_sd, offset_sd: standard deviations over the refits
            (``offset_sd`` is 0 when the offset was not fitted).
        axis_spread_deg: for the principal axes x, y and z, the
            root-mean-square angle (degrees) between each refit's axis and
            the best fit's.
        da, r, offset: the canonical values of every refit.
    """

    method: str
    trials: int
    sigma: float
    da_sd: float
    r_sd: float
    dr_sd: float
    offset_sd: float
    axis_spread_deg: tuple[float, float, float]
    da: NDArray[np.float64]
    r: NDArray[np.float64]
    offset: NDArray[np.float64]


def _axis_angles(
    reference: NDArray[np.float64], axes: NDArray[np.float64]
) -> NDArray[np.float64]:
    # An axis and its negative are the same axis.
    cosines = np.clip(np.abs(np.sum(reference * axes, axis=1)), 0.0, 1.0)
    angles: NDArray[np.float64] = np.degrees(np.arccos(cosines))
    return angles


def _rows(a: NDArray[np.float64] | None, rows: NDArray[np.int64]) -> Any:
    return None if a is None else a[rows]


def _bootstrap_fit(
    v: NDArray[np.float64],
    o: NDArray[np.float64],
    rng: np.random.Generator,
    offset: bool,
    sigma: NDArray[np.float64] | None = None,
    scale: NDArray[np.float64] | None = None,
) -> FitResult:
    count = v.shape[0]
    for _ in range(_BOOTSTRAP_REDRAWS):
        # Each row, the last included, is drawn with probability 1/count.
        rows = rng.integers(0, count, count)
        w, k = _rows(sigma, rows), _rows(scale, rows)
        try:
            start = linear_start(v[rows], o[rows], offset=offset, sigma=w, scale=k)
        except ValueError:
            continue
        return fit(v[rows], o[rows], start, offset=offset, sigma=w, scale=k)
    raise ValueError(
        "bootstrap: resampled rows keep failing to determine the tensor; "
        "too few vectors for resampling"
    )


def monte_carlo(
    vectors: ArrayLike,
    observed: ArrayLike,
    trials: int = 100,
    *,
    method: str = "noise",
    sigma: float | ArrayLike | None = None,
    offset: bool = False,
    scale: ArrayLike | None = None,
    result: FitResult | None = None,
    seed: Seed = None,
    progress: bool | None = None,
) -> MonteCarloResult:
    """Estimate the uncertainty of a fit by refitting perturbed data.

    With ``method="noise"`` each refit adds Gaussian noise of standard
    deviation ``sigma`` (default: the best fit's RMSD) to the observed
    values; with ``method="bootstrap"`` each refit uses N rows drawn with
    replacement (a draw whose directions cannot determine the tensor is
    drawn again).  Per-row sigmas (an array) are both the noise of each row
    and the weights of every refit, as in a chi^2 fit; the rows keep their
    sigma and scale when they are resampled.

    Args:
        vectors: N x 3 array of bond vectors.
        observed: N observed values.
        trials: number of refits (K).
        method: ``"noise"`` or ``"bootstrap"``.
        sigma: noise standard deviation for ``"noise"``, one for all rows, or
            one per row (then also the fit's weights, for either method).
        offset: fit the offset too.
        scale: per-row factors of Da and Dr, as given to :func:`fit`.
        result: the best fit, if already computed.
        seed: seed or generator, for reproducible estimates.
        progress: show a progress bar on stderr; None: when it is a terminal.

    Returns:
        A :class:`MonteCarloResult`.
    """
    if method not in ("noise", "bootstrap"):
        raise ValueError(f"method must be 'noise' or 'bootstrap', got {method!r}")
    if trials < 2:
        raise ValueError(f"trials must be at least 2, got {trials}")
    v = _vectors(vectors)
    o = _observed(observed, v.shape[0])
    factors = _row_factors(scale, v.shape[0], "scale")
    w = None
    if sigma is not None and np.ndim(sigma) > 0:
        w = _row_factors(sigma, v.shape[0], "sigma")
    best = (
        result
        if result is not None
        else fit(v, o, offset=offset, sigma=w, scale=factors)
    )
    if method == "noise" and w is None:
        s = best.rmsd if sigma is None else float(sigma)  # type: ignore[arg-type]
        if not (s > 0 and math.isfinite(s)):
            raise ValueError(f"noise sigma must be positive, got {s}")
    else:
        s = math.nan
    rng = np.random.default_rng(seed)
    reference = best.tensor().axes
    count = v.shape[0]
    da = np.empty(trials)
    r = np.empty(trials)
    off = np.empty(trials)
    angles = np.empty((trials, 3))
    label = "Monte Carlo" if method == "noise" else "Bootstrap"
    for k in track(range(trials), trials, label, wanted(progress)):
        if method == "noise":
            noise = rng.normal(0.0, s if w is None else w, count)
            trial = fit(v, o + noise, offset=offset, sigma=w, scale=factors)
        else:
            trial = _bootstrap_fit(v, o, rng, offset, w, factors)
        t = canonical(trial.params)
        da[k], r[k], off[k] = t.da, t.r, trial.offset
        angles[k] = _axis_angles(reference, t.axes)
    spread = np.sqrt(np.mean(angles**2, axis=0))
    return MonteCarloResult(
        method=method,
        trials=trials,
        sigma=s,
        da_sd=float(np.std(da, ddof=1)),
        r_sd=float(np.std(r, ddof=1)),
        dr_sd=float(np.std(1.5 * da * r, ddof=1)),
        offset_sd=float(np.std(off, ddof=1)) if offset else 0.0,
        axis_spread_deg=(float(spread[0]), float(spread[1]), float(spread[2])),
        da=da,
        r=r,
        offset=off,
    )
