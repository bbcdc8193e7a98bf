"""How every fit of a run is made: one frozen bundle of settings that a
whole run (:func:`kelfit_tools.run.run_fit`) and one medium's fit
(:func:`kelfit_tools.media.fit_medium`) both take."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass

from numpy.typing import ArrayLike

from .bonds import NH_REFERENCE_LENGTH

__all__ = [
    "FROM_MODELS",
    "MAX_TILT_DEG",
    "FitOptions",
    "check_tilt",
    "parse_structure_noise",
]

#: ``structure_noise``'s word for drawing the vectors from an ensemble.
FROM_MODELS = "models"

#: Largest rms tilt (degrees) of structural noise: beyond a right angle a
#: bond's direction is no longer known at all.
MAX_TILT_DEG = 90.0


def check_tilt(angle_deg: float) -> None:
    """Refuse a structural noise outside 0 to :data:`MAX_TILT_DEG` degrees.

    Raises:
        ValueError: naming the range.
    """
    if not 0.0 <= angle_deg <= MAX_TILT_DEG:
        raise ValueError(
            f"structure noise must be an angle from 0 to {MAX_TILT_DEG:g} degrees, "
            f"got {angle_deg}"
        )


def parse_structure_noise(text: str) -> str:
    """``structure_noise`` as text: an angle (degrees, kept as written) or
    :data:`FROM_MODELS` in any case.

    Raises:
        ValueError: anything else, naming the range.
    """
    if text.strip().lower() == FROM_MODELS:
        return FROM_MODELS
    try:
        check_tilt(float(text))
    except ValueError:
        raise ValueError(
            f"an angle from 0 to {MAX_TILT_DEG:g} degrees or '{FROM_MODELS}', "
            f"got {text!r}"
        ) from None
    return text.strip()


@dataclass(frozen=True)
class FitOptions:
    """How every fit of a run is made, checked and where it runs.

    Attributes:
        offset: also fit a constant offset.
        sigma: one uncertainty (Hz) for every coupling, in place of the
            stated ones (the fit, its chi^2 and the error refits use it).
        weighted: use the stated uncertainties (False: ignore them).
        signs: the couplings' sign convention, ``"auto"``, ``"physical"``
            or ``"magnitudes"``.
        bond_lengths: dipolar constants from the ``"structure"``'s distances
            or ``"standard"`` lengths.
        nh_length: the N-H length (angstrom) Da is normalised to.
        lengths: lengths (angstrom) by bond type, such as ``{"C-H": 2.107}``.
        flip: bond types (``"C-N"``) whose couplings were entered with the
            opposite sign, to be fitted flipped.
        normalised: the couplings are already normalised to N-H (every row
            fitted with the N-H constant).
        start: a1, a2, a3 (radians), Da, R[, offset] to start from.
        method: ``"linear"`` or ``"powell"`` (None: linear, or powell with a
            start or fixed parameters).
        fixed: parameters held at given values (angles in radians; Da as
            the report gives it).
        errors: Monte Carlo refits for the errors (None: none; with
            domains, :data:`DOMAIN_REFITS`).
        bootstrap: the refits resample rows instead of adding noise.
        seed: the random seed of refits, free sets and folds.
        structure_noise: with ``errors``, the rms tilt (degrees) of every
            bond vector in each refit, or :data:`FROM_MODELS`.
        free: a random fraction of the couplings left out (free Q).
        free_set: a coupling file naming the couplings left out.
        cross_validate: folds of a cross-validation.
        reject: outliers beyond this many normalised sigma are left out.
        domains: ``NAME=RANGES`` texts, one tensor per domain (two or more).
        average: with every model of an ensemble, also one tensor for the
            couplings averaged over the models (each coupling's design row
            averaged, then one linear fit), beside each model's own.
        scheduler: a Dask scheduler's address to run the fits on (None:
            every core here, or ``$KELFIT_SCHEDULER``).
        workers: threads here (None: one per core).
        progress: draw progress bars on stderr.
        keep_refits: keep every refit's tensor and axes in each fit's
            ``errors`` (for the sky map); a run of several media or domains
            keeps them anyway, for its comparisons.  Without, the errors
            hold their statistics alone, in memory that does not grow with
            the refits.
    """

    offset: bool = False
    sigma: float | None = None
    weighted: bool = True
    signs: str = "auto"
    bond_lengths: str = "structure"
    nh_length: float = NH_REFERENCE_LENGTH
    lengths: Mapping[str, float] | None = None
    flip: tuple[str, ...] = ()
    normalised: bool = False
    start: ArrayLike | None = None
    method: str | None = None
    fixed: Mapping[str, float] | None = None
    errors: int | None = None
    bootstrap: bool = False
    seed: int | None = None
    structure_noise: float | str | None = None
    free: float | None = None
    free_set: str | None = None
    cross_validate: int | None = None
    reject: float | None = None
    domains: Sequence[str] = ()
    average: bool = False
    scheduler: str | None = None
    workers: int | None = None
    progress: bool = False
    keep_refits: bool = False

    def tilt(self) -> float:
        """The rms tilt (degrees) of ``structure_noise``, 0 when not an angle."""
        if self.structure_noise in (None, FROM_MODELS):
            return 0.0
        return float(self.structure_noise)
