"""Fits on a Dask cluster, for work bigger than one machine (needs distributed).

A running ``dask.distributed`` scheduler, with workers on as many machines
as you like, takes the fits of :func:`~kelfit_tools.fit_many`,
:func:`~kelfit_tools.monte_carlo` and the trajectory fits through the
standard executor protocol::

    with scheduler_executor("tcp://head-node:8786") as executor:
        results = fit_many(problems, executor=executor)

The workers need kelfit installed, the same version as here.

A scheduler that goes away during a run is waited for at most
:data:`CONNECT_TIMEOUT` seconds, or ``KELFIT_SCHEDULER_TIMEOUT`` when set
(the time the client spends trying to reconnect); then every pending result raises :class:`SchedulerLost`
("lost the Dask scheduler at ADDRESS"), as it does at once when the
scheduler's loss cancels the running work. A lost worker is not an error:
the scheduler runs its tasks again elsewhere.
"""

from __future__ import annotations

import contextlib
import logging
import math
import os
import threading
import time
from collections.abc import Callable, Iterator
from concurrent.futures import CancelledError, Executor, Future, InvalidStateError
from contextlib import contextmanager
from typing import Any

from ._extras import MissingExtra

__all__ = [
    "CONNECT_TIMEOUT",
    "SCHEDULER_VARIABLE",
    "TIMEOUT_VARIABLE",
    "SchedulerLost",
    "connect_timeout",
    "quiet_cluster_logs",
    "scheduler_address",
    "scheduler_executor",
]

#: The environment variable that names a scheduler when no address is given.
SCHEDULER_VARIABLE = "KELFIT_SCHEDULER"

DASK_HINT = "pip install 'kelfit[dask]'"

#: Seconds to wait for the scheduler to answer, at the start or after it
#: went away during a run, before giving up.
CONNECT_TIMEOUT = 30.0

#: The environment variable that sets the seconds to wait in place of
#: :data:`CONNECT_TIMEOUT` (a slow network, or a test that loses its cluster
#: on purpose).
TIMEOUT_VARIABLE = "KELFIT_SCHEDULER_TIMEOUT"

#: Seconds between two looks at the client's connection during a run.
_WATCH_INTERVAL = 0.25

#: The client's states in which it will not reconnect any more.
_GONE = frozenset({"closing", "closed", "failed"})


class SchedulerLost(ValueError):
    """The Dask scheduler went away during a run and did not come back."""


def scheduler_address(address: str | None = None) -> str | None:
    """``address``, or else ``KELFIT_SCHEDULER`` when set; None for neither."""
    if address:
        return address
    return os.environ.get(SCHEDULER_VARIABLE) or None


def connect_timeout() -> float:
    """Seconds to wait for a scheduler: ``KELFIT_SCHEDULER_TIMEOUT`` when
    set, else :data:`CONNECT_TIMEOUT`.

    Raises:
        ValueError: the variable is not a positive number of seconds.
    """
    text = os.environ.get(TIMEOUT_VARIABLE)
    if not text:
        return CONNECT_TIMEOUT
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not (seconds > 0 and math.isfinite(seconds)):
        raise ValueError(
            f"{TIMEOUT_VARIABLE} must be a positive number of seconds, got {text!r}"
        )
    return seconds


def _distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise MissingExtra(f"a Dask scheduler needs distributed: {DASK_HINT}") from None
    return distributed


class _WatchedFuture(Future[Any]):
    """A cluster task's result, which the watch can fail when the scheduler
    is lost; cancelling it cancels the task."""

    def __init__(self, task: Future[Any]) -> None:
        super().__init__()
        self.task = task

    def cancel(self) -> bool:
        # Cancelled here first, so that the task's end reads as asked for.
        cancelled = super().cancel()
        # A client that lost its scheduler refuses to cancel: nothing runs.
        with contextlib.suppress(Exception):
            self.task.cancel()
        return cancelled

    def settle(self, error: BaseException | None = None) -> None:
        """Take the task's outcome, or ``error`` when given."""
        try:
            if error is not None:
                self.set_exception(error)
            elif self.task.exception() is not None:
                self.set_exception(self.task.exception())
            else:
                self.set_result(self.task.result())
        except InvalidStateError:  # already settled (or cancelled by the caller)
            pass


class _ClusterExecutor(Executor):
    """distributed's executor, with results that fail instead of waiting
    forever for a scheduler that went away."""

    def __init__(self, client: Any, address: str, patience: float) -> None:
        self._client = client  # read by many's capacity estimate
        self._inner = client.get_executor()
        self.address = address
        self.patience = patience
        self._pending: set[_WatchedFuture] = set()
        self._lock = threading.Lock()
        self._lost: SchedulerLost | None = None
        self._stop = threading.Event()
        self._watch = threading.Thread(
            target=self._watch_connection, name="kelfit-scheduler-watch", daemon=True
        )
        self._watch.start()

    def lost(self, why: str) -> SchedulerLost:
        return SchedulerLost(f"lost the Dask scheduler at {self.address}: {why}")

    def submit(
        self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any
    ) -> Future[Any]:
        if self._lost is not None:
            raise self._lost
        try:
            task = self._inner.submit(fn, *args, **kwargs)
        except Exception:
            if self._client.status == "running":
                raise
            raise self.lost(f"the client is {self._client.status}") from None
        watched = _WatchedFuture(task)
        with self._lock:
            self._pending.add(watched)
        watched.task.add_done_callback(lambda _: self._task_done(watched))
        return watched

    def _task_done(self, watched: _WatchedFuture) -> None:
        with self._lock:
            self._pending.discard(watched)
        if watched.task.cancelled():
            if watched.cancelled():
                return
            if self._lost is None and self._client.status == "running":
                watched.settle(CancelledError())  # cancelled by someone else
                return
            # The client cancels the work it loses with the scheduler: the
            # rest of the run is lost with it.
            self._give_up(self._lost or self.lost("it cancelled the running work"))
            watched.settle(self._lost)
            return
        watched.settle()

    def _watch_connection(self) -> None:
        away_since: float | None = None
        while not self._stop.wait(_WATCH_INTERVAL):
            status = str(getattr(self._client, "status", "running"))
            if status == "running":
                away_since = None
                continue
            now = time.monotonic()
            away_since = now if away_since is None else away_since
            if status in _GONE:
                self._give_up(self.lost(f"the client is {status}"))
            elif now - away_since > self.patience:
                self._give_up(self.lost(f"no answer for {self.patience:g} s"))
            if self._lost is not None:
                return

    def _give_up(self, error: SchedulerLost) -> None:
        self._lost = error
        with self._lock:
            pending = list(self._pending)
            self._pending.clear()
        for watched in pending:
            watched.settle(error)

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        self._stop.set()
        # A client that lost its scheduler cannot cancel what is left.
        with contextlib.suppress(Exception):
            self._inner.shutdown(wait=False)


@contextmanager
def scheduler_executor(
    address: str | Any, *, timeout: float | None = None
) -> Iterator[Executor]:
    """An executor that runs tasks on a Dask cluster, for the ``with`` block.

    Args:
        address: the scheduler, such as ``tcp://10.0.0.5:8786``, or a
            cluster object (``distributed.LocalCluster``).
        timeout: seconds to wait for the scheduler, at the start and when
            it goes away during the run (default: :func:`connect_timeout`).

    Raises:
        MissingExtra: distributed is not installed.
        ValueError: the scheduler cannot be reached.
        SchedulerLost: (from the executor's results) the scheduler went
            away during the run and did not come back within ``timeout``.
    """
    distributed = _distributed()
    if timeout is None:
        timeout = connect_timeout()
    try:
        client = distributed.Client(address, timeout=timeout, set_as_default=False)
    except (OSError, TimeoutError) as exc:
        raise ValueError(
            f"cannot reach the Dask scheduler at {address}: {exc}"
        ) from None
    name = str(getattr(address, "scheduler_address", address))
    executor = _ClusterExecutor(client, name, timeout)
    try:
        yield executor
    finally:
        executor.shutdown(wait=False)
        client.close(timeout=timeout)


#: Loggers of the cluster's libraries: their tracebacks of a lost connection
#: would bury the one-line error a run reports.
_CLUSTER_LOGGERS = ("distributed", "tornado")


@contextmanager
def quiet_cluster_logs() -> Iterator[None]:
    """Silence the cluster's libraries' loggers for the ``with`` block.

    They set their loggers up when imported, so this goes inside the
    :func:`scheduler_executor` block.
    """
    names = [
        name
        for name in [*_CLUSTER_LOGGERS, *logging.Logger.manager.loggerDict]
        if name.split(".")[0] in _CLUSTER_LOGGERS
    ]
    loggers = [logging.getLogger(name) for name in dict.fromkeys(names)]
    levels = [logger.level for logger in loggers]
    for logger in loggers:
        logger.setLevel(logging.CRITICAL)
    # After a failure (a lost scheduler) the client's threads go on
    # complaining while the run ends: they stay quiet.
    yield
    for logger, level in zip(loggers, levels):
        logger.setLevel(level)
