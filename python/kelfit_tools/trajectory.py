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
"""

from __future__ import annotations

from collections import deque
from collections.abc import Iterator
from concurrent.futures import Executor
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .errors import DataError
from .fitting import FitResult, fit
from .io.trajectory import CouplingAtoms, _mdanalysis
from .many import FitFailed, iter_fits
from .tensor import Tensor, aligned

__all__ = ["FRAMES_PER_TASK", "FrameFit", "TensorFit", "fit_frames"]

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


class TensorFit(_AnalysisBase):  # type: ignore[misc,valid-type]
    """Fit the tensor in every frame, as an MDAnalysis analysis.

    ``run()`` fills ``results.params`` (frames x 6: a1, a2, a3 in radians,
    Da, R, offset, as fitted), ``results.q``, ``results.rmsd`` and
    ``results.cost``, with ``frames`` and ``times`` as usual; ``run(...,
    backend="multiprocessing" or "dask", n_workers=N)`` splits the frames.

    Args:
        pairs: matched atom pairs from :func:`coupling_atoms`.
        offset: also fit a constant offset.
        start: start parameters for every frame (default: each frame's
            linear least-squares optimum).
        sigma: per-coupling uncertainties, to fit chi^2 in every frame.
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
        **kwargs: Any,
    ) -> None:
        if _ResultsGroup is None:
            _mdanalysis()
        super().__init__(pairs.first.universe.trajectory, **kwargs)
        self._pairs = pairs
        self._offset = offset
        self._start = None if start is None else np.asarray(start, dtype=np.float64)
        self._sigma = None if sigma is None else np.asarray(sigma, dtype=np.float64)

    def _prepare(self) -> None:
        self.results.params = np.full((self.n_frames, 6), np.nan)
        self.results.q = np.full(self.n_frames, np.nan)
        self.results.rmsd = np.full(self.n_frames, np.nan)
        self.results.cost = np.full(self.n_frames, np.nan)

    def _single_frame(self) -> None:
        result = fit(
            self._pairs.vectors(),
            self._pairs.values,
            self._start,
            offset=self._offset,
            sigma=self._sigma,
        )
        k = self._frame_index
        self.results.params[k] = result.params
        self.results.q[k] = result.q
        self.results.rmsd[k] = result.rmsd
        self.results.cost[k] = result.cost

    def _get_aggregator(self) -> Any:
        assert _ResultsGroup is not None
        return _ResultsGroup(
            lookup={
                "params": _ResultsGroup.ndarray_vstack,
                "q": _ResultsGroup.ndarray_hstack,
                "rmsd": _ResultsGroup.ndarray_hstack,
                "cost": _ResultsGroup.ndarray_hstack,
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
            previous frame's so that angles change smoothly.
    """

    frame: int
    time: float
    result: FitResult
    tensor: Tensor


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
) -> Iterator[FrameFit]:
    """Fit every frame of ``frames``, yielding the fits in frame order.

    Frames are read one after another in this process; their vectors go to
    the workers in batches, and only a few batches are held at once, so
    memory does not grow with the trajectory's length.

    Args:
        pairs: matched atom pairs from :func:`coupling_atoms`.
        frames: the frame indices (default: all), e.g. from
            :func:`frame_range`.
        offset: also fit a constant offset.
        start: start parameters for every frame (default: each frame's
            linear least-squares optimum).
        sigma: per-coupling uncertainties, to fit chi^2 in every frame.
        workers: threads (default: every core), or the executor's size.
        executor: any :class:`concurrent.futures.Executor`.
        progress: a progress bar on stderr when it is a terminal.

    Raises:
        DataError: a frame cannot be fitted (naming the frame).
    """
    trajectory = pairs.first.universe.trajectory
    if frames is None:
        frames = range(len(trajectory))
    times: deque[float] = deque()

    def problems() -> Iterator[tuple[Any, ...]]:
        for ts in trajectory[frames.start : frames.stop : frames.step]:
            times.append(float(ts.time))
            yield (pairs.vectors(), pairs.values, start)

    reference: NDArray[np.float64] | None = None
    results = iter_fits(
        problems(),
        workers=workers,
        executor=executor,
        progress=progress,
        total=len(frames),
        batch=FRAMES_PER_TASK,
        offset=offset,
        sigma=sigma,
    )
    try:
        for k, result in zip(frames, results):
            tensor = result.tensor()
            if reference is not None:
                tensor = aligned(tensor, reference)
            reference = tensor.axes
            yield FrameFit(frame=k, time=times.popleft(), result=result, tensor=tensor)
    except FitFailed as exc:
        raise DataError(f"frame {frames[exc.index]}: {exc.reason}") from None
