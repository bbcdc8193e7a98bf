"""Many fits as arrays: :class:`FitTable`, one row per problem.

A :class:`~kelfit_tools.FitResult` per problem costs more Python than a
linear fit itself; a table keeps what the fits gave as a few arrays with a
leading problem axis, and makes a ``FitResult`` of one row only when it is
asked for (the same bits as the one :func:`~kelfit_tools.fit_many` gives).
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Iterator, Sequence
from functools import cached_property
from itertools import chain
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._extras import MissingExtra, require
from .fitting import FitResult, frozen_result
from .tensor import rhombic_component, tensor_from_params

__all__ = ["FitTable", "stack_table"]

Array = NDArray[np.float64]

#: The columns of :meth:`FitTable.to_pandas` and :meth:`FitTable.to_parquet`.
TABLE_COLUMNS = (
    "a1",
    "a2",
    "a3",
    "da",
    "r",
    "dr",
    "offset",
    "axx",
    "ayy",
    "azz",
    "axy",
    "axz",
    "ayz",
    "cost",
    "q",
    "rms",
    "n",
    "converged",
    "evaluations",
    "runs",
    "method",
)

#: Where each order-matrix column sits in a 3 x 3 matrix.
_MATRIX_CELLS = {
    "axx": (0, 0),
    "ayy": (1, 1),
    "azz": (2, 2),
    "axy": (0, 1),
    "axz": (0, 2),
    "ayz": (1, 2),
}


def _frozen(a: NDArray[Any]) -> NDArray[Any]:
    a.setflags(write=False)
    return a


class FitTable:
    """The fits of F problems as arrays whose first axis is the problem.

    Attributes:
        params: F x 6 parameters ``[a1, a2, a3, Da, R, offset]`` as fitted.
        order_matrices: F x 3 x 3 traceless symmetric A of each optimum
            (value = scale u^T A u + offset): ``kelfit.linear``'s own for a
            linear fit made into a table, else A of the parameters.
        cost: the quantity each fit minimised (chi^2 / N with sigma).
        converged, evaluations, runs: as :class:`~kelfit_tools.FitResult`
            has them (True, 0, 0 for a linear fit).
        offset_fitted: whether each fit solved for the offset.
        method, fixed: each fit's method and fixed parameters (tuples).

    ``n`` (rows of each problem), ``angles``, ``da``, ``r``, ``dr``,
    ``offset``, ``q`` and ``rms`` are columns derived from those on first
    access. The rows' observed and
    calculated values (and sigma and scale) are kept, one after another,
    for :meth:`row`. Every array is read-only.

    Tables come from :func:`~kelfit_tools.fit_many` with ``as_table=True``,
    :func:`stack_table` and :meth:`from_results`; the constructor keeps the
    arrays it is given (this module's own) and makes them read-only.
    Iterating a table gives its rows as results.
    """

    def __init__(
        self,
        *,
        params: Array,
        order_matrices: Array,
        cost: Array,
        observed: Array,
        calculated: Array,
        starts: NDArray[np.int64],
        sigma: Array | None,
        weighted: NDArray[np.bool_],
        scale: Array | None,
        scaled: NDArray[np.bool_],
        converged: NDArray[np.bool_],
        evaluations: NDArray[np.int64],
        runs: NDArray[np.int64],
        offset_fitted: NDArray[np.bool_],
        method: tuple[str, ...],
        fixed: tuple[tuple[str, ...], ...],
    ) -> None:
        self.params = _frozen(params)
        self.order_matrices = _frozen(order_matrices)
        self.cost = _frozen(cost)
        self.converged = _frozen(converged)
        self.evaluations = _frozen(evaluations)
        self.runs = _frozen(runs)
        self.offset_fitted = _frozen(offset_fitted)
        self.method = method
        self.fixed = fixed
        # The rows of problem f are [starts[f], starts[f + 1]) of these.
        self._starts = _frozen(starts)
        self._observed = _frozen(observed)
        self._calculated = _frozen(calculated)
        self._sigma = None if sigma is None else _frozen(sigma)
        self._weighted = _frozen(weighted)
        self._scale = None if scale is None else _frozen(scale)
        self._scaled = _frozen(scaled)

    def __setstate__(self, state: dict[str, Any]) -> None:
        # Unpickled (a batch sent back from another process), the arrays
        # are new and writeable: read-only again, as the rows' must be.
        self.__dict__.update(state)
        for value in state.values():
            if isinstance(value, np.ndarray):
                value.setflags(write=False)

    # --- Building ---------------------------------------------------------

    @classmethod
    def from_results(cls, results: Sequence[FitResult]) -> FitTable:
        """A table of results already made (each row the same bits)."""
        count = len(results)
        lengths = np.array([r.n for r in results], dtype=np.int64)

        def rows(name: str, fill: float) -> tuple[Array | None, NDArray[np.bool_]]:
            given = np.array([getattr(r, name) is not None for r in results], bool)
            if not given.any():
                return None, given
            parts = [
                np.full(r.n, fill) if a is None else a
                for r in results
                for a in [getattr(r, name)]
            ]
            return np.concatenate(parts).astype(np.float64, copy=False), given

        sigma, weighted = rows("sigma", math.nan)
        scale, scaled = rows("scale", 1.0)
        params = np.array([r.params for r in results]).reshape(count, 6)
        return cls(
            params=params,
            order_matrices=np.array([tensor_from_params(p) for p in params]).reshape(
                count, 3, 3
            ),
            cost=np.array([r.cost for r in results], dtype=np.float64),
            observed=_joined([r.observed for r in results]),
            calculated=_joined([r.calculated for r in results]),
            starts=_starts(lengths),
            sigma=sigma,
            weighted=weighted,
            scale=scale,
            scaled=scaled,
            converged=np.array([r.converged for r in results], dtype=bool),
            evaluations=np.array([r.evaluations for r in results], dtype=np.int64),
            runs=np.array([r.runs for r in results], dtype=np.int64),
            offset_fitted=np.array([r.offset_fitted for r in results], dtype=bool),
            method=tuple(r.method for r in results),
            fixed=tuple(r.fixed for r in results),
        )

    @classmethod
    def concatenate(cls, tables: Sequence[FitTable]) -> FitTable:
        """One table of the rows of several, in order."""
        if len(tables) == 1:
            return tables[0]
        if not tables:
            return cls.from_results([])

        def rows(
            name: str, given: str, fill: float
        ) -> tuple[Array | None, NDArray[np.bool_]]:
            flags = np.concatenate([getattr(t, given) for t in tables])
            if not flags.any():
                return None, flags
            parts = [
                np.full(len(t._observed), fill) if a is None else a
                for t in tables
                for a in [getattr(t, name)]
            ]
            return np.concatenate(parts), flags

        sigma, weighted = rows("_sigma", "_weighted", math.nan)
        scale, scaled = rows("_scale", "_scaled", 1.0)
        lengths = np.concatenate([t.n for t in tables])
        return cls(
            params=np.concatenate([t.params for t in tables]),
            order_matrices=np.concatenate([t.order_matrices for t in tables]),
            cost=np.concatenate([t.cost for t in tables]),
            observed=np.concatenate([t._observed for t in tables]),
            calculated=np.concatenate([t._calculated for t in tables]),
            starts=_starts(lengths),
            sigma=sigma,
            weighted=weighted,
            scale=scale,
            scaled=scaled,
            converged=np.concatenate([t.converged for t in tables]),
            evaluations=np.concatenate([t.evaluations for t in tables]),
            runs=np.concatenate([t.runs for t in tables]),
            offset_fitted=np.concatenate([t.offset_fitted for t in tables]),
            method=tuple(chain.from_iterable(t.method for t in tables)),
            fixed=tuple(chain.from_iterable(t.fixed for t in tables)),
        )

    # --- Rows -------------------------------------------------------------

    def __len__(self) -> int:
        return len(self.params)

    def __repr__(self) -> str:
        return f"FitTable({len(self)} fits)"

    def row(self, index: int) -> FitResult:
        """Problem ``index``'s fit as a :class:`~kelfit_tools.FitResult`: the
        same bits as the one :func:`~kelfit_tools.fit_many` gives, its arrays
        read-only views of the table's."""
        count = len(self)
        if not -count <= index < count:
            raise IndexError(f"row {index} of a table of {count} fits")
        f = index % count
        return self._rows(f, f + 1)[0]

    def results(self) -> list[FitResult]:
        """Every row as a :class:`~kelfit_tools.FitResult`, in order."""
        return self._rows(0, len(self))

    def _rows(self, start: int, stop: int) -> list[FitResult]:
        """Rows [start, stop), each column read out once for all of them."""
        span = slice(start, stop)
        starts = self._starts[start : stop + 1].tolist()
        weighted = self._weighted[span].tolist()
        scaled = self._scaled[span].tolist()
        sigma, scale = self._sigma, self._scale
        rows = zip(
            self.params[span].tolist(),
            self.cost[span].tolist(),
            self.offset_fitted[span].tolist(),
            self.evaluations[span].tolist(),
            self.runs[span].tolist(),
            self.converged[span].tolist(),
            self.fixed[span],
            self.method[span],
        )
        out = []
        for k, (
            p,
            cost,
            fitted,
            evaluations,
            runs,
            converged,
            fixed,
            method,
        ) in enumerate(rows):
            first, last = starts[k], starts[k + 1]
            a1, a2, a3, da, r, offset = p
            out.append(
                frozen_result(
                    angles=(a1, a2, a3),
                    da=da,
                    r=r,
                    offset=offset,
                    offset_fitted=fitted,
                    observed=self._observed[first:last],
                    calculated=self._calculated[first:last],
                    cost=cost,
                    n=last - first,
                    sigma=sigma[first:last]
                    if sigma is not None and weighted[k]
                    else None,
                    scale=scale[first:last]
                    if scale is not None and scaled[k]
                    else None,
                    evaluations=evaluations,
                    runs=runs,
                    converged=converged,
                    fixed=fixed,
                    method=method,
                )
            )
        return out

    def __iter__(self) -> Iterator[FitResult]:
        return iter(self.results())

    # --- Columns ----------------------------------------------------------

    @cached_property
    def n(self) -> NDArray[np.int64]:
        """Rows of each problem."""
        return _frozen(np.diff(self._starts))

    @property
    def angles(self) -> Array:
        """F x 3 z-x-z angles (a1, a2, a3) in radians, as fitted."""
        return self.params[:, :3]

    @property
    def da(self) -> Array:
        """Da of each fit (for a row of scale 1)."""
        return self.params[:, 3]

    @property
    def r(self) -> Array:
        """R of each fit, as fitted."""
        return self.params[:, 4]

    @property
    def offset(self) -> Array:
        """The offset of each fit (0 when not fitted)."""
        return self.params[:, 5]

    @cached_property
    def dr(self) -> Array:
        """Dr = R Da of each fit, as fitted."""
        return _frozen(rhombic_component(self.da, self.r))

    @cached_property
    def rms(self) -> Array:
        """Root-mean-square deviation of each fit (unweighted)."""
        return _frozen(self._row_rms(self._observed - self._calculated))

    @cached_property
    def q(self) -> Array:
        """Q-factor of each fit, rms(observed - calculated) / rms(observed)
        (nan where the observed values are all 0). Each agrees with its
        row's :attr:`~kelfit_tools.FitResult.q` to rounding: the sums run
        over the whole table at once."""
        observed = self._row_rms(self._observed)
        with np.errstate(divide="ignore", invalid="ignore"):
            q = np.where(observed > 0, self.rms / observed, math.nan)
        return _frozen(q)

    def _row_rms(self, values: Array) -> Array:
        if len(self) == 0:
            return np.empty(0)
        sums = np.add.reduceat(values * values, self._starts[:-1])
        out: Array = np.sqrt(sums / self.n)
        return out

    # --- Out --------------------------------------------------------------

    def columns(self) -> dict[str, NDArray[Any]]:
        """The table's columns by name (:data:`TABLE_COLUMNS`), one value per
        fit; angles in radians."""
        out: dict[str, NDArray[Any]] = {
            "a1": self.params[:, 0],
            "a2": self.params[:, 1],
            "a3": self.params[:, 2],
            "da": self.da,
            "r": self.r,
            "dr": self.dr,
            "offset": self.offset,
        }
        for name, (i, j) in _MATRIX_CELLS.items():
            out[name] = self.order_matrices[:, i, j]
        out.update(
            cost=self.cost,
            q=self.q,
            rms=self.rms,
            n=self.n,
            converged=self.converged,
            evaluations=self.evaluations,
            runs=self.runs,
            method=np.array(self.method, dtype=object),
        )
        return out

    def to_pandas(self) -> Any:
        """The columns as a ``pandas.DataFrame``, one row per fit.

        Raises:
            MissingExtra: pandas is not installed.
        """
        try:
            pandas: Any = importlib.import_module("pandas")
        except ImportError:
            raise MissingExtra(
                "FitTable.to_pandas needs pandas: pip install pandas"
            ) from None
        return pandas.DataFrame(self.columns())

    def to_parquet(self, path: str) -> None:
        """The columns as a Parquet file at ``path``, one row per fit.

        Raises:
            MissingExtra: pyarrow is not installed.
        """
        pa: Any = require("pyarrow", "Parquet tables", extra="md")
        pq: Any = require("pyarrow.parquet", "Parquet tables", extra="md")
        columns = self.columns()
        columns["method"] = np.array(self.method, dtype=str)
        pq.write_table(pa.table({k: columns[k] for k in TABLE_COLUMNS}), path)


def _joined(parts: Sequence[Array]) -> Array:
    return np.concatenate(parts) if parts else np.empty(0)


def _starts(lengths: NDArray[np.int64]) -> NDArray[np.int64]:
    starts = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=starts[1:])
    return starts


def stack_table(
    vectors: ArrayLike,
    observed: ArrayLike,
    *,
    offset: bool = False,
    sigma: ArrayLike | None = None,
    scale: ArrayLike | None = None,
    workers: int = 1,
) -> FitTable:
    """Linear fits of a stack of F problems of N rows, in one module call,
    as a table: each row the same bits as :func:`~kelfit_tools.fit` of that
    problem alone with ``method="linear"``.

    Args:
        vectors: F x N x 3 bond vectors.
        observed: F x N observed values.
        offset: fit a constant offset in every problem.
        sigma, scale: F x N per-row values (or None).
        workers: threads the module shares the problems among.

    Raises:
        ValueError: shapes; ``kelfit.InputError`` naming the problem (its
            ``problem`` attribute, counted from 0) it refuses.
    """
    import kelfit

    v = np.asarray(vectors, dtype=np.float64)
    o = np.asarray(observed, dtype=np.float64)
    w = None if sigma is None else np.asarray(sigma, dtype=np.float64)
    k = None if scale is None else np.asarray(scale, dtype=np.float64)
    solved = kelfit.linear(v, o, sigma=w, scale=k, offset=offset, workers=workers)
    count = o.shape[0]
    # One copy of each of the caller's stacks (the module has checked the
    # shapes): the table never shares memory with the caller.
    flat = o.size

    def copied(a: Array | None) -> Array | None:
        return None if a is None else np.array(a, dtype=np.float64).reshape(flat)

    return FitTable(
        params=solved.params,
        order_matrices=solved.order_matrix,
        cost=np.asarray(solved.cost, dtype=np.float64),
        observed=np.array(o).reshape(flat),
        calculated=solved.values.reshape(flat),
        starts=np.arange(count + 1, dtype=np.int64) * o.shape[1],
        sigma=copied(w),
        weighted=np.full(count, w is not None),
        scale=copied(k),
        scaled=np.full(count, k is not None),
        converged=np.ones(count, dtype=bool),
        evaluations=np.zeros(count, dtype=np.int64),
        runs=np.zeros(count, dtype=np.int64),
        offset_fitted=np.full(count, offset),
        method=("linear",) * count,
        fixed=((),) * count,
    )
