"""``kelfit demo``: fit the bundled example and compare with the truth."""

from __future__ import annotations

import argparse
import io
from functools import partial
from typing import Any

from .._extras import INSTALL_HINT, available
from ..fitting import fit
from ..io import read_table
from ..outputs import Outputs, write_stdout
from ..report.text import example_comparison
from .common import log, quiet_options

__all__ = ["add_parser", "run", "suggested_command"]


def add_parser(commands: Any) -> None:
    """Add ``demo`` to the subcommands."""
    d = commands.add_parser(
        "demo",
        parents=[quiet_options()],
        help="fit the bundled example and compare with the true tensor",
        description="Fit the bundled example (an ideal strand and helix with "
        "noisy N-H couplings) and compare the fit with the true tensor.",
    )
    d.add_argument(
        "--plot",
        default="demo-fit.png",
        metavar="FILE.png",
        help="where to write the plot (default demo-fit.png)",
    )
    d.add_argument("--no-plot", action="store_true", help="do not write a plot")
    d.set_defaults(run=run)


def suggested_command(structure: object, couplings: object) -> str:
    """The command that fits the example from its structure to the demo's
    numbers."""
    return (
        f"kelfit fit --structure {structure} \\\n"
        f"      --couplings {couplings} --bond-lengths standard --plot fit.png"
    )


def run(args: argparse.Namespace) -> int:
    """Run ``kelfit demo``."""
    from ..example import example

    ex = example()
    table = read_table(ex.vectors)
    assert table.values is not None
    result = fit(table.vectors, table.values)
    out = io.StringIO()
    out.write(example_comparison(result, ex.true_params, ex.noise))
    outputs = Outputs()
    try:
        if not args.no_plot:
            if available("matplotlib"):
                from ..report.figures import plot_fit

                outputs.write_with(
                    args.plot,
                    partial(
                        plot_fit,
                        result,
                        labels=table.labels,
                        title="kelfit example: strand and helix",
                        format_from=args.plot,
                    ),
                )
                out.write(f"Plot: {args.plot}\n")
            else:
                log.warning("no plot: it needs matplotlib: %s", INSTALL_HINT)
        # The example's couplings were made from directions alone, and its
        # N-H bonds are 1.02 A: at the structure's distances every row would
        # be scaled by (1.041 / 1.02)^3 and Da would come out 6% smaller.
        out.write(
            "\nThe same fit from the structure (its couplings were made from "
            "bond\ndirections alone, so every N-H bond takes the standard "
            "length):\n"
            f"  {suggested_command(ex.structure, ex.couplings)}\n"
        )
        write_stdout(out.getvalue())
        outputs.commit()
    finally:
        outputs.discard()
    return 0
