"""Many fits at once: the same bits on every executor, in order, streaming."""

from __future__ import annotations

import dataclasses
import importlib.util
import io
import multiprocessing
import sys
from collections.abc import Iterator
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path

import kelfit
import numpy as np
import pytest
from kelfit_tools import (
    FitResult,
    FitTable,
    MissingExtra,
    back_calculate,
    fit,
    many,
    monte_carlo,
)
from kelfit_tools.many import FitFailed, fit_many, iter_fits
from tools_support import random_params

RNG = np.random.default_rng(11)
VECTORS = RNG.normal(size=(40, 3))


def _problems(count: int) -> list:
    """Tuples, tuples with a start and keyword mappings, mixed."""
    rng = np.random.default_rng(5)
    problems: list = []
    for k in range(count):
        truth = random_params(rng, offset=0.7)
        observed = back_calculate(VECTORS, truth) + rng.normal(0, 0.5, len(VECTORS))
        if k % 3 == 0:
            problems.append((VECTORS, observed))
        elif k % 3 == 1:
            problems.append((VECTORS, observed, truth[:5] + 0.05))
        else:
            problems.append({"vectors": VECTORS, "observed": observed, "offset": True})
    return problems


def _one_by_one(problems: list) -> list:
    return [fit(**p) if isinstance(p, dict) else fit(*p) for p in problems]


def _same_bits(expected: list, actual: list) -> None:
    assert len(actual) == len(expected)
    for k, (e, a) in enumerate(zip(expected, actual)):
        assert e.params.tobytes() == a.params.tobytes(), f"problem {k}"
        assert e.cost == a.cost and e.offset_fitted == a.offset_fitted
        # Every array and statistic, also of results sent back packed.
        for name in ("observed", "calculated", "residuals"):
            assert getattr(e, name).tobytes() == getattr(a, name).tobytes(), name
        for name in ("rmsd", "q", "pearson_r", "q_da", "method", "converged"):
            assert getattr(e, name) == getattr(a, name), (k, name)


PROBLEMS = _problems(30)
EXPECTED = _one_by_one(PROBLEMS)


@pytest.mark.parametrize(
    "kwargs",
    [{"workers": 1}, {"workers": 3}, {"workers": 2, "batch": 1}],
    ids=["one-thread", "three-threads", "batches-of-one"],
)
def test_threads_give_the_sequential_bits_in_order(kwargs: dict) -> None:
    _same_bits(EXPECTED, fit_many(PROBLEMS, progress=False, **kwargs))


def _weighted_problems(count: int) -> list:
    """Linear problems with sigma and scale, of two lengths."""
    rng = np.random.default_rng(8)
    out = []
    for k in range(count):
        n = 40 if k < count // 2 else 25
        out.append(
            {
                "vectors": VECTORS[:n],
                "observed": back_calculate(VECTORS[:n], random_params(rng))
                + rng.normal(0, 0.5, n),
                "sigma": rng.uniform(0.5, 2.0, n),
                "scale": rng.uniform(0.5, 1.5, n),
            }
        )
    return out


@pytest.mark.parametrize(
    ("problems", "kwargs"),
    [
        (PROBLEMS, {"workers": 2}),
        (PROBLEMS, {"executor": "threads"}),
        (_weighted_problems(12), {"workers": 1, "batch": 5}),
    ],
    ids=["linear-powell-offset", "thread-pool", "weighted-two-lengths"],
)
def test_a_table_holds_the_results_fit_many_gives(problems: list, kwargs: dict) -> None:
    def fits(**extra: object) -> object:
        if kwargs.get("executor") != "threads":
            return fit_many(problems, progress=False, **kwargs, **extra)
        with ThreadPoolExecutor(2) as pool:
            return fit_many(problems, progress=False, executor=pool, **extra)

    listed = fits()
    table = fits(as_table=True)
    assert isinstance(table, FitTable) and len(table) == len(listed)
    for rows in (table.results(), FitTable.from_results(listed).results()):
        for k, (expected, row) in enumerate(zip(listed, rows)):
            for field in dataclasses.fields(FitResult):
                a, b = getattr(expected, field.name), getattr(row, field.name)
                assert type(a) is type(b), (k, field.name)
                if isinstance(a, np.ndarray):
                    assert a.tobytes() == b.tobytes(), (k, field.name)
                else:
                    assert a == b, (k, field.name)
    # The columns: the fields to the bit, the statistics to rounding.
    assert table.params.tobytes() == np.array([r.params for r in listed]).tobytes()
    assert table.dr.tolist() == [r.dr for r in listed]
    assert table.converged.tolist() == [r.converged for r in listed]
    np.testing.assert_allclose(table.q, [r.q for r in listed], rtol=1e-13)
    np.testing.assert_allclose(table.rms, [r.rmsd for r in listed], rtol=1e-13)


def test_a_table_goes_out_as_parquet(tmp_path: Path) -> None:
    pq = pytest.importorskip("pyarrow.parquet")
    table = fit_many(PROBLEMS[:6], progress=False, as_table=True)
    table.to_parquet(str(tmp_path / "fits.parquet"))
    back = pq.read_table(tmp_path / "fits.parquet").to_pydict()
    assert back["da"] == table.da.tolist() and back["method"] == list(table.method)
    assert back["axy"] == table.order_matrices[:, 0, 1].tolist()
    if importlib.util.find_spec("pandas") is None:
        with pytest.raises(MissingExtra, match="needs pandas"):
            table.to_pandas()
    else:
        assert table.to_pandas()["q"].tolist() == table.q.tolist()


def test_any_executor_and_a_process_pool_give_the_same_bits() -> None:
    with ThreadPoolExecutor(2) as pool:
        _same_bits(EXPECTED, fit_many(PROBLEMS, executor=pool, progress=False))
    # spawn: a fresh interpreter per worker, as on macOS and Windows.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(2, mp_context=context) as pool:
        _same_bits(EXPECTED, fit_many(PROBLEMS, executor=pool, progress=False))
        # A failure inside a worker process comes back naming its problem.
        bad = [*PROBLEMS[:4], (VECTORS[:3], np.zeros(3)), *PROBLEMS[4:6]]
        with pytest.raises(
            FitFailed, match="problem 4: the vector directions do not determine"
        ) as caught:
            fit_many(bad, executor=pool, progress=False)
        assert caught.value.index == 4


def _refuse_seven(shared: object, item: int) -> int:
    if item == 7:
        raise ValueError("seven")
    return item


def _refuse_seven_whole(shared: object, items: list[int]) -> list[int]:
    if 7 in items:
        raise FitFailed(items.index(7), "seven")
    return items


@pytest.mark.parametrize("whole", [False, True])
@pytest.mark.parametrize("batch", [1, 3, 4])
def test_a_failure_in_a_later_batch_names_its_global_index(
    batch: int, whole: bool
) -> None:
    function = _refuse_seven_whole if whole else _refuse_seven
    with pytest.raises(FitFailed, match="problem 7: seven") as caught:
        list(
            many.map_batches(
                function, None, range(12), workers=2, batch=batch,
                whole_batches=whole, progress=False,
            )
        )  # fmt: skip
    assert caught.value.index == 7
    # The problem-level path too: batches of 2, the sixth problem refused.
    bad = [*PROBLEMS[:5], (VECTORS[:3], np.zeros(3)), *PROBLEMS[5:7]]
    with pytest.raises(FitFailed, match="problem 5: ") as fitted:
        fit_many(bad, batch=batch + 1, workers=2, progress=False)
    assert fitted.value.index == 5


def test_shared_options_and_empty_input() -> None:
    plain = [(VECTORS, p[1]) for p in PROBLEMS[:4] if isinstance(p, tuple)]
    with_offset = fit_many(plain, offset=True, progress=False)
    assert all(r.offset_fitted for r in with_offset)
    assert (
        with_offset[0].params.tobytes() == fit(*plain[0], offset=True).params.tobytes()
    )
    assert fit_many([], progress=False) == []


def test_a_problems_own_options_win_over_shared_ones() -> None:
    observed = PROBLEMS[0][1]
    own = {"vectors": VECTORS, "observed": observed, "offset": True}
    results = fit_many([own, (VECTORS, observed)], offset=False, progress=False)
    assert results[0].offset_fitted and not results[1].offset_fitted
    alone = fit(VECTORS, observed, offset=True)
    assert results[0].params.tobytes() == alone.params.tobytes()


@pytest.mark.parametrize(
    ("problems", "kwargs", "error", "message"),
    [
        ([np.zeros(3)], {}, TypeError, "a problem is a tuple"),
        (PROBLEMS[:2], {"workers": 0}, ValueError, "workers must be at least 1"),
    ],
)
def test_rejects_bad_input(
    problems: list, kwargs: dict, error: type, message: str
) -> None:
    with pytest.raises(error, match=message):
        fit_many(problems, progress=False, **kwargs)


def test_streams_with_a_bounded_number_of_problems_in_flight() -> None:
    pulled = 0

    def endless() -> Iterator[tuple]:
        nonlocal pulled
        while True:
            pulled += 1
            yield PROBLEMS[0]

    stream = iter_fits(endless(), workers=2, progress=False)
    for _ in range(50):
        next(stream)
    stream.close()
    # Two workers, four batches each of at most 256 problems in flight.
    assert 50 <= pulled <= 50 + 2 * 4 * 256


def test_no_progress_bar_when_stderr_is_not_a_terminal(
    capsys: pytest.CaptureFixture[str],
) -> None:
    fit_many(PROBLEMS, progress=True)
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("method", ["noise", "bootstrap"])
def test_monte_carlo_is_the_same_bits_on_any_workers(method: str) -> None:
    observed = PROBLEMS[0][1]

    def run(**kwargs: object):  # type: ignore[no-untyped-def]
        return monte_carlo(
            VECTORS,
            observed,
            24,
            perturbation=method,
            seed=7,
            progress=False,
            **kwargs,
            keep_refits=True,
        )

    one = run(workers=1)
    with ThreadPoolExecutor(3) as pool:
        others = [run(workers=2), run(executor=pool)]
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(2, mp_context=context) as pool:
        others.append(run(executor=pool))
    for other in others:
        assert one.da.tobytes() == other.da.tobytes()
        assert one.r.tobytes() == other.r.tobytes()
        assert one.axis_spread_deg == other.axis_spread_deg
    # Replicate k draws from the k-th spawned stream whatever the count, so
    # more replicates extend the first ones instead of reshuffling them.
    longer = monte_carlo(
        VECTORS,
        observed,
        30,
        perturbation=method,
        seed=7,
        progress=False,
        keep_refits=True,
    )
    assert longer.da[:24].tobytes() == one.da.tobytes()


def test_monte_carlo_seeds() -> None:
    observed = PROBLEMS[0][1]
    by_int = monte_carlo(VECTORS, observed, 5, seed=3, progress=False, keep_refits=True)
    by_sequence = monte_carlo(
        VECTORS,
        observed,
        5,
        seed=np.random.SeedSequence(3),
        progress=False,
        keep_refits=True,
    )
    assert by_int.da.tobytes() == by_sequence.da.tobytes()
    # One generator across calls: reproducible, and a new stream each call.
    rng_a, rng_b = np.random.default_rng(9), np.random.default_rng(9)
    first = monte_carlo(
        VECTORS, observed, 5, seed=rng_a, progress=False, keep_refits=True
    )
    second = monte_carlo(
        VECTORS, observed, 5, seed=rng_a, progress=False, keep_refits=True
    )
    assert not np.array_equal(first.da, second.da)
    again = monte_carlo(
        VECTORS, observed, 5, seed=rng_b, progress=False, keep_refits=True
    )
    assert again.da.tobytes() == first.da.tobytes()


def test_monte_carlo_replicate_k_is_a_fit_of_the_kth_stream() -> None:
    observed = PROBLEMS[0][1]
    best = fit(VECTORS, observed)
    mc = monte_carlo(
        VECTORS, observed, 4, seed=12, result=best, progress=False, keep_refits=True
    )
    key = int(np.random.SeedSequence(12).generate_state(1, np.uint64)[0])
    noise = np.full(len(VECTORS), best.rmsd)
    for k in (0, 3):
        drawn = kelfit.replicates(
            VECTORS, observed, seed=key, first=k, noise=noise, drawn=True
        )
        assert np.array_equal(drawn[0], VECTORS) and drawn[2] is None
        refit = fit(VECTORS, drawn[1]).params
        assert (mc.da[k], mc.r[k]) == (refit[3], refit[4])


class _Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_progress_bar_shows_the_rate_on_a_terminal_for_long_runs(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    terminal = _Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    monkeypatch.setattr(many, "_PROGRESS_AFTER", 0.0)
    pytest.importorskip("rich")
    fit_many(PROBLEMS, workers=1, batch=2)
    drawn = terminal.getvalue()
    assert "Fitting" in drawn and "/s" in drawn
    # Off when asked, even on a terminal.
    terminal.truncate(0)
    fit_many(PROBLEMS, workers=1, batch=2, progress=False)
    assert terminal.getvalue() == ""
