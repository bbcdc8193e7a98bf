"""Maximum-entropy reweighting of an ensemble or a trajectory to the couplings.

Each frame m (a model, or a trajectory's frame) has its bond vectors; the
ensemble's coupling n is the weighted average over the frames of
``k_mn u_mn^T A u_mn``, one tensor A for all of them.  The weights w (on
the simplex) and A minimise

    chi^2(w, A) / 2 + theta * sum_m w_m ln(w_m / w0_m)

with uniform prior weights w0: theta trades the fit against the distance
from the uniform ensemble.  For fixed weights A is a linear least-squares
fit to the weighted-average design rows; for fixed A the weights follow
from the convex dual over one Lagrange multiplier per coupling,
``w_m ~ w0_m exp(-sum_n lambda_n c_mn)``, solved by Newton's method.  The
two steps alternate until the objective settles (each lowers it, so they
cannot cycle), and Newton's method on the optimum's conditions in the
multipliers and the tensor together then finishes the job quadratically.

theta is chosen by cross-validation over couplings: the couplings are
dealt into folds from the seed, and each fold is predicted by the weights
and tensor fitted without it.  The left-out chi^2 is itself an estimate,
and a smaller theta only moves the weights further from uniform, so the
largest theta whose left-out chi^2 exceeds the lowest by no more than the
difference's standard error (over the couplings) wins.  The chi^2 against
the effective fraction of frames at every theta (the curve a reader checks
for a knee) comes with it.  The error of the weights is the spread over
bootstrap replicates of the couplings at the chosen theta.

Every chain of solves runs in a fixed order from fixed starts, and each
task of the cross-validation and the bootstrap depends only on its inputs,
so a seed gives the same bits inline or on any executor.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from concurrent.futures import Executor
from dataclasses import dataclass
from typing import Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import notices
from .display import html_of
from .errors import DataError
from .fitting import as_row_factors, design_matrix
from .run import FitRequest
from .statistics import q_factor
from .tensor import Tensor, tensor_from_matrix

__all__ = [
    "DEFAULT_FOLDS",
    "DEFAULT_REPLICATES",
    "DEFAULT_THETAS",
    "EnsembleFrames",
    "ReweightResult",
    "ThetaCurve",
    "averaged_rows",
    "frame_rows",
    "reweight",
    "structure_frames",
    "trajectory_frames",
]

#: The thetas tried by default, from nearly free weights to nearly uniform
#: ones (chi^2 in units of the couplings' sigma, or Hz^2 unweighted).
DEFAULT_THETAS: tuple[float, ...] = tuple(float(10.0**e) for e in range(-2, 5))
#: Folds of the couplings for choosing theta.
DEFAULT_FOLDS = 5
#: Bootstrap replicates of the couplings for the weights' error.
DEFAULT_REPLICATES = 50
#: Replicates a task takes: fixed, so the tasks do not depend on the executor.
REPLICATES_PER_TASK = 8

#: Newton's method on the dual stops when half the Newton decrement (the
#: fall a full step promises) is below this, relative to the dual's value
#: (or 1): the next step would change nothing a double can hold.
DUAL_TOLERANCE = 1e-15
#: Newton steps at most, per dual solve.
DUAL_STEPS = 100
#: Armijo's sufficient-decrease fraction and the smallest step tried.
ARMIJO = 1e-4
SMALLEST_STEP = 1e-12
#: The alternation stops when the objective falls by less than this,
#: relative to itself (or 1); Newton's method on the weights and the tensor
#: together then polishes the optimum.
OBJECTIVE_TOLERANCE = 1e-9
#: The polish stops when every condition of the optimum holds to this,
#: relative to the largest normalised coupling (or 1); at most so many steps.
POLISH_TOLERANCE = 1e-12
POLISH_STEPS = 50
#: Alternations at most (weights, then tensor) per theta.
ALTERNATIONS = 1000
#: Tensor unknowns: Axx, Ayy, Axy, Axz, Ayz.
TENSOR_UNKNOWNS = 5


@dataclass(frozen=True, eq=False)
class ThetaCurve:
    """Every theta tried, with what the weights fitted at it give.

    Attributes:
        theta: the thetas, largest first.
        chi2: chi^2 of the fit to every coupling at each theta.
        kish_fraction: Kish's effective fraction of frames at each theta.
        entropy_fraction: exp(-KL(w | w0)) at each theta.
        cv_chi2: chi^2 of the left-out couplings (each coupling predicted
            by the fit of the folds without it).
        free_q: Q of the left-out couplings.
    """

    theta: NDArray[np.float64]
    chi2: NDArray[np.float64]
    kish_fraction: NDArray[np.float64]
    entropy_fraction: NDArray[np.float64]
    cv_chi2: NDArray[np.float64]
    free_q: NDArray[np.float64]


@dataclass(frozen=True, eq=False)
class ReweightResult:
    """The weights of an ensemble's frames fitted to the couplings.

    Attributes:
        weights: one weight per frame, summing to 1.
        weights_sd: each weight's standard deviation over the bootstrap
            replicates (NaN without replicates).
        replicate_weights: replicates x frames, the weights of every
            bootstrap replicate (none: 0 rows).
        theta: the theta used (chosen by cross-validation unless given).
        curve: every theta tried (:class:`ThetaCurve`).
        kish_fraction: (sum w)^2 / sum w^2 over the number of frames.
        entropy_fraction: exp(-KL(w | w0)), exp(entropy) over the frames.
        chi2_before, chi2_after: chi^2 of the uniform average's fit and of
            the reweighted one (sums of squared residuals when unweighted).
        q_before, q_after: their Q.
        free_q_before, free_q_after: Q of the left-out couplings in the
            cross-validation, for uniform weights and at ``theta``.
        tensor: the tensor fitted with the weights (Da for a row of scale 1:
            Da(N-H) for the frames of :func:`structure_frames` and
            :func:`trajectory_frames`).
        coefficients: Axx, Ayy, Axy, Axz, Ayz (and the offset, if fitted).
        observed: the couplings.
        calculated: the reweighted ensemble's couplings.
        sigma: the couplings' uncertainties, or None (unweighted).
        folds: folds of the cross-validation.
        seed: the seed of the folds and the replicates.
        converged: every alternation of the chosen fit stopped on its own.
    """

    weights: NDArray[np.float64]
    weights_sd: NDArray[np.float64]
    replicate_weights: NDArray[np.float64]
    theta: float
    curve: ThetaCurve
    kish_fraction: float
    entropy_fraction: float
    chi2_before: float
    chi2_after: float
    q_before: float
    q_after: float
    free_q_before: float
    free_q_after: float
    tensor: Tensor
    coefficients: NDArray[np.float64]
    observed: NDArray[np.float64]
    calculated: NDArray[np.float64]
    sigma: NDArray[np.float64] | None
    folds: int
    seed: int | None
    converged: bool

    def __repr__(self) -> str:
        return (
            f"ReweightResult(frames={len(self.weights)}, theta={self.theta:.4g}, "
            f"kish={self.kish_fraction:.3g}, q={self.q_before:.4g}->"
            f"{self.q_after:.4g}, free_q={self.free_q_after:.4g})"
        )

    def _repr_html_(self) -> str:
        return html_of(self)

    def population(self, frames: ArrayLike) -> tuple[float, float]:
        """The summed weight of some frames and its bootstrap error.

        Args:
            frames: indices (from 0) or a boolean mask of the frames.

        Returns:
            The population and its standard deviation over the replicates
            (NaN without replicates).
        """
        pick = np.zeros(len(self.weights), dtype=bool)
        pick[np.asarray(frames)] = True
        value = float(self.weights[pick].sum())
        if len(self.replicate_weights) < 2:
            return value, math.nan
        spread = self.replicate_weights[:, pick].sum(axis=1)
        return value, float(np.std(spread, ddof=1))


def frame_rows(
    vector_sets: ArrayLike,
    *,
    scale: ArrayLike | None = None,
    offset: bool = False,
) -> NDArray[np.float64]:
    """The linear fit's design rows of every frame (frames x N x unknowns).

    Args:
        vector_sets: frames x N x 3 bond vectors.
        scale: each row's factor of the tensor: N values for every frame,
            or frames x N.
        offset: add the offset's column.

    Raises:
        ValueError: shapes, bad vectors or scales.
    """
    v = np.asarray(vector_sets, dtype=np.float64)
    if v.ndim != 3 or v.shape[2] != 3 or v.shape[0] < 1:
        raise ValueError(
            f"vector_sets must be a frames x N x 3 array, got shape {v.shape}"
        )
    frames, count = v.shape[0], v.shape[1]
    k = None if scale is None else np.asarray(scale, dtype=np.float64)
    if k is not None and k.ndim == 2 and k.shape != (frames, count):
        raise ValueError(f"scale must hold {count} or {frames} x {count} values")
    rows = []
    for m in range(frames):
        row_scale = k[m] if k is not None and k.ndim == 2 else k
        try:
            rows.append(design_matrix(v[m], offset=offset, scale=row_scale))
        except ValueError as exc:
            raise ValueError(f"frame {m}: {exc}") from None
    return np.stack(rows)


def averaged_rows(
    rows: NDArray[np.float64], weights: NDArray[np.float64]
) -> NDArray[np.float64]:
    """The weighted average of the frames' design rows (N x unknowns): the
    design of one tensor fitted to the ensemble's averaged couplings."""
    out: NDArray[np.float64] = np.tensordot(weights, rows, axes=(0, 0))
    return out


def _logsumexp(x: NDArray[np.float64]) -> float:
    top = float(np.max(x))
    return top + math.log(float(np.sum(np.exp(x - top))))


def _dual(
    c: NDArray[np.float64],
    y: NDArray[np.float64],
    theta: float,
    lam: NDArray[np.float64],
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The multipliers and weights minimising the dual for fixed per-frame
    couplings ``c`` (frames x N, over sigma) and targets ``y``.

    Gamma(lambda) = ln sum_m w0_m exp(-c_m . lambda) + lambda . y
    + theta |lambda|^2 / 2; its gradient is y - <c>_w + theta lambda, its
    Hessian the weighted covariance of c plus theta I, so it is strictly
    convex and Newton's method with backtracking finds its minimum.
    """
    log_w0 = -math.log(c.shape[0])

    def value(lam: NDArray[np.float64]) -> tuple[float, NDArray[np.float64]]:
        logits = log_w0 - c @ lam
        log_z = _logsumexp(logits)
        w = np.exp(logits - log_z)
        return log_z + float(lam @ y) + 0.5 * theta * float(lam @ lam), w

    gamma, w = value(lam)
    for _ in range(DUAL_STEPS):
        mean = w @ c
        gradient = y - mean + theta * lam
        centred = c - mean
        hessian = (centred.T * w) @ centred + theta * np.eye(len(y))
        step = np.linalg.solve(hessian, -gradient)
        slope = float(gradient @ step)
        if -0.5 * slope <= DUAL_TOLERANCE * max(1.0, abs(gamma)):
            break
        t = 1.0
        while t >= SMALLEST_STEP:
            trial = lam + t * step
            trial_gamma, trial_w = value(trial)
            if trial_gamma <= gamma + ARMIJO * t * slope:
                break
            t *= 0.5
        else:
            break  # no descent left at rounding level
        lam, gamma, w = trial, trial_gamma, trial_w
    w = w / w.sum()
    return lam, w


def _kl(w: NDArray[np.float64]) -> float:
    """KL(w | uniform) = sum w ln(w M), with 0 ln 0 = 0."""
    nonzero = w[w > 0]
    return float(np.sum(nonzero * np.log(nonzero * len(w))))


def _tensor_fit(
    rows: NDArray[np.float64], w: NDArray[np.float64], y: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The tensor's coefficients for weights w, and the averaged couplings."""
    design = averaged_rows(rows, w)
    coefficients = np.asarray(np.linalg.lstsq(design, y, rcond=None)[0], np.float64)
    calculated: NDArray[np.float64] = design @ coefficients
    return coefficients, calculated


@dataclass(frozen=True)
class _Solution:
    weights: NDArray[np.float64]
    coefficients: NDArray[np.float64]
    lam: NDArray[np.float64]
    converged: bool


def _start(
    rows: NDArray[np.float64], y: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The uniform ensemble's tensor and zero multipliers: where every
    independent solve starts."""
    uniform = np.full(rows.shape[0], 1.0 / rows.shape[0])
    return _tensor_fit(rows, uniform, y)[0], np.zeros(rows.shape[1])


def _joint_state(
    rows: NDArray[np.float64],
    y: NDArray[np.float64],
    theta: float,
    lam: NDArray[np.float64],
    coefficients: NDArray[np.float64],
) -> tuple[
    NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]
]:
    """The frames' couplings, the weights, the averaged rows and the
    optimum's conditions at multipliers and a tensor.

    The conditions: y - X_w A + theta lambda = 0 (the multipliers are the
    residuals over theta) and X_w^T lambda = 0 (the tensor is the least-
    squares fit to the averaged rows X_w).
    """
    c = rows @ coefficients
    logits = -(c @ lam)
    w = np.exp(logits - _logsumexp(logits))
    design = averaged_rows(rows, w)
    conditions = np.concatenate(
        [y - design @ coefficients + theta * lam, design.T @ lam]
    )
    return c, w, design, conditions


def _polish(
    rows: NDArray[np.float64],
    y: NDArray[np.float64],
    theta: float,
    lam: NDArray[np.float64],
    coefficients: NDArray[np.float64],
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], bool]:
    """Newton's method on the optimum's conditions in the multipliers and
    the tensor together, from where the alternation stopped: it converges
    quadratically where the alternation crawls.

    Returns:
        The weights, the tensor, the multipliers and whether the
        conditions were met to :data:`POLISH_TOLERANCE`.
    """
    count = len(y)
    tolerance = (POLISH_TOLERANCE * max(1.0, float(np.max(np.abs(y))))) ** 2
    c, w, design, conditions = _joint_state(rows, y, theta, lam, coefficients)
    norm = float(conditions @ conditions)
    for _ in range(POLISH_STEPS):
        if norm <= tolerance:
            return w, coefficients, lam, True
        g = np.einsum("mnk,n->mk", rows, lam)
        cc, gc = c - w @ c, g - w @ g
        upper = np.hstack(
            [(cc.T * w) @ cc + theta * np.eye(count), (cc.T * w) @ gc - design]
        )
        lower = np.hstack([design.T - (gc.T * w) @ cc, -((gc.T * w) @ gc)])
        try:
            step = np.linalg.solve(np.vstack([upper, lower]), -conditions)
        except np.linalg.LinAlgError:
            break
        t = 1.0
        while t >= SMALLEST_STEP:
            trial_lam, trial_a = lam + t * step[:count], coefficients + t * step[count:]
            trial = _joint_state(rows, y, theta, trial_lam, trial_a)
            trial_norm = float(trial[3] @ trial[3])
            if trial_norm <= (1.0 - 2.0 * ARMIJO * t) * norm:
                break
            t *= 0.5
        else:
            break  # no progress left at rounding level
        lam, coefficients = trial_lam, trial_a
        c, w, design, conditions = trial
        norm = trial_norm
    return w, coefficients, lam, norm <= tolerance


def _solve(
    rows: NDArray[np.float64],
    y: NDArray[np.float64],
    theta: float,
    coefficients: NDArray[np.float64],
    lam: NDArray[np.float64],
) -> _Solution:
    """Weights and tensor for one theta, alternating from a tensor and
    multipliers until the objective settles, then polished by Newton's
    method on both (rows and y already divided by sigma)."""
    previous = math.inf
    settled = False
    weights = np.full(rows.shape[0], 1.0 / rows.shape[0])
    for _ in range(ALTERNATIONS):
        lam, weights = _dual(rows @ coefficients, y, theta, lam)
        coefficients, calculated = _tensor_fit(rows, weights, y)
        residuals = calculated - y
        objective = 0.5 * float(residuals @ residuals) + theta * _kl(weights)
        if previous - objective <= OBJECTIVE_TOLERANCE * max(1.0, abs(objective)):
            settled = True
            break
        previous = objective
    # The multipliers that go with the last tensor.
    lam, weights = _dual(rows @ coefficients, y, theta, lam)
    polished = _polish(rows, y, theta, lam, coefficients)
    if polished[3]:
        weights, coefficients, lam = polished[0], polished[1], polished[2]
    return _Solution(weights, coefficients, lam, settled or polished[3])


def _theta_chain(
    rows: NDArray[np.float64],
    y: NDArray[np.float64],
    thetas: NDArray[np.float64],
    train: NDArray[np.intp],
    test: NDArray[np.intp],
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.bool_]]:
    """Fit the ``train`` couplings at every theta, largest first, each solve
    starting from the last; predict the ``test`` couplings from each fit.

    Returns:
        The weights (thetas x frames), the left-out residuals over sigma
        (1 + thetas rows: the uniform ensemble's first), and whether each
        solve converged.
    """
    fitted, target = rows[:, train], y[train]
    coefficients, lam = _start(fitted, target)
    weights = np.empty((len(thetas), rows.shape[0]))
    residuals = np.empty((len(thetas) + 1, len(test)))
    converged = np.empty(len(thetas), dtype=bool)
    uniform = np.full(rows.shape[0], 1.0 / rows.shape[0])
    residuals[0] = averaged_rows(rows[:, test], uniform) @ coefficients - y[test]
    previous = float(thetas[0])
    for i, theta in enumerate(thetas):
        # theta * lambda is the residual, which changes far less from one
        # theta to the next than lambda does.
        lam = lam * (previous / float(theta))
        previous = float(theta)
        done = _solve(fitted, target, float(theta), coefficients, lam)
        coefficients, lam = done.coefficients, done.lam
        weights[i] = done.weights
        converged[i] = done.converged
        predicted = averaged_rows(rows[:, test], done.weights) @ coefficients
        residuals[i + 1] = predicted - y[test]
    return weights, residuals, converged


def _replicates(
    rows: NDArray[np.float64],
    y: NDArray[np.float64],
    theta: float,
    draws: NDArray[np.intp],
) -> NDArray[np.float64]:
    """The weights fitted at ``theta`` to each row of resampled couplings,
    each solve started afresh."""
    out = np.empty((len(draws), rows.shape[0]))
    for i, rows_drawn in enumerate(draws):
        fitted, target = rows[:, rows_drawn], y[rows_drawn]
        coefficients, lam = _start(fitted, target)
        out[i] = _solve(fitted, target, theta, coefficients, lam).weights
    return out


def _map(
    executor: Executor | None, task: Any, jobs: Sequence[tuple[Any, ...]]
) -> list[Any]:
    """``task`` over ``jobs`` in order, inline or on the executor."""
    if executor is None:
        return [task(*job) for job in jobs]
    futures = [executor.submit(task, *job) for job in jobs]
    return [future.result() for future in futures]


def _one_standard_error(terms: NDArray[np.float64]) -> int:
    """The largest theta (thetas x couplings of left-out chi^2 terms, the
    largest theta first) not worse than the best by more than the standard
    error of the difference, coupling by coupling."""
    totals = terms.sum(axis=1)
    lowest = int(np.argmin(totals))
    differences = terms - terms[lowest]
    spread = np.sqrt(terms.shape[1]) * np.std(differences, axis=1, ddof=1)
    return int(np.flatnonzero(totals - totals[lowest] <= spread)[0])


def _kish(w: NDArray[np.float64]) -> float:
    return float(1.0 / (len(w) * float(w @ w)))


def _chi2(residuals: NDArray[np.float64]) -> float:
    return float(residuals @ residuals)


def reweight(
    vector_sets: ArrayLike,
    observed: ArrayLike,
    *,
    sigma: ArrayLike | None = None,
    scale: ArrayLike | None = None,
    offset: bool = False,
    theta: float | None = None,
    thetas: Sequence[float] = DEFAULT_THETAS,
    folds: int = DEFAULT_FOLDS,
    replicates: int = DEFAULT_REPLICATES,
    seed: int | None = None,
    executor: Executor | None = None,
) -> ReweightResult:
    """Reweight an ensemble's frames so that their averaged couplings fit.

    Args:
        vector_sets: frames x N x 3 bond vectors, the same couplings in
            every frame (superposed: the tensor is one for all frames).
        observed: the N measured couplings.
        sigma: their uncertainties (one value for all, or N); without, the
            chi^2 is the sum of squared residuals in the couplings' unit.
        scale: each row's factor of the tensor (N, or frames x N), as
            :func:`~kelfit_tools.fitting.design_matrix` takes it.
        offset: also fit a constant offset.
        theta: the restraint's strength; None: chosen from ``thetas`` by
            cross-validation (the largest whose left-out chi^2 is within
            one standard error of the lowest).
        thetas: the thetas the cross-validation tries.
        folds: folds of the couplings in the cross-validation.
        replicates: bootstrap replicates of the couplings for the weights'
            error (0: none).
        seed: seed of the folds and the replicates (None: a fresh one, kept
            in the result).
        executor: runs the folds and the replicates (any
            :class:`concurrent.futures.Executor`); the bits are the same.

    Raises:
        ValueError: shapes, fewer than two frames, a non-positive theta,
            folds that leave too few couplings to fit, bad sigma.
    """
    rows = frame_rows(vector_sets, scale=scale, offset=offset)
    frames, count, unknowns = rows.shape
    o = np.asarray(observed, dtype=np.float64)
    if o.shape != (count,) or not np.isfinite(o).all():
        raise ValueError(
            f"observed must hold {count} finite values, got shape {o.shape}"
        )
    s = as_row_factors(sigma, count, "sigma")
    if s is not None and not (np.isfinite(s).all() and (s > 0).all()):
        raise ValueError("sigma must be finite and positive")
    if frames < 2:
        raise ValueError("reweighting needs at least two frames")
    tried = np.array([theta] if theta is not None else list(thetas), dtype=np.float64)
    if tried.size == 0 or not (np.isfinite(tried).all() and (tried > 0).all()):
        raise ValueError("theta must be finite and positive")
    tried = np.unique(tried)[::-1].copy()
    if not 2 <= folds <= count:
        raise ValueError(f"folds must be from 2 to the {count} couplings, got {folds}")
    if count - -(-count // folds) <= unknowns:
        raise ValueError(
            f"{folds} folds of {count} couplings leave too few to fit the "
            f"tensor's {unknowns} unknowns without one: use fewer folds"
        )
    if replicates < 0 or replicates == 1:
        raise ValueError(f"replicates must be 0 or from 2, got {replicates}")
    per_row = np.ones(count) if s is None else s
    rows = rows / per_row[None, :, None]
    y = o / per_row

    sequence = np.random.SeedSequence(seed)
    # A fresh sequence's entropy is one integer: the seed that repeats this run.
    used_seed = cast(int, sequence.entropy) if seed is None else seed
    rng = np.random.default_rng(sequence)
    fold_of = np.empty(count, dtype=np.intp)
    fold_of[rng.permutation(count)] = np.arange(count) % folds
    draws = rng.integers(0, count, size=(replicates, count))

    everything = np.arange(count)
    nothing = np.empty(0, dtype=np.intp)
    jobs = [(rows, y, tried, everything, nothing)] + [
        (rows, y, tried, np.flatnonzero(fold_of != f), np.flatnonzero(fold_of == f))
        for f in range(folds)
    ]
    chains = _map(executor, _theta_chain, jobs)
    weights, _, converged = chains[0]
    left_out = np.empty((len(tried) + 1, count))
    for f, (_, residuals, _) in enumerate(chains[1:]):
        left_out[:, fold_of == f] = residuals
    cv_chi2 = np.einsum("ij,ij->i", left_out, left_out)
    free_q = np.array([q_factor(r * per_row, o) for r in left_out])
    best = _one_standard_error(left_out[1:] ** 2)
    chosen = weights[best]

    batches = [
        (rows, y, float(tried[best]), draws[k : k + REPLICATES_PER_TASK])
        for k in range(0, replicates, REPLICATES_PER_TASK)
    ]
    drawn = _map(executor, _replicates, batches)
    replicate_weights = np.concatenate(drawn) if drawn else np.empty((0, frames))
    weights_sd = (
        np.std(replicate_weights, axis=0, ddof=1)
        if replicates
        else np.full(frames, math.nan)
    )

    uniform = np.full(frames, 1.0 / frames)
    before_values = _tensor_fit(rows, uniform, y)[1]
    coefficients, after_values = _tensor_fit(rows, chosen, y)
    before_hz, after_hz = before_values * per_row, after_values * per_row
    a = coefficients
    matrix = np.array(
        [[a[0], a[2], a[3]], [a[2], a[1], a[4]], [a[3], a[4], -a[0] - a[1]]]
    )
    curve = ThetaCurve(
        theta=tried,
        chi2=np.array(
            [_chi2(_tensor_fit(rows, w, y)[1] - y) for w in weights], dtype=np.float64
        ),
        kish_fraction=np.array([_kish(w) for w in weights]),
        entropy_fraction=np.array([math.exp(-_kl(w)) for w in weights]),
        cv_chi2=cv_chi2[1:],
        free_q=free_q[1:],
    )
    if not converged[best]:
        notices.warn(
            f"the weights and the tensor at theta {tried[best]:g} were still "
            f"moving after {ALTERNATIONS} alternations: the weights may be "
            "short of their optimum"
        )
    return ReweightResult(
        weights=chosen,
        weights_sd=weights_sd,
        replicate_weights=replicate_weights,
        theta=float(tried[best]),
        curve=curve,
        kish_fraction=_kish(chosen),
        entropy_fraction=math.exp(-_kl(chosen)),
        chi2_before=_chi2(before_values - y),
        chi2_after=_chi2(after_values - y),
        q_before=q_factor(before_hz - o, o),
        q_after=q_factor(after_hz - o, o),
        free_q_before=float(free_q[0]),
        free_q_after=float(free_q[best + 1]),
        tensor=tensor_from_matrix(matrix),
        coefficients=coefficients,
        observed=o,
        calculated=after_hz,
        sigma=s,
        folds=folds,
        seed=used_seed,
        converged=bool(converged[best]),
    )


# ------------------------------------------------ an ensemble's or a trajectory's frames


@dataclass(frozen=True, eq=False)
class EnsembleFrames:
    """The frames of an ensemble or a trajectory, matched to one medium.

    Attributes:
        vector_sets: frames x N x 3 bond vectors (superposed when asked).
        observed: the N couplings.
        sigma: their uncertainties, or None (unweighted).
        scale: the tensor's factor of every row (bond types, lengths and
            the sign convention): frames x N, or N for every frame, or None
            (all 1).
        labels: each coupling's label.
        numbers: each frame's model number (from 1) or frame index.
        kind: ``"model"`` or ``"frame"``.
        times: each frame's time (ps; NaN for models).
        medium: the medium's name.
    """

    vector_sets: NDArray[np.float64]
    observed: NDArray[np.float64]
    sigma: NDArray[np.float64] | None
    scale: NDArray[np.float64] | None
    labels: list[str]
    numbers: list[int]
    kind: str
    times: NDArray[np.float64]
    medium: str


def structure_frames(request: FitRequest) -> EnsembleFrames:
    """Every model of ``request.structure`` matched to its one medium, each
    superposed on the reference when ``request.superpose`` says so.

    The sign convention and the uncertainties are decided as a fit of model
    1 decides them (:func:`~kelfit_tools.media.fit_medium_with`); each
    model's rows are scaled by its own bond lengths, and by the sign of an
    N-H row's constant, so that the tensor's Da is Da(N-H).

    Raises:
        DataError: several media, models that do not all supply the same
            couplings, and whatever preparing a fit refuses.
    """
    from .bonds import length_overrides, row_scales
    from .io.structure import load_structure
    from .media import fit_medium_with, nh_sign
    from .prepare import (
        Preparation,
        one_medium,
        pick_media,
        read_media,
        structure_for_fit,
        structure_inputs,
    )

    assert request.structure is not None
    medium = one_medium(
        pick_media(read_media(request.couplings, request.format), request.media),
        "an ensemble is reweighted",
    )
    report = Preparation()
    structure = structure_for_fit(request.structure, report, build_hn=request.build_hn)
    if len(structure) < 2:
        raise DataError(
            f"{request.structure}: reweighting needs an ensemble of models, and "
            "the structure holds one"
        )
    reference = load_structure(request.reference)[0] if request.reference else None
    prepared = structure_inputs(
        structure, [medium], request.selection, report,
        models=range(1, len(structure) + 1), chain=request.chain,
        strict_names=request.strict_names, offset=request.options.offset,
        superpose=request.superpose, reference=reference,
    )  # fmt: skip
    report.say()
    first = prepared[0].matched
    labels = [c.label for c in first.couplings]
    for p in prepared[1:]:
        if [c.label for c in p.matched.couplings] != labels:
            raise DataError(
                f"model {p.model} does not supply the same couplings as model 1: "
                "an ensemble is reweighted over couplings every model has"
            )
    o = request.options
    fitted = fit_medium_with(first.vectors, first.couplings, o, name=medium.name)
    for note in fitted.notes:
        notices.note(note)
    for warning in fitted.warnings:
        notices.warn(warning)
    atoms = [(c.atom_i or "", c.atom_j or "") for c in first.couplings]
    vector_sets = np.array([p.matched.vectors for p in prepared], dtype=np.float64)
    # Times the N-H row's sign, so that the tensor's Da is Da(N-H) whatever
    # the convention, as a trajectory's frames give it.
    scale = nh_sign(fitted.convention) * np.array([
        row_scales(
            atoms, np.linalg.norm(v, axis=1), convention=fitted.convention,
            bond_lengths=o.bond_lengths, nh_length=o.nh_length,
            lengths=length_overrides(o.lengths), flip=o.flip,
            normalised=o.normalised,
        )[1]
        for v in vector_sets
    ])  # fmt: skip
    return EnsembleFrames(
        vector_sets=vector_sets,
        observed=fitted.result.observed,
        sigma=fitted.result.sigma,
        scale=scale,
        labels=labels,
        numbers=[p.model for p in prepared],
        kind="model",
        times=np.full(len(prepared), math.nan),
        medium=medium.name,
    )


def trajectory_frames(
    request: FitRequest, trajectory: str, frames: slice | None = None, stride: int = 1
) -> EnsembleFrames:
    """The chosen frames of a trajectory (``request.structure`` its
    topology) matched to its one medium, each superposed on the reference
    when ``request.superpose`` says so, and scaled as ``kelfit fit
    --trajectory`` scales them
    (:func:`~kelfit_tools.trajectory.frame_basis`).

    Raises:
        DataError: as :func:`~kelfit_tools.prepare.trajectory_input`, a
            reader that failed, or fewer than two frames.
    """
    from .io.trajectory import frame_range, load_universe, read_frames, whole_frames
    from .media import row_sigma
    from .prepare import Preparation, pick_media, read_media, trajectory_input
    from .superpose import frame_superposer
    from .trajectory import coupled_residues, frame_basis, frame_vectors

    assert request.structure is not None
    media = pick_media(read_media(request.couplings, request.format), request.media)
    universe = load_universe(request.structure, trajectory)
    report = Preparation()
    pairs = trajectory_input(
        universe, media, request.selection, report, chain=request.chain,
        strict_names=request.strict_names, offset=request.options.offset,
    )  # fmt: skip
    report.say()
    sigma = None
    if request.options.weighted:
        sigma, why = row_sigma(pairs.couplings)
        if why:
            notices.note(why)
    chosen = frame_range(whole_frames(universe), frames, stride)
    if len(chosen) < 2:
        raise DataError(f"{trajectory}: reweighting needs two frames or more")
    superposer = None
    atoms = pairs.atom_indices()
    if request.superpose is not None:
        superposer = frame_superposer(
            universe, request.superpose, residues=coupled_residues(pairs),
            reference=load_universe(request.reference) if request.reference else None,
            frame=chosen[0],
        )  # fmt: skip
        atoms = np.union1d(atoms, superposer.indices)
        notices.note(
            f"superposing every frame on {superposer.description} over "
            f"{superposer.atoms} atoms ({superposer.selection})"
        )
    basis = frame_basis(pairs, request.options)
    notices.note(basis.basis)
    vector_sets = np.empty((len(chosen), len(pairs.values), 3))
    times = np.empty(len(chosen))
    for k, frame in enumerate(read_frames(universe, chosen, atoms)):
        vector_sets[k] = frame_vectors(pairs, superposer, frame.positions)[0]
        times[k] = frame.time
    scale = (
        np.array([basis.scales(v) for v in vector_sets])
        if basis.each_frame
        else basis.scales()
    )
    return EnsembleFrames(
        vector_sets=vector_sets,
        observed=np.asarray(pairs.values, dtype=np.float64),
        sigma=sigma,
        scale=scale,
        labels=list(pairs.labels),
        numbers=list(chosen),
        kind="frame",
        times=times,
        medium=media[0].name,
    )
