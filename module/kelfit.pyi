"""Fit a second-rank orientation tensor to one observed value per vector.

Parameters travel as six float64 values: three z-x-z angles (radians), Da,
R and the offset. ``fit``, ``solve`` and ``linear`` take any array-like and
never write it; the original entries ``c_kel_fit``, ``c_kf_fdc`` and
``c_solve`` hold the GIL and fit in place.
"""

import sys
from collections.abc import Iterable
from typing import Any, Final, Literal, final, overload

import numpy as np
from _typeshed import structseq
from numpy.typing import ArrayLike, NDArray

# The model kernel in use: "exact", "scalar", "pairs" or "avx2".
value_kernel: Final[str]
steric_max_orientations: Final[int]

class InputError(ValueError):
    """Input that kelfit.fit, kelfit.solve or kelfit.linear cannot use."""

    # The argument at fault (such as "vectors"), when the module names one.
    argument: str | None
    # The row at fault, counted from 1.
    row: int | None
    # The parameter's index, 0 to 5.
    parameter: int | None
    # What is wrong: the message without its subject.
    reason: str | None
    # In a stack, the problem at fault, counted from 0.
    problem: int | None

# Unpacks as (params, cost, evaluations, runs); values and converged are
# attributes only.
@final
class FitResult(structseq[Any], tuple[NDArray[np.float64], float, int, int]):
    if sys.version_info >= (3, 10):
        __match_args__: Final = ("params", "cost", "evaluations", "runs")

    @property
    def params(self) -> NDArray[np.float64]: ...
    @property
    def cost(self) -> float: ...
    @property
    def evaluations(self) -> int: ...
    @property
    def runs(self) -> int: ...
    @property
    def values(self) -> NDArray[np.float64]: ...
    @property
    def converged(self) -> bool: ...

# Unpacks as (params, order_matrix, values, cost). For a stack of F problems
# every field gains a leading axis of F and cost is an array.
@final
class LinearResult(
    structseq[Any],
    tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], Any],
):
    if sys.version_info >= (3, 10):
        __match_args__: Final = ("params", "order_matrix", "values", "cost")

    @property
    def params(self) -> NDArray[np.float64]: ...
    @property
    def order_matrix(self) -> NDArray[np.float64]: ...
    @property
    def values(self) -> NDArray[np.float64]: ...
    @property
    def cost(self) -> float | NDArray[np.float64]: ...

def fit(
    vectors: ArrayLike,
    observed: ArrayLike,
    start: ArrayLike,
    *,
    sigma: ArrayLike | None = None,
    scale: ArrayLike | None = None,
    offset: bool = False,
    fixed: Iterable[int] = (),
) -> FitResult:
    """Fit the tensor to observed values."""

def solve(
    vectors: ArrayLike, params: ArrayLike, *, scale: ArrayLike | None = None
) -> NDArray[np.float64]:
    """The model's value for every vector, offset and scale applied."""

def linear(
    vectors: ArrayLike,
    observed: ArrayLike,
    *,
    sigma: ArrayLike | None = None,
    scale: ArrayLike | None = None,
    offset: bool = False,
    workers: int = 1,
) -> LinearResult:
    """The global least-squares optimum of fit's cost, by one linear solve."""

def tensor_rows(vectors: ArrayLike) -> NDArray[np.float64]:
    """The N x 5 design rows linear builds from the vectors, to the bit."""

def linear_rows(
    rows: ArrayLike,
    observed: ArrayLike,
    *,
    sigma: ArrayLike | None = None,
    scale: ArrayLike | None = None,
    offset: bool = False,
) -> LinearResult:
    """linear from design rows (N x 5) in place of vectors."""

# Unpacks as (params, order_matrix, axes, draws), one entry per replicate.
@final
class ReplicatesResult(
    structseq[Any],
    tuple[
        NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.int32]
    ],
):
    if sys.version_info >= (3, 10):
        __match_args__: Final = ("params", "order_matrix", "axes", "draws")

    @property
    def params(self) -> NDArray[np.float64]: ...
    @property
    def order_matrix(self) -> NDArray[np.float64]: ...
    @property
    def axes(self) -> NDArray[np.float64]: ...
    @property
    def draws(self) -> NDArray[np.int32]: ...

@overload
def replicates(
    vectors: ArrayLike,
    observed: ArrayLike,
    *,
    seed: int,
    first: int = 0,
    count: int = 1,
    perturbation: str = "noise",
    noise: ArrayLike | None = None,
    sigma: ArrayLike | None = None,
    scale: ArrayLike | None = None,
    offset: bool = False,
    vector_sets: ArrayLike | None = None,
    structure_noise: float = 0.0,
    draws: int = 1,
    workers: int = 1,
    drawn: Literal[False] = False,
) -> ReplicatesResult: ...
@overload
def replicates(
    vectors: ArrayLike,
    observed: ArrayLike,
    *,
    seed: int,
    first: int = 0,
    count: int = 1,
    perturbation: str = "noise",
    noise: ArrayLike | None = None,
    sigma: ArrayLike | None = None,
    scale: ArrayLike | None = None,
    offset: bool = False,
    vector_sets: ArrayLike | None = None,
    structure_noise: float = 0.0,
    draws: int = 1,
    workers: int = 1,
    drawn: Literal[True],
) -> tuple[
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64] | None,
    NDArray[np.float64] | None,
]: ...
def steric(
    coordinates: ArrayLike,
    radii: ArrayLike,
    *,
    shape: str = "wall",
    spacing: float,
    cylinder_radius: float = 0.0,
    orientations: int = 20000,
    workers: int = 0,
    charges: ArrayLike | None = None,
    charge_density: float = 0.0,
    ionic_strength: float | None = None,
    temperature: float | None = None,
    permittivity: float | None = None,
) -> tuple[NDArray[np.float64], float]:
    """The order matrix of a molecule in a dilute steric medium, charged
    or not, and the mean share of positions it is allowed."""

def wall_potential(
    distances: ArrayLike,
    *,
    charge_density: float,
    ionic_strength: float,
    temperature: float,
    permittivity: float,
) -> tuple[NDArray[np.float64], float, float]:
    """The Gouy-Chapman potential (e psi / kT) at each distance from a
    charged plane, the Debye length and the surface's potential."""

# The original entries: float64 arrays only; params is rewritten in place.
def c_kel_fit(
    n: int,
    vectors: NDArray[np.float64],
    observed: NDArray[np.float64],
    params: NDArray[np.float64],
    /,
) -> float: ...
def c_kf_fdc(
    n: int,
    vectors: NDArray[np.float64],
    observed: NDArray[np.float64],
    params: NDArray[np.float64],
    /,
) -> float: ...
def c_solve(
    n: int, vectors: NDArray[np.float64], params: NDArray[np.float64], /
) -> tuple[float, ...]: ...
