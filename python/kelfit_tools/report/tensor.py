"""The complete report of a fitted tensor, as a JSON-ready dict and as text.

The text is rendered from the dict, so the two never disagree.  Every
number is printed whole: the text uses one quantity per line, which fits
any terminal without cutting a number.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from ..errors import Advice, Hint
from ..fitting import FitResult
from ..media import MediumComparison, MediumFit, result_statistics
from ..montecarlo import MonteCarloResult
from ..statistics import NORMALISED_TO, Statistics
from ..tensor import (
    Tensor,
    dr_model,
    euler_solutions,
    frame_zyz_solutions,
    rhombic_component,
    zyz_solutions,
)
from .couplings import report_rows
from .sky import sky_sample

__all__ = [
    "comparison_cells",
    "comparison_report",
    "errors_report",
    "euler_keys",
    "fit_report",
    "method_description",
    "order_keys",
    "render_comparisons",
    "render_fit",
    "shape_keys",
]

#: How the Euler angles are stated, in the report and the documentation.
EULER_CONVENTION = "z-x-z, degrees; a1 in [0, 360), a2 in [0, 90], a3 in [0, 180)"

#: The same rotation as other programs state it.
ZYZ_CONVENTION = (
    "z-y'-z'' (clockwise about z, y', z''), degrees: (alpha, beta, gamma) = "
    "(-a3 - 270, a2, 270 - a1) mod 360; beta <= 90 first"
)

#: The z-y-z angles that structure-calculation and modelling programs print.
FRAME_ZYZ_CONVENTION = (
    "z-y-z, degrees, of the rotation taking the tensor's frame to the "
    "molecule's: R = Rz(alpha) Ry(beta) Rz(gamma), whose columns are the "
    "principal axes x, y, z; alpha and gamma below 180 first"
)

#: Units of the order matrix and of the alignment amplitudes.
DIMENSIONLESS = "dimensionless"


def _units(unit: str | None) -> dict[str, str]:
    """The unit of every dimensional quantity of the tensor object."""
    value_unit = unit or "unit of the values"
    return {
        "da": value_unit,
        "dr": value_unit,
        "dr_model": value_unit,
        "offset": value_unit,
        "principal_values": value_unit,
        "euler": "degrees",
        "principal_axes": "unit vectors in the structure's frame",
    }


def _clean(value: float | None) -> float | None:
    if value is None:
        return None
    value = float(value)
    return None if math.isnan(value) or math.isinf(value) else value


def _finite_only(value: Any) -> Any:
    """``value`` with every non-finite number inside it made None (JSON's
    null): strict JSON has no NaN or infinity."""
    if isinstance(value, dict):
        return {key: _finite_only(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite_only(item) for item in value]
    if isinstance(value, (float, np.floating)) and not math.isfinite(value):
        return None
    return value


def errors_report(
    mc: MonteCarloResult, offset: bool, constant: float | None = None
) -> dict[str, Any]:
    """The spread over refits as plain JSON values (``offset``: whether the
    fit moved the offset, so that its spread means something; ``constant``:
    the dipolar constant of scale 1, which makes the degree of order
    dimensionless, None for a vector table, which has none).

    When the refits were kept, up to :data:`~kelfit_tools.report.sky.SKY_REFITS`
    of them lend their principal axes to the sky map (``refit_axes``).
    """
    out = {
        "method": mc.method,
        "trials": mc.trials,
        "sigma": _clean(mc.sigma),
        "weighted": mc.weighted,
        # The refits' centre: it should be the fit's own Da and R, within a
        # small part of the spread, when the refits are weighted as the fit.
        "da_mean": mc.da_mean,
        "r_mean": mc.r_mean,
        "da_sd": mc.da_sd,
        "r_sd": mc.r_sd,
        "dr_sd": mc.dr_sd,
        "dr_model_sd": _clean(mc.dr_model_sd),
        "offset_sd": mc.offset_sd if offset else None,
        "axis_spread_deg": list(mc.axis_spread_deg),
        "structure_noise_deg": mc.structure_noise_deg,
        "models_drawn": mc.models_drawn,
    }
    if constant is not None:
        out["gdo_mean"] = _clean(mc.gdo_mean / constant)
        out["gdo_sd"] = _clean(mc.gdo_sd / constant)
    if mc.axes is not None:
        out["refit_axes"] = sky_sample(mc.axes).tolist()
    return out


def _quality(result: FitResult, stats: Statistics) -> dict[str, Any]:
    """The quality block: the fit's raw numbers as before, then the rest."""
    return {
        "n": result.n,
        "rmsd": result.rmsd,
        "q": _clean(result.q),
        "q_da": _clean(result.q_da),
        "q_clore_garrett": _clean(result.q_clore_garrett),
        "mean_scale2": result.mean_scale2,
        "pearson_r": _clean(result.pearson_r),
        "chi2": _clean(result.chi2),
        "reduced_chi2": _clean(result.reduced_chi2),
        "cost": result.cost,
        "lead": "normalised" if stats.mixed else "raw",
        "normalised_to": NORMALISED_TO,
        "factors": dict(stats.type_factors),
        "raw": stats.raw.as_dict(),
        "normalised": stats.normalised.as_dict(),
        "per_type": {
            t: {"raw": raw.as_dict(), "normalised": norm.as_dict()}
            for t, (raw, norm) in stats.per_type.items()
        },
        "regression": stats.regression.as_dict(),
        "outliers": {
            "rule": stats.outlier_rule,
            "count": int(stats.outliers.sum()),
        },
        "per_residue": [
            {
                "chain": r.chain,
                "residue": r.residue,
                "resname": r.resname,
                "normalised_residuals": [
                    {"type": t, "value": v} for t, v in r.residuals
                ],
                "q": _clean(r.q),
            }
            for r in stats.residues
        ],
    }


def shape_keys(t: Tensor) -> dict[str, float]:
    """A report's Da, R and the two rhombic components of a tensor."""
    return {"da": t.da, "r": t.r, "dr": t.dr, "dr_model": t.dr_model}


def euler_keys(t: Tensor) -> dict[str, Any]:
    """A report's z-x-z angles of a tensor's frame, with every equivalent
    triple."""
    solutions = euler_solutions(t.axes)
    return {
        "euler_deg": list(solutions[0]),
        "euler_solutions_deg": [list(x) for x in solutions],
        "euler_convention": EULER_CONVENTION,
    }


def order_keys(order_matrix: ArrayLike) -> dict[str, list[Any]]:
    """A report's order matrix and its principal values, |value| ascending."""
    s = np.asarray(order_matrix, dtype=np.float64)
    values = np.linalg.eigvalsh(s)
    order = np.argsort(np.abs(values), kind="stable")
    return {
        "order_matrix": [list(map(float, row)) for row in s],
        "order_principal_values": [float(values[i]) for i in order],
    }


def fit_report(
    result: FitResult,
    *,
    medium: MediumFit | None = None,
    labels: Sequence[str] | None = None,
    errors: MonteCarloResult | None = None,
    source: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """Everything about one fit, as plain JSON values.

    Args:
        result: the fit.
        medium: the medium it belongs to (bond types, constants, sign
            convention); None for a plain vector table.
        labels: one label per row (a vector table's labels).
        errors: Monte Carlo or bootstrap estimates.
        source: what the data came from (file names, model), copied in.
    """
    t = result.tensor()
    zyz = zyz_solutions(t.axes)
    frame = frame_zyz_solutions(t.axes)
    out: dict[str, Any] = dict(source or {})
    out["method"] = result.method
    out["fixed"] = list(result.fixed)
    tensor: dict[str, Any] = {
        **shape_keys(t),
        "offset": result.offset,
        "offset_fitted": result.offset_fitted,
        **euler_keys(t),
        "euler_zyz_deg": list(zyz[0]),
        "euler_zyz_solutions_deg": [list(s) for s in zyz],
        "euler_zyz_convention": ZYZ_CONVENTION,
        "euler_frame_zyz_deg": list(frame[0]),
        "euler_frame_zyz_solutions_deg": [list(s) for s in frame],
        "euler_frame_zyz_convention": FRAME_ZYZ_CONVENTION,
        "principal_values": list(t.principal_values),
        "principal_axes": [list(map(float, axis)) for axis in t.axes],
        "fitted_params": {
            "angles_rad": list(result.angles),
            "da": result.da,
            "r": result.r,
        },
    }
    units = _units("Hz" if medium is not None else None)
    if medium is not None:
        aa, ar = medium.alignment_amplitudes
        tensor.update(
            da_nh=medium.da_nh,
            dr_nh=rhombic_component(medium.da_nh, t.r),
            dr_model_nh=dr_model(medium.da_nh, t.r),
            da_alignment=medium.da_alignment,
            gdo=medium.gdo,
            aa=aa,
            ar=ar,
            da_basis=medium.basis,
            bond_lengths=medium.bond_lengths,
            nh_length=medium.nh_length,
            nh_mean_length=medium.nh_mean_length,
            nh_standard_length=medium.nh_standard_length,
            da_nh_standard=medium.da_nh_standard,
            reference_constant_hz=medium.reference_constant,
            **order_keys(medium.order_matrix),
        )
        units.update(
            da_nh="Hz",
            dr_nh="Hz",
            dr_model_nh="Hz",
            da_nh_standard="Hz",
            da_alignment=DIMENSIONLESS,
            gdo=DIMENSIONLESS,
            aa=DIMENSIONLESS,
            ar=DIMENSIONLESS,
            nh_length="angstrom",
            nh_mean_length="angstrom",
            nh_standard_length="angstrom",
            reference_constant_hz="Hz",
            order_matrix=DIMENSIONLESS,
            order_principal_values=DIMENSIONLESS,
        )
    tensor["units"] = units
    out["tensor"] = tensor
    stats = result_statistics(result, medium)
    out["quality"] = _quality(result, stats)
    if errors is not None:
        out["errors"] = errors_report(
            errors,
            result.offset_fitted,
            None if medium is None else medium.reference_constant,
        )
    rows = report_rows(result, stats, medium=medium, labels=labels)
    if medium is not None:
        out["medium"] = medium.name
        out["types"] = medium.type_counts
        out["sign_convention"] = {
            "used": medium.convention,
            "how": medium.convention_how,
            "chi2": medium.convention_chi2,
        }
        out["bond_lengths"] = medium.bond_lengths
        out["weighted"] = result.sigma is not None
        out["notes"] = list(medium.notes)
        out["warnings"] = list(medium.warnings)
        if medium.linear is not None:
            out["linear_optimum"] = {
                "cost": medium.linear.cost,
                "da": medium.linear.tensor().da,
                "r": medium.linear.tensor().r,
                "euler_deg": list(euler_solutions(medium.linear.tensor().axes)[0]),
            }
    out["couplings"] = rows
    cleaned: dict[str, Any] = _finite_only(out)
    return cleaned


def comparison_report(comparisons: Sequence[MediumComparison]) -> list[dict[str, Any]]:
    """The media comparisons as plain JSON values."""
    out = []
    for c in comparisons:
        item: dict[str, Any] = {
            "media": [c.first, c.second],
            "axis_angles_deg": dict(zip("xyz", c.axis_angles_deg)),
            "scalar_product": c.scalar_product,
            "generalised_angle_deg": c.generalised_angle_deg,
        }
        if c.axis_angles_sd is not None:
            item["errors"] = {
                "axis_angles_sd_deg": dict(zip("xyz", c.axis_angles_sd)),
                "scalar_product_sd": c.scalar_product_sd,
                "generalised_angle_sd_deg": c.generalised_angle_sd,
            }
        out.append(item)
    return out


def _g(value: Any, digits: int = 4) -> str:
    return _formatted(value, f".{digits}f")


def _formatted(value: Any, form: str) -> str:
    """``value`` in the format ``form``, or "-" for a number the report has
    not (null)."""
    return "-" if value is None else format(value, form)


#: What each method is, for the text reports.
_METHOD_TEXT = {
    "linear": "linear (the exact least-squares optimum)",
    "powell": "powell (single-precision refinement)",
}

#: Parameter names as the reports write them.
_FIXED_NAMES = {"da": "Da", "r": "R"}


def method_description(method: str, fixed: Sequence[str] = ()) -> str:
    """How a tensor was fitted, and which parameters were held, in words."""
    text = _METHOD_TEXT.get(method, method)
    if fixed:
        text += "; fixed: " + ", ".join(_FIXED_NAMES.get(n, n) for n in fixed)
    return text


def _method_line(report: dict[str, Any]) -> str:
    return f"  method           {method_description(report['method'], report['fixed'])}"


def render_fit(
    report: dict[str, Any], unit: str = "Hz", word: Callable[[str], str] = str
) -> str:
    """The report as text, one quantity per line; ``word`` words the advice
    that points at a setting (see :class:`~kelfit_tools.errors.Advice`)."""
    t = report["tensor"]
    q = report["quality"]
    u = f" {unit}" if unit else ""
    lines = []
    if "medium" in report:
        types = ", ".join(f"{n} {k}" for k, n in report["types"].items())
        lines.append(f"Medium: {report['medium']}")
        lines.append(f"  couplings        {q['n']}: {types}")
        conv = report["sign_convention"]
        chi = ", ".join(f"{k} {v:.6g}" for k, v in conv["chi2"].items())
        lines.append(f"  sign convention  {conv['used']} ({conv['how']}; chi^2 {chi})")
        lines.append(
            f"  bond lengths     {report['bond_lengths']}; "
            f"weighted: {'yes (sigma = DD)' if report['weighted'] else 'no'}"
        )
        if report.get("method"):
            lines.append(_method_line(report))
        lines.append(
            f"  Da               {t['da_alignment']:.4e} (alignment tensor, "
            "dimensionless)"
        )
        lines.append(
            f"  Aa, Ar           {t['aa']:.4e} {t['ar']:.4e} (2 Da, 2 R Da; "
            "dimensionless)"
        )
        lines.append(
            f"  GDO              {t['gdo']:.4e} (generalized degree of order, "
            "dimensionless)"
        )
        lines.append(
            f"  Da(N-H)          {t['da_nh']:.3f}{u} (N-H at {t['nh_length']:.3f} A, "
            f"|Dmax| {t['reference_constant_hz']:.0f}{u})"
        )
        lines.append(f"    basis          {t['da_basis']}")
        if t["da_nh_standard"] is not None:
            lines.append(
                f"    at standard lengths {t['da_nh_standard']:.3f}{u} (N-H "
                f"{t['nh_standard_length']:.3f} A)"
            )
        lines.append(f"  R                {t['r']:.4f}")
        lines.append(f"  Dr(N-H) = R Da   {t['dr_nh']:.3f}{u}")
        lines.append(
            f"  1.5 Da R         {t['dr_model_nh']:.3f}{u} (the module's coefficient)"
        )
    else:
        lines.append("Fit:")
        lines.append(f"  N                {q['n']}")
        if report.get("method"):
            lines.append(_method_line(report))
        lines.append(f"  Da               {t['da']:.3f}{u}")
        lines.append(f"  R                {t['r']:.4f}")
        lines.append(f"  Dr = R Da        {t['dr']:.3f}{u}")
        lines.append(
            f"  1.5 Da R         {t['dr_model']:.3f}{u} (the module's coefficient)"
        )
    if t["offset_fitted"]:
        lines.append(f"  offset           {t['offset']:.3f}{u}")
    a1, a2, a3 = t["euler_deg"]
    lines.append(f"  Euler (deg)      {a1:.2f} {a2:.2f} {a3:.2f}  (z-x-z, canonical)")
    others = "; ".join(
        " ".join(f"{a:.2f}" for a in s) for s in t["euler_solutions_deg"][1:]
    )
    lines.append(f"    equivalent     {others}")
    b1, b2, b3 = t["euler_zyz_deg"]
    lines.append(f"  Euler (deg)      {b1:.2f} {b2:.2f} {b3:.2f}  (z-y'-z'')")
    others = "; ".join(
        " ".join(f"{a:.2f}" for a in s) for s in t["euler_zyz_solutions_deg"][1:]
    )
    lines.append(f"    equivalent     {others}")
    if "euler_frame_zyz_deg" in t:
        c1, c2, c3 = t["euler_frame_zyz_deg"]
        lines.append(
            f"  Euler (deg)      {c1:.2f} {c2:.2f} {c3:.2f}  (z-y-z, tensor frame "
            "to molecule's)"
        )
        others = "; ".join(
            " ".join(f"{a:.2f}" for a in s)
            for s in t["euler_frame_zyz_solutions_deg"][1:]
        )
        lines.append(f"    equivalent     {others}")
    for name, axis in zip("xyz", t["principal_axes"]):
        lines.append(f"  axis {name}           " + " ".join(f"{c:+.4f}" for c in axis))
    values = " ".join(f"{v:.3f}" for v in t["principal_values"])
    lines.append(f"  principal values {values}{u} (xx, yy, zz)")
    if "order_matrix" in t:
        values = " ".join(f"{v:.4e}" for v in t["order_principal_values"])
        lines.append(f"  order matrix     principal values {values} (dimensionless)")
        for row in t["order_matrix"]:
            lines.append("                   " + " ".join(f"{v:+.4e}" for v in row))
    lines.extend(_render_quality(q, t, u))
    if "errors" in report:
        e = report["errors"]
        how = (
            "bootstrap resampling"
            if e["method"] == "bootstrap"
            else "Gaussian noise, "
            + ("each row's sigma" if e["sigma"] is None else f"sigma {e['sigma']:.4g}")
        )
        if e.get("structure_noise_deg"):
            how += f"; vectors tilted by {e['structure_noise_deg']:g} deg rms"
        if e.get("models_drawn"):
            how += f"; vectors drawn from {e['models_drawn']} models"
        lines.append(f"  errors           {e['trials']} refits ({how})")

        def hz(value: float | None) -> str:
            # Each spread in its unit, as the values it is the spread of.
            return _formatted(value, ".4g") + ("" if value is None else u)

        lines.append(
            f"    sd Da {hz(e['da_sd'])}, "
            f"sd R {_formatted(e['r_sd'], '.4g')}, "
            f"sd Dr = R Da {hz(e['dr_sd'])}"
            + (
                f", sd offset {hz(e['offset_sd'])}"
                if e["offset_sd"] is not None
                else ""
            )
        )
        if "gdo_sd" in e:
            lines.append(f"    sd GDO {_formatted(e['gdo_sd'], '.4g')}")
        x, y, z = (_formatted(a, ".2f") for a in e["axis_spread_deg"])
        lines.append(f"    axis spread (deg) x {x}, y {y}, z {z}")
        reduced = q["reduced_chi2"]
        if e["method"] == "noise" and e["sigma"] is None and reduced and reduced > 2:
            advice = Advice(
                f"    reduced chi^2 is {reduced:.3g}: the stated uncertainties are"
                " smaller than\n    the misfit, so these spreads are too small;"
                " {0} does not\n    rely on them",
                Hint("bootstrap", python="bootstrap=True"),
            )
            lines.append(word(advice))
    if "linear_optimum" in report:
        lin = report["linear_optimum"]
        lines.append(
            f"  linear optimum   cost {lin['cost']:.6g}, Da {lin['da']:.3f}, "
            f"R {lin['r']:.4f}"
        )
    return "\n".join(lines) + "\n"


def _block(b: dict[str, Any], u: str, what: str, *, normalised: bool) -> list[str]:
    """One set of quality numbers, each line saying what it is."""
    lines = [
        f"    RMS            {b['rms']:.4f}{u}{what}",
        f"    Q              {_g(b['q'])}   RMS / rms(obs)",
        f"    Q (sd)         {_g(b['q_sd'])}   RMS / sd(obs), N - 1",
        f"    Pearson r      {_g(b['pearson_r'])}",
    ]
    if b["chi2"] is not None and normalised:
        # Normalised residuals over uncertainties in raw Hz: a number to set
        # beside other programs' outputs, not a statistical chi^2.
        lines.append(
            f"    chi^2          {b['chi2']:.6g}  (normalised residual / sigma as "
            "given)"
        )
    elif b["chi2"] is not None:
        lines.append(
            f"    chi^2          {b['chi2']:.6g}  (reduced {_g(b['reduced_chi2'])})"
        )
    return lines


def _render_quality(q: dict[str, Any], t: dict[str, Any], u: str) -> list[str]:
    """The quality lines: normalised to N-H first when bond types are mixed."""
    raw = q["raw"]
    norm = q["normalised"]
    da = abs(t.get("da_nh", t["da"]))
    da_name = "Da(N-H)" if "da_nh" in t else "Da"
    raw_lines = [
        f"  quality in raw {u.strip() or 'units'} (as fitted)",
        *_block(raw, u, "", normalised=False),
        (
            f"    Q (Da)         {_g(q['q_da'])}   RMS / (|{da_name}| "
            "sqrt((4 + 3 R^2) / 5 <s^2>)),"
        ),
        (
            f"                   |{da_name}| {da:.4g}{u}, R {t['r']:.4g}, <s^2> = "
            f"{q['mean_scale2']:.6g} (s: row scale)"
        ),
        (
            f"    Q (Clore-Garrett) {_g(q.get('q_clore_garrett'))}   the same with "
            "2 (4 + 3 R^2) / 5, as published"
        ),
    ]
    lines: list[str] = []
    if q["lead"] == "normalised":
        factors = ", ".join(
            f"{k} {v:.4f}" for k, v in q["factors"].items() if k != q["normalised_to"]
        )
        lines.append(
            f"  quality normalised to {q['normalised_to']} (each coupling over its "
            f"type's constant at\n    standard length relative to "
            f"{q['normalised_to']}: {factors})"
        )
        lines.extend(
            _block(norm, u, f" ({q['normalised_to']} equivalent)", normalised=True)
        )
        reg = q["regression"]
        if reg["slope"] is not None:
            lines.append(
                f"    regression     calc = ({reg['slope']:.3f} +/- {reg['slope_sd']:.3f})"
                f" obs + ({reg['offset']:.3f} +/- {reg['offset_sd']:.3f}{u})"
            )
        lines.append(
            f"  per bond type    N, then normalised RMS{u and ' (' + u.strip() + ')'},"
            " Q, Q (sd), r, raw chi^2 / N"
        )
        for name, pair in q["per_type"].items():
            b = pair["normalised"]
            c = pair["raw"]["reduced_chi2"]
            chi = "" if c is None else f"  {c:.4g}"
            lines.append(
                f"    {name:<12} {b['n']:4d}  {b['rms']:.4f}  {_g(b['q'])}  "
                f"{_g(b['q_sd'])}  {_g(b['pearson_r'])}{chi}"
            )
        lines.extend(raw_lines)
    else:
        lines.extend(raw_lines)
    o = q["outliers"]
    lines.append(f"  outliers         {o['count']} ({o['rule']})")
    return lines


def comparison_cells(comparison: dict[str, Any]) -> tuple[str, str, str]:
    """A comparison's axis angles, scalar product and generalised angle as
    text, each with its refit spread when there is one; the text and HTML
    reports print the same."""
    e = comparison.get("errors")
    angles = ", ".join(
        f"{k} {v:.1f}" + (f" ± {e['axis_angles_sd_deg'][k]:.1f}" if e else "")
        for k, v in comparison["axis_angles_deg"].items()
    )
    product = f"{comparison['scalar_product']:.3f}" + (
        f" ± {e['scalar_product_sd']:.3f}" if e else ""
    )
    generalised = f"{comparison['generalised_angle_deg']:.1f}" + (
        f" ± {e['generalised_angle_sd_deg']:.1f}" if e else ""
    )
    return angles, product, generalised


def render_comparisons(comparisons: list[dict[str, Any]]) -> str:
    """Angles between media's axes and the scalar products of their tensors."""
    lines = ["Between media:"]
    for c in comparisons:
        a, b = c["media"]
        angles, product, generalised = comparison_cells(c)
        lines.append(f"  {a}  vs  {b}")
        lines.append(f"    axis angles (deg) {angles}")
        lines.append(
            f"    normalised scalar product {product}; generalised angle "
            f"{generalised} deg"
        )
    return "\n".join(lines) + "\n"
