"""``kelfit reweight``: weights of an ensemble's models or a trajectory's
frames whose averaged couplings fit the measured ones
(:func:`kelfit_tools.reweight.reweight`)."""

from __future__ import annotations

import argparse
from typing import Any

from .._extras import require
from ..notices import Notices, current
from ..options import FitOptions
from ..outputs import write_stdout
from ..report.reweight import (
    plot_reweight,
    reweight_payload,
    reweight_text,
    weights_csv,
)
from ..reweight import (
    DEFAULT_FOLDS,
    DEFAULT_REPLICATES,
    reweight,
    structure_frames,
    trajectory_frames,
)
from ..run import FitRequest, run_executor
from ..superpose import BACKBONE
from .common import (
    UsageError,
    check_sources,
    frame_slice,
    input_options,
    int_at_least,
    json_text,
    lengths,
    options_record,
    outputs_for,
    parallel_options,
    positive,
    quiet_options,
    seed,
    selection,
    with_run_messages,
)


def add_parser(commands: Any) -> None:
    """Add ``reweight`` to the subcommands."""
    p = commands.add_parser(
        "reweight",
        parents=[quiet_options(), input_options("couplings"), parallel_options()],
        help="weight an ensemble's models or a trajectory's frames to fit the couplings",
        description="Maximum-entropy reweighting of an ensemble (--structure with "
        "several models) or a trajectory (--trajectory, --structure its topology): "
        "weights of the frames and one tensor whose weighted-average couplings fit "
        "one medium's, theta chosen by cross-validation over the couplings, the "
        "weights' errors from bootstrap replicates.",
    )
    p.add_argument(
        "--trajectory", metavar="FILE", help="any trajectory MDAnalysis reads"
    )
    p.add_argument(
        "--stride", type=int_at_least(1, "--stride takes a number of frames, at least 1"),
        default=1, metavar="N", help="every N-th frame (default 1)",
    )  # fmt: skip
    p.add_argument("--frames", type=frame_slice, metavar="A:B", help="frames A to B-1")
    p.add_argument(
        "--no-superpose", action="store_true",
        help="the models or frames as they are (default: superposed on the first "
        "over the backbone of the coupled residues)",
    )  # fmt: skip
    p.add_argument(
        "--theta", type=positive,
        help="the restraint's strength (default: chosen by cross-validation)",
    )  # fmt: skip
    p.add_argument(
        "--folds", type=int_at_least(2, "--folds takes a number from 2"),
        default=DEFAULT_FOLDS, help=f"folds of the couplings (default {DEFAULT_FOLDS})",
    )  # fmt: skip
    p.add_argument(
        "--replicates", type=int_at_least(0, "--replicates takes a number from 0"),
        default=DEFAULT_REPLICATES,
        help=f"bootstrap replicates for the weights' errors (default "
        f"{DEFAULT_REPLICATES}; 0: none)",
    )  # fmt: skip
    p.add_argument("--seed", type=seed, default=0, help="seed of folds and replicates")
    p.add_argument("--unweighted", action="store_true", help="ignore uncertainties")
    p.add_argument("--json", action="store_true", help="print JSON instead of text")
    p.add_argument("--out", metavar="FILE.csv", help="one row per frame: its weight")
    p.add_argument(
        "--plot", metavar="FILE",
        help="figure: chi^2 against the effective fraction of frames, and the weights",
    )  # fmt: skip
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    """Run ``kelfit reweight``."""
    check_sources(args, needs_couplings=True)
    if not args.structure or (args.stride != 1 or args.frames) and not args.trajectory:
        raise UsageError("give --structure (and --trajectory for --stride, --frames)")
    if args.plot:
        require("matplotlib", "--plot")
    options = FitOptions(
        weighted=not args.unweighted, lengths=lengths(args.length),
        scheduler=args.scheduler,
    )  # fmt: skip
    request = FitRequest(
        structure=args.structure, couplings=tuple(args.couplings), format=args.format,
        media=args.medium, selection=selection(args), chain=args.chain,
        strict_names=args.strict_names, build_hn=args.build_hn, models=None,
        superpose=None if args.no_superpose else BACKBONE, options=options,
    )  # fmt: skip
    outputs = outputs_for(args)
    outputs.check(("--plot", args.plot))
    if args.trajectory:
        frames = trajectory_frames(request, args.trajectory, args.frames, args.stride)
    else:
        frames = structure_frames(request)
    with run_executor(options, None, current() or Notices()) as executor:
        result = reweight(
            frames.vector_sets, frames.observed, sigma=frames.sigma, scale=frames.scale,
            theta=args.theta, folds=args.folds, replicates=args.replicates,
            seed=args.seed, executor=executor,
        )  # fmt: skip
    with outputs:
        if args.out:
            outputs.write_text(args.out, weights_csv(result, frames))
        if args.plot:
            outputs.write_with(args.plot, lambda path: plot_reweight(
                result, frames, path, format_from=args.plot))  # fmt: skip
        payload = {**reweight_payload(result, frames), "options": options_record(args)}
        payload = with_run_messages(payload, args.quiet)
        write_stdout(json_text(payload) if args.json else reweight_text(result, frames))
    return 0
