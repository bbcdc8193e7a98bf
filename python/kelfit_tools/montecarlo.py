"""Error estimates by repeated fitting of perturbed data."""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable, Iterator, Mapping
from concurrent.futures import Executor
from dataclasses import dataclass
from typing import Any, NamedTuple, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .display import html_of
from .fitting import (
    PARAMETER_NAMES,
    DesignRows,
    FitResult,
    as_observed,
    as_row_factors,
    as_vectors,
    fit,
    fixed_indices,
    linear_start,
    resolve_method,
)
from .many import FitFailed, InlineExecutor, default_workers, map_batches
from .options import check_tilt
from .tensor import (
    axis_angles,
    degree_of_order,
    dr_model,
    principal_frames,
    rhombic_component,
    tensor_from_params,
)

__all__ = [
    "MAX_TRIALS",
    "PERTURBATIONS",
    "MonteCarloResult",
    "check_trials",
    "monte_carlo",
    "reorient",
]

Seed = Union[None, int, np.random.SeedSequence, np.random.Generator]

#: Most refits of one estimate: the spread is settled long before, and a
#: million kept refits (``keep_refits``) are some 170 MB.
MAX_TRIALS = 1_000_000


def check_trials(trials: int) -> None:
    """Refuse a number of refits outside 2 to :data:`MAX_TRIALS`.

    Raises:
        ValueError: naming the range.
    """
    if not 2 <= trials <= MAX_TRIALS:
        raise ValueError(
            f"the number of refits must be from 2 to {MAX_TRIALS:,}, got {trials}"
        )


#: Fresh draws allowed for one bootstrap refit before giving up.
_BOOTSTRAP_REDRAWS = 50

#: Linear replicates per module call when the module spreads them over threads.
_REPLICATE_CHUNK = 4096


@dataclass(frozen=True, eq=False)
class MonteCarloResult:
    """Spread of the tensor over refits of perturbed data.

    Da, R and Dr = R Da are taken from each refit's canonical form
    (0 <= R <= 2/3), so equivalent parameter sets from different refits
    compare like for like.  Every refit is weighted as the fit it describes
    was, so that the refits scatter around that fit.

    The statistics are accumulated as the refits come in, so a million
    refits take no more memory than a hundred; each refit's own values are
    kept only when asked (``keep_refits``).

    Attributes:
        method: ``"noise"`` or ``"bootstrap"``.
        trials: number of refits.
        sigma: standard deviation of the added noise (``nan`` for bootstrap
            and for per-row sigmas).
        da_sd, r_sd, dr_sd, offset_sd: standard deviations over the refits
            of Da, R, Dr = R Da and the offset (``offset_sd`` is 0 when the
            offset was not fitted).
        dr_model_sd: standard deviation of the module's coefficient 1.5 Da R.
        axis_spread_deg: for the principal axes x, y and z, the
            root-mean-square angle (degrees) between each refit's axis and
            the best fit's.
        da, r, offset: the canonical values of every refit, when kept
            (else empty).
        weighted: whether the refits were weighted by per-row sigmas.
        matrices: every refit's tensor as a 3x3 matrix in the molecular
            frame (trials x 3 x 3), when kept (else None), for quantities
            derived from the tensor, such as the comparison of media.
        structure_noise_deg: rms tilt (degrees) given to every vector of
            every replicate (0: none).
        models_drawn: how many structures the replicates drew their
            vectors from (0: the fit's own vectors).
        da_mean, r_mean: the refits' mean Da and R.
        gdo_mean, gdo_sd: mean and standard deviation of the generalized
            degree of order (:func:`~kelfit_tools.tensor.degree_of_order`)
            in Da's unit: over the dipolar constant of scale 1 they are
            dimensionless.
        offset_fitted: whether the refits fitted the offset.
        axes: every refit's principal axes x, y, z as the rows of a
            rotation (trials x 3 x 3), when kept (else None): the sky map.
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
    dr_model_sd: float = math.nan
    weighted: bool = False
    matrices: NDArray[np.float64] | None = None
    structure_noise_deg: float = 0.0
    models_drawn: int = 0
    da_mean: float = math.nan
    r_mean: float = math.nan
    gdo_mean: float = math.nan
    gdo_sd: float = math.nan
    offset_fitted: bool = False
    axes: NDArray[np.float64] | None = None

    def __repr__(self) -> str:
        return (
            f"MonteCarloResult(method={self.method!r}, trials={self.trials}, "
            f"da_sd={self.da_sd:.4g}, r_sd={self.r_sd:.4g})"
        )

    def _repr_html_(self) -> str:
        """The spread over the refits as a table, for a notebook."""
        return html_of(self)

    @property
    def dr(self) -> NDArray[np.float64]:
        """Dr = R Da of every kept refit."""
        return rhombic_component(self.da, self.r)

    @property
    def kept(self) -> bool:
        """Whether every refit's own values were kept."""
        return self.matrices is not None


class _Setup(NamedTuple):
    """What every replicate needs; sent once per batch of replicates."""

    vectors: NDArray[np.float64] | DesignRows
    observed: NDArray[np.float64]
    perturbation: str
    noise: NDArray[np.float64] | None
    offset: bool
    reference: NDArray[np.float64]
    weights: NDArray[np.float64] | None
    scale: NDArray[np.float64] | None
    fit_method: str = "linear"
    fixed: tuple[tuple[int, float], ...] = ()  # (index, value), as they are held
    workers: int = 1
    structure_noise: float = 0.0
    vector_sets: NDArray[np.float64] | None = None
    key: int = 0  # the module's stream key (linear refits)


def _refit(
    v: NDArray[np.float64] | DesignRows,
    o: NDArray[np.float64],
    setup: _Setup,
    sigma: NDArray[np.float64] | None,
    scale: NDArray[np.float64] | None,
) -> NDArray[np.float64]:
    """The parameters :func:`fit` finds, without its statistics.

    A refit needs only the parameters; the module's fits run without the
    interpreter lock, so replicates on threads overlap.
    """
    import kelfit

    start = linear_start(v, o, offset=setup.offset, sigma=sigma, scale=scale)
    if setup.fit_method == "linear":
        return start
    assert not isinstance(v, DesignRows)  # fit refuses them with powell
    held = dict(setup.fixed)
    for index, value in held.items():
        start[index] = value
    in_cost = setup.offset or 5 in held
    if not in_cost:
        start[5] = 0.0
    outcome = kelfit.fit(
        v,
        o,
        start,
        sigma=sigma,
        scale=scale,
        offset=in_cost,
        fixed=tuple(sorted(held)),
    )
    params: NDArray[np.float64] = np.asarray(outcome.params, dtype=np.float64)
    return params


def _rows(a: NDArray[np.float64] | None, rows: NDArray[np.int64]) -> Any:
    return None if a is None else a[rows]


def _bootstrap_refit(
    v: NDArray[np.float64] | DesignRows,
    o: NDArray[np.float64],
    rng: np.random.Generator,
    setup: _Setup,
    sigma: NDArray[np.float64] | None,
    scale: NDArray[np.float64] | None,
) -> NDArray[np.float64]:
    count = len(v)
    for _ in range(_BOOTSTRAP_REDRAWS):
        # Each row, the last included, is drawn with probability 1/count.
        rows = rng.integers(0, count, count)
        try:
            return _refit(
                v[rows], o[rows], setup, _rows(sigma, rows), _rows(scale, rows)
            )
        except ValueError:
            continue
    raise ValueError(_REDRAWS_FAILED)


#: Why a bootstrap gives up.
_REDRAWS_FAILED = (
    "bootstrap: resampled rows keep failing to determine the tensor; "
    "too few vectors for resampling"
)


def _drawn_vectors(
    setup: _Setup, rng: np.random.Generator
) -> NDArray[np.float64] | DesignRows:
    """A replicate's vectors: a model drawn from the ensemble and turned by
    structural noise, or the fit's own vectors.

    The coordinates are drawn before the couplings, so a replicate's noise
    on the couplings does not depend on how its vectors were drawn.
    """
    v = setup.vectors
    if setup.vector_sets is not None:
        v = setup.vector_sets[rng.integers(0, setup.vector_sets.shape[0])]
    if setup.structure_noise > 0.0:
        assert not isinstance(v, DesignRows)  # refused with design rows
        v = reorient(v, setup.structure_noise, rng)
    return v


def _replicate(setup: _Setup, seed: np.random.SeedSequence) -> NDArray[np.float64]:
    """The parameters of one refit of perturbed data, drawn from the
    replicate's own stream.

    The stream depends on the replicate's seed alone, so the refit is the
    same whichever worker runs it, and in whatever order.
    """
    rng = np.random.default_rng(seed)
    o = setup.observed
    w, k = setup.weights, setup.scale
    v = _drawn_vectors(setup, rng)
    if setup.perturbation == "noise":
        noise = rng.normal(0.0, setup.noise, len(o))  # type: ignore[arg-type]  # set for noise
        return _refit(v, o + noise, setup, w, k)
    return _bootstrap_refit(v, o, rng, setup, w, k)


def reorient(
    vectors: ArrayLike, angle_deg: float, rng: np.random.Generator
) -> NDArray[np.float64]:
    """Every vector turned by a random, isotropic tilt of rms ``angle_deg``.

    Each vector is tilted away from its direction by a displacement drawn
    from a two-dimensional Gaussian in the plane perpendicular to it (each
    component of standard deviation ``angle_deg / sqrt(2)``, in radians):
    the tilt's azimuth is uniform, its size Rayleigh-distributed with a
    root-mean-square of ``angle_deg``.  Lengths are kept, so bond-length
    scaling is unchanged.

    Raises:
        ValueError: an angle outside 0 to :data:`MAX_TILT_DEG`.
    """
    check_tilt(angle_deg)
    v = np.asarray(vectors, dtype=np.float64)
    length = np.linalg.norm(v, axis=1)
    u = v / length[:, None]
    # Any vector not parallel to u gives the first perpendicular.
    helper = np.zeros_like(u)
    helper[np.arange(u.shape[0]), np.argmin(np.abs(u), axis=1)] = 1.0
    e1 = np.cross(u, helper)
    e1 /= np.linalg.norm(e1, axis=1)[:, None]
    e2 = np.cross(u, e1)
    per_axis = math.radians(angle_deg) / math.sqrt(2.0)
    g = rng.normal(0.0, per_axis, (u.shape[0], 2))
    tilt = np.hypot(g[:, 0], g[:, 1])
    direction = g[:, :1] * e1 + g[:, 1:] * e2
    # sin(t) / t -> 1 as t -> 0: the displacement itself is the direction.
    factor = np.where(tilt > 0.0, np.sin(tilt) / np.where(tilt > 0.0, tilt, 1.0), 1.0)
    turned = np.cos(tilt)[:, None] * u + factor[:, None] * direction
    out: NDArray[np.float64] = turned * length[:, None]
    return out


class _Refits(NamedTuple):
    """Consecutive refits: each one's canonical Da, R and offset (F x 3),
    tensor matrix and principal axes (rows; F x 3 x 3)."""

    canonical: NDArray[np.float64]
    matrices: NDArray[np.float64]
    axes: NDArray[np.float64]


def _linear_replicates(setup: _Setup, indices: list[int]) -> list[_Refits | None]:
    """Linear replicates ``indices`` (consecutive) in one call of the
    module's replicate loop, shared among ``setup.workers`` threads.

    Replicate k draws from the module's stream of (``setup.key``, k), so its
    bits do not depend on the batches, the threads or the executor.  A
    bootstrap draw whose rows do not determine the tensor is drawn again
    from the same stream, up to ``_BOOTSTRAP_REDRAWS`` draws in all.

    Returns one entry per replicate, as :func:`map_batches` counts them: the
    batch's arrays in the first, None in the rest.
    """
    import kelfit

    first, count = indices[0], len(indices)
    assert not isinstance(setup.vectors, DesignRows)  # refitted one by one
    try:
        done = kelfit.replicates(
            setup.vectors, setup.observed, seed=setup.key, first=first, count=count,
            perturbation=setup.perturbation, noise=setup.noise, sigma=setup.weights,
            scale=setup.scale, offset=setup.offset, vector_sets=setup.vector_sets,
            structure_noise=setup.structure_noise, draws=_BOOTSTRAP_REDRAWS,
            workers=setup.workers,
        )  # fmt: skip
    except ValueError as exc:
        index = getattr(exc, "problem", None)
        if not isinstance(index, int):
            raise
        if setup.perturbation == "bootstrap":
            raise FitFailed(index - first, _REDRAWS_FAILED) from exc
        raise FitFailed.of(index - first, exc) from exc
    refits = _Refits(done.params[:, 3:6], done.order_matrix, done.axes)
    return [refits, *([None] * (count - 1))]


def _replicates(
    setup: _Setup, seeds: list[np.random.SeedSequence]
) -> list[_Refits | None]:
    """A batch of Powell replicates, one after another, returned as
    :func:`_linear_replicates` returns its own: the batch's arrays in the
    first entry, None in the rest.

    The canonical frames of the whole batch come from one pass over it.
    """
    params = []
    for index, seed in enumerate(seeds):
        try:
            params.append(_replicate(setup, seed))
        except (ValueError, ArithmeticError) as exc:
            raise FitFailed.of(index, exc) from exc
    stacked = np.array(params, dtype=np.float64)
    matrices = np.array([tensor_from_params(p) for p in stacked])
    da, r, axes = principal_frames(matrices)
    refits = _Refits(np.column_stack([da, r, stacked[:, 5]]), matrices, axes)
    return [refits, *([None] * (len(seeds) - 1))]


def _spawned(
    root: np.random.SeedSequence, count: int
) -> Iterator[np.random.SeedSequence]:
    """``root.spawn(count)`` one child at a time (the same children), so a
    long run of Powell refits never holds every seed at once."""
    for _ in range(count):
        yield root.spawn(1)[0]


#: Refits summarised together.  Each block's mean and sum of squared
#: deviations are merged into the running ones in the order of the refits,
#: blocks of this many from refit 0 whatever the batches were, so the
#: spread has the same bits on any number of workers and any executor.
_SUMMARY_BLOCK = 4096

#: What is summarised of every refit, one row each.
_SUMMARISED = ("da", "r", "offset", "dr", "dr_model", "gdo", "x2", "y2", "z2")
_DA, _R, _OFFSET, _DR, _DR_MODEL, _GDO = range(6)
#: The rows of the squared axis angles (x, y, z).
_AXES_SQUARED = slice(6, 9)


class _Spread:
    """The running summary of the refits, fed in order.

    Means and sums of squared deviations are merged block by block with
    Chan, Golub and LeVeque's update, which keeps the variance as accurate
    as a two-pass one over every refit at once.  Each refit's own arrays
    are kept only with ``keep``.
    """

    def __init__(self, reference: NDArray[np.float64], keep: bool) -> None:
        self.reference = reference
        self.keep = keep
        self.count = 0
        self.mean = np.zeros(len(_SUMMARISED))
        self.squares = np.zeros(len(_SUMMARISED))
        self.waiting: list[NDArray[np.float64]] = []
        self.kept: list[_Refits] = []

    def add(self, refits: _Refits) -> None:
        """The next refits, in order."""
        da, r, off = (np.asarray(refits.canonical[:, k]) for k in range(3))
        angles = axis_angles(self.reference, refits.axes)
        rows = np.vstack(
            [da, r, off, rhombic_component(da, r), dr_model(da, r),
             degree_of_order(da, r), (angles**2).T]
        )  # fmt: skip
        self.waiting.append(rows)
        if self.keep:
            self.kept.append(refits)
        if sum(w.shape[1] for w in self.waiting) >= _SUMMARY_BLOCK:
            self._merge(final=False)

    def _merge(self, final: bool) -> None:
        """Merge every whole block waiting (with ``final``, the rest too)."""
        rows = np.concatenate(self.waiting, axis=1)
        whole = (
            rows.shape[1] if final else rows.shape[1] // _SUMMARY_BLOCK * _SUMMARY_BLOCK
        )
        for start in range(0, whole, _SUMMARY_BLOCK):
            self._merge_block(
                np.ascontiguousarray(rows[:, start : start + _SUMMARY_BLOCK])
            )
        rest = rows[:, whole:]
        self.waiting = [rest] if rest.shape[1] else []

    def _merge_block(self, block: NDArray[np.float64]) -> None:
        size = block.shape[1]
        mean = np.mean(block, axis=1)
        squares = np.sum(np.square(block - mean[:, None]), axis=1)
        total = self.count + size
        delta = mean - self.mean
        self.mean = self.mean + delta * (size / total)
        self.squares = (
            self.squares + squares + delta * delta * (self.count * size / total)
        )
        self.count = total

    def result(self, setup: _Setup, sigma: float) -> MonteCarloResult:
        """The spread of every refit added."""
        if self.waiting:
            self._merge(final=True)
        sd = np.sqrt(self.squares / (self.count - 1))
        spread = np.sqrt(self.mean[_AXES_SQUARED])
        sets = setup.vector_sets
        kept = self.kept

        def joined(
            pick: Callable[[_Refits], NDArray[np.float64]],
        ) -> NDArray[np.float64]:
            return np.ascontiguousarray(np.concatenate([pick(k) for k in kept]))

        canonical = joined(lambda k: k.canonical) if kept else np.empty((0, 3))
        return MonteCarloResult(
            method=setup.perturbation,
            trials=self.count,
            sigma=sigma,
            da_sd=float(sd[_DA]),
            r_sd=float(sd[_R]),
            dr_sd=float(sd[_DR]),
            offset_sd=float(sd[_OFFSET]) if setup.offset else 0.0,
            axis_spread_deg=(float(spread[0]), float(spread[1]), float(spread[2])),
            da=np.ascontiguousarray(canonical[:, 0]),
            r=np.ascontiguousarray(canonical[:, 1]),
            offset=np.ascontiguousarray(canonical[:, 2]),
            dr_model_sd=float(sd[_DR_MODEL]),
            weighted=setup.weights is not None,
            matrices=joined(lambda k: k.matrices) if kept else None,
            structure_noise_deg=setup.structure_noise,
            models_drawn=0 if sets is None else int(sets.shape[0]),
            da_mean=float(self.mean[_DA]),
            r_mean=float(self.mean[_R]),
            gdo_mean=float(self.mean[_GDO]),
            gdo_sd=float(sd[_GDO]),
            offset_fitted=setup.offset,
            axes=joined(lambda k: k.axes) if kept else None,
        )


def _stream_key(root: np.random.SeedSequence) -> int:
    """The 64-bit key of the module's streams, derived once from the root."""
    return int(root.generate_state(1, np.uint64)[0])


def _root_seed(seed: Seed) -> np.random.SeedSequence:
    if isinstance(seed, np.random.SeedSequence):
        return seed
    if isinstance(seed, np.random.Generator):
        # Draw the root from the generator, so that successive calls with
        # one generator get different, still reproducible, streams.
        return np.random.SeedSequence(seed.integers(0, 2**63, size=4).tolist())
    return np.random.SeedSequence(seed)


def monte_carlo(
    vectors: ArrayLike | DesignRows,
    observed: ArrayLike,
    trials: int = 100,
    *,
    perturbation: str = "noise",
    sigma: float | ArrayLike | None = None,
    offset: bool = False,
    scale: ArrayLike | None = None,
    result: FitResult | None = None,
    seed: Seed = None,
    progress: bool | None = None,
    workers: int | None = None,
    executor: Executor | None = None,
    structure_noise: float = 0.0,
    vector_sets: ArrayLike | None = None,
    fit_method: str | None = None,
    fixed: Mapping[str, float] | None = None,
    method: str | None = None,
    keep_refits: bool = False,
) -> MonteCarloResult:
    """Estimate the uncertainty of a fit by refitting perturbed data.

    With ``perturbation="noise"`` each refit adds Gaussian noise to the
    observed values: of standard deviation ``sigma`` when given (one value,
    or one per row), else each row's sigma of a weighted fit, else the best
    fit's RMSD.  With ``perturbation="bootstrap"`` each refit uses N rows
    drawn with replacement (a draw whose directions cannot determine the
    tensor is drawn again); the rows keep their sigma and scale.

    Every refit is weighted as the fit it describes: by ``result.sigma``
    when ``result`` is given, else by per-row ``sigma`` (an array), with
    which the best fit is then made.  A refit weighted otherwise than its
    fit would centre elsewhere, and its spread would not be the fit's.

    Every refit is made as the fit it describes, too: by its method
    (``fit_method``: the exact linear optimum, or Powell from it) and with
    its fixed parameters held at their values.  Linear refits run in the
    module's replicate loop (``kelfit.replicates``), which draws and
    solves each one in C++, chunks of them shared among ``workers``
    threads when there is no ``executor``, one chunk to a task with one.

    Every refit draws from its own random stream, so a seeded estimate is
    the same bits on any number of workers and any executor: for linear
    refits, the module's Philox stream of (root ``seed``, refit), keyed by
    the root :class:`~numpy.random.SeedSequence`'s first 64 bits of state
    (the same bits on every platform); for Powell refits, streams spawned
    from it by :meth:`numpy.random.SeedSequence.spawn`.

    Args:
        vectors: N x 3 array of bond vectors, or
            :class:`~kelfit_tools.fitting.DesignRows` (couplings averaged
            over an ensemble): those are refitted by :func:`fit` one
            replicate at a time, from streams spawned as Powell's are.
        observed: N observed values.
        trials: number of refits (K).
        perturbation: ``"noise"`` or ``"bootstrap"``.
        sigma: noise standard deviation for ``"noise"``, one for all rows, or
            one per row (then also the weights, unless ``result`` says how
            the fit was weighted).
        offset: fit the offset too.
        scale: per-row factors of Da and Dr, as given to :func:`fit`.
        result: the best fit, if already computed; its ``sigma`` weights
            the refits.
        seed: root seed (an integer or a ``SeedSequence``), or a generator
            to draw one from, for reproducible estimates.
        progress: show a progress bar on stderr when it is a terminal
            (None or True); False: never.
        workers: threads to refit on (default: every core); with an
            ``executor``, how many tasks it runs at once.
        executor: any :class:`concurrent.futures.Executor` to refit on,
            such as a process pool or a Dask cluster's executor.
        structure_noise: the uncertainty of the coordinates as an angle
            (degrees): every replicate turns each vector by a random
            isotropic tilt of this rms (:func:`reorient`) before refitting.
        vector_sets: M x N x 3 vectors of the same rows in M structures
            (the models of an ensemble, superposed): every replicate refits
            the vectors of one model drawn at random.
        fit_method: ``"linear"`` or ``"powell"``; None: ``result``'s
            method, else as :func:`~kelfit_tools.fit` chooses.
        fixed: parameters every refit holds, as :func:`~kelfit_tools.fit`
            takes them; None: those ``result`` held, at its values.
        method: the former name of ``perturbation`` (deprecated: it read
            as the fit's method, which is ``fit_method``).
        keep_refits: keep every refit's Da, R, offset, tensor matrix and
            principal axes in the result (about 170 bytes a refit), for
            what needs them one by one: the comparisons of media and
            domains, the sky map.  Without it the result holds the
            statistics alone, accumulated as the refits come in, so memory
            does not grow with ``trials``.

    Returns:
        A :class:`MonteCarloResult`.
    """
    perturbation = _perturbation(perturbation, method)
    check_trials(trials)
    # Design rows (couplings averaged over an ensemble) are refitted one by
    # one from NumPy's streams: the module's replicate loop takes vectors.
    given_rows = isinstance(vectors, DesignRows)
    v = vectors if isinstance(vectors, DesignRows) else as_vectors(vectors)
    count = len(v)
    o = as_observed(observed, count)
    factors = as_row_factors(scale, count, "scale")
    per_row = None
    if sigma is not None and np.ndim(sigma) > 0:
        per_row = as_row_factors(sigma, count, "sigma")
    if fixed is None and result is not None:
        fixed = {
            name: result.params[PARAMETER_NAMES.index(name)] for name in result.fixed
        }
    held = fixed_indices(fixed)
    if fit_method is None and result is not None and result.method:
        fit_method = result.method
    chosen = resolve_method(fit_method, fixed=bool(held))
    if result is None:
        best = fit(
            v, o, offset=offset, sigma=per_row, scale=factors, fixed=fixed,
            method=chosen,
        )  # fmt: skip
    else:
        best = result
    s, noise = _noise_levels(perturbation, sigma, per_row, best, count)
    sets = _checked_vector_sets(vector_sets, count)
    check_tilt(structure_noise)
    if given_rows and (sets is not None or structure_noise > 0.0):
        raise ValueError("design rows have no vectors to draw or tilt")
    # Linear refits spread each chunk over threads inside the module; a
    # pool around them would only queue for the interpreter.
    looped = chosen == "linear" and not given_rows
    inline = executor is None and looped
    root = _root_seed(seed)
    setup = _Setup(
        v, o, perturbation, noise, offset, best.tensor().axes, best.sigma, factors,
        fit_method=chosen, fixed=tuple(sorted(held.items())),
        workers=(workers or default_workers()) if inline else 1,
        structure_noise=float(structure_noise), vector_sets=sets,
        key=_stream_key(root) if looped else 0,
    )  # fmt: skip
    description = "Monte Carlo" if perturbation == "noise" else "Bootstrap"
    spread = _Spread(setup.reference, keep_refits)
    if looped:
        done = map_batches(
            _linear_replicates, setup, range(trials), workers=workers,
            executor=InlineExecutor() if inline else executor,
            progress=progress is not False, description=description,
            batch=_REPLICATE_CHUNK if inline else None, whole_batches=True,
        )  # fmt: skip
    else:
        done = map_batches(
            _replicates, setup, _spawned(root, trials), workers=workers,
            executor=executor, progress=progress is not False,
            description=description, total=trials, whole_batches=True,
        )  # fmt: skip
    for refits in done:
        if refits is not None:
            spread.add(refits)
    return spread.result(setup, s)


#: What a replicate does to the data before it is refitted.
PERTURBATIONS = ("noise", "bootstrap")


def _perturbation(perturbation: str, method: str | None) -> str:
    """The perturbation asked for, under its name or its deprecated one."""
    if method is not None:
        warnings.warn(
            "monte_carlo(method=...) is now perturbation=...; method= will go",
            DeprecationWarning,
            stacklevel=3,
        )
        perturbation = method
    if perturbation not in PERTURBATIONS:
        raise ValueError(
            f"perturbation must be 'noise' or 'bootstrap', got {perturbation!r}"
        )
    return perturbation


def _noise_levels(
    perturbation: str,
    sigma: float | ArrayLike | None,
    per_row: NDArray[np.float64] | None,
    best: FitResult,
    rows: int,
) -> tuple[float, NDArray[np.float64] | None]:
    """The noise of every row, and the one sigma it was made of (``nan`` when
    the rows differ or nothing is added).

    Per-row sigmas given here come first, then the weighted fit's own, then
    one value (given, or the fit's RMSD) for every row.
    """
    if perturbation != "noise" or per_row is not None:
        noise = per_row
        s = math.nan
    elif sigma is None and best.sigma is not None:
        noise = best.sigma
        s = math.nan
    else:
        s = best.rmsd if sigma is None else float(sigma)  # type: ignore[arg-type]  # a scalar: arrays became per_row
        if not (s > 0 and math.isfinite(s)):
            raise ValueError(f"noise sigma must be positive, got {s}")
        noise = np.full(rows, s)
    if noise is not None and not np.all(np.isfinite(noise) & (noise >= 0)):
        raise ValueError("noise sigma must be finite and not negative in every row")
    return s, noise


def _checked_vector_sets(
    vector_sets: ArrayLike | None, rows: int
) -> NDArray[np.float64] | None:
    """The ensemble's vectors as M x N x 3 doubles, or None."""
    if vector_sets is None:
        return None
    sets = np.asarray(vector_sets, dtype=np.float64)
    if sets.ndim != 3 or sets.shape[1:] != (rows, 3):
        raise ValueError(f"vector_sets must be M x {rows} x 3, got {sets.shape}")
    return sets
