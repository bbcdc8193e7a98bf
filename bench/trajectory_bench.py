"""A trajectory fitted end to end against the bare MDAnalysis read loop.

On ubiquitin (the shared structure, jittered frame by frame, written here
as XTC and as DCD), in the same run:

1. end to end in this process: every frame read (through the reader
   process of the compiled formats), superposed on frame 0 over the
   backbone of the coupled residues, fitted (68 N-H couplings) and written
   as a CSV row (``fit_frames`` into ``record_frames``), against
   ``for ts in universe.trajectory: pass`` over the same file;
2. the command itself over 1,000 frames, its start included: ``python -m
   kelfit_tools fit --trajectory ... --out frames.csv`` against a new
   interpreter that imports MDAnalysis, opens the same files and runs the
   bare loop;
3. peak memory (the process's peak resident set) of the end-to-end run
   over 10^4 frames and over 10^5 (the 10^4-frame XTC chained ten times:
   a file of 10^6 frames would be some 6 GB here).

Every ratio is against a baseline measured in the same run; nothing is
asserted.  ``make bench`` runs it: it adds its section to bench/results.md
(replacing an earlier one).

    python bench/trajectory_bench.py [--frames 10000] [--command-frames 1000]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time
import warnings
from collections.abc import Callable
from pathlib import Path

import numpy as np
from benchdata import UBIQUITIN_COUPLINGS, UBIQUITIN_STRUCTURE, write_section

HERE = Path(__file__).resolve().parent
START_MARK = "<!-- trajectory: start -->"
END_MARK = "<!-- trajectory: end -->"
#: Timed runs of each measurement; the fastest counts, as the one least
#: disturbed by other work on the machine.
REPEATS = 3
#: Each atom's jitter (angstrom, per coordinate) from frame to frame: bonds
#: stay within a few percent of their length, as in a sound simulation.
JITTER = 0.01
#: How many times the long file is chained for the memory of 10^5 frames.
CHAINED = 10

GOAL_READ = 2.0
GOAL_COMMAND = 3.0
GOAL_MEMORY = 0.10


def write_trajectory(folder: Path, frames: int, ext: str = "xtc") -> Path:
    """Ubiquitin jittered by :data:`JITTER` in every frame."""
    import MDAnalysis as mda

    universe = mda.Universe(str(UBIQUITIN_STRUCTURE))
    atoms = universe.atoms
    reference = atoms.positions.astype(np.float64)
    rng = np.random.default_rng(3)
    path = folder / f"bench-{frames}.{ext}"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with mda.Writer(str(path), atoms.n_atoms) as writer:
            for _ in range(frames):
                atoms.positions = reference + rng.normal(0, JITTER, reference.shape)
                writer.write(atoms)
    return path


def fastest(run: Callable[[], object]) -> float:
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


#: The end-to-end run, in a new interpreter: argv is the trajectory file(s),
#: the frames, and the table; it prints its time and its peak memory.
_END_TO_END = textwrap.dedent(
    """
    import json, resource, sys, time, warnings
    from kelfit_tools import read_couplings
    from kelfit_tools.io.trajectory import coupling_atoms
    from kelfit_tools.report.frames import record_frames
    from kelfit_tools.superpose import BACKBONE, frame_superposer
    from kelfit_tools.trajectory import coupled_residues, fit_frames
    import MDAnalysis as mda

    top, couplings, table, *files = sys.argv[1:]
    warnings.simplefilter("ignore")
    universe = mda.Universe(top, files)
    pairs = coupling_atoms(universe, read_couplings(couplings))
    superposer = frame_superposer(
        universe, BACKBONE, residues=coupled_residues(pairs), frame=0
    )
    start = time.perf_counter()
    summary = record_frames(
        fit_frames(pairs, progress=False, superpose=superposer), table=table
    )
    seconds = time.perf_counter() - start
    peak = max(
        resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
        resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss,
    )
    print(json.dumps({"seconds": seconds, "frames": summary.frames, "kib": peak}))
    """
)

#: The bare loop as a command: a new interpreter, MDAnalysis, the files.
_BARE_COMMAND = textwrap.dedent(
    """
    import sys, warnings
    import MDAnalysis as mda
    warnings.simplefilter("ignore")
    universe = mda.Universe(sys.argv[1], sys.argv[2])
    for ts in universe.trajectory:
        pass
    """
)


def _python(*args: object) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, *map(str, args)],
        check=True,
        capture_output=True,
        text=True,
    )


def end_to_end(path: Path, folder: Path) -> dict[str, float]:
    """Bare read loop and end to end, both in this process, fastest of
    :data:`REPEATS`."""
    from kelfit_tools import read_couplings
    from kelfit_tools.io.trajectory import coupling_atoms, load_universe
    from kelfit_tools.report.frames import record_frames
    from kelfit_tools.superpose import BACKBONE, frame_superposer
    from kelfit_tools.trajectory import coupled_residues, fit_frames

    universe = load_universe(UBIQUITIN_STRUCTURE, path)
    pairs = coupling_atoms(universe, read_couplings(UBIQUITIN_COUPLINGS))
    superposer = frame_superposer(
        universe, BACKBONE, residues=coupled_residues(pairs), frame=0
    )

    def bare() -> None:
        for _ in universe.trajectory:
            pass

    def whole() -> None:
        fits = fit_frames(pairs, progress=False, superpose=superposer)
        record_frames(fits, table=folder / "frames.csv")

    return {"bare": fastest(bare), "whole": fastest(whole)}


def command(path: Path, folder: Path) -> dict[str, float]:
    """The command and the bare loop, each a new interpreter."""
    table = folder / "command.csv"

    def fit() -> None:
        _python(
            "-m", "kelfit_tools", "fit", "-q", "--structure", UBIQUITIN_STRUCTURE,
            "--trajectory", path, "--couplings", UBIQUITIN_COUPLINGS,
            "--out", table,
        )  # fmt: skip

    def bare() -> None:
        _python("-c", _BARE_COMMAND, UBIQUITIN_STRUCTURE, path)

    return {"bare": fastest(bare), "whole": fastest(fit)}


def memory(path: Path, folder: Path) -> dict[str, float]:
    """Peak resident set of the end-to-end run over the file once (read
    as a chain, as the long run is) and chained :data:`CHAINED` times."""
    out = {}
    for times in (1, CHAINED):
        done = _python(
            "-c", _END_TO_END, UBIQUITIN_STRUCTURE, UBIQUITIN_COUPLINGS,
            folder / "memory.csv", *([path] * times),
        )  # fmt: skip
        result = json.loads(done.stdout.strip().splitlines()[-1])
        key = "short" if times == 1 else "long"
        out[key + "_frames"] = result["frames"]
        out[key + "_mib"] = result["kib"] / 1024
        out[key + "_seconds"] = result["seconds"]
    return out


def measure(frames: int, command_frames: int) -> dict[str, dict[str, float]]:
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        xtc = write_trajectory(folder, frames, "xtc")
        dcd = write_trajectory(folder, frames, "dcd")
        short = write_trajectory(folder, command_frames, "xtc")
        return {
            "xtc": end_to_end(xtc, folder),
            "dcd": end_to_end(dcd, folder),
            "command": command(short, folder),
            "memory": memory(xtc, folder),
        }


def _met(ratio: float, goal: float) -> str:
    return "met" if ratio <= goal else "**missed**"


def report(m: dict[str, dict[str, float]], frames: int, command_frames: int) -> str:
    lines = [
        START_MARK,
        "## Trajectories end to end (`bench/trajectory_bench.py`)",
        "",
        f"Run {time.strftime('%Y-%m-%d %H:%M')}; load average "
        + " ".join(f"{v:.2f}" for v in os.getloadavg())
        + f"; {os.cpu_count()} cores; ubiquitin (1,231 atoms) jittered by "
        f"{JITTER} A per frame; 68 N-H couplings; superposed on frame 0; one CSV "
        f"row per frame; fastest of {REPEATS}.",
        "",
        "| measurement | end to end | bare read loop | ratio | goal | |",
        "|---|---:|---:|---:|---|---|",
    ]
    for kind in ("xtc", "dcd"):
        r = m[kind]
        ratio = r["whole"] / r["bare"]
        lines.append(
            f"| {frames:,} {kind.upper()} frames, in this process | "
            f"{r['whole']:.3f} s | {r['bare']:.3f} s | {ratio:.2f}× | "
            f"≤ {GOAL_READ:g}× | {_met(ratio, GOAL_READ)} |"
        )
    c = m["command"]
    ratio = c["whole"] / c["bare"]
    lines.append(
        f"| `kelfit fit --trajectory`, {command_frames:,} XTC frames, the "
        f"command's start included (a new interpreter each) | {c['whole']:.3f} s | "
        f"{c['bare']:.3f} s | {ratio:.2f}× | ≤ {GOAL_COMMAND:g}× | "
        f"{_met(ratio, GOAL_COMMAND)} |"
    )
    mem = m["memory"]
    growth = mem["long_mib"] / mem["short_mib"] - 1.0
    lines.append(
        f"| peak memory, {int(mem['long_frames']):,} frames over "
        f"{int(mem['short_frames']):,} | {mem['long_mib']:.0f} MiB | "
        f"{mem['short_mib']:.0f} MiB | {growth:+.1%} | within "
        f"{GOAL_MEMORY:.0%} | {'met' if abs(growth) <= GOAL_MEMORY else '**missed**'} |"
    )
    per_frame = {
        k: (m[k]["whole"] - m[k]["bare"]) / frames * 1e6 for k in ("xtc", "dcd")
    }
    lines += [
        "",
        "Per frame past the read: "
        + ", ".join(f"{k.upper()} {v:.0f} µs" for k, v in per_frame.items())
        + f"; the bare read: XTC {m['xtc']['bare'] / frames * 1e6:.0f} µs, "
        f"DCD {m['dcd']['bare'] / frames * 1e6:.0f} µs.  The {mem['long_frames']:,.0f} "
        f"frames took {mem['long_seconds']:.1f} s end to end.",
        "",
        (
            "Frames come 64 at a time: XTC and DCD from a reader process (a fork "
            "of this one, started in milliseconds, so a reader crashing on a "
            "damaged file ends that process, not the run), which reads the next "
            "blocks, takes their bond vectors and superposes each in one "
            "batched Kabsch step while this one fits a block in one stack of "
            "`kelfit.linear`, takes the canonical "
            "frames in one stack of eigendecompositions and follows the axes' "
            "signs by a running product.  The long run of the memory row is "
            "read as a chain of files, in this process."
        ),
        END_MARK,
    ]
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=10_000)
    parser.add_argument("--command-frames", type=int, default=1_000)
    parser.add_argument("--results", type=Path, default=HERE / "results.md")
    args = parser.parse_args(argv)
    measured = measure(args.frames, args.command_frames)
    section = report(measured, args.frames, args.command_frames)
    # Its own markers: the section replaces only an earlier trajectory one.
    write_section(args.results, section, START_MARK, END_MARK)
    sys.stdout.write(section + "\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
