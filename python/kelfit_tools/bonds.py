"""Dipolar constants of bond types, sign conventions and row scales.

A residual dipolar coupling between nuclei i and j is the alignment tensor
seen along the bond, times the bond's dipolar constant

    D_max = (mu0 / 4 pi) * gamma_i * gamma_j * hbar / (pi * r^3)   [Hz]

so that bonds of different types fit one tensor once each row is scaled by
its constant relative to a reference.  The reference here is the N-H bond at
a standard length (:data:`NH_REFERENCE_LENGTH`): a row of scale 1 is such an
N-H bond, and the fitted Da is then directly "Da normalised to N-H".

Tables give signs by one of two conventions:

* ``"physical"``: the constant keeps the sign of gamma_i * gamma_j, which is
  negative for N-H and C-N (15N has a negative gyromagnetic ratio);
* ``"magnitudes"``: every coupling is scaled by the magnitude of its
  constant, as in the tables of most deposited data (N-H couplings then
  carry the sign of the alignment tensor along the bond).

The two agree on the relative sign of N-H and C-N rows and disagree on
every bond whose constant is positive (C-C, C-H, H-H).
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable, Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "GYROMAGNETIC_RATIOS",
    "NH_REFERENCE_LENGTH",
    "SIGN_CONVENTIONS",
    "STANDARD_LENGTHS",
    "bond_type",
    "dipolar_constant",
    "element",
    "parse_types",
    "reference_constant",
    "row_scales",
]

#: Gyromagnetic ratios (rad s^-1 T^-1) of 1H, 13C, 15N, 31P and 19F.
GYROMAGNETIC_RATIOS = {
    "H": 267.52218744e6,
    "C": 67.2828e6,
    "N": -27.116e6,
    "P": 108.291e6,
    "F": 251.815e6,
}

_MU0_OVER_4PI = 1.0e-7  # T^2 m^3 J^-1
_HBAR = 1.054571817e-34  # J s
_ANGSTROM = 1.0e-10  # m

#: Effective N-H length (angstrom) to which Da is normalised by default:
#: the bond length plus its librational averaging, as commonly used.
NH_REFERENCE_LENGTH = 1.041

#: Standard lengths (angstrom) for ``bond_lengths="standard"``: effective
#: lengths for the bonds to protons, the mean peptide geometry otherwise.
STANDARD_LENGTHS = {
    "N-H": 1.041,
    "CA-HA": 1.117,
    "C-N": 1.329,
    "CA-C": 1.525,
    "N-CA": 1.458,
    "CA-CB": 1.530,
}

SIGN_CONVENTIONS = ("physical", "magnitudes")

#: Names a bond type is written with; a reversed pair means the same type.
_KNOWN_TYPES = [tuple(name.split("-")) for name in STANDARD_LENGTHS]


def element(atom: str) -> str:
    """The nucleus of an atom name, from its first letter (``1HB`` -> H).

    Protein atom names start with their element (CA is a carbon).

    Raises:
        ValueError: no letter, or a nucleus without a gyromagnetic ratio.
    """
    letters = atom.strip().lstrip("0123456789").upper()
    symbol = letters[:1]
    if symbol not in GYROMAGNETIC_RATIOS:
        known = ", ".join(GYROMAGNETIC_RATIOS)
        raise ValueError(
            f"atom {atom!r}: no gyromagnetic ratio for its nucleus (known: {known})"
        )
    return symbol


def _atom_name(atom: str) -> str:
    name = atom.strip().upper().lstrip("0123456789")
    if name == "HN":
        return "H"
    if name.startswith("H"):
        # HA2 and HA3 (glycine), HB2 ... are the same bond type as HA, HB.
        name = re.sub(r"[0-9#*%'\"]+$", "", name) or name
    return name


def bond_type(atom_i: str, atom_j: str) -> str:
    """The bond type of two atom names, such as ``"N-H"`` or ``"CA-HA"``.

    HN is H, numbered protons drop their number, and a pair written in
    reverse order of a known type is that type.
    """
    a, b = _atom_name(atom_i), _atom_name(atom_j)
    if (b, a) in _KNOWN_TYPES:
        a, b = b, a
    return f"{a}-{b}"


def parse_types(text: str) -> list[str]:
    """Bond types from ``"N-H,C-N"`` (either order within a pair).

    Raises:
        ValueError: an entry that is not two atom names joined by ``-``.
    """
    types = []
    for entry in text.split(","):
        parts = [p.strip() for p in entry.strip().split("-")]
        if len(parts) != 2 or not all(parts):
            raise ValueError(
                f"bond types are written as atom pairs such as N-H,CA-HA, got {entry!r}"
            )
        types.append(bond_type(*parts))
    return types


def dipolar_constant(atom_i: str, atom_j: str, distance: float) -> float:
    """The physical dipolar constant (Hz) of two nuclei ``distance`` apart.

    Its sign is that of the product of the two gyromagnetic ratios.

    Args:
        atom_i, atom_j: atom names (the nucleus is read from each).
        distance: internuclear distance in angstrom.
    """
    if not (distance > 0 and math.isfinite(distance)):
        raise ValueError(f"distance must be positive, got {distance}")
    gamma = GYROMAGNETIC_RATIOS[element(atom_i)] * GYROMAGNETIC_RATIOS[element(atom_j)]
    return _MU0_OVER_4PI * gamma * _HBAR / (math.pi * (distance * _ANGSTROM) ** 3)


def reference_constant(nh_length: float = NH_REFERENCE_LENGTH) -> float:
    """|D_max| of N-H at ``nh_length`` angstrom: the constant of scale 1."""
    return abs(dipolar_constant("N", "H", nh_length))


def row_scales(
    atoms: Iterable[tuple[str, str]],
    distances: ArrayLike | None,
    *,
    convention: str = "magnitudes",
    bond_lengths: str = "structure",
    nh_length: float = NH_REFERENCE_LENGTH,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Each row's dipolar constant and its scale relative to the reference.

    Args:
        atoms: the atom pair of every row.
        distances: each row's internuclear distance (angstrom), used when
            ``bond_lengths`` is ``"structure"``.
        convention: ``"physical"`` or ``"magnitudes"``.
        bond_lengths: ``"structure"`` (each row's own distance) or
            ``"standard"`` (:data:`STANDARD_LENGTHS` per bond type).
        nh_length: N-H length of the reference constant.

    Returns:
        (physical constants in Hz, scales): the scale is the constant,
        signed by the convention, over :func:`reference_constant`.

    Raises:
        ValueError: an unknown convention or nucleus, or a bond type without
            a standard length.
    """
    if convention not in SIGN_CONVENTIONS:
        raise ValueError(
            f"sign convention must be one of {', '.join(SIGN_CONVENTIONS)}, "
            f"got {convention!r}"
        )
    if bond_lengths not in ("structure", "standard"):
        raise ValueError(
            f"bond lengths must be 'structure' or 'standard', got {bond_lengths!r}"
        )
    pairs: Sequence[tuple[str, str]] = list(atoms)
    if bond_lengths == "structure":
        if distances is None:
            raise ValueError("structure bond lengths need the distances")
        lengths = np.asarray(distances, dtype=np.float64)
    else:
        missing = sorted(
            {bond_type(a, b) for a, b in pairs} - set(STANDARD_LENGTHS), key=str
        )
        if missing:
            raise ValueError(
                f"no standard length for bond type(s) {', '.join(missing)}; "
                "use the structure's distances"
            )
        lengths = np.array([STANDARD_LENGTHS[bond_type(a, b)] for a, b in pairs])
    constants = np.array(
        [dipolar_constant(a, b, float(r)) for (a, b), r in zip(pairs, lengths)]
    )
    signed = constants if convention == "physical" else np.abs(constants)
    return constants, signed / reference_constant(nh_length)
