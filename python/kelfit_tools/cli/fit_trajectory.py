"""``kelfit fit --trajectory``: the tensor in every frame of a trajectory.

Frames are read, superposed and fitted in blocks on every core (or on a
Dask cluster); the rows go to the table a chunk at a time, so memory stays
flat however long the trajectory.  Unless ``--no-superpose``, each
frame is superposed on the reference as it is read, so the tensors are not
turned by the molecule's tumbling.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from ..notices import Notices
from ..outputs import write_stdout
from ..prepare import Preparation, pick_media, read_media, trajectory_input
from ..report.frames import record_frames, write_convergence_plot
from ..report.run import frames_payload, frames_text
from ..run import FitRequest, run_executor
from .common import json_text, log, worded

__all__ = ["Shown", "run_trajectory"]


@dataclass(frozen=True)
class Shown:
    """What ``kelfit fit`` does with a run: the trajectory whose frames it
    fits instead (None for none), what it prints and the files it writes."""

    trajectory: str | None
    stride: int
    frames: slice | None
    json: bool
    quiet: bool
    out: str | None
    plot: str | None
    title: str | None
    report: str | None
    axes: str | None


def run_trajectory(request: FitRequest, frames: Shown) -> int:
    """Fit every frame of ``frames.trajectory`` and report them."""
    assert frames.trajectory is not None
    from ..io.trajectory import frame_range, load_universe, whole_frames
    from ..media import row_sigma
    from ..superpose import frame_superposer
    from ..trajectory import FrameMeans, coupled_residues, fit_frames, frame_basis

    o = request.options
    record = Notices()
    with record.active():
        media = pick_media(read_media(request.couplings, request.format), request.media)
        universe = load_universe(str(request.structure), frames.trajectory)
        report = Preparation()
        pairs = trajectory_input(
            universe,
            media,
            request.selection,
            report,
            chain=request.chain,
            strict_names=request.strict_names,
            offset=o.offset,
        )
        count = len(pairs.values)
        atoms = request.selection.atoms or ("N", "H")
        record.note(f"using {count} {atoms[0]}-{atoms[1]} couplings")
        report.say()
        basis = frame_basis(pairs, o)
        record.note(basis.basis)
        sigma = None
        if o.weighted:
            sigma, why = row_sigma(pairs.couplings)
            if why:
                record.note(why)
        chosen = frame_range(whole_frames(universe), frames.frames, frames.stride)
        superposer = None
        if request.superpose is not None:
            superposer = frame_superposer(
                universe,
                request.superpose,
                residues=coupled_residues(pairs),
                reference=load_universe(request.reference)
                if request.reference
                else None,
                frame=chosen[0] if len(chosen) else 0,
            )
            record.note(
                f"superposing every frame on {superposer.description} over "
                f"{superposer.atoms} atoms ({superposer.selection})"
            )
        method = o.method or "linear"
        means = FrameMeans(pairs, offset=o.offset, sigma=sigma, basis=basis)
        with run_executor(o, None, record) as executor:
            summary = record_frames(
                fit_frames(
                    pairs,
                    chosen,
                    offset=o.offset,
                    start=o.start,
                    sigma=sigma,
                    method=method,
                    fixed=o.fixed,
                    executor=executor,
                    progress=o.progress,
                    superpose=superposer,
                    basis=basis,
                    means=means if o.average else None,
                ),
                table=frames.out,
                plot=frames.plot,
                title=frames.title or os.path.basename(frames.trajectory),
                warnings=[worded(w) for w in record.warnings],
                nh_length=basis.nh_length,
            )
        averaged = means.averaged() if o.average else None
        if averaged is not None and frames.plot:
            written = write_convergence_plot(averaged.convergence, frames.plot)
            log.info("wrote %s", written)
    if frames.json:
        payload = frames_payload(
            request,
            frames.trajectory,
            frames.stride,
            method,
            summary,
            count,
            superposer,
            basis=basis,
            averaged=averaged,
        )
        payload["warnings"] = [worded(w) for w in record.warnings]
        payload["notes"] = [] if frames.quiet else [worded(n) for n in record.notes]
        write_stdout(json_text(payload))
    else:
        write_stdout(
            frames_text(
                frames.trajectory,
                frames.stride,
                method,
                list(o.fixed or ()),
                summary,
                count,
                superposer,
                basis=basis.basis,
                averaged=averaged,
                nh_length=basis.nh_length,
            )
        )
    for path in (frames.out, frames.plot):
        if path:
            log.info("wrote %s", path)
    return 0
