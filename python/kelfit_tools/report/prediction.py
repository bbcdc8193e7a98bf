"""The report of an alignment predicted from shape, as JSON values and text.

The predicted tensor carries the keys of a fit's tensor (``da``, ``r``,
``principal_axes``, ``order_matrix``, ...), so that the two read alike.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import replace
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

from .. import __version__, notices
from ..bonds import bond_type, row_scales
from ..charges import ChargeRanges
from ..errors import Advice, DataError, Hint, PathLike
from ..io.tables import Coupling
from ..media import fit_medium
from ..prepare import (
    Preparation,
    Selection,
    pick_media,
    read_media,
    structure_for_fit,
    structure_inputs,
)
from ..steric import (
    Comparison,
    Prediction,
    compare,
    predicted_values,
    structure_order,
)
from ..tensor import Tensor, axis_angles
from .couplings import solve_rows
from .tensor import DIMENSIONLESS, euler_keys, order_keys, shape_keys

__all__ = [
    "backbone_rows",
    "charge_report",
    "compared",
    "conformer_rows",
    "mean_prediction",
    "measured_fit",
    "measured_rows",
    "predict_structure",
    "prediction_report",
    "render_prediction",
]

#: How a fit chose its sign convention when the bond types could not decide.
UNDECIDED = ("equivalent", "undecided")


def measured_fit(
    structure: Any,
    couplings: PathLike,
    *,
    model: int = 1,
    chain: str | None = None,
    types: Sequence[str] | None = None,
    nh_length: float,
    signs: str | None = None,
    medium: str | None = None,
    also: Sequence[int] = (),
) -> tuple[NDArray[np.float64], Any]:
    """One medium's measured couplings matched to the structure and fitted:
    the bond vectors and the medium's fit (its notes and warnings said on
    the way).  With ``also``, the vectors are those of ``model`` and then of
    each of these models (one array of models x couplings x 3), the fit
    that of ``model``.

    ``medium`` picks one medium of a file of several, by name or number
    from 1 (as a fit's ``media`` do).

    Raises:
        DataError: a file of several media and no ``medium``, couplings
            that do not match, or models that do not all have their atoms.
    """
    report = Preparation()
    media = pick_media(read_media([couplings]), [medium] if medium else None)
    if len(media) > 1:
        names = "; ".join(f"{k}: {m.name}" for k, m in enumerate(media, 1))
        raise DataError(
            Advice(
                f"several media ({names.replace('{', '{{').replace('}', '}}')}): "
                "the comparison takes one: pick it with {0}",
                Hint("media", "NAME|N", python="medium=..."),
            ),
            couplings,
        )
    selection = Selection(types=tuple(types) if types else None)
    prepared = structure_inputs(
        structure, media, selection, report, models=[model, *also], chain=chain
    )
    report.say()
    matched = prepared[0].matched
    labels = [c.label for c in matched.couplings]
    for other in prepared[1:]:
        if [c.label for c in other.matched.couplings] != labels:
            raise DataError(
                f"model {other.model} does not have the atoms of every coupling "
                f"model {model} has: the models cannot be averaged"
            )
    fitted = fit_medium(
        matched.vectors,
        matched.couplings,
        nh_length=nh_length,
        convention=signs or "auto",
    )
    for warning in fitted.warnings:
        notices.warn(warning)
    if also:
        every = [np.asarray(p.matched.vectors, dtype=np.float64) for p in prepared]
        return np.stack(every), fitted
    return np.asarray(matched.vectors, dtype=np.float64), fitted


def compared(
    prediction: Prediction, vectors: NDArray[np.float64], fitted: Any
) -> tuple[NDArray[np.float64], Comparison]:
    """The prediction's value of each coupling of a :func:`measured_fit`,
    and its comparison with them and their fit."""
    result = fitted.result
    predicted = predicted_values(prediction, vectors, result.scale)
    return predicted, compare(
        result.observed, predicted, prediction.tensor(), fitted.tensor
    )


def measured_rows(
    structure: Any,
    prediction: Prediction,
    couplings: PathLike,
    *,
    model: int = 1,
    chain: str | None = None,
    types: Sequence[str] | None = None,
    nh_length: float,
    signs: str | None = None,
    medium: str | None = None,
    measured: tuple[NDArray[np.float64], Any] | None = None,
) -> tuple[list[dict[str, Any]], Comparison, Tensor]:
    """The prediction beside one medium's measured couplings: a row per
    coupling (predicted and observed), the comparison, and the tensor fitted
    to the couplings (:func:`measured_fit`, or ``measured`` where it was
    made already).

    Raises:
        DataError: as :func:`measured_fit`.
    """
    if measured is None:
        measured = measured_fit(
            structure, couplings, model=model, chain=chain, types=types,
            nh_length=nh_length, signs=signs, medium=medium,
        )  # fmt: skip
    vectors, fitted = measured
    result = fitted.result
    predicted, comparison = compared(prediction, vectors, fitted)
    rows = solve_rows(
        predicted,
        [c.label for c in fitted.couplings],
        model=model,
        couplings=fitted.couplings,
        types=fitted.types,
        constants=list(fitted.constants),
        scale=None if result.scale is None else list(result.scale),
    )
    for row, observed in zip(rows, result.observed):
        row["observed"] = float(observed)
    notices.note(f"compared with {result.n} couplings ({fitted.convention} convention)")
    if comparison.pearson_r < 0 and fitted.convention_how in UNDECIDED:
        other = "physical" if fitted.convention == "magnitudes" else "magnitudes"
        notices.warn(
            Advice(
                "the prediction and the couplings have opposite signs (Pearson r "
                f"{comparison.pearson_r:.3f}) under the {fitted.convention} "
                "convention, and these bond types cannot tell it from the "
                f"{other} one: if the file follows the {other} convention, add "
                "{0} (a charged medium can also invert the sign)",
                Hint("signs", other, python=f"signs={other!r}"),
            )
        )
    return rows, comparison, fitted.tensor


def backbone_rows(
    prediction: Prediction,
    vectors: NDArray[np.float64],
    bonds: Sequence[Coupling],
    *,
    model: int = 1,
    signs: str | None = None,
    nh_length: float,
) -> list[dict[str, Any]]:
    """The predicted coupling of every backbone bond given (from
    :func:`~kelfit_tools.io.structure.backbone_bonds`), at standard lengths."""
    atoms = [(b.atom_i or "", b.atom_j or "") for b in bonds]
    constants, scale = row_scales(
        atoms,
        np.linalg.norm(vectors, axis=1),
        convention=signs or "magnitudes",
        bond_lengths="standard",
        nh_length=nh_length,
    )
    predicted = predicted_values(prediction, vectors, scale)
    return solve_rows(
        predicted,
        [b.label for b in bonds],
        model=model,
        couplings=bonds,
        types=[bond_type(a, b) for a, b in atoms],
        constants=list(constants),
        scale=list(scale),
    )


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


def _condition(prediction: Prediction, comparison: Comparison | None) -> dict[str, Any]:
    t = prediction.tensor()
    e = prediction.electrolyte
    out: dict[str, Any] = {
        **(e.as_dict() if e is not None else {}),
        "debye_length": e.debye_length() if e is not None else None,
        "net_charge": prediction.net_charge,
        "allowed": prediction.allowed,
        "da": t.da,
        "r": t.r,
        "principal_axes": [list(map(float, axis)) for axis in t.axes],
    }
    if comparison is not None:
        out["comparison"] = comparison.as_dict()
    return out


def _extent(values: Sequence[float]) -> list[float]:
    return [float(min(values)), float(max(values))]


def charge_report(
    predictions: Sequence[Prediction],
    comparisons: Sequence[Comparison | None],
    steric: Prediction | None = None,
) -> dict[str, Any]:
    """The JSON ``charge`` block: the prediction at each condition of a
    charged medium (the centre first), the spread over them (of Da, R, the
    unique axis's angle from the centre's and, against measured couplings,
    of Pearson r, the unique axis's angle from the fitted one and the Da
    ratio) and, with ``steric``, the uncharged prediction beside them."""
    centre = predictions[0].tensor()
    tensors = [p.tensor() for p in predictions]
    spread: dict[str, Any] = {
        "da": _extent([t.da for t in tensors]),
        "r": _extent([t.r for t in tensors]),
        "z_axis_from_centre_deg": _extent(
            [float(axis_angles(t.axes, centre.axes)[2]) for t in tensors]
        ),
    }
    compared_ = [c for c in comparisons if c is not None]
    if compared_:
        spread["pearson_r"] = _extent([c.pearson_r for c in compared_])
        spread["z_axis_to_fit_deg"] = _extent([c.axis_angles_deg[2] for c in compared_])
        spread["da_ratio"] = _extent([c.da_ratio for c in compared_])
    out: dict[str, Any] = {
        "conditions": [_condition(p, c) for p, c in zip(predictions, comparisons)],
        "spread": spread,
    }
    if steric is not None:
        out["steric"] = _condition(steric, None)
    return out


def prediction_report(
    prediction: Prediction,
    *,
    rows: Sequence[dict[str, Any]],
    comparison: Comparison | None = None,
    fitted: Tensor | None = None,
    source: dict[str, Any] | None = None,
    charge: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """Everything about one prediction, as plain JSON values.

    Args:
        prediction: the predicted alignment.
        rows: one dict per back-calculated coupling.
        comparison: against measured couplings and their fit.
        fitted: the fitted tensor the comparison was made with.
        source: what the prediction came from, copied in first.
        charge: the :func:`charge_report` of a charged medium.
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
    if charge is not None:
        out["charge"] = charge
    out["couplings"] = list(rows)
    return out


def mean_prediction(predictions: Sequence[Prediction]) -> Prediction:
    """The prediction of an ensemble of equally populated conformers in one
    frame: their Saupe matrices and allowed shares averaged (the couplings
    of the mean are the mean of the couplings)."""
    return replace(
        predictions[0],
        saupe_matrix=np.mean([p.saupe_matrix for p in predictions], axis=0),
        allowed=float(np.mean([p.allowed for p in predictions])),
    )


def conformer_rows(
    models: Sequence[int],
    predictions: Sequence[Prediction],
    comparisons: Sequence[Comparison | None],
) -> list[dict[str, Any]]:
    """The JSON ``conformers``: each model's own prediction (and, against
    measured couplings, its own comparison)."""
    return [
        {"model": m, **_condition(p, c)}
        for m, p, c in zip(models, predictions, comparisons)
    ]


def _ensemble(
    model_file: Any,
    models: Sequence[int],
    predicted: Callable[[Any, int], Prediction],
    charge: ChargeRanges | None,
    couplings: PathLike | None,
    measured: dict[str, Any],
    backbone: Callable[[Prediction, int], list[dict[str, Any]]],
) -> tuple[Prediction, list[dict[str, Any]], Comparison | None, Any, dict[str, Any]]:
    """Every model's prediction and the couplings averaged over them: the
    mean prediction, its rows, comparison and fit, and the ``ensemble``
    block."""
    if charge is not None and len(charge.conditions()) > 1:
        raise DataError(
            Advice("several models take one charged medium: no ranges of {0}",
                   Hint("charge_density"))
        )  # fmt: skip
    electrolyte = None if charge is None else charge.centre()
    each = [predicted(electrolyte, m) for m in models]
    mean = mean_prediction(each)
    comparison = fitted = None
    if couplings:
        vectors, fitted = measured_fit(
            model_file, couplings, model=models[0], also=models[1:], **measured
        )
        values = [compared(p, v, fitted) for p, v in zip(each, vectors)]
        comparisons: list[Comparison | None] = [c for _, c in values]
        averaged = np.mean([v for v, _ in values], axis=0)
        rows, _, _ = measured_rows(
            model_file, mean, couplings, model=models[0],
            nh_length=measured["nh_length"], measured=(vectors[0], fitted),
        )  # fmt: skip
        comparison = compare(
            fitted.result.observed, averaged, mean.tensor(), fitted.tensor
        )
    else:
        comparisons = [None] * len(models)
        tables = [backbone(p, m) for p, m in zip(each, models)]
        rows = tables[0]
        if any([r["label"] for r in t] != [r["label"] for r in rows] for t in tables):
            raise DataError("the models do not have the same backbone bonds: "
                            "their couplings cannot be averaged")  # fmt: skip
        averaged = np.mean([[r["calculated"] for r in t] for t in tables], axis=0)
    for row, value in zip(rows, averaged):
        row["calculated"] = float(value)
    block = {
        "models": list(models),
        "weights": "equal",
        "conformers": conformer_rows(models, each, comparisons),
    }
    return mean, rows, comparison, None if fitted is None else fitted.tensor, block


def predict_structure(
    structure: PathLike,
    *,
    steric: str = "bicelle",
    concentration: float | None = None,
    orientations: int | None = None,
    model: int = 1,
    nh_length: float,
    couplings: PathLike | None = None,
    medium: str | None = None,
    chain: str | None = None,
    types: Sequence[str] | None = None,
    signs: str | None = None,
    charge: ChargeRanges | None = None,
    models: Sequence[int] | Literal["all"] | None = None,
) -> dict[str, Any]:
    """The alignment a steric medium gives a structure file's model, its
    couplings back-calculated and, with ``couplings``, compared with those
    and their fit: the report of :func:`prediction_report`, as ``kelfit
    predict`` gives it (notes and warnings said on the way).

    Without ``couplings``, every backbone bond of ``types`` (default all of
    :data:`~kelfit_tools.io.structure.BACKBONE_BONDS`) is back-calculated;
    a structure without any (a CA trace) gives the tensor alone, with a
    note.

    With ``charge`` the medium is charged: the prediction (tensor and
    couplings) is the one at the centre of its ranges, and the ``charge``
    block (:func:`charge_report`) holds it at every corner too, their
    spread, and the uncharged prediction for comparison.

    With ``models`` (several, or ``"all"``) every model is a conformer of
    one ensemble, equally populated and in one frame: each is predicted on
    its own (the ``ensemble`` block's ``conformers``), and the couplings and
    the tensor are those averaged over them (one charged medium, no ranges).

    Raises:
        DataError: an unreadable structure, a medium out of range, ``types``
            that are not backbone bonds or that the structure lacks, couplings
            that cannot be compared (see :func:`measured_rows`), an unusable
            charge file, or models that cannot be averaged.
    """
    from ..io.structure import BACKBONE_BONDS, backbone_bonds

    report = Preparation()
    model_file = structure_for_fit(structure, report)
    report.say()
    chosen = (
        list(range(1, len(model_file) + 1))
        if models == "all"
        else list(models or [model])
    )

    def predicted(electrolyte: Any = None, number: int = chosen[0]) -> Prediction:
        return structure_order(
            model_file, number, where=structure, medium=steric,
            concentration=concentration, orientations=orientations,
            nh_length=nh_length, electrolyte=electrolyte,
            charge_file=None if charge is None else charge.charge_file,
        )  # fmt: skip

    def backbone(prediction: Prediction, number: int) -> list[dict[str, Any]]:
        try:
            vectors, bonds = backbone_bonds(
                model_file, types or tuple(BACKBONE_BONDS), number
            )
        except ValueError as exc:
            if types:
                raise DataError(
                    Advice(f"{{0}} without couplings: {exc}", Hint("types"))
                ) from None
            notices.note(
                "the structure has no backbone bond ("
                + ", ".join(BACKBONE_BONDS)
                + "; a CA trace?): the predicted tensor alone, no couplings"
            )
            return []
        return backbone_rows(
            prediction, vectors, bonds, model=number, signs=signs, nh_length=nh_length
        )

    fit_options: dict[str, Any] = {
        "chain": chain,
        "types": types,
        "nh_length": nh_length,
    }
    fit_options.update(signs=signs, medium=medium)
    source = {
        "kelfit_version": __version__,
        "command": "predict",
        "input": {
            "structure": os.fspath(structure),
            "model": chosen[0],
            "couplings": None if couplings is None else os.fspath(couplings),
        },
    }
    if len(chosen) > 1:
        mean, rows, comparison, fitted, ensemble = _ensemble(
            model_file, chosen, predicted, charge, couplings, fit_options, backbone
        )
        out = prediction_report(
            mean, rows=rows, comparison=comparison, fitted=fitted, source=source
        )
        out["ensemble"] = ensemble
        return out

    plain = predicted()
    charged = [] if charge is None else [predicted(e) for e in charge.conditions()]
    prediction = charged[0] if charged else plain
    comparison = fitted = None
    if couplings:
        measured = measured_fit(model_file, couplings, model=chosen[0], **fit_options)
        rows, comparison, fitted = measured_rows(
            model_file, prediction, couplings, model=chosen[0], nh_length=nh_length,
            measured=measured,
        )  # fmt: skip
        comparisons: list[Comparison | None] = [
            compared(p, *measured)[1] for p in charged
        ]
    else:
        comparisons = [None] * len(charged)
        rows = backbone(prediction, chosen[0])
    block = None
    if charged:
        block = charge_report(charged, comparisons, plain)
        if couplings:
            block["steric"]["comparison"] = compared(plain, *measured)[1].as_dict()
    return prediction_report(
        prediction, rows=rows, comparison=comparison, fitted=fitted, source=source,
        charge=block,
    )  # fmt: skip


def render_prediction(report: dict[str, Any]) -> str:
    """The report as text, one quantity per line."""
    m = report["medium"]
    t = report["tensor"]
    kind = "Steric and electrostatic" if "charge" in report else "Steric"
    title = (
        f"{kind} alignment in {m['name']} ({m['shape']}s) at "
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
    charge = report.get("charge")
    if charge is not None:
        lines += _charge_lines(charge)
    ensemble = report.get("ensemble")
    if ensemble is not None:
        lines += _conformer_lines(ensemble)
    c = report.get("comparison")
    if c is not None:
        angles = ", ".join(f"{a:.1f}" for a in c["axis_angles_deg"])
        lines += [
            "",
            f"Against the {c['n']} measured couplings and their fit:",
            f"Pearson r        {c['pearson_r']:.4f}",
            f"Q                {c['q']:.4f} (prediction scaled by {c['scale']:.4g})",
            f"Axis angles      {angles} (x, y, z; degrees, predicted to fitted)",
            f"Da fitted/pred.  {c['da_ratio']:.4g}",
        ]
    return "\n".join(lines) + "\n"


def _charge_lines(charge: dict[str, Any]) -> list[str]:
    """The text of a report's ``charge`` block: each condition on a line
    (the centre, whose tensor the lines above give, first), the uncharged
    prediction beside them and the spread."""
    conditions = charge["conditions"]
    centre = conditions[0]
    medium = (
        f"Charged medium   {centre['charge_density']:+g} e/nm^2, "
        f"{centre['ionic_strength']:g} mM, pH {centre['ph']:g}, "
        f"{centre['temperature']:g} K (Debye length {centre['debye_length']:.1f} A); "
        f"molecule {centre['net_charge']:+.2f} e"
    )
    lines = [
        medium,
        "",
        "  sigma (e/nm^2)  I (mM)     pH      T (K)   Da (Hz)       R"
        + ("   Pearson r  z to fit" if "comparison" in centre else ""),
    ]
    rows = [("centre", c) for c in conditions[:1]] + [("", c) for c in conditions[1:]]
    rows.append(("steric", charge["steric"]))
    for label, c in rows:
        head = (
            f"  {'(shape alone)':>40}"
            if label == "steric"
            else f"  {c['charge_density']:>+14.4g}{c['ionic_strength']:>8.4g}"
            f"{c['ph']:>7.3g}{c['temperature']:>11.4g}"
        )
        line = f"{head}{c['da']:>10.4g}{c['r']:>8.3f}"
        if "comparison" in c:
            m = c["comparison"]
            line += f"{m['pearson_r']:>12.4f}{m['axis_angles_deg'][2]:>10.1f}"
        lines.append(line + ("  (centre)" if label == "centre" else ""))
    spread = charge["spread"]
    if len(conditions) > 1:
        text = (
            f"Spread           Da {spread['da'][0]:.4g} to {spread['da'][1]:.4g}, "
            f"R {spread['r'][0]:.3f} to {spread['r'][1]:.3f}, z axis up to "
            f"{spread['z_axis_from_centre_deg'][1]:.1f} deg from the centre's"
        )
        if "pearson_r" in spread:
            text += (
                f"; Pearson r {spread['pearson_r'][0]:.3f} to "
                f"{spread['pearson_r'][1]:.3f}, z to fit "
                f"{spread['z_axis_to_fit_deg'][0]:.1f} to "
                f"{spread['z_axis_to_fit_deg'][1]:.1f} deg, Da ratio "
                f"{spread['da_ratio'][0]:.3g} to {spread['da_ratio'][1]:.3g}"
            )
        lines.append(text)
    return lines


def _conformer_lines(ensemble: dict[str, Any]) -> list[str]:
    """The text of a report's ``ensemble`` block: each conformer's own
    prediction, above which the tensor and couplings are the averages."""
    conformers = ensemble["conformers"]
    compared_ = "comparison" in conformers[0]
    lines = [
        (
            f"Conformers       {len(conformers)} models, equally weighted: the "
            "tensor above is their mean, the couplings their average"
        ),
        "",
        "   model   Da (Hz)       R  positions"
        + ("   Pearson r  z to fit" if compared_ else ""),
    ]
    for c in conformers:
        line = f"  {c['model']:>6}{c['da']:>10.4g}{c['r']:>8.3f}{c['allowed']:>11.4f}"
        if compared_:
            m = c["comparison"]
            line += f"{m['pearson_r']:>12.4f}{m['axis_angles_deg'][2]:>10.1f}"
        lines.append(line)
    return lines
