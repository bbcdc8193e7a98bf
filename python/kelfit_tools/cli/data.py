"""``kelfit data``: copy the real data sets shipped with kelfit into a folder."""

from __future__ import annotations

import argparse
import io
from typing import Any

from .. import datasets, notices
from ..outputs import write_stdout
from .common import UsageError, quiet_options

__all__ = ["add_parser", "run"]


def add_parser(commands: Any) -> None:
    """Add ``data`` to the subcommands."""
    d = commands.add_parser(
        "data",
        parents=[quiet_options()],
        help="copy the real data sets shipped with kelfit into a folder",
        description="Copy the real data sets shipped with kelfit (ubiquitin, "
        "GB3 and lysozyme: structures, couplings, restraint files and "
        "reference fits, with where they came from and their licence) into "
        "DIR, one folder per data set. Files already there with the same "
        "content are left alone; without --force a file that differs stops "
        "the copy before anything is written. Without DIR, list the data "
        "sets.",
    )
    d.add_argument(
        "dir",
        nargs="?",
        metavar="DIR",
        help="the folder to copy into (made if missing)",
    )
    d.add_argument(
        "--force",
        action="store_true",
        help="replace files in DIR that differ from the shipped ones",
    )
    d.set_defaults(run=run)


def _listing() -> str:
    out = io.StringIO()
    for name in datasets.names():
        out.write(f"{name}/\n")
        for file in datasets.files(name):
            out.write(f"  {file}\n")
    return out.getvalue()


def run(args: argparse.Namespace) -> int:
    """Run ``kelfit data``."""
    if args.dir is None:
        if args.force:
            raise UsageError("--force needs DIR, the folder to copy into")
        write_stdout(_listing())
        return 0
    done = datasets.copy_to(args.dir, force=args.force)
    notices.note(
        f"copied {len(done.written)} file(s) into {args.dir} "
        f"({len(done.unchanged)} already there)"
    )
    return 0
