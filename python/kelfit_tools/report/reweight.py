"""A reweighted ensemble as text, JSON, a table of weights and a figure."""

from __future__ import annotations

import csv
import io
import math
from typing import Any

import numpy as np

from .. import __version__
from ..errors import PathLike
from ..reweight import EnsembleFrames, ReweightResult
from .figures import new_figure, save_named

__all__ = [
    "WEIGHT_COLUMNS",
    "plot_reweight",
    "reweight_payload",
    "reweight_text",
    "weights_csv",
]

#: The columns of the table of weights, one row per frame.
WEIGHT_COLUMNS = ("kind", "number", "time_ps", "weight", "weight_sd")


def _number(value: float) -> float | None:
    """A float for JSON: None where it does not exist."""
    return float(value) if math.isfinite(value) else None


def reweight_payload(result: ReweightResult, frames: EnsembleFrames) -> dict[str, Any]:
    """The reweighting as plain values (the JSON report, without the run's
    warnings and notes)."""
    t = result.tensor
    c = result.curve
    return {
        "kelfit_version": __version__,
        "command": "reweight",
        "medium": frames.medium,
        "kind": frames.kind,
        "frames": len(frames.numbers),
        "couplings": len(frames.labels),
        "weighted": result.sigma is not None,
        "theta": result.theta,
        "theta_chosen_by": "given" if len(c.theta) == 1 else "cross-validation",
        "folds": result.folds,
        "seed": result.seed,
        "replicates": len(result.replicate_weights),
        "converged": result.converged,
        "kish_fraction": result.kish_fraction,
        "entropy_fraction": result.entropy_fraction,
        "chi2": {"before": result.chi2_before, "after": result.chi2_after},
        "q": {"before": result.q_before, "after": result.q_after},
        "free_q": {
            "before": _number(result.free_q_before),
            "after": _number(result.free_q_after),
        },
        "tensor": {
            "da": t.da,
            "r": t.r,
            "angles_deg": list(t.angles_deg),
        },
        "curve": [
            {
                "theta": float(c.theta[i]),
                "chi2": float(c.chi2[i]),
                "kish_fraction": float(c.kish_fraction[i]),
                "entropy_fraction": float(c.entropy_fraction[i]),
                "cv_chi2": float(c.cv_chi2[i]),
                "free_q": _number(float(c.free_q[i])),
            }
            for i in range(len(c.theta))
        ],
        "weights": [
            {
                frames.kind: frames.numbers[m],
                "weight": float(result.weights[m]),
                "weight_sd": _number(float(result.weights_sd[m])),
            }
            for m in range(len(result.weights))
        ],
    }


#: Frames listed in the text report, the heaviest first.
LISTED_FRAMES = 10


def reweight_text(result: ReweightResult, frames: EnsembleFrames) -> str:
    """The reweighting as a text report."""
    c = result.curve
    chi2 = "chi^2" if result.sigma is not None else "sum of squared residuals"
    how = "given" if len(c.theta) == 1 else f"{result.folds}-fold cross-validation"
    lines = [
        f"Reweighted {len(frames.numbers)} {frames.kind}s to {len(frames.labels)} "
        f"couplings" + (f" ({frames.medium})" if frames.medium else ""),
        f"theta            {result.theta:g} ({how}, seed {result.seed})",
        f"{chi2:<16} {result.chi2_before:.4g} -> {result.chi2_after:.4g}",
        f"Q                {result.q_before:.4f} -> {result.q_after:.4f}",
        (
            f"free Q           {result.free_q_before:.4f} -> "
            f"{result.free_q_after:.4f} (left-out couplings)"
        ),
        (
            f"effective        {result.kish_fraction:.3f} of the {frames.kind}s "
            f"(Kish), {result.entropy_fraction:.3f} (exp entropy)"
        ),
        f"Da(N-H) (Hz), R  {result.tensor.da:.3f}, {result.tensor.r:.3f}",
    ]
    if not result.converged:
        lines.append("the alternation of weights and tensor stopped at its limit")
    header = ("theta", "chi2", "Kish", "exp S", "CV chi2", "free Q")
    lines += ["", "  ".join(f"{h:>10}" for h in header)]
    for i in range(len(c.theta)):
        mark = "  <" if c.theta[i] == result.theta else ""
        cells = (
            f"{c.theta[i]:g}", f"{c.chi2[i]:.4g}", f"{c.kish_fraction[i]:.3f}",
            f"{c.entropy_fraction[i]:.3f}", f"{c.cv_chi2[i]:.4g}", f"{c.free_q[i]:.4f}",
        )  # fmt: skip
        lines.append("  ".join(f"{x:>10}" for x in cells) + mark)
    order = np.argsort(-result.weights, kind="stable")[:LISTED_FRAMES]
    lines += ["", f"{frames.kind:>8}  {'weight':>8}  {'sd':>8}"]
    for m in order:
        lines.append(
            f"{frames.numbers[m]:>8}  {result.weights[m]:>8.4f}  "
            f"{result.weights_sd[m]:>8.4f}"
        )
    if len(result.weights) > LISTED_FRAMES:
        lines.append(
            f"({len(result.weights) - LISTED_FRAMES} more in the table of weights)"
        )
    return "\n".join(lines) + "\n"


def weights_csv(result: ReweightResult, frames: EnsembleFrames) -> str:
    """One row per frame: its kind, number, time, weight and the weight's
    bootstrap error, as CSV."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(WEIGHT_COLUMNS)
    for m, number in enumerate(frames.numbers):
        writer.writerow([
            frames.kind, number, repr(float(frames.times[m])),
            repr(float(result.weights[m])), repr(float(result.weights_sd[m])),
        ])  # fmt: skip
    return buffer.getvalue()


def plot_reweight(
    result: ReweightResult,
    frames: EnsembleFrames,
    path: PathLike,
    *,
    title: str | None = None,
    dpi: int = 200,
    format_from: PathLike | None = None,
) -> None:
    """Two panels: chi^2 and the left-out chi^2 against the effective
    fraction of frames at every theta (the chosen one marked), and the
    weights of the frames with their bootstrap errors.

    Raises:
        MissingExtra: matplotlib is not installed.
    """
    fig = new_figure(7.0, 6.0, dpi)
    curve_ax, weight_ax = fig.subplots(2, 1)
    c = result.curve
    curve_ax.plot(c.kish_fraction, c.chi2, "o-", color="#1f5fa8", label="fit")
    curve_ax.plot(c.kish_fraction, c.cv_chi2, "s--", color="#d9822b", label="left out")
    chosen = int(np.flatnonzero(c.theta == result.theta)[0])
    curve_ax.plot(
        [c.kish_fraction[chosen]], [c.cv_chi2[chosen]], "o", ms=12, mfc="none",
        color="k", label=f"theta {result.theta:g}",
    )  # fmt: skip
    curve_ax.set_xlabel("effective fraction of frames (Kish)")
    curve_ax.set_ylabel("chi^2" if result.sigma is not None else "sum of squares")
    curve_ax.legend(fontsize=8)
    curve_ax.grid(True, color="0.92", lw=0.6)
    x = frames.times if frames.kind == "frame" else np.asarray(frames.numbers)
    if frames.kind == "frame" and not np.isfinite(x).all():
        x = np.asarray(frames.numbers, dtype=np.float64)
    weight_ax.axhline(1.0 / len(result.weights), color="0.6", lw=0.8)
    if np.isfinite(result.weights_sd).all():
        # A weight is never negative: its bar stops at zero.
        below = np.minimum(result.weights_sd, result.weights)
        weight_ax.errorbar(x, result.weights, yerr=(below, result.weights_sd),
                           fmt="o", ms=3, color="#1f5fa8", lw=0.8)  # fmt: skip
    else:
        weight_ax.plot(x, result.weights, "o", ms=3, color="#1f5fa8")
    weight_ax.set_xlabel("time (ps)" if frames.kind == "frame" else "model")
    weight_ax.set_ylabel("weight")
    weight_ax.grid(True, color="0.92", lw=0.6)
    if title:
        curve_ax.set_title(title, fontsize=10)
    save_named(fig, path, dpi, format_from)
