"""The exact least-squares tensor: kelfit.linear against NumPy, side by side.

1. One fit of ubiquitin's 68 N-H couplings: ``kelfit.linear`` against what a
   NumPy user writes (unit vectors, the design, ``np.linalg.lstsq`` and
   ``np.linalg.eigh`` of the order matrix).
2. A stack of 10,000 ubiquitin-size problems (ubiquitin's vectors, random
   tensors, 1 Hz noise) in one call on one thread, against NumPy's batched
   solve: ``einsum`` normal equations, ``np.linalg.solve`` and a batched
   ``eigh``, with NumPy's BLAS held to one thread.
3. The same stack with ``workers=2`` against ``workers=1``.

Every ratio is against a baseline measured in the same run; the goals are
reported, never asserted. ``make bench`` runs it after many_bench.py: it
adds its section to bench/results.md (replacing an earlier one).

    python bench/linear_bench.py [--problems 10000]
"""

from __future__ import annotations

import os

# One thread for NumPy's BLAS and LAPACK, set before NumPy loads them: the
# batched baseline is measured on one thread, as kelfit.linear's is.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_variable] = "1"

import argparse
import sys
import time
import timeit
from collections.abc import Callable
from pathlib import Path

import kelfit
import numpy as np
from benchdata import ubiquitin, write_section
from numpy.typing import NDArray

Array = NDArray[np.float64]

HERE = Path(__file__).resolve().parent
START_MARK = "<!-- linear: start -->"
END_MARK = "<!-- linear: end -->"

# Goals (reported, never asserted).
GOAL_ONE_FIT = 20.0  # kelfit.linear over lstsq + eigh, at least
GOAL_STACK = 5.0  # per problem, over NumPy's batched solve, at least
GOAL_TWO_WORKERS = 1.8  # workers=2 over workers=1, at least
NOISE_HZ = 1.0
#: Timed runs of each measurement; the fastest counts, as the one least
#: disturbed by other work on the machine.
REPEATS = 5


def numpy_fit(vectors: Array, observed: Array) -> tuple[Array, Array]:
    """The order matrix by lstsq and its eigen-decomposition, as users write it."""
    u = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
    x, y, z = u.T
    design = np.column_stack(
        [x * x - z * z, y * y - z * z, 2 * x * y, 2 * x * z, 2 * y * z]
    )
    s, *_ = np.linalg.lstsq(design, observed, rcond=None)
    matrix = np.array(
        [[s[0], s[2], s[3]], [s[2], s[1], s[4]], [s[3], s[4], -s[0] - s[1]]]
    )
    values, _ = np.linalg.eigh(matrix)
    return matrix, values


def numpy_batched(vectors: Array, observed: Array) -> tuple[Array, Array]:
    """Order matrices of a stack: normal equations by einsum, then solve and eigh."""
    u = vectors / np.linalg.norm(vectors, axis=2, keepdims=True)
    x, y, z = u[..., 0], u[..., 1], u[..., 2]
    design = np.stack(
        [x * x - z * z, y * y - z * z, 2 * x * y, 2 * x * z, 2 * y * z], axis=2
    )
    normal = np.einsum("fni,fnj->fij", design, design)
    right = np.einsum("fni,fn->fi", design, observed)
    s = np.linalg.solve(normal, right[..., None])[..., 0]
    matrices = np.stack(
        [
            s[:, 0],
            s[:, 2],
            s[:, 3],
            s[:, 2],
            s[:, 1],
            s[:, 4],
            s[:, 3],
            s[:, 4],
            -s[:, 0] - s[:, 1],
        ],
        axis=1,
    ).reshape(-1, 3, 3)
    values, _ = np.linalg.eigh(matrices)
    return matrices, values


def best_seconds(call: Callable[[], object], number: int) -> float:
    """The fastest of REPEATS runs of ``number`` calls, per call."""
    return min(timeit.repeat(call, number=number, repeat=REPEATS)) / number


def stack(vectors: Array, count: int) -> tuple[Array, Array]:
    """count problems on the same vectors: random tensors (seeded), noise."""
    rng = np.random.default_rng(2026)
    observed = np.empty((count, len(vectors)))
    for f in range(count):
        params = np.array(
            [
                *rng.uniform(-np.pi, np.pi, 3),
                rng.choice([-1.0, 1.0]) * rng.uniform(5.0, 20.0),
                rng.uniform(0.0, 0.6),
                0.0,
            ]
        )
        observed[f] = kelfit.solve(vectors, params) + rng.normal(
            0.0, NOISE_HZ, len(vectors)
        )
    return np.ascontiguousarray(
        np.broadcast_to(vectors, (count, *vectors.shape))
    ), observed


def largest_relative(a: Array, b: Array) -> float:
    """The largest relative difference between matching matrices of two stacks."""
    a = a.reshape(-1, 9)
    b = b.reshape(-1, 9)
    return float(np.max(np.linalg.norm(a - b, axis=1) / np.linalg.norm(b, axis=1)))


def mark(met: bool) -> str:
    return "met" if met else "missed"


def measure(problems: int) -> dict[str, float]:
    data = ubiquitin()
    vectors, observed = data.vectors, data.observed
    out: dict[str, float] = {"n": float(len(observed)), "problems": float(problems)}
    out["one_kelfit"] = best_seconds(lambda: kelfit.linear(vectors, observed), 20_000)
    out["one_numpy"] = best_seconds(lambda: numpy_fit(vectors, observed), 2_000)
    out["one_agreement"] = largest_relative(
        kelfit.linear(vectors, observed).order_matrix, numpy_fit(vectors, observed)[0]
    )
    many_vectors, many_observed = stack(vectors, problems)
    out["stack_kelfit"] = best_seconds(
        lambda: kelfit.linear(many_vectors, many_observed), 1
    )
    out["stack_two"] = best_seconds(
        lambda: kelfit.linear(many_vectors, many_observed, workers=2), 1
    )
    out["stack_numpy"] = best_seconds(
        lambda: numpy_batched(many_vectors, many_observed), 1
    )
    one = kelfit.linear(many_vectors, many_observed)
    two = kelfit.linear(many_vectors, many_observed, workers=2)
    out["two_same_bits"] = float(
        all(
            np.asarray(getattr(one, name)).tobytes()
            == np.asarray(getattr(two, name)).tobytes()
            for name in ("params", "order_matrix", "values", "cost")
        )
    )
    out["stack_agreement"] = largest_relative(
        one.order_matrix, numpy_batched(many_vectors, many_observed)[0]
    )
    return out


def report(m: dict[str, float]) -> str:
    one_ratio = m["one_numpy"] / m["one_kelfit"]
    per_kelfit = m["stack_kelfit"] / m["problems"]
    per_numpy = m["stack_numpy"] / m["problems"]
    stack_ratio = per_numpy / per_kelfit
    workers_ratio = m["stack_kelfit"] / m["stack_two"]
    lines = [
        START_MARK,
        "## The exact tensor: `kelfit.linear` against NumPy (`bench/linear_bench.py`)",
        "",
        f"Run {time.strftime('%Y-%m-%d %H:%M')}; load average "
        + " ".join(f"{v:.2f}" for v in os.getloadavg())
        + f"; {os.cpu_count()} cores; NumPy {np.__version__} on one BLAS thread.",
        "",
        "| measurement | kelfit | NumPy (or 1 worker) | ratio | goal |",
        "|---|---:|---:|---:|---|",
        (
            f"| one ubiquitin N-H fit ({int(m['n'])} couplings), µs | "
            f"{m['one_kelfit'] * 1e6:.2f} | {m['one_numpy'] * 1e6:.1f} (lstsq + eigh) | "
            f"{one_ratio:.1f}× | ≥ {GOAL_ONE_FIT:.0f}×: {mark(one_ratio >= GOAL_ONE_FIT)} |"
        ),
        (
            f"| stack of {int(m['problems']):,} problems, µs per problem | "
            f"{per_kelfit * 1e6:.2f} | {per_numpy * 1e6:.2f} (einsum + solve + eigh) | "
            f"{stack_ratio:.1f}× | ≥ {GOAL_STACK:.0f}×: {mark(stack_ratio >= GOAL_STACK)} |"
        ),
        (
            f"| the stack on 2 workers, s | {m['stack_two']:.4f} | "
            f"{m['stack_kelfit']:.4f} (1 worker) | {workers_ratio:.2f}× | "
            f"≥ {GOAL_TWO_WORKERS}×: {mark(workers_ratio >= GOAL_TWO_WORKERS)} |"
        ),
        "",
        (
            f"Largest relative difference of the order matrices from NumPy's: "
            f"{m['one_agreement']:.1e} (one fit), {m['stack_agreement']:.1e} (the stack, "
            f"normal equations); 2 workers give the same bits as 1: "
            f"{'yes' if m['two_same_bits'] else 'NO'}."
        ),
        END_MARK,
    ]
    return "\n".join(lines)


def update_results(results: Path, section: str) -> None:
    """Put the section into results.md, in place of an earlier one."""
    write_section(results, section, START_MARK, END_MARK)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--problems", type=int, default=10_000)
    parser.add_argument("--results", type=Path, default=HERE / "results.md")
    args = parser.parse_args(argv)
    section = report(measure(args.problems))
    update_results(args.results, section)
    sys.stdout.write(section + "\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
