"""What reading trajectory frames in a child process costs.

``fit_frames`` reads frames in a child process so that a reader crashing on
a damaged file cannot take the run down with it.  This measures, on one
XTC of ubiquitin (the shared structure, jittered frame by frame, written
here), in the same run:

1. reading alone: ``read_frames`` in a child process against in this one,
   for the atoms a fit needs (the coupled N and H, and the backbone a
   superposition runs over);
2. whole fits of every frame (68 N-H couplings, superposed on frame 0), on
   two threads: ``fit_frames(isolate=True)`` against ``isolate=False``.

Every ratio is against a baseline measured in the same run; nothing is
asserted.  ``make bench`` runs it last: it adds its section to
bench/results.md (replacing an earlier one).

    python bench/trajectory_bench.py [--frames 2000]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
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


def write_trajectory(folder: Path, frames: int) -> Path:
    """Ubiquitin jittered by :data:`JITTER` in every frame, as XTC."""
    import MDAnalysis as mda

    universe = mda.Universe(str(UBIQUITIN_STRUCTURE))
    atoms = universe.atoms
    reference = atoms.positions.astype(np.float64)
    rng = np.random.default_rng(3)
    path = folder / "bench.xtc"
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


def measure(frames: int) -> dict[str, float]:
    from kelfit_tools import read_couplings
    from kelfit_tools.io.trajectory import coupling_atoms, load_universe, read_frames
    from kelfit_tools.superpose import BACKBONE, frame_superposer
    from kelfit_tools.trajectory import coupled_residues, fit_frames

    with tempfile.TemporaryDirectory() as folder:
        path = write_trajectory(Path(folder), frames)
        universe = load_universe(UBIQUITIN_STRUCTURE, path)
        pairs = coupling_atoms(universe, read_couplings(UBIQUITIN_COUPLINGS))
        superposer = frame_superposer(
            universe, BACKBONE, residues=coupled_residues(pairs), frame=0
        )
        atoms = np.union1d(pairs.atom_indices(), superposer.indices)
        span = range(frames)

        def read(isolate: bool) -> Callable[[], object]:
            return lambda: sum(
                1 for _ in read_frames(universe, span, atoms, isolate=isolate)
            )

        def fit(isolate: bool) -> Callable[[], object]:
            return lambda: sum(
                1
                for _ in fit_frames(
                    pairs,
                    span,
                    workers=2,
                    progress=False,
                    superpose=superposer,
                    isolate=isolate,
                )
            )

        def start() -> object:
            return sum(1 for _ in read_frames(universe, range(1), atoms, isolate=True))

        return {
            "frames": frames,
            "atoms": len(atoms),
            "start": fastest(start),
            "read_here": fastest(read(False)),
            "read_child": fastest(read(True)),
            "fit_here": fastest(fit(False)),
            "fit_child": fastest(fit(True)),
        }


def report(m: dict[str, float]) -> str:
    frames = int(m["frames"])
    lines = [
        START_MARK,
        "## Trajectory frames read in a child process (`bench/trajectory_bench.py`)",
        "",
        f"Run {time.strftime('%Y-%m-%d %H:%M')}; load average "
        + " ".join(f"{v:.2f}" for v in os.getloadavg())
        + f"; {os.cpu_count()} cores; an XTC of ubiquitin, {frames:,} frames, "
        f"{int(m['atoms'])} atoms read per frame; fastest of {REPEATS}.",
        "",
        (
            "| measurement | child process, s | this process, s | ratio | "
            "per frame, past the start |"
        ),
        "|---|---:|---:|---:|---:|",
    ]
    for name, child, here in (
        ("reading alone", m["read_child"], m["read_here"]),
        ("fitting every frame (2 threads, superposed)", m["fit_child"], m["fit_here"]),
    ):
        extra = (child - m["start"] - here) / frames * 1e6
        lines.append(
            f"| {name} | {child:.3f} | {here:.3f} | {child / here:.2f}× | "
            f"{extra:+.0f} µs |"
        )
    lines += [
        "",
        f"Starting the child process and reading one frame: {m['start']:.3f} s.",
        "",
        (
            "The child process costs a fixed start (a new interpreter importing "
            "MDAnalysis and reading the topology) and a copy of the read atoms per "
            "frame through a pipe; it reads while this process fits."
        ),
        END_MARK,
    ]
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--results", type=Path, default=HERE / "results.md")
    args = parser.parse_args(argv)
    section = report(measure(args.frames))
    # Its own markers: the section replaces only an earlier trajectory one.
    write_section(args.results, section, START_MARK, END_MARK)
    sys.stdout.write(section + "\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
