"""Figures of a fit (needs matplotlib)."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

import numpy as np

from .._extras import require
from ..fitting import FitResult
from ..errors import PathLike

__all__ = ["outliers", "plot_fit"]

#: Residuals beyond this many RMSDs are labelled on the plot.
OUTLIER_RMSDS = 2.0
#: At most this many points are labelled, the worst first.
MAX_LABELS = 8


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
    if labels is not None:
        for i in worst:
            ax.annotate(
                labels[i],
                (calculated[i], observed[i]),
                xytext=(4, 4),
                textcoords="offset points",
                fontsize=7,
                color="#c0392b",
                bbox={"boxstyle": "round,pad=0.1", "fc": "white", "ec": "none"},
            )
    ax.set_xlim(low, high)
    ax.set_ylim(low, high)
    ax.set_aspect("equal")
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
    fig.savefig(os.fspath(path), dpi=dpi)
