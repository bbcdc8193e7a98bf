"""Figures of a fit (needs matplotlib)."""

from __future__ import annotations

import errno
import os
import zlib
from collections.abc import Sequence
from typing import Any

import numpy as np

from .._extras import require
from ..errors import PathLike
from ..fitting import FitResult
from ..media import MediumFit, result_statistics
from ..statistics import Statistics

__all__ = [
    "RESIDUAL_LABEL",
    "file_format",
    "outliers",
    "plot_fit",
    "plot_medium",
    "save_figure",
    "scatter_labels",
    "value_suffix",
]

#: At most this many points are labelled, the worst first.
MAX_LABELS = 8


#: Formats matplotlib's Agg canvas writes, by file extension.
_FORMATS = (
    "png",
    "pdf",
    "svg",
    "svgz",
    "eps",
    "ps",
    "jpg",
    "jpeg",
    "tif",
    "tiff",
    "webp",
)

#: Colour and marker of each bond type, the same in every figure.
TYPE_STYLES = {
    "N-H": ("#1f5fa8", "o"),
    "CA-HA": ("#d9822b", "s"),
    "C-N": ("#2e8b57", "^"),
    "CA-C": ("#8e44ad", "D"),
    "N-CA": ("#8c564b", "v"),
    "CA-CB": ("#b8860b", "P"),
    "C-H": ("#17becf", "X"),
    "all": ("#1f5fa8", "o"),
}
#: Other types: one of these, chosen by the type's name, never by the
#: order in which types appear.
_OTHER_STYLES = [
    ("#7f8c8d", "h"),
    ("#bc8f8f", "<"),
    ("#556b2f", ">"),
    ("#4682b4", "p"),
    ("#a0522d", "*"),
]


def type_style(kind: str) -> tuple[str, str]:
    """The colour and marker of a bond type."""
    if kind in TYPE_STYLES:
        return TYPE_STYLES[kind]
    return _OTHER_STYLES[zlib.crc32(kind.encode()) % len(_OTHER_STYLES)]


def file_format(path: PathLike) -> str:
    """The figure format of a file name: its extension, else PNG.

    The figure is saved with this explicit format, so the file written is
    exactly the name given, whatever its extension.
    """
    ext = os.path.splitext(os.fspath(path))[1].lower().lstrip(".")
    return ext if ext in _FORMATS else "png"


def save_figure(fig: Any, path: PathLike, fmt: str, dpi: float | None = None) -> None:
    """``fig.savefig`` into ``path`` as ``fmt``, every failure an OSError.

    matplotlib's writers fail in their own ways on a full disk (``zlib.error``,
    or an ``AttributeError`` from the PDF writer's cleanup hiding the disk's
    error): each becomes an :class:`OSError` naming ``path`` and the first
    cause (the disk's own error where there is one), which the one writer of
    files reports in one line, keeping the old file.
    """
    try:
        if dpi is None:
            fig.savefig(os.fspath(path), format=fmt)
        else:
            fig.savefig(os.fspath(path), dpi=dpi, format=fmt)
    except OSError:
        raise
    except Exception as exc:
        cause: BaseException | None = exc
        while cause is not None and not isinstance(cause, OSError):
            cause = cause.__context__
        if isinstance(cause, OSError):
            raise OSError(cause.errno, cause.strerror or str(cause), path) from exc
        why = f"the figure writer failed: {type(exc).__name__}: {exc}"
        raise OSError(errno.EIO, why, os.fspath(path)) from exc


#: Outlier labels: font size (points).
LABEL_FONT = 7


#: Distances (points) from its point at which a label is tried, and the
#: radius (points) around every point that no label may cover.
LABEL_DISTANCES = (4.0, 10.0, 18.0, 28.0, 40.0)
POINT_RADIUS = 5.0


def _text_size(ax: Any, text: str) -> tuple[float, float]:
    """Width and height (points) a label takes, measured by the renderer,
    with a little room around it."""
    canvas = ax.figure.canvas
    if not hasattr(canvas, "get_renderer"):
        from matplotlib.backends.backend_agg import FigureCanvasAgg

        canvas = FigureCanvasAgg(ax.figure)
    probe = ax.text(0, 0, text, fontsize=LABEL_FONT)
    box = probe.get_window_extent(renderer=canvas.get_renderer())
    probe.remove()
    to_points = 72.0 / ax.figure.dpi
    return box.width * to_points + 2.0, box.height * to_points + 1.0


def _overlaps(a: tuple[float, ...], b: tuple[float, ...]) -> bool:
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def _label_apart(
    ax: Any, xs: Any, ys: Any, texts: Sequence[str], *, avoid: Any = None
) -> int:
    """Label points where a label covers no other label and no point.

    Each label is tried right, left, above and below its point (then the
    diagonals), ever further out, with a thin line back to the point once
    it stands off; a label that finds no free place is left out. Call it
    once the axes' limits are final: positions are worked out in points on
    the page. ``avoid`` holds the (x, y) data of every point drawn.

    Returns:
        How many labels were placed.
    """
    # Settle the layout (constrained, equal aspect) so that the positions
    # found here are the ones drawn.
    ax.autoscale_view()
    settle = getattr(ax.figure, "draw_without_rendering", None)  # matplotlib 3.6+
    if settle is not None:
        settle()
    to_points = 72.0 / ax.figure.dpi
    pixels = ax.transData.transform(np.column_stack([xs, ys])) * to_points
    others = pixels if avoid is None else ax.transData.transform(avoid) * to_points
    frame = ax.get_window_extent()
    edge = (frame.x0 * to_points, frame.y0 * to_points,
            frame.x1 * to_points, frame.y1 * to_points)  # fmt: skip
    dots = [(x - POINT_RADIUS, y - POINT_RADIUS, x + POINT_RADIUS, y + POINT_RADIUS)
            for x, y in np.vstack([others, pixels])]  # fmt: skip
    placed: list[tuple[float, float, float, float]] = []
    count = 0
    for k in range(len(texts)):
        px, py = pixels[k]
        width, height = _text_size(ax, texts[k])
        spot = None
        for d in LABEL_DISTANCES:
            for ux, uy in ((1, 0), (-1, 0), (0, 1), (0, -1),
                           (1, 1), (-1, 1), (1, -1), (-1, -1)):  # fmt: skip
                x0 = px + ux * d + (0.0 if ux > 0 else -width if ux < 0 else -width / 2)
                y0 = (
                    py
                    + uy * d
                    + (0.0 if uy > 0 else -height if uy < 0 else -height / 2)
                )
                box = (x0, y0, x0 + width, y0 + height)
                inside = (box[0] >= edge[0] and box[2] <= edge[2]
                          and box[1] >= edge[1] and box[3] <= edge[3])  # fmt: skip
                if inside and not any(_overlaps(box, b) for b in placed + dots):
                    spot = box
                    break
            if spot is not None:
                break
        if spot is None:
            continue
        placed.append(spot)
        count += 1
        away = abs(spot[0] - px) > 6 or abs(spot[1] - py) > 6
        line = {"arrowstyle": "-", "color": "#c0392b", "lw": 0.5, "shrinkA": 0,
                "shrinkB": 3}  # fmt: skip
        ax.annotate(
            texts[k], (xs[k], ys[k]),
            xytext=(spot[0] - px, spot[1] - py + 1.0), textcoords="offset points",
            fontsize=LABEL_FONT, color="#c0392b", va="bottom", ha="left",
            arrowprops=line if away else None,
        )  # fmt: skip
    return count


def outliers(result: FitResult, stats: Statistics | None = None) -> list[int]:
    """Indices of the outliers (the rule of :mod:`kelfit_tools.statistics`),
    worst first: by |residual| / sigma, else by |normalised residual|."""
    stats = stats if stats is not None else result_statistics(result)
    score = np.abs(stats.normalised_residuals)
    if result.sigma is not None:
        score = np.abs(np.asarray(result.residuals)) / np.asarray(result.sigma)
    flagged = np.flatnonzero(stats.outliers)
    return [int(i) for i in flagged[np.argsort(-score[flagged], kind="stable")]]


def plot_fit(
    result: FitResult,
    path: PathLike,
    *,
    labels: Sequence[str] | None = None,
    title: str | None = None,
    unit: str | None = "Hz",
    size: float = 4.5,
    dpi: int = 200,
    format_from: PathLike | None = None,
) -> None:
    """Plot observed against back-calculated values and save the figure.

    The figure is square (``size`` inches at ``dpi``, so 900 x 900 pixels by
    default), with the y = x line, Q and r in the title and the worst
    outliers (the rule of :mod:`kelfit_tools.statistics`) labelled.  The file type follows the
    extension (PNG, PDF, SVG, ...).

    Args:
        result: the fit.
        path: where to write the figure.
        labels: one label per value, for the outliers.
        title: a first title line, such as the protein's name.
        unit: unit of the values, for the axis labels (None: no unit).
        size: width and height in inches.
        dpi: resolution of raster formats.
        format_from: the name whose extension picks the format (``path``
            when None), for writing to a temporary file.

    Raises:
        MissingExtra: matplotlib is not installed.
    """
    figure_module: Any = require("matplotlib.figure", "plotting")
    require("matplotlib.backends.backend_agg", "plotting")

    observed = np.asarray(result.observed)
    calculated = np.asarray(result.calculated)
    fig = figure_module.Figure(figsize=(size, size), dpi=dpi, layout="constrained")
    ax = fig.add_subplot()

    low = float(min(observed.min(), calculated.min()))
    high = float(max(observed.max(), calculated.max()))
    pad = 0.06 * (high - low) if high > low else 1.0
    low, high = low - pad, high + pad
    ax.plot([low, high], [low, high], color="0.55", lw=1.0, ls="--", zorder=1)
    ax.scatter(
        calculated,
        observed,
        s=22,
        color="#1f5fa8",
        edgecolor="white",
        linewidth=0.5,
        zorder=2,
    )
    worst = outliers(result)
    if worst:
        ax.scatter(
            calculated[worst],
            observed[worst],
            s=22,
            color="#c0392b",
            edgecolor="white",
            linewidth=0.5,
            zorder=3,
        )
    ax.set_xlim(low, high)
    ax.set_ylim(low, high)
    ax.set_aspect("equal")
    if labels is not None and worst:
        top = worst[:MAX_LABELS]
        _label_apart(
            ax, calculated[top], observed[top], [labels[i] for i in top],
            avoid=np.column_stack([calculated, observed]),
        )  # fmt: skip
    suffix = f" ({unit})" if unit else ""
    ax.set_xlabel("back-calculated" + suffix)
    ax.set_ylabel("observed" + suffix)
    unit_text = f" {unit}" if unit else ""
    stats = (
        f"Q = {result.q:.3f}, r = {result.pearson_r:.3f}, "
        f"RMSD = {result.rmsd:.2f}{unit_text}"
    )
    ax.set_title(f"{title}\n{stats}" if title else stats, fontsize=10)
    ax.text(
        0.03,
        0.97,
        f"N = {result.n}\nRMSD = {result.rmsd:.2f}{unit_text}\n"
        f"Da = {result.da:.2f}{unit_text}, R = {result.r:.3f}",
        transform=ax.transAxes,
        va="top",
        fontsize=8,
    )
    ax.grid(True, color="0.92", lw=0.6, zorder=0)
    target = format_from if format_from is not None else path
    save_figure(fig, path, file_format(target), dpi)


def _residue_axis(labels: Sequence[str], medium: MediumFit | None) -> np.ndarray:
    if medium is not None:
        return np.array([float(c.residue_i) for c in medium.couplings])
    return np.arange(1, len(labels) + 1, dtype=float)


#: The residual axis of a fit's figures: observed less back-calculated.
RESIDUAL_LABEL = "observed - back-calculated"


def value_suffix(unit: str | None, mixed: bool) -> str:
    """What an axis of values adds to its name: the unit and, where bond
    types are mixed (the values divided by their type's factor to N-H),
    that they are normalised to N-H."""
    basis = ", normalised to N-H" if mixed else ""
    if unit:
        return f" ({unit}{basis})"
    return f" ({basis[2:]})" if basis else ""


def scatter_labels(unit: str | None, mixed: bool) -> tuple[str, str]:
    """The titles of a fit's scatter: back-calculated across, observed up,
    both normalised to N-H where bond types are mixed (every figure of a fit
    draws it so: ``--plot`` and the HTML report)."""
    suffix = value_suffix(unit, mixed)
    return "back-calculated" + suffix, "observed" + suffix


def plot_medium(
    result: FitResult,
    path: PathLike,
    *,
    medium: MediumFit | None = None,
    labels: Sequence[str] | None = None,
    title: str | None = None,
    unit: str | None = "Hz",
    format_from: PathLike | None = None,
    dpi: int = 150,
) -> None:
    """Two panels for diagnosis: observed against back-calculated, and the
    residual of every coupling along the sequence.

    Bond types keep one colour and marker in every figure
    (:data:`TYPE_STYLES`); mixed types are shown normalised to N-H. Error
    bars show each row's sigma where the fit had one; the outliers are
    circled and counted in the legend with their rule, the worst labelled.

    Args:
        result: the fit.
        path: where to write the figure.
        medium: the medium, for bond types and residue numbers.
        labels: one label per row.
        title: the figure's title, such as the input files and medium.
        unit: unit of the values (None: no unit).
        format_from: the name whose extension picks the format (``path``
            when None), for writing to a temporary file.
        dpi: resolution of raster formats.

    Raises:
        MissingExtra: matplotlib is not installed.
    """
    figure_module: Any = require("matplotlib.figure", "plotting")
    require("matplotlib.backends.backend_agg", "plotting")

    stats = result_statistics(result, medium)
    # Mixed bond types are compared normalised to N-H, where a C-N residual
    # counts as much as an N-H one; one type is shown as fitted.
    f = stats.factors if stats.mixed else np.ones(result.n)
    observed = np.asarray(result.observed) / f
    calculated = np.asarray(result.calculated) / f
    residuals = observed - calculated
    sigma = None if result.sigma is None else np.asarray(result.sigma) / np.abs(f)
    block = stats.normalised if stats.mixed else stats.raw
    types = medium.types if medium is not None else ["all"] * result.n
    names = list(dict.fromkeys(types))
    x_res = _residue_axis(labels or [str(i) for i in range(result.n)], medium)

    fig = figure_module.Figure(figsize=(11.0, 5.0), dpi=dpi, layout="constrained")
    left, right = fig.subplots(1, 2, width_ratios=[1.0, 1.35])
    x_label, y_label = scatter_labels(unit, stats.mixed)
    u = value_suffix(unit, stats.mixed)
    unit_text = f" {unit}" if unit else ""

    low = float(min(observed.min(), calculated.min()))
    high = float(max(observed.max(), calculated.max()))
    pad = 0.06 * (high - low) if high > low else 1.0
    low, high = low - pad, high + pad
    left.plot([low, high], [low, high], color="0.55", lw=1.0, ls="--", zorder=1)
    right.axhline(0.0, color="0.55", lw=1.0, ls="--", zorder=1)
    for name in names:
        colour, marker = type_style(name)
        rows = np.array([t == name for t in types])
        count = int(rows.sum())
        label = f"{name} ({count})" if medium is not None else f"{count} values"
        yerr = None if sigma is None else sigma[rows]
        left.errorbar(
            calculated[rows], observed[rows], yerr=yerr, fmt=marker, ms=4,
            color=colour, ecolor=colour, elinewidth=0.7, alpha=0.85, label=label,
            zorder=2,
        )  # fmt: skip
        right.errorbar(
            x_res[rows], residuals[rows], yerr=yerr, fmt=marker, ms=4,
            color=colour, ecolor=colour, elinewidth=0.7, alpha=0.85, label=label,
            zorder=2,
        )  # fmt: skip
    worst = outliers(result, stats)
    # Drawn even when empty, so the legend always states the rule and count.
    left.scatter(
        calculated[worst], observed[worst], s=70, facecolors="none",
        edgecolors="#c0392b", linewidths=1.2, zorder=3,
        label=f"{stats.outlier_rule} ({len(worst)})",
    )  # fmt: skip
    right.scatter(
        x_res[worst], residuals[worst], s=70, facecolors="none",
        edgecolors="#c0392b", linewidths=1.2, zorder=3,
    )  # fmt: skip
    left.set_xlim(low, high)
    left.set_ylim(low, high)
    left.set_aspect("equal")
    left.set_xlabel(x_label)
    left.set_ylabel(y_label)
    left.legend(fontsize=7, loc="lower right", frameon=False)
    left.set_title(
        f"Q = {block.q:.3f}, r = {block.pearson_r:.3f}, "
        f"RMSD = {block.rms:.2f}{unit_text}",
        fontsize=9,
    )
    right.set_xlabel("residue" if medium is not None else "row")
    right.set_ylabel(RESIDUAL_LABEL + u)
    bars = " (bars: sigma)" if sigma is not None else ""
    along = "residue" if medium is not None else "row"
    right.set_title(f"residual per {along}{bars}", fontsize=9)
    right.legend(fontsize=7, loc="best", frameon=False, ncols=min(len(names), 4))
    for ax in (left, right):
        ax.grid(True, color="0.92", lw=0.6, zorder=0)
    if worst and labels is not None:
        top = worst[:MAX_LABELS]
        texts = [
            labels[i] if len(names) == 1 else f"{labels[i]} {types[i]}" for i in top
        ]
        _label_apart(
            left, calculated[top], observed[top], texts,
            avoid=np.column_stack([calculated, observed]),
        )  # fmt: skip
        _label_apart(
            right, x_res[top], residuals[top], texts,
            avoid=np.column_stack([x_res, residuals]),
        )  # fmt: skip
    if title:
        fig.suptitle(title, fontsize=10)
    target = format_from if format_from is not None else path
    save_figure(fig, path, file_format(target), dpi)
