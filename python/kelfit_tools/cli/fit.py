"""``kelfit fit``: fit the tensor of every medium and report it.

The command line becomes one :class:`~kelfit_tools.run.FitRequest` (in
:func:`request_from`, the one reader of the parsed options);
:func:`~kelfit_tools.run.run_fit` does the work and
:mod:`kelfit_tools.report.run` writes the report.
"""

from __future__ import annotations

import argparse
import os
from dataclasses import replace
from typing import Any

from .._extras import INSTALL_HINT, MissingExtra, available
from ..bonds import NH_REFERENCE_LENGTH, SIGN_CONVENTIONS
from ..montecarlo import MAX_TRIALS
from ..options import FROM_MODELS, FitOptions
from ..outputs import Outputs, write_stdout
from ..report.axes import AXES_FORMATS
from ..report.run import run_payload, run_text, write_axes, write_plots, write_rows
from ..run import FitRequest, check_request, run_fit
from ..superpose import BACKBONE, parse_selection
from .common import (
    UsageError,
    bond_types,
    check_sources,
    frame_options,
    input_options,
    int_at_least,
    json_text,
    lengths,
    method_options,
    options_record,
    parallel_options,
    parsed,
    positive,
    quiet_options,
    seed,
    selection,
    tensor_params,
    worded,
)
from .fit_trajectory import Shown, run_trajectory
from .peers import add_peer_options

__all__ = ["add_parser", "request_from", "run"]


def _models(text: str) -> int | None:
    if text.lower() == "all":
        return None
    return int_at_least(1, "model must be 'all' or a number from 1")(text)


def add_parser(commands: Any) -> None:
    """Add ``fit`` to the subcommands."""
    p = commands.add_parser(
        "fit",
        parents=[
            quiet_options(),
            input_options("couplings: VARS or plain table, Xplor/CNS or NMR-STAR"),
            method_options(),
            parallel_options(),
        ],
        help="fit the tensor to a vector table or to a structure and couplings",
        description="Fit the tensor. Input: a vector table (x y z value [label]) "
        "or a structure with couplings of any bond types, in one or several "
        "alignment media.",
    )
    p.add_argument(
        "--models",
        type=_models,
        default=1,
        metavar="all|N",
        help="model of an ensemble to fit, or 'all' for each (default 1)",
    )
    p.add_argument(
        "--average",
        action="store_true",
        help="with --models all or --trajectory, also fit one tensor to the "
        "couplings averaged over the models or frames",
    )
    p.add_argument("--offset", action="store_true", help="also fit a constant offset")
    p.add_argument(
        "--start",
        type=tensor_params("--start"),
        metavar="a1,a2,a3,Da,R[,offset]",
        help="start (angles in degrees; default: the linear least-squares optimum)",
    )
    p.add_argument(
        "--signs",
        choices=("auto", *SIGN_CONVENTIONS),
        default="auto",
        help="sign convention of the couplings (default: detected where the "
        "bond types tell; else magnitudes)",
    )
    p.add_argument(
        "--bond-lengths",
        choices=("structure", "standard"),
        default="structure",
        help="dipolar constants from the structure's distances (default) or "
        "from standard lengths per bond type",
    )
    p.add_argument(
        "--flip",
        type=bond_types,
        metavar="T,...",
        help="fit these types' signs flipped",
    )
    p.add_argument(
        "--normalised",
        action="store_true",
        help="the couplings are already normalised to N-H: no per-type scaling",
    )
    p.add_argument(
        "--nh-length",
        type=positive,
        default=NH_REFERENCE_LENGTH,
        metavar="A",
        help=f"N-H length (angstrom) Da is normalised to (default {NH_REFERENCE_LENGTH})",
    )
    p.add_argument(
        "--unweighted",
        action="store_true",
        help="ignore the stated uncertainties",
    )
    p.add_argument(
        "--errors",
        type=int_at_least(
            2, f"--errors takes a number of refits from 2 to {MAX_TRIALS:,}", MAX_TRIALS
        ),
        metavar="K",
        help=f"estimate errors from K refits of perturbed data (2 to {MAX_TRIALS:,})",
    )
    p.add_argument(
        "--bootstrap",
        action="store_true",
        help="with --errors: resample rows instead of adding noise",
    )
    p.add_argument(
        "--sigma",
        type=positive,
        metavar="S",
        help="every coupling's uncertainty (Hz), in place of the stated ones: "
        "the fit, its chi^2 and the --errors refits (noise and weights) all "
        "use it (default: each row's uncertainty, else the fit's RMSD as noise)",
    )
    p.add_argument("--seed", type=seed, help="random seed for --errors")
    p.add_argument("--json", action="store_true", help="print JSON instead of text")
    p.add_argument(
        "--out",
        metavar="FILE.csv",
        help="write one row per coupling (atoms, type, constant, observed, "
        "back-calculated, residuals, outlier) as CSV, or Parquet for FILE.parquet",
    )
    p.add_argument(
        "--plot",
        metavar="FILE",
        help="figure of the fit (with several media, one file each: FILE-1.png "
        "...); with --models all, the ensemble's figure",
    )
    p.add_argument("--title", help="title of the plot (default: the input files)")
    p.add_argument(
        "--report",
        metavar="FILE.html",
        help="write the whole report as one self-contained HTML page: tensor, "
        "statistics, figures and a sortable table of the couplings",
    )
    t = p.add_argument_group(
        "trajectories (needs MDAnalysis: pip install 'kelfit[md]')",
        "With --trajectory, --structure is the topology and every frame is "
        "fitted; --out writes one row per frame (CSV, or Parquet for "
        "FILE.parquet) and --plot draws Da, R and Q over time.",
    )
    t.add_argument(
        "--trajectory", metavar="FILE", help="any trajectory MDAnalysis reads"
    )
    frame_options(t, "fit")

    s = p.add_argument_group(
        "superposition",
        "With --models all or --trajectory, every model or frame is first "
        "superposed on a reference, so that the tensors share one frame: by "
        "default model 1 or the run's first frame, over N, CA and C of the "
        "residues the couplings use.",
    )
    s.add_argument(
        "--reference",
        metavar="FILE",
        help="structure to superpose onto (default: model 1, or the first "
        "frame fitted)",
    )
    where = s.add_mutually_exclusive_group()
    where.add_argument(
        "--superpose",
        type=parsed(parse_selection, "--superpose: "),
        metavar="SELECTION",
        help="atoms to superpose over: backbone (N, CA, C; the default), ca "
        "or heavy, optionally with residues: backbone:1-70, ca:A/1-70,B/5-20 "
        "(default: the residues the couplings use)",
    )
    where.add_argument(
        "--no-superpose",
        action="store_true",
        help="fit the models or frames as they are in the file",
    )
    add_peer_options(p)
    p.set_defaults(run=run)


#: Options that take effect with --structure only, not --trajectory.
_PEER_OPTIONS = (
    "axes", "domain", "free", "free_set", "cross_validate", "reject",
    "structure_noise",
)  # fmt: skip


def request_from(args: argparse.Namespace) -> tuple[FitRequest, Shown]:
    """The run and its outputs the command line asks for, checked.

    Raises:
        UsageError: options that contradict each other or lack what they need.
        MissingExtra: an output's optional package is missing.
    """
    check_sources(args, needs_couplings=True)
    if args.trajectory:
        if not args.structure:
            raise UsageError("--trajectory goes with --structure (its topology)")
        if args.models != 1 or args.errors or args.sigma:
            raise UsageError(
                "--models, --errors and --sigma do not go with --trajectory"
            )
        if args.build_hn:
            raise UsageError("--build-hn goes with a structure, not --trajectory")
        if args.report:
            raise UsageError("--report does not go with --trajectory")
    elif args.stride != 1 or args.frames is not None:
        raise UsageError("--stride and --frames go with --trajectory")
    if args.no_superpose and args.reference:
        raise UsageError("--reference and --no-superpose contradict each other")
    if (args.reference or args.superpose) and not (
        args.trajectory or (args.structure and args.models is None)
    ):
        raise UsageError(
            "--reference and --superpose go with --models all or --trajectory"
        )
    if any(getattr(args, name) is not None for name in _PEER_OPTIONS):
        if not args.structure or args.trajectory:
            raise UsageError(
                "--axes, --domain, --free, --free-set, --cross-validate, --reject "
                "and --structure-noise go with --structure (not --trajectory)"
            )
        if args.axes and os.path.splitext(args.axes)[1].lower() not in AXES_FORMATS:
            raise UsageError(
                f"--axes {args.axes}: expected a name ending in .pdb, .pml or .cxc"
            )
        if args.axes and not available("gemmi"):
            raise MissingExtra(f"--axes needs gemmi: {INSTALL_HINT}")
    if args.plot and not available("matplotlib"):
        raise MissingExtra(f"--plot needs matplotlib: {INSTALL_HINT}")
    noise = args.structure_noise
    options = FitOptions(
        offset=args.offset,
        sigma=args.sigma,
        weighted=not args.unweighted,
        signs=args.signs,
        bond_lengths=args.bond_lengths,
        nh_length=args.nh_length,
        lengths=lengths(args.length),
        flip=tuple(args.flip or ()),
        normalised=args.normalised,
        start=None if args.start is None else tuple(args.start.tolist()),
        method=args.method,
        fixed=args.fix,
        errors=args.errors,
        bootstrap=args.bootstrap,
        seed=args.seed,
        structure_noise=noise if noise in (None, FROM_MODELS) else float(noise),
        free=args.free,
        free_set=args.free_set,
        cross_validate=args.cross_validate,
        reject=args.reject,
        domains=tuple(args.domain or ()),
        average=args.average,
        scheduler=args.scheduler,
        progress=not args.quiet,
        # The figures and the HTML page draw every refit's axes (the sky map).
        keep_refits=bool(args.plot or args.report),
    )
    request = FitRequest(
        table=args.table,
        structure=args.structure,
        couplings=tuple(args.couplings or ()),
        format=args.format,
        media=args.medium,
        selection=selection(args),
        chain=args.chain,
        strict_names=args.strict_names,
        build_hn=args.build_hn,
        models=args.models,
        superpose=None if args.no_superpose else args.superpose or BACKBONE,
        reference=args.reference,
        options=options,
        recorded=options_record(args),
    )
    try:
        # The method that takes effect, so that the trajectory takes it too.
        # A trajectory's frames are its models.
        method = check_request(
            replace(request, models=None) if args.trajectory else request
        )
    except ValueError as exc:
        raise UsageError(worded(exc)) from None
    request = replace(request, options=replace(options, method=method))
    shown = Shown(
        args.trajectory, args.stride, args.frames, args.json, args.quiet,
        args.out, args.plot, args.title, args.report, args.axes,
    )  # fmt: skip
    return request, shown


def run(args: argparse.Namespace) -> int:
    """Run ``kelfit fit``."""
    request, shown = request_from(args)
    inputs = [request.table, request.structure, *request.couplings]
    outputs = Outputs([*inputs, shown.trajectory, request.reference])
    outputs.check(
        ("--out", shown.out), ("--plot", shown.plot),
        ("--report", shown.report), ("--axes", shown.axes),
    )  # fmt: skip
    if shown.trajectory:
        return run_trajectory(request, shown)
    done = run_fit(request)
    with outputs:
        if shown.out:
            write_rows(done, outputs, shown.out)
        if shown.plot:
            write_plots(done, outputs, shown.plot, shown.title)
        axes = None
        if shown.axes or (request.options.domains and shown.plot):
            axes = write_axes(done, outputs, shown.axes, shown.plot, shown.title)
        payload = run_payload(done, notes=not shown.quiet, axes=axes, word=worded)
        if shown.report:
            from ..report.html import html_report

            words = ["kelfit", *getattr(args, "argv", ["fit"])]
            outputs.write_text(shown.report, html_report(payload, command_line=words))
        write_stdout(json_text(payload) if shown.json else run_text(done, word=worded))
    return 0
