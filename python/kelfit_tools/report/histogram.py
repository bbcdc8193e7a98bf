"""The histogram of the couplings with the fitted powder pattern (needs
matplotlib)."""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import __version__
from .._extras import require
from ..errors import PathLike, printable
from ..histogram import HistogramEstimate
from .figures import file_format, save_figure

__all__ = [
    "histogram_payload",
    "histogram_report",
    "plot_histogram",
    "render_histogram",
]

#: Bins of the histogram: about two couplings a bin on average, within limits.
_MIN_BINS = 12
_MAX_BINS = 60
#: Share of the figure's height under the axes for the error's parts.
_PARTS_MARGIN = 0.07
#: Points the fitted line shape is drawn through.
_CURVE_POINTS = 600


def _finite(value: float) -> float | None:
    return value if np.isfinite(value) else None


def _parts(estimate: HistogramEstimate) -> dict[str, Any]:
    """The error's two parts: the data's (jackknife or curvature) and the
    direction sampling's."""
    data = {
        "method": "jackknife" if estimate.jackknife_blocks else "curvature",
        "blocks": estimate.jackknife_blocks or None,
        "da": _finite(estimate.da_jackknife),
        "r": _finite(estimate.r_jackknife),
    }
    s = estimate.sampling
    sampling = (
        None
        if s is None
        else {
            "da": _finite(s.da_sd),
            "r": _finite(s.r_sd),
            "da_bias": _finite(s.da_bias),
            "r_bias": _finite(s.r_bias),
            "replicates": s.replicates,
            "flipped": s.flipped,
            "directions": s.source,
            "orientations": "random" if s.spread is None else "predicted",
            "spread_deg": s.spread,
            "seed": s.seed,
        }
    )
    return {"jackknife": data, "sampling": sampling}


def histogram_payload(
    estimate: HistogramEstimate,
    *,
    couplings: str,
    medium: str,
    structure: str | None,
    types: dict[str, int],
    convention: str,
) -> dict[str, Any]:
    """The JSON report of ``kelfit histogram``: what was estimated from
    what, and the estimate."""
    return {
        "kelfit_version": __version__,
        "command": "histogram",
        "input": {"couplings": couplings, "medium": medium, "structure": structure},
        "types": types,
        "sign_convention": convention,
        **histogram_report(estimate),
    }


def histogram_report(estimate: HistogramEstimate) -> dict[str, Any]:
    """The estimate as plain JSON values."""
    return {
        "n": estimate.n,
        "da": estimate.da,
        "da_error": _finite(estimate.da_error),
        "r": estimate.r,
        "r_error": _finite(estimate.r_error),
        "bias_corrected": estimate.bias_corrected,
        "da_likelihood": estimate.fitted_pattern[0],
        "r_likelihood": estimate.fitted_pattern[1],
        **_parts(estimate),
        "r_at_bound": estimate.r_at_bound,
        "width": estimate.width,
        "principal_values": list(estimate.principal_values),
        "log_likelihood": estimate.log_likelihood,
        "units": {
            "da": "Hz (N-H)",
            "width": "Hz (N-H)",
            "principal_values": "Hz (N-H)",
        },
    }


def _pm(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.2g}"


def _signed(value: float | None) -> str:
    return "n/a" if value is None else f"{value:+.2g}"


def render_histogram(report: dict[str, Any]) -> str:
    """The report as text."""
    e = report
    xx, yy, zz = e["principal_values"]
    lines = [
        f"Histogram of {e['n']} couplings (normalised to N-H)",
        f"Da (Hz, N-H)     {e['da']:.3f} +/- {_pm(e['da_error'])}",
        f"R                {e['r']:.3f} +/- {_pm(e['r_error'])}"
        + (" (at its bound)" if e["r_at_bound"] else ""),
        f"Pattern (Hz)     xx {xx:.2f}, yy {yy:.2f}, zz {zz:.2f} (principal values)",
        f"Width (Hz)       {e['width']:.3f} (blur beyond the stated errors)",
    ]
    data = e["jackknife"]
    name = (
        f"jackknife, {data['blocks']} runs"
        if data["method"] == "jackknife"
        else "log-likelihood curvature"
    )
    lines.append(f"Errors, data     Da {_pm(data['da'])}, R {_pm(data['r'])} ({name})")
    s = e["sampling"]
    if s is not None:
        where = (
            "the structure's bonds"
            if s["directions"] == "structure"
            else f"{e['n']} uniform directions"
        )
        around = (
            f"random orientations over {where}"
            if s["spread_deg"] is None
            else f"orientations {s['spread_deg']:g} deg rms around the predicted "
            "alignment"
        )
        lines.append(
            f"Errors, sampling Da {_pm(s['da'])}, R {_pm(s['r'])} ({s['replicates']} "
            f"{around}, seed {s['seed']})"
        )
        lines.append(
            f"Sampling bias    Da {_signed(s['da_bias'])}, R {_signed(s['r_bias'])} "
            "(replicates' mean less the estimate"
            + (", flipped ones left out" if s["flipped"] else "")
            + ("; subtracted)" if e["bias_corrected"] else "; not corrected)")
        )
    if e["bias_corrected"]:
        lines.append(
            f"Likelihood max   Da {e['da_likelihood']:.3f}, R {e['r_likelihood']:.3f} "
            "(before the bias correction)"
        )
    # Medium and file names come from the inputs.
    return printable("\n".join(lines) + "\n", lines=True)


def _error_parts(estimate: HistogramEstimate) -> str:
    """The error's parts, for the figure: data, then sampling."""
    method = "jackknife" if estimate.jackknife_blocks else "curvature"
    parts = [
        f"{method} Da ± {estimate.da_jackknife:.2g}, R ± {estimate.r_jackknife:.2g}"
    ]
    s = estimate.sampling
    if s is not None:
        over = "the structure's bonds" if s.source == "structure" else "uniform bonds"
        where = (
            f"over {over}"
            if s.spread is None
            else f"{s.spread:g}° around the predicted alignment"
        )
        parts.append(
            f"sampling ({s.replicates} orientations {where}) "
            f"Da ± {s.da_sd:.2g}, R ± {s.r_sd:.2g}"
        )
    text = "errors: " + "; ".join(parts)
    if estimate.bias_corrected and s is not None:
        text += f"\nbias subtracted: Da {s.da_bias:+.2g}, R {s.r_bias:+.2g}"
    return text


def plot_histogram(
    estimate: HistogramEstimate,
    path: PathLike,
    *,
    title: str | None = None,
    size: tuple[float, float] = (6.0, 4.0),
    dpi: int = 200,
    format_from: PathLike | None = None,
) -> None:
    """Draw the couplings' histogram with the fitted, blurred pattern over
    it, and the pattern's three principal values marked.

    Raises:
        MissingExtra: matplotlib is not installed.
    """
    figure_module: Any = require("matplotlib.figure", "plotting")
    require("matplotlib.backends.backend_agg", "plotting")
    values = estimate.values
    low, _, high = sorted(estimate.principal_values)
    margin = 0.15 * (high - low)
    left = min(float(values.min()), low) - margin
    right = max(float(values.max()), high) + margin
    bins = int(np.clip(values.size // 2, _MIN_BINS, _MAX_BINS))
    fig = figure_module.Figure(figsize=size)
    ax = fig.add_subplot(1, 1, 1)
    ax.hist(
        values,
        bins=bins,
        range=(left, right),
        density=True,
        color="#9fb8d8",
        edgecolor="#1f5fa8",
        label=f"{values.size} couplings",
    )
    grid = np.linspace(left, right, _CURVE_POINTS)
    corrected = estimate.bias_corrected
    ax.plot(
        grid,
        estimate.line_shape(grid),
        color="#c0392b",
        lw=2,
        label="likelihood maximum" if corrected else "fitted pattern",
    )
    if corrected:
        # The reported estimate, after the bias: its principal values are
        # the ones marked.
        ax.plot(
            grid,
            estimate.line_shape(grid, (estimate.da, estimate.r)),
            color="#1e8449",
            lw=1.2,
            ls="--",
            label="bias-corrected estimate",
        )
    for x, name in zip(estimate.principal_values, ("xx", "yy", "zz")):
        ax.axvline(x, color="#555555", ls="--", lw=0.8)
        ax.annotate(
            name,
            (x, 0.97),
            xycoords=("data", "axes fraction"),
            xytext=(3, 0),
            textcoords="offset points",
            ha="left",
            va="top",
            fontsize=8,
            color="#555555",
        )
    da_error = (
        "" if not np.isfinite(estimate.da_error) else f" ± {estimate.da_error:.2g}"
    )
    r_error = "" if not np.isfinite(estimate.r_error) else f" ± {estimate.r_error:.2g}"
    heading = f"Da = {estimate.da:.2f}{da_error} Hz, R = {estimate.r:.3f}{r_error}"
    ax.set_title(f"{title}\n{heading}" if title else heading, fontsize=10)
    ax.set_xlabel("coupling normalised to N-H (Hz)")
    ax.set_ylabel("density (1/Hz)")
    ax.legend(fontsize=8, loc="center left")
    fig.text(0.5, 0.015, _error_parts(estimate), ha="center", va="bottom", fontsize=7)
    margin = _PARTS_MARGIN * (2 if corrected else 1)
    fig.tight_layout(rect=(0.0, margin, 1.0, 1.0))
    save_figure(fig, path, file_format(format_from or path), dpi)
