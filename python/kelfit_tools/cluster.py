"""Fits on a Dask cluster, for work bigger than one machine (needs distributed).

A running ``dask.distributed`` scheduler, with workers on as many machines
as you like, takes the fits of :func:`~kelfit_tools.fit_many`,
:func:`~kelfit_tools.monte_carlo` and the trajectory fits through the
standard executor protocol::

    with scheduler_executor("tcp://head-node:8786") as executor:
        results = fit_many(problems, executor=executor)

The workers need kelfit installed, the same version as here.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from concurrent.futures import Executor
from contextlib import contextmanager
from typing import Any

from ._extras import MissingExtra

__all__ = ["SCHEDULER_VARIABLE", "scheduler_address", "scheduler_executor"]

#: The environment variable that names a scheduler when no address is given.
SCHEDULER_VARIABLE = "KELFIT_SCHEDULER"

DASK_HINT = "pip install 'kelfit[dask]'"

#: Seconds to wait for the scheduler to answer before giving up.
CONNECT_TIMEOUT = 30.0


def scheduler_address(address: str | None = None) -> str | None:
    """``address``, or else ``KELFIT_SCHEDULER`` when set; None for neither."""
    if address:
        return address
    return os.environ.get(SCHEDULER_VARIABLE) or None


def _distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise MissingExtra(f"a Dask scheduler needs distributed: {DASK_HINT}") from None
    return distributed


@contextmanager
def scheduler_executor(
    address: str | Any, *, timeout: float = CONNECT_TIMEOUT
) -> Iterator[Executor]:
    """An executor that runs tasks on a Dask cluster, for the ``with`` block.

    Args:
        address: the scheduler, such as ``tcp://10.0.0.5:8786``, or a
            cluster object (``distributed.LocalCluster``).
        timeout: seconds to wait for the scheduler.

    Raises:
        MissingExtra: distributed is not installed.
        ValueError: the scheduler cannot be reached.
    """
    distributed = _distributed()
    try:
        client = distributed.Client(address, timeout=timeout, set_as_default=False)
    except (OSError, TimeoutError) as exc:
        raise ValueError(
            f"cannot reach the Dask scheduler at {address}: {exc}"
        ) from None
    try:
        yield client.get_executor()
    finally:
        client.close()
