"""What the fits of an ensemble's models say together."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from .display import html_of
from .fitting import FitResult
from .tensor import (
    Tensor,
    axis_angles,
    degree_of_order,
    following,
    tensor_from_matrix,
    tensor_from_params,
)

__all__ = ["EnsembleSummary", "summarize_ensemble"]


@dataclass(frozen=True, eq=False)
class EnsembleSummary:
    """The fits of every model of an ensemble, summarised.

    Attributes:
        models: the model numbers, in the order of the fits.
        q: Q of each model's fit.
        da, r: canonical Da and R of each model's tensor.
        mean: the mean tensor, in canonical form with its canonical angle
            triple: the average of the models' tensors as matrices in the
            molecular frame, so that equivalent angle sets cannot cancel or
            bias it.  It means something only when the models are
            superposed (:func:`kelfit_tools.superpose.superpose_models`).
        axis_deviation_deg: models x 3, the angle between each model's
            principal axis x, y, z and the mean tensor's.
        axis_spread_deg: root mean square of those angles over the models.
        best, worst: the model numbers with the lowest and the highest Q.
        reference_constant: the dipolar constant of a row of scale 1
            (|D_max(N-H)|, Hz) that makes the degrees of order
            dimensionless; 1 leaves them in Da's unit.
    """

    models: list[int]
    q: NDArray[np.float64]
    da: NDArray[np.float64]
    r: NDArray[np.float64]
    mean: Tensor
    axis_deviation_deg: NDArray[np.float64]
    axis_spread_deg: tuple[float, float, float]
    best: int
    worst: int
    reference_constant: float = 1.0

    def __repr__(self) -> str:
        return (
            f"EnsembleSummary(models={len(self.models)}, q_mean={self.q_mean:.4g}, "
            f"q_sd={self.q_sd:.4g}, best={self.best}, worst={self.worst})"
        )

    def _repr_html_(self) -> str:
        """Q over the models, the mean tensor and the spread, for a notebook."""
        return html_of(self)

    @property
    def q_mean(self) -> float:
        """Mean Q over the models."""
        return float(np.nanmean(self.q))

    @property
    def q_sd(self) -> float:
        """Standard deviation of Q over the models (0 for one model)."""
        return float(np.nanstd(self.q, ddof=1)) if len(self.q) > 1 else 0.0

    @property
    def q_median(self) -> float:
        """Median Q."""
        return float(np.nanmedian(self.q))

    @property
    def q_range(self) -> tuple[float, float]:
        """Lowest and highest Q."""
        return (float(np.nanmin(self.q)), float(np.nanmax(self.q)))

    @property
    def gdo(self) -> NDArray[np.float64]:
        """The generalized degree of order of each model's tensor
        (:func:`~kelfit_tools.tensor.degree_of_order`)."""
        degrees: NDArray[np.float64] = np.asarray(
            degree_of_order(self.da, self.r, self.reference_constant), dtype=np.float64
        )
        return degrees

    @property
    def gdo_sd(self) -> float:
        """Standard deviation of the degree of order over the models (0 for
        one model): how far the models' alignments differ in strength."""
        return float(np.std(self.gdo, ddof=1)) if len(self.gdo) > 1 else 0.0

    @property
    def mean_gdo(self) -> float:
        """The generalized degree of order of the mean tensor: below the
        models' own when their axes disagree, since their tensors partly
        cancel in the mean."""
        return float(
            degree_of_order(self.mean.da, self.mean.r, self.reference_constant)
        )


def summarize_ensemble(
    results: Sequence[FitResult],
    models: Sequence[int] | None = None,
    *,
    reference_constant: float = 1.0,
) -> EnsembleSummary:
    """Summarise the fits of an ensemble's models.

    Args:
        results: one fit per model.
        models: their model numbers (default 1, 2, ...).
        reference_constant: |D_max(N-H)| (Hz) of the fits' basis, which
            makes the degrees of order dimensionless
            (:attr:`~kelfit_tools.media.MediumFit.reference_constant`).

    Raises:
        ValueError: no fits, or not one model number per fit.
    """
    if not results:
        raise ValueError("an ensemble summary needs at least one fit")
    numbers = list(range(1, len(results) + 1)) if models is None else list(models)
    if len(numbers) != len(results):
        raise ValueError(f"{len(numbers)} model numbers for {len(results)} fits")
    matrices = [tensor_from_params(r.params) for r in results]
    # The mean leads with its canonical triple; each model's angles are the
    # triple nearest the mean's.
    mean = following(tensor_from_matrix(np.mean(matrices, axis=0)), None)
    tensors = [following(tensor_from_matrix(m), mean) for m in matrices]
    deviation = np.array([axis_angles(mean.axes, t.axes) for t in tensors])
    spread = np.sqrt(np.mean(deviation**2, axis=0))
    q = np.array([r.q for r in results], dtype=np.float64)
    finite = np.where(np.isnan(q), math.inf, q)
    return EnsembleSummary(
        models=numbers,
        q=q,
        da=np.array([t.da for t in tensors]),
        r=np.array([t.r for t in tensors]),
        mean=mean,
        axis_deviation_deg=deviation,
        axis_spread_deg=(float(spread[0]), float(spread[1]), float(spread[2])),
        best=numbers[int(np.argmin(finite))],
        worst=numbers[int(np.argmax(np.where(np.isnan(q), -math.inf, q)))],
        reference_constant=reference_constant,
    )
