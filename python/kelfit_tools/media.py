"""One tensor per alignment medium, over couplings of every bond type.

:func:`fit_medium` turns matched couplings into a fit: each row's dipolar
constant becomes its ``scale`` (relative to N-H at a standard length), its
stated uncertainty its ``sigma``, and the sign convention of the table is
detected where the bond types allow it.  :func:`compare_media` says how
independent the tensors of several media are.
"""

from __future__ import annotations

import math
import reprlib
from collections import Counter
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .average import AveragedRows
from .bonds import (
    NH_REFERENCE_LENGTH,
    STANDARD_LENGTHS,
    bond_type,
    from_distance,
    length_basis,
    length_overrides,
    parse_types,
    reference_constant,
    row_scales,
)
from .checks import check_uncertainties, missing_uncertainty_warning, type_warnings
from .display import html_of
from .errors import Advice, DataError, Hint
from .fitting import DesignRows, FitResult, convergence_warning, fit
from .io.tables import Coupling
from .options import FitOptions
from .statistics import Statistics, fit_statistics, normalisation_factors
from .tensor import (
    Tensor,
    alignment_amplitudes,
    axis_angle,
    axis_angles,
    degree_of_order,
    generalised_angle,
    normalised_scalar_product,
    order_matrix,
    tensor_from_matrix,
    tensor_from_params,
)

__all__ = [
    "CONVENTION_MARGIN",
    "MediumComparison",
    "MediumFit",
    "check_flip",
    "compare_media",
    "fit_medium",
    "fit_medium_with",
    "nh_sign",
    "outside_r_note",
    "result_statistics",
    "row_sigma",
    "start_worse_warning",
]

#: The worse sign convention must have at least this many times the chi^2
#: of the better for the better to count as detected.
CONVENTION_MARGIN = 1.5

#: A fit from a given start is "worse than the linear optimum" beyond this
#: relative excess of cost (the module fits in single precision).
_START_TOLERANCE = 1e-4

#: Where the structure's mean N-H length differs from the standard one by
#: more than this fraction, Da(N-H) at structure distances differs from Da at
#: standard lengths by about three times as much (r^-3), enough to mislead a
#: comparison with other fits: the report then gives both.
NH_LENGTH_TOLERANCE = 0.02

#: The bond type whose constant Da is normalised to.
_NH = "N-H"


@dataclass(frozen=True, eq=False)
class MediumFit:
    """The fit of one medium's couplings and what it was made from.

    Attributes:
        name: the medium ("" when the file names none).
        result: the fit; ``result.da`` is Da for a row of scale 1, an N-H
            bond at ``nh_length`` in the ``magnitudes`` convention.
        couplings: the rows fitted, in order.
        types: each row's bond type, such as ``"N-H"``.
        constants: each row's physical dipolar constant (Hz).
        convention: the sign convention used.
        convention_chi2: chi^2 (the sum of squared weighted residuals, or of
            squared residuals when unweighted) of the fit under each
            convention that was tried.
        convention_how: ``"given"``, ``"detected"``, ``"undecided"`` (both
            fit about as well) or ``"equivalent"`` (the types present cannot
            tell the conventions apart).
        bond_lengths: ``"structure"`` or ``"standard"``.
        nh_length: N-H length (angstrom) Da is normalised to.
        lengths: the lengths (angstrom) given for bond types, keyed as
            :func:`~kelfit_tools.bonds.bond_type` names them; each replaces
            its type's standard length or structure distances.
        notes: what a reader should know (unweighted fit, W values, ...).
        warnings: what a reader must know (a start that ended worse than
            the linear optimum, ...).
        linear: the fit from the linear optimum when a start was given.
        nh_mean_length: the mean length (angstrom) of the N-H rows' bonds as
            fitted: the structure's distances, or the standard or given
            length; None without N-H rows.
        nh_standard_length: the N-H length of ``bond_lengths="standard"``
            (the standard one, or the one given in ``lengths``).
        da_nh_standard: Da(N-H) (Hz) of the same couplings fitted at
            standard lengths, when the structure's N-H bonds differ from the
            standard length by more than :data:`NH_LENGTH_TOLERANCE`; else
            None.
        design: the rows fitted in place of vectors when the couplings
            were averaged over an ensemble (:mod:`kelfit_tools.average`):
            what validation refits; None for vectors.
    """

    name: str
    result: FitResult
    couplings: list[Coupling]
    types: list[str]
    constants: NDArray[np.float64]
    convention: str
    convention_chi2: dict[str, float]
    convention_how: str
    bond_lengths: str
    nh_length: float
    notes: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)
    linear: FitResult | None = None
    lengths: dict[str, float] = field(default_factory=dict)
    nh_mean_length: float | None = None
    nh_standard_length: float = STANDARD_LENGTHS[_NH]
    da_nh_standard: float | None = None
    normalised: bool = False
    design: DesignRows | None = None

    def __repr__(self) -> str:
        return (
            f"MediumFit(name={reprlib.repr(self.name)}, n={self.result.n}, "
            f"da_nh={self.da_nh:.6g}, r={self.tensor.r:.4g}, q={self.result.q:.4g})"
        )

    def _repr_html_(self) -> str:
        """The medium's tensor, quality and per-type table, for a notebook."""
        return html_of(self)

    @property
    def reference_constant(self) -> float:
        """|D_max| (Hz) of N-H at :attr:`nh_length`: the constant of scale 1."""
        return reference_constant(self.nh_length)

    @property
    def tensor(self) -> Tensor:
        """The canonical tensor (|Azz| >= |Ayy| >= |Axx|, 0 <= R <= 2/3)."""
        return self.result.tensor()

    @property
    def nh_sign(self) -> float:
        """Sign of an N-H row's scale: -1 in the physical convention."""
        return nh_sign(self.convention)

    @property
    def da_nh(self) -> float:
        """Da (Hz) normalised to N-H at :attr:`nh_length`."""
        return self.nh_sign * self.tensor.da

    @property
    def da_alignment(self) -> float:
        """Da of the alignment tensor (dimensionless): Da over |D_max(N-H)|."""
        return self.tensor.da / self.reference_constant

    @property
    def alignment_amplitudes(self) -> tuple[float, float]:
        """(Aa, Ar) of the alignment tensor, dimensionless: 2 Da and 2 R Da
        over |D_max(N-H)|, with Da's sign as in :attr:`da_alignment`."""
        return alignment_amplitudes(
            self.tensor.da, self.tensor.r, self.reference_constant
        )

    @property
    def gdo(self) -> float:
        """The generalized degree of order of the alignment, dimensionless:
        sqrt(2/3 sum S_ij^2) of the order matrix (the tensor over
        |D_max(N-H)|); see :func:`~kelfit_tools.tensor.degree_of_order`."""
        return float(
            degree_of_order(self.tensor.da, self.tensor.r, self.reference_constant)
        )

    @property
    def basis(self) -> str:
        """What Da(N-H) rests on, in words: the rows' lengths and the N-H
        length of scale 1."""
        rows = length_basis(self.bond_lengths, normalised=self.normalised)
        if self.nh_mean_length is not None and not self.normalised:
            rows += f" (mean N-H {self.nh_mean_length:.3f} A)"
        return (
            f"couplings scaled by {rows}; Da normalised to N-H at "
            f"{self.nh_length:.3f} A"
        )

    @property
    def order_matrix(self) -> NDArray[np.float64]:
        """The order (Saupe) matrix in the structure's frame."""
        return order_matrix(
            tensor_from_params(self.result.params), self.reference_constant
        )

    @property
    def type_counts(self) -> dict[str, int]:
        """Couplings per bond type, in order of first appearance."""
        return dict(Counter(self.types))


def nh_sign(convention: str) -> float:
    """Sign of an N-H row's scale under a sign convention: -1 in the
    physical one (the N-H constant is negative), else 1."""
    return -1.0 if convention == "physical" else 1.0


def row_sigma(couplings: Sequence[Coupling]) -> tuple[NDArray[np.float64] | None, str]:
    """Per-row sigma from the couplings' errors, or None with the reason.

    A fit is weighted only when every row states a positive uncertainty; a
    mixture would weigh rows without one arbitrarily.

    Raises:
        DataError: an uncertainty so small next to the others that its row
            alone would decide the fit
            (:func:`~kelfit_tools.checks.check_uncertainties`).
    """
    errors = [c.error for c in couplings]
    missing = sum(1 for e in errors if e is None or not e > 0)
    if missing == 0:
        check_uncertainties(couplings)
        return np.array(errors, dtype=np.float64), ""
    if missing == len(errors):
        return None, "no uncertainties given: the fit is unweighted"
    return None, (
        f"{missing} of {len(errors)} couplings state no uncertainty: "
        "the fit is unweighted"
    )


def fit_fixed(
    fixed: Mapping[str, float] | None, convention: str
) -> dict[str, float] | None:
    """Fixed parameters as the report gives them (Da as Da(N-H)) in the
    fit's own terms under a sign convention."""
    if not fixed:
        return None
    return {
        name: nh_sign(convention) * value if name.lower() == "da" else value
        for name, value in fixed.items()
    }


def _chi2(result: FitResult) -> float:
    """The sum of squared weighted residuals (plain residuals without sigma):
    the number the report prints as chi^2, so both lines agree."""
    if result.sigma is not None:
        return result.chi2
    return float(result.residuals @ result.residuals)


def start_worse_warning(result: FitResult, linear: FitResult) -> str | None:
    """A warning when a fit from a given start ended worse than the fit from
    the linear optimum (a local minimum); None when it did not."""
    if result.cost > linear.cost * (1.0 + _START_TOLERANCE):
        return Advice(
            "the fit from {0} ended worse than the fit from the linear "
            f"optimum (cost {result.cost:.6g} against {linear.cost:.6g})",
            Hint("start", python="the given start"),
        )
    return None


def fit_medium(
    vectors: ArrayLike,
    couplings: Sequence[Coupling],
    *,
    name: str = "",
    convention: str = "auto",
    bond_lengths: str = "structure",
    nh_length: float = NH_REFERENCE_LENGTH,
    lengths: Mapping[str, float] | None = None,
    offset: bool = False,
    start: ArrayLike | None = None,
    weighted: bool = True,
    uncertainty: float | None = None,
    method: str | None = None,
    fixed: Mapping[str, float] | None = None,
) -> MediumFit:
    """Fit one tensor to couplings of any bond types.

    Args:
        vectors: N x 3 inter-nuclear vectors in angstrom (their lengths are
            the distances of ``bond_lengths="structure"``).
        couplings: the N couplings, with their atoms and errors.
        name: the medium's name.
        convention: ``"physical"``, ``"magnitudes"`` or ``"auto"``: fit
            both where the bond types tell them apart and keep the better.
        bond_lengths: ``"structure"`` or ``"standard"``.
        nh_length: N-H length (angstrom) of scale 1.
        lengths: lengths (angstrom) by bond type, such as ``{"C-H": 2.107}``,
            each replacing its type's length under either ``bond_lengths``
            (see :func:`~kelfit_tools.bonds.row_scales`).
        offset: also fit a constant offset.
        start: start parameters (radians), else the linear optimum.
        weighted: use the couplings' errors as sigma when all have one.
        uncertainty: one uncertainty (Hz) for every coupling, in place of
            the stated ones: the fit is then weighted by it (its chi^2 and
            any error estimate rest on it).
        method: ``"linear"`` or ``"powell"``, as :func:`~kelfit_tools.fit`
            takes it.
        fixed: parameters held at given values, by name as
            :func:`~kelfit_tools.fit` takes them, but with Da as the report
            gives it: Da(N-H) in Hz (:attr:`MediumFit.da_nh`), whatever the
            sign convention.

    Raises:
        ValueError: bad input, an unknown nucleus or convention, a bad
            length, a bond type without a standard length.
    """
    options = FitOptions(
        offset=offset,
        sigma=uncertainty,
        weighted=weighted,
        signs=convention,
        bond_lengths=bond_lengths,
        nh_length=nh_length,
        lengths=lengths,
        start=start,
        method=method,
        fixed=fixed,
    )
    return fit_medium_with(vectors, couplings, options, name=name)


@dataclass(frozen=True)
class _Bonds:
    """The rows' bonds: atom pairs, bond types, distances (angstrom) and the
    lengths given by type."""

    atoms: list[tuple[str, str]]
    types: list[str]
    distances: NDArray[np.float64]
    overrides: dict[str, float]

    def by_distance(self, options: FitOptions) -> NDArray[np.bool_]:
        """The rows whose constant follows their distance (the structure's,
        not a given or standard length)."""
        return from_distance(
            self.types, bond_lengths=options.bond_lengths,
            lengths=self.overrides, normalised=options.normalised,
        )  # fmt: skip

    def scales(
        self, options: FitOptions, convention: str = "physical"
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Each row's dipolar constant and scale under ``convention``."""
        return row_scales(
            self.atoms, self.distances, convention=convention,
            bond_lengths=options.bond_lengths, nh_length=options.nh_length,
            lengths=self.overrides, flip=options.flip,
            normalised=options.normalised,
        )  # fmt: skip


def check_flip(flip: Sequence[str], types: Sequence[str]) -> None:
    """Refuse bond types to flip that no row has: a misspelt one would
    leave the signs it was meant to mend.

    Raises:
        DataError: naming them and the types present.
    """
    unknown = sorted({t for f in flip for t in parse_types(f)} - set(types))
    if unknown:
        raise DataError(
            Advice(
                f"no coupling of bond type {', '.join(unknown)} to flip (from "
                f"{{0}}); types present: {', '.join(sorted(set(types)))}",
                Hint("flip", python="flip=..."),
            )
        )


def fit_medium_with(
    vectors: ArrayLike | AveragedRows,
    couplings: Sequence[Coupling],
    options: FitOptions,
    *,
    name: str = "",
) -> MediumFit:
    """:func:`fit_medium` with its settings as one :class:`FitOptions`
    (``sigma`` is the one uncertainty, ``signs`` the convention; the run's
    other settings are not used here).  ``vectors`` may be
    :class:`~kelfit_tools.average.AveragedRows`: each coupling averaged
    over an ensemble, its rows weighted by ``r^-3`` where the constant
    follows the structure's distance, fitted by the linear solve.

    Raises:
        ValueError: as :func:`fit_medium`.
    """
    overrides = length_overrides(options.lengths)
    atoms = [(c.atom_i or "", c.atom_j or "") for c in couplings]
    types = [bond_type(a, b) for a, b in atoms]
    v: NDArray[np.float64] | DesignRows
    if isinstance(vectors, AveragedRows):
        if len(vectors) != len(couplings):
            raise ValueError(
                f"need one row per coupling, got {len(vectors)} for {len(couplings)}"
            )
        bonds = _Bonds(atoms, types, vectors.distances, overrides)
        v = vectors.design(bonds.by_distance(options))
        standard: NDArray[np.float64] | DesignRows = vectors.design()
    else:
        v = np.asarray(vectors, dtype=np.float64)
        if v.ndim != 2 or v.shape[0] != len(couplings):
            raise ValueError(
                f"need one vector per coupling, got {v.shape} for {len(couplings)}"
            )
        bonds = _Bonds(atoms, types, np.linalg.norm(v, axis=1), overrides)
        standard = v
    observed = np.array([c.value for c in couplings], dtype=np.float64)
    sigma, notes, warnings = _choose_sigma(couplings, options)
    check_flip(options.flip, bonds.types)
    # A length for a type no row has is most likely a misspelt type.
    notes.extend(
        f"the length given for bond type {name} matches no coupling"
        for name in overrides
        if name not in bonds.types
    )
    constants, _ = bonds.scales(options)
    fits, used, how, chi2 = _choose_convention(
        v, observed, bonds, constants, sigma, options, notes
    )
    result = fits[used]
    unconverged = convergence_warning(result)
    if unconverged:
        warnings.append(unconverged)
    start, fixed = options.start, options.fixed
    linear = None
    # Held parameters are meant to cost something; only a free fit from a
    # start should match the free optimum.
    if start is not None and not fixed:
        _, scale = bonds.scales(options, used)
        linear = fit(v, observed, None, offset=options.offset, sigma=sigma, scale=scale)
        worse = start_worse_warning(result, linear)
        if worse:
            warnings.append(worse)
    outside = outside_r_note(result)
    if start is not None and outside:
        notes.append(outside)
    warnings += type_warnings(bonds.types, couplings, result)
    nh_mean, nh_standard, da_nh_standard = _check_nh_lengths(
        standard, observed, bonds, used, result, sigma, options, notes
    )
    weights = {c.weight for c in couplings if c.weight is not None}
    if weights - {1.0}:
        notes.append(
            "W values other than 0 do not change the fit: rows are weighted "
            "by their uncertainties (DD) alone"
        )
    return MediumFit(
        name=name,
        result=result,
        design=None if isinstance(v, np.ndarray) else v,
        couplings=list(couplings),
        types=bonds.types,
        constants=constants,
        convention=used,
        convention_chi2=chi2,
        convention_how=how,
        bond_lengths=options.bond_lengths,
        nh_length=options.nh_length,
        notes=notes,
        warnings=warnings,
        linear=linear,
        lengths=overrides,
        nh_mean_length=nh_mean,
        nh_standard_length=nh_standard,
        da_nh_standard=da_nh_standard,
        normalised=options.normalised,
    )


def outside_r_note(result: FitResult) -> str | None:
    """A note when a fit (from a start) ended at R outside 0..2/3: the report
    gives the same tensor in canonical form."""
    if 0.0 <= result.r <= 2.0 / 3.0:
        return None
    return (
        f"the fit ended at R = {result.r:.4g}, outside 0..2/3; the report "
        f"gives the same tensor in canonical form (R = {result.tensor().r:.4g})"
    )


def _choose_sigma(
    couplings: Sequence[Coupling], options: FitOptions
) -> tuple[NDArray[np.float64] | None, list[str], list[str]]:
    """Each row's uncertainty (None: unweighted), with the notes that say
    why (one given for every coupling, the stated ones, or none) and the
    warnings."""
    notes: list[str] = []
    uncertainty = options.sigma
    sigma: NDArray[np.float64] | None
    if uncertainty is not None:
        if not (uncertainty > 0 and math.isfinite(uncertainty)):
            raise ValueError(f"uncertainty must be positive, got {uncertainty}")
        sigma, why = np.full(len(couplings), float(uncertainty)), ""
        notes.append(
            f"every coupling's uncertainty is taken as {uncertainty:.6g} Hz, "
            "in place of the stated ones"
        )
    else:
        sigma, why = row_sigma(couplings) if options.weighted else (None, "")
    # Rows without an uncertainty that unweight the whole fit are a warning;
    # other reasons for an unweighted fit are only said.
    unweighted = missing_uncertainty_warning(couplings) if why else None
    if why and not unweighted:
        notes.append(why)
    return sigma, notes, [unweighted] if unweighted else []


def _choose_convention(
    v: NDArray[np.float64] | DesignRows,
    observed: NDArray[np.float64],
    bonds: _Bonds,
    constants: NDArray[np.float64],
    sigma: NDArray[np.float64] | None,
    options: FitOptions,
    notes: list[str],
) -> tuple[dict[str, FitResult], str, str, dict[str, float]]:
    """The fit under each sign convention tried, the one used, how it was
    chosen (given, equivalent, detected, undecided) and each one's chi^2."""
    convention = options.signs
    # The conventions differ only where constants of both signs are present.
    both_signs = bool(np.any(constants > 0) and np.any(constants < 0))
    tried = ["physical", "magnitudes"] if convention == "auto" and both_signs else []
    if convention != "auto":
        tried = [convention]
    elif not both_signs:
        tried = ["magnitudes"]
    fits: dict[str, FitResult] = {}
    for conv in tried:
        _, scale = bonds.scales(options, conv)
        fits[conv] = fit(
            v, observed, options.start, offset=options.offset, sigma=sigma,
            scale=scale, method=options.method,
            fixed=fit_fixed(options.fixed, conv),
        )  # fmt: skip
    chi2 = {conv: _chi2(r) for conv, r in fits.items()}
    if convention != "auto":
        return fits, convention, "given", chi2
    if len(fits) == 1:
        return fits, "magnitudes", "equivalent", chi2
    used = min(chi2, key=lambda k: chi2[k])
    other = "physical" if used == "magnitudes" else "magnitudes"
    if chi2[other] >= CONVENTION_MARGIN * chi2[used]:
        return fits, used, "detected", chi2
    notes.append(
        "the two sign conventions fit about equally well "
        f"(chi^2 {chi2['physical']:.6g} physical, "
        f"{chi2['magnitudes']:.6g} magnitudes); using {used}"
    )
    return fits, used, "undecided", chi2


def _check_nh_lengths(
    v: NDArray[np.float64] | DesignRows,
    observed: NDArray[np.float64],
    bonds: _Bonds,
    used: str,
    result: FitResult,
    sigma: NDArray[np.float64] | None,
    options: FitOptions,
    notes: list[str],
) -> tuple[float | None, float, float | None]:
    """The N-H rows' mean length as fitted, the standard N-H length and, when
    the two differ by more than :data:`NH_LENGTH_TOLERANCE`, Da(N-H) at
    standard lengths (with a note that gives both)."""
    overrides = bonds.overrides
    nh_rows = [i for i, t in enumerate(bonds.types) if t == _NH]
    nh_standard = overrides.get(_NH, STANDARD_LENGTHS[_NH])
    nh_mean = None
    if nh_rows:
        from_structure = bool(
            from_distance(
                [_NH], bond_lengths=options.bond_lengths, lengths=overrides,
                normalised=options.normalised,
            )[0]
        )  # fmt: skip
        nh_mean = (
            float(np.mean(bonds.distances[nh_rows])) if from_structure else nh_standard
        )
    if nh_mean is None or abs(nh_mean / nh_standard - 1.0) <= NH_LENGTH_TOLERANCE:
        return nh_mean, nh_standard, None
    da_nh_standard = _da_nh_at_standard_lengths(
        v, observed, bonds.atoms, used, options.nh_length, overrides,
        options.offset, sigma, None if options.fixed else options.method,
    )  # fmt: skip
    if da_nh_standard is not None:
        notes.append(
            Advice(
                f"the structure's N-H bonds are {nh_mean:.3f} A on average, "
                f"{100.0 * abs(nh_mean / nh_standard - 1.0):.1f}% "
                f"{'shorter' if nh_mean < nh_standard else 'longer'} than the "
                f"standard {nh_standard:.3f} A: Da(N-H) is "
                f"{nh_sign(used) * result.tensor().da:.2f} Hz with the "
                "structure's distances and "
                f"{da_nh_standard:.2f} Hz at standard lengths ({{0}})",
                Hint("bond_lengths", "standard", python="bond_lengths='standard'"),
            )
        )
    return nh_mean, nh_standard, da_nh_standard


def _da_nh_at_standard_lengths(
    vectors: NDArray[np.float64] | DesignRows,
    observed: NDArray[np.float64],
    atoms: list[tuple[str, str]],
    convention: str,
    nh_length: float,
    fixed: dict[str, float],
    offset: bool,
    sigma: NDArray[np.float64] | None,
    method: str | None,
) -> float | None:
    """Da(N-H) of the couplings refitted at standard lengths, or None when a
    bond type has no standard length. With Da fixed, the refit is free: a
    held Da would only be given back."""
    try:
        _, scale = row_scales(
            atoms, None, convention=convention, bond_lengths="standard",
            nh_length=nh_length, lengths=fixed,
        )  # fmt: skip
    except ValueError:
        return None
    refit = fit(
        vectors, observed, offset=offset, sigma=sigma, scale=scale, method=method
    )
    return nh_sign(convention) * refit.tensor().da


@dataclass(frozen=True)
class MediumComparison:
    """How two media's tensors relate.

    Attributes:
        first, second: the media's names.
        axis_angles_deg: angles between their x, y and z principal axes.
        scalar_product: normalised scalar product of their order matrices
            (1: the same alignment; near 0: independent).
        generalised_angle_deg: arccos of the scalar product, in degrees
            (0: the same alignment; 90: orthogonal ones).
        axis_angles_sd, scalar_product_sd, generalised_angle_sd: their
            standard deviations over pairs of Monte Carlo or bootstrap
            refits of the two media, None without refits.
    """

    first: str
    second: str
    axis_angles_deg: tuple[float, float, float]
    scalar_product: float
    generalised_angle_deg: float = math.nan
    axis_angles_sd: tuple[float, float, float] | None = None
    scalar_product_sd: float | None = None
    generalised_angle_sd: float | None = None


def _sd(values: Sequence[float]) -> float:
    return float(np.std(np.asarray(values, dtype=np.float64), ddof=1))


def _refit_spread(
    a: NDArray[np.float64], b: NDArray[np.float64]
) -> tuple[tuple[float, float, float], float, float]:
    """Standard deviations of the axis angles, the scalar product and the
    generalised angle over refit k of one medium against refit k of the other.

    The constants of the order matrices cancel in both the scalar product
    and the angles, so the tensors in Hz serve as they are.
    """
    angles, products, generalised = [], [], []
    for ma, mb in zip(a, b):
        ta, tb = tensor_from_matrix(ma), tensor_from_matrix(mb)
        angles.append(axis_angles(ta.axes, tb.axes))
        products.append(normalised_scalar_product(ma, mb))
        generalised.append(generalised_angle(ma, mb))
    sd = np.std(np.array(angles), axis=0, ddof=1)
    return (float(sd[0]), float(sd[1]), float(sd[2])), _sd(products), _sd(generalised)


def compare_media(
    fits: Sequence[MediumFit],
    refits: Sequence[NDArray[np.float64] | None] | None = None,
) -> list[MediumComparison]:
    """Every pair of media, in order.

    Args:
        fits: the media's fits.
        refits: for each medium, its refits' tensor matrices (trials x 3 x
            3, such as :attr:`~kelfit_tools.montecarlo.MonteCarloResult.matrices`),
            or None; a pair whose media both have them, as many, gets
            standard deviations.

    Raises:
        ValueError: a medium's tensor is zero; not one entry of ``refits``
            per medium.
    """
    if refits is not None and len(refits) != len(fits):
        raise ValueError(f"{len(refits)} sets of refits for {len(fits)} media")
    out = []
    for i, a in enumerate(fits):
        for j in range(i + 1, len(fits)):
            b = fits[j]
            ta, tb = a.tensor, b.tensor
            angles = tuple(axis_angle(ta.axes[k], tb.axes[k]) for k in range(3))
            spread: dict[str, Any] = {}
            ra = None if refits is None else refits[i]
            rb = None if refits is None else refits[j]
            if ra is not None and rb is not None and len(ra) == len(rb) > 1:
                axes_sd, product_sd, angle_sd = _refit_spread(ra, rb)
                spread = {
                    "axis_angles_sd": axes_sd,
                    "scalar_product_sd": product_sd,
                    "generalised_angle_sd": angle_sd,
                }
            out.append(
                MediumComparison(
                    first=a.name,
                    second=b.name,
                    axis_angles_deg=(angles[0], angles[1], angles[2]),
                    scalar_product=normalised_scalar_product(
                        a.order_matrix, b.order_matrix
                    ),
                    generalised_angle_deg=generalised_angle(
                        a.order_matrix, b.order_matrix
                    ),
                    **spread,
                )
            )
    if any(math.isnan(c.scalar_product) for c in out):
        raise ValueError("a medium's tensor is zero: nothing to compare")
    return out


def result_statistics(result: FitResult, medium: MediumFit | None = None) -> Statistics:
    """:func:`fit_statistics` of a fit, with its medium's types and residues.

    A vector table (no medium) has one type and factors 1: its normalised
    numbers are its raw ones.
    """
    if medium is None:
        return fit_statistics(
            result.observed,
            result.calculated,
            sigma=result.sigma,
            free_parameters=result.free_parameters,
        )
    factors = normalisation_factors(
        medium.types,
        scale=result.scale,
        nh_sign=medium.nh_sign,
        lengths=medium.lengths,
        constants=medium.constants,
    )
    return fit_statistics(
        result.observed,
        result.calculated,
        sigma=result.sigma,
        types=medium.types,
        factors=factors,
        residues=[
            (c.chain_i or "", c.residue_i, c.resname_i or "") for c in medium.couplings
        ],
        free_parameters=result.free_parameters,
    )
