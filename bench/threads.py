"""Thread scaling of kelfit.fit: fits per second on one thread and on two.

kelfit.fit lets go of the interpreter's lock while it computes, so fits on
two threads should run side by side; the original entry c_kf_fdc holds the
lock and is measured beside it, in the same run, as the baseline.

Run alone with ``python bench/threads.py``; ``make bench`` includes it.
"""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass
from typing import Callable

import kelfit
import numpy as np
from benchdata import Dataset, ubiquitin

FITS_PER_THREAD = 3000
REPEATS = 3  # best of, against noise from the rest of the machine


def _fit_new(dataset: Dataset) -> None:
    kelfit.fit(dataset.vectors, dataset.observed, dataset.start)


def _fit_legacy(dataset: Dataset) -> None:
    kelfit.c_kf_fdc(5, dataset.vectors, dataset.observed, dataset.start.copy())


def fits_per_second(
    fit: Callable[[Dataset], None], dataset: Dataset, threads: int, fits: int
) -> float:
    """Fits per second with `threads` threads, each making `fits` fits."""
    best = float("inf")
    for _ in range(REPEATS):
        ready = threading.Barrier(threads + 1)

        def work(ready: threading.Barrier = ready) -> None:
            ready.wait()
            for _ in range(fits):
                fit(dataset)

        workers = [threading.Thread(target=work) for _ in range(threads)]
        for worker in workers:
            worker.start()
        ready.wait()
        began = time.perf_counter()
        for worker in workers:
            worker.join()
        best = min(best, time.perf_counter() - began)
    return threads * fits / best


@dataclass(frozen=True)
class Scaling:
    """Fits per second on one and two threads, for one entry."""

    entry: str
    one: float
    two: float

    @property
    def ratio(self) -> float:
        return self.two / self.one


def measure(dataset: Dataset, fits: int = FITS_PER_THREAD) -> list[Scaling]:
    """Both entries on one and two threads, the same fits throughout."""
    rows = []
    for name, fit in (
        ("kelfit.fit", _fit_new),
        ("c_kf_fdc (holds the GIL)", _fit_legacy),
    ):
        fit(dataset)  # warm
        one = fits_per_second(fit, dataset, 1, fits)
        two = fits_per_second(fit, dataset, 2, fits)
        rows.append(Scaling(name, one, two))
    return rows


def table(dataset: Dataset, rows: list[Scaling]) -> str:
    """A markdown table of the measurement."""
    lines = [
        f"{dataset.name}, {FITS_PER_THREAD:,} fits per thread, best of {REPEATS}.",
        "",
        "| entry | 1 thread (fits/s) | 2 threads (fits/s) | 2 threads / 1 |",
        "|---|---:|---:|---:|",
    ]
    for row in rows:
        lines.append(
            f"| {row.entry} | {row.one:,.0f} | {row.two:,.0f} | {row.ratio:.2f} |"
        )
    return "\n".join(lines)


def main() -> None:
    dataset = ubiquitin()
    # The same bits on every thread: checked before anything is timed.
    expected = kelfit.fit(dataset.vectors, dataset.observed, dataset.start).params
    assert np.array_equal(
        expected, kelfit.fit(dataset.vectors, dataset.observed, dataset.start).params
    )
    print(table(dataset, measure(dataset)))


if __name__ == "__main__":
    main()
