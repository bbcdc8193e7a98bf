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
from functools import partial
from itertools import islice
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import notices
from .average import RowMeans
from .bonds import (
    NH_REFERENCE_LENGTH,
    bond_type,
    from_distance,
    length_basis,
    row_scales,
)
from .checks import (
    length_bounds,
    odd_frames_warning,
    odd_lengths,
    standard_lengths,
)
from .errors import DataError
from .fitting import DesignRows, FitResult, canonical_tensors, fit
from .io.trajectory import (
    FRAMES_PER_BLOCK,
    CouplingAtoms,
    FrameBlock,
    read_prepared,
    require_mdanalysis,
    whole_frames,
)
from .many import FitFailed, iter_fits
from .media import check_flip, nh_sign
from .options import FitOptions
from .superpose import AtomSelection, FrameSuperposer, frame_superposer
from .tensor import Tensor, followed

__all__ = [
    "FRAMES_PER_TASK",
    "AveragedFrames",
    "Convergence",
    "FrameBasis",
    "FrameFit",
    "FrameMeans",
    "TensorFit",
    "averaged_fit",
    "coupled_residues",
    "fit_frames",
    "frame_basis",
    "frame_vectors",
]

#: Frames per task: a block as read.  Fixed, not grown with the
#: trajectory's length, so the frames in flight (a few tasks per worker)
#: are as many for a thousand frames as for a million.
FRAMES_PER_TASK = FRAMES_PER_BLOCK

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
        basis: the rows' scales (:func:`frame_basis`); default: each
            frame's own distances, as a structure's fit takes them.
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
        basis: FrameBasis | None = None,
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
        self._basis = frame_basis(pairs) if basis is None else basis
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
            scale=self._basis.scales(vectors),
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
                self._pairs,
                offset=self._offset,
                sigma=self._sigma,
                basis=self._basis,
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
    turns, rmsd = superpose.rotations(np.asarray(positions)[superpose.indices][None])
    return turned(vectors[None], turns)[0], float(rmsd[0])


def turned(
    vectors: NDArray[np.float64], turns: NDArray[np.float64]
) -> NDArray[np.float64]:
    """Frames x rows x 3 vectors, each frame's turned by its rotation
    (frames x 3 x 3), as :func:`frame_vectors` and :func:`fit_frames` turn
    them: the same bits one frame at a time as in a block."""
    out: NDArray[np.float64] = np.matmul(vectors, turns.transpose(0, 2, 1))
    return out


@dataclass(frozen=True, eq=False)
class FrameBasis:
    """Each row's scale in a frame, by the rule of a structure's fit
    (:func:`~kelfit_tools.bonds.row_scales`), so that the same coordinates
    give the same Da as a trajectory's frames and as an ensemble's models.

    The scales carry the sign of an N-H row's scale, so the fitted Da is
    Da(N-H) whatever the sign convention.

    Attributes:
        unit: each row's scale, at a distance of 1 A for the rows in
            ``from_frame``.
        from_frame: the rows whose constant takes the frame's own distance.
        convention: the sign convention used.
        bond_lengths: ``"structure"`` or ``"standard"``.
        nh_length: the N-H length (angstrom) Da is normalised to.
        normalised: the couplings were given normalised to N-H.
    """

    unit: NDArray[np.float64]
    from_frame: NDArray[np.bool_]
    convention: str
    bond_lengths: str
    nh_length: float = NH_REFERENCE_LENGTH
    normalised: bool = False

    @property
    def basis(self) -> str:
        """What Da(N-H) rests on, in words."""
        rows = length_basis(
            self.bond_lengths, normalised=self.normalised, each_frame=True
        )
        given = self.bond_lengths == "structure" and not self.normalised
        if given and not self.each_frame:
            # Every row's length replaced by the one given for its type.
            rows = "the lengths given for the bond type"
        return (
            f"couplings scaled by {rows}; Da normalised to N-H at "
            f"{self.nh_length:.3f} A"
        )

    @property
    def each_frame(self) -> bool:
        """Whether the scales change from frame to frame."""
        return bool(self.from_frame.any())

    def scales(
        self, vectors: NDArray[np.float64] | None = None
    ) -> NDArray[np.float64] | None:
        """The rows' scales for one frame's bond vectors (or a block's,
        frames x rows x 3: a row of scales each), which only a basis that
        takes :attr:`each_frame` needs (None: every row 1, the fit's own
        default)."""
        if self.each_frame:
            if vectors is None:
                raise ValueError("the scales of each frame need its bond vectors")
            cubes = np.einsum("...j,...j->...", vectors, vectors) ** 1.5
            # A bond of no length keeps a finite scale: the fit refuses the
            # vector itself, naming its row.
            cubes = np.where(cubes > 0, cubes, 1.0)
            out: NDArray[np.float64] = np.where(
                self.from_frame, self.unit / cubes, self.unit
            )
            return out
        return None if bool(np.all(self.unit == 1.0)) else self.unit


def frame_basis(pairs: CouplingAtoms, options: FitOptions | None = None) -> FrameBasis:
    """The rows' scales as ``options`` ask (its ``bond_lengths``, ``signs``,
    ``nh_length``, ``lengths``, ``flip`` and ``normalised``; by default each
    frame's own distances, as a structure's fit takes them).

    A trajectory's rows are one atom pair, whose constants share one sign:
    ``signs="auto"`` is then magnitudes, as for a structure.

    Raises:
        ValueError: a bond type without a standard length, a bad length, or
            ``signs="auto"`` over constants of both signs.
        DataError: a type to flip that no row has.
    """
    o = options or FitOptions()
    atoms = [(str(a), str(b)) for a, b in zip(pairs.first.names, pairs.second.names)]
    types = [bond_type(a, b) for a, b in atoms]
    check_flip(o.flip, types)
    constants, _ = row_scales(
        atoms, np.ones(len(atoms)), bond_lengths=o.bond_lengths,
        nh_length=o.nh_length, lengths=o.lengths, normalised=o.normalised,
    )  # fmt: skip
    convention = o.signs
    if convention == "auto":
        if np.any(constants > 0) and np.any(constants < 0):
            raise ValueError(
                "the rows' constants have both signs: give the sign convention"
            )
        convention = "magnitudes"
    _, unit = row_scales(
        atoms, np.ones(len(atoms)), convention=convention,
        bond_lengths=o.bond_lengths, nh_length=o.nh_length, lengths=o.lengths,
        flip=o.flip, normalised=o.normalised,
    )  # fmt: skip
    from_frame = from_distance(
        types, bond_lengths=o.bond_lengths, lengths=o.lengths, normalised=o.normalised
    )
    return FrameBasis(
        unit=nh_sign(convention) * unit,
        from_frame=from_frame,
        convention=convention,
        bond_lengths=o.bond_lengths,
        nh_length=o.nh_length,
        normalised=o.normalised,
    )


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

    def see(self, block: FrameBlock, raw: NDArray[np.float64]) -> None:
        """Check a block's bond vectors as read (frames x rows x 3).

        Raises:
            DataError: a frame's odd bonds are whole across its unit cell.
        """
        squared = np.einsum("kij,kij->ki", raw, raw)
        sound = ((squared >= self.low2) & (squared <= self.high2)).all(axis=1)
        for k in np.flatnonzero(~sound):
            self._odd(int(block.indices[k]), block.boxes[k], raw[k], squared[k])

    def _odd(
        self,
        index: int,
        box: NDArray[np.float32] | None,
        raw: NDArray[np.float64],
        squared: NDArray[np.float64],
    ) -> None:
        lengths = np.sqrt(squared)
        odd = odd_lengths(lengths, self.standard)
        if not odd.any():  # on a bound, squared and not
            return
        # NMR structures carry a placeholder cell of 1 A: no real box is
        # smaller than a small protein.
        if box is not None and min(box[:3]) >= _SMALLEST_CELL:
            self._refuse_split(index, box, raw, odd)
        self.frames.append(index)
        if self.first is None:
            row = int(np.argmax(odd))
            self.first = (row, float(lengths[row]), float(self.standard[row]))

    def _refuse_split(
        self,
        index: int,
        box: NDArray[np.float32],
        raw: NDArray[np.float64],
        odd: NDArray[np.bool_],
    ) -> None:
        from MDAnalysis.lib.distances import minimize_vectors

        across = minimize_vectors(raw.astype(np.float32), box)
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
            f"frame {index}: the molecule is split across the periodic "
            f"boundary ({int(odd.sum())} bond(s) span the box, such as "
            f"{c.label} {c.atom_i}-{c.atom_j} {np.linalg.norm(raw[row]):.4g} A, "
            f"{nearest[row]:.4g} A across the boundary); {fix}"
        )

    def warning(self) -> str | None:
        """The warning naming the frames with odd bonds, or None."""
        if self.first is None:
            return None
        return odd_frames_warning(self.pairs.couplings, self.frames, self.first)


@dataclass(frozen=True, eq=False)
class _BlockVectors:
    """A block's bond vectors as read and as fitted, made where it is read."""

    block: FrameBlock
    raw: NDArray[np.float64]
    vectors: NDArray[np.float64]
    rmsd: NDArray[np.float64]
    scales: NDArray[np.float64] | None


def _block_vectors(
    first: NDArray[np.int64],
    second: NDArray[np.int64],
    chosen: NDArray[np.int64] | None,
    superpose: FrameSuperposer | None,
    basis: FrameBasis | None,
    block: FrameBlock,
) -> _BlockVectors:
    """The bond vectors of a block (pairs ``first`` to ``second`` among the
    atoms read), superposed over the atoms ``chosen`` when asked, with
    each frame's scales by ``basis``; the positions stay behind."""
    positions = block.positions
    raw = np.asarray(positions[:, second], dtype=np.float64) - np.asarray(
        positions[:, first], dtype=np.float64
    )
    vectors, rmsd = raw, np.full(len(block), math.nan)
    if superpose is not None:
        turns, rmsd = superpose.rotations(positions[:, chosen])
        vectors = turned(raw, turns)
    scales = None if basis is None else basis.scales(vectors)
    kept = FrameBlock(block.indices, block.times, positions[:, :0], block.boxes)
    return _BlockVectors(kept, raw, vectors, rmsd, scales)


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
    basis: FrameBasis | None = None,
    means: RowMeans | None = None,
    block: int | None = None,
) -> Iterator[FrameFit]:
    """Fit every frame of ``frames``, yielding the fits in frame order.

    Frames are read in blocks (:func:`~kelfit_tools.io.trajectory.read_blocks`:
    in a child process for the formats whose readers can crash, unless
    ``isolate`` says otherwise); each block is checked, superposed on the
    reference in one batched step and its vectors go to the workers as one
    stack, and only a few blocks are held at once, so memory does not grow
    with the trajectory's length.  Every frame is computed alone: the
    results are the same bits whatever the block size or frame range.

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
            process (:func:`~kelfit_tools.io.trajectory.read_blocks`);
            default: for the formats whose readers decode bytes in compiled
            code (:func:`~kelfit_tools.io.trajectory.contained`).
        method: ``"linear"`` (the default: every batch of frames is one
            stack of ``kelfit.linear``) or ``"powell"``, as
            :func:`~kelfit_tools.fit` takes it.
        fixed: parameters held in every frame, as :func:`~kelfit_tools.fit`
            takes them (powell).
        basis: the rows' scales (:func:`frame_basis`); default: each
            frame's own distances, as a structure's fit takes them.
        means: running means that every frame's (superposed) vectors are
            added to as the frame is read, for :func:`averaged_fit` once
            the frames are consumed: one pass, no frame kept.
        block: frames read, superposed and checked together (default
            :data:`~kelfit_tools.io.trajectory.FRAMES_PER_BLOCK`); the
            results are the same bits whatever it is.

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
    # Where each pair's atoms, and the superposition's, are among those read.
    first = np.searchsorted(atoms, pairs.first.ix)
    second = np.searchsorted(atoms, pairs.second.ix)
    chosen = None if superpose is None else np.searchsorted(atoms, superpose.indices)

    watch = _BondWatch(pairs)
    if basis is None:
        basis = frame_basis(pairs)
    # Scales that do not change from frame to frame go once, to every fit.
    each_frame = basis.each_frame
    constant = None if each_frame else basis.scales()
    shared = {} if constant is None else {"scale": constant}

    def problems() -> Iterator[Any]:
        where = partial(
            _block_vectors, first, second, chosen, superpose,
            basis if each_frame else None,
        )  # fmt: skip
        blocks = read_prepared(
            universe, frames, atoms, where, block=block or FRAMES_PER_BLOCK,
            isolate=isolate,
        )  # fmt: skip
        for read in blocks:
            watch.see(read.block, read.raw)
            times.extend(read.block.times.tolist())
            rmsds.extend(read.rmsd.tolist())
            vectors, scales = read.vectors, read.scales
            for k in range(len(read.block)):
                if means is not None:
                    means.add(vectors[k])
                if scales is not None:
                    yield {
                        "vectors": vectors[k],
                        "observed": pairs.values,
                        "scale": scales[k],
                    }
                else:
                    yield (vectors[k], pairs.values)
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
        **shared,
    )
    numbers = iter(frames)
    try:
        # The canonical tensors of a task's frames at once, one stack of
        # eigendecompositions, and their axes' signs followed at once.
        while chunk := list(islice(results, FRAMES_PER_TASK)):
            tensors = followed(canonical_tensors(chunk), previous)
            previous = tensors[-1]
            # The frame numbers last: zip stops at the chunk's end before
            # taking one more.
            for result, tensor, k in zip(chunk, tensors, numbers):
                yield FrameFit(
                    frame=k,
                    time=times.popleft(),
                    result=result,
                    tensor=tensor,
                    rmsd_ref=rmsds.popleft(),
                )
    except FitFailed as exc:
        raise DataError(f"frame {frames[exc.index]}: {exc.reason}") from None


#: A unit vector, to give a row's averaged distance to the basis's rule.
_ALONG_X = np.array([1.0, 0.0, 0.0])


def _averaged_problem(
    means: RowMeans, basis: FrameBasis
) -> tuple[DesignRows, NDArray[np.float64] | None]:
    """The design rows and scales of the couplings averaged so far: where
    the scale follows the frame's distance, each frame's row weighted by
    its r^-3 at the rows' ``<r^-3>^(-1/3)``, so that scale times row is the
    mean of the frames' scaled rows."""
    rows = means.result()
    if not basis.each_frame:
        return rows.design(), basis.scales()
    scale = basis.scales(rows.distances[:, None] * _ALONG_X)
    return rows.design(basis.from_frame), scale


def averaged_fit(
    means: RowMeans,
    pairs: CouplingAtoms,
    *,
    offset: bool = False,
    sigma: ArrayLike | None = None,
    basis: FrameBasis | None = None,
) -> FitResult:
    """One tensor for the couplings averaged over the frames that
    :func:`fit_frames` (or :class:`TensorFit`) added to ``means``: each
    coupling's design row, scaled as the frames' fits scale it (``basis``,
    default each frame's own distances), averaged, then one linear fit
    with every statistic of a single fit.

    Raises:
        ValueError: no frame was added, or the averaged rows do not
            determine the tensor.
    """
    b = frame_basis(pairs) if basis is None else basis
    design, scale = _averaged_problem(means, b)
    return fit(
        design, pairs.values, offset=offset, sigma=sigma, scale=scale, method="linear"
    )


@dataclass(frozen=True)
class Convergence:
    """How the fit to couplings averaged over a trajectory's frames settles.

    Attributes:
        frames: the numbers of frames of the growing fits: the first 1, 2,
            4, ... frames, and all of them.
        da, r, q: the canonical Da and R, and Q, of each growing fit.
        block_lengths: frames per block: 2, 4, 8, ... (at least two whole
            blocks of each).
        blocks: how many whole blocks of each length.
        q_se, da_se: the standard error of Q and of Da that the blocks'
            own averaged fits give: their standard deviation over the
            blocks over the square root of the blocks' number.  Where it
            stops growing with the block length, the blocks are
            independent and it is the error of the whole run's averaged
            fit (block averaging); while it grows, the run is too short.
    """

    frames: list[int]
    da: list[float]
    r: list[float]
    q: list[float]
    block_lengths: list[int]
    blocks: list[int]
    q_se: list[float]
    da_se: list[float]


@dataclass(frozen=True, eq=False)
class AveragedFrames:
    """The fit to the couplings averaged over a trajectory's frames
    (:func:`averaged_fit`), over how many frames, and how it converged."""

    result: FitResult
    frames: int
    convergence: Convergence


class FrameMeans(RowMeans):
    """:class:`~kelfit_tools.average.RowMeans` that also follow how the
    averaged fit converges as the frames come (what ``fit_frames(means=...)``
    takes): a fit at 1, 2, 4, ... frames, and one per block of 2, 4, 8, ...
    frames, each block's scaled rows the mean of the two half-blocks before
    it, so every frame costs a fixed amount of work and no frame is kept.
    """

    def __init__(
        self,
        pairs: CouplingAtoms,
        *,
        offset: bool = False,
        sigma: ArrayLike | None = None,
        basis: FrameBasis | None = None,
    ) -> None:
        super().__init__()
        self._pairs = pairs
        self._basis = frame_basis(pairs) if basis is None else basis
        self._observed = np.asarray(pairs.values, dtype=np.float64)
        self._offset = offset
        self._sigma = None if sigma is None else np.asarray(sigma, dtype=np.float64)
        self._growing: list[tuple[int, float, float, float]] = []
        # pending[k]: the first half of the block of 2^(k+1) frames in progress.
        self._pending: list[NDArray[np.float64] | None] = []
        self._block_fits: list[list[tuple[float, float]]] = []

    def _quantities(
        self, rows: DesignRows, scale: NDArray[np.float64] | None = None
    ) -> tuple[float, float, float]:
        """Da, R and Q of the linear fit of averaged rows (NaN where they do
        not determine the tensor)."""
        try:
            result = fit(
                rows, self._observed, offset=self._offset, sigma=self._sigma,
                scale=scale, method="linear",
            )  # fmt: skip
        except ValueError:
            return math.nan, math.nan, math.nan
        tensor = result.tensor()
        return tensor.da, tensor.r, result.q

    def _added(self, vectors: NDArray[np.float64], terms: NDArray[np.float64]) -> None:
        count = self.members
        if count & (count - 1) == 0:  # a power of two
            self._growing.append(
                (count, *self._quantities(*_averaged_problem(self, self._basis)))
            )
        scale = self._basis.scales(vectors)
        level, rows = 0, terms if scale is None else terms * scale[:, None]
        while True:
            if level == len(self._pending):
                self._pending.append(None)
                self._block_fits.append([])
            first = self._pending[level]
            if first is None:
                self._pending[level] = rows
                return
            self._pending[level] = None
            rows = (first + rows) / 2.0
            da, _, q = self._quantities(DesignRows(rows))
            self._block_fits[level].append((q, da))
            level += 1

    def averaged(self) -> AveragedFrames:
        """The averaged fit of the frames added so far, and its convergence.

        Raises:
            ValueError: as :func:`averaged_fit`.
        """
        result = averaged_fit(
            self, self._pairs, offset=self._offset, sigma=self._sigma,
            basis=self._basis,
        )  # fmt: skip
        return AveragedFrames(result, self.members, self.convergence())

    def convergence(self) -> Convergence:
        """The growing fits and the blocks' standard errors so far.

        Raises:
            ValueError: no frame was added.
        """
        if self._terms is None:
            raise ValueError("an average needs at least one member")
        growing = list(self._growing)
        if growing[-1][0] != self.members:
            problem = _averaged_problem(self, self._basis)
            growing.append((self.members, *self._quantities(*problem)))
        lengths, counts, q_se, da_se = [], [], [], []
        for level, fits in enumerate(self._block_fits):
            if len(fits) < 2:
                continue
            values = np.array(fits)
            root = math.sqrt(len(fits))
            lengths.append(2 ** (level + 1))
            counts.append(len(fits))
            q_se.append(float(np.std(values[:, 0], ddof=1)) / root)
            da_se.append(float(np.std(values[:, 1], ddof=1)) / root)
        return Convergence(
            frames=[g[0] for g in growing],
            da=[g[1] for g in growing],
            r=[g[2] for g in growing],
            q=[g[3] for g in growing],
            block_lengths=lengths,
            blocks=counts,
            q_se=q_se,
            da_se=da_se,
        )
