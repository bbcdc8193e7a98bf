"""Whole fits: the module's c_kf_fdc against SciPy's Powell on the same data.

Each side of each data set runs in its own interpreter, so that the memory
it reports is its own and the peer can run with the environment NumPy runs
best in (see PEER_ENV_DROP). Run on its own, this prints the comparison
table; ``make bench`` runs it through report.py with the other benchmarks.

    python bench/fit_vs_scipy.py
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import tracemalloc
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from benchdata import (
    FITTERS,
    Dataset,
    final_cost,
    read_dataset,
    synthetic,
    to_q,
    ubiquitin,
    write_dataset,
)

HERE = Path(__file__).resolve().parent

# OpenBLAS tuning overrides some machines set; they slow NumPy's small
# matrix products, so the peer runs without them (and the results say so).
PEER_ENV_DROP = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")

COMPARED_SIZES = (1_000, 10_000, 100_000)


def repeats_for(n: int) -> int:
    """Timed fits per side: many where a fit takes milliseconds, few at large N."""
    if n < 1_000:
        return 51
    if n <= 10_000:
        return 11
    if n <= 100_000:
        return 7
    if n <= 300_000:
        return 5
    return 3


def _status_bytes(key: str) -> int | None:
    """A memory line of /proc/self/status (Linux), in bytes."""
    try:
        with open("/proc/self/status", encoding="ascii") as handle:
            for line in handle:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def _start_peak() -> int | None:
    """Resident bytes now, with the peak reset to them; None where unsupported.

    Freed heap the allocator still holds would take a fit's first
    allocations without any new resident page, hiding them, so it is handed
    back to the system first.
    """
    try:
        ctypes.CDLL(None).malloc_trim(0)
        with open("/proc/self/clear_refs", "w", encoding="ascii") as handle:
            handle.write("5")  # resets the peak resident size (VmHWM)
    except (OSError, AttributeError):
        return None
    return _status_bytes("VmRSS")


def _max_rss_bytes() -> int:
    # Linux reports kilobytes.
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _peak_growth(start: int | None, max_rss_before: int) -> int:
    """Peak resident bytes above start; where /proc cannot say, the growth of
    ru_maxrss (which misses a fit that stays below an earlier peak)."""
    peak = _status_bytes("VmHWM")
    if start is None or peak is None:
        return _max_rss_bytes() - max_rss_before
    return max(peak - start, 0)


def worker(side: str, folder: Path, repeats: int) -> dict[str, Any]:
    """One side, one data set: a traced fit for memory, then timed fits."""
    dataset = read_dataset(folder)
    fitter = FITTERS[side]
    # Imports and first-call costs land before the memory baseline.
    head = min(dataset.n, 100)
    fitter(
        Dataset(
            "warm-up", dataset.vectors[:head], dataset.observed[:head], dataset.start
        )
    )

    max_rss_before = _max_rss_bytes()
    start = _start_peak()
    tracemalloc.start()
    traced = fitter(dataset)
    traced_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    peak_growth = _peak_growth(start, max_rss_before)
    outcomes = [fitter(dataset) for _ in range(repeats)]

    # Both sides are deterministic; a fit that moved between repeats would
    # make the times incomparable.
    for outcome in outcomes:
        if not np.array_equal(outcome.q, traced.q):
            raise RuntimeError(f"{side} on {dataset.name}: repeated fits differ")
    return {
        "side": side,
        "n": dataset.n,
        "seconds": [o.seconds for o in outcomes],
        "q": [float(v) for v in traced.q],
        "evaluations": traced.evaluations,
        "cost": final_cost(traced.q, dataset),
        "start_cost": final_cost(to_q(dataset.start), dataset),
        "traced_peak_bytes": traced_peak,
        "peak_rss_bytes": peak_growth,
    }


@dataclass(frozen=True)
class SideResult:
    """What one side's worker reported."""

    side: str
    n: int
    seconds: list[float]
    q: list[float]
    evaluations: int
    cost: float
    start_cost: float
    traced_peak_bytes: int
    peak_rss_bytes: int
    env_dropped: tuple[str, ...]

    @property
    def median(self) -> float:
        """Median seconds per fit."""
        return statistics.median(self.seconds)


def measure(side: str, folder: Path, repeats: int) -> SideResult:
    """Run the worker for one side in a fresh interpreter."""
    env = dict(os.environ)
    dropped: tuple[str, ...] = ()
    if side == "scipy":
        dropped = tuple(name for name in PEER_ENV_DROP if name in env)
        for name in dropped:
            del env[name]
    command = [sys.executable, str(HERE / "fit_vs_scipy.py"), "--worker", side]
    command += [str(folder), str(repeats)]
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"{side} worker on {folder} failed:\n{done.stderr}")
    report = json.loads(done.stdout)
    return SideResult(env_dropped=dropped, **report)


@dataclass(frozen=True)
class Comparison:
    """Both sides on one data set."""

    name: str
    n: int
    kelfit: SideResult
    scipy: SideResult | None  # None where the peer was skipped

    @property
    def speedup(self) -> float:
        """Peer time over module time (above 1: the module is faster)."""
        if self.scipy is None:
            return float("nan")
        return self.scipy.median / self.kelfit.median


def compare(dataset: Dataset, folder: Path, run_peer: bool = True) -> Comparison:
    """Write the data set once, then measure both sides on it."""
    write_dataset(dataset, folder)
    repeats = repeats_for(dataset.n)
    mine = measure("kelfit", folder, repeats)
    peer = measure("scipy", folder, repeats) if run_peer else None
    return Comparison(dataset.name, dataset.n, mine, peer)


def _ms(seconds: float) -> str:
    return f"{seconds * 1e3:,.2f}" if seconds < 10 else f"{seconds * 1e3:,.0f}"


def comparison_table(rows: list[Comparison]) -> str:
    """Markdown: time per fit, the ratio and both final costs."""
    lines = [
        (
            "| data | N | repeats | kelfit ms/fit | SciPy ms/fit | SciPy/kelfit "
            "| kelfit final cost | SciPy final cost | kelfit - SciPy cost | start cost |"
        ),
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for row in rows:
        peer = row.scipy
        if peer is None:
            lines.append(
                f"| {row.name} | {row.n:,} | {len(row.kelfit.seconds)} "
                f"| {_ms(row.kelfit.median)} | skipped | - | {row.kelfit.cost:.6f} | - "
                f"| - | {row.kelfit.start_cost:.4f} |"
            )
            continue
        lines.append(
            f"| {row.name} | {row.n:,} | {len(row.kelfit.seconds)} "
            f"| {_ms(row.kelfit.median)} | {_ms(peer.median)} | {row.speedup:.2f}x "
            f"| {row.kelfit.cost:.6f} | {peer.cost:.6f} "
            f"| {row.kelfit.cost - peer.cost:+.2e} | {row.kelfit.start_cost:.4f} |"
        )
    return "\n".join(lines)


def compared_datasets() -> list[Dataset]:
    """The real data, then the synthetic sets of the comparison."""
    return [ubiquitin()] + [synthetic(n) for n in COMPARED_SIZES]


def main(argv: list[str] | None = None) -> int:
    """Standalone: print the comparison table."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--worker", nargs=3, metavar=("SIDE", "DIR", "REPEATS"))
    args = parser.parse_args(argv)
    if args.worker:
        side, folder, repeats = args.worker
        print(json.dumps(worker(side, Path(folder), int(repeats))))
        return 0
    with tempfile.TemporaryDirectory(prefix="kelfit-bench-") as scratch:
        rows = [
            compare(dataset, Path(scratch) / str(k))
            for k, dataset in enumerate(compared_datasets())
        ]
    print(comparison_table(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
