"""Error estimates by repeated fitting of perturbed data."""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping
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

#: Most refits of one estimate: each keeps about 1.1 kB of results, so a
#: million is a gigabyte, and the spread is settled long before.
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
        da, r, offset: the canonical values of every refit.
        weighted: whether the refits were weighted by per-row sigmas.
        matrices: every refit's tensor as a 3x3 matrix in the molecular
            frame (trials x 3 x 3), for quantities derived from the tensor,
            such as the comparison of media.
        structure_noise_deg: rms tilt (degrees) given to every vector of
            every replicate (0: none).
        models_drawn: how many structures the replicates drew their
            vectors from (0: the fit's own vectors).
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
        """Dr = R Da of every refit."""
        return rhombic_component(self.da, self.r)


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


class _Replicate(NamedTuple):
    da: float
    r: float
    offset: float
    axis_angles: NDArray[np.float64]
    matrix: NDArray[np.float64]


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


def _replicate(setup: _Setup, seed: np.random.SeedSequence) -> _Replicate:
    """One refit of perturbed data, drawn from the replicate's own stream.

    The stream depends on the replicate's seed alone, so the refit is the
    same whichever worker runs it, and in whatever order.
    """
    rng = np.random.default_rng(seed)
    o = setup.observed
    w, k = setup.weights, setup.scale
    v = _drawn_vectors(setup, rng)
    if setup.perturbation == "noise":
        noise = rng.normal(0.0, setup.noise, len(o))  # type: ignore[arg-type]  # set for noise
        params = _refit(v, o + noise, setup, w, k)
    else:
        params = _bootstrap_refit(v, o, rng, setup, w, k)
    return _summary(setup, params)


def _summary(setup: _Setup, params: NDArray[np.float64]) -> _Replicate:
    return _summaries(setup, np.asarray(params, dtype=np.float64)[None])[0]


def _summaries(setup: _Setup, params: NDArray[np.float64]) -> list[_Replicate]:
    """The replicates of F refits' parameters (F x 6): each refit's
    canonical Da and R, offset, axis angles to the best fit and matrix.

    The canonical frames of the whole stack come from one pass over it, so
    the Python per replicate is its matrix and one small record.
    """
    matrices = np.array([tensor_from_params(p) for p in params])
    da, r, axes = principal_frames(matrices)
    angles = axis_angles(setup.reference, axes)
    return [
        _Replicate(d, q, o, a, m)
        for d, q, o, a, m in zip(
            da.tolist(), r.tolist(), params[:, 5].tolist(), angles, matrices
        )
    ]


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


class _Chunk(NamedTuple):
    """The module's results of a run of consecutive linear replicates."""

    params: NDArray[np.float64]
    matrices: NDArray[np.float64]
    axes: NDArray[np.float64]


def _linear_replicates(setup: _Setup, indices: list[int]) -> list[_Chunk | None]:
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
    chunk = _Chunk(done.params, done.order_matrix, done.axes)
    return [chunk, *([None] * (count - 1))]


def _replicates(setup: _Setup, seeds: list[np.random.SeedSequence]) -> list[_Replicate]:
    """A batch of Powell replicates, one after another."""
    out = []
    for index, seed in enumerate(seeds):
        try:
            out.append(_replicate(setup, seed))
        except (ValueError, ArithmeticError) as exc:
            raise FitFailed.of(index, exc) from exc
    return out


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
    if not looped:
        replicates = list(
            map_batches(
                _replicates, setup, root.spawn(trials), workers=workers,
                executor=executor, progress=progress is not False,
                description=description, whole_batches=True,
            )
        )  # fmt: skip
        return _summarise(
            setup,
            np.array([[rep.da, rep.r, rep.offset] for rep in replicates]),
            np.array([rep.axis_angles for rep in replicates]),
            np.array([rep.matrix for rep in replicates]),
            s,
        )
    chunks = [
        chunk
        for chunk in map_batches(
            _linear_replicates,
            setup,
            range(trials),
            workers=workers,
            executor=InlineExecutor() if inline else executor,
            progress=progress is not False,
            description=description,
            batch=_REPLICATE_CHUNK if inline else None,
            whole_batches=True,
        )
        if chunk is not None
    ]
    params = np.concatenate([c.params for c in chunks])
    axes = np.concatenate([c.axes for c in chunks])
    return _summarise(
        setup,
        params[:, 3:6],
        axis_angles(setup.reference, axes),
        np.concatenate([c.matrices for c in chunks]),
        s,
    )


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


def _summarise(
    setup: _Setup,
    canonical: NDArray[np.float64],
    angles: NDArray[np.float64],
    matrices: NDArray[np.float64],
    sigma: float,
) -> MonteCarloResult:
    """The spread of the replicates about the best fit, from each one's Da,
    R and offset (K x 3), axis angles to the best fit (K x 3, degrees) and
    matrix (K x 3 x 3)."""
    da = np.ascontiguousarray(canonical[:, 0])
    r = np.ascontiguousarray(canonical[:, 1])
    off = np.ascontiguousarray(canonical[:, 2])
    spread = np.sqrt(np.mean(angles**2, axis=0))
    sets = setup.vector_sets
    return MonteCarloResult(
        method=setup.perturbation,
        trials=len(da),
        sigma=sigma,
        da_sd=float(np.std(da, ddof=1)),
        r_sd=float(np.std(r, ddof=1)),
        dr_sd=float(np.std(rhombic_component(da, r), ddof=1)),
        offset_sd=float(np.std(off, ddof=1)) if setup.offset else 0.0,
        axis_spread_deg=(float(spread[0]), float(spread[1]), float(spread[2])),
        da=da,
        r=r,
        offset=off,
        dr_model_sd=float(np.std(dr_model(da, r), ddof=1)),
        weighted=setup.weights is not None,
        matrices=matrices,
        structure_noise_deg=setup.structure_noise,
        models_drawn=0 if sets is None else int(sets.shape[0]),
    )
