"""``kelfit histogram``: Da and R from the couplings alone (a structure, if
given, lends its bond directions and the alignment predicted from its
shape to the sampling error and its bias)."""

from __future__ import annotations

import argparse
from typing import Any

from ..bonds import SIGN_CONVENTIONS
from ..errors import DataError
from ..histogram import (
    JACKKNIFE_BLOCKS,
    ORIENTATION_SPREAD,
    SAMPLING_REPLICATES,
    histogram_of_medium,
)
from ..outputs import Outputs, write_stdout
from ..prepare import pick_media, read_media
from ..report.histogram import histogram_payload, plot_histogram, render_histogram
from .common import (
    bond_types,
    int_at_least,
    json_text,
    number_where,
    quiet_options,
    seed,
    with_run_messages,
)

__all__ = ["add_parser", "run"]

#: Where the sampling's orientations come from, with a structure.
ORIENTATION_SOURCES = ("predicted", "random")


def _replicates(text: str) -> int:
    """Replicates of the sampling error: 0 (none) or from 2 (a spread)."""
    expected = "replicates must be 0 or a number from 2"
    count = int_at_least(0, expected)(text)
    if count == 1:
        raise argparse.ArgumentTypeError(f"{expected}, got {text!r}")
    return count


_spread = number_where(
    lambda v: 0.0 < v <= 180.0, "spread must be degrees above 0, at most 180"
)


def add_parser(commands: Any) -> None:
    """Add ``histogram`` to the subcommands."""
    h = commands.add_parser(
        "histogram",
        parents=[quiet_options()],
        help="estimate Da and R from the distribution of the couplings",
        description="Estimate Da and R (normalised to N-H) without a structure, by "
        "a maximum-likelihood fit of the powder pattern, blurred by the couplings' "
        "uncertainties and a fitted common width, to the couplings of every bond "
        "type normalised to N-H. Errors: a jackknife over runs of consecutive "
        "residues, and the spread of estimates from the estimated tensor at random "
        "orientations over the structure's bond directions (--structure) or over "
        "as many uniform directions, added in quadrature. With --structure the "
        "orientations scatter around the alignment predicted from its shape, and "
        "the estimate is corrected by the bias they show.",
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
    h.add_argument(
        "--structure",
        metavar="FILE",
        help="PDB or mmCIF: its bond directions and its shape for the sampling "
        "error and bias (the couplings it matches are used; no tensor is fitted "
        "to it)",
    )
    h.add_argument(
        "--orientations",
        choices=ORIENTATION_SOURCES,
        default="predicted",
        help="with --structure, the sampling's orientations: around the alignment "
        "predicted from the structure's shape (bicelle walls), the estimate "
        "corrected by their bias (default), or uniform over all rotations, "
        "uncorrected",
    )
    h.add_argument(
        "--spread",
        type=_spread,
        default=ORIENTATION_SPREAD,
        metavar="DEG",
        help="rms angle (degrees) by which the orientations turn each axis of "
        f"the predicted alignment (default {ORIENTATION_SPREAD:g})",
    )
    h.add_argument("--chain", help="chain for couplings that name none")
    h.add_argument(
        "--model",
        type=int_at_least(1, "model must be a number from 1"),
        default=1,
        help="model of the structure (default 1)",
    )
    h.add_argument(
        "--replicates",
        type=_replicates,
        default=SAMPLING_REPLICATES,
        help="replicates of the sampling error (default "
        f"{SAMPLING_REPLICATES}; 0: the jackknife's error alone)",
    )
    h.add_argument(
        "--seed", type=seed, default=0, help="seed of the sampling error (default 0)"
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
    found, counts = histogram_of_medium(
        media[0],
        types=args.types,
        structure=args.structure,
        model=args.model,
        chain=args.chain,
        predicted=args.orientations == "predicted",
        convention=args.signs,
        blocks=args.blocks,
        replicates=args.replicates,
        seed=args.seed,
        spread=args.spread,
    )
    payload = histogram_payload(
        found,
        couplings=args.couplings,
        medium=media[0].name,
        structure=args.structure,
        types=counts,
        convention=args.signs,
    )
    with Outputs() as outputs:
        if args.plot:
            title = args.title or media[0].name or None
            outputs.write_with(
                args.plot,
                lambda path: plot_histogram(
                    found, path, title=title, format_from=args.plot
                ),
            )
        if args.json:
            payload = with_run_messages(payload, args.quiet)
        write_stdout(json_text(payload) if args.json else render_histogram(payload))
    return 0
