"""Da and R without a structure: the histogram (powder-pattern) method.

Bonds spread evenly over every direction would give couplings distributed
as the powder pattern of the tensor: D = Da (3 cos^2 theta - 1) +
1.5 Da R sin^2 theta cos 2 phi over a uniform sphere, from -Da (1 + 1.5 R)
to 2 Da with a peak at -Da (1 - 1.5 R).  Each measured coupling is taken as
one draw from that pattern, blurred by its uncertainty and by a width
common to all (how far a real molecule's few bonds are from an even
spread), and Da, R and that width are those of maximum likelihood.  Using
the whole line shape, not the most extreme couplings, keeps one stray value
from setting the estimate.

Couplings of every bond type are first normalised to N-H
(:func:`~kelfit_tools.statistics.normalisation_factors`), so the estimate is
Da(N-H) in the sign convention of the values.  The errors come from the
curvature of the log-likelihood at its maximum.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .bonds import SIGN_CONVENTIONS, bond_type, dipolar_constant
from .io import Coupling
from .statistics import normalisation_factors
from .tensor import dr_model, principal_values

__all__ = [
    "JACKKNIFE_BLOCKS",
    "MAX_RHOMBICITY",
    "MIN_COUPLINGS",
    "HistogramEstimate",
    "estimate",
    "log_likelihood",
    "normalised_couplings",
    "powder_density",
    "unit_pattern_bins",
]

#: R of a fully rhombic tensor (1.5 R = 1: the horn at zero).
MAX_RHOMBICITY = 2.0 / 3.0

#: The pattern of Da = 1 is binned on this many equal bins over [-2, 2]
#: (it spans -1 - 1.5 R to 2): a bin is 0.0067 Da wide, finer than any blur
#: the width allows, so the blurred density is smooth in Da, R and the width.
_BINS = 600
_UNIT_SPAN = 2.0

#: Midpoints in phi on [0, pi/2] for the pattern's cumulative distribution
#: (the pattern is even in cos(theta) and in phi).
_PHI_NODES = 64

#: Fewest couplings the three parameters can be estimated from.
MIN_COUPLINGS = 8

#: The common width never falls below this share of the couplings' spread:
#: a line shape with sharp edges would let the likelihood reward placing an
#: edge exactly on one coupling.
_MIN_WIDTH_SHARE = 0.02

#: Nelder-Mead: iterations and the relative size of the simplex at which it
#: has converged.
_MAX_ITERATIONS = 2000
_TOLERANCE = 1e-5

#: Relative step of the finite differences for the curvature.
_STEP = 1e-3

#: R at the start: midway.
_START_R = 0.3

#: Runs of consecutive residues the jackknife leaves out in turn.
JACKKNIFE_BLOCKS = 10


_EDGES = np.linspace(-_UNIT_SPAN, _UNIT_SPAN, _BINS + 1)
_CENTRES = 0.5 * (_EDGES[:-1] + _EDGES[1:])
_COS2PHI = np.cos(2.0 * (np.arange(_PHI_NODES) + 0.5) * (0.5 * math.pi / _PHI_NODES))


def unit_pattern_bins(r: float) -> NDArray[np.float64]:
    """The share of the pattern of Da = 1 and rhombicity ``r`` in each bin.

    For each phi the value is alpha c^2 + beta with c = cos(theta) uniform on
    [0, 1], alpha = 3 - 1.5 R cos 2 phi (positive for R <= 2/3) and beta =
    -1 + 1.5 R cos 2 phi, so P(value <= x) = sqrt((x - beta) / alpha) clipped
    to [0, 1]; the cumulative distribution is its mean over phi.
    """
    rhombic = dr_model(1.0, r) * _COS2PHI
    alpha = 3.0 - rhombic
    beta = -1.0 + rhombic
    t = np.clip((_EDGES[:, None] - beta[None, :]) / alpha[None, :], 0.0, 1.0)
    cumulative = np.sqrt(t).mean(axis=1)
    shares: NDArray[np.float64] = np.diff(cumulative)
    return shares


def powder_density(
    values: ArrayLike, da: float, r: float, width: ArrayLike
) -> NDArray[np.float64]:
    """The powder pattern of (Da, R), blurred by a Gaussian of ``width``
    (one, or one per value), at each value."""
    d = np.asarray(values, dtype=np.float64)
    s = np.broadcast_to(np.asarray(width, dtype=np.float64), d.shape)
    shares = unit_pattern_bins(r)
    used = shares > 0
    centres = da * _CENTRES[used]
    z = (d[:, None] - centres[None, :]) / s[:, None]
    kernel = np.exp(-0.5 * z * z) / (s[:, None] * math.sqrt(2.0 * math.pi))
    density: NDArray[np.float64] = kernel @ shares[used]
    return density


def log_likelihood(
    values: ArrayLike, sigma: ArrayLike, da: float, r: float, width: float
) -> float:
    """log L of (Da, R, width): each value blurred by sqrt(sigma^2 + width^2)."""
    s = np.sqrt(np.asarray(sigma, dtype=np.float64) ** 2 + width * width)
    density = powder_density(values, da, r, s)
    with np.errstate(divide="ignore"):
        return float(np.sum(np.log(density)))


@dataclass(frozen=True)
class HistogramEstimate:
    """Da and R from the distribution of the couplings.

    Attributes:
        da, r: the estimate (Da normalised to N-H, in the values' unit).
        da_error, r_error: their standard errors (nan where the curvature
            does not give one, as with R at a bound).
        width: the fitted common width (same unit as Da).
        values: the normalised couplings.
        sigma: their normalised uncertainties (0 where none was given).
        log_likelihood: at the estimate.
        r_at_bound: R at 0 or 2/3, where its error is not a standard error.
    """

    da: float
    r: float
    da_error: float
    r_error: float
    width: float
    values: NDArray[np.float64] = field(repr=False)
    sigma: NDArray[np.float64] = field(repr=False)
    log_likelihood: float
    r_at_bound: bool

    @property
    def n(self) -> int:
        """Couplings used."""
        return int(self.values.size)

    @property
    def principal_values(self) -> tuple[float, float, float]:
        """The pattern's principal values (xx, yy, zz): its horn at xx and
        its two edges at yy and zz."""
        return principal_values(self.da, self.r)

    def line_shape(self, grid: ArrayLike) -> NDArray[np.float64]:
        """The fitted pattern's density on ``grid``, blurred by the typical
        uncertainty and the width: what the histogram should look like."""
        s = math.sqrt(float(np.median(self.sigma)) ** 2 + self.width**2)
        return powder_density(grid, self.da, self.r, s)


def _nelder_mead(
    cost: Callable[[NDArray[np.float64]], float],
    start: NDArray[np.float64],
    scales: NDArray[np.float64],
) -> NDArray[np.float64]:
    """The minimum of ``cost`` near ``start`` by the Nelder-Mead simplex."""
    n = start.size
    simplex: list[NDArray[np.float64]] = [start.copy()]
    simplex += [start + scales[i] * np.eye(n)[i] for i in range(n)]
    costs = [cost(p) for p in simplex]
    for _ in range(_MAX_ITERATIONS):
        order = np.argsort(costs, kind="stable")
        simplex = [simplex[i] for i in order]
        costs = [costs[i] for i in order]
        size = max(float(np.max(np.abs(p - simplex[0]) / scales)) for p in simplex)
        if size < _TOLERANCE:
            break
        centre = np.mean(simplex[:-1], axis=0)
        worst = simplex[-1]
        reflected = centre + (centre - worst)
        fr = cost(reflected)
        if fr < costs[0]:
            expanded = centre + 2.0 * (centre - worst)
            fe = cost(expanded)
            simplex[-1], costs[-1] = (expanded, fe) if fe < fr else (reflected, fr)
        elif fr < costs[-2]:
            simplex[-1], costs[-1] = reflected, fr
        else:
            contracted = centre + 0.5 * (worst - centre)
            fc = cost(contracted)
            if fc < costs[-1]:
                simplex[-1], costs[-1] = contracted, fc
            else:
                best = simplex[0]
                simplex = [best] + [best + 0.5 * (p - best) for p in simplex[1:]]
                costs = [costs[0]] + [cost(p) for p in simplex[1:]]
    return simplex[int(np.argmin(costs))]


def _curvature(
    f: Callable[[NDArray[np.float64]], float],
    x: NDArray[np.float64],
    steps: NDArray[np.float64],
) -> NDArray[np.float64]:
    """The Hessian of f at x by central differences."""
    n = x.size
    h = np.zeros((n, n))
    f0 = f(x)
    for i in range(n):
        ei = np.eye(n)[i] * steps[i]
        h[i, i] = (f(x + ei) - 2.0 * f0 + f(x - ei)) / steps[i] ** 2
        for j in range(i + 1, n):
            ej = np.eye(n)[j] * steps[j]
            h[i, j] = h[j, i] = (
                f(x + ei + ej) - f(x + ei - ej) - f(x - ei + ej) + f(x - ei - ej)
            ) / (4.0 * steps[i] * steps[j])
    return h


def _maximum(
    d: NDArray[np.float64],
    s: NDArray[np.float64],
    starts: Sequence[NDArray[np.float64]],
    spread: float,
) -> tuple[NDArray[np.float64], Callable[[NDArray[np.float64]], float]]:
    """The maximum-likelihood (Da, R, width) from the best of ``starts``,
    and the cost (-log L) it minimised."""
    floor = _MIN_WIDTH_SHARE * spread

    def cost(p: NDArray[np.float64]) -> float:
        da, r, width = float(p[0]), float(p[1]), float(p[2])
        if not (0.0 <= r <= MAX_RHOMBICITY) or width < floor or da == 0.0:
            return math.inf
        return -log_likelihood(d, s, da, r, width)

    best = starts[0]
    best_cost = math.inf
    for start in starts:
        scales = np.array([0.2 * abs(start[0]), 0.1, 0.1 * spread])
        found = _nelder_mead(cost, start, scales)
        c = cost(found)
        if c < best_cost:
            best, best_cost = found, c
    return best, cost


def _blocks(residues: ArrayLike, count: int) -> list[NDArray[np.intp]]:
    """Rows in ``count`` groups of consecutive residues, of near equal size."""
    order = np.argsort(np.asarray(residues), kind="stable")
    return [b for b in np.array_split(order, count) if b.size]


def estimate(
    values: ArrayLike,
    sigma: ArrayLike | None = None,
    *,
    residues: ArrayLike | None = None,
    blocks: int = JACKKNIFE_BLOCKS,
) -> HistogramEstimate:
    """Da, R and their errors from couplings (normalised to N-H) alone.

    Args:
        values: the couplings.
        sigma: their uncertainties (None or 0: none stated; the common width
            then carries all the blur).
        residues: each coupling's residue number.  Neighbouring bonds of a
            helix or strand point alike, so the couplings are not the
            independent draws the likelihood assumes and its curvature
            understates the errors; with residues, the errors are those of
            a jackknife that leaves out ``blocks`` runs of consecutive
            residues in turn, which sees that.
        blocks: the jackknife's number of runs.

    Raises:
        ValueError: fewer than :data:`MIN_COUPLINGS` values, values that are
            not finite, or all zero.
    """
    d = np.asarray(values, dtype=np.float64).ravel()
    if d.size < MIN_COUPLINGS:
        raise ValueError(
            f"the histogram method needs at least {MIN_COUPLINGS} couplings, "
            f"got {d.size}"
        )
    if not np.all(np.isfinite(d)):
        raise ValueError("couplings must be finite")
    s = np.zeros_like(d) if sigma is None else np.asarray(sigma, dtype=np.float64)
    if s.shape != d.shape or not np.all(np.isfinite(s)) or np.any(s < 0):
        raise ValueError("sigma must hold one finite, non-negative value per coupling")
    spread = math.sqrt(float(np.mean(d * d)))
    if spread == 0.0:
        raise ValueError("couplings are all zero: no pattern to fit")
    # Start from the second moment (Da^2 (0.8 + 0.6 R^2)) with either sign:
    # the pattern of -Da is that of Da mirrored, so both are tried.
    da0 = spread / math.sqrt(0.8 + 0.6 * _START_R * _START_R)
    starts = [np.array([sign * da0, _START_R, 0.2 * spread]) for sign in (1.0, -1.0)]
    best, cost = _maximum(d, s, starts, spread)
    da, r, width = (float(v) for v in best)
    at_bound = r < _STEP or r > MAX_RHOMBICITY - _STEP
    if residues is None:
        da_error, r_error = _curvature_errors(cost, best, spread, at_bound)
    else:
        if np.asarray(residues).shape != d.shape:
            raise ValueError("residues must hold one number per coupling")
        da_error, r_error = _jackknife_errors(d, s, residues, blocks, best)
    return HistogramEstimate(
        da=da,
        r=r,
        da_error=da_error,
        r_error=r_error,
        width=width,
        values=d,
        sigma=s,
        log_likelihood=-cost(best),
        r_at_bound=at_bound,
    )


def _jackknife_errors(
    d: NDArray[np.float64],
    s: NDArray[np.float64],
    residues: ArrayLike,
    blocks: int,
    best: NDArray[np.float64],
) -> tuple[float, float]:
    """Jackknife standard errors of Da and R over runs of residues."""
    groups = _blocks(residues, blocks)
    k = len(groups)
    if k < 2:
        return (math.nan, math.nan)
    found = []
    for group in groups:
        keep = np.ones(d.size, dtype=bool)
        keep[group] = False
        dk, sk = d[keep], s[keep]
        spread = math.sqrt(float(np.mean(dk * dk)))
        p, _ = _maximum(dk, sk, [best], spread)
        found.append(p[:2])
    f = np.array(found)
    variance = (k - 1) / k * np.sum((f - f.mean(axis=0)) ** 2, axis=0)
    return (math.sqrt(float(variance[0])), math.sqrt(float(variance[1])))


def _curvature_errors(
    cost: Callable[[NDArray[np.float64]], float],
    best: NDArray[np.float64],
    spread: float,
    at_bound: bool,
) -> tuple[float, float]:
    """Standard errors of Da and R from the inverse curvature of -log L.

    A parameter at a bound (R at 0 or 2/3, the width at its floor) is held
    there; R's error is then nan.
    """
    steps = np.array([_STEP * abs(best[0]), _STEP, _STEP * spread])
    width_free = best[2] > _MIN_WIDTH_SHARE * spread * (1.0 + _STEP)
    keep = [0] + ([] if at_bound else [1]) + ([2] if width_free else [])

    def partial(q: NDArray[np.float64]) -> float:
        p = best.copy()
        p[keep] = q
        return cost(p)

    h = _curvature(partial, best[keep], steps[keep])
    try:
        covariance = np.linalg.inv(h)
    except np.linalg.LinAlgError:
        return (math.nan, math.nan)
    variances = np.diag(covariance)
    if np.any(~np.isfinite(variances)) or np.any(variances <= 0):
        return (math.nan, math.nan)
    da_error = math.sqrt(float(variances[0]))
    r_error = math.nan if at_bound else math.sqrt(float(variances[1]))
    return (da_error, r_error)


def normalised_couplings(
    couplings: Sequence[Coupling], convention: str = "magnitudes"
) -> tuple[NDArray[np.float64], NDArray[np.float64], list[str]]:
    """Each coupling and its uncertainty normalised to N-H, and its bond type.

    In the ``physical`` convention, types whose constant has the other sign
    than N-H's are turned to N-H's signs.

    Raises:
        ValueError: an unknown convention, or a bond type without a
            standard length.
    """
    if convention not in SIGN_CONVENTIONS:
        raise ValueError(
            f"sign convention must be one of {', '.join(SIGN_CONVENTIONS)}, "
            f"got {convention!r}"
        )
    atoms = [(c.atom_i or "", c.atom_j or "") for c in couplings]
    types = [bond_type(a, b) for a, b in atoms]
    if convention == "physical":
        signs = [math.copysign(1.0, dipolar_constant(a, b, 1.0)) for a, b in atoms]
        factors = normalisation_factors(types, scale=signs, nh_sign=-1.0)
    else:
        factors = normalisation_factors(types)
    values = np.array([c.value for c in couplings], dtype=np.float64) / factors
    sigma = np.array([c.error or 0.0 for c in couplings], dtype=np.float64)
    return values, sigma / np.abs(factors), types
