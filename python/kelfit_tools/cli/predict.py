"""``kelfit predict``: the alignment a steric medium gives a structure."""

from __future__ import annotations

import argparse
from typing import Any

from .. import charges as ch
from ..bonds import NH_REFERENCE_LENGTH, SIGN_CONVENTIONS
from ..outputs import Outputs, write_stdout
from ..report.couplings import rows_csv
from ..report.prediction import predict_structure, render_prediction
from ..steric import MEDIA, max_orientations
from .common import (
    UsageError,
    bond_types,
    frame_options,
    int_at_least,
    json_text,
    log,
    positive,
    quiet_options,
    with_run_messages,
    worded,
)

__all__ = ["add_parser", "run"]


def _orientations(text: str) -> int:
    """``--orientations``: from 1 to the module's bound, refused before any
    structure is read."""
    most = max_orientations()
    return int_at_least(1, f"orientations must be from 1 to {most:,}", most)(text)


def _models(text: str) -> int | str:
    if text.lower() == "all":
        return "all"
    return int_at_least(1, "model must be 'all' or a number from 1")(text)


_CHARGE = ("charge_density", "ionic_strength", "ph", "temperature")
_DENSITIES = ", ".join(f"{v:+g} {k}" for k, v in ch.DEFAULT_DENSITY.items())
_CHARGE_OPTIONS = (
    ("--charge-density", "S", f"e/nm^2 (default {_DENSITIES})"),
    ("--ionic-strength", "MM", f"mM (default {ch.DEFAULT_IONIC_STRENGTH:g})"),
    ("--ph", "PH", f"sets the residues' charges (default {ch.DEFAULT_PH:g})"),
    ("--temperature", "K", f"kelvin (default {ch.DEFAULT_TEMPERATURE:g})"),
)  # fmt: skip


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
    steric = "the steric medium (default bicelle)"
    p.add_argument("--steric-medium", choices=tuple(MEDIA), help=steric)
    p.add_argument(
        "--concentration",
        type=positive,
        metavar="C",
        help="bicelle: lipid %% (w/v), default 5; phage: mg/ml, default 10",
    )
    p.add_argument(
        "--couplings",
        metavar="FILE",
        help="measured couplings: predict these and compare with their fit "
        "(default: every backbone N-H, CA-HA, C-N and CA-C bond, no comparison)",
    )
    p.add_argument(
        "--medium",
        metavar="NAME|N",
        help="the medium of --couplings to compare with, by name or number "
        "(bicelle and phage: the old spelling of --steric-medium)",
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
        "--models",
        type=_models,
        default=1,
        metavar="N|all",
        help="model (default 1); 'all': each model's tensor and the couplings "
        "averaged over the models",
    )
    t = p.add_argument_group(
        "trajectories (needs MDAnalysis)",
        "With --trajectory, --structure is its topology and every frame is a "
        "conformer: its tensor (turned onto the structure by superposing its "
        "backbone) and the couplings averaged over the frames.",
    )
    t.add_argument(
        "--trajectory", metavar="FILE", help="any trajectory MDAnalysis reads"
    )
    frame_options(t, "predict")
    p.add_argument(
        "--orientations",
        type=_orientations,
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
    charge = p.add_argument_group(
        "charged medium",
        "the molecule's charges in the medium's Gouy-Chapman potential (any of "
        "these implies --charge); LOW:HIGH predicts at the centre and every corner",
    )
    charge.add_argument("--charge", action="store_true", help="a charged medium")
    for flag, meta, text in _CHARGE_OPTIONS:
        charge.add_argument(flag, metavar=f"{meta}[:{meta}]", help=text)
    charge.add_argument(
        "--charges", metavar="FILE.csv", help="chain,residue,atom,charge per atom, "
        "instead of the residue table at the pH",
    )  # fmt: skip
    p.add_argument("--json", action="store_true", help="write the report as JSON")
    p.add_argument("--out", metavar="FILE.csv", help="write the predicted couplings")
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    """Run ``kelfit predict``."""
    steric, medium = args.steric_medium, args.medium
    if medium in MEDIA:
        if steric:
            raise UsageError(f"--medium {medium} is --steric-medium: give one")
        log.warning("--medium %s is deprecated: use --steric-medium", medium)
        steric, medium = medium, None
    if medium and not args.couplings:
        raise UsageError("--medium goes with --couplings")
    if args.trajectory and args.model != 1:
        raise UsageError("--models goes with --structure, not --trajectory")
    if not args.trajectory and (args.stride != 1 or args.frames is not None):
        raise UsageError("--stride and --frames go with --trajectory")
    charge = None
    given = {k: getattr(args, k) for k in _CHARGE}
    if args.charge or args.charges or any(v is not None for v in given.values()):
        try:
            charge = ch.ChargeRanges.for_medium(
                steric or "bicelle", args.charges, **given
            )
        except ValueError as exc:
            raise UsageError(worded(exc)) from None
    payload = predict_structure(
        args.structure,
        steric=steric or "bicelle",
        concentration=args.concentration,
        orientations=args.orientations,
        model=1 if args.model == "all" else args.model,
        models="all" if args.model == "all" else None,
        nh_length=args.nh_length,
        couplings=args.couplings,
        medium=medium,
        chain=args.chain,
        types=args.types,
        signs=args.signs,
        charge=charge,
        trajectory=args.trajectory,
        frames=args.frames,
        stride=args.stride,
    )
    with Outputs() as outputs:
        if args.out:
            outputs.write_text(args.out, rows_csv(payload["couplings"]))
        if args.json:
            payload = with_run_messages(payload, args.quiet)
        write_stdout(json_text(payload) if args.json else render_prediction(payload))
    return 0
