"""Quality numbers of a fit, raw and normalised to N-H, overall and per bond type.

Couplings of different bond types differ in size by their dipolar constants
(a CA-HA coupling is about twice an N-H coupling of the same orientation, a
C-N one about an eighth), so numbers taken over raw Hz are dominated by the
large types.  The field compares couplings *normalised to N-H*: each
observed and calculated value divided by its type's dipolar constant at the
standard length, relative to N-H at its standard length (a factor per type,
the same for every row of the type, whatever distance the structure puts
between the atoms).  That is what :func:`normalisation_factors` gives.

Definitions, over N values (observed o, calculated c, residual e = o - c,
uncertainty s):

* RMS = sqrt(mean(e^2));
* Q = RMS / rms(o) (the quality factor of most papers);
* Q (Clore-Garrett) = RMS / sqrt(2 Da^2 (4 + 3 R^2) / 5), from the tensor
  rather than the values (:func:`clore_garrett_q`);
* Q(sd) = RMS / sd(o), sd with N - 1: the reference fit files' ``Q RDC_RMS``;
* Pearson r of o and c;
* chi^2 = sum((e / s)^2) and chi^2 / (N - free parameters).

Normalised, o, c and e are divided by the row's factor while s stays as
given: the normalised chi^2 is then the reference files' ``Chi2`` (so it is
a figure to compare with those files, not a statistical chi^2: the raw
chi^2 is that).  An outlier is judged on e / s, which is the same raw or
normalised; without uncertainties on |e| against twice the normalised RMS.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .bonds import STANDARD_LENGTHS, dipolar_constant

__all__ = [
    "NORMALISED_TO",
    "OUTLIER_RMS",
    "OUTLIER_SIGMAS",
    "Quality",
    "Regression",
    "ResidueQuality",
    "Statistics",
    "chi_square",
    "clore_garrett_q",
    "fit_statistics",
    "normalisation_factors",
    "outlier_rule",
    "outliers",
    "pearson",
    "q_factor",
    "quality",
    "regression",
    "root_mean_square",
    "signed_factors",
    "tensor_rms",
]

#: The bond type every coupling is normalised to.
NORMALISED_TO = "N-H"

#: A coupling with an uncertainty is an outlier beyond this many of them.
OUTLIER_SIGMAS = 3.0
#: Without uncertainties: beyond this many normalised RMS.
OUTLIER_RMS = 2.0


def root_mean_square(values: NDArray[np.float64]) -> float:
    """sqrt(mean(values^2)); nan for no values."""
    n = values.size
    return math.sqrt(float(values @ values) / n) if n else math.nan


def q_factor(residuals: NDArray[np.float64], observed: NDArray[np.float64]) -> float:
    """rms(residuals) / rms(observed); nan when the observed values are all 0."""
    rms_obs = root_mean_square(observed)
    return root_mean_square(residuals) / rms_obs if rms_obs > 0 else math.nan


def tensor_rms(da: float, r: float, mean_scale2: float = 1.0) -> float:
    """The root-mean-square coupling of a tensor over bonds spread evenly in
    every direction: |Da| sqrt((4 + 3 R^2) / 5), each row's Da times its
    scale (``mean_scale2``: the mean squared row scale).  Whatever angle
    triple describes the tensor, so R need not be canonical."""
    return abs(da) * math.sqrt((4.0 + 3.0 * r**2) / 5.0 * mean_scale2)


def clore_garrett_q(rms: float, da: float, r: float, mean_scale2: float = 1.0) -> float:
    """Q as Clore and Garrett published it (J. Am. Chem. Soc. 1999, 121,
    9008): rms(observed - calculated) / sqrt(2 Da^2 (4 + 3 R^2) / 5), the
    denominator's Da^2 times ``mean_scale2`` for rows of several bond
    types; nan for Da = 0.  It is the Q (Da) of :class:`FitResult` over
    sqrt(2)."""
    expected = math.sqrt(2.0) * tensor_rms(da, r, mean_scale2)
    return rms / expected if expected > 0 else math.nan


def _sd(values: NDArray[np.float64]) -> float:
    n = values.size
    if n < 2:
        return math.nan
    centred = values - float(values.sum()) / n
    return math.sqrt(float(centred @ centred) / (n - 1))


def pearson(a: NDArray[np.float64], b: NDArray[np.float64]) -> float:
    """Pearson's r of two equally long arrays; nan when either is constant."""
    n = a.size
    if n < 2:
        return math.nan
    # Centred first, so that a large common offset costs no precision.
    ac = a - float(a.sum()) / n
    bc = b - float(b.sum()) / n
    spread = float(ac @ ac) * float(bc @ bc)
    return float(ac @ bc) / math.sqrt(spread) if spread > 0 else math.nan


def chi_square(
    residuals: NDArray[np.float64], sigma: NDArray[np.float64] | None
) -> float:
    """sum((residual / sigma)^2); nan without sigma."""
    if sigma is None:
        return math.nan
    weighted = residuals / sigma
    return float(weighted @ weighted)


@dataclass(frozen=True)
class Quality:
    """The quality numbers of one set of couplings (all, or one bond type).

    Attributes:
        n: number of couplings.
        rms: root-mean-square residual.
        q: RMS / rms(observed).
        q_sd: RMS / sd(observed) with N - 1.
        pearson_r: Pearson's r of observed and calculated.
        chi2: sum of (residual / sigma)^2 (nan without sigma).
        reduced_chi2: chi2 / (N - free parameters) (nan without sigma or
            spare couplings).
    """

    n: int
    rms: float
    q: float
    q_sd: float
    pearson_r: float
    chi2: float
    reduced_chi2: float

    def as_dict(self) -> dict[str, float | int | None]:
        """Plain JSON values; numbers that do not exist are None."""
        out: dict[str, float | int | None] = {"n": self.n}
        for key in ("rms", "q", "q_sd", "pearson_r", "chi2", "reduced_chi2"):
            value = float(getattr(self, key))
            out[key] = value if math.isfinite(value) else None
        return out


def quality(
    observed: ArrayLike,
    calculated: ArrayLike,
    sigma: ArrayLike | None = None,
    *,
    free_parameters: int = 5,
) -> Quality:
    """The quality numbers of observed against calculated values."""
    o = np.asarray(observed, dtype=np.float64)
    c = np.asarray(calculated, dtype=np.float64)
    s = None if sigma is None else np.asarray(sigma, dtype=np.float64)
    e = o - c
    rms = root_mean_square(e)
    sd = _sd(o)
    chi2 = chi_square(e, s)
    dof = o.size - free_parameters
    return Quality(
        n=int(o.size),
        rms=rms,
        q=q_factor(e, o),
        q_sd=rms / sd if sd > 0 else math.nan,
        pearson_r=pearson(o, c),
        chi2=chi2,
        reduced_chi2=chi2 / dof if dof > 0 else math.nan,
    )


@dataclass(frozen=True)
class Regression:
    """A straight line through calculated against observed values.

    The reference fit files regress the calculated values on the observed
    ones (calculated = offset + slope * observed), with the standard errors
    of ordinary least squares.
    """

    slope: float
    slope_sd: float
    offset: float
    offset_sd: float

    def as_dict(self) -> dict[str, float | None]:
        """Plain JSON values."""
        return {
            k: (v if math.isfinite(v) else None)
            for k, v in (
                ("slope", self.slope),
                ("slope_sd", self.slope_sd),
                ("offset", self.offset),
                ("offset_sd", self.offset_sd),
            )
        }


def regression(observed: ArrayLike, calculated: ArrayLike) -> Regression:
    """Least-squares line of calculated on observed, with standard errors."""
    x = np.asarray(observed, dtype=np.float64)
    y = np.asarray(calculated, dtype=np.float64)
    n = x.size
    nan = Regression(math.nan, math.nan, math.nan, math.nan)
    if n < 3:
        return nan
    xm, ym = float(x.sum()) / n, float(y.sum()) / n
    xc = x - xm
    sxx = float(xc @ xc)
    if sxx <= 0:
        return nan
    slope = float(xc @ (y - ym)) / sxx
    offset = ym - slope * xm
    e = y - offset - slope * x
    s2 = float(e @ e) / (n - 2)
    return Regression(
        slope=slope,
        slope_sd=math.sqrt(s2 / sxx),
        offset=offset,
        offset_sd=math.sqrt(s2 * (1.0 / n + xm * xm / sxx)),
    )


def _type_constant(kind: str, length: float) -> float:
    heavy, proton = kind.split("-", 1)
    return abs(dipolar_constant(heavy, proton, length))


def normalisation_factors(
    types: Sequence[str],
    *,
    scale: ArrayLike | None = None,
    nh_sign: float = 1.0,
    lengths: Mapping[str, float] | None = None,
    constants: ArrayLike | None = None,
) -> NDArray[np.float64]:
    """Each row's factor to N-H: a value over it is the N-H equivalent.

    The factor of a type is its dipolar constant at its standard length (or
    the length given for it in ``lengths``) over that of N-H at the N-H
    standard length, so every row of one type shares it.  A type with
    neither takes the mean magnitude of its rows' ``constants``.  In the
    physical sign convention (``scale`` signed, ``nh_sign`` -1) a type whose
    constant has the other sign than N-H's gets a negative factor, so that
    normalised values carry N-H's signs.

    Raises:
        ValueError: a type without a length and no constants to stand in.
    """
    given = dict(lengths or {})
    nh = _type_constant(NORMALISED_TO, STANDARD_LENGTHS[NORMALISED_TO])
    by_type: dict[str, float] = {}
    k = None if constants is None else np.abs(np.asarray(constants, dtype=np.float64))
    for kind in dict.fromkeys(types):
        length = given.get(kind, STANDARD_LENGTHS.get(kind))
        if length is not None:
            by_type[kind] = _type_constant(kind, length) / nh
        elif k is not None:
            rows = [i for i, t in enumerate(types) if t == kind]
            by_type[kind] = float(k[rows].mean()) / nh
        else:
            raise ValueError(f"bond type {kind} has no standard length to normalise by")
    return signed_factors([by_type[t] for t in types], scale, nh_sign)


def signed_factors(
    magnitudes: ArrayLike, scale: ArrayLike | None, nh_sign: float = 1.0
) -> NDArray[np.float64]:
    """Each row's factor to N-H from its type's magnitude: in the physical
    sign convention (``scale`` signed, ``nh_sign`` -1) a row whose scale has
    the other sign than an N-H row's gets a negative factor, so that
    normalised values carry N-H's signs (as do rows ``flip`` turned)."""
    factors = np.array(magnitudes, dtype=np.float64)
    if scale is not None:
        factors *= np.sign(np.asarray(scale, dtype=np.float64)) * nh_sign
    return factors


def outliers(
    normalised_residuals: ArrayLike,
    factors: ArrayLike,
    sigma: ArrayLike | None,
) -> NDArray[np.bool_]:
    """Which couplings are outliers, by the one rule every output uses.

    With uncertainties: |residual| / sigma > :data:`OUTLIER_SIGMAS`, the
    normalised residual over the normalised sigma (sigma / |factor|), which
    is the raw ratio.  Without: |normalised residual| > :data:`OUTLIER_RMS`
    normalised RMS.
    """
    e = np.asarray(normalised_residuals, dtype=np.float64)
    if sigma is not None:
        s = np.asarray(sigma, dtype=np.float64) / np.abs(np.asarray(factors))
        flagged: NDArray[np.bool_] = np.abs(e) / s > OUTLIER_SIGMAS
        return flagged
    rms = root_mean_square(e)
    return np.abs(e) > OUTLIER_RMS * rms if rms > 0 else np.zeros(e.size, dtype=bool)


def outlier_rule(weighted: bool) -> str:
    """The outlier rule in words, as the text, the JSON and the figure say it."""
    if weighted:
        return f"|residual| / sigma > {OUTLIER_SIGMAS:g}"
    return f"|normalised residual| > {OUTLIER_RMS:g} normalised RMS"


@dataclass(frozen=True)
class ResidueQuality:
    """The couplings of one residue.

    Attributes:
        chain, residue, resname: the residue (of the first atom of each
            coupling).
        residuals: (bond type, normalised residual) of each of its couplings.
        q: rms of its normalised residuals over sd(all normalised observed
            values): its share of the overall Q(sd), whose square is the
            count-weighted mean of these squared.
    """

    chain: str
    residue: int
    resname: str
    residuals: list[tuple[str, float]]
    q: float


@dataclass(frozen=True)
class Statistics:
    """Everything :func:`fit_statistics` finds.

    Attributes:
        raw, normalised: over every coupling, in raw Hz and normalised to N-H.
        per_type: (raw, normalised) for each bond type, in order of first
            appearance; a type's reduced chi^2 is its chi^2 over its count.
        regression: of normalised calculated on normalised observed values.
        factors: each row's normalisation factor.
        normalised_residuals: each row's residual over its factor.
        outliers: each row's outlier flag (:func:`outliers`).
        outlier_rule: the rule in words.
        type_factors: the magnitude of each bond type's factor.
        residues: per residue, in order of first appearance.
        mixed: whether more than one bond type is present (then the
            normalised numbers are the ones to read).
    """

    raw: Quality
    normalised: Quality
    per_type: dict[str, tuple[Quality, Quality]]
    regression: Regression
    factors: NDArray[np.float64]
    normalised_residuals: NDArray[np.float64]
    outliers: NDArray[np.bool_]
    outlier_rule: str
    type_factors: dict[str, float] = field(default_factory=dict)
    residues: list[ResidueQuality] = field(default_factory=list)
    mixed: bool = False


def fit_statistics(
    observed: ArrayLike,
    calculated: ArrayLike,
    *,
    sigma: ArrayLike | None = None,
    types: Sequence[str] | None = None,
    factors: ArrayLike | None = None,
    residues: Sequence[tuple[str, int, str]] | None = None,
    free_parameters: int = 5,
) -> Statistics:
    """The quality numbers of one fit, raw and normalised, per type and residue.

    Args:
        observed, calculated: the values, in the fit's units (Hz).
        sigma: per-row uncertainties, or None.
        types: each row's bond type (None: one type, factors 1).
        factors: each row's normalisation factor
            (:func:`normalisation_factors`); all 1 when None.
        residues: each row's (chain, residue number, residue name), for the
            per-residue table; none when None.
        free_parameters: parameters the fit moved (5, or 6 with an offset).
    """
    o = np.asarray(observed, dtype=np.float64)
    c = np.asarray(calculated, dtype=np.float64)
    n = o.size
    s = None if sigma is None else np.asarray(sigma, dtype=np.float64)
    kinds = list(types) if types is not None else ["all"] * n
    f = np.ones(n) if factors is None else np.asarray(factors, dtype=np.float64)
    no, nc = o / f, c / f
    ne = no - nc
    rows = {
        t: np.flatnonzero(np.array([k == t for k in kinds]))
        for t in dict.fromkeys(kinds)
    }
    per_type = {
        t: (
            quality(o[i], c[i], None if s is None else s[i], free_parameters=0),
            quality(no[i], nc[i], None if s is None else s[i], free_parameters=0),
        )
        for t, i in rows.items()
    }
    flagged = outliers(ne, f, s)
    table: list[ResidueQuality] = []
    if residues is not None:
        sd = _sd(no)
        groups: dict[tuple[str, int, str], list[int]] = {}
        for i, key in enumerate(residues):
            groups.setdefault(key, []).append(i)
        for (chain, number, name), members in groups.items():
            e = ne[members]
            table.append(
                ResidueQuality(
                    chain=chain,
                    residue=number,
                    resname=name,
                    residuals=[(kinds[i], float(ne[i])) for i in members],
                    q=root_mean_square(e) / sd if sd > 0 else math.nan,
                )
            )
    return Statistics(
        raw=quality(o, c, s, free_parameters=free_parameters),
        normalised=quality(no, nc, s, free_parameters=free_parameters),
        per_type=per_type,
        regression=regression(no, nc),
        factors=f,
        normalised_residuals=ne,
        outliers=flagged,
        outlier_rule=outlier_rule(s is not None),
        type_factors={t: abs(float(f[i[0]])) for t, i in rows.items()},
        residues=table,
        mixed=len(rows) > 1,
    )
