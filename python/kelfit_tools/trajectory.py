"""The tensor fitted in every frame of a trajectory (needs MDAnalysis).

Two ways in, both over the same matched atom pairs
(:func:`kelfit_tools.io.trajectory.coupling_atoms`):

* :class:`TensorFit`, an MDAnalysis analysis: ``TensorFit(pairs).run(start,
  stop, step)`` fills ``.results``, and ``run(backend="multiprocessing",
  n_workers=4)`` or ``backend="dask"`` spreads the frames as MDAnalysis
  does for its own analyses;
* :func:`fit_frames`, a stream of per-frame results that reads frame after
  frame and fits them in batches on any executor, in flat memory however
  long the trajectory (the ``kelfit fit --trajectory`` path).

A molecule tumbles in most runs, and a tensor fitted to its bond vectors
turns with it.  Both ways in can superpose every frame on a reference first
(:mod:`kelfit_tools.superpose`): the rotation comes from the selected atoms
where the frame is read, and turns the bond vectors, so the tensors of all
frames are in the reference's frame.
"""

from __future__ import annotations

import math
from collections import deque
from collections.abc import Iterator, Mapping
from concurrent.futures import Executor
from dataclasses import dataclass
from itertools import islice
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import notices
from .average import RowMeans
from .checks import (
    length_bounds,
    odd_frames_warning,
    odd_lengths,
    standard_lengths,
)
from .errors import DataError
from .fitting import FitResult, canonical_tensors, fit
from .io.trajectory import (
    CouplingAtoms,
    Frame,
    read_frames,
    require_mdanalysis,
    whole_frames,
)
from .many import FitFailed, iter_fits
from .superpose import AtomSelection, FrameSuperposer, frame_superposer
from .tensor import Tensor, following

__all__ = [
    "FRAMES_PER_TASK",
    "FrameFit",
    "TensorFit",
    "averaged_fit",
    "coupled_residues",
    "fit_frames",
    "frame_vectors",
]

#: Frames per task.  Fixed, not grown with the trajectory's length, so the
#: frames in flight (a few tasks per worker) are as many for a thousand
#: frames as for a million.
FRAMES_PER_TASK = 64

try:
    from MDAnalysis.analysis.base import AnalysisBase as _AnalysisBase
    from MDAnalysis.analysis.results import ResultsGroup as _ResultsGroup
except ImportError:  # without MDAnalysis, TensorFit says what to install
    _AnalysisBase = object
    _ResultsGroup = None


class TensorFit(_AnalysisBase):  # type: ignore[misc]  # MDAnalysis is untyped: Any
    """Fit the tensor in every frame, as an MDAnalysis analysis.

    ``run()`` fills ``results.params`` (frames x 6: a1, a2, a3 in radians,
    Da, R, offset, as fitted), ``results.q``, ``results.rmsd``,
    ``results.cost`` and ``results.rmsd_ref`` (each frame's RMSD to the
    superposition's reference; NaN without one), with ``frames`` and
    ``times`` as usual; ``run(..., backend="multiprocessing" or "dask",
    n_workers=N)`` splits the frames.  With ``average=True``,
    ``results.averaged`` is also the fit to the couplings averaged over the
    frames (:func:`averaged_fit`; the workers' running means are merged).

    Args:
        pairs: matched atom pairs from :func:`coupling_atoms`.
        offset: also fit a constant offset.
        start: start parameters for every frame (default: each frame's
            linear least-squares optimum).
        sigma: per-coupling uncertainties, to fit chi^2 in every frame.
        superpose: superpose every frame on a reference first
            (:func:`~kelfit_tools.superpose.frame_superposer`, which fixes
            the reference before the frames are split among workers).
        method, fixed: as :func:`~kelfit_tools.fit` takes them.
        average: also fit the couplings averaged over the frames.
    """

    _analysis_algorithm_is_parallelizable = True

    @classmethod
    def get_supported_backends(cls) -> tuple[str, ...]:
        return ("serial", "multiprocessing", "dask")

    def __init__(
        self,
        pairs: CouplingAtoms,
        *,
        offset: bool = False,
        start: ArrayLike | None = None,
        sigma: ArrayLike | None = None,
        superpose: FrameSuperposer | None = None,
        method: str | None = None,
        fixed: Mapping[str, float] | None = None,
        average: bool = False,
        **kwargs: Any,
    ) -> None:
        if _ResultsGroup is None:
            require_mdanalysis()
        super().__init__(pairs.first.universe.trajectory, **kwargs)
        self._pairs = pairs
        self._offset = offset
        self._start = None if start is None else np.asarray(start, dtype=np.float64)
        self._sigma = None if sigma is None else np.asarray(sigma, dtype=np.float64)
        self._superpose = superpose
        self._method = method
        self._fixed = None if fixed is None else dict(fixed)
        self._average = average

    def _prepare(self) -> None:
        self.results.params = np.full((self.n_frames, 6), np.nan)
        self.results.q = np.full(self.n_frames, np.nan)
        self.results.rmsd = np.full(self.n_frames, np.nan)
        self.results.cost = np.full(self.n_frames, np.nan)
        self.results.rmsd_ref = np.full(self.n_frames, np.nan)
        if self._average:
            self.results.row_means = RowMeans()

    def _single_frame(self) -> None:
        vectors, rmsd_ref = frame_vectors(self._pairs, self._superpose)
        if self._average:
            self.results.row_means.add(vectors)
        result = fit(
            vectors,
            self._pairs.values,
            self._start,
            offset=self._offset,
            sigma=self._sigma,
            method=self._method,
            fixed=self._fixed,
        )
        k = self._frame_index
        self.results.params[k] = result.params
        self.results.q[k] = result.q
        self.results.rmsd[k] = result.rmsd
        self.results.cost[k] = result.cost
        self.results.rmsd_ref[k] = rmsd_ref

    def _conclude(self) -> None:
        if self._average:
            self.results.averaged = averaged_fit(
                self.results.row_means,
                self._pairs.values,
                offset=self._offset,
                sigma=self._sigma,
            )

    def _get_aggregator(self) -> Any:
        assert _ResultsGroup is not None
        return _ResultsGroup(
            lookup={
                "params": _ResultsGroup.ndarray_vstack,
                "q": _ResultsGroup.ndarray_hstack,
                "rmsd": _ResultsGroup.ndarray_hstack,
                "cost": _ResultsGroup.ndarray_hstack,
                "rmsd_ref": _ResultsGroup.ndarray_hstack,
                "row_means": RowMeans.merged,
            }
        )


@dataclass(frozen=True, eq=False)
class FrameFit:
    """The fit of one frame.

    Attributes:
        frame: the frame's index in the trajectory.
        time: its time (ps, as MDAnalysis reports it).
        result: the fit.
        tensor: the canonical tensor, its axes' signs chosen nearest the
            previous frame's so that angles change smoothly
            (:func:`~kelfit_tools.tensor.following`).
        rmsd_ref: RMSD (angstrom) of the frame's selected atoms to the
            superposition's reference; NaN when frames are not superposed.
    """

    frame: int
    time: float
    result: FitResult
    tensor: Tensor
    rmsd_ref: float = math.nan


def frame_vectors(
    pairs: CouplingAtoms,
    superpose: FrameSuperposer | None,
    positions: NDArray[Any] | None = None,
) -> tuple[NDArray[np.float64], float]:
    """The bond vectors of the current frame, superposed when asked.

    Args:
        pairs: the matched atom pairs.
        superpose: the superposition, or None.
        positions: every atom's positions (as
            :class:`~kelfit_tools.io.trajectory.Frame` holds them); default:
            the universe's current frame.

    Returns:
        The vectors (turned into the reference's orientation) and the
        frame's RMSD to the reference (NaN without superposition).
    """
    vectors = pairs.vectors(positions)
    if superpose is None:
        return vectors, math.nan
    if positions is None:
        positions = pairs.first.universe.atoms.positions
    turn, rmsd = superpose.rotation(positions)
    out: NDArray[np.float64] = vectors @ turn.T
    return out, rmsd


#: Edge (angstrom) below which a unit cell is a placeholder, not a box.
_SMALLEST_CELL = 10.0


class _BondWatch:
    """The bond lengths of every frame fitted, against their standard ones.

    A frame whose bonds are far from them was written damaged, or holds a
    molecule split across the periodic boundary; the first is fitted with a
    warning naming the frames, the second refused: its bonds are fitted as
    vectors across the whole box.
    """

    def __init__(self, pairs: CouplingAtoms) -> None:
        self.pairs = pairs
        self.standard = standard_lengths(pairs.couplings)
        # Squared, so that a sound frame costs a dot product per bond and
        # two comparisons, no square root.
        low, high = length_bounds(self.standard)
        self.low2 = np.where(low > 0, low, 0.0) ** 2
        self.high2 = high**2
        self.frames: list[int] = []
        self.first: tuple[int, float, float] | None = None

    def see(self, frame: Frame, vectors: NDArray[np.float64]) -> None:
        """Check one frame's bond vectors (turned or not: lengths are kept).

        Raises:
            DataError: the frame's odd bonds are whole across its unit cell.
        """
        squared = np.einsum("ij,ij->i", vectors, vectors)
        if ((squared >= self.low2) & (squared <= self.high2)).all():
            return
        lengths = np.sqrt(squared)
        odd = odd_lengths(lengths, self.standard)
        if not odd.any():  # on a bound, squared and not
            return
        # NMR structures carry a placeholder cell of 1 A: no real box is
        # smaller than a small protein.
        if frame.box is not None and min(frame.box[:3]) >= _SMALLEST_CELL:
            self._refuse_split(frame, odd)
        self.frames.append(frame.index)
        if self.first is None:
            row = int(np.argmax(odd))
            self.first = (row, float(lengths[row]), float(self.standard[row]))

    def _refuse_split(self, frame: Frame, odd: NDArray[np.bool_]) -> None:
        from MDAnalysis.lib.distances import minimize_vectors

        raw = self.pairs.vectors(frame.positions)
        across = minimize_vectors(raw.astype(np.float32), frame.box)
        nearest = np.linalg.norm(across.astype(np.float64), axis=1)
        if odd_lengths(nearest, self.standard)[odd].any():
            return  # not (only) the boundary: a damaged frame
        row = int(np.argmax(odd))
        c = self.pairs.couplings[row]
        universe = self.pairs.first.universe
        bonds = hasattr(universe, "bonds") and len(universe.bonds) > 0
        fix = (
            "make the molecules whole first (MDAnalysis's "
            "transformations.unwrap, or gmx trjconv -pbc mol)"
            if bonds
            else "the topology has no bonds to make it whole with: make the "
            "molecules whole first (gmx trjconv -pbc mol, or MDAnalysis's "
            "transformations.unwrap with a topology that has bonds)"
        )
        raise DataError(
            f"frame {frame.index}: the molecule is split across the periodic "
            f"boundary ({int(odd.sum())} bond(s) span the box, such as "
            f"{c.label} {c.atom_i}-{c.atom_j} {np.linalg.norm(raw[row]):.4g} A, "
            f"{nearest[row]:.4g} A across the boundary); {fix}"
        )

    def warning(self) -> str | None:
        """The warning naming the frames with odd bonds, or None."""
        if self.first is None:
            return None
        return odd_frames_warning(self.pairs.couplings, self.frames, self.first)


def coupled_residues(pairs: CouplingAtoms) -> Any:
    """The residues of the coupled atoms (an MDAnalysis ResidueGroup): the
    default residues to superpose over."""
    return (pairs.first + pairs.second).residues


def fit_frames(
    pairs: CouplingAtoms,
    frames: range | None = None,
    *,
    offset: bool = False,
    start: ArrayLike | None = None,
    sigma: ArrayLike | None = None,
    workers: int | None = None,
    executor: Executor | None = None,
    progress: bool = True,
    superpose: FrameSuperposer | AtomSelection | str | None = None,
    isolate: bool | None = None,
    method: str | None = None,
    fixed: Mapping[str, float] | None = None,
    means: RowMeans | None = None,
) -> Iterator[FrameFit]:
    """Fit every frame of ``frames``, yielding the fits in frame order.

    Frames are read one after another (in a child process, unless
    ``isolate`` is false or the universe is in memory); their vectors go to
    the workers in batches, and only a few batches are held at once, so
    memory does not grow with the trajectory's length.  With
    ``superpose``, each frame is superposed on the reference as it is read,
    and the turned vectors go to the workers.

    Args:
        pairs: matched atom pairs from :func:`coupling_atoms`.
        frames: the frame indices (default: every whole frame), e.g. from
            :func:`frame_range`.
        offset: also fit a constant offset.
        start: start parameters for every frame (default: each frame's
            linear least-squares optimum).
        sigma: per-coupling uncertainties, to fit chi^2 in every frame.
        workers: threads (default: every core), or the executor's size.
        executor: any :class:`concurrent.futures.Executor`.
        progress: a progress bar on stderr when it is a terminal.
        superpose: superpose every frame first: a prepared
            :class:`~kelfit_tools.superpose.FrameSuperposer` (its own
            reference), or a selection (``"backbone"``, ...) to superpose
            over, of the coupled residues unless it names residues, onto
            the run's first frame.  None: the frames as they are.
        isolate: read the frames in a child process, so that a reader
            crashing on a damaged file is an error, not the end of this
            process (:func:`~kelfit_tools.io.trajectory.read_frames`);
            default: whenever the universe was read from files.
        method: ``"linear"`` (the default: every batch of frames is one
            stack of ``kelfit.linear``) or ``"powell"``, as
            :func:`~kelfit_tools.fit` takes it.
        fixed: parameters held in every frame, as :func:`~kelfit_tools.fit`
            takes them (powell).
        means: running means that every frame's (superposed) vectors are
            added to as the frame is read, for :func:`averaged_fit` once
            the frames are consumed: one pass, no frame kept.

    Raises:
        DataError: a frame cannot be fitted (naming the frame), the reader
            crashed or failed (naming the file and the last frame read), or
            too few atoms to superpose over.
    """
    universe = pairs.first.universe
    if frames is None:
        frames = range(whole_frames(universe))
    if isinstance(superpose, (AtomSelection, str)):
        superpose = frame_superposer(
            universe,
            superpose,
            residues=coupled_residues(pairs),
            frame=frames[0] if len(frames) else 0,
        )
    times: deque[float] = deque()
    rmsds: deque[float] = deque()

    atoms = pairs.atom_indices()
    if superpose is not None:
        atoms = np.union1d(atoms, superpose.indices)

    watch = _BondWatch(pairs)

    def problems() -> Iterator[tuple[Any, ...]]:
        for frame in read_frames(universe, frames, atoms, isolate=isolate):
            times.append(frame.time)
            vectors, rmsd = frame_vectors(pairs, superpose, frame.positions)
            watch.see(frame, vectors)
            if means is not None:
                means.add(vectors)
            rmsds.append(rmsd)
            yield (vectors, pairs.values)
        odd = watch.warning()
        if odd:
            notices.warn(odd)

    previous: Tensor | None = None
    results = iter_fits(
        problems(),
        workers=workers,
        executor=executor,
        progress=progress,
        total=len(frames),
        batch=FRAMES_PER_TASK,
        offset=offset,
        sigma=sigma,
        start=start,
        method=method,
        fixed=fixed,
    )
    numbers = iter(frames)
    try:
        # The canonical tensors of a task's frames at once: one pass of
        # eigendecompositions over the stack rather than one per frame.
        while chunk := list(islice(results, FRAMES_PER_TASK)):
            # The frame numbers last: zip stops at the chunk's end before
            # taking one more.
            for result, canonical, k in zip(chunk, canonical_tensors(chunk), numbers):
                tensor = following(canonical, previous)
                previous = tensor
                yield FrameFit(
                    frame=k,
                    time=times.popleft(),
                    result=result,
                    tensor=tensor,
                    rmsd_ref=rmsds.popleft(),
                )
    except FitFailed as exc:
        raise DataError(f"frame {frames[exc.index]}: {exc.reason}") from None


def averaged_fit(
    means: RowMeans,
    observed: ArrayLike,
    *,
    offset: bool = False,
    sigma: ArrayLike | None = None,
) -> FitResult:
    """One tensor for the couplings averaged over the frames that
    :func:`fit_frames` added to ``means``: each coupling's design row
    averaged, then one linear fit (with every statistic of a single fit).

    A frame's fit takes its vectors' directions only (no bond-length
    scaling), and so does this one.

    Raises:
        ValueError: no frame was added, or the averaged rows do not
            determine the tensor.
    """
    return fit(
        means.result().design(), observed, offset=offset, sigma=sigma, method="linear"
    )
