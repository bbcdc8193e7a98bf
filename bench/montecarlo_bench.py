"""Monte Carlo and bootstrap replicates: the module's replicate loop against a
NumPy fit, and two threads against one.

1. A replicate of ubiquitin's 68 N-H couplings (Gaussian noise, and the
   bootstrap) in ``kelfit.replicates``, and through ``monte_carlo`` whole,
   against one NumPy fit of the same problem (``np.linalg.lstsq`` and
   ``np.linalg.eigh``: what a replicate in NumPy costs at the least).
2. The replicates on 2 workers against 1, with the same bits; beside it the
   speed-up of a trivially parallel loop (SHA-256 of two buffers, which
   releases the interpreter's lock), to show whether the machine gives two
   cores at the moment.

Ratios are against baselines measured in the same run; nothing is asserted.
``make bench`` runs it and adds its section to bench/results.md (replacing
an earlier one).

    python bench/montecarlo_bench.py [--replicates 20000]
"""

from __future__ import annotations

import argparse
import hashlib
import os
import sys
import threading
import time
import timeit
from collections.abc import Callable
from pathlib import Path

import kelfit
import numpy as np
from benchdata import ubiquitin, write_section
from kelfit_tools import fit, monte_carlo
from linear_bench import numpy_fit

HERE = Path(__file__).resolve().parent
START_MARK = "<!-- montecarlo: start -->"
END_MARK = "<!-- montecarlo: end -->"
#: Timed runs of each measurement; the fastest counts.
REPEATS = 5
#: Bytes each thread hashes in the parallel baseline.
HASHED = 32 * 2**20


def best_seconds(call: Callable[[], object], number: int = 1) -> float:
    """The fastest of REPEATS runs of ``number`` calls, per call."""
    return min(timeit.repeat(call, number=number, repeat=REPEATS)) / number


def hash_speedup() -> float:
    """Two buffers hashed on two threads against one after the other."""
    buffers = [os.urandom(HASHED), os.urandom(HASHED)]

    def serial() -> None:
        for b in buffers:
            hashlib.sha256(b).digest()

    def parallel() -> None:
        threads = [
            threading.Thread(target=lambda b=b: hashlib.sha256(b).digest())
            for b in buffers
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    return best_seconds(serial) / best_seconds(parallel)


def measure(replicates: int) -> dict[str, float]:
    data = ubiquitin()
    v, o = data.vectors, data.observed
    best = fit(v, o)
    noise = np.full(len(o), best.rmsd)
    out: dict[str, float] = {"n": float(len(o)), "replicates": float(replicates)}

    def loop(perturbation: str, workers: int) -> kelfit.ReplicatesResult:
        return kelfit.replicates(
            v, o, seed=1, count=replicates, perturbation=perturbation, noise=noise,
            draws=50, workers=workers,
        )  # fmt: skip

    for how in ("noise", "bootstrap"):
        for workers in (1, 2):
            out[f"{how}_{workers}"] = (
                best_seconds(lambda: loop(how, workers)) / replicates  # noqa: B023
            )
        one, two = loop(how, 1), loop(how, 2)
        out[f"{how}_same"] = float(
            one.params.tobytes() == two.params.tobytes()
            and one.order_matrix.tobytes() == two.order_matrix.tobytes()
        )
    out["whole"] = (
        best_seconds(
            lambda: monte_carlo(
                v, o, replicates, result=best, seed=1, progress=False, workers=1
            )
        )
        / replicates
    )
    out["numpy"] = best_seconds(lambda: numpy_fit(v, o), 2_000)
    out["hash"] = hash_speedup()
    return out


def report(m: dict[str, float]) -> str:
    rows = []
    for how, label in (("noise", "Gaussian noise"), ("bootstrap", "bootstrap")):
        one, two = m[f"{how}_1"], m[f"{how}_2"]
        rows.append(
            f"| {label}, `kelfit.replicates` | {one * 1e6:.2f} | "
            f"{m['numpy'] / one:.1f}× | {two * 1e6:.2f} | {one / two:.2f}× | "
            f"{'yes' if m[f'{how}_same'] else 'NO'} |"
        )
    rows.append(
        f"| Gaussian noise, `monte_carlo` whole | {m['whole'] * 1e6:.2f} | "
        f"{m['numpy'] / m['whole']:.1f}× | | | |"
    )
    lines = [
        START_MARK,
        "## Monte Carlo replicates (`bench/montecarlo_bench.py`)",
        "",
        f"Run {time.strftime('%Y-%m-%d %H:%M')}; load average "
        + " ".join(f"{v:.2f}" for v in os.getloadavg())
        + f"; {os.cpu_count()} cores; ubiquitin N-H ({int(m['n'])} couplings), "
        f"{int(m['replicates']):,} replicates a run. One NumPy fit (lstsq + eigh) "
        f"of the same problem: {m['numpy'] * 1e6:.1f} µs.",
        "",
        (
            "| replicates | µs each, 1 worker | against a NumPy fit "
            "| µs each, 2 workers | 2 workers over 1 | same bits |"
        ),
        "|---|---:|---:|---:|---:|---|",
        *rows,
        "",
        (
            f"A trivially parallel loop (SHA-256 of two {HASHED // 2**20} MB "
            f"buffers) runs {m['hash']:.2f}× as fast on two threads as on one in "
            "the same run: the speed-up the machine allowed."
        ),
        END_MARK,
    ]
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--replicates", type=int, default=20_000)
    parser.add_argument("--results", type=Path, default=HERE / "results.md")
    args = parser.parse_args(argv)
    section = report(measure(args.replicates))
    write_section(args.results, section, START_MARK, END_MARK)
    sys.stdout.write(section + "\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
