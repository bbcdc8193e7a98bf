"""Amide protons for structures deposited without hydrogens.

Crystal structures, and many models, carry no hydrogens, so an N-H
coupling has no vector to match.  The amide proton lies, to within a few
degrees, in the plane of the peptide bond, on the outer bisector of the
C'(i-1)-N-CA angle, which the heavy atoms fix; :func:`build_amide_protons`
puts it there.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from .. import notices
from ..bonds import STANDARD_LENGTHS
from .names import AMIDE_PROTON_NAMES

if TYPE_CHECKING:
    import gemmi

__all__ = ["amide_proton_share", "build_amide_protons"]


#: Residues whose backbone nitrogen carries a side-chain carbon instead of
#: a proton (proline, hydroxyproline, D-proline).
_IMINO_RESIDUES = frozenset({"PRO", "HYP", "DPR"})

#: Longest C'(i-1)-N distance (angstrom) taken for a peptide bond: the bond
#: is 1.33 A, and a chain break, even between consecutively numbered
#: residues, leaves the atoms much further apart.
_PEPTIDE_BOND_MAX = 2.0

#: Longest distance (angstrom) at which another heavy atom of the residue
#: is taken as bonded to N, making it a substituted nitrogen without H.
_BOND_MAX = 1.75


#: A position in angstrom.
_Point = tuple[float, float, float]


def _position(atom: Any) -> _Point:
    return (atom.pos.x, atom.pos.y, atom.pos.z)


def _distance(a: tuple[float, ...], b: tuple[float, ...]) -> float:
    return math.sqrt(sum((p - q) ** 2 for p, q in zip(a, b)))


def _substituted_nitrogen(residue: Any, n: Any) -> bool:
    """Whether N carries a heavy atom other than CA of its own residue."""
    if residue.name.strip().upper() in _IMINO_RESIDUES:
        return True
    where = _position(n)
    for atom in residue:
        if atom.name in ("N", "CA") or atom.is_hydrogen():
            continue
        if _distance(_position(atom), where) < _BOND_MAX:
            return True
    return False


def _amide_sites(chain: Any) -> Iterator[tuple[Any, _Point, _Point, _Point, Any]]:
    """Residue, C'(i-1), N and CA positions, and the N atom, of each residue
    that carries an amide H.

    That is every residue with N and CA, peptide-bonded to the residue
    before it in the chain (which has C), whose nitrogen is not
    substituted.  The first conformer of each atom is used.  Positions are
    copied: adding an atom to a residue moves that residue's atoms.
    """
    previous = None
    for residue in chain:
        n = residue.find_atom("N", "*")
        ca = residue.find_atom("CA", "*")
        c_prev = None if previous is None else previous.find_atom("C", "*")
        previous = residue
        if n is None or ca is None or c_prev is None:
            continue
        n_at = _position(n)
        c_at = _position(c_prev)
        if _distance(c_at, n_at) >= _PEPTIDE_BOND_MAX:
            continue
        if _substituted_nitrogen(residue, n):
            continue
        yield residue, c_at, n_at, _position(ca), n


def _has_amide_proton(residue: Any) -> bool:
    return any(residue.find_atom(name, "*") is not None for name in AMIDE_PROTON_NAMES)


def _bisector_position(
    c_prev: _Point, n: _Point, ca: _Point, length: float
) -> _Point | None:
    """``length`` from N, away from both C'(i-1) and CA, or None when the
    two bonds are collinear and fix no direction."""
    total = [0.0, 0.0, 0.0]
    for other in (c_prev, ca):
        bond = [p - o for p, o in zip(other, n)]
        size = math.sqrt(sum(b * b for b in bond))
        if size == 0.0:
            return None
        total = [t - b / size for t, b in zip(total, bond)]
    size = math.sqrt(sum(t * t for t in total))
    if size < 1e-6:
        return None
    return (
        n[0] + length * total[0] / size,
        n[1] + length * total[1] / size,
        n[2] + length * total[2] / size,
    )


def build_amide_protons(
    structure: gemmi.Structure, length: float = STANDARD_LENGTHS["N-H"]
) -> int:
    """Add the missing amide protons to every model of a structure.

    Each residue that is peptide-bonded to the residue before it in its
    chain (C'(i-1)-N shorter than 2 A), has N and CA, is not a proline (nor
    otherwise N-substituted) and has no ``H`` or ``HN`` gets an atom ``H``
    at ``length`` from N, in the C'(i-1)-N-CA plane, on the outer bisector
    of that angle.  It takes the occupancy and B-factor of its N.  Protons
    already present are kept as they are.

    Args:
        structure: changed in place.
        length: the N-H distance in angstrom.

    Returns:
        How many protons were added, over all models.

    Raises:
        ValueError: ``length`` is not a positive finite number.
    """
    if not (math.isfinite(length) and length > 0.0):
        raise ValueError(f"length must be a positive number of angstrom, got {length}")
    import gemmi  # the caller holds a gemmi structure, so gemmi is there

    added = 0
    for model in structure:
        for chain in model:
            # Every position is taken before any atom is added, since adding
            # one moves the atoms of its residue, C' among them.
            planned = []
            for residue, c_prev, n_at, ca, n in _amide_sites(chain):
                if _has_amide_proton(residue):
                    continue
                where = _bisector_position(c_prev, n_at, ca, length)
                if where is None:
                    notices.warn(
                        f"{chain.name} {residue.name}{residue.seqid.num}: C'-N-CA "
                        "is a straight line; no amide proton built"
                    )
                    continue
                planned.append((residue, where, n.occ, n.b_iso, n.altloc))
            for residue, where, occ, b_iso, altloc in planned:
                atom = gemmi.Atom()
                atom.name = "H"
                atom.element = gemmi.Element("H")
                atom.pos = gemmi.Position(*where)
                atom.occ = occ
                atom.b_iso = b_iso
                atom.altloc = altloc
                residue.add_atom(atom)
                added += 1
    return added


def amide_proton_share(model: gemmi.Model) -> float:
    """The share of residues that could carry an amide proton and do.

    Counted over the residues :func:`build_amide_protons` would give one
    (peptide-bonded to the residue before, with N and CA, not proline), so
    a model without hydrogens gives 0.0 and a fully protonated one 1.0.

    Returns:
        The share, or 0.0 when no residue could carry one.
    """
    total = 0
    present = 0
    for chain in model:
        for residue, *_ in _amide_sites(chain):
            total += 1
            present += _has_amide_proton(residue)
    return present / total if total else 0.0
