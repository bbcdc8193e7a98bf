"""Data sets, the SciPy peer and the shared cost for the fit benchmarks.

Both sides of every comparison fit the same vectors and observed values
from the same start; both final results are scored by :func:`final_cost`,
in double precision, so that a faster fit can never hide a worse one.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np
from kelfit_tools import datasets
from kelfit_tools.tensor import rotation_matrix
from numpy.typing import NDArray

Array = NDArray[np.float64]

ROOT = Path(__file__).resolve().parent.parent
# Read where the package holds them.
UBIQUITIN_STRUCTURE = datasets.path("ubiquitin", "1d3z-model-1.pdb")
UBIQUITIN_COUPLINGS = datasets.path("ubiquitin", "couplings.tab")

# The tensor the synthetic sets come from: z-x-z angles (radians), Da, R.
TRUE_TENSOR = (0.6, 1.1, -0.4, -9.0, 0.35)
NOISE_SD = 0.8
# Every start is the known tensor (synthetic) or the linear least-squares
# optimum (real data) moved by this much, so Powell has work to do: about
# 9, -7 and 11 degrees on the angles, 15 % on Da, 0.05 on R.
ANGLE_SHIFT = (0.15, -0.12, 0.2)
DA_SCALE = 1.15
R_SHIFT = 0.05

# The peer runs SciPy's Powell with its default options (unit start
# directions, its own tolerances), as a SciPy user would.
SCIPY_METHOD = "Powell"


@dataclass(frozen=True)
class Dataset:
    """Vectors, observed values and the start both fits begin from.

    Attributes:
        name: shown in the tables.
        vectors: N x 3, float64, C order.
        observed: N values.
        start: the module's six parameters [a1, a2, a3, Da, R, offset].
    """

    name: str
    vectors: Array
    observed: Array
    start: Array

    @property
    def n(self) -> int:
        """Number of vectors."""
        return int(self.vectors.shape[0])


def model(q: Array, vectors: Array) -> Array:
    """Model values for q = (a1, a2, a3, Da, Dr), algebraically, in double.

    cos^2 theta = z'^2 / r^2 and sin^2 theta cos 2 phi = (x'^2 - y'^2) / r^2.
    """
    rotated: Array = vectors @ rotation_matrix(q[0], q[1], q[2]).T
    x, y, z = rotated[:, 0], rotated[:, 1], rotated[:, 2]
    r2 = x * x + y * y + z * z
    values: Array = q[3] * (3.0 * z * z / r2 - 1.0) + q[4] * (x * x - y * y) / r2
    return values


def final_cost(q: Array, dataset: Dataset) -> float:
    """Mean squared deviation at q, the one score both sides get."""
    residual = dataset.observed - model(q, dataset.vectors)
    return float(np.mean(residual * residual))


def to_q(params: Array) -> Array:
    """Module parameters [a1, a2, a3, Da, R, ...] as (a1, a2, a3, Da, Dr)."""
    a1, a2, a3, da, r = (float(v) for v in params[:5])
    return np.array([a1, a2, a3, da, 1.5 * da * r])


def perturbed(params: Array) -> Array:
    """The start: params moved by the fixed shifts above."""
    start = np.array(params[:6], dtype=np.float64)
    start[:3] += ANGLE_SHIFT
    start[3] *= DA_SCALE
    start[4] += R_SHIFT
    start[5] = 0.0
    return start


def synthetic(n: int) -> Dataset:
    """n random directions (seeded by n), the known tensor plus noise."""
    rng = np.random.default_rng(1000 + n)
    vectors = rng.normal(size=(n, 3))
    a1, a2, a3, da, r = TRUE_TENSOR
    truth = np.array([a1, a2, a3, da, r, 0.0])
    observed = model(to_q(truth), vectors) + rng.normal(scale=NOISE_SD, size=n)
    return Dataset(f"synthetic {n:,}", vectors, observed, perturbed(truth))


def ubiquitin() -> Dataset:
    """The measured N-H couplings of ubiquitin on 1D3Z, model 1."""
    from kelfit_tools import linear_start, read_couplings, structure_vectors

    couplings = read_couplings(UBIQUITIN_COUPLINGS)
    nh = structure_vectors(UBIQUITIN_STRUCTURE, couplings, atoms=("N", "H"))
    vectors = np.ascontiguousarray(nh.vectors, dtype=np.float64)
    observed = np.ascontiguousarray(nh.values, dtype=np.float64)
    start = perturbed(linear_start(vectors, observed))
    return Dataset(f"ubiquitin N-H ({len(observed)})", vectors, observed, start)


def write_dataset(dataset: Dataset, folder: Path) -> None:
    """Raw float64 files, as kelfit_fit_count and the workers read them."""
    folder.mkdir(parents=True, exist_ok=True)
    dataset.vectors.astype("<f8").tofile(folder / "vectors.f64")
    dataset.observed.astype("<f8").tofile(folder / "observed.f64")
    dataset.start.astype("<f8").tofile(folder / "start.f64")
    (folder / "name").write_text(dataset.name, encoding="utf-8")


def read_dataset(folder: Path) -> Dataset:
    """The data set write_dataset wrote."""
    vectors = np.fromfile(folder / "vectors.f64", dtype="<f8").reshape(-1, 3)
    observed = np.fromfile(folder / "observed.f64", dtype="<f8")
    start = np.fromfile(folder / "start.f64", dtype="<f8")
    name = (folder / "name").read_text(encoding="utf-8")
    return Dataset(name, vectors, observed, start)


class PeerCost:
    """The peer's objective: mean squared deviation over (a1, a2, a3, Da, Dr).

    Plain NumPy as a careful user writes it: the vectors are laid out once as
    three rows so each evaluation is one small matrix product, and 1/r^2 is
    taken once because rotation keeps lengths.
    """

    def __init__(self, vectors: Array, observed: Array) -> None:
        self.columns = np.ascontiguousarray(vectors.T)
        self.inverse_r2 = 1.0 / np.einsum("ij,ij->i", vectors, vectors)
        self.observed = observed
        self.evaluations = 0

    def __call__(self, q: Array) -> float:
        self.evaluations += 1
        x, y, z = rotation_matrix(q[0], q[1], q[2]) @ self.columns
        value = q[3] * (3.0 * z * z * self.inverse_r2 - 1.0)
        value += q[4] * (x * x - y * y) * self.inverse_r2
        residual = self.observed - value
        return float(np.mean(residual * residual))


@dataclass(frozen=True)
class FitOutcome:
    """One fit: where it ended (a1, a2, a3, Da, Dr) and what it cost."""

    q: Array
    seconds: float
    evaluations: int  # 0 where the side cannot count them


def fit_kelfit(dataset: Dataset) -> FitOutcome:
    """The module's fit without offset, c_kf_fdc(5, ...)."""
    import kelfit

    params = dataset.start.copy()
    began = time.perf_counter()
    kelfit.c_kf_fdc(5, dataset.vectors, dataset.observed, params)
    seconds = time.perf_counter() - began
    return FitOutcome(to_q(params), seconds, 0)


def fit_scipy(dataset: Dataset) -> FitOutcome:
    """The peer: SciPy's Powell with its default options, same start."""
    from scipy.optimize import minimize

    began = time.perf_counter()
    cost = PeerCost(dataset.vectors, dataset.observed)
    result = minimize(cost, to_q(dataset.start), method=SCIPY_METHOD)
    seconds = time.perf_counter() - began
    return FitOutcome(np.asarray(result.x, dtype=np.float64), seconds, cost.evaluations)


FITTERS: dict[str, Callable[[Dataset], FitOutcome]] = {
    "kelfit": fit_kelfit,
    "scipy": fit_scipy,
}


def write_section(results: Path, section: str, start: str, end: str) -> None:
    """Put a benchmark's section (opening with ``start`` and closing with
    ``end``) into results.md, in place of an earlier one, else at its end."""
    text = results.read_text(encoding="utf-8") if results.exists() else ""
    if start in text and end in text:
        before, rest = text.split(start, 1)
        after = rest.split(end, 1)[1]
        text = before.rstrip("\n") + "\n\n" + section + after
    else:
        text = text.rstrip("\n") + ("\n\n" if text else "") + section + "\n"
    results.write_text(text, encoding="utf-8")
