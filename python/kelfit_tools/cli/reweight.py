"""``kelfit reweight``: weights of an ensemble's models or a trajectory's
frames whose averaged couplings fit the measured ones
(:func:`kelfit_tools.reweight.reweight`)."""

from __future__ import annotations

import argparse
from typing import Any

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
    outputs_for,
    parallel_options,
    positive,
    quiet_options,
    seed,  # fmt: skip
    selection,
    with_run_messages,
)


def add_parser(commands: Any) -> None:
    """Add ``reweight`` to the subcommands."""
    p = commands.add_parser(
        "reweight", parents=[quiet_options(), input_options("couplings of one medium"),
                             parallel_options()],
        help="weight an ensemble's models or a trajectory's frames to fit the couplings",
        description="Maximum-entropy reweighting: frame weights and one tensor whose "
        "weighted-average couplings fit, theta chosen by cross-validation over couplings.",
    )  # fmt: skip
    p.add_argument("--trajectory", metavar="FILE", help="frames of this trajectory")
    p.add_argument("--stride", type=int_at_least(1, "--stride takes a number from 1"),
                   default=1, metavar="N", help="every N-th frame")  # fmt: skip
    p.add_argument("--frames", type=frame_slice, metavar="A:B", help="frames A to B-1")
    p.add_argument("--no-superpose", action="store_true", help="frames as they are")
    p.add_argument("--theta", type=positive, help="the restraint (default: by CV)")
    p.add_argument(
        "--folds", type=int_at_least(2, "--folds from 2"), default=DEFAULT_FOLDS
    )
    p.add_argument("--replicates", type=int_at_least(0, "--replicates from 0"),
                   default=DEFAULT_REPLICATES, help="bootstrap replicates (errors)")  # fmt: skip
    p.add_argument("--seed", type=seed, default=0, help="seed of folds and replicates")
    p.add_argument("--unweighted", action="store_true", help="ignore uncertainties")
    p.add_argument("--json", action="store_true", help="print JSON instead of text")
    p.add_argument("--out", metavar="FILE.csv", help="one row per frame: its weight")
    p.add_argument(
        "--plot", metavar="FILE", help="chi^2 against theta's effect; weights"
    )
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    """Run ``kelfit reweight``."""
    check_sources(args, needs_couplings=True)
    if not args.structure or (args.stride != 1 or args.frames) and not args.trajectory:
        raise UsageError("give --structure (and --trajectory for --stride, --frames)")
    options = FitOptions(weighted=not args.unweighted, scheduler=args.scheduler)
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
        payload = with_run_messages(reweight_payload(result, frames), args.quiet)
        write_stdout(json_text(payload) if args.json else reweight_text(result, frames))
    return 0
