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
Da(N-H) in the sign convention of the values.

The error has two parts, reported apart and added in quadrature:

- the data's: a jackknife over runs of consecutive residues (or, without
  residue numbers, the curvature of the log-likelihood at its maximum);
- the direction sampling's: a real molecule's bonds are not spread evenly,
  and the histogram of a given set of directions depends on the tensor's
  (unknown) orientation relative to them.  A parametric bootstrap applies
  the estimated tensor at random orientations, uniform over rotations, to
  the structure's own bond directions (or, without a structure, to as many
  directions drawn uniformly, which measures the finite-sample error), adds
  noise of the stated uncertainties, estimates again and takes the spread.
  The replicates' mean shift is reported as the bias of the method on these
  directions; the estimate is not corrected by it, since the shift is an
  average over orientations and the true orientation is a single one.

With a structure its shape says more than the pattern assumes: the
alignment predicted from it (:func:`kelfit_tools.steric.predict_order`)
puts the tensor's frame near the real one.  Given that frame, the
replicates turn the tensor to orientations scattered around it
(:data:`ORIENTATION_SPREAD`), not uniform ones, and their mean
shift is then the method's bias at about the real orientation: the
estimate is corrected by it (estimate less the bias), and the spread is
that of orientations the prediction allows.

The two parts overlap where both see the noise, so their sum errs on the
large side.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import notices
from .bonds import SIGN_CONVENTIONS, bond_type, dipolar_constant
from .errors import DataError, PathLike
from .io import Coupling
from .statistics import normalisation_factors
from .tensor import dr_model, principal_values

if TYPE_CHECKING:
    from .prepare import Medium

__all__ = [
    "JACKKNIFE_BLOCKS",
    "MAX_RHOMBICITY",
    "MIN_COUPLINGS",
    "ORIENTATION_SPREAD",
    "SAMPLING_REPLICATES",
    "HistogramEstimate",
    "SamplingSpread",
    "estimate",
    "estimate_warnings",
    "histogram_couplings",
    "histogram_of_medium",
    "log_likelihood",
    "normalised_couplings",
    "pattern_values",
    "perturbed_frames",
    "powder_density",
    "random_rotations",
    "sampling_spread",
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

#: The replicates of the sampling bootstrap need their spread, not their
#: last digits; the jackknife's leave-outs need a little more (their spread
#: is multiplied by the number of runs) and at 1e-4 agree with 1e-5 to
#: 0.6 % of the error on the shared data.
_REPLICATE_TOLERANCE = 1e-2
_JACKKNIFE_TOLERANCE = 1e-4

#: Relative step of the finite differences for the curvature.
_STEP = 1e-3

#: R at the start: midway.
_START_R = 0.3

#: Runs of consecutive residues the jackknife leaves out in turn.
JACKKNIFE_BLOCKS = 10

#: Replicates of the direction-sampling bootstrap: the spread of 40 is
#: known to about 11 %, and each replicate is a whole estimate.
SAMPLING_REPLICATES = 40

#: Scatter (degrees) of the orientations around a predicted frame: the rms
#: angle by which each of its axes is turned.  The steric prediction puts
#: the unique axis 5.9, 17.8 and 5.9 degrees from the fitted one for
#: ubiquitin, GB3 and lysozyme and the other two 19 to 47 degrees away
#: (rms 32): 25 reaches the largest miss of the unique axis within one
#: standard deviation and most of the others'.  A narrower scatter of the
#: unique axis alone (12, with the others turned 32 about it) leaves GB3's
#: 51 amide bonds an error of 1.6 Hz at 3 errors from the fit, where 25
#: still meets the orientations that turn their pattern over.
ORIENTATION_SPREAD = 25.0

#: The blur is a Gaussian cut at this many widths; values beyond the
#: tabulated range are summed bin by bin instead.
_REACH = 8.0

#: The blurred pattern is tabulated at least this many points per width and
#: interpolated in its logarithm (a Gaussian's is a parabola), which keeps
#: log-density within 0.2 % of the bin-by-bin sum.
_POINTS_PER_WIDTH = 8.0

#: Above this many distinct widths, tabulating each costs more than summing
#: bin by bin; so does a width below one bin (which would need a grid too
#: fine) or above a kernel as long as the pattern (a Da far larger or
#: smaller than the couplings, as a search may try).  Widths in units of Da.
_MAX_TABULATED_WIDTHS = 8
_MIN_TABULATED_WIDTH = 2.0 * _UNIT_SPAN / _BINS
_MAX_TABULATED_WIDTH = 2.0 * _UNIT_SPAN / _REACH


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
    # In place: this runs at every evaluation of the likelihood.
    t = _EDGES[:, None] - beta[None, :]
    t /= alpha[None, :]
    np.clip(t, 0.0, 1.0, out=t)
    np.sqrt(t, out=t)
    cumulative = t.mean(axis=1)
    shares: NDArray[np.float64] = np.diff(cumulative)
    return shares


def _bin_sums(
    u: NDArray[np.float64], shares: NDArray[np.float64], w: float
) -> NDArray[np.float64]:
    """The unit pattern blurred by a Gaussian of width ``w`` at ``u``, as a
    sum over every bin."""
    used = shares > 0
    z = (u[:, None] - _CENTRES[used][None, :]) / w
    # A plain sum, not a matrix product: no thread pool for a small product.
    sums: NDArray[np.float64] = (np.exp(-0.5 * z * z) * shares[used]).sum(axis=1)
    return sums / (w * math.sqrt(2.0 * math.pi))


def _tabulated(
    u: NDArray[np.float64], shares: NDArray[np.float64], w: float
) -> NDArray[np.float64]:
    """The unit pattern blurred by a Gaussian of width ``w`` at ``u``: the
    same sums, computed as a convolution on a grid ``q`` times finer than
    the bins and interpolated in the logarithm; values off the grid, or
    where the tabulated density underflows, are summed bin by bin."""
    step = 2.0 * _UNIT_SPAN / _BINS
    half = math.ceil(_REACH * w / step)
    q = max(1, math.ceil(_POINTS_PER_WIDTH * step / w))
    offsets = np.arange(-half, half + 1) * step
    phases = []
    for j in range(q):
        z = (offsets + j * step / q) / w
        phases.append(np.convolve(shares, np.exp(-0.5 * z * z)))
    # Interleaved, the q convolutions are the blur on the fine grid; the
    # last q - 1 points would lie past the end and are dropped.
    table = np.stack(phases, axis=1).ravel()[: (shares.size + 2 * half - 1) * q + 1]
    grid = _CENTRES[0] - half * step + np.arange(table.size) * (step / q)
    with np.errstate(divide="ignore"):
        logs = np.log(table)
    out: NDArray[np.float64] = np.exp(
        np.interp(u, grid, logs, left=-np.inf, right=-np.inf)
    )
    out /= w * math.sqrt(2.0 * math.pi)
    missing = ~(out > 0)
    if np.any(missing):
        out[missing] = _bin_sums(u[missing], shares, w)
    return out


def powder_density(
    values: ArrayLike, da: float, r: float, width: ArrayLike
) -> NDArray[np.float64]:
    """The powder pattern of (Da, R), blurred by a Gaussian of ``width``
    (one, or one per value, positive), at each value.

    Worked in units of Da, where the pattern is that of Da = 1.  A few
    distinct widths (the couplings of one or a few types, each with one
    stated error) are tabulated once each; many are summed bin by bin.
    """
    d = np.asarray(values, dtype=np.float64)
    s = np.broadcast_to(np.asarray(width, dtype=np.float64), d.shape)
    shares = unit_pattern_bins(r)
    u = (d / da).ravel()
    w = (s / abs(da)).ravel()
    widths, group = np.unique(w, return_inverse=True)
    few = widths.size <= _MAX_TABULATED_WIDTHS
    density = np.empty_like(u)
    for k, wk in enumerate(widths):
        rows = group.ravel() == k
        tabulate = few and _MIN_TABULATED_WIDTH <= wk <= _MAX_TABULATED_WIDTH
        blur = _tabulated if tabulate else _bin_sums
        density[rows] = blur(u[rows], shares, float(wk))
    out: NDArray[np.float64] = (density / abs(da)).reshape(d.shape)
    return out


def log_likelihood(
    values: ArrayLike, sigma: ArrayLike, da: float, r: float, width: float
) -> float:
    """log L of (Da, R, width): each value blurred by sqrt(sigma^2 + width^2)."""
    s = np.sqrt(np.asarray(sigma, dtype=np.float64) ** 2 + width * width)
    density = powder_density(values, da, r, s)
    with np.errstate(divide="ignore"):
        return float(np.sum(np.log(density)))


@dataclass(frozen=True)
class SamplingSpread:
    """What the direction sampling does to the estimate: the spread of
    estimates from the estimated tensor at random orientations.

    Attributes:
        da_sd, r_sd: the replicates' standard deviations.
        da_bias, r_bias: the mean of the replicates that kept Da's sign,
            less the tensor they were made from (nan: none kept it).
        replicates: how many.
        flipped: replicates whose Da came out with the other sign: bonds
            too clustered for the pattern to tell Da from -Da at some
            orientations (they are part of the spread).
        source: ``"structure"`` (the bonds' own directions) or
            ``"uniform"`` (as many directions drawn uniformly each time).
        seed: the random seed.
        spread: degrees (rms) by which the orientations scatter around a
            given frame (None: uniform over all rotations).
    """

    da_sd: float
    r_sd: float
    da_bias: float
    r_bias: float
    replicates: int
    flipped: int
    source: str
    seed: int
    spread: float | None = None


@dataclass(frozen=True)
class HistogramEstimate:
    """Da and R from the distribution of the couplings.

    Attributes:
        da, r: the estimate (Da normalised to N-H, in the values' unit):
            the likelihood's maximum, less the sampling's bias where that
            was measured around a predicted frame (:attr:`bias_corrected`).
        da_error, r_error: their standard errors, the jackknife's (or the
            curvature's) and the sampling's parts in quadrature (nan where
            the curvature does not give one, as with R at a bound).
        width: the fitted common width (same unit as Da).
        values: the normalised couplings.
        sigma: their normalised uncertainties (0 where none was given).
        log_likelihood: at the estimate.
        r_at_bound: R at 0 or 2/3, where its error is not a standard error.
        da_jackknife, r_jackknife: the data's part of the errors: the
            jackknife's over runs of residues, or without residue numbers
            the curvature's.
        jackknife_blocks: the jackknife's runs (0: the curvature's part).
        sampling: the direction sampling's part (None: not run).
        da_likelihood, r_likelihood: the likelihood's maximum, before any
            correction (nan where not recorded: then ``da`` and ``r``).
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
    da_jackknife: float = math.nan
    r_jackknife: float = math.nan
    jackknife_blocks: int = 0
    sampling: SamplingSpread | None = None
    da_likelihood: float = math.nan
    r_likelihood: float = math.nan

    @property
    def bias_corrected(self) -> bool:
        """Whether ``da`` and ``r`` are the likelihood's maximum less the
        sampling's bias around a predicted frame."""
        s = self.sampling
        return s is not None and s.spread is not None and math.isfinite(s.da_bias)

    @property
    def fitted_pattern(self) -> tuple[float, float]:
        """(Da, R) of the likelihood's maximum: the pattern that fits the
        histogram."""
        if math.isnan(self.da_likelihood):
            return (self.da, self.r)
        return (self.da_likelihood, self.r_likelihood)

    @property
    def n(self) -> int:
        """Couplings used."""
        return int(self.values.size)

    @property
    def principal_values(self) -> tuple[float, float, float]:
        """The pattern's principal values (xx, yy, zz): its horn at xx and
        its two edges at yy and zz."""
        return principal_values(self.da, self.r)

    def line_shape(
        self, grid: ArrayLike, pattern: tuple[float, float] | None = None
    ) -> NDArray[np.float64]:
        """The fitted pattern's density on ``grid``, blurred by the typical
        uncertainty and the width: what the histogram should look like.

        ``pattern`` (Da, R) draws another pattern with the same blur, such
        as the bias-corrected estimate's.
        """
        s = math.sqrt(float(np.median(self.sigma)) ** 2 + self.width**2)
        da, r = self.fitted_pattern if pattern is None else pattern
        return powder_density(grid, da, r, s)


def random_rotations(count: int, rng: np.random.Generator) -> NDArray[np.float64]:
    """``count`` rotation matrices drawn uniformly over all rotations (from
    unit quaternions, uniform on the 3-sphere as normalised Gaussians are)."""
    q = rng.normal(size=(count, 4))
    q /= np.linalg.norm(q, axis=1)[:, None]
    w, x, y, z = q.T
    rows = [
        [1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
        [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
        [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)],
    ]
    out: NDArray[np.float64] = np.moveaxis(np.array(rows), -1, 0)
    return out


def perturbed_frames(
    frame: ArrayLike, count: int, spread: float, rng: np.random.Generator
) -> NDArray[np.float64]:
    """``count`` frames (axes as rows) scattered around ``frame``.

    Each is ``frame`` turned by a rotation whose rotation vector has normal
    components of standard deviation spread / sqrt(2) (degrees), so that
    every axis is tilted by about ``spread`` degrees rms, in no preferred
    direction.
    """
    f = np.asarray(frame, dtype=np.float64)
    w = rng.normal(size=(count, 3)) * (math.radians(spread) / math.sqrt(2.0))
    angle = np.linalg.norm(w, axis=1)
    axis = w / np.where(angle > 0, angle, 1.0)[:, None]
    k = np.zeros((count, 3, 3))
    k[:, 0, 1], k[:, 0, 2], k[:, 1, 2] = -axis[:, 2], axis[:, 1], -axis[:, 0]
    k -= np.swapaxes(k, 1, 2)
    turn = (
        np.eye(3)
        + np.sin(angle)[:, None, None] * k
        + (1.0 - np.cos(angle))[:, None, None] * (k @ k)
    )
    out: NDArray[np.float64] = turn @ f[None, :, :]
    return out


def pattern_values(
    directions: ArrayLike, da: float, r: float, rotation: ArrayLike | None = None
) -> NDArray[np.float64]:
    """The couplings (normalised to N-H) of unit ``directions`` under the
    tensor (Da, R) whose frame's axes are the rows of ``rotation`` (default:
    the directions' own frame)."""
    u = np.asarray(directions, dtype=np.float64)
    if rotation is not None:
        u = u @ np.asarray(rotation, dtype=np.float64).T
    x, y, z = u[:, 0], u[:, 1], u[:, 2]
    values: NDArray[np.float64] = da * (3.0 * z * z - 1.0) + dr_model(da, r) * (
        x * x - y * y
    )
    return values


def _unit_directions(directions: ArrayLike, count: int) -> NDArray[np.float64]:
    """``directions`` as unit vectors, one per coupling."""
    u = np.asarray(directions, dtype=np.float64)
    if u.shape != (count, 3) or not np.all(np.isfinite(u)):
        raise ValueError(
            f"directions must hold one finite 3-vector per coupling ({count} x 3), "
            f"got shape {u.shape}"
        )
    lengths = np.linalg.norm(u, axis=1)
    if np.any(lengths == 0):
        raise ValueError("directions must not be zero vectors")
    unit: NDArray[np.float64] = u / lengths[:, None]
    return unit


def sampling_spread(
    da: float,
    r: float,
    noise: ArrayLike,
    directions: ArrayLike | None = None,
    *,
    replicates: int = SAMPLING_REPLICATES,
    seed: int = 0,
    frame: ArrayLike | None = None,
    spread: float = ORIENTATION_SPREAD,
) -> SamplingSpread:
    """The spread of histogram estimates of couplings made from (Da, R).

    Each replicate turns the tensor to a random orientation (uniform over
    rotations, or with ``frame`` scattered around it by ``spread``
    degrees: :func:`perturbed_frames`) over ``directions``, or draws as many
    directions uniformly when there are none, adds Gaussian noise of
    ``noise`` (one per coupling), and estimates Da and R again as
    :func:`estimate` does.

    Args:
        frame: the tensor's expected principal axes (x, y, z as rows, z the
            unique axis), in the frame of ``directions``, which it needs.

    Raises:
        ValueError: fewer than 2 replicates, noise that is not finite and
            non-negative, a tensor out of range, directions not one per
            noise value, a frame that is not a rotation or comes without
            directions, or a spread that is not finite and positive.
    """
    sd = np.asarray(noise, dtype=np.float64).ravel()
    if sd.size < MIN_COUPLINGS or not np.all(np.isfinite(sd)) or np.any(sd < 0):
        raise ValueError(
            f"noise must hold one finite, non-negative value per coupling "
            f"(at least {MIN_COUPLINGS})"
        )
    if not (math.isfinite(da) and da != 0.0 and 0.0 <= r <= MAX_RHOMBICITY):
        raise ValueError(
            f"the tensor must have a finite Da other than 0 and R in [0, 2/3], "
            f"got Da {da}, R {r}"
        )
    if replicates < 2:
        raise ValueError(
            f"the sampling spread needs 2 replicates or more, got {replicates}"
        )
    if not (math.isfinite(spread) and spread > 0):
        raise ValueError(f"spread must be positive degrees, got {spread}")
    fixed = None if directions is None else _unit_directions(directions, sd.size)
    rng = np.random.default_rng(seed)
    if frame is None:
        rotations = random_rotations(replicates, rng)
    else:
        if fixed is None:
            raise ValueError("a frame needs the directions it is given in")
        rotations = perturbed_frames(_frame(frame), replicates, spread, rng)
    found = []
    for rotation in rotations:
        if fixed is None:
            u = rng.normal(size=(sd.size, 3))
            u /= np.linalg.norm(u, axis=1)[:, None]
        else:
            u = fixed
        d = pattern_values(u, da, r, rotation) + rng.normal(size=sd.size) * sd
        best, _, _ = _fit(d, sd, _REPLICATE_TOLERANCE)
        found.append(best[:2])
    f = np.array(found)
    sd_da, sd_r = np.std(f, axis=0, ddof=1)
    kept = np.sign(f[:, 0]) == math.copysign(1.0, da)
    # A replicate that turned Da over found the mirror pattern: part of the
    # spread, but no shift that a correction could take back.
    mean_da, mean_r = f[kept].mean(axis=0) if np.any(kept) else (math.nan,) * 2
    return SamplingSpread(
        da_sd=float(sd_da),
        r_sd=float(sd_r),
        da_bias=float(mean_da) - da,
        r_bias=float(mean_r) - r,
        replicates=replicates,
        flipped=int(np.sum(~kept)),
        source="uniform" if fixed is None else "structure",
        seed=seed,
        spread=None if frame is None else spread,
    )


#: How far from orthonormal a given frame may be (rounding of its source).
_FRAME_TOLERANCE = 1e-6


def _frame(frame: ArrayLike) -> NDArray[np.float64]:
    """``frame`` checked to be a 3 x 3 rotation (axes as rows)."""
    f = np.asarray(frame, dtype=np.float64)
    if (
        f.shape != (3, 3)
        or not np.all(np.isfinite(f))
        or np.abs(f @ f.T - np.eye(3)).max() > _FRAME_TOLERANCE
    ):
        raise ValueError(
            f"frame must be a 3 x 3 matrix of orthonormal axes as rows, got {f!r}"
        )
    return f


def _nelder_mead(
    cost: Callable[[NDArray[np.float64]], float],
    start: NDArray[np.float64],
    scales: NDArray[np.float64],
    tolerance: float = _TOLERANCE,
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
        if size < tolerance:
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
    tolerance: float = _TOLERANCE,
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
        found = _nelder_mead(cost, start, scales, tolerance)
        c = cost(found)
        if c < best_cost:
            best, best_cost = found, c
    return best, cost


def _fit(
    d: NDArray[np.float64],
    s: NDArray[np.float64],
    tolerance: float = _TOLERANCE,
    also: Sequence[NDArray[np.float64]] = (),
) -> tuple[NDArray[np.float64], Callable[[NDArray[np.float64]], float], float]:
    """The maximum-likelihood (Da, R, width) of couplings ``d`` with
    uncertainties ``s`` (from the usual starts and any ``also``), the cost it
    minimised and the couplings' rms."""
    spread = math.sqrt(float(np.mean(d * d)))
    # Start from the second moment (Da^2 (0.8 + 0.6 R^2)) with either sign:
    # the pattern of -Da is that of Da mirrored, so both are tried.
    da0 = spread / math.sqrt(0.8 + 0.6 * _START_R * _START_R)
    starts = [np.array([sign * da0, _START_R, 0.2 * spread]) for sign in (1.0, -1.0)]
    best, cost = _maximum(d, s, [*also, *starts], spread, tolerance)
    return best, cost, spread


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
    directions: ArrayLike | None = None,
    replicates: int = SAMPLING_REPLICATES,
    seed: int = 0,
    frame: ArrayLike | None = None,
    spread: float = ORIENTATION_SPREAD,
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
        directions: each coupling's bond direction (N x 3), when a
            structure is known: the sampling bootstrap turns the estimated
            tensor over these; without, over as many uniform directions.
        replicates: the sampling bootstrap's replicates (0: none; the error
            is then the jackknife's or the curvature's alone).  Its noise is
            ``sigma``, or where none is stated the fitted width.
        seed: the bootstrap's random seed.
        frame: the tensor's expected principal axes in the frame of
            ``directions`` (rows x, y, z; z the unique axis), such as the
            alignment predicted from the structure's shape.  The bootstrap
            then scatters the tensor around it by ``spread`` degrees rms,
            and the estimate is corrected by the bias it measures there.

    Raises:
        ValueError: fewer than :data:`MIN_COUPLINGS` values, values that are
            not finite, or all zero; sigma, residues or directions not one
            per coupling; a negative number of replicates; a frame without
            directions or replicates, or that is not a rotation.
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
    if directions is not None:
        directions = _unit_directions(directions, d.size)
    if replicates < 0:
        raise ValueError(f"replicates must be 0 or more, got {replicates}")
    if frame is not None and (directions is None or not replicates):
        raise ValueError(
            "a frame needs directions and replicates: the bias it corrects is "
            "measured by the sampling bootstrap over those directions"
        )
    if not np.any(d):
        raise ValueError("couplings are all zero: no pattern to fit")
    best, cost, rms = _fit(d, s)
    da, r, width = (float(v) for v in best)
    at_bound = r < _STEP or r > MAX_RHOMBICITY - _STEP
    if residues is None:
        da_part, r_part = _curvature_errors(cost, best, rms, at_bound)
        used_blocks = 0
    else:
        if np.asarray(residues).shape != d.shape:
            raise ValueError("residues must hold one number per coupling")
        da_part, r_part = _jackknife_errors(d, s, residues, blocks, best)
        used_blocks = blocks
    sampling = None
    if replicates:
        sampling = sampling_spread(
            da,
            r,
            s if np.any(s) else np.full_like(s, width),
            directions,
            replicates=replicates,
            seed=seed,
            frame=frame,
            spread=spread,
        )
        da_error = math.hypot(da_part, sampling.da_sd)
        r_error = math.hypot(r_part, sampling.r_sd)
    else:
        da_error, r_error = da_part, r_part
    da_reported, r_reported = da, r
    if (
        sampling is not None
        and sampling.spread is not None
        and math.isfinite(sampling.da_bias)
    ):
        # Around the predicted frame the replicates' shift is the method's
        # bias near the real orientation, so it is taken off; R stays in
        # its range.
        da_reported = da - sampling.da_bias
        r_reported = min(max(r - sampling.r_bias, 0.0), MAX_RHOMBICITY)
    return HistogramEstimate(
        da=da_reported,
        r=r_reported,
        da_error=da_error,
        r_error=r_error,
        width=width,
        values=d,
        sigma=s,
        log_likelihood=-cost(best),
        r_at_bound=at_bound,
        da_jackknife=da_part,
        r_jackknife=r_part,
        jackknife_blocks=used_blocks,
        sampling=sampling,
        da_likelihood=da,
        r_likelihood=r,
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
        # The same estimator on what is left: the likelihood can have two
        # maxima of near equal height (a zz edge that few couplings reach),
        # and a search from the full estimate alone may stop at the lower.
        p, _, _ = _fit(d[keep], s[keep], _JACKKNIFE_TOLERANCE, also=[best])
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


def histogram_couplings(
    medium: Medium,
    *,
    types: Sequence[str] | None = None,
    structure: PathLike | None = None,
    model: int = 1,
    chain: str | None = None,
    predicted: bool = True,
) -> tuple[list[Coupling], NDArray[np.float64] | None, NDArray[np.float64] | None]:
    """A medium's couplings selected by bond type and, with a structure,
    only those it matches, with their bond vectors and (``predicted``) the
    principal axes of the alignment predicted from its shape; the vectors
    and the axes are None without a structure.  What was left out is said
    as notes and warnings (:mod:`~kelfit_tools.notices`).

    Raises:
        DataError: couplings that do not match, or a shape that cannot be
            predicted.
    """
    from .prepare import (
        Preparation,
        Selection,
        select_couplings,
        structure_for_fit,
        structure_inputs,
    )
    from .steric import structure_order

    report = Preparation()
    selection = Selection(types=tuple(types) if types else None)

    if not structure:
        kept = select_couplings(medium.couplings, selection, report, where=medium.path)
        report.say()
        return kept, None, None
    loaded = structure_for_fit(structure, report)
    prepared = structure_inputs(
        loaded, [medium], selection, report, models=[model], chain=chain
    )
    report.say()
    matched = prepared[0].matched
    frame = None
    if predicted:
        # Only the axes are used: the estimate's own Da and R go on them.
        frame = structure_order(loaded, model, where=structure).tensor().axes
    return list(matched.couplings), matched.vectors, frame


def estimate_warnings(found: HistogramEstimate) -> list[str]:
    """What a reader must know of an estimate: R at its bound, replicates
    that gave Da the other sign."""
    out = []
    if found.r_at_bound:
        out.append("R is at its bound: its error is not a standard error")
    if found.sampling is not None and found.sampling.flipped:
        out.append(
            f"{found.sampling.flipped} of {found.sampling.replicates} replicates "
            "gave Da the other sign: the bonds' directions are too uneven for "
            "the pattern to fix it at every orientation"
        )
    return out


def histogram_of_medium(
    medium: Medium,
    *,
    types: Sequence[str] | None = None,
    structure: PathLike | None = None,
    model: int = 1,
    chain: str | None = None,
    predicted: bool = True,
    convention: str = "magnitudes",
    blocks: int = JACKKNIFE_BLOCKS,
    replicates: int = SAMPLING_REPLICATES,
    seed: int = 0,
    spread: float = ORIENTATION_SPREAD,
) -> tuple[HistogramEstimate, dict[str, int]]:
    """What ``kelfit histogram`` estimates of one medium: its couplings
    selected (:func:`histogram_couplings`), normalised to N-H in
    ``convention`` and estimated (:func:`estimate`), with how many couplings
    of each bond type were used.  What was used and what the estimate
    warns of are said as notes and warnings (:mod:`~kelfit_tools.notices`).

    Raises:
        DataError: couplings that do not match, or a shape that cannot be
            predicted.
            Also too few couplings, or settings :func:`estimate` refuses,
            named by the medium's file.
    """
    couplings, directions, frame = histogram_couplings(
        medium,
        types=types,
        structure=structure,
        model=model,
        chain=chain,
        predicted=predicted,
    )
    values, sigma, kinds = normalised_couplings(couplings, convention)
    counts = {t: kinds.count(t) for t in dict.fromkeys(kinds)}
    notices.note(
        f"using {len(couplings)} couplings: "
        + ", ".join(f"{n} {t}" for t, n in counts.items())
    )
    try:
        found = estimate(
            values,
            sigma,
            residues=[c.residue_i for c in couplings],
            blocks=blocks,
            directions=directions,
            replicates=replicates,
            seed=seed,
            frame=frame if replicates else None,
            spread=spread,
        )
    except ValueError as exc:
        raise DataError(str(exc), medium.path) from None
    for warning in estimate_warnings(found):
        notices.warn(warning)
    return found, counts
