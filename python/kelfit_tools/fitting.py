"""Fitting and back-calculation through the :mod:`kelfit` extension module."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .tensor import Tensor, canonical, tensor_from_matrix

__all__ = ["FitResult", "back_calculate", "fit", "linear_start"]

#: Singular values this small relative to the largest leave the tensor
#: undetermined: the vectors do not sample enough independent directions.
_RANK_TOL = 1e-10


def _vectors(vectors: ArrayLike) -> NDArray[np.float64]:
    v = np.ascontiguousarray(vectors, dtype=np.float64)
    if v.ndim != 2 or v.shape[1] != 3:
        raise ValueError(f"vectors must be an N x 3 array, got shape {v.shape}")
    return v


def _observed(observed: ArrayLike, count: int) -> NDArray[np.float64]:
    o = np.ascontiguousarray(observed, dtype=np.float64)
    if o.ndim != 1 or o.shape[0] != count:
        raise ValueError(f"observed must hold {count} values, got shape {o.shape}")
    return o


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


def back_calculate(vectors: ArrayLike, params: ArrayLike) -> NDArray[np.float64]:
    """The model's value for each vector, through ``kelfit.c_solve``.

    Args:
        vectors: N x 3 array; only each row's direction matters.
        params: (a1, a2, a3, Da, R) with the angles in radians, optionally
            followed by an offset, which is added to every value.

    Returns:
        An array of N values.
    """
    import kelfit

    v = _vectors(vectors)
    p = _params6(params, "params")
    values: NDArray[np.float64] = np.asarray(kelfit.c_solve(5, v, p), dtype=np.float64)
    values += p[5]
    return values


def linear_start(
    vectors: ArrayLike, observed: ArrayLike, *, offset: bool = False
) -> NDArray[np.float64]:
    """The global least-squares optimum, by one linear solve.

    The model is linear in the five independent elements of a traceless
    symmetric matrix A (value = u^T A u for the unit vector u), plus a
    constant when ``offset`` is true, so an SVD solve finds the best tensor
    without any starting guess.  A is then diagonalised and written as the
    module's parameters in canonical order (0 <= R <= 2/3).

    Args:
        vectors: N x 3 array of bond vectors.
        observed: N observed values.
        offset: also solve for a constant offset.

    Returns:
        Parameters ``[a1, a2, a3, Da, R, offset]`` (offset 0 unless fitted).

    Raises:
        ValueError: too few values, bad vectors, or vectors whose directions
            do not determine the tensor.
    """
    v = _unit_rows(_vectors(vectors))
    o = _observed(observed, v.shape[0])
    if not np.all(np.isfinite(o)):
        raise ValueError("observed values must be finite")
    unknowns = 6 if offset else 5
    if v.shape[0] < unknowns:
        raise ValueError(
            f"need at least {unknowns} values to determine the tensor, got {v.shape[0]}"
        )
    x, y, z = v[:, 0], v[:, 1], v[:, 2]
    columns = [x * x - z * z, y * y - z * z, 2 * x * y, 2 * x * z, 2 * y * z]
    if offset:
        columns.append(np.ones_like(x))
    design = np.column_stack(columns)
    solution, _, rank, singular = np.linalg.lstsq(design, o, rcond=None)
    if rank < unknowns or singular[-1] <= _RANK_TOL * singular[0]:
        raise ValueError(
            "the vector directions do not determine the tensor "
            f"(rank {min(rank, unknowns - 1)} of {unknowns} needed)"
        )
    axx, ayy, axy, axz, ayz = solution[:5]
    matrix = np.array(
        [[axx, axy, axz], [axy, ayy, ayz], [axz, ayz, -axx - ayy]],
    )
    t = tensor_from_matrix(matrix)
    return np.array([t.a1, t.a2, t.a3, t.da, t.r, solution[5] if offset else 0.0])


@dataclass(frozen=True, eq=False)
class FitResult:
    """The outcome of :func:`fit`.

    Attributes:
        angles: z-x-z angles (a1, a2, a3) in radians, as the module fitted them.
        da: axial component Da.
        r: rhombicity R.
        dr: rhombic component Dr = 1.5 Da R.
        offset: fitted constant offset (0 when not fitted).
        offset_fitted: whether the offset was a free parameter.
        observed: the observed values.
        calculated: back-calculated values (offset included).
        residuals: observed - calculated.
        cost: mean squared deviation, the quantity the fit minimises.
        rmsd: root-mean-square deviation.
        q: Q-factor, rms(observed - calculated) / rms(observed).
        pearson_r: Pearson correlation of observed and calculated.
        n: number of values.
    """

    angles: tuple[float, float, float]
    da: float
    r: float
    dr: float
    offset: float
    offset_fitted: bool
    observed: NDArray[np.float64]
    calculated: NDArray[np.float64]
    residuals: NDArray[np.float64]
    cost: float
    rmsd: float
    q: float
    pearson_r: float
    n: int

    @property
    def params(self) -> NDArray[np.float64]:
        """The six parameters ``[a1, a2, a3, Da, R, offset]`` (a new array)."""
        return np.array([*self.angles, self.da, self.r, self.offset])

    @property
    def angles_deg(self) -> tuple[float, float, float]:
        """The angles in degrees, each in [0, 360)."""
        a1, a2, a3 = (math.degrees(a) % 360.0 for a in self.angles)
        return (a1, a2, a3)

    def tensor(self) -> Tensor:
        """The fitted tensor in canonical form (principal axes, 0 <= R <= 2/3)."""
        return canonical(self.params)


def _readonly(a: NDArray[np.float64]) -> NDArray[np.float64]:
    a = np.array(a, dtype=np.float64)
    a.flags.writeable = False
    return a


def result_from_params(
    vectors: ArrayLike,
    observed: ArrayLike,
    params: ArrayLike,
    *,
    offset_fitted: bool,
) -> FitResult:
    """Statistics of given parameters against observed values."""
    v = _vectors(vectors)
    o = _observed(observed, v.shape[0])
    p = _params6(params, "params")
    calc = back_calculate(v, p)
    res = o - calc
    cost = float(np.mean(res * res))
    rms_obs = float(np.sqrt(np.mean(o * o)))
    q = math.sqrt(cost) / rms_obs if rms_obs > 0 else math.nan
    if o.size > 1 and np.std(o) > 0 and np.std(calc) > 0:
        pearson = float(np.corrcoef(o, calc)[0, 1])
    else:
        pearson = math.nan
    return FitResult(
        angles=(float(p[0]), float(p[1]), float(p[2])),
        da=float(p[3]),
        r=float(p[4]),
        dr=1.5 * float(p[3]) * float(p[4]),
        offset=float(p[5]),
        offset_fitted=offset_fitted,
        observed=_readonly(o),
        calculated=_readonly(calc),
        residuals=_readonly(res),
        cost=cost,
        rmsd=math.sqrt(cost),
        q=q,
        pearson_r=pearson,
        n=int(o.size),
    )


def fit(
    vectors: ArrayLike,
    observed: ArrayLike,
    start: ArrayLike | None = None,
    *,
    offset: bool = False,
) -> FitResult:
    """Fit the orientation tensor to one observed value per vector.

    Calls ``kelfit.c_kf_fdc`` (five parameters) or, with ``offset=True``,
    ``kelfit.c_kel_fit`` (six, the offset included).  The module refines a
    copy of the start in place; the caller's array is never touched.

    Args:
        vectors: N x 3 array of bond vectors (only directions matter).
        observed: N observed values.
        start: ``[a1, a2, a3, Da, R]`` (radians), optionally with an offset;
            by default :func:`linear_start`, the global linear optimum.
            Without ``offset`` a sixth value is ignored.
        offset: fit a constant offset as well.

    Returns:
        A :class:`FitResult`.

    Raises:
        ValueError: invalid input (shapes, non-finite or zero-length
            vectors, too few values).
    """
    import kelfit

    v = _vectors(vectors)
    o = _observed(observed, v.shape[0])
    if start is None:
        params = linear_start(v, o, offset=offset)
    else:
        params = _params6(start, "start")
    if not offset:
        params[5] = 0.0
    if offset:
        kelfit.c_kel_fit(6, v, o, params)
    else:
        kelfit.c_kf_fdc(5, v, o, params)
    return result_from_params(v, o, params, offset_fitted=offset)
