"""``kelfit predict``: the alignment a steric medium gives a structure."""

from __future__ import annotations

import argparse
from typing import Any

import numpy as np

from .. import __version__
from ..bonds import NH_REFERENCE_LENGTH, SIGN_CONVENTIONS, bond_type, row_scales
from ..errors import DataError
from ..media import fit_medium
from ..outputs import Outputs
from ..prepare import (
    Preparation,
    Selection,
    read_media,
    structure_for_fit,
    structure_inputs,
)
from ..report.couplings import rows_csv, solve_rows
from ..report.prediction import prediction_report, render_prediction
from ..steric import (
    MEDIA,
    atom_radii,
    compare,
    heavy_atoms,
    predict_order,
    predicted_values,
)
from .common import (
    UsageError,
    bond_types,
    emit,
    int_at_least,
    json_text,
    log,
    positive,
    quiet_options,
    report_preparation,
    with_run_messages,
)

__all__ = ["add_parser", "run"]

#: How a fit chose its sign convention when the bond types could not decide.
UNDECIDED = ("equivalent", "undecided")


def add_parser(commands: Any) -> None:
    """Add ``predict`` to the subcommands."""
    p = commands.add_parser(
        "predict",
        parents=[quiet_options()],
        help="predict the alignment tensor from the structure's shape",
        description="Predict the order matrix of a structure in a dilute steric "
        "medium (bicelle walls or phage cylinders; every heavy atom a sphere of "
        "its van der Waals radius, orientations sampled evenly and weighted by "
        "the positions they leave), back-calculate its couplings and, with "
        "--couplings, compare them with the measured ones and their fit.",
    )
    p.add_argument("--structure", metavar="FILE", required=True, help="PDB or mmCIF")
    p.add_argument(
        "--medium",
        choices=tuple(MEDIA),
        default="bicelle",
        help="the steric medium (default bicelle)",
    )
    p.add_argument(
        "--concentration",
        type=positive,
        metavar="C",
        help="bicelle: lipid % (w/v), default 5; phage: mg/ml, default 10",
    )
    p.add_argument(
        "--couplings",
        metavar="FILE",
        help="measured couplings: predict these and compare with their fit "
        "(default: every backbone N-H, CA-HA, C-N and CA-C bond, no comparison)",
    )
    p.add_argument(
        "--types",
        type=bond_types,
        metavar="T,...",
        help="only these bond types (without --couplings: of N-H, CA-HA, C-N, CA-C)",
    )
    p.add_argument("--chain", help="chain for couplings that name none")
    p.add_argument(
        "--model",
        type=int_at_least(1, "model must be a number from 1"),
        default=1,
        help="model (default 1)",
    )
    p.add_argument(
        "--orientations",
        type=int_at_least(1, "orientations must be a number from 1"),
        metavar="N",
        help="directions averaged over (default 20000 for bicelles, 1000 for phage)",
    )
    p.add_argument(
        "--signs",
        choices=SIGN_CONVENTIONS,
        help="sign convention of the couplings: without --couplings, of the "
        "predicted values (default magnitudes); with --couplings, of the "
        "measured ones (default: detected from their bond types)",
    )
    p.add_argument(
        "--nh-length", type=positive, default=NH_REFERENCE_LENGTH, metavar="A"
    )
    p.add_argument("--json", action="store_true", help="write the report as JSON")
    p.add_argument("--out", metavar="FILE.csv", help="write the predicted couplings")
    p.set_defaults(run=run)


def _compared(args: argparse.Namespace, structure: Any, prediction: Any) -> Any:
    """Rows, comparison and fitted tensor for the measured couplings."""
    report = Preparation()
    media = read_media([args.couplings])
    if len(media) > 1:
        names = ", ".join(m.name for m in media)
        raise DataError(
            f"several media ({names}): the comparison takes one medium's file",
            args.couplings,
        )
    selection = Selection(types=tuple(args.types) if args.types else None)
    prepared = structure_inputs(
        structure, media, selection, report, models=[args.model], chain=args.chain
    )
    report_preparation(report)
    matched = prepared[0].matched
    fitted = fit_medium(
        matched.vectors,
        matched.couplings,
        nh_length=args.nh_length,
        convention=args.signs or "auto",
    )
    for warning in fitted.warnings:
        log.warning("%s", warning)
    result = fitted.result
    predicted = predicted_values(prediction, matched.vectors, result.scale)
    comparison = compare(result.observed, predicted, prediction.tensor(), fitted.tensor)
    rows = solve_rows(
        predicted,
        [c.label for c in fitted.couplings],
        model=args.model,
        couplings=fitted.couplings,
        types=fitted.types,
        constants=list(fitted.constants),
        scale=None if result.scale is None else list(result.scale),
    )
    for row, observed in zip(rows, result.observed):
        row["observed"] = float(observed)
    log.info("compared with %d couplings (%s convention)", result.n, fitted.convention)
    if comparison.pearson_r < 0 and fitted.convention_how in UNDECIDED:
        other = "physical" if fitted.convention == "magnitudes" else "magnitudes"
        log.warning(
            "the prediction and the couplings have opposite signs (Pearson r "
            "%.3f) under the %s convention, and these bond types cannot tell it "
            "from the %s one: if the file follows the %s convention, add "
            "--signs %s (a charged medium can also invert the sign)",
            comparison.pearson_r,
            fitted.convention,
            other,
            other,
            other,
        )
    return rows, comparison, fitted.tensor


def _backbone_rows(args: argparse.Namespace, structure: Any, prediction: Any) -> Any:
    """Rows for every backbone bond of the chosen types."""
    from ..io.structure import BACKBONE_BONDS, backbone_bonds

    types = args.types or tuple(BACKBONE_BONDS)
    try:
        vectors, bonds = backbone_bonds(structure, types, args.model)
    except ValueError as exc:
        raise UsageError(f"--types without --couplings: {exc}") from None
    atoms = [(b.atom_i or "", b.atom_j or "") for b in bonds]
    constants, scale = row_scales(
        atoms,
        np.linalg.norm(vectors, axis=1),
        convention=args.signs or "magnitudes",
        bond_lengths="standard",
        nh_length=args.nh_length,
    )
    predicted = predicted_values(prediction, vectors, scale)
    return solve_rows(
        predicted,
        [b.label for b in bonds],
        model=args.model,
        couplings=bonds,
        types=[bond_type(a, b) for a, b in atoms],
        constants=list(constants),
        scale=list(scale),
    )


def run(args: argparse.Namespace) -> int:
    """Run ``kelfit predict``."""
    report = Preparation()
    structure = structure_for_fit(args.structure, report)
    report_preparation(report)
    try:
        xyz, elements = heavy_atoms(structure, args.model)
        prediction = predict_order(
            xyz,
            atom_radii(elements),
            medium=args.medium,
            concentration=args.concentration,
            orientations=args.orientations,
            nh_length=args.nh_length,
        )
    except ValueError as exc:
        raise DataError(str(exc), args.structure) from None
    comparison = fitted = None
    if args.couplings:
        rows, comparison, fitted = _compared(args, structure, prediction)
    else:
        rows = _backbone_rows(args, structure, prediction)
    payload = prediction_report(
        prediction,
        rows=rows,
        comparison=comparison,
        fitted=fitted,
        source={
            "kelfit_version": __version__,
            "command": "predict",
            "input": {
                "structure": args.structure,
                "model": args.model,
                "couplings": args.couplings,
            },
        },
    )
    outputs = Outputs()
    try:
        if args.out:
            outputs.write_text(args.out, rows_csv(rows))
        if args.json:
            emit(json_text(with_run_messages(payload)))
        else:
            emit(render_prediction(payload))
        for path in outputs.commit():
            log.info("wrote %s", path)
    finally:
        outputs.discard()
    return 0
