"""Fits on a real Dask cluster give the same bits as local threads."""

from __future__ import annotations

import json
import os
from collections.abc import Iterator
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import back_calculate, fit_many, monte_carlo
from kelfit_tools.cluster import scheduler_address, scheduler_executor
from tools_support import random_params, run_kelfit

distributed = pytest.importorskip("distributed")

VECTORS = np.random.default_rng(3).normal(size=(50, 3))


@pytest.fixture(scope="module")
def cluster() -> Iterator[object]:
    # Two worker processes of one thread each: small, and a real network hop.
    with distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        host="127.0.0.1",
    ) as local:
        yield local


def _problems(count: int) -> list[tuple[np.ndarray, np.ndarray]]:
    rng = np.random.default_rng(8)
    return [
        (VECTORS, back_calculate(VECTORS, random_params(rng)) + rng.normal(0, 1, 50))
        for _ in range(count)
    ]


def test_fits_and_monte_carlo_match_local_threads(cluster: object) -> None:
    problems = _problems(40)
    local = fit_many(problems, workers=2, progress=False)
    mc_local = monte_carlo(VECTORS, problems[0][1], 20, seed=4, progress=False)
    with scheduler_executor(cluster) as executor:
        remote = fit_many(problems, executor=executor, progress=False, batch=3)
        mc_remote = monte_carlo(
            VECTORS, problems[0][1], 20, seed=4, executor=executor, progress=False
        )
        # A failure on a worker comes back naming the problem.
        bad = [*problems[:2], (VECTORS[:4], np.zeros(4))]
        with pytest.raises(ValueError, match="problem 2: need at least 5"):
            fit_many(bad, executor=executor, progress=False)
    assert [r.params.tobytes() for r in remote] == [r.params.tobytes() for r in local]
    assert mc_remote.da.tobytes() == mc_local.da.tobytes()
    assert mc_remote.axis_spread_deg == mc_local.axis_spread_deg


def test_scheduler_address_comes_from_the_option_or_the_environment(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    monkeypatch.delenv("KELFIT_SCHEDULER", raising=False)
    assert scheduler_address(None) is None
    monkeypatch.setenv("KELFIT_SCHEDULER", "tcp://10.1.2.3:8786")
    assert scheduler_address(None) == "tcp://10.1.2.3:8786"
    assert scheduler_address("tcp://127.0.0.1:1") == "tcp://127.0.0.1:1"


def test_an_unreachable_scheduler_is_one_clear_error() -> None:
    # Nothing listens on port 1 of the loopback address.
    with (
        pytest.raises(ValueError, match="cannot reach the Dask scheduler"),
        scheduler_executor("tcp://127.0.0.1:1", timeout=1.0),
    ):
        pass


def test_the_command_line_sends_every_model_and_refit_to_the_scheduler(
    cluster: object, tmp_path: Path
) -> None:
    from kelfit_tools.example import example

    ex = example()
    args = ["fit", "--structure", ex.structure, "--couplings", ex.couplings]
    args += ["--models", "all", "--errors", "8", "--seed", "5", "--json", "-q"]
    local = run_kelfit(*args)
    env = dict(os.environ, KELFIT_SCHEDULER=cluster.scheduler_address)  # type: ignore[attr-defined]
    remote = run_kelfit(*args, env=env)
    assert local.returncode == 0 and remote.returncode == 0, remote.stderr
    assert json.loads(remote.stdout) == json.loads(local.stdout)
    # The option names a scheduler too, and wins over the environment.
    env["KELFIT_SCHEDULER"] = "tcp://127.0.0.1:1"
    address = cluster.scheduler_address  # type: ignore[attr-defined]
    again = run_kelfit(*args[:-1], "--scheduler", address, env=env, cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    # The record of how it was run differs (-q left out): the results may not.
    run_record = ("command", "options", "notes")
    expected = {k: v for k, v in json.loads(remote.stdout).items() if k not in run_record}
    got = {k: v for k, v in json.loads(again.stdout).items() if k not in run_record}
    assert got == expected
    assert f"fitting on the Dask cluster at {address}" in again.stderr
