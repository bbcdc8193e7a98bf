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

A bond type names the two atoms as a table does, heavy atom first: ``N-H``
(HN is H), ``CA-HA``, ``C-H`` (the two-bond C'(i-1)-HN(i) pair).  The
protons of a methyl or methylene group share one type (``CB-HB`` for HB1,
HB2, HB3; ``CD1-HD`` for HD11 ...), while a side-chain N-H keeps the full
proton name (``NE1-HE1``, ``ND2-HD21``): the two amide protons of Asn and
Gln are different bonds, and an aromatic C-H (``CD1-HD1``) must not be
taken for the methyl of the same carbon name.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable, Mapping, Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .errors import Advice, Hint
from .io.names import atom_key

__all__ = [
    "GYROMAGNETIC_RATIOS",
    "NH_REFERENCE_LENGTH",
    "SIGN_CONVENTIONS",
    "STANDARD_LENGTHS",
    "bond_type",
    "dipolar_constant",
    "element",
    "from_distance",
    "length_basis",
    "length_overrides",
    "parse_length",
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
#: lengths for the bonds to protons (the equilibrium length lengthened so
#: that r^-3 carries the averaging of stretching and libration), the mean
#: peptide geometry otherwise.
STANDARD_LENGTHS = {
    # Amide N-H: 1.02 A equilibrium, 1.041 A effective (Ottiger & Bax 1998;
    # Yao et al. 2008 find the same within 0.005 A).
    "N-H": 1.041,
    # CA-HA effective length measured against N-H (Ottiger & Bax 1998).
    "CA-HA": 1.117,
    # Heavy-atom bonds: Engh & Huber (1991) mean geometry; their vibrational
    # averaging is small next to that of bonds to protons.
    "C-N": 1.329,
    "CA-C": 1.525,
    "N-CA": 1.458,
    "CA-CB": 1.530,
    # Two-bond C'(i-1)-HN(i): the third side of the triangle of C'-N 1.329 A
    # (Engh & Huber) and the effective N-H 1.041 A in the planar peptide,
    # with C'-N-H about 123 deg (H slightly nearer CA than the bisector):
    # 2.087 A; each degree of that angle moves it by about 0.01 A, so it is
    # given to 0.01 A.
    "C-H": 2.09,
    # Side-chain N-H (Trp indole, Asn/Gln amide, Arg NE): the same bond as
    # the backbone amide, so its effective length.
    "NE1-HE1": 1.041,
    "ND2-HD21": 1.041,
    "ND2-HD22": 1.041,
    "NE2-HE21": 1.041,
    "NE2-HE22": 1.041,
    "NE-HE": 1.041,
    # Aliphatic side-chain C-H (methine, methylene, methyl): the CA-HA
    # effective length, since the same stretching and libration average
    # every sp3 C-H bond.  A methyl's rotation is not a length: a methyl row
    # is fitted along the C-H vector it is given, not the C3 axis.
    "CB-HB": 1.117,
    "CG-HG": 1.117,
    "CG1-HG": 1.117,
    "CG2-HG": 1.117,
    "CD-HD": 1.117,
    "CD1-HD": 1.117,
    "CD2-HD": 1.117,
    "CE-HE": 1.117,
}

SIGN_CONVENTIONS = ("physical", "magnitudes")

#: Heavy-atom types written either way round; a pair with one proton is
#: always written heavy atom first.
_KNOWN_TYPES = [tuple(name.split("-")) for name in STANDARD_LENGTHS]

#: What may follow a proton's name: its number within a group, or the
#: pseudo-atom marks of restraint files (HB#, HD1*).
_PROTON_SUFFIX = re.compile(r"[0-9#*%'\"]+$")


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
    name = atom.strip().upper()
    digits = len(name) - len(name.lstrip("0123456789"))
    if digits and name[digits:].startswith("H"):
        # Old PDB names put a proton's last digits first: 1HD2 is HD21.
        name = name[digits:] + name[:digits]
    else:
        name = name[digits:]
    return atom_key(name)


def _is_proton(name: str) -> bool:
    return name.startswith("H")


def _proton_in_type(proton: str, heavy: str | None) -> str:
    """The proton's name within a bond type with ``heavy`` (None: no heavy)."""
    if heavy is not None and len(heavy) > 1 and proton[1:].startswith(heavy[1:]):
        # The proton named after this heavy atom is bonded to it.
        if heavy.startswith("N"):
            # Side-chain N-H: HD21 and HD22 of Asn are distinct bonds, and
            # HE1 of Trp is no backbone H.
            return proton
        if len(proton) == len(heavy):
            # No number of its own (HD1 on CD1, HZ on CZ): a lone proton,
            # such as an aromatic one, not one of a methyl's.
            return proton
    # One of a group (HB2, HD11), a backbone H (H1 of the N-terminus is H),
    # or a pair that is no one-bond pair.
    return _PROTON_SUFFIX.sub("", proton) or proton


def bond_type(atom_i: str, atom_j: str) -> str:
    """The bond type of two atom names, such as ``"N-H"`` or ``"CA-HA"``.

    HN is H; the protons of a methyl or methylene group drop their number
    (``CB``, ``HB3`` is ``CB-HB``; ``CD1``, ``HD11`` is ``CD1-HD``), while a
    proton bonded to a side-chain nitrogen, or the lone proton of a numbered
    carbon, keeps its full name (``NE1-HE1``, ``CD1-HD1``).  A pair with one
    proton is written heavy atom first, and a heavy-atom pair written in
    reverse order of a known type is that type.
    """
    a, b = _atom_name(atom_i), _atom_name(atom_j)
    if _is_proton(a) and not _is_proton(b):
        a, b = b, a
    if _is_proton(b):
        heavy = None if _is_proton(a) else a
        b = _proton_in_type(b, heavy)
        if heavy is None:
            a = _proton_in_type(a, None)
    elif (b, a) in _KNOWN_TYPES:
        a, b = b, a
    return f"{a}-{b}"


def _parse_type(entry: str) -> str:
    parts = [p.strip() for p in entry.strip().split("-")]
    if len(parts) != 2 or not all(parts):
        raise ValueError(
            f"bond types are written as atom pairs such as N-H,CA-HA, got {entry!r}"
        )
    return bond_type(*parts)


def parse_types(text: str) -> list[str]:
    """Bond types from ``"N-H,C-N"`` (either order within a pair).

    Raises:
        ValueError: an entry that is not two atom names joined by ``-``.
    """
    return [_parse_type(entry) for entry in text.split(",")]


def _positive_length(value: object, what: str) -> float:
    try:
        length = float(value)  # type: ignore[arg-type]  # float() refusing is caught
    except (TypeError, ValueError):
        length = math.nan
    if not (length > 0 and math.isfinite(length)):
        raise ValueError(f"{what} must be a positive length in angstrom, got {value!r}")
    return length


def parse_length(text: str) -> tuple[str, float]:
    """One bond type's length from ``"TYPE=ANGSTROM"``, such as ``C-H=2.107``.

    Returns:
        (bond type as :func:`bond_type` names it, length in angstrom).

    Raises:
        ValueError: not of that form, or a length that is not positive.
    """
    form = f"a bond length is written TYPE=ANGSTROM, such as C-H=2.107, got {text!r}"
    kind, sep, value = text.partition("=")
    if not sep:
        raise ValueError(form)
    try:
        name = _parse_type(kind)
    except ValueError:
        raise ValueError(form) from None
    try:
        return name, _positive_length(value.strip(), f"the length of {name}")
    except ValueError as exc:
        raise ValueError(f"{exc} ({form})") from None


def length_overrides(
    lengths: Mapping[str, float] | Iterable[tuple[str, float]] | None,
) -> dict[str, float]:
    """Length overrides keyed by bond type as :func:`bond_type` names it.

    Keys may be written either way round (``H-C`` is ``C-H``, ``HN`` is
    ``H``); ``lengths`` is a mapping or (type, length) pairs, where a type
    may come twice with one length.

    Raises:
        ValueError: a key that is no atom pair, a length that is not a
            positive number, or one type given two different lengths.
    """
    out: dict[str, float] = {}
    pairs = lengths.items() if isinstance(lengths, Mapping) else lengths or ()
    for key, value in pairs:
        name = _parse_type(str(key))
        length = _positive_length(value, f"the length of {name}")
        if out.get(name, length) != length:
            raise ValueError(
                Advice(
                    f"{{0}} gives bond type {name} two lengths, {out[name]} and "
                    f"{length}",
                    Hint("lengths"),
                )
            )
        out[name] = length
    return out


def from_distance(
    types: Iterable[str],
    *,
    bond_lengths: str,
    lengths: Mapping[str, float] | None = None,
    normalised: bool = False,
) -> NDArray[np.bool_]:
    """The rows whose constant takes their own distance (a structure's, a
    model's or a frame's) under :func:`row_scales`: ``bond_lengths`` is
    ``"structure"``, the couplings are not ``normalised`` and no length is
    given for the row's bond type."""
    given = set(length_overrides(lengths))
    own = bond_lengths == "structure" and not normalised
    return np.array([own and t not in given for t in types], dtype=bool)


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


def length_basis(
    bond_lengths: str, *, normalised: bool = False, each_frame: bool = False
) -> str:
    """What each row's dipolar constant rests on, in words: the same three
    bases for a structure, an ensemble's models and a trajectory's frames.

    Args:
        bond_lengths: ``"structure"`` or ``"standard"``, as
            :func:`row_scales` takes it.
        normalised: the couplings are already normalised to N-H.
        each_frame: the distances are a trajectory's, frame by frame.
    """
    if normalised:
        return "the N-H constant for every row (couplings normalised to N-H)"
    if bond_lengths == "standard":
        return "standard bond lengths"
    return "each frame's own distances" if each_frame else "the structure's distances"


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
    lengths: Mapping[str, float] | None = None,
    flip: Iterable[str] = (),
    normalised: bool = False,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Each row's dipolar constant and its scale relative to the reference.

    Args:
        atoms: the atom pair of every row.
        distances: each row's internuclear distance (angstrom), used when
            ``bond_lengths`` is ``"structure"``.
        convention: ``"physical"`` or ``"magnitudes"``.
        bond_lengths: ``"structure"`` (each row's own distance) or
            ``"standard"`` (:data:`STANDARD_LENGTHS` per bond type).
        nh_length: N-H length of the reference constant (the length Da is
            normalised to; it does not change the N-H rows' own length).
        lengths: lengths (angstrom) by bond type, such as ``{"C-H": 2.107}``,
            that replace the type's length in either mode: its standard
            length, or each such row's distance in the structure (the other
            types keep the structure's distances).
        flip: bond types (``"C-N"``) whose couplings were entered with the
            opposite sign: their scales change sign.
        normalised: the couplings are already normalised to N-H: every row
            has the N-H constant at ``nh_length`` (no distances are used).

    Returns:
        (physical constants in Hz, scales): the scale is the constant,
        signed by the convention (and ``flip``), over
        :func:`reference_constant`.

    Raises:
        ValueError: an unknown convention or nucleus, a bad override, or a
            bond type without a standard length.
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
    fixed = length_overrides(lengths)
    pairs: Sequence[tuple[str, str]] = list(atoms)
    types = [bond_type(a, b) for a, b in pairs]
    flipped = np.array([t in {_parse_type(f) for f in flip} for t in types], dtype=bool)
    if normalised:
        nh = dipolar_constant("N", "H", nh_length)
        constants = np.full(len(types), nh, dtype=np.float64)
        signed = constants if convention == "physical" else np.abs(constants)
        return constants, np.where(flipped, -signed, signed) / abs(nh)
    if bond_lengths == "structure":
        if distances is None:
            if any(t not in fixed for t in types):
                raise ValueError("structure bond lengths need the distances")
            distances = np.zeros(len(types))
        r = np.array(distances, dtype=np.float64).reshape(-1)
        if r.size != len(types):
            raise ValueError(
                f"need one distance per row, got {r.size} for {len(types)}"
            )
        for i, t in enumerate(types):
            r[i] = fixed.get(t, r[i])
    else:
        table = {**STANDARD_LENGTHS, **fixed}
        missing = sorted(set(types) - set(table))
        if missing:
            raise ValueError(
                f"no standard length for bond type(s) {', '.join(missing)}; "
                f"give each its length in angstrom (--length {missing[0]}=ANGSTROM, "
                f"or lengths={{'{missing[0]}': ...}} from Python), "
                "or use the structure's distances"
            )
        r = np.array([table[t] for t in types], dtype=np.float64)
    constants = np.array(
        [dipolar_constant(a, b, float(d)) for (a, b), d in zip(pairs, r)]
    )
    signed = constants if convention == "physical" else np.abs(constants)
    signed = np.where(flipped, -signed, signed)
    return constants, signed / reference_constant(nh_length)
