"""Fits on a real Dask cluster give the same bits as local threads; a lost
worker is survived, a lost scheduler ends the run in bounded time.

Every cluster here binds ephemeral ports (scheduler and dashboard), so two
test runs on one machine do not meet."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import threading
from collections.abc import Iterator
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import back_calculate, fit_many, monte_carlo
from kelfit_tools.cluster import (
    CONNECT_TIMEOUT,
    TIMEOUT_VARIABLE,
    SchedulerLost,
    connect_timeout,
    scheduler_address,
    scheduler_executor,
)
from kelfit_tools.many import iter_fits
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
        scheduler_port=0,
        dashboard_address=":0",
        host="127.0.0.1",
    ) as local:
        yield local


#: A scheduler (with one worker thread) in a process of its own, which the
#: tests kill; it prints its address.
SCHEDULER_SCRIPT = """
import time, distributed
with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                              protocol="tcp", host="127.0.0.1", scheduler_port=0,
                              dashboard_address=":0") as cluster:
    print(cluster.scheduler_address, flush=True)
    time.sleep(600)
"""


@pytest.fixture
def doomed_scheduler() -> Iterator[tuple[str, subprocess.Popen]]:
    process = subprocess.Popen(
        [sys.executable, "-c", SCHEDULER_SCRIPT],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    assert process.stdout is not None
    address = process.stdout.readline().strip()
    try:
        assert address.startswith("tcp://127.0.0.1:"), address
        yield address, process
    finally:
        process.kill()
        process.wait(timeout=60)
        process.stdout.close()


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
        with pytest.raises(
            ValueError,
            match="problem 2: the vector directions do not determine the tensor",
        ):
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
    expected = {
        k: v for k, v in json.loads(remote.stdout).items() if k not in run_record
    }
    got = {k: v for k, v in json.loads(again.stdout).items() if k not in run_record}
    assert got == expected
    assert f"fitting on the Dask cluster at {address}" in again.stderr


def test_a_lost_scheduler_ends_the_run_with_one_error(
    doomed_scheduler: tuple[str, subprocess.Popen],
) -> None:
    address, process = doomed_scheduler
    outcome: list[BaseException | int] = []

    def consume() -> None:
        try:
            with scheduler_executor(address, timeout=5.0) as executor:
                results = iter_fits(
                    _problems(4000), executor=executor, progress=False, batch=2
                )
                count = 0
                for _ in results:
                    count += 1
                    if count == 1:  # the cluster works: now lose it
                        process.send_signal(signal.SIGKILL)
                outcome.append(count)
        except BaseException as exc:  # noqa: BLE001 - handed to the test
            outcome.append(exc)

    # Run in a thread, so that a hang fails the test instead of blocking it.
    runner = threading.Thread(target=consume, daemon=True)
    runner.start()
    runner.join(timeout=240)
    assert not runner.is_alive(), "the run waits forever for a lost scheduler"
    (error,) = outcome
    assert isinstance(error, SchedulerLost), error
    assert isinstance(error, ValueError)  # the CLI's one-line errors
    assert str(error).startswith(f"lost the Dask scheduler at {address}")


@pytest.mark.parametrize(
    ("text", "seconds"),
    [(None, CONNECT_TIMEOUT), ("", CONNECT_TIMEOUT), ("2.5", 2.5), ("0", None),
     ("-1", None), ("inf", None), ("nan", None), ("soon", None)],
)  # fmt: skip
def test_the_wait_for_a_scheduler_from_the_environment(
    monkeypatch: pytest.MonkeyPatch, text: str | None, seconds: float | None
) -> None:
    if text is None:
        monkeypatch.delenv(TIMEOUT_VARIABLE, raising=False)
    else:
        monkeypatch.setenv(TIMEOUT_VARIABLE, text)
    if seconds is None:
        with pytest.raises(ValueError, match=TIMEOUT_VARIABLE):
            connect_timeout()
    else:
        assert connect_timeout() == seconds


def test_the_command_line_reports_a_lost_scheduler_in_one_line(
    doomed_scheduler: tuple[str, subprocess.Popen],
) -> None:
    from kelfit_tools.example import example

    address, process = doomed_scheduler
    ex = example()
    command = [sys.executable, "-m", "kelfit_tools", "fit", "--structure",
               ex.structure, "--couplings", ex.couplings, "--errors", "300000",
               "--scheduler", address]  # fmt: skip
    # The run gives the lost scheduler a few seconds, not the default half
    # minute, to come back.
    kelfit = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env={**os.environ, TIMEOUT_VARIABLE: "3"},
    )  # fmt: skip
    assert kelfit.stderr is not None
    lines = []
    for line in kelfit.stderr:
        lines.append(line)
        if "fitting on the Dask cluster at" in line:
            process.send_signal(signal.SIGKILL)
            break
    out, rest = kelfit.communicate(timeout=240)
    lines += rest.splitlines(keepends=True)
    assert kelfit.returncode == 1, "".join(lines)
    assert "Traceback" not in "".join(lines) and "CancelledError" not in "".join(lines)
    assert lines[-1].startswith(
        f"kelfit fit: error: lost the Dask scheduler at {address}"
    )
    assert out == ""


def test_a_killed_worker_does_not_change_the_results(cluster: object) -> None:
    problems = _problems(600)
    local = fit_many(problems, workers=2, progress=False)
    with distributed.Client(cluster, set_as_default=False) as client:
        pids = client.run(os.getpid)
        with scheduler_executor(cluster) as executor:
            remote = []
            for result in iter_fits(
                problems, executor=executor, progress=False, batch=2
            ):
                remote.append(result)
                if len(remote) == 1:  # one worker dies mid-run
                    os.kill(next(iter(pids.values())), signal.SIGKILL)
    assert [r.params.tobytes() for r in remote] == [r.params.tobytes() for r in local]


# distributed leaves the socket of the taken port unclosed: its leak, not ours.
@pytest.mark.filterwarnings("ignore::ResourceWarning")
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_a_taken_port_is_no_failure_under_warnings_as_errors() -> None:
    # Another run on this machine holds the port a cluster asks for: the
    # cluster warns and takes another, and the suite's warning filter lets it.
    import socket

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        with distributed.LocalCluster(
            n_workers=0,
            processes=False,
            protocol="tcp",
            host="127.0.0.1",
            scheduler_port=0,
            dashboard_address=f"127.0.0.1:{port}",
        ) as local:
            assert local.scheduler_address.startswith("tcp://127.0.0.1:")
