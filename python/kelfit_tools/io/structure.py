"""Bond vectors from a PDB or mmCIF structure (needs gemmi)."""

from __future__ import annotations

import gzip
import math
import os
import zlib
from collections.abc import Sequence
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from .. import notices
from .._extras import require
from ..errors import DataError, PathLike, one_line
from .matching import (
    chain_members,
    chain_of_unnamed,
    match_couplings,
    match_warnings,
    no_match_reason,
)
from .names import atom_key, atom_spellings
from .tables import Coupling

if TYPE_CHECKING:
    import gemmi

__all__ = [
    "BACKBONE_BONDS",
    "GemmiIndex",
    "StructureVectors",
    "altloc_note",
    "backbone_bonds",
    "chain_vectors",
    "load_structure",
    "model_chains",
    "model_count",
    "repeated_warning",
    "residue_names",
    "residue_vectors",
    "structure_chains",
    "structure_vectors",
    "unnamed_chain",
]


#: The backbone bonds whose couplings are commonly measured, by bond type:
#: (first atom, second atom, whether the first is in the preceding residue).
BACKBONE_BONDS = {
    "N-H": ("N", "H", False),
    "CA-HA": ("CA", "HA", False),
    "C-N": ("C", "N", True),
    "CA-C": ("CA", "C", False),
}


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


#: The first bytes of every gzip stream.
_GZIP_MAGIC = b"\x1f\x8b"


def _content_format(data: bytes) -> str:
    """``"mmcif"``, ``"mmjson"`` or ``"pdb"``, from a file's first line.

    An mmCIF file opens with its ``data_`` block (after comments), mmJSON
    with a brace; anything else is read as PDB, whose records may come in
    any order and which the atom count then checks.
    """
    for raw in data[:65536].splitlines():
        line = raw.strip()
        if not line or line.startswith(b"#"):
            continue
        if line[:5].lower() == b"data_":
            return "mmcif"
        if line.startswith(b"{"):
            return "mmjson"
        break
    return "pdb"


def load_structure(path: PathLike) -> gemmi.Structure:
    """Read a PDB, mmCIF or mmJSON file with gemmi, whatever its name.

    The format is told by the content, not the file name, so that files
    named as other programs name them (``.ent``, ``.txt``, no extension) read
    alike; a gzip-compressed file is recognised by its first bytes.  The
    structure is named after the file, without its extensions.

    Raises:
        MissingExtra: gemmi is not installed.
        DataError: the file cannot be read, is a broken gzip stream, or holds
            no atoms.
    """
    reader = _gemmi()
    if not os.path.isfile(path):
        raise DataError("no such file", path)
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError as exc:
        raise DataError(f"cannot read: {exc.strerror}", path) from None
    if data.startswith(_GZIP_MAGIC):
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, zlib.error) as exc:
            raise DataError(f"not a readable gzip file: {exc}", path) from None
    kind = _content_format(data)
    formats = {
        "pdb": reader.CoorFormat.Pdb,
        "mmcif": reader.CoorFormat.Mmcif,
        "mmjson": reader.CoorFormat.Mmjson,
    }
    try:
        structure: gemmi.Structure = reader.read_structure_string(
            data, format=formats[kind]
        )
    except (RuntimeError, ValueError) as exc:
        raise DataError(
            f"cannot read the structure: {one_line(str(exc))}", path
        ) from None
    name = os.path.basename(os.fspath(path))
    if name.lower().endswith(".gz"):
        name = name[:-3]
    structure.name = os.path.splitext(name)[0] or name
    if len(structure) == 0 or not any(len(ch) for ch in structure[0]):
        shown = {"pdb": "PDB", "mmcif": "mmCIF", "mmjson": "mmJSON"}[kind]
        raise DataError(f"no atoms in the structure (read as {shown})", path)
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


def model_chains(model: Any) -> list[tuple[str, list[Any]]]:
    """The chains of a gemmi model as the couplings name them, each with its
    residues in file order.

    A chain is named by its chain ID.  Programs for structure calculation
    write oligomers with blank chain IDs and the chains' names in the
    segment IDs (PDB columns 73-76), so residues of a chain without an ID
    are grouped by their segment ID, each group a chain of that name; a
    chain with neither stays one chain with a blank name.
    """
    out: list[tuple[str, list[Any]]] = []
    for chain in model:
        if chain.name.strip():
            out.append((chain.name, list(chain)))
            continue
        groups: dict[str, list[Any]] = {}
        for residue in chain:
            groups.setdefault(residue.segment.strip() or chain.name, []).append(residue)
        out.extend(groups.items())
    return out


def segment_note(model: Any) -> str:
    """What the structure's segment IDs were taken for, or ""."""
    named = [
        name
        for chain in model
        if not chain.name.strip()
        for name in dict.fromkeys(r.segment.strip() for r in chain)
        if name
    ]
    if not named:
        return ""
    return (
        "the structure's chain IDs are blank: its segment IDs name the chains ("
        + ", ".join(dict.fromkeys(named))
        + ")"
    )


def _find_atom(residue: Any, name: str) -> Any:
    """The atom of that name (or an alias), at its alternate location of the
    highest occupancy (the first of equals), or None."""
    for candidate in atom_spellings(name):
        found = [atom for atom in residue if atom.name == candidate]
        if found:
            # max() keeps the first of equal occupancies.
            return max(found, key=lambda atom: atom.occ)
    return None


class GemmiIndex:
    """The :class:`~kelfit_tools.io.matching.AtomIndex` of one gemmi model.

    Residues are found by chain, number and insertion code, exactly; a
    residue number given twice in one chain is taken at its first copy, and
    :attr:`repeated` records which.  An atom with alternate locations is
    taken at the one of the highest occupancy (the first of equals), and
    :attr:`altlocs` records which.
    """

    source = "structure"

    def __init__(self, model: Any) -> None:
        self._residues: dict[tuple[str, int, str], Any] = {}
        self._chains: list[str] = []
        self._hydrogens = False
        #: Residues whose number (with insertion code) a chain gives twice:
        #: (chain, label of the copy used, label of the one left out).
        self.repeated: list[tuple[str, str, str]] = []
        for name, residues in model_chains(model):
            if name not in self._chains:
                self._chains.append(name)
            for residue in residues:
                key = (name, residue.seqid.num, residue.seqid.icode.strip().upper())
                first = self._residues.setdefault(key, residue)
                if first is not residue and not residue.is_water():
                    self.repeated.append(
                        (name, _residue_label(first), _residue_label(residue))
                    )
                if not self._hydrogens:
                    self._hydrogens = any(atom.is_hydrogen() for atom in residue)
        #: Atoms taken at an alternate location: (residue label, atom, altloc,
        #: occupancy).
        self.altlocs: list[tuple[str, str, str, float]] = []

    def chains(self) -> list[str]:
        return list(self._chains)

    def residue(self, chain: str, number: int, icode: str) -> str | None:
        found = self._residues.get((chain, number, icode.strip().upper()))
        return None if found is None else str(found.name)

    def atom(self, chain: str, number: int, icode: str, name: str) -> Any:
        residue = self._residues.get((chain, number, icode.strip().upper()))
        if residue is None:
            return None
        atom = _find_atom(residue, name)
        if atom is not None and atom.altloc != "\0":
            self.altlocs.append(
                (_residue_label(residue), atom.name, atom.altloc, float(atom.occ))
            )
        return atom

    def has_hydrogens(self) -> bool:
        return self._hydrogens

    def atom_names(self, chain: str, number: int, icode: str) -> set[str]:
        residue = self._residues.get((chain, number, icode.strip().upper()))
        return set() if residue is None else {atom_key(a.name) for a in residue}


def _check_position(atom: Any, label: str, model: int, source: str | None) -> None:
    """Refuse an atom whose coordinates are not numbers, naming it: the fit
    would otherwise fail on a vector, far from the file at fault."""
    position = atom.pos
    if not all(math.isfinite(x) for x in (position.x, position.y, position.z)):
        raise DataError(
            f"atom {atom.name} of {label} (model {model}) has a coordinate that "
            f"is not a number: ({position.x}, {position.y}, {position.z})",
            source,
        )


def _residue_label(residue: Any) -> str:
    return f"{residue.name}{residue.seqid.num}{residue.seqid.icode.strip()}"


def altloc_note(index: GemmiIndex) -> str:
    """Which alternate locations a match used, or ""."""
    if not index.altlocs:
        return ""
    used = sorted({alt for _, _, alt, _ in index.altlocs})
    shown = ", ".join(
        f"{res} {atom} at {alt} ({occ:.2f})"
        for res, atom, alt, occ in index.altlocs[:3]
    )
    more = len(index.altlocs) - 3
    return (
        f"{len(index.altlocs)} atom(s) have alternate locations; using "
        f"altloc {'/'.join(used)} (the highest occupancy of each): {shown}"
        + (f" and {more} more" if more > 0 else "")
    )


def repeated_warning(index: GemmiIndex) -> str:
    """Residue numbers a chain gives twice (the first copy is used), or ""."""
    if not index.repeated:
        return ""
    shown = "; ".join(
        f"chain {chain or '(none)'} has {used} and {other}: using {used}"
        for chain, used, other in index.repeated[:3]
    )
    more = len(index.repeated) - 3
    return (
        f"{len(index.repeated)} residue number(s) appear twice in one chain of "
        f"the structure: {shown}" + (f" and {more} more" if more > 0 else "")
    )


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
        chain: chain for couplings that name none; by default the one
            chain holding the couplings' residues (an error when several do).
        resnames: see :func:`~kelfit_tools.io.matching.match_couplings`.

    Raises:
        MissingExtra: gemmi is not installed.
        DataError: unreadable structure, no such model, a structure without
            the hydrogens most couplings need, or no coupling matched.
    """
    st = _structure(structure)
    source = _source(structure)
    chosen = _model(st, model, source)
    index = GemmiIndex(chosen)
    try:
        match = match_couplings(index, couplings, atoms, chain=chain, resnames=resnames)
    except DataError as exc:
        raise DataError(exc.advice or str(exc), source) from None
    vectors: list[list[float]] = []
    matched: list[Coupling] = []
    unmatched = list(match.unmatched)
    for c, a, b in zip(match.couplings, match.first, match.second):
        for atom in (a, b):
            _check_position(atom, c.label, model, source or st.name)
        d = b.pos - a.pos
        if d.x == 0.0 and d.y == 0.0 and d.z == 0.0:
            unmatched.append((c, "the two atoms are at the same position"))
            continue
        vectors.append([d.x, d.y, d.z])
        matched.append(c)
    match = replace(match, couplings=matched, unmatched=unmatched)
    for note in [segment_note(chosen), *match.notes, altloc_note(index)]:
        if note:
            notices.note(note)
    for warning in [repeated_warning(index), *match_warnings(match, "structure")]:
        if warning:
            notices.warn(warning)
    if not matched:
        raise DataError(
            "no coupling matched the structure"
            + no_match_reason(match, len(couplings), atoms),
            source,
        )
    return StructureVectors(
        vectors=np.array(vectors, dtype=np.float64),
        values=np.array([c.value for c in matched]),
        labels=[c.label for c in matched],
        couplings=matched,
        unmatched=unmatched,
        other_pairs=match.other_pairs,
        model=model,
        renamed=match.renamed,
    )


def structure_chains(
    structure: PathLike | gemmi.Structure,
    couplings: Sequence[Coupling],
    chain: str | None,
    model: int = 1,
) -> list[str] | None:
    """The chains of a symmetric oligomer that ``chain`` names (``A,B`` or
    ``all``: :func:`~kelfit_tools.io.matching.chain_members`), or None for
    one chain or none.

    Raises:
        DataError: a chain the structure does not have.
    """
    st = _structure(structure)
    source = _source(structure)
    try:
        return chain_members(GemmiIndex(_model(st, model, source)), couplings, chain)
    except DataError as exc:
        raise DataError(exc.advice or str(exc), source) from None


def _same_bond(c: Coupling) -> tuple[object, ...]:
    """A coupling as matched in any chain: where it was read and its atoms,
    not the chain the match filled in."""
    return (
        c.path,
        c.line,
        c.residue_i,
        c.icode_i,
        c.atom_i,
        c.residue_j,
        c.icode_j,
        c.atom_j,
    )


def chain_vectors(
    structure: PathLike | gemmi.Structure,
    couplings: Sequence[Coupling],
    atoms: Sequence[str] | None,
    model: int,
    chains: Sequence[str],
    *,
    resnames: str = "strict",
) -> tuple[StructureVectors, NDArray[np.float64]]:
    """The couplings matched in every one of a symmetric oligomer's chains.

    A coupling that names no chain is matched in each chain in turn (one
    that names its chain is the same bond in each); those every chain
    supplies are kept, the rest are unmatched.

    Returns:
        The first chain's match of the couplings kept, and their vectors in
        every chain (chains x N x 3, rows in the match's order).

    Raises:
        DataError: as :func:`structure_vectors`, or no coupling matched in
            every chain.
    """
    each = [
        structure_vectors(
            structure, couplings, atoms, model, chain=c, resnames=resnames
        )
        for c in chains
    ]
    rows = [{_same_bond(c): k for k, c in enumerate(m.couplings)} for m in each]
    common = [key for key in rows[0] if all(key in r for r in rows[1:])]
    if not common:
        raise DataError(
            f"no coupling matched in every chain of {', '.join(chains)}",
            _source(structure),
        )
    first = each[0]
    order = [rows[0][key] for key in common]
    kept = set(common)
    missing = [
        (c, f"not matched in every chain of {', '.join(chains)}")
        for c in first.couplings
        if _same_bond(c) not in kept
    ]
    members = np.array(
        [m.vectors[[r[key] for key in common]] for m, r in zip(each, rows)]
    )
    return (
        replace(
            first,
            vectors=first.vectors[order],
            values=first.values[order],
            labels=[first.labels[i] for i in order],
            couplings=[first.couplings[i] for i in order],
            unmatched=[*first.unmatched, *missing],
        ),
        members,
    )


def _model_chains(
    structure: PathLike | gemmi.Structure, model: int
) -> tuple[list[tuple[str, list[Any]]], str]:
    """The chains of one model that hold residues (:func:`model_chains`),
    and the source's name."""
    st = _structure(structure)
    source = _source(structure)
    m = _model(st, model, source)
    return [(n, rs) for n, rs in model_chains(m) if rs], source or st.name


def _bond_vector(
    home: Any, first: str, residue: Any, second: str, model: int, source: str
) -> list[float] | None:
    """The vector from atom ``first`` of ``home`` to ``second`` of ``residue``,
    or None when either is missing or the two coincide."""
    a = _find_atom(home, first)
    b = _find_atom(residue, second)
    if a is None or b is None:
        return None
    for atom, where in ((a, home), (b, residue)):
        _check_position(atom, _residue_label(where), model, source)
    d = b.pos - a.pos
    if d.length() == 0.0:
        return None
    return [d.x, d.y, d.z]


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
    chains, source = _model_chains(structure, model)
    vectors: list[list[float]] = []
    labels: list[str] = []
    for chain, residues in chains:
        for residue in residues:
            d = _bond_vector(residue, atoms[0], residue, atoms[1], model, source)
            if d is None:
                continue
            vectors.append(d)
            name = f"{residue.name}{residue.seqid.num}{residue.seqid.icode.strip()}"
            labels.append(f"{chain}:{name}" if len(chains) > 1 else name)
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
    for chain, residues in model_chains(_model(st, model, _source(structure))):
        for residue in residues:
            if residue.is_water() or residue.seqid.icode.strip():
                continue
            names.setdefault((chain, residue.seqid.num), residue.name)
    return names


def unnamed_chain(
    structure: PathLike | gemmi.Structure,
    couplings: Sequence[Coupling],
    atoms: Sequence[str] | None = ("N", "H"),
    model: int = 1,
    *,
    chain: str | None = None,
) -> str | None:
    """The chain of one model that :func:`structure_vectors` takes couplings
    naming no chain from (:func:`~kelfit_tools.io.matching.chain_of_unnamed`),
    for the numbering check to look where the fit does.

    Raises:
        MissingExtra: gemmi is not installed.
        DataError: unreadable structure or no such model.
    """
    st = _structure(structure)
    index = GemmiIndex(_model(st, model, _source(structure)))
    return chain_of_unnamed(index, couplings, atoms, chain=chain)


def backbone_bonds(
    structure: PathLike | gemmi.Structure,
    types: Sequence[str] = tuple(BACKBONE_BONDS),
    model: int = 1,
) -> tuple[NDArray[np.float64], list[Coupling]]:
    """Every bond of these backbone types that the structure has.

    For back-calculation without a coupling table: each bond comes as a
    :class:`Coupling` of value NaN that names its atoms, so reports give it
    the columns of a measured one.  C-N is the peptide bond C(i-1)-N(i),
    taken only between consecutively numbered residues of one chain.
    Bonds are listed residue by residue, in the order of ``types``.

    Raises:
        ValueError: a type that is not one of :data:`BACKBONE_BONDS`.
        DataError: the structure has none of these bonds.
    """
    unknown = [t for t in types if t not in BACKBONE_BONDS]
    if unknown:
        raise ValueError(
            f"backbone bond types are {', '.join(BACKBONE_BONDS)}, got {', '.join(unknown)}"
        )
    chains, source = _model_chains(structure, model)
    vectors: list[list[float]] = []
    bonds: list[Coupling] = []
    for chain, residues in chains:
        previous = None
        for residue in residues:
            # An insertion code (10, 10A) continues the chain as a step does.
            step: int | None = None
            if previous is not None:
                step = residue.seqid.num - previous.seqid.num
            preceding: Any = previous if step in (0, 1) else None
            for kind in types:
                first_name, second_name, across = BACKBONE_BONDS[kind]
                home = preceding if across else residue
                if home is None:
                    continue
                d = _bond_vector(home, first_name, residue, second_name, model, source)
                if d is None:
                    continue
                vectors.append(d)
                bonds.append(
                    Coupling(
                        residue_i=home.seqid.num,
                        atom_i=first_name,
                        residue_j=residue.seqid.num,
                        atom_j=second_name,
                        value=math.nan,
                        chain_i=chain,
                        chain_j=chain,
                        icode_i=home.seqid.icode.strip(),
                        icode_j=residue.seqid.icode.strip(),
                        resname_i=home.name,
                        resname_j=residue.name,
                        path=source or "",
                    )
                )
            previous = residue
    if not vectors:
        raise DataError(f"the structure has no {', '.join(types)} bond", source)
    return np.array(vectors), bonds
