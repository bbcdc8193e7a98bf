"""The report of an alignment predicted from shape, as JSON values and text.

The predicted tensor carries the keys of a fit's tensor (``da``, ``r``,
``principal_axes``, ``order_matrix``, ...), so that the two read alike.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from ..steric import Comparison, Prediction
from ..tensor import Tensor
from .tensor import DIMENSIONLESS, euler_keys, order_keys, shape_keys

__all__ = ["prediction_report", "render_prediction"]


def _tensor(prediction: Prediction) -> dict[str, Any]:
    t = prediction.tensor()
    order = order_keys(prediction.order_matrix)
    return {
        **shape_keys(t),
        **euler_keys(t),
        "principal_values": list(t.principal_values),
        "principal_axes": [list(map(float, axis)) for axis in t.axes],
        **order,
        "aa": order["order_principal_values"][2],
        "nh_length": prediction.nh_length,
        "reference_constant_hz": prediction.reference_constant,
        "units": {
            "da": "Hz (N-H)",
            "dr": "Hz (N-H)",
            "dr_model": "Hz (N-H)",
            "principal_values": "Hz (N-H)",
            "euler": "degrees",
            "principal_axes": "unit vectors in the structure's frame",
            "order_matrix": DIMENSIONLESS,
            "order_principal_values": DIMENSIONLESS,
            "aa": DIMENSIONLESS,
            "nh_length": "angstrom",
            "reference_constant_hz": "Hz",
        },
    }


def prediction_report(
    prediction: Prediction,
    *,
    rows: Sequence[dict[str, Any]],
    comparison: Comparison | None = None,
    fitted: Tensor | None = None,
    source: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """Everything about one prediction, as plain JSON values.

    Args:
        prediction: the predicted alignment.
        rows: one dict per back-calculated coupling.
        comparison: against measured couplings and their fit.
        fitted: the fitted tensor the comparison was made with.
        source: what the prediction came from, copied in first.
    """
    out: dict[str, Any] = dict(source or {})
    medium = prediction.medium
    out["medium"] = {
        "name": medium.name,
        "shape": medium.shape,
        "concentration": prediction.concentration,
        "unit": medium.unit,
        "axis_p2": medium.axis_p2,
    }
    out["atoms"] = prediction.atoms
    out["orientations"] = prediction.orientations
    out["allowed"] = prediction.allowed
    out["tensor"] = _tensor(prediction)
    if comparison is not None and fitted is not None:
        out["comparison"] = comparison.as_dict()
        out["fitted"] = {
            "da": fitted.da,
            "r": fitted.r,
            "principal_axes": [list(map(float, axis)) for axis in fitted.axes],
        }
    out["couplings"] = list(rows)
    return out


def render_prediction(report: dict[str, Any]) -> str:
    """The report as text, one quantity per line."""
    m = report["medium"]
    t = report["tensor"]
    title = (
        f"Steric alignment in {m['name']} ({m['shape']}s) at "
        f"{m['concentration']:g} {m['unit']}: {report['atoms']} heavy atoms, "
        f"{report['orientations']} orientations"
    )
    lines = [
        title,
        f"Da (Hz, N-H)     {t['da']:.4g}",
        f"R                {t['r']:.4f}",
        "Euler (deg)      " + ", ".join(f"{a:.2f}" for a in t["euler_deg"]),
        "Order matrix     "
        + ", ".join(f"{v:.4g}" for v in t["order_principal_values"])
        + " (principal values)",
        f"Positions left   {report['allowed']:.4f} (mean share over orientations)",
        f"Couplings        {len(report['couplings'])} back-calculated",
    ]
    c = report.get("comparison")
    if c is not None:
        angles = ", ".join(f"{a:.1f}" for a in c["axis_angles_deg"])
        lines += [
            "",
            f"Against the {c['n']} measured couplings and their fit:",
            f"Pearson r        {c['pearson_r']:.4f}",
            f"Q                {c['q']:.4f} (after one scale, {c['scale']:.4g})",
            f"Axis angles      {angles} (x, y, z; degrees, predicted to fitted)",
            f"Da fitted/pred.  {c['da_ratio']:.4g}",
        ]
    return "\n".join(lines) + "\n"
