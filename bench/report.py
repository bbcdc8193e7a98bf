"""Run every benchmark and write one markdown report (``make bench``).

1. Cost per vector-evaluation in C++ (kelfit_model_bench, Google Benchmark):
   the reference path against the production cost.
2. Whole fits, the module against SciPy's Powell, on ubiquitin's measured
   N-H couplings and on synthetic sets.
3. Growth with N up to 10^6: time, cost evaluations, memory.

Ratios are always against a baseline measured in the same run. The goals
are reported, never asserted: a benchmark does not pass or fail.

    python bench/report.py [--build-dir build/bench] [--max-n 1000000]
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from benchdata import NOISE_SD, ROOT, TRUE_TENSOR, synthetic, ubiquitin
from fit_vs_scipy import (
    COMPARED_SIZES,
    PEER_ENV_DROP,
    Comparison,
    compare,
    comparison_table,
)
from growth import (
    GROWTH_SIZES,
    GrowthRow,
    decomposition,
    growth_exponents,
    growth_table,
    measure_growth,
    plot,
)

HERE = Path(__file__).resolve().parent

# The goals the benchmarks report against (never asserted).
GOAL_FAST_NS = 10.0  # ns per vector-evaluation, at most
GOAL_EXACT_OVER_FAST = 8.0  # at least
GOAL_FIT_SPEEDUP = 5.0  # whole fit against the peer, at least
# A final cost higher than the peer's by less than this (relative) is
# reported as negligibly worse rather than worse: both fits then sit at the
# same minimum, apart by their stopping rules.
COST_NEGLIGIBLE = 1e-5
# Past this many seconds per fit the peer is not run at larger N.
PEER_SLOW_SECONDS = 60.0


def machine() -> dict[str, str]:
    """CPU model, cores, OS and versions, for the report's head."""
    model = "unknown CPU"
    flags: set[str] = set()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as handle:
            for line in handle:
                key, _, value = line.partition(":")
                if key.strip() == "model name" and model == "unknown CPU":
                    model = value.strip()
                if key.strip() == "flags" and not flags:
                    flags = set(value.split())
    except OSError:
        pass
    simd = ", ".join(
        f for f in ("sse4_2", "avx", "avx2", "fma", "avx512f") if f in flags
    )
    import numpy
    import scipy

    load = os.getloadavg() if hasattr(os, "getloadavg") else (float("nan"),) * 3
    return {
        "cpu": model,
        "cores": str(os.cpu_count()),
        "simd": simd or "n/a",
        "os": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "numpy": numpy.__version__,
        "scipy": scipy.__version__,
        "load": " ".join(f"{v:.2f}" for v in load),
    }


KERNELS = ("exact", "scalar", "pairs", "avx2")
# Not a kernel: the serial float sum alone, the floor under every kernel.
SERIAL_SUM = "serial_sum"


@dataclass(frozen=True)
class CostRow:
    """Median ns per vector-evaluation of the cost with each kernel, at one N.

    Attributes:
        n: vectors.
        ns: kernel -> ns per vector-evaluation; None where the kernel did not
            run (not available on this processor, or its cost differed).
        active: the kernel the module uses on this machine.
        declined: vectors the fast path sends to the exact path, per
            evaluation (mean over the points timed).
        skipped: kernel -> why it did not run.
    """

    n: int
    ns: dict[str, float | None]
    active: str
    declined: float
    skipped: dict[str, str]

    @property
    def active_ns(self) -> float:
        """ns per vector-evaluation of the production cost."""
        value = self.ns[self.active]
        return float("nan") if value is None else value

    @property
    def ratio(self) -> float:
        """Exact over the active kernel."""
        exact = self.ns["exact"]
        return float("nan") if exact is None else exact / self.active_ns


def run_model_bench(binary: Path) -> tuple[list[CostRow], dict[str, Any]]:
    """Run kelfit_model_bench, five repetitions, and read the medians."""
    done = subprocess.run(
        [
            str(binary),
            "--benchmark_format=json",
            "--benchmark_repetitions=5",
            "--benchmark_report_aggregates_only=true",
        ],
        capture_output=True,
        text=True,
        check=False,
    )
    if done.returncode != 0:
        raise RuntimeError(f"{binary.name} failed:\n{done.stderr}")
    report = json.loads(done.stdout)
    medians: dict[tuple[str, int], dict[str, Any]] = {}
    errors: dict[tuple[str, int], str] = {}
    for entry in report["benchmarks"]:
        kind, n = entry["run_name"].split("/")[:2]
        key = (kind.removeprefix("cost_"), int(n))
        if entry.get("error_occurred"):
            errors[key] = str(entry.get("error_message", "skipped"))
        elif entry.get("aggregate_name") == "median":
            medians[key] = entry
    rows = []
    for n in sorted({n for _, n in list(medians) + list(errors)}):
        floor = medians.get((SERIAL_SUM, n))
        ns: dict[str, float | None] = {
            SERIAL_SUM: None if floor is None else _ns(floor) / n
        }
        active = "exact"
        declined = 0.0
        for kernel in KERNELS:
            entry = medians.get((kernel, n))
            ns[kernel] = None if entry is None else _ns(entry) / n
            if entry is not None:
                declined = float(entry["declined"])
                if entry.get("active", 0.0) >= 0.5:
                    active = kernel
        skipped = {k: errors[(k, n)] for k in KERNELS if (k, n) in errors}
        rows.append(CostRow(n, ns, active, declined, skipped))
    return rows, report["context"]


def _ns(entry: dict[str, Any]) -> float:
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[entry["time_unit"]]
    return float(entry["real_time"]) * scale


def _cell(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.1f}"


def cost_table(rows: list[CostRow]) -> str:
    """Markdown for the C++ cost benchmark."""
    lines = [
        (
            "| N | exact ns | scalar ns | pairs ns | AVX2 ns | serial sum alone ns "
            "| active kernel | exact/active "
            f"| declined to exact | active <= {GOAL_FAST_NS:g} ns "
            f"| exact/active >= {GOAL_EXACT_OVER_FAST:g}x |"
        ),
        "|---:|---:|---:|---:|---:|---:|:---:|---:|---:|:---:|:---:|",
    ]
    for row in rows:
        lines.append(
            f"| {row.n:,} | {_cell(row.ns['exact'])} | {_cell(row.ns['scalar'])} "
            f"| {_cell(row.ns['pairs'])} | {_cell(row.ns['avx2'])} "
            f"| {_cell(row.ns[SERIAL_SUM])} "
            f"| {row.active} | {row.ratio:.2f}x "
            f"| {row.declined:.1f} ({row.declined / row.n:.3%}) "
            f"| {_mark(row.active_ns <= GOAL_FAST_NS)} "
            f"| {_mark(row.ratio >= GOAL_EXACT_OVER_FAST)} |"
        )
    return "\n".join(lines)


def _mark(met: bool) -> str:
    return "met" if met else "**missed**"


def cost_verdict(row: Comparison) -> str:
    """How the module's final cost compares with the peer's."""
    if row.scipy is None:
        return "no peer"
    mine, peer = row.kelfit.cost, row.scipy.cost
    relative = (mine - peer) / peer
    if relative <= 0:
        return "no worse"
    if relative <= COST_NEGLIGIBLE:
        return f"negligibly worse (+{relative:.1e} relative)"
    return f"**worse** by {relative:.2%}"


def goals(
    costs: list[CostRow], comparisons: list[Comparison], exponents: dict[str, float]
) -> str:
    """The goals against what was measured."""
    lines = ["| goal | measured | verdict |", "|---|---|:---:|"]
    active = costs[0].active if costs else "exact"
    # Where AVX2 is missing, the portable two-lane kernel takes over.
    kernels = [active] + (["pairs"] if active != "pairs" else [])
    for kernel in kernels:
        ns = [r.ns[kernel] for r in costs]
        exact = [r.ns["exact"] for r in costs]
        if any(v is None for v in ns + exact):
            continue
        speeds = [float(v) for v in ns if v is not None]
        ratios = [float(e) / float(v) for e, v in zip(exact, ns) if e and v]
        which = (
            f"{kernel} kernel, active here"
            if kernel == active
            else f"{kernel} kernel, where AVX2 is missing"
        )
        lines.append(
            f"| fast path <= {GOAL_FAST_NS:g} ns per vector-evaluation ({which}) "
            f"| {min(speeds):.1f} to {max(speeds):.1f} ns "
            f"| {_mark(max(speeds) <= GOAL_FAST_NS)} |"
        )
        lines.append(
            f"| fast path >= {GOAL_EXACT_OVER_FAST:g}x below exact ({which}) "
            f"| {min(ratios):.2f}x to {max(ratios):.2f}x "
            f"| {_mark(min(ratios) >= GOAL_EXACT_OVER_FAST)} |"
        )
    for row in comparisons:
        if row.scipy is None:
            continue
        lines.append(
            f"| whole fit >= {GOAL_FIT_SPEEDUP:g}x faster than SciPy, {row.name} "
            f"| {row.speedup:.2f}x | {_mark(row.speedup >= GOAL_FIT_SPEEDUP)} |"
        )
        verdict = cost_verdict(row)
        lines.append(
            f"| final cost no worse than SciPy, {row.name} "
            f"| {row.kelfit.cost:.6f} vs {row.scipy.cost:.6f} "
            f"| {'met' if verdict == 'no worse' else verdict} |"
        )
    mine = exponents["kelfit"]
    lines.append(
        f"| linear growth (fit time ~ N^1 from N = 10,000) | N^{mine:.2f} "
        f"| {_mark(abs(mine - 1.0) <= 0.1)} |"
    )
    return "\n".join(lines)


def notes(
    context: dict[str, Any],
    dropped: tuple[str, ...],
    peer_skipped: list[int],
    load_before: str,
    load_after: str,
) -> str:
    """What a reader needs to trust (or distrust) the numbers."""
    a1, a2, a3, da, r = TRUE_TENSOR
    items = [
        (
            "Cost benchmark: `kelfit_model_bench`, Release build of `kelfit_core` in "
            "`build/bench` with the project's flags (-O2 -ffp-contract=off); 5 "
            "repetitions, medians. Every column times `cost_no_offset`, the production "
            "cost, with one value kernel made active (`use_value_kernel`): *exact* takes "
            "every value by the reference path (`model_value`), so it is the baseline "
            "in the same loop and the same run; *active* is the kernel the module "
            "chooses on this processor. Before timing, each kernel's cost must equal "
            "the exact kernel's to the bit. The data are Gaussian random vectors, with "
            "the narrowed components made once as a fit makes them; the cost is "
            "evaluated at 61 parameter points around the true tensor in turn, as a "
            "fit moves, so that no branch history repeats."
        ),
        (
            "Whole fits: each side of each data set runs in its own interpreter; time "
            "is the median over the repeats shown, after one warm-up fit under "
            "tracemalloc (not timed). Both final costs are the mean squared deviation "
            "recomputed in double by one NumPy function from each side's final "
            "parameters."
        ),
        (
            "Peer: `scipy.optimize.minimize(method='Powell')` with its default options "
            "over (a1, a2, a3, Da, Dr); the cost in NumPy, algebraically "
            "(cos^2 theta = z'^2/r^2, sin^2 theta cos 2 phi = (x'^2 - y'^2)/r^2), the "
            "vectors laid out as 3 x N once and 1/r^2 taken once per fit. The module "
            "side is `c_kf_fdc(5, ...)`."
        ),
        (
            f"Synthetic data: Gaussian random vectors, tensor a = ({a1}, {a2}, {a3}) rad, "
            f"Da = {da}, R = {r}, Gaussian noise sd {NOISE_SD}, seeded by N. Start: the "
            "known tensor (synthetic) or the linear least-squares optimum (ubiquitin) "
            "moved by (+0.15, -0.12, +0.20) rad, Da x 1.15, R + 0.05."
        ),
        (
            "Ubiquitin: `couplings.tab` of the `ubiquitin` data set shipped with kelfit "
            "(`kelfit data`), N-H couplings only, "
            "vectors from `1d3z-model-1.pdb`, read with `kelfit_tools`."
        ),
        (
            "kelfit evaluations are counted by `kelfit_fit_count`, which runs the same "
            "fit driver on the same data with a counting cost; its fitted parameters "
            "equal the module's to the bit (else the table says so)."
        ),
        (
            "Memory: how far one fit raises the resident set above where it "
            "started (the allocator's free memory handed back and the peak reset "
            "first), per vector, in the side's own process; *traced* is "
            "tracemalloc's peak over the same fit (Python, NumPy and PyMem "
            "allocations, which include the module's narrowed components but not its "
            "row table)."
        ),
        "OpenBLAS overrides for the peer's runs: "
        + (
            "unset " + ", ".join(f"`{name}`" for name in dropped) + " (they were set)."
            if dropped
            else f"neither {' nor '.join(f'`{n}`' for n in PEER_ENV_DROP)} was set."
        ),
        (
            f"Load average before {load_before}, after {load_after}: other work on "
            "the machine shows up as noise in every number."
        ),
    ]
    if context.get("library_build_type") == "debug":
        items.append(
            "Google Benchmark warns 'Library was built as DEBUG': that is the "
            "distribution's build of the benchmark library itself; the code "
            "measured is built Release (-O2)."
        )
    if peer_skipped:
        shown = ", ".join(f"{n:,}" for n in peer_skipped)
        items.append(f"The peer was skipped at N = {shown}: its fits were too slow.")
    return "\n".join(f"- {item}" for item in items)


def main(argv: list[str] | None = None) -> int:
    """Run everything, write results.md and scaling.png, print the report."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--out", type=Path, default=HERE / "results.md")
    parser.add_argument("--plot", type=Path, default=HERE / "scaling.png")
    parser.add_argument(
        "--max-n", type=int, default=GROWTH_SIZES[-1], help="largest N of the growth"
    )
    args = parser.parse_args(argv)
    began = time.perf_counter()
    info = machine()
    load_before = info["load"]

    def say(message: str) -> None:
        print(f"bench: {message}", file=sys.stderr, flush=True)

    say("cost per vector-evaluation (C++)")
    costs, context = run_model_bench(args.build_dir / "bench" / "kelfit_model_bench")

    comparisons: list[Comparison] = []
    with tempfile.TemporaryDirectory(prefix="kelfit-bench-") as scratch:
        folder = Path(scratch)
        datasets = [ubiquitin()] + [
            synthetic(n) for n in COMPARED_SIZES if n <= args.max_n
        ]
        for k, dataset in enumerate(datasets):
            say(f"fitting {dataset.name}")
            comparisons.append(compare(dataset, folder / f"compare-{k}"))
        done = {c.n: c for c in comparisons[1:]}
        sizes = tuple(n for n in GROWTH_SIZES if n <= args.max_n)
        growth = measure_growth_guarded(folder, args.build_dir, done, sizes, say)
    exponents = growth_exponents(growth)
    peer_skipped = [row.n for row in growth if row.comparison.scipy is None]
    dropped = next(
        (c.scipy.env_dropped for c in comparisons if c.scipy is not None), ()
    )

    say("thread scaling")
    import threads

    thread_rows = threads.measure(datasets[0])
    thread_section = threads.table(datasets[0], thread_rows)

    info["load_after"] = " ".join(f"{v:.2f}" for v in os.getloadavg())
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    mine, peer = exponents["kelfit"], exponents["scipy"]
    document = "\n".join(
        [
            "# kelfit benchmarks",
            "",
            (
                f"Run {stamp} (`make bench`), {time.perf_counter() - began:.0f} s. "
                f"Machine: {info['cpu']}, {info['cores']} cores ({info['simd']}); "
                f"{info['os']}; Python {info['python']}, NumPy {info['numpy']}, "
                f"SciPy {info['scipy']}."
            ),
            "",
            "## Cost per vector-evaluation (C++)",
            "",
            cost_table(costs),
            "",
            "## Whole fits against SciPy's Powell",
            "",
            comparison_table(comparisons),
            "",
            "## Growth with N",
            "",
            growth_table(growth),
            "",
            decomposition(growth),
            "",
            (
                f"Fit time grows as N^{mine:.2f} (kelfit) and N^{_exp(peer)} (SciPy), "
                "least squares on log-log from N = 10,000. Plot: `bench/scaling.png`."
            ),
            "",
            "## Threads",
            "",
            thread_section,
            "",
            "## Goals",
            "",
            goals(costs, comparisons, exponents),
            "",
            "## How it was measured",
            "",
            notes(context, dropped, peer_skipped, load_before, info["load_after"]),
            "",
        ]
    )
    args.out.write_text(document, encoding="utf-8")
    plot(
        growth,
        args.plot,
        machine=f"{info['cpu']}, {info['cores']} cores",
        real=comparisons[0] if comparisons else None,
    )
    print(document)
    say(f"wrote {_shown(args.out)} and {_shown(args.plot)}")
    return 0


def _exp(value: float) -> str:
    return "n/a" if math.isnan(value) else f"{value:.2f}"


def _shown(path: Path) -> str:
    try:
        return str(path.resolve().relative_to(ROOT))
    except ValueError:
        return str(path)


def measure_growth_guarded(
    folder: Path,
    build_dir: Path,
    done: dict[int, Comparison],
    sizes: tuple[int, ...],
    say: Any,
) -> list[GrowthRow]:
    """The growth sizes in turn; the peer stops once its fits get too slow."""
    binary = build_dir / "bench" / "kelfit_fit_count"
    rows: list[GrowthRow] = []
    peer_limit = sizes[-1] if sizes else 0
    for n in sizes:
        if n not in done:
            say(f"fitting synthetic {n:,}")
        rows += measure_growth(folder, binary, done, (n,), peer_limit, progress=False)
        peer = rows[-1].comparison.scipy
        if peer is not None and statistics.median(peer.seconds) > PEER_SLOW_SECONDS:
            peer_limit = n
    return rows


if __name__ == "__main__":
    sys.exit(main())
