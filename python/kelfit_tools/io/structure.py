"""Bond vectors from a PDB or mmCIF structure (needs gemmi)."""

from __future__ import annotations

import logging
import os
from collections.abc import Sequence
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from .._extras import require
from ..errors import DataError, PathLike
from .names import TYPO_SHARE as _RENAMED_SHARE
from .names import atom_key as _atom_key
from .names import residue_name as _resname
from .tables import Coupling

if TYPE_CHECKING:
    import gemmi

__all__ = [
    "StructureVectors",
    "load_structure",
    "model_count",
    "residue_names",
    "residue_vectors",
    "structure_vectors",
]

log = logging.getLogger(__name__)

#: Names under which one atom appears in different programs' files.
_ATOM_ALIASES = {"H": ("H", "HN"), "HN": ("HN", "H")}


def _gemmi() -> Any:
    return require("gemmi", "reading structures")


@dataclass(frozen=True, eq=False)
class StructureVectors:
    """Bond vectors matched to couplings.

    Attributes:
        vectors: N x 3 array, from the first atom of each pair to the second.
        values: the N matched couplings' values.
        labels: a short name for each (``GLN2``).
        couplings: the N matched couplings.
        unmatched: couplings of the requested atom pair that the structure
            could not supply, each with the reason.
        other_pairs: how many couplings were between other atom pairs and
            were left out.
        model: the model used (1-based).
        renamed: couplings used by residue number although the table names
            another residue there (with ``resnames="use"``), each with the
            difference.
    """

    vectors: NDArray[np.float64]
    values: NDArray[np.float64]
    labels: list[str]
    couplings: list[Coupling]
    unmatched: list[tuple[Coupling, str]]
    other_pairs: int
    model: int
    renamed: list[tuple[Coupling, str]] = field(default_factory=list)


def load_structure(path: PathLike) -> gemmi.Structure:
    """Read a PDB or mmCIF file with gemmi.

    Raises:
        MissingExtra: gemmi is not installed.
        DataError: the file cannot be read or holds no atoms.
    """
    reader = _gemmi()
    if not os.path.isfile(path):
        raise DataError("no such file", path)
    try:
        structure: gemmi.Structure = reader.read_structure(os.fspath(path))
    except (RuntimeError, ValueError) as exc:
        raise DataError(f"cannot read the structure: {exc}", path) from None
    if len(structure) == 0 or not any(len(ch) for ch in structure[0]):
        raise DataError("no atoms in the structure", path)
    return structure


def _structure(structure: PathLike | gemmi.Structure) -> Any:
    if isinstance(structure, (str, os.PathLike)):
        return load_structure(structure)
    return structure


def model_count(structure: PathLike | gemmi.Structure) -> int:
    """How many models the structure holds."""
    return len(_structure(structure))


def _source(structure: PathLike | gemmi.Structure) -> str | None:
    if isinstance(structure, (str, os.PathLike)):
        return os.fspath(structure)
    return None


def _model(structure: Any, model: int, source: str | None) -> Any:
    count = len(structure)
    if not 1 <= model <= count:
        raise DataError(
            f"model {model} does not exist; the structure has {count} model(s)",
            source,
        )
    return structure[model - 1]


def _find_atom(residue: Any, name: str) -> Any:
    for candidate in _ATOM_ALIASES.get(name.upper(), (name,)):
        atom = residue.find_atom(candidate, "*")
        if atom is not None:
            return atom
    return None


class _ResidueIndex:
    """Residues of one model by chain, number and insertion code."""

    def __init__(self, model: Any, default_chain: str | None) -> None:
        self.by_chain: dict[str, dict[tuple[int, str], Any]] = {}
        for chain in model:
            residues = self.by_chain.setdefault(chain.name, {})
            for residue in chain:
                key = (residue.seqid.num, residue.seqid.icode.strip().upper())
                residues.setdefault(key, residue)
        self.default_chain = default_chain
        self.chains = list(self.by_chain)
        self.guessed = False

    def find(self, chain: str | None, number: int, icode: str) -> tuple[Any, str]:
        """The residue, or None with the reason."""
        key = (number, icode)
        chain = chain or self.default_chain
        if chain is not None:
            residues = self.by_chain.get(chain)
            if residues is None:
                return None, f"no chain {chain!r} in the structure"
            residue = residues.get(key)
            if residue is None:
                return None, f"no residue {number}{icode} in chain {chain}"
            return residue, ""
        for name in self.chains:
            residue = self.by_chain[name].get(key)
            if residue is not None:
                if len(self.chains) > 1 and not self.guessed:
                    self.guessed = True
                    log.info(
                        "the couplings name no chain: using the first chain "
                        "that has each residue (chain %s first)",
                        name,
                    )
                return residue, ""
        return None, f"no residue {number}{icode} in the structure"


def _atom_for(
    index: _ResidueIndex,
    chain: str | None,
    number: int,
    icode: str,
    resname: str | None,
    atom: str,
    renamed: list[str],
) -> tuple[Any, str, str]:
    residue, reason = index.find(chain, number, icode)
    if residue is None:
        return None, "", reason
    expected = _resname(resname)
    if expected is not None and _resname(residue.name) != expected:
        difference = (
            f"residue {number}{icode} is {residue.name} in the structure, "
            f"{resname} in the table"
        )
        if renamed is _STRICT:
            return None, "", difference
        renamed.append(difference)
    found = _find_atom(residue, atom)
    if found is None:
        return None, "", f"no atom {atom} in {residue.name}{number}{icode}"
    return found, residue.name, ""


#: Passed as ``renamed`` when a residue name that differs means no match.
_STRICT: list[str] = []


def structure_vectors(
    structure: PathLike | gemmi.Structure,
    couplings: Sequence[Coupling],
    atoms: Sequence[str] | None = ("N", "H"),
    model: int = 1,
    *,
    chain: str | None = None,
    resnames: str = "strict",
) -> StructureVectors:
    """Match couplings to the inter-atomic vectors of a structure.

    Only couplings between the two ``atoms`` are used (in either order; H
    and HN are the same amide proton), or every coupling when ``atoms`` is
    None; couplings from a plain table, which name no atoms, are taken to be
    between these two atoms (N and H when None) of their residue.  Couplings
    that cannot be matched are listed in ``unmatched`` and logged.  Each
    vector keeps its length, the inter-nuclear distance in angstrom.

    Args:
        structure: a PDB or mmCIF path, or a ``gemmi.Structure``.
        couplings: from :func:`~kelfit_tools.io.read_restraints`.
        atoms: the atom pair, such as ``("N", "H")``, or None for all.
        model: which model (1-based) of an ensemble.
        chain: chain for couplings that name none; by default the first
            chain holding the residue.
        resnames: what a residue name that differs from the structure's
            means: ``"strict"``, no match; ``"use"``, match by number, listed
            in ``renamed`` and logged (a typing error in a table), unless
            more than one coupling and more than 5% of them differ (then
            the numbering or the structure is wrong, and none matches).

    Raises:
        MissingExtra: gemmi is not installed.
        DataError: unreadable structure, no such model, or no coupling
            matched.
    """
    if resnames not in ("strict", "use"):
        raise ValueError(f"resnames must be 'strict' or 'use', got {resnames!r}")
    every = atoms is None
    atoms = ("N", "H") if atoms is None else atoms
    if len(atoms) != 2:
        raise ValueError(f"atoms must name two atoms, got {list(atoms)}")
    st = _structure(structure)
    source = _source(structure)
    index = _ResidueIndex(_model(st, model, source), chain)
    wanted = (_atom_key(atoms[0]), _atom_key(atoms[1]))
    vectors: list[NDArray[np.float64]] = []
    matched: list[Coupling] = []
    unmatched: list[tuple[Coupling, str]] = []
    renamed: list[tuple[Coupling, str]] = []
    renamed_rows: list[int] = []  # their places in ``matched``
    other = 0
    for c in couplings:
        if c.atom_i is None or c.atom_j is None:
            c = _with_atoms(c, atoms)
        pair = (_atom_key(c.atom_i or ""), _atom_key(c.atom_j or ""))
        if not every and pair != wanted and pair[::-1] != wanted:
            other += 1
            continue
        differences: list[str] = _STRICT if resnames == "strict" else []
        first, resname_i, reason = _atom_for(
            index,
            c.chain_i,
            c.residue_i,
            c.icode_i,
            c.resname_i,
            c.atom_i or "",
            differences,
        )
        second, resname_j, reason_j = (None, "", "")
        if first is not None:
            second, resname_j, reason_j = _atom_for(
                index,
                c.chain_j,
                c.residue_j,
                c.icode_j,
                c.resname_j,
                c.atom_j or "",
                differences,
            )
        if first is None or second is None:
            unmatched.append((c, reason or reason_j))
            continue
        vector = np.array(
            [
                second.pos.x - first.pos.x,
                second.pos.y - first.pos.y,
                second.pos.z - first.pos.z,
            ]
        )
        if not np.any(vector):
            unmatched.append((c, "the two atoms are at the same position"))
            continue
        if c.resname_i is None:
            c = _with_resnames(c, resname_i, resname_j)
        if differences and differences is not _STRICT:
            renamed.append((c, "; ".join(dict.fromkeys(differences))))
            renamed_rows.append(len(matched))
        vectors.append(vector)
        matched.append(c)
    if len(renamed) > max(1, _RENAMED_SHARE * len(matched)):
        # Not a typing error but another numbering or another protein: no
        # such coupling is a match.
        wrong = set(renamed_rows)
        keep = [i for i in range(len(matched)) if i not in wrong]
        unmatched.extend(renamed)
        log.warning(
            "%d of %d couplings name other residues than the structure has "
            "(such as %s): is it the right structure and numbering?",
            len(renamed),
            len(matched),
            renamed[0][1],
        )
        vectors = [vectors[i] for i in keep]
        matched = [matched[i] for i in keep]
        renamed = []
    if renamed:
        log.warning(
            "%d coupling(s) used by residue number although the residue names "
            "differ: %s",
            len(renamed),
            "; ".join(f"{c.label}: {why}" for c, why in renamed[:5]),
        )
    if unmatched:
        shown = "; ".join(f"{c.label}: {why}" for c, why in unmatched[:5])
        more = f" and {len(unmatched) - 5} more" if len(unmatched) > 5 else ""
        log.warning(
            "%d coupling(s) not matched in the structure: %s%s",
            len(unmatched),
            shown,
            more,
        )
    if not matched:
        hint = ""
        if unmatched:
            hint = f" (first: {unmatched[0][0].label}: {unmatched[0][1]})"
        elif other:
            hint = (
                f" (none of the {other} couplings is between {atoms[0]} and {atoms[1]})"
            )
        elif not couplings:
            hint = " (no couplings given)"
        raise DataError(f"no coupling matched the structure{hint}", source)
    return StructureVectors(
        vectors=np.array(vectors),
        values=np.array([c.value for c in matched]),
        labels=[c.label for c in matched],
        couplings=matched,
        unmatched=unmatched,
        other_pairs=other,
        model=model,
        renamed=renamed,
    )


def _with_atoms(c: Coupling, atoms: Sequence[str]) -> Coupling:
    return replace(c, atom_i=atoms[0], atom_j=atoms[1])


def _with_resnames(c: Coupling, resname_i: str, resname_j: str) -> Coupling:
    return replace(c, resname_i=resname_i, resname_j=resname_j)


def residue_vectors(
    structure: PathLike | gemmi.Structure,
    atoms: Sequence[str] = ("N", "H"),
    model: int = 1,
) -> tuple[NDArray[np.float64], list[str]]:
    """Vectors between ``atoms`` within every residue that has both.

    For back-calculation without a coupling table.

    Returns:
        (N x 3 vectors, labels such as ``A:GLN2``).
    """
    if len(atoms) != 2:
        raise ValueError(f"atoms must name two atoms, got {list(atoms)}")
    st = _structure(structure)
    source = _source(structure)
    m = _model(st, model, source)
    chains = [ch for ch in m if len(ch)]
    vectors: list[list[float]] = []
    labels: list[str] = []
    for ch in chains:
        for residue in ch:
            first = _find_atom(residue, atoms[0])
            second = _find_atom(residue, atoms[1])
            if first is None or second is None:
                continue
            d = second.pos - first.pos
            if d.length() == 0.0:
                continue
            vectors.append([d.x, d.y, d.z])
            name = f"{residue.name}{residue.seqid.num}{residue.seqid.icode.strip()}"
            labels.append(f"{ch.name}:{name}" if len(chains) > 1 else name)
    if not vectors:
        raise DataError(
            f"no residue in the structure has both {atoms[0]} and {atoms[1]}",
            source,
        )
    return np.array(vectors), labels


def residue_names(
    structure: PathLike | gemmi.Structure, model: int = 1
) -> dict[tuple[str, int], str]:
    """The name of every polymer residue by chain and number.

    What a table's residue numbers are checked against (see
    :func:`kelfit_tools.checks.numbering_check`).  Waters are left out, and
    residues with an insertion code too: renumbering never reaches them.

    Raises:
        MissingExtra: gemmi is not installed.
        DataError: unreadable structure or no such model.
    """
    st = _structure(structure)
    names: dict[tuple[str, int], str] = {}
    for chain in _model(st, model, _source(structure)):
        for residue in chain:
            if residue.is_water() or residue.seqid.icode.strip():
                continue
            names.setdefault((chain.name, residue.seqid.num), residue.name)
    return names
