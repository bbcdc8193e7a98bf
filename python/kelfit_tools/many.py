"""Many fits at once, on every core or on any :class:`concurrent.futures.Executor`.

A fit of a few dozen couplings takes a fraction of a millisecond, so the
work is sent in batches: one task fits many problems, and the per-task cost
of a thread pool, a process pool or a Dask cluster stays small beside it.
Every fit is deterministic, so the results are the same bits whoever ran
them; they come back in the order of the problems.

Work is pulled from the problems lazily and only a few batches per worker
are in flight at once, so :func:`iter_fits` runs over a stream of any length
(the frames of a trajectory) in flat memory.
"""

from __future__ import annotations

import math
import os
import pickle
import sys
import time
import uuid
from collections import deque
from collections.abc import Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Executor, Future, ThreadPoolExecutor
from contextlib import ExitStack
from itertools import chain, islice
from typing import Any, Callable, Literal, TypeVar, overload

import numpy as np

from .errors import user_message
from .fitting import (
    FitResult,
    as_observed,
    as_row_factors,
    as_vectors,
    fit,
    resolve_method,
)
from .table import FitTable, stack_table

__all__ = [
    "FitFailed",
    "InlineExecutor",
    "Problem",
    "default_workers",
    "fit_many",
    "iter_fits",
    "iter_tables",
    "map_batches",
]

T = TypeVar("T")
R = TypeVar("R")

#: One problem: positional arguments of :func:`~kelfit_tools.fit`
#: ``(vectors, observed[, start])`` as a tuple, or its keyword arguments.
Problem = Any

#: Batches in flight per worker: enough to keep every worker busy while the
#: finished ones are handed back in order, few enough to bound memory.
_IN_FLIGHT_PER_WORKER = 4

#: Largest batch.  At about 0.2 ms a fit, 256 fits are some 50 ms of work,
#: against about 1 ms of overhead per task on a Dask cluster.
_MAX_BATCH = 256

#: Largest batch of linear fits sent to an executor. A linear fit takes
#: some 10 µs with its Python, so a task of 256 would be mostly the
#: executor's own cost (a Dask task's round trip is milliseconds).
_MAX_LINEAR_BATCH = 8192

#: Batches per worker to aim at when the run is short, so the work still
#: spreads over every worker and the progress bar moves.
_BATCHES_PER_WORKER = 16

#: A progress bar appears only on runs longer than this (seconds).
_PROGRESS_AFTER = 0.5


class FitFailed(ValueError):
    """One problem of a batch could not be fitted.

    Attributes:
        index: the problem's position (0-based) in the order given.
    """

    def __init__(self, index: int, reason: str) -> None:
        super().__init__(f"problem {index}: {reason}")
        self.index = index
        self.reason = reason

    def __reduce__(self) -> tuple[Any, ...]:
        # Process pools and Dask send it back by pickling.
        return (FitFailed, (self.index, self.reason))

    @classmethod
    def of(cls, index: int, exc: BaseException) -> FitFailed:
        """Problem ``index`` failed with ``exc``: its reason in the user's
        words (rows counted from 1), without the module's "problem f: "
        (this error names the problem itself)."""
        problem = getattr(exc, "problem", None)
        reason = user_message(exc)
        if isinstance(problem, int):
            reason = reason.removeprefix(f"problem {problem}: ")
        return cls(index, reason)


class InlineExecutor(Executor):
    """Runs each task at once in the calling thread.

    For a run on one worker, where a pool would only add a thread to hand
    each task to.
    """

    def submit(self, fn: Callable[..., R], /, *args: Any, **kwargs: Any) -> Future[R]:
        future: Future[R] = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as exc:  # noqa: BLE001 (handed to the caller by result())
            future.set_exception(exc)
        return future


def default_workers() -> int:
    """The number of cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _capacity(executor: Executor) -> int:
    """How many tasks an executor runs at once, as far as it tells."""
    workers = getattr(executor, "_max_workers", None)
    if isinstance(workers, int) and workers > 0:
        return workers
    client = getattr(executor, "_client", None)  # distributed's ClientExecutor
    if client is not None:
        try:
            threads = sum(client.nthreads().values())
        except (OSError, RuntimeError, TimeoutError):  # a client that cannot tell
            threads = 0
        if threads > 0:
            return int(threads)
    return default_workers()


def batch_size(count: int | None, workers: int, largest: int = _MAX_BATCH) -> int:
    """Problems per task for ``count`` problems (None: unknown) on ``workers``,
    at most ``largest``."""
    if count is None:
        return largest
    return max(1, min(largest, math.ceil(count / (workers * _BATCHES_PER_WORKER))))


class _Batch:
    """A task's items as one opaque argument.

    Dask walks every argument of a task looking for its own objects and
    hashes it for the task's name, item by item: for thousands of problems
    that costs more than fitting them. Here it sees one object, named by a
    token of its own (unique, so no two batches share a name).
    """

    __slots__ = ("items", "token")

    def __init__(self, items: list[Any]) -> None:
        self.items = items
        self.token = uuid.uuid4().hex

    def __dask_tokenize__(self) -> str:
        return self.token

    def __reduce__(self) -> tuple[Any, ...]:
        # One pickle of every item: left to Dask, each array of each item
        # would travel as a message frame of its own.
        return (_unpickled_batch, (pickle.dumps(self.items, _PROTOCOL), self.token))


#: Items are pickled in band, their arrays inside one bytes object.
_PROTOCOL = pickle.HIGHEST_PROTOCOL


def _unpickled_batch(data: bytes, token: str) -> _Batch:
    batch = _Batch(pickle.loads(data))
    batch.token = token
    return batch


def _run_batch(
    function: Callable[[Any, Any], Any],
    shared: Any,
    batch: _Batch,
    first: int,
    whole: bool = False,
) -> list[Any]:
    """One task: ``function(shared, item)`` for every item, in order, or
    with ``whole`` ``function(shared, items)`` once for the batch (which
    raises :class:`FitFailed` counting within the batch).

    A plain module-level function with the data as arguments: process pools
    and Dask send it by name, and Dask names the task after it.
    """
    items: list[Any] = batch.items
    if whole:
        try:
            done: list[Any] = function(shared, items)
        except FitFailed as exc:
            raise FitFailed(first + exc.index, exc.reason) from exc
        return done
    out = []
    for offset, item in enumerate(items):
        try:
            out.append(function(shared, item))
        except (ValueError, ArithmeticError) as exc:
            raise FitFailed.of(first + offset, exc) from exc
    return out


class _Bar:
    """A rich progress bar with a rate and an ETA on stderr, shown late.

    Nothing is drawn unless stderr is a terminal, rich is installed and the
    run has lasted long enough for a bar to be worth it.
    """

    def __init__(self, total: int | None, description: str, enabled: bool) -> None:
        self.total = total
        self.description = description
        self.enabled = enabled and sys.stderr.isatty()
        self.started = time.monotonic()
        self.done = 0
        self._progress: Any = None
        self._task: Any = None

    def _open(self) -> None:
        try:
            from rich.console import Console
            from rich.progress import (
                BarColumn,
                MofNCompleteColumn,
                Progress,
                ProgressColumn,
                TextColumn,
                TimeRemainingColumn,
            )
            from rich.text import Text
        except ImportError:
            self.enabled = False
            return

        class RateColumn(ProgressColumn):
            def render(self, task: Any) -> Text:
                speed = task.finished_speed or task.speed
                return Text("" if speed is None else f"{speed:,.0f}/s")

        self._progress = Progress(
            TextColumn("{task.description}"),
            BarColumn(),
            MofNCompleteColumn(),
            RateColumn(),
            TimeRemainingColumn(),
            console=Console(stderr=True),
            transient=True,
        )
        self._progress.start()
        self._task = self._progress.add_task(
            self.description, total=self.total, completed=self.done
        )

    def advance(self, count: int) -> None:
        self.done += count
        if not self.enabled:
            return
        if self._progress is None:
            if time.monotonic() - self.started < _PROGRESS_AFTER:
                return
            self._open()
            return
        self._progress.update(self._task, completed=self.done)

    def close(self) -> None:
        if self._progress is not None:
            self._progress.stop()
            self._progress = None


# With whole_batches the function takes a batch's items as a list and returns
# one result per item; a flag can only choose that shape through overloads.
@overload
def map_batches(
    function: Callable[[Any, T], R],
    shared: Any,
    items: Iterable[T],
    *,
    workers: int | None = ...,
    executor: Executor | None = ...,
    progress: bool = ...,
    description: str = ...,
    total: int | None = ...,
    batch: int | None = ...,
    whole_batches: Literal[False] = ...,
    counted: Callable[[list[Any]], int] = ...,
) -> Iterator[R]: ...
@overload
def map_batches(
    function: Callable[[Any, list[T]], Iterable[R]],
    shared: Any,
    items: Iterable[T],
    *,
    workers: int | None = ...,
    executor: Executor | None = ...,
    progress: bool = ...,
    description: str = ...,
    total: int | None = ...,
    batch: int | None = ...,
    whole_batches: Literal[True],
    counted: Callable[[list[Any]], int] = ...,
) -> Iterator[R]: ...
def map_batches(
    function: Callable[[Any, Any], Any],
    shared: Any,
    items: Iterable[T],
    *,
    workers: int | None = None,
    executor: Executor | None = None,
    progress: bool = True,
    description: str = "Fitting",
    total: int | None = None,
    batch: int | None = None,
    whole_batches: bool = False,
    counted: Callable[[list[Any]], int] = len,
) -> Iterator[Any]:
    """``function(shared, item)`` for every item, in batches, results in order.

    ``function`` must be a module-level function (process pools and Dask
    send it by name) and ``shared`` is sent once per batch.  A
    :class:`ValueError` raised for one item stops the run as
    :class:`FitFailed` naming the item's index.  With ``whole_batches``,
    ``function(shared, items)`` does a whole batch at once, returns one
    result per item and raises :class:`FitFailed` counting from the
    batch's first item.

    Args:
        function: the work for one item.
        shared: data every item needs (for example the vectors).
        items: the items, pulled lazily.
        workers: size of the default thread pool; with an ``executor``, how
            many tasks it runs at once (by default as far as it tells).
        executor: where to run; by default a thread pool of ``workers``.
        progress: a progress bar on stderr when it is a terminal.
        description: the progress bar's label.
        total: the number of items, when ``items`` has no length.
        batch: items per task (by default from the count and the workers).
        whole_batches: ``function`` takes the batch's items as a list.
        counted: how many items a batch's results stand for, for the
            progress bar (one result per item unless it says otherwise).
    """
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    if batch is not None and batch < 1:
        raise ValueError(f"batch must be at least 1, got {batch}")
    if total is None and isinstance(items, Sequence):
        total = len(items)
    with ExitStack() as stack:
        if executor is None:
            workers = workers or default_workers()
            executor = stack.enter_context(ThreadPoolExecutor(max_workers=workers))
        elif workers is None:
            workers = _capacity(executor)
        size = batch or batch_size(total, workers)
        bar = _Bar(total, description, progress)
        stack.callback(bar.close)
        source = iter(items)
        pending: deque[Future[list[Any]]] = deque()
        limit = workers * _IN_FLIGHT_PER_WORKER
        first = 0
        try:
            while True:
                while len(pending) < limit:
                    chunk = list(islice(source, size))
                    if not chunk:
                        break
                    pending.append(
                        executor.submit(
                            _run_batch,
                            function,
                            shared,
                            _Batch(chunk),
                            first,
                            whole_batches,
                        )
                    )
                    first += len(chunk)
                if not pending:
                    return
                results = pending.popleft().result()
                bar.advance(counted(results))
                yield from results
        finally:
            for future in pending:
                future.cancel()


def _problem_args(problem: Problem) -> tuple[tuple[Any, ...], dict[str, Any]]:
    if isinstance(problem, Mapping):
        return (), dict(problem)
    if isinstance(problem, (tuple, list)):
        return tuple(problem), {}
    raise TypeError(
        "a problem is a tuple (vectors, observed[, start]) or a mapping of "
        f"fit's arguments, got {type(problem).__name__}"
    )


def _fit_problem(options: Mapping[str, Any], problem: Problem) -> FitResult:
    args, kwargs = _problem_args(problem)
    return fit(*args, **{**options, **kwargs})


#: The arguments of :func:`~kelfit_tools.fit`, in order.
_FIT_ARGUMENTS = ("vectors", "observed", "start")

#: What a linear stack can take; a problem with any other argument is fitted
#: on its own, which refuses it as fit does.
_STACKABLE = {
    "vectors",
    "observed",
    "start",
    "offset",
    "sigma",
    "scale",
    "fixed",
    "method",
}


class _Linear:
    """A problem of a linear stack: its checked shapes and the stack's key."""

    __slots__ = ("key", "observed", "offset", "scale", "sigma", "vectors")

    def __init__(
        self, vectors: Any, observed: Any, sigma: Any, scale: Any, offset: Any
    ) -> None:
        self.vectors = as_vectors(vectors)
        count = self.vectors.shape[0]
        self.observed = as_observed(observed, count)
        # Most problems have neither: no call made for them.
        self.sigma = None if sigma is None else as_row_factors(sigma, count, "sigma")
        self.scale = None if scale is None else as_row_factors(scale, count, "scale")
        self.offset = bool(offset)
        self.key = (count, self.offset, sigma is None, scale is None)

    @classmethod
    def of(cls, arguments: Mapping[str, Any]) -> _Linear:
        """The problem of ``fit``'s keyword arguments."""
        get = arguments.get
        return cls(
            arguments["vectors"],
            arguments["observed"],
            get("sigma"),
            get("scale"),
            get("offset", False),
        )


def _linear_options(options: Mapping[str, Any]) -> bool:
    """Whether a problem given as ``(vectors, observed)`` alone is linear
    under ``options``: the same for every such problem of a run, so it is
    decided once a batch."""
    if not set(options) <= _STACKABLE or {"vectors", "observed"} & set(options):
        return False
    try:
        method = resolve_method(
            options.get("method"),
            start=options.get("start") is not None,
            fixed=bool(options.get("fixed")),
        )
    except ValueError:
        return False
    return method == "linear"


def _as_linear(
    options: Mapping[str, Any], problem: Problem, plain: bool = False
) -> _Linear | None:
    """The problem as one of a linear stack, or None when it is fitted alone;
    ``plain`` is :func:`_linear_options` of ``options``."""
    if plain and isinstance(problem, tuple) and len(problem) == 2:
        try:
            get = options.get
            return _Linear(
                problem[0],
                problem[1],
                get("sigma"),
                get("scale"),
                get("offset", False),
            )
        except ValueError:
            return None  # fitted alone, which says what is wrong
    args, kwargs = _problem_args(problem)
    if len(args) > len(_FIT_ARGUMENTS):
        return None
    arguments = {**options, **dict(zip(_FIT_ARGUMENTS, args)), **kwargs}
    if not set(arguments) <= _STACKABLE or not {"vectors", "observed"} <= set(
        arguments
    ):
        return None
    try:
        method = resolve_method(
            arguments.get("method"),
            start=arguments.get("start") is not None,
            fixed=bool(arguments.get("fixed")),
        )
        if method != "linear":
            return None
        return _Linear.of(arguments)
    except ValueError:
        return None  # fitted alone, which says what is wrong


def _stacked(values: list[Any]) -> Any:
    """Equally shaped arrays as one array with a leading axis (None for
    Nones): joined in one call, where ``np.stack`` would reshape each first
    (most of the cost, for small problems)."""
    if values[0] is None:
        return None
    return np.concatenate(values).reshape(len(values), *values[0].shape)


def _solve_stack(group: list[_Linear], workers: int) -> FitTable:
    return stack_table(
        _stacked([p.vectors for p in group]),
        _stacked([p.observed for p in group]),
        offset=group[0].offset,
        sigma=_stacked([p.sigma for p in group]),
        scale=_stacked([p.scale for p in group]),
        workers=workers,
    )


def _fit_pieces(
    shared: tuple[Mapping[str, Any], int], problems: list[Problem]
) -> list[FitTable | list[FitResult]]:
    """A batch of problems: each run of linear problems of one shape in one
    ``kelfit.linear`` call over ``workers`` threads (a table), each run of
    the others fitted one by one (a list of results), in order."""
    options, workers = shared
    plain = _linear_options(options)
    pieces: list[FitTable | list[FitResult]] = []
    done = 0
    group: list[_Linear] = []
    single: list[FitResult] = []

    def flush() -> None:
        nonlocal done
        try:
            pieces.append(_solve_stack(group, workers))
        except ValueError as exc:
            # The module names the problem of the stack.
            index = getattr(exc, "problem", None)
            raise FitFailed.of(done + (index or 0), exc) from exc
        done += len(group)
        group.clear()

    for index, problem in enumerate(problems):
        linear = _as_linear(options, problem, plain)
        if linear is not None and (not group or linear.key == group[0].key):
            if single:
                pieces.append(single)
                single = []
            group.append(linear)
            continue
        if group:
            flush()
        if linear is not None:
            group.append(linear)
            continue
        try:
            single.append(_fit_problem(options, problem))
        except (ValueError, ArithmeticError) as exc:
            raise FitFailed.of(index, exc) from exc
        done += 1
    if group:
        flush()
    if single:
        pieces.append(single)
    return pieces


def _fit_problems(
    shared: tuple[Mapping[str, Any], int], problems: list[Problem]
) -> list[FitResult]:
    """A batch of problems, one result each (see :func:`_fit_pieces`)."""
    out: list[FitResult] = []
    for piece in _fit_pieces(shared, problems):
        out.extend(piece.results() if isinstance(piece, FitTable) else piece)
    return out


def _fit_packed(
    shared: tuple[Mapping[str, Any], int], problems: list[Problem]
) -> FitTable:
    """:func:`_fit_problems` of a batch run in another process, as a table
    for the way back (a few arrays, where a result each would pickle its
    arrays one by one); iterated there, it gives the same results."""
    return _fit_table(shared, problems)[0]


def _fit_table(
    shared: tuple[Mapping[str, Any], int], problems: list[Problem]
) -> list[FitTable]:
    """A batch of problems as one table (in a list, the batch's one result):
    a stack's fits never become a result each."""
    pieces = [
        p if isinstance(p, FitTable) else FitTable.from_results(p)
        for p in _fit_pieces(shared, problems)
    ]
    return [FitTable.concatenate(pieces)]


def _tables_length(tables: list[FitTable]) -> int:
    return sum(len(t) for t in tables)


def iter_fits(
    problems: Iterable[Problem],
    *,
    workers: int | None = None,
    executor: Executor | None = None,
    progress: bool = True,
    total: int | None = None,
    batch: int | None = None,
    **options: Any,
) -> Iterator[FitResult]:
    """Like :func:`fit_many`, but yields results in order as they are ready.

    Problems are read lazily and only a few batches are in flight, so
    memory stays flat however many there are.  ``options`` are keyword
    arguments of :func:`~kelfit_tools.fit` for every problem (a problem's
    own keywords win).
    """
    results: Iterator[FitResult] = _batches(
        problems, workers, executor, progress, total, batch, options, table=False
    )
    return results


def iter_tables(
    problems: Iterable[Problem],
    *,
    workers: int | None = None,
    executor: Executor | None = None,
    progress: bool = True,
    total: int | None = None,
    batch: int | None = None,
    **options: Any,
) -> Iterator[FitTable]:
    """Like :func:`iter_fits`, but yields a :class:`~kelfit_tools.FitTable`
    per batch of problems as it is ready (``FitTable.concatenate`` joins
    them): a stack of linear fits never becomes a result per problem."""
    tables: Iterator[FitTable] = _batches(
        problems, workers, executor, progress, total, batch, options, table=True
    )
    return tables


def _batches(
    problems: Iterable[Problem],
    workers: int | None,
    executor: Executor | None,
    progress: bool,
    total: int | None,
    batch: int | None,
    options: Mapping[str, Any],
    *,
    table: bool,
) -> Iterator[Any]:
    """The batches of :func:`iter_fits` (a result per problem) or of
    :func:`iter_tables` (a table per batch)."""
    source = iter(problems)
    head = list(islice(source, 1))
    # Linear fits go to the module in stacks. On one thread a batch runs in
    # the calling thread (no pool to pay for). On several, batches go to a
    # pool of that many Python threads, each stack solved without the
    # interpreter's lock on the thread that prepared it: one batch's Python
    # (the problems' arguments, the stacks, the results) then runs beside
    # another batch's solve, which one thread preparing every stack for the
    # module's own workers cannot do (on two free cores, 2 threads made a
    # list 1.45x faster than one this way, against 1.1x inline; a table
    # 1.6x). Powell fits release the lock for their whole run, so they go
    # to the pool too. The first problem tells which this run is.
    linear = bool(head) and _as_linear(options, head[0]) is not None
    threads = workers or default_workers()
    inline = executor is None and linear and threads == 1
    count = total if total is not None else _length(problems)
    if not batch and linear:
        if executor is None:
            # At most as many problems in flight as one thread had: a
            # stream (a trajectory's frames) stays in flat memory.
            batch = batch_size(count, threads, _MAX_BATCH)
        else:
            capacity = workers or _capacity(executor)
            batch = batch_size(count, capacity, _MAX_LINEAR_BATCH)
    # Results sent back from another process travel packed: pickled one by
    # one, their arrays would cost more than the fits. A table is packed.
    remote = executor is not None and not isinstance(executor, ThreadPoolExecutor)
    fit_batch: Callable[[Any, list[Problem]], Iterable[Any]] = (
        _fit_table if table else _fit_packed if remote else _fit_problems
    )
    return map_batches(
        fit_batch,
        (options, 1),  # one solving thread a batch
        chain(head, source),
        workers=workers,
        executor=InlineExecutor() if inline else executor,
        progress=progress,
        total=count,
        batch=batch or None,
        whole_batches=True,
        counted=_tables_length if table else len,
    )


def _length(items: Iterable[Any]) -> int | None:
    return len(items) if isinstance(items, Sequence) else None


@overload
def fit_many(
    problems: Iterable[Problem],
    *,
    workers: int | None = ...,
    executor: Executor | None = ...,
    progress: bool = ...,
    batch: int | None = ...,
    as_table: Literal[False] = ...,
    **options: Any,
) -> list[FitResult]: ...
@overload
def fit_many(
    problems: Iterable[Problem],
    *,
    workers: int | None = ...,
    executor: Executor | None = ...,
    progress: bool = ...,
    batch: int | None = ...,
    as_table: Literal[True],
    **options: Any,
) -> FitTable: ...
def fit_many(
    problems: Iterable[Problem],
    *,
    workers: int | None = None,
    executor: Executor | None = None,
    progress: bool = True,
    batch: int | None = None,
    as_table: bool = False,
    **options: Any,
) -> list[FitResult] | FitTable:
    """Fit many problems at once; the results are in the problems' order.

    Each problem is what :func:`~kelfit_tools.fit` takes: a tuple
    ``(vectors, observed)`` or ``(vectors, observed, start)``, or a mapping
    of its keyword arguments (``{"vectors": ..., "observed": ...,
    "offset": True}``).  The results are the same bits as fitting the
    problems one after another, whatever the executor and its size.

    Linear fits (the default method) of one batch go to ``kelfit.linear``
    as stacks, one call for each run of problems of one shape; without an
    executor the batches go to a pool of ``workers`` threads (or run in the
    calling thread for one), each stack solved on the thread that made it,
    so that one batch's Python runs while another's stack is solved.
    Powell fits (``method="powell"``, a start or fixed parameters) run one
    by one on the pool's threads.

    Args:
        problems: the problems.
        workers: threads of the default pool (default: every core); with an
            ``executor``, how many tasks it runs at once, for batching.
        executor: any :class:`concurrent.futures.Executor`: a
            ``ProcessPoolExecutor``, or a Dask cluster's
            ``distributed.Client.get_executor()``.  It is not shut down.
        progress: a progress bar with the rate and the time left on stderr,
            when stderr is a terminal and the run is not short.
        batch: problems per task (by default from their count and the
            workers, at most 256).
        as_table: return a :class:`~kelfit_tools.FitTable` (arrays with a
            leading problem axis; ``table.row(f)`` is problem f's result,
            the same bits) instead of a list: linear fits then never become
            a Python object per problem, which is most of their cost.
        options: keyword arguments of :func:`~kelfit_tools.fit` for every
            problem, such as ``offset=True`` or ``method="powell"``.

    Returns:
        One :class:`~kelfit_tools.FitResult` per problem, or the table.

    Raises:
        FitFailed: a problem could not be fitted (a ``ValueError`` naming
            the problem's index and the reason).
    """
    if as_table:
        return FitTable.concatenate(
            list(
                iter_tables(
                    problems,
                    workers=workers,
                    executor=executor,
                    progress=progress,
                    batch=batch,
                    **options,
                )
            )
        )
    return list(
        iter_fits(
            problems,
            workers=workers,
            executor=executor,
            progress=progress,
            batch=batch,
            **options,
        )
    )
