"""Fitting and back-calculation through the :mod:`kelfit` extension module."""

from __future__ import annotations

import math
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, fields
from functools import cached_property
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .display import html_of
from .errors import Advice, Hint
from .statistics import (
    chi_square,
    clore_garrett_q,
    pearson,
    q_factor,
    root_mean_square,
    tensor_rms,
)
from .tensor import (
    Tensor,
    angles_in_degrees,
    canonical,
    dr_model,
    rhombic_component,
    tensor_from_matrix,
    tensor_from_params,
    tensors_from_matrices,
)

__all__ = [
    "METHODS",
    "PARAMETER_NAMES",
    "DesignRows",
    "FitResult",
    "PackedResults",
    "as_observed",
    "as_row_factors",
    "as_vectors",
    "back_calculate",
    "canonical_tensors",
    "convergence_warning",
    "design_matrix",
    "fit",
    "fit_stack",
    "fixed_indices",
    "linear_start",
    "resolve_method",
    "tensor_rows",
]

#: The six parameters in the module's order, as ``fit(fixed=...)`` names them.
PARAMETER_NAMES = ("a1", "a2", "a3", "da", "r", "offset")

#: How a fit finds its tensor: ``"linear"``, the exact least-squares optimum
#: of ``kelfit.linear``, or ``"powell"``, Powell's method in single
#: precision through ``kelfit.fit`` (from the linear optimum or a start).
METHODS = ("linear", "powell")


@dataclass(frozen=True, eq=False)
class DesignRows:
    """Design rows in place of vectors: each row's five tensor columns
    (x^2 - z^2, y^2 - z^2, 2xy, 2xz, 2yz of a unit vector, before its scale
    and sigma), such as a coupling's row averaged over the models or frames
    of an ensemble (:mod:`kelfit_tools.average`), which is no one vector's.

    :func:`fit` (linear only), :func:`back_calculate`, :func:`design_matrix`
    and the validation take them wherever they take vectors; indexing
    selects rows as it does an array's.

    Attributes:
        rows: N x 5 float64.
        minimum_norm: the rows are averages over copies related by a
            symmetry (the chains of a symmetric oligomer), which determine
            only the tensor the symmetry leaves unchanged: the fit is the
            least-squares solution of least norm in an orthonormal basis of
            traceless symmetric tensors (NumPy's ``lstsq``), which is that
            tensor, instead of a refusal of the rank the symmetry removes.
    """

    rows: NDArray[np.float64]
    minimum_norm: bool = False

    def __post_init__(self) -> None:
        # Its own copy, frozen: the caller's array stays writable.
        rows = np.array(self.rows, dtype=np.float64, order="C")
        if rows.ndim != 2 or rows.shape[1] != 5:
            raise ValueError(f"design rows must be an N x 5 array, got {rows.shape}")
        rows.setflags(write=False)
        object.__setattr__(self, "rows", rows)

    def __len__(self) -> int:
        return int(self.rows.shape[0])

    def __getitem__(self, keep: Any) -> DesignRows:
        return DesignRows(self.rows[keep], self.minimum_norm)


def tensor_rows(vectors: ArrayLike) -> NDArray[np.float64]:
    """The design rows the linear fit builds from vectors (N x 5, before
    scale and sigma), to the bit: their mean over identical models is the
    same rows, which fit to the same bits.

    Raises:
        ValueError: not N x 3; ``kelfit.InputError`` for a vector the fits
            refuse.
    """
    import kelfit

    rows: NDArray[np.float64] = kelfit.tensor_rows(as_vectors(vectors))
    return rows


#: The design's columns (Axx, Ayy, Axy, Axz, Ayz) of an orthonormal basis of
#: traceless symmetric tensors (in the Frobenius product): (xx - yy) / sqrt 2,
#: (2 zz - xx - yy) / sqrt 6, and (xy + yx), (xz + zx), (yz + zy) over sqrt 2.
_ORTHONORMAL = np.array(
    [
        [1 / math.sqrt(2), -1 / math.sqrt(6), 0.0, 0.0, 0.0],
        [-1 / math.sqrt(2), -1 / math.sqrt(6), 0.0, 0.0, 0.0],
        [0.0, 0.0, 1 / math.sqrt(2), 0.0, 0.0],
        [0.0, 0.0, 0.0, 1 / math.sqrt(2), 0.0],
        [0.0, 0.0, 0.0, 0.0, 1 / math.sqrt(2)],
    ]
)


def _minimum_norm_fit(
    rows: DesignRows,
    o: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    k: NDArray[np.float64] | None,
    offset: bool,
) -> tuple[NDArray[np.float64], NDArray[np.float64], float]:
    """Parameters, values and cost of the least-norm least-squares tensor
    of symmetric design rows (see :class:`DesignRows`)."""
    design = rows.rows @ _ORTHONORMAL
    if k is not None:
        design = design * k[:, None]
    if offset:
        design = np.column_stack([design, np.ones(len(rows))])
    weight = np.ones(len(rows)) if w is None else 1.0 / w
    found = np.linalg.lstsq(design * weight[:, None], o * weight, rcond=None)[0]
    if not np.any(found[:5]):
        raise ValueError("the averaged rows do not determine any tensor")
    axx, ayy, axy, axz, ayz = _ORTHONORMAL @ found[:5]
    matrix = np.array([[axx, axy, axz], [axy, ayy, ayz], [axz, ayz, -axx - ayy]])
    t = tensor_from_matrix(matrix)
    shift = float(found[5]) if offset else 0.0
    params = np.array([t.a1, t.a2, t.a3, t.da, t.r, shift])
    tensor = rows.rows @ np.array([axx, ayy, axy, axz, ayz])
    values: NDArray[np.float64] = (tensor if k is None else k * tensor) + shift
    residual = (o - values) * weight
    return params, values, float(residual @ residual) / len(rows)


#: The method averaged rows are fitted by, as messages name it.
_AVERAGED = "averaged couplings are fitted by the linear solve only"


def _rows_values(
    rows: DesignRows, params: NDArray[np.float64], scale: NDArray[np.float64] | None
) -> NDArray[np.float64]:
    """The model's values of design rows: each row's columns against A's
    Axx, Ayy, Axy, Axz, Ayz, times the row's scale, plus the offset."""
    a = tensor_from_params(params)
    elements = np.array([a[0, 0], a[1, 1], a[0, 1], a[0, 2], a[1, 2]])
    tensor = rows.rows @ elements
    if scale is not None:
        tensor = scale * tensor
    values: NDArray[np.float64] = tensor + params[5]
    return values


def as_vectors(vectors: ArrayLike) -> NDArray[np.float64]:
    """Vectors as a C-contiguous N x 3 float64 array (the values unchecked)."""
    v = np.ascontiguousarray(vectors, dtype=np.float64)
    if v.ndim != 2 or v.shape[1] != 3:
        raise ValueError(f"vectors must be an N x 3 array, got shape {v.shape}")
    return v


def as_observed(observed: ArrayLike, count: int) -> NDArray[np.float64]:
    """Observed values as ``count`` float64 values (the values unchecked)."""
    o = np.ascontiguousarray(observed, dtype=np.float64)
    if o.ndim != 1 or o.shape[0] != count:
        raise ValueError(f"observed must hold {count} values, got shape {o.shape}")
    return o


def as_row_factors(
    values: ArrayLike | None, count: int, what: str
) -> NDArray[np.float64] | None:
    """Per-row sigma or scale as an array of ``count`` values (a single value
    stands for every row), or None when not given; the values are not checked.
    """
    if values is None:
        return None
    # np.asarray, not ascontiguousarray, which would make a single value a
    # one-row array and refuse it for any other count.
    a = np.asarray(values, dtype=np.float64)
    if a.ndim == 0:
        a = np.full(count, float(a))
    a = np.ascontiguousarray(a)
    if a.ndim != 1 or a.shape[0] != count:
        raise ValueError(f"{what} must hold {count} values, got shape {a.shape}")
    return a


def _check_factors(a: NDArray[np.float64] | None, what: str) -> None:
    """Raise naming the first row (from 1) whose sigma or scale cannot be used."""
    if a is None:
        return
    # The module narrows them to float32: a value that is positive in
    # double may still narrow to 0 or overflow.
    with np.errstate(over="ignore", under="ignore"):
        narrowed = a.astype(np.float32)
    invalid = narrowed <= 0.0 if what == "sigma" else narrowed == 0
    bad = np.flatnonzero(~np.isfinite(a) | ~np.isfinite(narrowed) | invalid)
    if bad.size:
        need = "positive" if what == "sigma" else "non-zero"
        raise ValueError(
            f"{what} of row {bad[0] + 1} must be finite and {need} in single "
            f"precision, got {a[bad[0]]}"
        )


def _row_factors(
    values: ArrayLike | None, count: int, what: str
) -> NDArray[np.float64] | None:
    """Per-row sigma or scale as a checked array, or None when not given."""
    a = as_row_factors(values, count, what)
    _check_factors(a, what)
    return a


def _unit_rows(v: NDArray[np.float64]) -> NDArray[np.float64]:
    norms = np.linalg.norm(v, axis=1)
    bad = np.flatnonzero(~np.isfinite(norms) | (norms == 0.0))
    if bad.size:
        raise ValueError(f"vector {bad[0] + 1} is zero-length or not finite")
    unit: NDArray[np.float64] = v / norms[:, None]
    return unit


def _params6(params: ArrayLike, what: str) -> NDArray[np.float64]:
    p = np.asarray(params, dtype=np.float64).ravel()
    if p.size not in (5, 6):
        raise ValueError(
            f"{what} must hold 5 values (a1, a2, a3, Da, R) or 6 (with the "
            f"offset), got {p.size}"
        )
    out = np.zeros(6)
    out[: p.size] = p
    return out


def back_calculate(
    vectors: ArrayLike | DesignRows,
    params: ArrayLike,
    *,
    scale: ArrayLike | None = None,
) -> NDArray[np.float64]:
    """The model's value for each vector, through ``kelfit.solve``.

    Args:
        vectors: N x 3 array; only each row's direction matters.  Or
            :class:`DesignRows`, whose values are computed here in double.
        params: (a1, a2, a3, Da, R) with the angles in radians, optionally
            followed by an offset, which is added to every value.
        scale: one factor per row for Da and Dr (a bond's dipolar constant
            relative to the reference bond); the offset is not scaled.

    Returns:
        An array of N values.
    """
    import kelfit

    p = _params6(params, "params")
    if isinstance(vectors, DesignRows):
        return _rows_values(vectors, p, as_row_factors(scale, len(vectors), "scale"))
    v = as_vectors(vectors)
    s = as_row_factors(scale, v.shape[0], "scale")
    values: NDArray[np.float64] = np.array(
        kelfit.solve(v, p, scale=s), dtype=np.float64
    )
    return values


def design_matrix(
    vectors: ArrayLike | DesignRows,
    *,
    offset: bool = False,
    sigma: ArrayLike | None = None,
    scale: ArrayLike | None = None,
) -> NDArray[np.float64]:
    """The matrix of the linear fit: one row per vector, one column per unknown.

    The value of a unit vector u is u^T A u for a traceless symmetric A, so
    the columns are x^2 - z^2, y^2 - z^2, 2xy, 2xz and 2yz (the unknowns
    Axx, Ayy, Axy, Axz, Ayz), each times the row's scale, then a column of
    ones for the offset when ``offset`` is true; every row is divided by
    its sigma.

    :class:`DesignRows` give their own five columns.

    Raises:
        ValueError: bad vectors, or a sigma or scale that cannot be used.
    """
    if isinstance(vectors, DesignRows):
        count = len(vectors)
        columns = list(vectors.rows.T)
    else:
        v = _unit_rows(as_vectors(vectors))
        count = v.shape[0]
        x, y, z = v[:, 0], v[:, 1], v[:, 2]
        columns = [x * x - z * z, y * y - z * z, 2 * x * y, 2 * x * z, 2 * y * z]
    w = _row_factors(sigma, count, "sigma")
    k = _row_factors(scale, count, "scale")
    if k is not None:
        columns = [k * c for c in columns]
    if offset:
        columns.append(np.ones(count))
    design = np.column_stack(columns)
    if w is not None:
        design = design / w[:, None]
    return design


def linear_start(
    vectors: ArrayLike | DesignRows,
    observed: ArrayLike,
    *,
    offset: bool = False,
    sigma: ArrayLike | None = None,
    scale: ArrayLike | None = None,
) -> NDArray[np.float64]:
    """The global least-squares optimum, by one linear solve (``kelfit.linear``).

    The model is linear in the five independent elements of a traceless
    symmetric matrix A (value = u^T A u for the unit vector u), plus a
    constant when ``offset`` is true, so one solve finds the best tensor
    without any starting guess, written as the module's parameters in
    canonical order (0 <= R <= 2/3).

    Args:
        vectors: N x 3 array of bond vectors.
        observed: N observed values.
        offset: also solve for a constant offset.
        sigma: per-row uncertainties; rows are weighted by 1 / sigma^2.
        scale: per-row factors of the tensor (not of the offset).

    Returns:
        Parameters ``[a1, a2, a3, Da, R, offset]`` (offset 0 unless fitted).

    Raises:
        ValueError: shapes; ``kelfit.InputError`` for values the module
            refuses (naming the argument and the row); a ``ValueError`` for
            vectors whose directions do not determine the tensor.
    """
    import kelfit

    if isinstance(vectors, DesignRows):
        o = as_observed(observed, len(vectors))
        w = as_row_factors(sigma, len(vectors), "sigma")
        k = as_row_factors(scale, len(vectors), "scale")
        if vectors.minimum_norm:
            return _minimum_norm_fit(vectors, o, w, k, offset)[0]
        rows = kelfit.linear_rows(vectors.rows, o, sigma=w, scale=k, offset=offset)
        found: NDArray[np.float64] = rows.params
        return found
    v = as_vectors(vectors)
    o = as_observed(observed, v.shape[0])
    w = as_row_factors(sigma, v.shape[0], "sigma")
    k = as_row_factors(scale, v.shape[0], "scale")
    solved = kelfit.linear(v, o, sigma=w, scale=k, offset=offset)
    params: NDArray[np.float64] = solved.params
    return params


@dataclass(frozen=True, eq=False)
class FitResult:
    """The outcome of :func:`fit`.

    Attributes:
        angles: z-x-z angles (a1, a2, a3) in radians, as the module fitted them.
        da: axial component Da (for a row of scale 1).
        r: rhombicity R, as fitted (see :meth:`tensor` for 0 <= R <= 2/3).
        offset: fitted constant offset (0 when not fitted).
        offset_fitted: whether the offset was a free parameter.
        observed: the observed values.
        calculated: back-calculated values (offset included).
        cost: the quantity the fit minimises: the mean of squared residuals,
            each divided by its sigma when sigmas are given (chi^2 / N).
        n: number of values.
        sigma: per-row uncertainties, or None for an unweighted fit.
        scale: per-row factors of Da and Dr, or None (all 1).
        evaluations, runs: the module's cost evaluations and Powell runs
            (0 when the parameters did not come from a fit).
        converged: False when Powell stopped at its iteration limit (True
            when the parameters did not come from a fit).
        fixed: names of the parameters held at their given values.
        method: ``"linear"`` or ``"powell"`` (see :data:`METHODS`); empty
            when the parameters did not come from a fit.

    ``dr`` (R Da as fitted; the module's 1.5 Da R is :attr:`dr_model`, the
    canonical tensor's R Da :attr:`rhombic_component`), ``residuals``,
    ``rmsd``, ``q``, ``pearson_r``, ``chi2``, ``q_da`` and ``q_clore_garrett``
    (each documented
    below) are computed from the fields above on first access and kept:
    a fit made only for its tensor (many fits, refits, frames) never pays
    for them, and every access gives the same value.
    """

    angles: tuple[float, float, float]
    da: float
    r: float
    offset: float
    offset_fitted: bool
    observed: NDArray[np.float64]
    calculated: NDArray[np.float64]
    cost: float
    n: int
    sigma: NDArray[np.float64] | None = None
    scale: NDArray[np.float64] | None = None
    evaluations: int = 0
    runs: int = 0
    converged: bool = True
    fixed: tuple[str, ...] = ()
    method: str = ""

    def __repr__(self) -> str:
        return (
            f"FitResult(n={self.n}, da={self.da:.6g}, r={self.r:.4g}, "
            f"q={self.q:.4g}, rmsd={self.rmsd:.4g})"
        )

    def _repr_html_(self) -> str:
        """The tensor, the quality numbers and the per-type table, for a
        notebook."""
        return html_of(self)

    @property
    def params(self) -> NDArray[np.float64]:
        """The six parameters ``[a1, a2, a3, Da, R, offset]`` (a new array)."""
        return np.array([*self.angles, self.da, self.r, self.offset])

    @property
    def angles_deg(self) -> tuple[float, float, float]:
        """The angles in degrees, each in [0, 360)."""
        return angles_in_degrees(self.angles)

    @property
    def dr_model(self) -> float:
        """The module's rhombic coefficient 1.5 Da R, of ``da`` and ``r`` as
        fitted."""
        return dr_model(self.da, self.r)

    @property
    def rhombic_component(self) -> float:
        """Dr = R Da of the canonical tensor (0 <= R <= 2/3)."""
        return self.tensor().dr

    @property
    def free_parameters(self) -> int:
        """Parameters the fit moved: 5, or 6 with the offset, less the fixed."""
        free = 6 if self.offset_fitted else 5
        return free - sum(name != "offset" for name in self.fixed)

    @property
    def reduced_chi2(self) -> float:
        """chi^2 / (N - free parameters); nan without sigma or spare rows."""
        dof = self.n - self.free_parameters
        return self.chi2 / dof if dof > 0 else math.nan

    def tensor(self) -> Tensor:
        """The fitted tensor in canonical form (principal axes, 0 <= R <= 2/3).

        Computed once: reports ask for it many times, and each time would
        otherwise be an eigendecomposition.
        """
        return self._canonical

    @cached_property
    def dr(self) -> float:
        """Dr = R Da of ``da`` and ``r`` as fitted."""
        return rhombic_component(self.da, self.r)

    @cached_property
    def residuals(self) -> NDArray[np.float64]:
        """observed - calculated (read-only)."""
        return _owned_readonly(self.observed - self.calculated)

    @cached_property
    def rmsd(self) -> float:
        """Root-mean-square deviation (unweighted)."""
        return root_mean_square(self.residuals)

    @cached_property
    def q(self) -> float:
        """Q-factor, rms(observed - calculated) / rms(observed)."""
        return q_factor(self.residuals, self.observed)

    @cached_property
    def pearson_r(self) -> float:
        """Pearson correlation of observed and calculated."""
        return pearson(self.observed, self.calculated)

    @cached_property
    def chi2(self) -> float:
        """Sum of squared residuals over sigma^2 (nan without sigma)."""
        return chi_square(self.residuals, self.sigma)

    @cached_property
    def mean_scale2(self) -> float:
        """The mean squared row scale (1 without scales)."""
        k = self.scale
        return float(k @ k) / self.n if k is not None else 1.0

    @cached_property
    def q_da(self) -> float:
        """rms(observed - calculated) over the rms an isotropic set of bonds
        would show, sqrt(Da^2 (4 + 3 R^2) / 5 * mean(scale^2)) (nan for
        Da = 0)."""
        expected = tensor_rms(self.da, self.r, self.mean_scale2)
        return self.rmsd / expected if expected > 0 else math.nan

    @cached_property
    def q_clore_garrett(self) -> float:
        """Clore and Garrett's Q: rms(observed - calculated) over
        sqrt(2 Da^2 (4 + 3 R^2) / 5 * mean(scale^2)), as published (the
        denominator twice that of :attr:`q_da`, so sqrt(2) smaller); nan for
        Da = 0."""
        return clore_garrett_q(self.rmsd, self.da, self.r, self.mean_scale2)

    @cached_property
    def _canonical(self) -> Tensor:
        # A cached_property writes the instance's __dict__ directly, which a
        # frozen dataclass allows; the tensor's axes are read-only.
        return canonical(self.params)


def canonical_tensors(results: Sequence[FitResult]) -> list[Tensor]:
    """Each result's :meth:`FitResult.tensor`, for many results at once.

    The eigendecompositions of the whole list are one pass over a stack;
    each result keeps its tensor, as ``tensor()`` would, with the same bits.
    """
    todo = [r for r in results if "_canonical" not in r.__dict__]
    if todo:
        matrices = np.array([tensor_from_params(r.params) for r in todo])
        for r, t in zip(todo, tensors_from_matrices(matrices)):
            r.__dict__["_canonical"] = t
    return [r.tensor() for r in results]


#: Every field of a result, in order.
_FIELD_NAMES = tuple(f.name for f in fields(FitResult))

#: The fields of a result that are arrays of one value per row.
_ROW_FIELDS = ("observed", "calculated", "sigma", "scale")


class PackedResults:
    """A list of :class:`FitResult` in a form that pickles as a few arrays.

    A result pickled on its own carries its arrays one by one, which costs
    more than a linear fit; a batch sent back from a process pool or a
    Dask worker travels packed instead. Results whose arrays are equally
    long (or None) share one stacked array per field; the rest are kept as
    they are. Unpacked, every field is the same bits, the arrays read-only
    views of the stacks; statistics are derived again on first access.
    """

    def __init__(self, results: Sequence[FitResult]) -> None:
        self._count = len(results)
        rows = {r.n for r in results}
        stackable = len(rows) == 1 and all(type(r) is FitResult for r in results)
        self._columns: dict[str, Any] = {}
        self._loose: list[FitResult] | None = None
        if not stackable or not results:
            self._loose = list(results)
            return
        for name in _FIELD_NAMES:
            values = [getattr(r, name) for r in results]
            column: Any = values
            if name in _ROW_FIELDS:
                given = [v is not None for v in values]
                if any(given) and not all(given):
                    self._loose = list(results)
                    self._columns = {}
                    return
                column = np.stack(values) if all(given) else None
            self._columns[name] = column

    def __len__(self) -> int:
        return self._count

    def __iter__(self) -> Iterator[FitResult]:
        if self._loose is not None:
            yield from self._loose
            return
        rows: list[Any] = []
        for name in _FIELD_NAMES:
            column = self._columns[name]
            if name not in _ROW_FIELDS:
                rows.append(column)
            elif column is None:
                rows.append([None] * self._count)
            else:
                column.setflags(write=False)
                rows.append(list(column))  # read-only views, one per result
        for values in zip(*rows):
            yield frozen_result(**dict(zip(_FIELD_NAMES, values)))


def _readonly(a: NDArray[np.float64] | None) -> NDArray[np.float64] | None:
    if a is None:
        return None
    a = a.astype(np.float64)  # always a copy
    a.setflags(write=False)
    return a


def _owned_readonly(a: NDArray[np.float64]) -> NDArray[np.float64]:
    """An array this module made itself, frozen without a copy."""
    a.setflags(write=False)
    return a


def frozen_result(**values: Any) -> FitResult:
    """A FitResult holding ``values``, which must name every field.

    The frozen dataclass's ``__init__`` sets each field through
    ``object.__setattr__``, which costs several times the rest of a linear
    fit's Python; a result made here is the same object, every field in
    its ``__dict__``, as that ``__init__`` would make.
    """
    result = object.__new__(FitResult)
    result.__dict__.update(values)
    return result


def _result(
    o: NDArray[np.float64],
    p: Sequence[float] | NDArray[np.float64],
    w: NDArray[np.float64] | None,
    k: NDArray[np.float64] | None,
    calc: NDArray[np.float64],
    cost: float,
    *,
    offset_fitted: bool,
    owned: bool = False,
    evaluations: int = 0,
    runs: int = 0,
    converged: bool = True,
    fixed: tuple[str, ...] = (),
    method: str = "",
) -> FitResult:
    """The result of parameters p, whose model values are calc and whose
    cost is given, against checked arrays; with ``owned``, o, w and k are
    this module's own (not the caller's) and are kept without a copy.

    A fit spends most of its time in the module, without the interpreter's
    lock; what it spends here holds the lock, so fits on several threads
    wait for each other only here. Hence no statistics here: the result
    derives them on first access.
    """
    keep = _owned_readonly if owned else _readonly
    a1, a2, a3, da, r, offset = p.tolist() if isinstance(p, np.ndarray) else p
    return frozen_result(
        angles=(float(a1), float(a2), float(a3)),
        da=float(da),
        r=float(r),
        offset=float(offset),
        offset_fitted=offset_fitted,
        observed=keep(o),
        calculated=_owned_readonly(calc),
        cost=cost,
        n=int(o.size),
        sigma=None if w is None else keep(w),
        scale=None if k is None else keep(k),
        evaluations=evaluations,
        runs=runs,
        converged=converged,
        fixed=fixed,
        method=method,
    )


def result_from_params(
    vectors: ArrayLike,
    observed: ArrayLike,
    params: ArrayLike,
    *,
    offset_fitted: bool,
    sigma: ArrayLike | None = None,
    scale: ArrayLike | None = None,
    evaluations: int = 0,
    runs: int = 0,
) -> FitResult:
    """Statistics of given parameters against observed values."""
    v = as_vectors(vectors)
    o = as_observed(observed, v.shape[0])
    p = _params6(params, "params")
    w = _row_factors(sigma, v.shape[0], "sigma")  # the module never sees it
    k = as_row_factors(scale, v.shape[0], "scale")
    import kelfit

    calc = np.asarray(kelfit.solve(v, p, scale=k), dtype=np.float64)
    res = o - calc
    # The mean of the squared (weighted) residuals, as a fit's cost.
    cost = chi_square(res, w) / o.size if w is not None else float(res @ res) / o.size
    return _result(
        o,
        p,
        w,
        k,
        calc,
        cost,
        offset_fitted=offset_fitted,
        evaluations=evaluations,
        runs=runs,
    )


def convergence_warning(result: FitResult) -> str | None:
    """The warning a report carries when the fit stopped at the minimizer's
    iteration limit, else None."""
    if result.converged:
        return None
    return (
        "the fit stopped at the minimizer's iteration limit without converging "
        f"(after {result.evaluations} cost evaluations); the tensor may not be "
        "the best one"
    )


def fixed_indices(fixed: Mapping[str, float] | None) -> dict[int, float]:
    """The module's index of each named fixed parameter, with its value.

    Raises:
        ValueError: a name that is not a parameter's (a1, a2, a3, da, r,
            offset; any case).
    """
    out: dict[int, float] = {}
    for name, value in (fixed or {}).items():
        key = name.lower()
        if key not in PARAMETER_NAMES:
            raise ValueError(
                f"cannot fix {name!r}: the parameters are {', '.join(PARAMETER_NAMES)}"
            )
        out[PARAMETER_NAMES.index(key)] = float(value)
    return out


_POWELL = Hint("method", "powell", python="method 'powell'")


def resolve_method(
    method: str | None, *, start: bool = False, fixed: bool = False
) -> str:
    """The method a fit uses: ``method`` when given, else ``"linear"``, or
    ``"powell"`` when a start or fixed parameters are given (the linear
    solve has no use for either).

    Raises:
        ValueError: an unknown method, or ``"linear"`` with fixed
            parameters or a start.
    """
    if method is None:
        return "powell" if start or fixed else "linear"
    if method not in METHODS:
        raise ValueError(f"method must be 'linear' or 'powell', got {method!r}")
    if method == "linear" and fixed:
        raise ValueError(
            Advice(
                "fixed parameters need {0}: the linear solve finds "
                "every parameter at once and cannot hold any at a given value",
                _POWELL,
            )
        )
    if method == "linear" and start:
        raise ValueError(
            Advice("a start is used only by {0}: the linear solve needs none", _POWELL)
        )
    return method


def _linear_result(
    o: NDArray[np.float64],
    params: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    k: NDArray[np.float64] | None,
    values: NDArray[np.float64],
    cost: float,
    offset: bool,
) -> FitResult:
    """The result of one linear solve (the global optimum: no Powell run)."""
    return _result(o, params, w, k, values, cost, offset_fitted=offset, method="linear")


def _solved_result(
    o: NDArray[np.float64],
    solved: Any,
    w: NDArray[np.float64] | None,
    k: NDArray[np.float64] | None,
    offset: bool,
) -> FitResult:
    """:func:`_linear_result` of what ``kelfit.linear`` or
    ``kelfit.linear_rows`` returned."""
    return _linear_result(
        o, solved.params, w, k, solved.values, float(solved.cost), offset
    )


def fit(
    vectors: ArrayLike | DesignRows,
    observed: ArrayLike,
    start: ArrayLike | None = None,
    *,
    offset: bool = False,
    sigma: ArrayLike | None = None,
    scale: ArrayLike | None = None,
    fixed: Mapping[str, float] | None = None,
    method: str | None = None,
) -> FitResult:
    """Fit the orientation tensor to one observed value per vector.

    With ``method="linear"`` (the default) the result is the exact global
    least-squares optimum of ``kelfit.linear``, in double precision. With
    ``method="powell"`` ``kelfit.fit`` refines the start (by default that
    linear optimum) by Powell's method in single precision; fixed
    parameters need it. Either way the result's values and cost are the
    module's own, from one call into it; the caller's arrays are never
    touched.

    Args:
        vectors: N x 3 array of bond vectors (only directions matter), or
            :class:`DesignRows` (such as couplings averaged over an
            ensemble), which the linear method alone fits.
        observed: N observed values.
        start: ``[a1, a2, a3, Da, R]`` (radians), optionally with an offset,
            for Powell; by default :func:`linear_start`, the global linear
            optimum. Without ``offset`` a sixth value is ignored.
        offset: fit a constant offset as well.
        sigma: per-row uncertainties: the fit minimises chi^2 instead of
            the plain sum of squares.
        scale: per-row factors of Da and Dr, such as each bond's dipolar
            constant relative to a reference bond.
        fixed: parameters held at given values, by name (a1, a2, a3, da, r,
            offset; any case; angles in radians), for instance Da and R
            known from another medium. They replace the start's values; the
            others start where ``start`` (or the linear optimum) puts them.
        method: ``"linear"`` or ``"powell"``; None: linear, or powell when
            ``start`` or ``fixed`` is given (see :func:`resolve_method`).

    Returns:
        A :class:`FitResult`.

    Raises:
        ValueError: shapes, an unknown method or parameter name, method
            ``"linear"`` with ``fixed`` or ``start``, or directions that do
            not determine the tensor; the module's refusals of values are
            ``kelfit.InputError``, which name the argument and the row
            (counted from 1).
    """
    import kelfit

    held = fixed_indices(fixed)
    chosen = resolve_method(method, start=start is not None, fixed=bool(held))
    if isinstance(vectors, DesignRows):
        if chosen != "linear":
            message = f"{_AVERAGED}: a start, fixed parameters and {{0}} need vectors"
            raise ValueError(Advice(message, _POWELL))
        o = as_observed(observed, len(vectors))
        w = as_row_factors(sigma, len(vectors), "sigma")
        k = as_row_factors(scale, len(vectors), "scale")
        if vectors.minimum_norm:
            _check_factors(w, "sigma")
            _check_factors(k, "scale")
            p, values, cost = _minimum_norm_fit(vectors, o, w, k, offset)
            return _linear_result(o, p, w, k, values, cost, offset)
        solved = kelfit.linear_rows(vectors.rows, o, sigma=w, scale=k, offset=offset)
        return _solved_result(o, solved, w, k, offset)
    v = as_vectors(vectors)
    o = as_observed(observed, v.shape[0])
    w = as_row_factors(sigma, v.shape[0], "sigma")
    k = as_row_factors(scale, v.shape[0], "scale")
    if chosen == "linear":
        solved = kelfit.linear(v, o, sigma=w, scale=k, offset=offset)
        return _solved_result(o, solved, w, k, offset)
    if start is None:
        params = linear_start(v, o, offset=offset, sigma=w, scale=k)
    else:
        params = _params6(start, "start")
    for index, value in held.items():
        params[index] = value
    # A fixed offset is part of the model even when it is not fitted.
    in_cost = offset or 5 in held
    if not in_cost:
        params[5] = 0.0
    try:
        outcome = kelfit.fit(
            v, o, params, sigma=w, scale=k, offset=in_cost, fixed=tuple(sorted(held))
        )
    except kelfit.InputError as exc:
        if start is None and exc.argument == "start":
            # The caller gave no start: the one refused came from their values.
            raise ValueError(
                "the observed values are too large for a single-precision fit: "
                f"their linear optimum has {PARAMETER_NAMES[exc.parameter or 0]} "
                f"= {params[exc.parameter or 0]:.6g}"
            ) from exc
        raise
    return _result(
        o,
        outcome.params,
        w,
        k,
        outcome.values,
        float(outcome.cost),
        offset_fitted=offset and 5 not in held,
        evaluations=int(outcome.evaluations),
        runs=int(outcome.runs),
        converged=bool(outcome.converged),
        fixed=tuple(PARAMETER_NAMES[i] for i in sorted(held)),
        method="powell",
    )


def fit_stack(
    vectors: ArrayLike,
    observed: ArrayLike,
    *,
    offset: bool = False,
    sigma: ArrayLike | None = None,
    scale: ArrayLike | None = None,
    workers: int = 1,
) -> list[FitResult]:
    """Linear fits of a stack of F problems of N rows, in one module call.

    Each result is the same bits as :func:`fit` of that problem alone with
    ``method="linear"``.

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
    # The table holds the one path from a stack to its results; imported
    # here, since it builds on this module.
    from .table import stack_table

    return stack_table(
        vectors, observed, offset=offset, sigma=sigma, scale=scale, workers=workers
    ).results()
