"""Figures of a fit (needs matplotlib)."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from .._extras import require
from ..errors import PathLike
from ..fitting import FitResult

if TYPE_CHECKING:
    from ..media import MediumFit

__all__ = ["file_format", "outliers", "plot_fit", "plot_medium"]

#: Residuals beyond this many RMSDs are labelled on the plot.
OUTLIER_RMSDS = 2.0
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

#: Colour and marker of each bond type, in order of appearance.
_STYLES = [
    ("#1f5fa8", "o"),
    ("#d9822b", "s"),
    ("#2e8b57", "^"),
    ("#8e44ad", "D"),
    ("#7f8c8d", "v"),
    ("#b8860b", "P"),
]


def file_format(path: PathLike) -> str:
    """The figure format of a file name: its extension, else PNG.

    The figure is saved with this explicit format, so the file written is
    exactly the name given, whatever its extension.
    """
    ext = os.path.splitext(os.fspath(path))[1].lower().lstrip(".")
    return ext if ext in _FORMATS else "png"


#: Outlier labels: font size (points), and the box a label is taken to
#: fill, per character and in height with line spacing (points), to keep
#: labels apart.
LABEL_FONT = 7
LABEL_CHAR_WIDTH = 4.3
LABEL_HEIGHT = 12.0


def _label_apart(ax: Any, xs: Any, ys: Any, texts: Sequence[str]) -> None:
    """Label points beside them, each label moved down past those it would cover.

    Call it once the axes' limits are final: positions are worked out in
    points on the page.
    """
    # Settle the layout (constrained, equal aspect) so that the positions
    # found here are the ones drawn.
    ax.autoscale_view()
    settle = getattr(ax.figure, "draw_without_rendering", None)  # matplotlib 3.6+
    if settle is not None:
        settle()
    to_points = 72.0 / ax.figure.dpi
    pixels = ax.transData.transform(np.column_stack([xs, ys]))
    right_edge = ax.get_window_extent().x1 * to_points
    placed: list[tuple[float, float, float, float]] = []
    order = sorted(range(len(texts)), key=lambda k: -pixels[k][1])  # top first
    for k in order:
        px, py = pixels[k] * to_points
        width = LABEL_CHAR_WIDTH * len(texts[k])
        # Right of the point, or left of it where the axes end first.
        dx = 4.0 if px + 4.0 + width <= right_edge else -4.0 - width
        dy = 4.0
        for _ in range(len(placed) + 1):
            box = (px + dx, py + dy, px + dx + width, py + dy + LABEL_HEIGHT)
            clash = [b for b in placed if box[0] < b[2] and b[0] < box[2]
                     and box[1] < b[3] and b[1] < box[3]]  # fmt: skip
            if not clash:
                break
            dy = min(b[1] for b in clash) - LABEL_HEIGHT - py
        placed.append(box)
        ax.annotate(
            texts[k], (xs[k], ys[k]), xytext=(dx, dy), textcoords="offset points",
            fontsize=LABEL_FONT, color="#c0392b",
        )  # fmt: skip


def outliers(result: FitResult, limit: float = OUTLIER_RMSDS) -> list[int]:
    """Indices of values whose residual exceeds ``limit`` RMSDs, worst first."""
    size = np.abs(np.asarray(result.residuals))
    if result.rmsd == 0.0:
        return []
    order = np.argsort(-size, kind="stable")
    return [int(i) for i in order if size[i] > limit * result.rmsd][:MAX_LABELS]


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
    outliers (residual beyond two RMSDs) labelled.  The file type follows the
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
        _label_apart(ax, calculated[worst], observed[worst], [labels[i] for i in worst])
    suffix = f" ({unit})" if unit else ""
    ax.set_xlabel("back-calculated" + suffix)
    ax.set_ylabel("observed" + suffix)
    stats = f"Q = {result.q:.3f}, r = {result.pearson_r:.3f}"
    ax.set_title(f"{title}\n{stats}" if title else stats, fontsize=10)
    unit_text = f" {unit}" if unit else ""
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
    fig.savefig(os.fspath(path), dpi=dpi, format=file_format(target))


def _residue_axis(labels: Sequence[str], medium: MediumFit | None) -> np.ndarray:
    if medium is not None:
        return np.array([float(c.residue_i) for c in medium.couplings])
    return np.arange(1, len(labels) + 1, dtype=float)


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

    Bond types get their own colour and marker, with a legend; error bars
    show each row's sigma where the fit had one; couplings whose residual
    exceeds two RMSDs are labelled and named in the legend.

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

    observed = np.asarray(result.observed)
    calculated = np.asarray(result.calculated)
    residuals = np.asarray(result.residuals)
    sigma = None if result.sigma is None else np.asarray(result.sigma)
    types = medium.types if medium is not None else ["all"] * result.n
    names = list(dict.fromkeys(types))
    x_res = _residue_axis(labels or [str(i) for i in range(result.n)], medium)

    fig = figure_module.Figure(figsize=(11.0, 5.0), dpi=dpi, layout="constrained")
    left, right = fig.subplots(1, 2, width_ratios=[1.0, 1.35])
    u = f" ({unit})" if unit else ""

    low = float(min(observed.min(), calculated.min()))
    high = float(max(observed.max(), calculated.max()))
    pad = 0.06 * (high - low) if high > low else 1.0
    low, high = low - pad, high + pad
    left.plot([low, high], [low, high], color="0.55", lw=1.0, ls="--", zorder=1)
    right.axhline(0.0, color="0.55", lw=1.0, ls="--", zorder=1)
    for i, name in enumerate(names):
        colour, marker = _STYLES[i % len(_STYLES)]
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
    worst = outliers(result)
    if worst:
        left.scatter(
            calculated[worst], observed[worst], s=70, facecolors="none",
            edgecolors="#c0392b", linewidths=1.2, zorder=3,
            label=f"|residual| > {OUTLIER_RMSDS:g} RMSD ({len(worst)})",
        )  # fmt: skip
        right.scatter(
            x_res[worst], residuals[worst], s=70, facecolors="none",
            edgecolors="#c0392b", linewidths=1.2, zorder=3,
        )  # fmt: skip
    left.set_xlim(low, high)
    left.set_ylim(low, high)
    left.set_aspect("equal")
    if worst and labels is not None:
        texts = [
            labels[i] if len(names) == 1 else f"{labels[i]} {types[i]}" for i in worst
        ]
        _label_apart(left, calculated[worst], observed[worst], texts)
        _label_apart(right, x_res[worst], residuals[worst], texts)
    left.set_xlabel("back-calculated" + u)
    left.set_ylabel("observed" + u)
    left.legend(fontsize=7, loc="lower right", frameon=False)
    stats = f"Q = {result.q:.3f}, r = {result.pearson_r:.3f}, RMSD = {result.rmsd:.2f}"
    left.set_title(stats, fontsize=9)
    right.set_xlabel("residue" if medium is not None else "row")
    right.set_ylabel("observed - back-calculated" + u)
    bars = " (bars: sigma)" if sigma is not None else ""
    along = "residue" if medium is not None else "row"
    right.set_title(f"residual per {along}{bars}", fontsize=9)
    right.legend(fontsize=7, loc="best", frameon=False, ncols=min(len(names), 4))
    for ax in (left, right):
        ax.grid(True, color="0.92", lw=0.6, zorder=0)
    if title:
        fig.suptitle(title, fontsize=10)
    target = format_from if format_from is not None else path
    fig.savefig(os.fspath(path), dpi=dpi, format=file_format(target))
