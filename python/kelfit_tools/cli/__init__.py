"""The ``kelfit`` command: fit, back-calculate, demonstrate, estimate, predict
and copy out the real data sets.

One module per subcommand (``fit``, ``solve``, ``demo``, ``histogram``,
``predict``, ``data``); the options they share are defined once in
:mod:`.common` and passed as argparse parents.

Exit status: 0 on success, 2 for a usage error, 1 for data that cannot be
used (and for a missing optional dependency).  Failures print one line on
standard error, never a traceback.
"""

from __future__ import annotations

import logging
import os
import sys
from collections.abc import Sequence

from .. import __version__
from .._extras import MissingExtra
from ..errors import DataError
from ..notices import Notices
from ..outputs import silence_stdout
from . import data, demo, fit, histogram, predict, solve
from .common import (
    EXIT_DATA,
    EXIT_USAGE,
    Formatter,
    Parser,
    UsageError,
    data_error_exit,
    log,
)

__all__ = ["build_parser", "main"]


def build_parser() -> Parser:
    """The command-line parser."""
    parser = Parser(
        prog="kelfit",
        description="Fit a second-rank orientation tensor (residual dipolar "
        "couplings) to observed values, or back-calculate values from one.",
    )
    parser.add_argument("--version", action="version", version=__version__)
    commands = parser.add_subparsers(
        dest="command", metavar="COMMAND", parser_class=Parser
    )
    fit.add_parser(commands)
    solve.add_parser(commands)
    demo.add_parser(commands)
    histogram.add_parser(commands)
    predict.add_parser(commands)
    data.add_parser(commands)
    return parser


def _setup_logging(quiet: bool) -> logging.Handler:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(Formatter())
    log.addHandler(handler)
    log.setLevel(logging.WARNING if quiet else logging.INFO)
    log.propagate = False
    return handler


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    if sys.stderr is None:  # nowhere to report anything: run silently
        sys.stderr = open(os.devnull, "w")  # noqa: SIM115
    if sys.stdout is None:
        sys.stderr.write("kelfit: error: standard output is closed\n")
        return EXIT_DATA
    parser = build_parser()
    args = parser.parse_args(argv)
    # The words as given, for a report that shows the command line.
    args.argv = list(sys.argv[1:] if argv is None else argv)
    if args.command is None:
        parser.error("choose a command: fit, solve, demo, histogram, predict or data")
    # Run in a process that goes on (a test, a notebook), the package's
    # logger must be left as found: propagating to the caller's handlers.
    level, propagate = log.level, log.propagate
    handler = _setup_logging(args.quiet)
    try:
        # The command's notes and warnings, for its JSON report.
        with Notices().active():
            status: int = args.run(args)
        return status
    except UsageError as exc:
        return data_error_exit(args.command, exc, EXIT_USAGE)
    except (DataError, MissingExtra, ValueError) as exc:
        return data_error_exit(args.command, exc)
    except KeyboardInterrupt:
        sys.stderr.write("kelfit: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (as with `| head`): stop quietly.
        silence_stdout()
        return EXIT_DATA
    except OSError as exc:
        # Every write reports itself as a DataError (outputs.py): this is a
        # read, a process or a descriptor (`ulimit -n`), in the OS's words.
        silence_stdout()
        where = f"{exc.filename}: " if exc.filename else ""
        return data_error_exit(args.command, f"{where}{exc.strerror or exc}")
    except MemoryError:
        return data_error_exit(args.command, "out of memory")
    finally:
        log.removeHandler(handler)
        log.setLevel(level)
        log.propagate = propagate


if __name__ == "__main__":
    raise SystemExit(main())
