"""Alignment predicted from a molecule's shape: the steric obstruction model.

A molecule in a dilute liquid-crystalline medium may take any orientation,
at any position where none of its atoms crosses the medium: the walls of
bicelles, or the long cylinders of filamentous phage.  An orientation that
fits in more positions is more likely, so the orientations are weighted by
the share of positions each allows and the order matrix of the medium's axis
is their weighted P2 average (``kelfit.steric``, in C++ on every core).  The
medium's axis lies at a fixed angle to the magnetic field (a bicelle's
normal across it, a phage along it), so the order matrix seen by the
couplings is that average times P2 of this angle.

Every heavy atom counts, as a sphere of its van der Waals radius; protons
are left out (their positions vary most between structures and add little
to the shape).  The predicted order matrix gives every coupling's value and
a tensor in the units and signs of a fit (Hz for an N-H bond at the
reference length), which :func:`compare` sets against a fitted one.

Signs: a dipolar coupling is -D_max <P2> for the constant D_max of
:func:`~kelfit_tools.bonds.dipolar_constant` (which carries the sign of
gamma_i gamma_j), so the tensor a fit reports for physically signed
couplings is minus the Saupe matrix times |D_max(N-H)|.  Tables that give
magnitudes-convention couplings sign every bond as if both nuclei had
positive gyromagnetic ratios (the usual practice: N-H couplings inverted),
which is the same tensor.  So :attr:`Prediction.tensor_matrix` is what a
fit of either convention finds when the prediction is right.
"""

from __future__ import annotations

import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .bonds import NH_REFERENCE_LENGTH, reference_constant
from .errors import DataError, PathLike
from .statistics import pearson
from .tensor import Tensor, axis_angles, tensor_from_matrix
from .tensor import order_matrix as tensor_order_matrix

if TYPE_CHECKING:
    from .charges import Electrolyte

__all__ = [
    "MEDIA",
    "Comparison",
    "Prediction",
    "StericMedium",
    "atom_radii",
    "compare",
    "heavy_atoms",
    "max_orientations",
    "medium_geometry",
    "predict_order",
    "predicted_values",
    "structure_order",
]

#: Van der Waals radii (angstrom, Bondi 1964) of the heavy atoms of proteins
#: and nucleic acids; any other element takes :data:`OTHER_RADIUS`.
VDW_RADII = {"C": 1.70, "N": 1.55, "O": 1.52, "S": 1.80, "P": 1.80, "SE": 1.90}
OTHER_RADIUS = 1.80

#: Waters are solvent, not shape.
_WATER = frozenset({"HOH", "WAT", "H2O", "DOD", "TIP", "TIP3", "SOL"})


@dataclass(frozen=True)
class StericMedium:
    """One kind of steric medium.

    Attributes:
        name: as the command line names it.
        shape: ``"wall"`` or ``"cylinder"`` (``kelfit.steric``'s shape).
        axis_p2: P2(cos) of the angle between the medium's axis (a wall's
            normal, a cylinder's axis) and the magnetic field.
        concentration: the default concentration.
        unit: the concentration's unit.
        orientations: directions averaged over by default: doubling them
            moves the order matrix of a protein by well under 1% (a wall's
            weight costs one pass over the atoms, a cylinder's one per
            direction around it, so cylinders take fewer).
        thickness: a wall's thickness (angstrom): bilayers at volume
            fraction c stand thickness / c apart, centre to centre.
        radius: a cylinder's radius (angstrom).
        mass_per_length: a cylinder's mass per length (dalton per angstrom):
            at c mg/ml each cylinder has mass_per_length / c of the plane
            across them to itself.
    """

    name: str
    shape: str
    axis_p2: float
    concentration: float
    unit: str
    orientations: int
    thickness: float = 0.0
    radius: float = 0.0
    mass_per_length: float = 0.0


#: Bicelles: bilayer discs 40 A thick whose normals lie across the field,
#: at a lipid concentration in % (w/v, about the volume fraction x 100).
#: Pf1 phage: cylinders 33.5 A in radius, 36 MDa over 1.96 um, lying along
#: the field, in mg/ml.
MEDIA = {
    "bicelle": StericMedium(
        "bicelle", "wall", -0.5, 5.0, "% (w/v)", 20000, thickness=40.0
    ),
    "phage": StericMedium(
        "phage",
        "cylinder",
        1.0,
        10.0,
        "mg/ml",
        1000,
        radius=33.5,
        mass_per_length=1837.0,
    ),
}

#: Grams per dalton, and cubic angstroms per millilitre.
_GRAMS_PER_DALTON = 1.66053907e-24
_CUBIC_ANGSTROM_PER_ML = 1.0e24
_PERCENT = 100.0
_MG_PER_G = 1000.0


def max_orientations() -> int:
    """The most orientations an average takes (the module's bound), so that
    a caller can refuse more before it reads a structure."""
    import kelfit

    return int(kelfit.steric_max_orientations)


def medium_geometry(medium: StericMedium, concentration: float) -> dict[str, float]:
    """``kelfit.steric``'s spacing (and cylinder radius) at a concentration.

    Walls: the gap between neighbouring bilayers, thickness / c - thickness
    for the volume fraction c.  Cylinders: the area across them that each
    has to itself, its mass per length over the mass concentration.

    Raises:
        ValueError: a concentration that is not finite and positive, or too
            high for the medium to leave any gap.
    """
    if not (math.isfinite(concentration) and concentration > 0):
        raise ValueError(
            f"concentration must be positive ({medium.unit}), got {concentration}"
        )
    if medium.shape == "wall":
        fraction = concentration / _PERCENT
        if fraction >= 1.0:
            raise ValueError(f"concentration must be below 100 %, got {concentration}")
        return {"spacing": medium.thickness / fraction - medium.thickness}
    grams_per_angstrom = medium.mass_per_length * _GRAMS_PER_DALTON
    grams_per_cubic_angstrom = concentration / _MG_PER_G / _CUBIC_ANGSTROM_PER_ML
    return {
        "spacing": grams_per_angstrom / grams_per_cubic_angstrom,
        "cylinder_radius": medium.radius,
    }


def atom_radii(elements: Sequence[str]) -> NDArray[np.float64]:
    """The van der Waals radius of each element (angstrom)."""
    return np.array(
        [VDW_RADII.get(e.strip().upper(), OTHER_RADIUS) for e in elements],
        dtype=np.float64,
    )


def heavy_sites(structure: Any, model: int = 1) -> Iterator[tuple[Any, Any, Any]]:
    """The (chain, residue, atom) of each of a model's heavy atoms, in file
    order: protons, waters and alternative locations after the first left
    out.  :func:`heavy_atoms` and the charges of
    :mod:`~kelfit_tools.charges` both take the atoms from here, in this
    order.

    Raises:
        ValueError: no such model.
    """
    if not 1 <= model <= len(structure):
        raise ValueError(f"model must be 1 to {len(structure)}, got {model}")
    for chain in structure[model - 1]:
        for residue in chain:
            if residue.name in _WATER:
                continue
            for atom in residue:
                name = atom.element.name.upper()
                if name in ("H", "D") or (atom.altloc not in ("\0", " ", "A")):
                    continue
                yield chain, residue, atom


def heavy_atoms(
    structure: Any, model: int = 1
) -> tuple[NDArray[np.float64], list[str]]:
    """Coordinates (N x 3, angstrom) and elements of a model's heavy atoms
    (:func:`heavy_sites`).

    Raises:
        ValueError: no such model, or a model without heavy atoms.
    """
    xyz: list[tuple[float, float, float]] = []
    elements: list[str] = []
    for _, _, atom in heavy_sites(structure, model):
        xyz.append((atom.pos.x, atom.pos.y, atom.pos.z))
        elements.append(atom.element.name.upper())
    if not xyz:
        raise ValueError(f"model {model} has no heavy atoms")
    return np.array(xyz, dtype=np.float64), elements


@dataclass(frozen=True)
class Prediction:
    """The alignment a steric medium gives a molecule.

    Attributes:
        medium: the medium.
        concentration: its concentration (in ``medium.unit``).
        saupe_matrix: the Saupe order matrix S in the coordinates' frame
            (dimensionless): <P2> = u^T S u for a bond along the unit
            vector u.
        allowed: the mean share of positions the molecule's orientations
            fit in.
        orientations: directions averaged over.
        atoms: heavy atoms that made the shape.
        nh_length: N-H length (angstrom) whose constant gives Hz.
        electrolyte: the medium's charge and solution; None for shape
            alone.
        net_charge: the molecule's net charge (e) where it was charged.
    """

    medium: StericMedium
    concentration: float
    saupe_matrix: NDArray[np.float64]
    allowed: float
    orientations: int
    atoms: int
    nh_length: float = NH_REFERENCE_LENGTH
    electrolyte: Electrolyte | None = None
    net_charge: float = 0.0

    @property
    def reference_constant(self) -> float:
        """|D_max| (Hz) of N-H at :attr:`nh_length`."""
        return reference_constant(self.nh_length)

    @property
    def tensor_matrix(self) -> NDArray[np.float64]:
        """The tensor in Hz, as a fit reports it: value = scale u^T A u.

        A = -|D_max(N-H)| S: the couplings are -D_max <P2> (see the module's
        notes on signs).
        """
        a: NDArray[np.float64] = -self.reference_constant * self.saupe_matrix
        return a

    @property
    def order_matrix(self) -> NDArray[np.float64]:
        """The order matrix as a fit reports it (:attr:`tensor_matrix` over
        |D_max(N-H)|): minus the Saupe matrix."""
        return tensor_order_matrix(self.tensor_matrix, self.reference_constant)

    def tensor(self) -> Tensor:
        """Da (Hz, N-H), R and the principal axes of the predicted tensor."""
        return tensor_from_matrix(self.tensor_matrix)


def predict_order(
    coordinates: ArrayLike,
    radii: ArrayLike,
    *,
    medium: str = "bicelle",
    concentration: float | None = None,
    orientations: int | None = None,
    workers: int = 0,
    nh_length: float = NH_REFERENCE_LENGTH,
    charges: ArrayLike | None = None,
    electrolyte: Electrolyte | None = None,
) -> Prediction:
    """The order matrix of a molecule of these atoms in a steric medium,
    charged where ``electrolyte`` is given (see :mod:`~kelfit_tools.charges`).

    Args:
        coordinates: N x 3 atom positions (angstrom).
        radii: each atom's radius (angstrom).
        medium: a name in :data:`MEDIA`.
        concentration: in the medium's unit (default its usual one).
        orientations: directions averaged over (default the medium's).
        workers: threads (0: every core).
        nh_length: N-H length of the Hz tensor (:meth:`Prediction.tensor`).
        charges: each atom's charge (e), needed with ``electrolyte``.
        electrolyte: the medium's surface charge and solution.  A zero
            density or zero charges give the uncharged prediction's bits.

    Raises:
        ValueError: an unknown medium, bad coordinates, radii or charges, a
            medium too concentrated for the molecule to fit, or charges so
            strongly drawn to the medium that no average exists.
    """
    import kelfit

    if medium not in MEDIA:
        raise ValueError(f"medium must be one of {', '.join(MEDIA)}, got {medium!r}")
    kind = MEDIA[medium]
    c = kind.concentration if concentration is None else float(concentration)
    geometry = medium_geometry(kind, c)
    count = kind.orientations if orientations is None else int(orientations)
    xyz = np.asarray(coordinates, dtype=np.float64)
    field: dict[str, Any] = {}
    net = 0.0
    if electrolyte is not None:
        if charges is None:
            raise ValueError("an electrolyte needs charges (one per atom)")
        q = np.asarray(charges, dtype=np.float64)
        field = {"charges": q, **electrolyte.keywords()}
        net = float(q.sum()) if q.ndim == 1 else 0.0
    axis_order, allowed = kelfit.steric(
        xyz,
        np.asarray(radii, dtype=np.float64),
        shape=kind.shape,
        orientations=count,
        workers=workers,
        **geometry,
        **field,
    )
    return Prediction(
        medium=kind,
        concentration=c,
        saupe_matrix=kind.axis_p2 * axis_order,
        allowed=float(allowed),
        orientations=count,
        atoms=int(xyz.shape[0]),
        nh_length=nh_length,
        electrolyte=electrolyte,
        net_charge=net,
    )


def predicted_values(
    prediction: Prediction, vectors: ArrayLike, scale: ArrayLike | None = None
) -> NDArray[np.float64]:
    """Each bond's predicted value: scale u^T A u for its unit vector u.

    ``scale`` is each row's constant over the reference's, signed by the
    sign convention (:func:`~kelfit_tools.bonds.row_scales`); without it
    every row is an N-H bond at the reference length.
    """
    v = np.asarray(vectors, dtype=np.float64)
    u = v / np.linalg.norm(v, axis=1)[:, None]
    values: NDArray[np.float64] = np.einsum(
        "ij,jk,ik->i", u, prediction.tensor_matrix, u
    )
    if scale is not None:
        values = values * np.asarray(scale, dtype=np.float64)
    return values


@dataclass(frozen=True)
class Comparison:
    """The predicted couplings and tensor against the measured ones and
    the fitted tensor.

    Attributes:
        pearson_r: Pearson r of observed and predicted values.
        scale: the one factor that brings the prediction nearest the
            observed values (least squares through the origin).
        q: rms(observed - scale predicted) / rms(observed).
        axis_angles_deg: angles (degrees, 0 to 90) between the predicted
            and the fitted x, y and z principal axes.
        da_ratio: fitted Da over predicted Da.
        n: couplings compared.
    """

    pearson_r: float
    scale: float
    q: float
    axis_angles_deg: tuple[float, float, float]
    da_ratio: float
    n: int

    def as_dict(self) -> dict[str, Any]:
        """The JSON ``comparison`` block."""
        return {
            "n": self.n,
            "pearson_r": self.pearson_r,
            "q": self.q,
            "scale": self.scale,
            "axis_angles_deg": list(self.axis_angles_deg),
            "da_ratio": self.da_ratio,
        }


def compare(
    observed: ArrayLike, predicted: ArrayLike, predicted_tensor: Tensor, fitted: Tensor
) -> Comparison:
    """How well a prediction matches measured couplings and their fit."""
    o = np.asarray(observed, dtype=np.float64)
    p = np.asarray(predicted, dtype=np.float64)
    pp = float(p @ p)
    scale = float(o @ p) / pp if pp > 0 else math.nan
    residual = o - scale * p
    q = math.sqrt(float(residual @ residual) / float(o @ o))
    angles = axis_angles(predicted_tensor.axes, fitted.axes)
    return Comparison(
        pearson_r=pearson(o, p),
        scale=scale,
        q=q,
        axis_angles_deg=(float(angles[0]), float(angles[1]), float(angles[2])),
        da_ratio=fitted.da / predicted_tensor.da if predicted_tensor.da else math.nan,
        n=int(o.size),
    )


def structure_order(
    structure: Any,
    model: int = 1,
    *,
    where: PathLike | None = None,
    medium: str = "bicelle",
    concentration: float | None = None,
    orientations: int | None = None,
    nh_length: float = NH_REFERENCE_LENGTH,
    electrolyte: Electrolyte | None = None,
    charge_file: PathLike | None = None,
) -> Prediction:
    """:func:`predict_order` of a model's heavy atoms at their van der Waals
    radii, with ``electrolyte`` charged: the residues' charges at its pH
    (:func:`~kelfit_tools.charges.residue_charges`), or those of
    ``charge_file`` (:func:`~kelfit_tools.charges.file_charges`).

    Raises:
        DataError: a model without heavy atoms, a medium, concentration or
            count out of range (naming the file ``where``), or an unusable
            charge file.
    """
    from .charges import structure_charges

    try:
        xyz, elements = heavy_atoms(structure, model)
        charges = None
        if electrolyte is not None:
            charges = structure_charges(
                structure, model, ph=electrolyte.ph, charge_file=charge_file
            )
        return predict_order(
            xyz, atom_radii(elements), medium=medium, concentration=concentration,
            orientations=orientations, nh_length=nh_length, charges=charges,
            electrolyte=electrolyte,
        )  # fmt: skip
    except DataError:
        raise
    except ValueError as exc:
        raise DataError(str(exc), where) from None
