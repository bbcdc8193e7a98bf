"""Growth with N: fit time, cost evaluations and memory, up to 10^6 vectors.

The module cannot say how many cost evaluations a fit made, so
kelfit_fit_count (fit_count.cpp) runs the same fit driver on the same data
with a counting cost, and its fitted parameters must equal the module's to
the bit, or the count belongs to some other fit and is marked so.

    python bench/growth.py [--fit-count PATH] [--plot FILE]
"""

from __future__ import annotations

import argparse
import json
import math
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from benchdata import ROOT, synthetic, to_q, write_dataset
from fit_vs_scipy import Comparison, SideResult, compare

GROWTH_SIZES = (100, 300, 1_000, 3_000, 10_000, 30_000, 100_000, 300_000, 1_000_000)
FIT_COUNT = ROOT / "build" / "bench" / "bench" / "kelfit_fit_count"
# Sizes from which on the exponent is fitted: below, fixed per-fit costs
# (interpreter, argument checks, SciPy's own bookkeeping) still show.
EXPONENT_FROM = 10_000


@dataclass(frozen=True)
class DriverCount:
    """What kelfit_fit_count reported for one data set."""

    evaluations: int
    runs: int
    seconds: float
    same_fit: bool  # its parameters equal the module's, bit for bit


@dataclass(frozen=True)
class GrowthRow:
    """One N: both sides' fits and the evaluation count of the module's."""

    comparison: Comparison
    count: DriverCount

    @property
    def n(self) -> int:
        """Number of vectors."""
        return self.comparison.n


def count_evaluations(folder: Path, kelfit: SideResult, binary: Path) -> DriverCount:
    """Run the counting driver on the data in folder."""
    done = subprocess.run(
        [str(binary), str(folder), "1"], capture_output=True, text=True, check=False
    )
    if done.returncode != 0:
        raise RuntimeError(f"{binary.name} failed on {folder}:\n{done.stderr}")
    report: dict[str, Any] = json.loads(done.stdout)
    q = to_q(np.array(report["params"], dtype=np.float64))
    return DriverCount(
        evaluations=int(report["evaluations"]),
        runs=int(report["runs"]),
        seconds=float(report["seconds"][0]),
        same_fit=bool(np.array_equal(q, np.array(kelfit.q))),
    )


def measure_growth(
    folder: Path,
    binary: Path,
    done: dict[int, Comparison] | None = None,
    sizes: tuple[int, ...] = GROWTH_SIZES,
    peer_limit: int = GROWTH_SIZES[-1],
    progress: bool = True,
) -> list[GrowthRow]:
    """Every size: reuse a comparison already made, else make it; then count.

    The peer is skipped above peer_limit vectors.
    """
    rows = []
    for n in sizes:
        dataset = synthetic(n)
        where = folder / f"growth-{n}"
        if done is not None and n in done:
            comparison = done[n]
            write_dataset(dataset, where)
        else:
            if progress:
                print(f"bench: fitting {dataset.name}", file=sys.stderr, flush=True)
            comparison = compare(dataset, where, run_peer=n <= peer_limit)
        rows.append(
            GrowthRow(comparison, count_evaluations(where, comparison.kelfit, binary))
        )
    return rows


def _per_vector_eval_ns(seconds: float, evaluations: int, n: int) -> float:
    return seconds / (evaluations * n) * 1e9 if evaluations else float("nan")


def exponent(sizes: list[int], seconds: list[float]) -> float:
    """Least-squares slope of log time against log N (1 means linear)."""
    picked = [(n, s) for n, s in zip(sizes, seconds) if n >= EXPONENT_FROM]
    if len(picked) < 2:
        return float("nan")
    x = np.log([n for n, _ in picked])
    y = np.log([s for _, s in picked])
    return float(np.polyfit(x, y, 1)[0])


def growth_exponents(rows: list[GrowthRow]) -> dict[str, float]:
    """The fitted exponents of both sides."""
    mine = exponent([r.n for r in rows], [r.comparison.kelfit.median for r in rows])
    peer_rows = [r for r in rows if r.comparison.scipy is not None]
    peer = exponent(
        [r.n for r in peer_rows],
        [
            r.comparison.scipy.median
            for r in peer_rows
            if r.comparison.scipy is not None
        ],
    )
    return {"kelfit": mine, "scipy": peer}


def _seconds(value: float) -> str:
    return f"{value:.4f}" if value < 1 else f"{value:.2f}"


def _memory(side: SideResult) -> str:
    """Peak resident and traced bytes per vector."""
    return f"{side.peak_rss_bytes / side.n:.1f}, {side.traced_peak_bytes / side.n:.1f}"


def growth_table(rows: list[GrowthRow]) -> str:
    """Markdown: per N, time, evaluations, time per vector-evaluation, memory."""
    lines = [
        (
            "| N | kelfit s/fit | C++ driver s/fit | kelfit evals | kelfit ns/vector-eval "
            "| kelfit peak B/vector (RSS, traced) | SciPy s/fit | SciPy evals "
            "| SciPy ns/vector-eval | SciPy peak B/vector (RSS, traced) | SciPy/kelfit |"
        ),
        "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for row in rows:
        mine, peer, count = row.comparison.kelfit, row.comparison.scipy, row.count
        evals = f"{count.evaluations}" + ("" if count.same_fit else " (other fit!)")
        cells = [
            f"{row.n:,}",
            _seconds(mine.median),
            _seconds(count.seconds),
            evals,
            f"{_per_vector_eval_ns(mine.median, count.evaluations, row.n):.1f}",
            _memory(mine),
        ]
        if peer is None:
            cells += ["skipped", "-", "-", "-", "-"]
        else:
            cells += [
                _seconds(peer.median),
                f"{peer.evaluations}",
                f"{_per_vector_eval_ns(peer.median, peer.evaluations, row.n):.1f}",
                _memory(peer),
                f"{row.comparison.speedup:.2f}x",
            ]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def decomposition(rows: list[GrowthRow]) -> str:
    """Where the whole-fit ratio comes from, from N = EXPONENT_FROM on.

    SciPy/kelfit time = (SciPy evaluations / kelfit evaluations) x (SciPy
    ns per vector-evaluation / kelfit ns per vector-evaluation).
    """
    counts, speeds = [], []
    for row in rows:
        peer = row.comparison.scipy
        if peer is None or row.n < EXPONENT_FROM or not row.count.evaluations:
            continue
        mine_ns = _per_vector_eval_ns(
            row.comparison.kelfit.median, row.count.evaluations, row.n
        )
        peer_ns = _per_vector_eval_ns(peer.median, peer.evaluations, row.n)
        counts.append(row.count.evaluations / peer.evaluations)
        speeds.append(peer_ns / mine_ns)
    if not counts:
        return ""
    return (
        f"From N = {EXPONENT_FROM:,} on, kelfit makes {min(counts):.2f}x to "
        f"{max(counts):.2f}x as many cost evaluations per fit as the peer, and each "
        f"costs {min(speeds):.2f}x to {max(speeds):.2f}x less per vector: the fit "
        "ratio is the quotient of the two."
    )


def plot(
    rows: list[GrowthRow],
    path: Path,
    machine: str = "",
    real: Comparison | None = None,
) -> None:
    """Fit time against N, both sides, log-log, with a line through N^1.

    real, when given, is drawn as two unconnected points (measured data).
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = [r.n for r in rows]
    figure, axes = plt.subplots(figsize=(7.5, 5.5), dpi=120)
    axes.loglog(
        sizes,
        [r.comparison.kelfit.median for r in rows],
        "o-",
        label="kelfit c_kf_fdc (module call)",
    )
    axes.loglog(
        sizes, [r.count.seconds for r in rows], "s--", label="kelfit fit driver (C++)"
    )
    peer_rows = [r for r in rows if r.comparison.scipy is not None]
    axes.loglog(
        [r.n for r in peer_rows],
        [
            r.comparison.scipy.median
            for r in peer_rows
            if r.comparison.scipy is not None
        ],
        "^-",
        label="SciPy minimize(method='Powell'), NumPy cost",
    )
    if real is not None and real.scipy is not None:
        axes.loglog(
            [real.n],
            [real.kelfit.median],
            "*",
            color="C0",
            markersize=11,
            label=f"kelfit, {real.name}",
        )
        axes.loglog(
            [real.n],
            [real.scipy.median],
            "*",
            color="C2",
            markersize=11,
            label=f"SciPy, {real.name}",
        )
    last = rows[-1]
    reference = [last.comparison.kelfit.median * n / last.n for n in sizes]
    axes.loglog(
        sizes, reference, ":", color="grey", label="linear growth (through kelfit)"
    )
    axes.set_xlabel("vectors N")
    axes.set_ylabel("seconds per fit (median)")
    title = "Whole-fit time against N"
    axes.set_title(title + (f"\n{machine}" if machine else ""), fontsize=10)
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


def main(argv: list[str] | None = None) -> int:
    """Standalone: measure every size and print the growth table."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fit-count", type=Path, default=FIT_COUNT)
    parser.add_argument("--plot", type=Path, default=None)
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="kelfit-bench-") as scratch:
        rows = measure_growth(Path(scratch), args.fit_count)
    print(growth_table(rows))
    for side, value in growth_exponents(rows).items():
        shown = "n/a" if math.isnan(value) else f"{value:.2f}"
        print(f"{side}: time grows as N^{shown}")
    if args.plot is not None:
        plot(rows, args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
