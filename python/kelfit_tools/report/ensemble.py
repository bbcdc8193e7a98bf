"""An ensemble's fits for a person: a few lines, JSON, a figure."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from .._extras import require
from ..ensemble import EnsembleSummary
from ..errors import PathLike
from .figures import new_figure, save_named

__all__ = ["plot_ensemble", "render_summary", "summary_json"]

AXIS_COLOURS = ("#1f5fa8", "#e08a1e", "#2e8b57")


def summary_json(summary: EnsembleSummary) -> dict[str, Any]:
    """The summary as plain JSON values (angles in degrees)."""
    mean = summary.mean
    low, high = summary.q_range
    return {
        "models": len(summary.models),
        "q": {
            "mean": summary.q_mean,
            "sd": summary.q_sd,
            "median": summary.q_median,
            "min": low,
            "max": high,
            "per_model": [_finite(q) for q in summary.q],
        },
        "best_model": summary.best,
        "worst_model": summary.worst,
        "mean_tensor": {
            "angles_deg": list(mean.angles_deg),
            "da": mean.da,
            "r": mean.r,
            "dr": mean.dr,
            "gdo": summary.mean_gdo,
        },
        "gdo": {
            "mean": float(np.mean(summary.gdo)),
            "sd": summary.gdo_sd,
            "per_model": [float(g) for g in summary.gdo],
        },
        "axis_spread_deg": list(summary.axis_spread_deg),
    }


def _finite(value: float) -> float | None:
    return None if math.isnan(value) else float(value)


def render_summary(summary: EnsembleSummary, unit: str = "Hz", medium: str = "") -> str:
    """A few lines of text: Q over the models, the mean tensor, the spread
    (of ``medium``, named in the heading when given)."""
    low, high = summary.q_range
    q_of = dict(zip(summary.models, summary.q))
    a1, a2, a3 = summary.mean.angles_deg
    x, y, z = summary.axis_spread_deg
    u = f" {unit}" if unit else ""
    return (
        f"Ensemble of {len(summary.models)} models{f' ({medium})' if medium else ''}\n"
        f"  Q: mean {summary.q_mean:.4f} ± {summary.q_sd:.4f}, median "
        f"{summary.q_median:.4f}, range {low:.4f} to {high:.4f}\n"
        f"  best model {summary.best} (Q {q_of[summary.best]:.4f}), worst model "
        f"{summary.worst} (Q {q_of[summary.worst]:.4f})\n"
        f"  mean tensor: a1 {a1:.2f}, a2 {a2:.2f}, a3 {a3:.2f} deg; "
        f"Da {summary.mean.da:.3f}{u}, R {summary.mean.r:.4f}\n"
        f"  GDO (generalized degree of order): models {np.mean(summary.gdo):.4e} ± "
        f"{summary.gdo_sd:.4e}, mean tensor {summary.mean_gdo:.4e}\n"
        f"  principal axes from the mean tensor's (rms, deg): x {x:.2f}, "
        f"y {y:.2f}, z {z:.2f}\n"
    )


def plot_ensemble(
    summary: EnsembleSummary,
    path: PathLike,
    *,
    title: str | None = None,
    dpi: int = 200,
    format_from: PathLike | None = None,
) -> None:
    """Q per model, and how far each model's principal axes lie from the mean.

    The file format follows the extension of ``format_from`` (default:
    ``path``), PNG when it names none.

    Raises:
        MissingExtra: matplotlib is not installed.
    """
    fig = new_figure(6.0, 5.0, dpi)
    ticker: Any = require("matplotlib.ticker", "plotting")
    q_axes, axis_axes = fig.subplots(2, 1, sharex=True)
    models = np.array(summary.models)
    colours = [
        "#2e8b57" if m == summary.best else "#c0392b" if m == summary.worst else "0.6"
        for m in summary.models
    ]
    q_axes.bar(models, summary.q, color=colours, width=0.7)
    q_axes.axhline(summary.q_mean, color="0.3", lw=1.0, ls="--")
    q_axes.set_ylabel("Q")
    low, high = summary.q_range
    q_axes.set_title(
        (f"{title}\n" if title else "")
        + f"Q {summary.q_mean:.3f} ± {summary.q_sd:.3f} (range {low:.3f}–{high:.3f}); "
        f"best model {summary.best}, worst {summary.worst}",
        fontsize=9,
    )
    for k, name in enumerate("xyz"):
        axis_axes.plot(
            models,
            summary.axis_deviation_deg[:, k],
            marker="o",
            ms=3.5,
            lw=0.8,
            color=AXIS_COLOURS[k],
            label=name,
        )
    x, y, z = summary.axis_spread_deg
    axis_axes.set_title(
        f"principal axes from the mean tensor's: rms x {x:.1f}°, y {y:.1f}°, "
        f"z {z:.1f}°",
        fontsize=9,
    )
    axis_axes.set_ylabel("angle (deg)")
    axis_axes.set_xlabel("model")
    axis_axes.set_ylim(bottom=0)
    axis_axes.xaxis.set_major_locator(ticker.MaxNLocator(integer=True))
    axis_axes.legend(fontsize=8, frameon=False, loc="best")
    for ax in (q_axes, axis_axes):
        ax.grid(True, color="0.92", lw=0.6)
        ax.set_axisbelow(True)
    save_named(fig, path, dpi, format_from)
