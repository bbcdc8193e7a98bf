"""What every subcommand shares: option parsers, input options, errors, and
outputs that appear whole or not at all."""

from __future__ import annotations

import argparse
import json
import logging
import math
import sys
from collections.abc import Callable, Sequence
from typing import Any, NoReturn, TypeVar

import numpy as np
from numpy.typing import NDArray

from .. import notices
from ..bonds import length_overrides, parse_length, parse_types
from ..checks import DUPLICATE_POLICIES
from ..cluster import (
    SCHEDULER_VARIABLE,
)
from ..errors import Hint, advice_of, printable, shortened, user_message
from ..fitting import METHODS, PARAMETER_NAMES
from ..io import FORMATS
from ..outputs import Outputs
from ..prepare import Selection
from ..report.run import plain

log = logging.getLogger("kelfit_tools")

T = TypeVar("T")

EXIT_DATA = 1
EXIT_USAGE = 2


class UsageError(Exception):
    """A command line that cannot be acted on (exit status 2)."""


class Parser(argparse.ArgumentParser):
    """argparse with a one-line error message and the usage exit status."""

    def error(self, message: str) -> NoReturn:
        message = printable(message)
        sys.stderr.write(f"{self.prog}: error: {message} (see '{self.prog} -h')\n")
        raise SystemExit(EXIT_USAGE)


# ---------------------------------------------------------------- option types


def tensor_params(what: str) -> Callable[[str], NDArray[np.float64]]:
    """Parser of ``a1,a2,a3,Da,R[,offset]`` (degrees) into radians."""

    def parse(text: str) -> NDArray[np.float64]:
        try:
            values = [float(v) for v in text.split(",")]
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"{what} must be comma-separated numbers, got {text!r}"
            ) from None
        if len(values) not in (5, 6) or not all(map(math.isfinite, values)):
            raise argparse.ArgumentTypeError(
                f"{what} takes a1,a2,a3,Da,R[,offset] (angles in degrees), got {text!r}"
            )
        values[:3] = [math.radians(v) for v in values[:3]]
        return np.array(values)

    return parse


#: Parameters whose values --fix takes in degrees.
_ANGLES = ("a1", "a2", "a3")


def fixed_parameters(text: str) -> dict[str, float]:
    """Parser of ``--fix Da=-7.8,R=0.17`` (names in any case, angles in
    degrees) into the fit's names and values (angles in radians)."""
    out: dict[str, float] = {}
    for item in text.split(","):
        name, sep, value = item.partition("=")
        key = name.strip().lower()
        if not sep or key not in PARAMETER_NAMES:
            raise argparse.ArgumentTypeError(
                "--fix takes NAME=VALUE items separated by commas, NAME one of "
                f"a1, a2, a3, Da, R, offset (any case), got {item!r}"
            )
        try:
            number = float(value)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"--fix {name.strip()} needs a number, got {value!r}"
            ) from None
        if not math.isfinite(number):
            raise argparse.ArgumentTypeError(
                f"--fix {name.strip()} must be finite, got {value!r}"
            )
        if key in out:
            raise argparse.ArgumentTypeError(f"--fix names {name.strip()} twice")
        out[key] = math.radians(number) if key in _ANGLES else number
    return out


def atom_pair(text: str) -> tuple[str, str]:
    """``N,H`` into two atom names."""
    names = [n.strip() for n in text.split(",")]
    if len(names) != 2 or not all(names):
        raise argparse.ArgumentTypeError(
            f"--atoms takes two atom names such as N,H, got {text!r}"
        )
    return names[0], names[1]


def parsed(parse: Callable[[str], T], prefix: str = "") -> Callable[[str], T]:
    """``parse`` as an option's type: its ValueError is argparse's error,
    after ``prefix``."""

    def option(text: str) -> T:
        try:
            return parse(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(f"{prefix}{exc}") from None

    return option


def number_where(ok: Callable[[float], bool], expected: str) -> Callable[[str], float]:
    """Parser of a number that ``ok`` accepts (never NaN)."""

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if math.isnan(value) or not ok(value):
            raise argparse.ArgumentTypeError(f"{expected}, got {text!r}")
        return value

    return parse


#: ``N-H,CA-HA`` into bond types.
bond_types = parsed(parse_types)
#: ``C-H=2.107`` into a bond type and its length.
bond_length = parsed(parse_length)


def lengths(pairs: Sequence[tuple[str, float]] | None) -> dict[str, float] | None:
    """The bond lengths ``--length`` gives, by type.

    Raises:
        UsageError: one type given two different lengths.
    """
    try:
        return length_overrides(pairs) if pairs else None
    except ValueError as exc:
        raise UsageError(worded(exc)) from None


def residue_set(text: str) -> set[int]:
    """``71-76,10`` into residue numbers (ranges inclusive)."""
    out: set[int] = set()
    for part in text.split(","):
        part = part.strip()
        bounds = part.split("-", 1) if not part.startswith("-") else [part]
        try:
            if len(bounds) == 2:
                low, high = int(bounds[0]), int(bounds[1])
                if high < low:
                    raise ValueError
                out.update(range(low, high + 1))
            else:
                out.add(int(part))
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"--exclude takes residues and ranges such as 71-76,10, got {part!r}"
            ) from None
    return out


def int_at_least(
    minimum: int, expected: str, most: int | None = None
) -> Callable[[str], int]:
    """Parser of an integer from ``minimum`` (to ``most``, when given)."""

    def parse(text: str) -> int:
        try:
            number = int(text)
        except ValueError:
            number = minimum - 1
        if number < minimum or (most is not None and number > most):
            raise argparse.ArgumentTypeError(f"{expected}, got {text!r}")
        return number

    return parse


def frame_slice(text: str) -> slice:
    """``A:B`` as a slice of frames; either end may be left out."""
    parts = text.split(":")
    try:
        if len(parts) != 2:
            raise ValueError
        start, stop = (int(part) if part.strip() else None for part in parts)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"--frames takes A:B (frame numbers from 0, either may be left out), "
            f"got {text!r}"
        ) from None
    return slice(start, stop)


def frame_options(group: Any, verb: str) -> None:
    """``--stride`` and ``--frames``: which frames of a trajectory a command
    takes (``verb``: what it does with each)."""
    group.add_argument(
        "--stride",
        type=int_at_least(1, "--stride takes a number of frames, at least 1"),
        default=1,
        metavar="N",
        help=f"{verb} every N-th frame (default 1)",
    )
    group.add_argument(
        "--frames",
        type=frame_slice,
        metavar="A:B",
        help="frames A to B-1, counted from 0 (either may be left out; "
        "negative counts from the end)",
    )


def seed(text: str) -> int:
    """A random seed: a non-negative integer, as NumPy requires."""
    return int_at_least(0, "--seed takes a non-negative integer")(text)


#: A finite number above zero.
positive = number_where(
    lambda v: v > 0 and math.isfinite(v), "expected a positive number"
)


# ---------------------------------------------------------------- shared options


def quiet_options() -> argparse.ArgumentParser:
    """``-q``: every subcommand."""
    p = Parser(add_help=False)
    p.add_argument(
        "-q", "--quiet", action="store_true", help="print warnings only, no notes"
    )
    return p


def method_options() -> argparse.ArgumentParser:
    """``--method`` and ``--fix``: how every fit of a command is made."""
    p = Parser(add_help=False)
    p.add_argument(
        "--method",
        choices=METHODS,
        help="linear: the exact least-squares optimum (default); powell: "
        "refine it (or --start) by Powell's method in single precision "
        "(the default with --start or --fix)",
    )
    p.add_argument(
        "--fix",
        type=fixed_parameters,
        metavar="NAME=VALUE,...",
        help="hold parameters at given values while the others are fitted "
        "(powell), e.g. Da=-7.8,R=0.17: names a1,a2,a3,Da,R,offset, angles "
        "in degrees, Da in Hz as the report gives it (Da(N-H) for couplings "
        "on a structure, the fit's own Da for a vector table)",
    )
    return p


def parallel_options() -> argparse.ArgumentParser:
    """``--scheduler``: where many fits run (ensembles, trajectories, errors)."""
    p = Parser(add_help=False)
    p.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run the fits on a Dask cluster, such as tcp://head-node:8786 "
        f"(default: ${SCHEDULER_VARIABLE} when set, else every core here)",
    )
    return p


def input_options(couplings_help: str) -> argparse.ArgumentParser:
    """Where the vectors come from: a table, or a structure with couplings."""
    p = Parser(add_help=False)
    p.add_argument("table", nargs="?", metavar="TABLE", help="vector table")
    p.add_argument("--structure", metavar="FILE", help="PDB or mmCIF structure")
    p.add_argument(
        "--couplings",
        metavar="FILE",
        action="append",
        help=couplings_help + " (repeat for several media: one medium per file)",
    )
    p.add_argument(
        "--medium",
        metavar="NAME|N",
        action="append",
        help="only this medium of the couplings, by name or number from 1 "
        "(repeatable; default every medium)",
    )
    p.add_argument(
        "--format",
        choices=FORMATS,
        help="format of --couplings (default: detected from the content)",
    )
    p.add_argument(
        "--atoms",
        type=atom_pair,
        metavar="A,B",
        help="only couplings of this atom pair (same as --types A-B)",
    )
    p.add_argument(
        "--types",
        type=bond_types,
        metavar="T,...",
        help="bond types to use, such as N-H,C-N (default: every type)",
    )
    p.add_argument(
        "--exclude",
        type=residue_set,
        metavar="RES",
        help="drop couplings of these residues, such as 71-76,10",
    )
    p.add_argument(
        "--chain",
        help="chain for couplings that name none; A,B or all: their average "
        "over those chains (a symmetric oligomer)",
    )
    p.add_argument(
        "--renumber",
        type=int,
        default=0,
        metavar="K",
        help="add K to every residue number of the couplings, to match the "
        "structure's numbering",
    )
    p.add_argument(
        "--duplicates",
        choices=DUPLICATE_POLICIES,
        default="error",
        help="a coupling listed twice (the same atom pair): an error (default), "
        "or keep the first, or the mean of the values",
    )
    p.add_argument(
        "--length",
        type=bond_length,
        action="append",
        metavar="TYPE=ANGSTROM",
        help="the length of one bond type, such as C-H=2.107, in place of the "
        "standard or the structure's (repeatable)",
    )
    p.add_argument(
        "--build-hn",
        action="store_true",
        help="place amide protons from the backbone, for structures without "
        "hydrogens (such as X-ray structures)",
    )
    p.add_argument(
        "--strict-names",
        action="store_true",
        help="leave out couplings whose residue name differs from the "
        "structure's (default: use a few such rows by number, with a warning)",
    )
    return p


def check_sources(args: argparse.Namespace, needs_couplings: bool) -> None:
    """Reject combinations of input options that cannot be acted on."""
    if args.table and args.structure:
        raise UsageError("give either TABLE or --structure, not both")
    if not args.table and not args.structure:
        raise UsageError("give a TABLE or --structure FILE")
    if args.couplings and not args.structure:
        raise UsageError("--couplings goes with --structure")
    if needs_couplings and args.structure and not args.couplings:
        raise UsageError("--structure needs --couplings FILE")
    structure_only = (
        "chain",
        "types",
        "exclude",
        "format",
        "atoms",
        "strict_names",
        "medium",
        "renumber",
        "build_hn",
        "length",
    )
    if args.table:
        given = [name for name in structure_only if getattr(args, name, None)]
        if given:
            option = given[0].replace("_", "-")
            raise UsageError(f"--{option} goes with --structure and --couplings")
    if args.atoms and args.types:
        raise UsageError("give --atoms or --types, not both")
    if args.medium and not args.couplings:
        raise UsageError("--medium goes with --couplings")


def selection(args: argparse.Namespace) -> Selection:
    """The couplings' selection the options ask for."""
    return Selection(
        types=tuple(args.types) if args.types else None,
        atoms=args.atoms,
        exclude=frozenset(args.exclude or ()),
        duplicates=args.duplicates,
        renumber=args.renumber,
    )


#: How the command line names the settings a message points at, where the
#: option is not the setting's name with dashes.
_OPTIONS = {
    "domains": "--domain",
    "errors": "--errors K",
    "lengths": "--length",
    "media": "--medium",
    "weighted": "--unweighted",
}


def _option(hint: Hint) -> str:
    option = _OPTIONS.get(hint.name, "--" + hint.name.replace("_", "-"))
    return f"{option} {hint.value}" if hint.value else option


def worded(message: object) -> str:
    """A message or an error for the command line: the settings it points
    at named as options (``--renumber +2``, not ``renumber=+2``)."""
    advice = advice_of(message)
    if advice is not None:
        return advice.words(_option)
    if isinstance(message, BaseException):
        return user_message(message)
    return str(message)


class Formatter(logging.Formatter):
    """Log lines as ``kelfit: ...`` and ``kelfit: warning: ...``, every
    setting a message points at named as its option."""

    def format(self, record: logging.LogRecord) -> str:
        level = "" if record.levelno < logging.WARNING else "warning: "
        message = record.getMessage()
        if record.msg == "%s" and isinstance(record.args, tuple) and record.args:
            message = worded(record.args[0])
        return printable(f"kelfit: {level}{message}")


# ---------------------------------------------------------------- the run's record

#: Options that only say how a run is carried out, not what it computes.
_NOT_RECORDED = ("run", "command", "argv")


def options_record(args: argparse.Namespace) -> dict[str, object]:
    """Every option of the command line as it took effect, defaults
    included (angles of ``--start`` in radians, as the fit used them)."""
    return {
        name: plain(value)
        for name, value in sorted(vars(args).items())
        if name not in _NOT_RECORDED
    }


# ---------------------------------------------------------------- outputs


#: Options that name files the command reads.
INPUT_OPTIONS = ("table", "structure", "couplings", "trajectory", "reference")


def outputs_for(args: argparse.Namespace) -> Outputs:
    """The run's outputs, checked at once against every file it reads.

    Raises:
        DataError: ``--out`` names an input file.
    """
    named = [getattr(args, name, None) for name in INPUT_OPTIONS]
    outputs = Outputs(
        path
        for value in named
        for path in (value if isinstance(value, list) else [value])
        if isinstance(path, str) and path
    )
    outputs.check(("--out", getattr(args, "out", None)))
    return outputs


def with_run_messages(payload: dict[str, Any], quiet: bool) -> dict[str, Any]:
    """``payload`` with the command's warnings and (unless ``quiet``, which
    prints none) notes, last."""
    record = notices.current() or notices.Notices()
    payload["warnings"] = [worded(m) for m in record.warnings]
    payload["notes"] = [] if quiet else [worded(m) for m in record.notes]
    return payload


def json_text(payload: dict[str, Any]) -> str:
    """A report as strict JSON (no NaN: numbers that do not exist are null)."""
    return json.dumps(payload, indent=2, allow_nan=False) + "\n"


def data_error_exit(command: str, exc: object, status: int = EXIT_DATA) -> int:
    """Report an error (or a message) in one line, control characters shown
    escaped, and return ``status``."""
    message = printable(shortened(worded(exc)))
    sys.stderr.write(f"kelfit {command}: error: {message}\n")
    return status
