"""``kelfit fit --trajectory``: the tensor in every frame of a trajectory.

Frames are read one after another and fitted in batches on every core (or
on a Dask cluster); one row per frame goes straight to the table, so memory
stays flat however long the trajectory.  Unless ``--no-superpose``, each
frame is superposed on the reference as it is read, so the tensors are not
turned by the molecule's tumbling.
"""

from __future__ import annotations

import argparse
import math
import os
from typing import Any

from .. import __version__
from ..prepare import Preparation, pick_media, read_media, trajectory_input
from ..report.frames import FrameSummary, record_frames
from ..report.tensor import method_description
from ..superpose import FrameSuperposer
from .common import (
    emit,
    executor_for,
    json_text,
    log,
    options_record,
    report_preparation,
    selection,
    selection_record,
    warnings_seen,
    with_run_messages,
)

__all__ = ["run_trajectory"]


def _superposition(
    superposer: FrameSuperposer | None, summary: FrameSummary
) -> dict[str, Any] | None:
    if superposer is None:
        return None
    low, high = summary.rmsd_ref or (None, None)
    return {
        "reference": superposer.description,
        "selection": superposer.selection,
        "atoms": superposer.atoms,
        "rmsd_ref": {"min": low, "max": high},
    }


def _text(
    args: argparse.Namespace,
    method: str,
    summary: FrameSummary,
    count: int,
    superposer: FrameSuperposer | None,
) -> str:
    every = f", every {args.stride}" if args.stride != 1 else ""
    lines = [
        (
            f"{summary.frames} frames fitted ({summary.first} to {summary.last}{every}) "
            f"of {os.path.basename(args.trajectory)}, {count} couplings each"
        ),
        f"Method: {method_description(method, list(args.fix or ()))}",
        "",
        f"{'':4}{'mean':>10}{'sd':>10}",
    ]
    for name, (mean, sd), digits in (
        ("Da", summary.da, 3),
        ("R", summary.r, 4),
        ("Q", summary.q, 4),
    ):
        lines.append(f"{name:4}{mean:>10.{digits}f}{sd:>10.{digits}f}")
    lines.append("")
    if superposer is None:
        lines.append("Frames not superposed: the axes turn with the molecule.")
    else:
        low, high = summary.rmsd_ref or (math.nan, math.nan)
        lines.append(
            f"Superposed on {superposer.description} over {superposer.atoms} "
            f"atoms ({superposer.selection}); RMSD to it {low:.3f} to "
            f"{high:.3f} A"
        )
    return "\n".join(lines) + "\n"


def _json(
    args: argparse.Namespace,
    method: str,
    summary: FrameSummary,
    count: int,
    superposer: FrameSuperposer | None,
) -> str:
    payload = {
        "kelfit_version": __version__,
        "command": "fit",
        "options": {**options_record(args), "method": method},
        "selection": selection_record(args),
        "input": {
            "structure": args.structure,
            "trajectory": args.trajectory,
            "couplings": args.couplings[0],
        },
        "couplings": count,
        "frames": summary.frames,
        "first_frame": summary.first,
        "last_frame": summary.last,
        "stride": args.stride,
        "superposition": _superposition(superposer, summary),
        **{
            name: {"mean": mean, "sd": sd}
            for name, (mean, sd) in (
                ("da", summary.da),
                ("r", summary.r),
                ("q", summary.q),
            )
        },
    }
    return json_text(with_run_messages(payload))


def run_trajectory(args: argparse.Namespace, method: str) -> int:
    """Fit every frame (``--stride``, ``--frames``) by ``method`` (the one
    the options resolve to) and report them."""
    from ..io.trajectory import frame_range, load_universe, whole_frames
    from ..media import row_sigma
    from ..superpose import BACKBONE, frame_superposer
    from ..trajectory import coupled_residues, fit_frames

    media = pick_media(read_media(args.couplings, args.format), args.medium)
    universe = load_universe(args.structure, args.trajectory)
    report = Preparation()
    pairs = trajectory_input(
        universe,
        media,
        selection(args),
        report,
        chain=args.chain,
        strict_names=args.strict_names,
        offset=args.offset,
    )
    count = len(pairs.values)
    atoms = args.atoms or ("N", "H")
    log.info("using %d %s-%s couplings", count, atoms[0], atoms[1])
    report_preparation(report)
    sigma = None
    if not args.unweighted:
        sigma, why = row_sigma(pairs.couplings)
        if why:
            log.info("%s", why)
    frames = frame_range(whole_frames(universe), args.frames, args.stride)
    superposer = None
    if not args.no_superpose:
        superposer = frame_superposer(
            universe,
            args.superpose or BACKBONE,
            residues=coupled_residues(pairs),
            reference=load_universe(args.reference) if args.reference else None,
            frame=frames[0] if len(frames) else 0,
        )
        log.info(
            "superposing every frame on %s over %d atoms (%s)",
            superposer.description,
            superposer.atoms,
            superposer.selection,
        )
    with executor_for(args.scheduler) as executor:
        summary = record_frames(
            fit_frames(
                pairs,
                frames,
                offset=args.offset,
                start=args.start,
                sigma=sigma,
                method=method,
                fixed=args.fix,
                executor=executor,
                progress=not args.quiet,
                superpose=superposer,
            ),
            table=args.out,
            plot=args.plot,
            title=args.title or os.path.basename(args.trajectory),
            warnings=list(warnings_seen.messages),
        )
    emit(
        _json(args, method, summary, count, superposer)
        if args.json
        else _text(args, method, summary, count, superposer)
    )
    for path in (args.out, args.plot):
        if path:
            log.info("wrote %s", path)
    return 0
