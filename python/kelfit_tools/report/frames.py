"""Per-frame tables and figures of a trajectory fit, written as the frames come.

CSV always; Parquet (``.parquet``) with pyarrow.  Rows go out in groups as
they arrive, so a table of a million frames never sits in memory, and the
file appears under its name only when complete.
"""

from __future__ import annotations

import csv
import json
import math
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import Any, TextIO, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._extras import MissingExtra
from ..bonds import NH_REFERENCE_LENGTH, reference_constant
from ..errors import Advice, DataError, Hint, PathLike
from ..outputs import StagedFile
from ..tensor import degree_of_order
from ..trajectory import Convergence, FrameFit
from .figures import draw_sky, new_figure, save_named

__all__ = [
    "FRAME_COLUMNS",
    "WARNINGS_METADATA",
    "FrameSummary",
    "FrameTableWriter",
    "Thinned",
    "convergence_plot_path",
    "plot_convergence",
    "plot_frames",
    "record_frames",
    "write_convergence_plot",
]

#: The table's columns: angles of the canonical tensor, in degrees; the
#: frame's RMSD (angstrom) to the superposition's reference, NaN when the
#: frames were not superposed; the generalized degree of order of the
#: frame's tensor (dimensionless, Da(N-H) over |D_max(N-H)|).  New columns go
#: at the end, so that scripts reading columns by position keep working.
FRAME_COLUMNS = (
    "frame",
    "time_ps",
    "da",
    "r",
    "dr",
    "a1_deg",
    "a2_deg",
    "a3_deg",
    "offset",
    "rmsd",
    "q",
    "rmsd_ref",
    "gdo",
)

#: The key of a Parquet table's metadata that holds the run's warnings.
WARNINGS_METADATA = "kelfit.warnings"

#: Rows per Parquet row group.
_ROW_GROUP = 4096

#: Rows a CSV table gathers before writing them out together.
_CSV_CHUNK = 256

#: A frame's principal axes, as the figure keeps them: three rows of three.
_AXES_COMPONENTS = 9

#: The height (inches) the sky map adds beneath the frames' figure.
_SKY_HEIGHT = 2.8


def _row(fit: FrameFit, constant: float) -> tuple[float, ...]:
    t = fit.tensor
    a1, a2, a3 = t.angles_deg
    result = fit.result
    return (
        fit.frame,
        fit.time,
        t.da,
        t.r,
        t.dr,
        a1,
        a2,
        a3,
        result.offset,
        result.rmsd,
        result.q,
        fit.rmsd_ref,
        float(degree_of_order(t.da, t.r, constant)),
    )


@final
class FrameTableWriter:
    """Writes one row per frame to CSV or, for ``*.parquet``, to Parquet.

    Use it as a context manager: on an error inside the block the partial
    file is removed and nothing appears under ``path``.  A Parquet table
    carries the run's ``warnings`` (such as a trajectory cut short) in its
    schema's metadata, under ``kelfit.warnings`` as a JSON list.  The
    frames' Da is Da(N-H) at ``nh_length`` angstrom, which makes their
    degrees of order dimensionless.

    Raises:
        MissingExtra: a Parquet file without pyarrow installed.
        DataError: the file cannot be written.
    """

    def __init__(
        self,
        path: PathLike,
        *,
        warnings: Sequence[str] = (),
        nh_length: float = NH_REFERENCE_LENGTH,
    ) -> None:
        self.path = os.fspath(path)
        self.warnings = list(warnings)
        self.constant = reference_constant(nh_length)
        self.parquet = self.path.lower().endswith(".parquet")
        self.rows = 0
        self._pending: list[tuple[float, ...]] = []
        self._writer: Any = None
        self._text: TextIO | None = None
        if self.parquet:
            try:
                import pyarrow  # noqa: F401
            except ImportError:
                raise MissingExtra(
                    "Parquet tables need pyarrow: pip install 'kelfit[md]' "
                    "(or write .csv)"
                ) from None
        self._staged = StagedFile(self.path, text=not self.parquet)
        self._temporary = self._staged.path
        if not self.parquet:
            # Open for the writer's life; close() or discard() closes it.
            self._text = open(  # noqa: SIM115
                self._temporary, "w", encoding="utf-8", newline=""
            )
            self._csv = csv.writer(self._text, lineterminator="\n")
            self._csv.writerow(FRAME_COLUMNS)

    def __enter__(self) -> FrameTableWriter:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if kind is None:
            self.close()
        else:
            self.discard()

    def write(self, fit: FrameFit) -> None:
        """Add one frame's row (written out with the rows of its chunk)."""
        self._pending.append(_row(fit, self.constant))
        self.rows += 1
        if len(self._pending) >= (_CSV_CHUNK if self._text is not None else _ROW_GROUP):
            self._flush()

    def _flush(self) -> None:
        if self._text is not None:
            self._csv.writerows(
                [row[0], *map(repr, map(float, row[1:]))] for row in self._pending
            )
            self._pending.clear()
            return
        import pyarrow as pa
        import pyarrow.parquet as pq

        columns = (
            list(zip(*self._pending)) if self._pending else [()] * len(FRAME_COLUMNS)
        )
        arrays = [pa.array(columns[0], type=pa.int64())]
        arrays += [pa.array(c, type=pa.float64()) for c in columns[1:]]
        table = pa.Table.from_arrays(arrays, names=list(FRAME_COLUMNS))
        if self.warnings:
            table = table.replace_schema_metadata(
                {WARNINGS_METADATA: json.dumps(self.warnings)}
            )
        if self._writer is None:
            self._writer = pq.ParquetWriter(self._temporary, table.schema)
        self._writer.write_table(table)
        self._pending.clear()

    def close(self) -> None:
        """Finish the file and move it into place."""
        try:
            if self._text is not None:
                self._flush()
                self._text.close()
            else:
                if self._pending or self._writer is None:
                    self._flush()
                self._writer.close()
            self._staged.commit()
        except DataError:
            self.discard()
            raise
        except OSError as exc:
            self.discard()
            raise DataError(f"cannot write: {exc.strerror}", self.path) from None

    def discard(self) -> None:
        """Drop the partial file."""
        if self._text is not None and not self._text.closed:
            self._text.close()
        if self._writer is not None:
            try:
                self._writer.close()
            except OSError:
                pass
        self._staged.discard()


class Thinned:
    """At most ``limit`` evenly spaced samples of a stream, in flat memory.

    When full, every other sample is dropped and from then on only every
    second (then fourth, ...) new sample is kept: enough for a figure of a
    run of any length.
    """

    def __init__(self, columns: int, limit: int = 4_000) -> None:
        if limit < 2:
            raise ValueError(f"limit must be at least 2, got {limit}")
        self._data = np.empty((limit, columns))
        self._count = 0
        self._every = 1
        self._seen = 0

    def add(self, *values: float) -> None:
        """Offer one sample."""
        if self._seen % self._every == 0:
            if self._count == len(self._data):
                kept = self._data[::2].copy()
                self._count = len(kept)
                self._data[: self._count] = kept
                self._every *= 2
                if self._seen % self._every != 0:
                    self._seen += 1
                    return
            self._data[self._count] = values
            self._count += 1
        self._seen += 1

    @property
    def samples(self) -> NDArray[np.float64]:
        """The kept samples, one row each (a new array)."""
        return self._data[: self._count].copy()


class _Running:
    """Mean and standard deviation of a stream (Welford), in constant memory."""

    def __init__(self) -> None:
        self.count = 0
        self.mean = 0.0
        self._m2 = 0.0

    def add(self, value: float) -> None:
        self.count += 1
        delta = value - self.mean
        self.mean += delta / self.count
        self._m2 += delta * (value - self.mean)

    @property
    def sd(self) -> float:
        return math.sqrt(self._m2 / (self.count - 1)) if self.count > 1 else 0.0


@dataclass(frozen=True)
class FrameSummary:
    """What a run over frames found, in a few numbers.

    Attributes:
        frames: frames fitted.
        first, last: the first and the last frame fitted.
        da, r, q: (mean, standard deviation) over the frames.
        rmsd_ref: lowest and highest RMSD (angstrom) to the superposition's
            reference, None when the frames were not superposed.
        gdo: (mean, standard deviation) of the generalized degree of order
            (:func:`~kelfit_tools.tensor.degree_of_order`, dimensionless)
            over the frames.
    """

    frames: int
    first: int
    last: int
    da: tuple[float, float]
    r: tuple[float, float]
    q: tuple[float, float]
    rmsd_ref: tuple[float, float] | None = None
    gdo: tuple[float, float] = (math.nan, math.nan)


def record_frames(
    fits: Iterable[FrameFit],
    *,
    table: PathLike | None = None,
    plot: PathLike | None = None,
    title: str | None = None,
    unit: str | None = "Hz",
    warnings: Sequence[str] = (),
    nh_length: float = NH_REFERENCE_LENGTH,
) -> FrameSummary:
    """Consume per-frame fits: a table row each, running statistics, a figure.

    The frames' Da is Da(N-H) at ``nh_length`` angstrom (the basis of
    :func:`~kelfit_tools.trajectory.fit_frames`), the constant that makes
    their degrees of order dimensionless.

    Memory stays flat however many frames come: rows go straight to the
    table, the figure draws a thinned sample.  The table and the figure
    appear only when every frame has been fitted and both are complete.

    Raises:
        DataError: no frames, or a file cannot be written.
        MissingExtra: Parquet without pyarrow, a figure without matplotlib.
    """
    writer = (
        FrameTableWriter(table, warnings=warnings, nh_length=nh_length)
        if table
        else None
    )
    constant = reference_constant(nh_length)
    # Time, Da, R, Q and the nine components of the principal axes.
    thinned = Thinned(4 + _AXES_COMPONENTS) if plot else None
    stats = {name: _Running() for name in ("da", "r", "q", "gdo")}
    first = last = -1
    low, high = math.inf, -math.inf
    figure: StagedFile | None = None
    try:
        for fit in fits:
            if writer is not None:
                writer.write(fit)
            t = fit.tensor
            if thinned is not None:
                thinned.add(fit.time, t.da, t.r, fit.result.q, *t.axes.ravel())
            stats["da"].add(t.da)
            stats["r"].add(t.r)
            stats["q"].add(fit.result.q)
            stats["gdo"].add(float(degree_of_order(t.da, t.r, constant)))
            if not math.isnan(fit.rmsd_ref):
                low, high = min(low, fit.rmsd_ref), max(high, fit.rmsd_ref)
            first = fit.frame if first < 0 else first
            last = fit.frame
        if first < 0:
            raise DataError(
                Advice("no frames to fit (check {0} and {1})", Hint("frames"),
                       Hint("stride"))
            )  # fmt: skip
        if thinned is not None and plot is not None:
            figure = StagedFile(plot, text=False)
            samples = thinned.samples
            time, da, r, q = samples[:, :4].T
            try:
                plot_frames(
                    time, da, r, q, figure.path, title=title, unit=unit,
                    format_from=plot, axes=samples[:, 4:].reshape(-1, 3, 3),
                )  # fmt: skip
            except OSError as exc:
                raise DataError(f"cannot write: {exc.strerror or exc}", plot) from None
        if writer is not None:
            writer.close()
        if figure is not None:
            figure.commit()
    except BaseException:
        if writer is not None:
            writer.discard()
        raise
    finally:
        if figure is not None:
            figure.discard()
    return FrameSummary(
        frames=stats["da"].count,
        first=first,
        last=last,
        da=(stats["da"].mean, stats["da"].sd),
        r=(stats["r"].mean, stats["r"].sd),
        q=(stats["q"].mean, stats["q"].sd),
        rmsd_ref=(low, high) if low <= high else None,
        gdo=(stats["gdo"].mean, stats["gdo"].sd),
    )


def plot_frames(
    time: ArrayLike,
    da: ArrayLike,
    r: ArrayLike,
    q: ArrayLike,
    path: PathLike,
    *,
    title: str | None = None,
    unit: str | None = "Hz",
    dpi: int = 200,
    format_from: PathLike | None = None,
    axes: ArrayLike | None = None,
) -> None:
    """Da, R and Q over a trajectory's time (ps), one panel each; beneath
    them, given the frames' principal axes (``axes``, K x 3 x 3), their sky
    map (:func:`~kelfit_tools.report.figures.draw_sky`), the first frame's
    ringed.

    The file format follows the extension of ``format_from`` (default:
    ``path``), PNG when it names none.

    Raises:
        MissingExtra: matplotlib is not installed.
    """
    if axes is None:
        fig = new_figure(7.0, 6.0, dpi)
        panels: Sequence[Any] = fig.subplots(3, 1, sharex=True)
    else:
        fig = new_figure(7.0, 6.0 + _SKY_HEIGHT, dpi)
        grid = fig.add_gridspec(4, 1, height_ratios=[1.0, 1.0, 1.0, 1.4])
        first = fig.add_subplot(grid[0])
        panels = [first, *(fig.add_subplot(grid[k], sharex=first) for k in (1, 2))]
        for ax in panels[:-1]:
            ax.tick_params(labelbottom=False)
        frames = np.asarray(axes, dtype=np.float64)
        draw_sky(fig.add_subplot(grid[3]), frames, frames[0], "frames",
                 "the first frame's")  # fmt: skip
    t = np.asarray(time, dtype=np.float64)
    suffix = f" ({unit})" if unit else ""
    for ax, values, label in zip(panels, (da, r, q), ("Da" + suffix, "R", "Q")):
        ax.plot(t, np.asarray(values, dtype=np.float64), lw=0.8, color="#1f5fa8")
        ax.set_ylabel(label)
        ax.grid(True, color="0.92", lw=0.6)
    panels[-1].set_xlabel("time (ps)")
    if title:
        panels[0].set_title(title, fontsize=10)
    save_named(fig, path, dpi, format_from)


def plot_convergence(
    convergence: Convergence,
    path: PathLike,
    *,
    title: str | None = None,
    dpi: int = 200,
    format_from: PathLike | None = None,
) -> None:
    """The averaged fit's convergence: Da and Q of the fits to the first
    1, 2, 4, ... frames, and the blocks' standard errors of Q and Da
    against the block length (a plateau: independent blocks).

    Raises:
        MissingExtra: matplotlib is not installed.
    """
    fig = new_figure(7.0, 6.0, dpi)
    panels: Sequence[Any] = fig.subplots(2, 2)
    c = convergence
    for ax, values, label in (
        (panels[0][0], c.da, "Da (Hz)"),
        (panels[0][1], c.q, "Q"),
    ):
        ax.plot(c.frames, values, "o-", lw=0.8, ms=3, color="#1f5fa8")
        ax.set_xscale("log", base=2)
        ax.set_xlabel("frames averaged")
        ax.set_ylabel(label)
        ax.grid(True, color="0.92", lw=0.6)
    for ax, values, label in (
        (panels[1][0], c.da_se, "SE of Da (Hz)"),
        (panels[1][1], c.q_se, "SE of Q"),
    ):
        ax.plot(c.block_lengths, values, "o-", lw=0.8, ms=3, color="#b8501f")
        ax.set_xscale("log", base=2)
        ax.set_xlabel("block length (frames)")
        ax.set_ylabel(label)
        ax.grid(True, color="0.92", lw=0.6)
    if title:
        fig.suptitle(title, fontsize=10)
    save_named(fig, path, dpi, format_from)


def convergence_plot_path(plot: str) -> str:
    """Where the convergence figure goes beside a trajectory's figure:
    ``frames.png`` -> ``frames-convergence.png``."""
    stem, ext = os.path.splitext(plot)
    return f"{stem}-convergence{ext}"


def write_convergence_plot(
    convergence: Convergence, plot: str, title: str | None = None
) -> str:
    """:func:`plot_convergence` beside the trajectory's figure ``plot``,
    whole or not at all; returns the path written.

    Raises:
        DataError: the file cannot be written.
        MissingExtra: matplotlib is not installed.
    """
    path = convergence_plot_path(plot)
    figure = StagedFile(path, text=False)
    try:
        plot_convergence(convergence, figure.path, title=title, format_from=plot)
        figure.commit()
    except OSError as exc:
        raise DataError(f"cannot write: {exc.strerror or exc}", path) from None
    finally:
        figure.discard()
    return path
