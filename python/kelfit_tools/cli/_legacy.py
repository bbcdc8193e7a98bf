"""The ``kelfit`` command: fit, back-calculate and demonstrate.

Exit status: 0 on success, 2 for a usage error, 1 for data that cannot be
used (and for a missing optional dependency).  Failures print one line on
standard error, never a traceback.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import logging
import math
import os
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, NoReturn, TextIO

import numpy as np
from numpy.typing import NDArray

from . import __version__
from ._extras import INSTALL_HINT, MissingExtra, available
from ._progress import track, wanted
from .fitting import FitResult, back_calculate, fit
from .montecarlo import MonteCarloResult, monte_carlo
from .readers import DataError, read_couplings, read_table
from .tensor import Tensor, aligned, canonical, rotation_matrix

log = logging.getLogger("kelfit_tools")

EXIT_DATA = 1
EXIT_USAGE = 2


class UsageError(Exception):
    """A command line that cannot be acted on (exit status 2)."""


class _Parser(argparse.ArgumentParser):
    """argparse with a one-line error message."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: error: {message} (see '{self.prog} -h')\n")
        raise SystemExit(EXIT_USAGE)


# ---------------------------------------------------------------- parsing


def _numbers(text: str, what: str, counts: Sequence[int]) -> list[float]:
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{what} must be comma-separated numbers, got {text!r}"
        ) from None
    if len(values) not in counts or not all(math.isfinite(v) for v in values):
        raise argparse.ArgumentTypeError(
            f"{what} takes a1,a2,a3,Da,R[,offset] (angles in degrees), got {text!r}"
        )
    return values


def _tensor_params(what: str) -> Any:
    def parse(text: str) -> NDArray[np.float64]:
        values = _numbers(text, what, (5, 6))
        values[:3] = [math.radians(v) for v in values[:3]]
        return np.array(values)

    return parse


def _atoms(text: str) -> tuple[str, str]:
    names = [n.strip() for n in text.split(",")]
    if len(names) != 2 or not all(names):
        raise argparse.ArgumentTypeError(
            f"--atoms takes two atom names such as N,H, got {text!r}"
        )
    return names[0], names[1]


def _models(text: str) -> int | None:
    if text.lower() == "all":
        return None
    return _model(text)


def _int_at_least(text: str, minimum: int, expected: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = minimum - 1
    if number < minimum:
        raise argparse.ArgumentTypeError(f"{expected}, got {text!r}")
    return number


def _model(text: str) -> int:
    return _int_at_least(text, 1, "model must be 'all' or a number from 1")


def _count(text: str) -> int:
    return _int_at_least(text, 2, "--errors takes a number of refits, at least 2")


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    """The command-line parser."""
    parser = _Parser(
        prog="kelfit",
        description="Fit a second-rank orientation tensor (residual dipolar "
        "couplings) to observed values, or back-calculate values from one.",
    )
    parser.add_argument("--version", action="version", version=__version__)
    quiet = _Parser(add_help=False)
    quiet.add_argument(
        "-q", "--quiet", action="store_true", help="print warnings only, no notes"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    p = commands.add_parser(
        "fit",
        parents=[quiet],
        help="fit the tensor to a vector table or to a structure and couplings",
        description="Fit the tensor. Input: a vector table (x y z value [label]) "
        "or a structure with a coupling table.",
    )
    p.add_argument("table", nargs="?", metavar="TABLE", help="vector table")
    p.add_argument("--structure", metavar="FILE", help="PDB or mmCIF structure")
    p.add_argument("--couplings", metavar="FILE", help="coupling table")
    p.add_argument(
        "--atoms",
        type=_atoms,
        default=("N", "H"),
        metavar="A,B",
        help="atom pair of the couplings to use (default N,H)",
    )
    p.add_argument(
        "--models",
        type=_models,
        default=1,
        metavar="all|N",
        help="model of an ensemble to fit, or 'all' for one row each (default 1)",
    )
    p.add_argument("--chain", help="chain for couplings that name none")
    p.add_argument("--offset", action="store_true", help="also fit a constant offset")
    p.add_argument(
        "--start",
        type=_tensor_params("--start"),
        metavar="a1,a2,a3,Da,R[,offset]",
        help="start (angles in degrees; default: the linear least-squares optimum)",
    )
    p.add_argument(
        "--errors",
        type=_count,
        metavar="K",
        help="estimate errors from K refits of perturbed data",
    )
    p.add_argument(
        "--bootstrap",
        action="store_true",
        help="with --errors: resample rows instead of adding noise",
    )
    p.add_argument(
        "--sigma",
        type=_positive,
        help="with --errors: noise standard deviation (default: the fit's RMSD)",
    )
    p.add_argument("--seed", type=int, help="random seed for --errors")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")
    p.add_argument(
        "--out",
        metavar="FILE.csv",
        help="write label, observed, back-calculated and residual per row",
    )
    p.add_argument(
        "--plot", metavar="FILE.png", help="plot observed against back-calculated"
    )
    p.add_argument("--title", help="first title line of the plot")

    s = commands.add_parser(
        "solve",
        parents=[quiet],
        help="back-calculate values from given tensor parameters",
        description="Write back-calculated values as CSV (label, calculated).",
    )
    s.add_argument("table", nargs="?", metavar="TABLE", help="vector table")
    s.add_argument("--structure", metavar="FILE", help="PDB or mmCIF structure")
    s.add_argument(
        "--couplings",
        metavar="FILE",
        help="with --structure: only these couplings' vectors",
    )
    s.add_argument(
        "--atoms",
        type=_atoms,
        default=("N", "H"),
        metavar="A,B",
        help="atom pair (default N,H)",
    )
    s.add_argument("--model", type=_model, default=1, help="model (default 1)")
    s.add_argument("--chain", help="chain for couplings that name none")
    s.add_argument(
        "--params",
        type=_tensor_params("--params"),
        required=True,
        metavar="a1,a2,a3,Da,R[,offset]",
        help="the tensor (angles in degrees)",
    )
    s.add_argument("--out", metavar="FILE.csv", help="write here, not to stdout")

    d = commands.add_parser(
        "demo",
        parents=[quiet],
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
    return parser


# ---------------------------------------------------------------- inputs


@dataclass
class Dataset:
    """Vectors with observed values and labels, from one source."""

    vectors: NDArray[np.float64]
    values: NDArray[np.float64]
    labels: list[str]
    model: int | None = None
    unit: str | None = None
    unmatched: list[dict[str, Any]] = field(default_factory=list)


def _check_sources(args: argparse.Namespace, needs_couplings: bool) -> None:
    if args.table and args.structure:
        raise UsageError("give either TABLE or --structure, not both")
    if not args.table and not args.structure:
        raise UsageError("give a TABLE or --structure FILE")
    if args.couplings and not args.structure:
        raise UsageError("--couplings goes with --structure")
    if needs_couplings and args.structure and not args.couplings:
        raise UsageError("--structure needs --couplings FILE")
    if args.table and args.chain:
        raise UsageError("--chain goes with --structure")


def _table_dataset(path: str) -> Dataset:
    table = read_table(path)
    assert table.values is not None
    return Dataset(table.vectors, table.values, table.labels)


def _structure_datasets(args: argparse.Namespace) -> Iterator[Dataset]:
    from .structure import load_structure, structure_vectors

    couplings = read_couplings(args.couplings)
    structure = load_structure(args.structure)
    numbers = range(1, len(structure) + 1) if args.models is None else [args.models]
    first = True
    for number in numbers:
        sv = structure_vectors(
            structure,
            couplings,
            args.atoms,
            number,
            chain=args.chain,
        )
        if first:
            first = False
            other = (
                f"; {sv.other_pairs} of other atom pairs left out"
                if sv.other_pairs
                else ""
            )
            log.info(
                "using %d %s-%s couplings%s",
                len(sv.values),
                args.atoms[0],
                args.atoms[1],
                other,
            )
        unmatched = [
            {"label": c.label, "line": c.line, "reason": why} for c, why in sv.unmatched
        ]
        yield Dataset(sv.vectors, sv.values, sv.labels, number, "Hz", unmatched)


# ---------------------------------------------------------------- output


def _fmt(value: float, digits: int) -> str:
    return "nan" if math.isnan(value) else f"{value:.{digits}f}"


def _print_table(
    headers: Sequence[str],
    rows: Sequence[Sequence[str]],
    out: TextIO,
    *,
    left: int = 0,
) -> None:
    """Aligned columns, the first ``left`` to the left and the rest to the right.

    On a terminal with rich installed the table is drawn by rich.
    """
    if out.isatty() and available("rich"):
        from rich.console import Console
        from rich.table import Table

        table = Table(box=None, pad_edge=False)
        for i, h in enumerate(headers):
            table.add_column(h, justify="left" if i < left else "right")
        for row in rows:
            table.add_row(*row)
        Console(file=out).print(table)
        return
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        parts = [
            c.ljust(w) if i < left else c.rjust(w)
            for i, (c, w) in enumerate(zip(cells, widths))
        ]
        return "  ".join(parts).rstrip() + "\n"

    out.write(line(headers))
    for row in rows:
        out.write(line(row))


FIT_HEADERS = [
    "a1 (deg)",
    "a2 (deg)",
    "a3 (deg)",
    "Da",
    "R",
    "Dr",
    "offset",
    "N",
    "RMSD",
    "Q",
    "r",
]


def _fit_row(result: FitResult) -> list[str]:
    a1, a2, a3 = result.angles_deg
    return [
        _fmt(a1, 2),
        _fmt(a2, 2),
        _fmt(a3, 2),
        _fmt(result.da, 3),
        _fmt(result.r, 4),
        _fmt(result.dr, 3),
        _fmt(result.offset, 3),
        str(result.n),
        _fmt(result.rmsd, 3),
        _fmt(result.q, 4),
        _fmt(result.pearson_r, 4),
    ]


def _error_row(mc: MonteCarloResult, offset: bool) -> list[str]:
    x, y, z = mc.axis_spread_deg
    return [
        _fmt(mc.da_sd, 3),
        _fmt(mc.r_sd, 4),
        _fmt(mc.dr_sd, 3),
        _fmt(mc.offset_sd, 3) if offset else "-",
        _fmt(x, 2),
        _fmt(y, 2),
        _fmt(z, 2),
    ]


ERROR_HEADERS = [
    "sd Da",
    "sd R",
    "sd Dr",
    "sd offset",
    "x axis (deg)",
    "y axis (deg)",
    "z axis (deg)",
]


def _clean(value: float) -> float | None:
    return None if math.isnan(value) else value


def _fit_json(
    data: Dataset, result: FitResult, mc: MonteCarloResult | None
) -> dict[str, Any]:
    out: dict[str, Any] = {}
    if data.model is not None:
        out["model"] = data.model
    out.update(
        angles_deg=list(result.angles_deg),
        angles_rad=list(result.angles),
        da=result.da,
        r=result.r,
        dr=result.dr,
        offset=result.offset,
        offset_fitted=result.offset_fitted,
        n=result.n,
        rmsd=result.rmsd,
        q=_clean(result.q),
        pearson_r=_clean(result.pearson_r),
        cost=result.cost,
    )
    if mc is not None:
        out["errors"] = {
            "method": mc.method,
            "trials": mc.trials,
            "sigma": _clean(mc.sigma),
            "da_sd": mc.da_sd,
            "r_sd": mc.r_sd,
            "dr_sd": mc.dr_sd,
            "offset_sd": mc.offset_sd if result.offset_fitted else None,
            "axis_spread_deg": list(mc.axis_spread_deg),
        }
    if data.model is not None:
        out["unmatched"] = data.unmatched
    return out


def _write_rows(
    path: str, fits: Sequence[tuple[Dataset, FitResult]], with_model: bool
) -> None:
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    header = ["label", "observed", "calculated", "residual"]
    writer.writerow((["model"] if with_model else []) + header)
    for data, result in fits:
        for label, o, c, r in zip(
            data.labels, result.observed, result.calculated, result.residuals
        ):
            row = [label, f"{o:.6g}", f"{c:.6g}", f"{r:.6g}"]
            writer.writerow(([str(data.model)] if with_model else []) + row)
    _write_text(path, buffer.getvalue())


def _write_text(path: str, text: str) -> None:
    try:
        with open(path, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
    except OSError as exc:
        raise DataError(f"cannot write: {exc.strerror}", path) from None


def _plot(result: FitResult, path: str, labels: Sequence[str], **kw: Any) -> None:
    from .plot import plot_fit

    try:
        plot_fit(result, path, labels=labels, **kw)
    except OSError as exc:
        raise DataError(f"cannot write the plot: {exc.strerror}", path) from None
    log.info("wrote %s", path)


# ---------------------------------------------------------------- commands


def _cmd_fit(args: argparse.Namespace) -> int:
    _check_sources(args, needs_couplings=True)
    every_model = args.structure is not None and args.models is None
    if args.table and args.models != 1:
        raise UsageError("--models goes with --structure")
    if args.plot and every_model:
        raise UsageError("--plot draws one model: use --models N")
    if (args.bootstrap or args.sigma or args.seed is not None) and not args.errors:
        raise UsageError("--bootstrap, --sigma and --seed go with --errors K")
    if args.bootstrap and args.sigma:
        raise UsageError("--sigma is for noise; --bootstrap resamples rows")
    if args.plot and not available("matplotlib"):
        raise MissingExtra(f"--plot needs matplotlib: {INSTALL_HINT}")

    if args.table:
        datasets: Iterator[Dataset] = iter([_table_dataset(args.table)])
        total = 1
    else:
        datasets = _structure_datasets(args)
        total = 0
    results: list[tuple[Dataset, FitResult, MonteCarloResult | None]] = []
    rng = np.random.default_rng(args.seed)
    if every_model:
        from .structure import model_count

        total = model_count(args.structure)
        datasets = track(datasets, total, "Fitting models", wanted(None))
    for data in datasets:
        result = fit(data.vectors, data.values, args.start, offset=args.offset)
        mc = None
        if args.errors:
            mc = monte_carlo(
                data.vectors,
                data.values,
                args.errors,
                method="bootstrap" if args.bootstrap else "noise",
                sigma=args.sigma,
                offset=args.offset,
                result=result,
                seed=rng,
            )
        results.append((data, result, mc))

    out = sys.stdout
    if args.json:
        objects = [_fit_json(d, r, m) for d, r, m in results]
        payload: Any = {"models": objects} if every_model else objects[0]
        json.dump(payload, out, indent=2)
        out.write("\n")
    else:
        headers = (["model"] if every_model else []) + FIT_HEADERS
        rows = [
            ([str(d.model)] if every_model else []) + _fit_row(r) for d, r, _ in results
        ]
        _print_table(headers, rows, out)
        if args.errors:
            mc0 = results[0][2]
            assert mc0 is not None
            how = (
                "bootstrap resampling"
                if mc0.method == "bootstrap"
                else f"Gaussian noise, sigma {mc0.sigma:.3g}"
                if args.sigma
                else "Gaussian noise, sigma = RMSD"
            )
            out.write(f"\nErrors from {args.errors} refits ({how}):\n")
            err_rows = [
                ([str(d.model)] if every_model else []) + _error_row(m, args.offset)
                for d, _, m in results
                if m is not None
            ]
            _print_table(
                (["model"] if every_model else []) + ERROR_HEADERS, err_rows, out
            )
    if args.out:
        _write_rows(args.out, [(d, r) for d, r, _ in results], every_model)
        log.info("wrote %s", args.out)
    if args.plot:
        data, result, _ = results[0]
        _plot(result, args.plot, data.labels, unit=data.unit, title=args.title)
    return 0


def _cmd_solve(args: argparse.Namespace) -> int:
    _check_sources(args, needs_couplings=False)
    if args.table:
        table = read_table(args.table, require_values=False)
        vectors, labels = table.vectors, table.labels
    elif args.couplings:
        from .structure import structure_vectors

        sv = structure_vectors(
            args.structure,
            read_couplings(args.couplings),
            args.atoms,
            args.model,
            chain=args.chain,
        )
        vectors, labels = sv.vectors, sv.labels
    else:
        from .structure import residue_vectors

        if args.chain:
            raise UsageError("--chain goes with --couplings")
        vectors, labels = residue_vectors(args.structure, args.atoms, args.model)
    values = back_calculate(vectors, args.params)
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(["label", "calculated"])
    for label, value in zip(labels, values):
        writer.writerow([label, f"{value:.6g}"])
    if args.out:
        _write_text(args.out, buffer.getvalue())
        log.info("wrote %d values to %s", len(values), args.out)
    else:
        sys.stdout.write(buffer.getvalue())
    return 0


def _demo_rows(true: Tensor, fitted: Tensor, result: FitResult) -> list[list[str]]:
    rows = []
    for i, name in enumerate(("a1 (deg)", "a2 (deg)", "a3 (deg)")):
        rows.append(
            [
                name,
                _fmt(math.degrees(true.angles[i]), 2),
                _fmt(math.degrees(fitted.angles[i]), 2),
            ]
        )
    rows += [
        ["Da (Hz)", _fmt(true.da, 3), _fmt(fitted.da, 3)],
        ["R", _fmt(true.r, 4), _fmt(fitted.r, 4)],
        ["Dr (Hz)", _fmt(true.dr, 3), _fmt(fitted.dr, 3)],
        ["RMSD (Hz)", "", _fmt(result.rmsd, 3)],
        ["Q", "", _fmt(result.q, 4)],
        ["r", "", _fmt(result.pearson_r, 4)],
    ]
    return rows


def _cmd_demo(args: argparse.Namespace) -> int:
    from .example import example

    ex = example()
    table = read_table(ex.vectors)
    assert table.values is not None
    result = fit(table.vectors, table.values)
    reference = rotation_matrix(*ex.true_params[:3])
    true = aligned(canonical(ex.true_params), reference)
    fitted = aligned(result.tensor(), reference)
    axis_error = [
        math.degrees(math.acos(min(1.0, abs(float(np.dot(a, b))))))
        for a, b in zip(true.axes, fitted.axes)
    ]
    out = sys.stdout
    out.write(
        f"Example: {result.n} N-H couplings of an ideal beta strand and alpha "
        f"helix,\nback-calculated from a known tensor with {ex.noise} Hz noise "
        f"added.\n\n"
    )
    _print_table(["", "true", "fitted"], _demo_rows(true, fitted, result), out, left=1)
    out.write(
        "\nAxis deviations (deg): "
        + ", ".join(f"{n} {e:.1f}" for n, e in zip("xyz", axis_error))
        + "\n"
    )
    if not args.no_plot:
        if available("matplotlib"):
            _plot(
                result,
                args.plot,
                table.labels,
                title="kelfit example: strand and helix",
            )
            out.write(f"Plot: {args.plot}\n")
        else:
            log.warning("no plot: it needs matplotlib: %s", INSTALL_HINT)
    out.write(
        "\nThe same fit from the structure:\n"
        f"  kelfit fit --structure {ex.structure} \\\n"
        f"      --couplings {ex.couplings} --plot fit.png\n"
    )
    return 0


# ---------------------------------------------------------------- main


class _Formatter(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        level = "" if record.levelno < logging.WARNING else "warning: "
        return f"kelfit: {level}{record.getMessage()}"


class _Once(logging.Filter):
    """Drops repeats, such as one warning for every model of an ensemble."""

    def __init__(self) -> None:
        super().__init__()
        self.seen: set[str] = set()

    def filter(self, record: logging.LogRecord) -> bool:
        message = record.getMessage()
        if message in self.seen:
            return False
        self.seen.add(message)
        return True


def _setup_logging(quiet: bool) -> logging.Handler:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_Formatter())
    handler.addFilter(_Once())
    log.addHandler(handler)
    log.setLevel(logging.WARNING if quiet else logging.INFO)
    log.propagate = False
    return handler


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("choose a command: fit, solve or demo")
    handler = _setup_logging(args.quiet)
    commands = {"fit": _cmd_fit, "solve": _cmd_solve, "demo": _cmd_demo}
    try:
        return commands[args.command](args)
    except UsageError as exc:
        sys.stderr.write(f"kelfit {args.command}: error: {exc}\n")
        return EXIT_USAGE
    except (DataError, MissingExtra, ValueError) as exc:
        sys.stderr.write(f"kelfit {args.command}: error: {exc}\n")
        return EXIT_DATA
    except KeyboardInterrupt:
        sys.stderr.write("kelfit: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (as with `| head`): stop quietly, and keep
        # Python from complaining when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_DATA
    finally:
        log.removeHandler(handler)


if __name__ == "__main__":
    raise SystemExit(main())
