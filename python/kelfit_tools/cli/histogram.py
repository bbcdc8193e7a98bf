"""``kelfit histogram``: Da and R from the couplings alone (no structure)."""

from __future__ import annotations

import argparse
import json
from typing import Any

from .. import __version__
from ..bonds import SIGN_CONVENTIONS
from ..errors import DataError
from ..histogram import JACKKNIFE_BLOCKS, estimate, normalised_couplings
from ..outputs import Outputs
from ..prepare import Preparation, Selection, pick_media, read_media, select_couplings
from ..report.histogram import histogram_report, plot_histogram, render_histogram
from .common import (
    bond_types,
    emit,
    int_at_least,
    log,
    notes_seen,
    quiet_options,
    report_preparation,
    warnings_seen,
)

__all__ = ["add_parser", "run"]


def add_parser(commands: Any) -> None:
    """Add ``histogram`` to the subcommands."""
    h = commands.add_parser(
        "histogram",
        parents=[quiet_options()],
        help="estimate Da and R from the distribution of the couplings",
        description="Estimate Da and R (normalised to N-H) without a structure, by "
        "a maximum-likelihood fit of the powder pattern, blurred by the couplings' "
        "uncertainties and a fitted common width, to the couplings of every bond "
        "type normalised to N-H. Errors by a jackknife over runs of consecutive "
        "residues.",
    )
    h.add_argument("--couplings", metavar="FILE", required=True, help="coupling file")
    h.add_argument(
        "--medium",
        metavar="NAME|N",
        help="the medium of a file with several (by name or number from 1)",
    )
    h.add_argument(
        "--types", type=bond_types, metavar="T,...", help="only these bond types"
    )
    h.add_argument(
        "--signs",
        choices=SIGN_CONVENTIONS,
        default="magnitudes",
        help="sign convention of the file (default magnitudes): in physical, "
        "types of the other sign than N-H are turned to N-H's",
    )
    h.add_argument(
        "--blocks",
        type=int_at_least(2, "blocks must be a number from 2"),
        default=JACKKNIFE_BLOCKS,
        help=f"runs of residues of the jackknife (default {JACKKNIFE_BLOCKS})",
    )
    h.add_argument("--plot", metavar="FILE.png", help="draw the histogram here")
    h.add_argument("--title", help="first line of the figure's title")
    h.add_argument("--json", action="store_true", help="write the report as JSON")
    h.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    """Run ``kelfit histogram``."""
    media = pick_media(
        read_media([args.couplings]), [args.medium] if args.medium else None
    )
    if len(media) > 1:
        names = ", ".join(m.name for m in media)
        raise DataError(f"several media ({names}): choose one with --medium")
    report = Preparation()
    couplings = select_couplings(
        media[0].couplings,
        Selection(types=tuple(args.types) if args.types else None),
        report,
        where=media[0].path,
    )
    report_preparation(report)
    values, sigma, types = normalised_couplings(couplings, args.signs)
    counts = {t: types.count(t) for t in dict.fromkeys(types)}
    log.info(
        "using %d couplings: %s",
        len(couplings),
        ", ".join(f"{n} {t}" for t, n in counts.items()),
    )
    try:
        found = estimate(
            values,
            sigma,
            residues=[c.residue_i for c in couplings],
            blocks=args.blocks,
        )
    except ValueError as exc:
        raise DataError(str(exc), args.couplings) from None
    if found.r_at_bound:
        log.warning("R is at its bound: its error is not a standard error")
    payload = {
        "kelfit_version": __version__,
        "command": "histogram",
        "input": {"couplings": args.couplings, "medium": media[0].name},
        "types": counts,
        "sign_convention": args.signs,
        **histogram_report(found),
    }
    outputs = Outputs()
    try:
        if args.plot:
            plot_histogram(
                found,
                outputs.path_for(args.plot),
                title=args.title or media[0].name or None,
                format_from=args.plot,
            )
        if args.json:
            payload["warnings"] = list(warnings_seen.messages)
            payload["notes"] = list(notes_seen.messages)
            emit(json.dumps(payload, indent=2, allow_nan=False) + "\n")
        else:
            emit(render_histogram(payload))
        for path in outputs.commit():
            log.info("wrote %s", path)
    finally:
        outputs.discard()
    return 0
