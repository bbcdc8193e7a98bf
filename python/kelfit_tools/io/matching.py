"""Couplings matched to atoms: one matcher over any index of atoms.

A structure (gemmi) and a trajectory's topology (MDAnalysis) hold atoms in
different ways; each offers the small :class:`AtomIndex` protocol, and
:func:`match_couplings` does the rest the same way for both: which chain a
coupling means, its residue by number and insertion code, whether the
residue names agree, the atom under its names in different programs (H and
HN), and why a coupling could not be matched.

Whatever else needs to know what a coupling means asks here, so that it
agrees with the fit: the numbering check and the superposition resolve
chains with :func:`resolve_chain`, the axes find atoms with
:func:`atoms_found`, duplicates and free sets compare couplings by
:func:`coupling_key` (:func:`listed_couplings`).
"""

from __future__ import annotations

from collections.abc import Collection, Hashable, Sequence
from dataclasses import dataclass, field, replace
from typing import Any, Protocol

from ..errors import Advice, DataError, Hint
from .names import (
    AMIDE_PROTON,
    METHYLENE_SCHEMES,
    atom_key,
    methylene_group,
    methylene_name,
    methylene_scheme,
    residue_name,
    typo_limit,
)
from .tables import Coupling

__all__ = [
    "ALL_CHAINS",
    "AtomIndex",
    "AtomMatch",
    "atoms_found",
    "chain_members",
    "chain_of_unnamed",
    "coupling_key",
    "listed_couplings",
    "match_couplings",
    "match_warnings",
    "no_match_reason",
    "resolve_chain",
]


def resolve_chain(
    chain: str, names: Sequence[str], named: Collection[str]
) -> tuple[str | None, str]:
    """Which of a structure's chains a coupling's chain means.

    Xplor/CNS files name segments, which deposited files often write in
    another letter case than the structure's chain IDs, or name when both
    the couplings and the structure have one chain, under different IDs.

    Args:
        chain: the chain (or segment) the coupling names.
        names: the structure's chain names.
        named: every chain the couplings name.

    Returns:
        The structure's chain, or None when none is meant, and how it was
        found: ``""`` by its name, ``"case"`` by its name in another letter
        case (when only one chain has it so), ``"only"`` as the one chain of
        a structure whose couplings name one.
    """
    if chain in names:
        return chain, ""
    folded = [n for n in names if n.upper() == chain.upper()]
    if len(folded) == 1:
        return folded[0], "case"
    if len(names) == 1 and len(named) == 1:
        return names[0], "only"
    return None, ""


#: ``chain``'s word for every chain holding the couplings that name none.
ALL_CHAINS = "all"


def chain_members(
    index: AtomIndex, couplings: Sequence[Coupling], chain: str | None
) -> list[str] | None:
    """The chains a symmetric oligomer's couplings are averaged over.

    A coupling that names no chain is then one signal of every chain's
    equivalent bond (a symmetric homodimer's), so its design row is the
    mean over those chains'.  ``chain`` names them as ``A,B`` (each one of
    the index's chains, or one in another letter case), or is
    :data:`ALL_CHAINS` for every chain holding the couplings' atoms.

    Returns:
        The chains, or None when ``chain`` names one chain or none (it then
        means that chain, as for :func:`match_couplings`).

    Raises:
        DataError: a chain the index does not have, one named twice, or no
            chain holding the couplings.
    """
    if chain is None:
        return None
    text = chain.strip()
    if text.lower() == ALL_CHAINS:
        holding = _Chains(index, "", set()).holding(couplings)
        if not holding:
            raise DataError(
                f"no chain of the {index.source} holds the couplings that name no chain"
            )
        return holding
    if "," not in text:
        return None
    names = index.chains()
    out: list[str] = []
    for part in text.split(","):
        found, _ = resolve_chain(part.strip(), names, ())
        if found is None:
            raise DataError(
                f"no chain {part.strip()!r} in the {index.source} (its chains: "
                f"{', '.join(names)})"
            )
        if found in out:
            raise DataError(f"chain {found!r} is named twice in {chain!r}")
        out.append(found)
    return out


def coupling_key(c: Coupling) -> Hashable:
    """What makes two couplings the same pair of atoms, in either order.

    Each end by its chain (none and "" alike), residue number, insertion
    code and atom (H and HN alike); an end that names no atom (a plain
    table's row) by its residue alone.  The medium is not part of it.
    """

    def end(chain: str | None, residue: int, icode: str, atom: str | None) -> Hashable:
        return (
            chain or None,
            residue,
            icode.strip().upper(),
            None if atom is None else atom_key(atom),
        )

    return frozenset(
        (
            end(c.chain_i, c.residue_i, c.icode_i, c.atom_i),
            end(c.chain_j, c.residue_j, c.icode_j, c.atom_j),
        )
    )


def listed_couplings(
    listed: Sequence[Coupling], couplings: Sequence[Coupling]
) -> list[bool]:
    """Which of ``couplings`` the list names (a free set, say).

    A listed coupling's chain is taken as the couplings' chain the way a
    structure's is (:func:`resolve_chain`: the same name, else the one in
    another letter case, else the couplings' only chain); one that names no
    chain means the couplings' only chain.  When the couplings name no
    chain, chains tell nothing apart and are not compared.
    """
    names = list(
        dict.fromkeys(n for c in couplings for n in (c.chain_i, c.chain_j) if n)
    )
    named = {n for c in listed for n in (c.chain_i, c.chain_j) if n}

    def chain_of(chain: str | None) -> str | None:
        if not names:
            return None
        if not chain:
            return names[0] if len(names) == 1 else None
        found, _ = resolve_chain(chain, names, named)
        return chain if found is None else found

    keys = {
        coupling_key(
            replace(c, chain_i=chain_of(c.chain_i), chain_j=chain_of(c.chain_j))
        )
        for c in listed
    }
    return [coupling_key(c) in keys for c in couplings]


class AtomIndex(Protocol):
    """Atoms by chain, residue number, insertion code and name."""

    #: What the index was built from, for messages ("structure", "topology").
    source: str

    def chains(self) -> list[str]:
        """Chain names in file order."""

    def residue(self, chain: str, number: int, icode: str) -> str | None:
        """The residue's name, or None when there is no such residue."""

    def atom(self, chain: str, number: int, icode: str, name: str) -> Any:
        """A handle of the atom (``name`` as :func:`atom_key` gives it), or
        None."""

    def has_hydrogens(self) -> bool:
        """Whether any atom is a hydrogen."""

    def atom_names(self, chain: str, number: int, icode: str) -> set[str]:
        """The names (as :func:`atom_key` gives them) of a residue's atoms."""


@dataclass(frozen=True, eq=False)
class AtomMatch:
    """Couplings matched to pairs of atom handles.

    Attributes:
        couplings: the matched couplings, with their atom names (and residue
            names, where the table gave none) filled in.
        first, second: the atom handles of each, in the same order; the
            vector runs from ``first[k]`` to ``second[k]``.
        unmatched: couplings of the wanted atom pairs that the index could
            not supply, each with the reason.
        other_pairs: couplings between other atom pairs, left out.
        renamed: couplings used by residue number although the table names
            another residue there, each with the difference.
        notes: what a reader should know (a chain taken by a case-folded
            name, an alternate location used, ...).
        warnings: what a reader must know (most residue names differ, ...).
    """

    couplings: list[Coupling]
    first: list[Any]
    second: list[Any]
    unmatched: list[tuple[Coupling, str]]
    other_pairs: int
    renamed: list[tuple[Coupling, str]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)


class _Chains:
    """Which of the index's chains a coupling's chain means.

    Couplings that name no chain are all taken from one chain: the one
    chain that holds their residues (said in a note when the index has
    several). Taking each residue from whichever chain has it would mix
    the chains of a dimer whose first chain lacks some residues.

    Raises:
        DataError: couplings that name no chain, no default chain, and
            several chains that hold their residues.
    """

    def __init__(
        self,
        index: AtomIndex,
        default: str | None,
        named: set[str],
        couplings: Sequence[Coupling] = (),
    ) -> None:
        self.index = index
        self.named = named
        self.names = index.chains()
        self.default = default
        self.notes: list[str] = []
        self._resolved: dict[str, str | None] = {}
        self.unnamed = default or self._chain_of_unnamed(couplings)

    def _chain_of_unnamed(self, couplings: Sequence[Coupling]) -> str | None:
        """The one chain holding the residues of the couplings that name no
        chain, or None (no such coupling, or no chain holds them)."""
        if len(self.names) == 1:
            return self.names[0]
        holding = self.holding(couplings)
        if len(holding) > 1:
            chains = ", ".join(holding)
            raise DataError(
                Advice(
                    f"couplings that name no chain could be in chains {chains} of "
                    f"the {self.index.source}: say which with {{0}}",
                    Hint("chain", python="chain=..."),
                )
            )
        if not holding:
            return None
        self.notes.append(
            "the couplings name no chain: all taken from chain "
            f"{holding[0]}, the one chain of the {self.index.source} holding "
            "their residues"
        )
        return holding[0]

    def holding(self, couplings: Sequence[Coupling]) -> list[str]:
        """The chains holding the residues of the couplings that name no
        chain, in the index's order."""
        ends = {
            (number, icode, atom_key(atom))
            for c in couplings
            for chain, number, icode, atom in (
                (c.chain_i, c.residue_i, c.icode_i, c.atom_i),
                (c.chain_j, c.residue_j, c.icode_j, c.atom_j),
            )
            if not chain and atom
        }
        if not ends:
            return []
        # A chain holds the couplings when it has their atoms: water or
        # lipid segments numbered like the protein do not.
        holding = [
            name
            for name in self.names
            if any(a in self.index.atom_names(name, n, i) for n, i, a in ends)
        ]
        if not holding:
            holding = [
                name
                for name in self.names
                if any(self.index.residue(name, n, i) for n, i, _ in ends)
            ]
        return holding

    def _resolve(self, chain: str) -> str | None:
        if chain in self._resolved:
            return self._resolved[chain]
        found, how = resolve_chain(chain, self.names, self.named)
        source = self.index.source
        if how == "case":
            self.notes.append(
                f"chain {chain!r} of the couplings taken as the {source}'s "
                f"chain {found!r} (the letter case differs)"
            )
        elif how == "only":
            self.notes.append(
                f"chain {chain!r} of the couplings taken as the {source}'s "
                f"only chain {found!r}"
            )
        self._resolved[chain] = found
        return found

    def residue(
        self, chain: str | None, number: int, icode: str
    ) -> tuple[str, str, str]:
        """(chain, residue name, "") of a residue, or ("", "", reason)."""
        source = self.index.source
        if chain:
            found = self._resolve(chain)
            if found is None:
                return "", "", f"no chain {chain!r} in the {source}"
        elif self.default:
            found = self._resolve(self.default)
            if found is None:
                return "", "", f"no chain {self.default!r} in the {source}"
        elif self.unnamed:
            found = self.unnamed
        else:
            return "", "", f"no residue {number}{icode} in the {source}"
        name = self.index.residue(found, number, icode)
        if name is None:
            alone = not (chain or self.default) and len(self.names) == 1
            where = source if alone else f"chain {found}"
            return "", "", f"no residue {number}{icode} in {where}"
        return found, name, ""


def atoms_found(
    index: AtomIndex, couplings: Sequence[Coupling], *, chain: str | None = None
) -> list[Any]:
    """The handles of the couplings' named atoms that the index has, each
    once, in the order first named; each end is found as
    :func:`match_couplings` finds it (``chain`` as there).  Atoms the index
    lacks, and ends that name no atom, are left out."""
    named = {n for c in couplings for n in (c.chain_i, c.chain_j) if n}
    chains = _Chains(index, chain, named, couplings)
    methylenes = _Methylenes(index, _table_methylene_scheme(couplings, chains))
    found: dict[tuple[str, int, str, str], Any] = {}
    for c in couplings:
        for chain_name, number, icode, atom in (
            (c.chain_i, c.residue_i, c.icode_i, c.atom_i),
            (c.chain_j, c.residue_j, c.icode_j, c.atom_j),
        ):
            if not atom:
                continue
            where, resname, reason = chains.residue(chain_name, number, icode)
            if reason:
                continue
            atom, reason = methylenes.name(where, number, icode, resname, atom)
            key = (where, number, icode.strip().upper(), atom_key(atom))
            if reason or key in found:
                continue
            handle = index.atom(where, number, icode, key[3])
            if handle is not None:
                found[key] = handle
    return list(found.values())


def _with_atoms(c: Coupling, atoms: Sequence[str]) -> Coupling:
    return replace(
        c,
        atom_i=c.atom_i if c.atom_i is not None else atoms[0],
        atom_j=c.atom_j if c.atom_j is not None else atoms[1],
    )


def _table_methylene_scheme(
    couplings: Sequence[Coupling], chains: _Chains
) -> str | None:
    """How the couplings number methylene protons: ``"older"`` when they
    name a 1 and no 3, else ``"IUPAC"`` (the PDB's and BMRB's names); None
    when they name both a 1 and a 3."""
    numbers = set()
    for c in couplings:
        for chain, number, icode, table_name, atom in (
            (c.chain_i, c.residue_i, c.icode_i, c.resname_i, c.atom_i),
            (c.chain_j, c.residue_j, c.icode_j, c.resname_j, c.atom_j),
        ):
            key = atom_key(atom or "")
            if not (key.startswith("H") and key[-1:] in ("1", "2", "3")):
                continue  # no methylene proton: its residue need not be found
            name = table_name or chains.residue(chain, number, icode)[1]
            group = methylene_group(name, key)
            if group is not None:
                numbers.add(group[1])
    if {"1", "3"} <= numbers:
        return None
    return "older" if "1" in numbers else "IUPAC"


class _Methylenes:
    """A coupling's methylene proton under the structure's own numbering."""

    def __init__(self, index: AtomIndex, scheme: str | None) -> None:
        self.index = index
        self.scheme = scheme
        #: Residues whose numbering differs from the couplings': label ->
        #: (the structure's scheme, stem).
        self.renamed: dict[str, tuple[str, str]] = {}

    def name(
        self, chain: str, number: int, icode: str, resname: str, atom: str
    ) -> tuple[str, str]:
        """(the atom's name in the index, "") or ("", the reason it cannot
        be told)."""
        group = methylene_group(resname, atom)
        if group is None:
            return atom, ""
        stem, digit = group
        present = {
            found[1]
            for n in self.index.atom_names(chain, number, icode)
            if (found := methylene_group(resname, n)) is not None and found[0] == stem
        }
        if not present:
            return atom, ""  # no such protons: reported as a missing atom
        label = f"{resname}{number}{icode}"
        theirs = methylene_scheme(present)
        if self.scheme is None:
            return "", (
                f"the couplings number methylene protons both 1 and 3, so "
                f"{atom} of {label} cannot be told apart from its partner"
            )
        if theirs is None:
            shown = "/".join(stem + n for n in sorted(present))
            return "", (
                f"the {self.index.source} names the {stem} protons of {label} "
                f"{shown}, which does not tell IUPAC's numbering (2 and 3) from "
                "the older one (1 and 2), so which proton the coupling means "
                "cannot be told; name both protons in the "
                f"{self.index.source}"
            )
        if theirs == self.scheme:
            return atom, ""
        self.renamed[label] = (theirs, stem)
        return methylene_name(stem, digit, self.scheme, theirs), ""

    def note(self) -> str:
        """Which residues' methylene protons were matched across schemes."""
        if not self.renamed or self.scheme is None:
            return ""
        theirs = next(iter(self.renamed.values()))[0]
        mine = METHYLENE_SCHEMES[self.scheme]
        other = METHYLENE_SCHEMES[theirs]
        shown = ", ".join(
            f"{label} {stem}{other[0]}/{stem}{other[1]}"
            for label, (_, stem) in list(self.renamed.items())[:5]
        )
        more = len(self.renamed) - 5
        return (
            f"the {self.index.source} numbers methylene protons {other[0]} and "
            f"{other[1]} ({theirs} names), the couplings {mine[0]} and {mine[1]} "
            f"({self.scheme} names): matched as the same protons, the "
            f"{self.index.source}'s {other[0]} as the couplings' {mine[0]}, in "
            f"{len(self.renamed)} residue(s): {shown}"
            + (f" and {more} more" if more > 0 else "")
        )


def _ends(
    index: AtomIndex,
    chains: _Chains,
    c: Coupling,
    strict: bool,
    methylenes: _Methylenes,
) -> tuple[list[tuple[Any, str, str]], list[str], str]:
    """The two atoms of a coupling with their residue names and chains, the
    residue names that differ from the table's, and the reason when not
    found."""
    ends: list[tuple[Any, str, str]] = []
    differences: list[str] = []
    for chain, number, icode, table_name, atom in (
        (c.chain_i, c.residue_i, c.icode_i, c.resname_i, c.atom_i or ""),
        (c.chain_j, c.residue_j, c.icode_j, c.resname_j, c.atom_j or ""),
    ):
        chain_name, name, reason = chains.residue(chain, number, icode)
        if reason:
            return [], differences, reason
        atom, reason = methylenes.name(chain_name, number, icode, name, atom)
        if reason:
            return [], differences, reason
        expected = residue_name(table_name)
        if expected is not None and residue_name(name) != expected:
            difference = (
                f"residue {number}{icode} is {name} in the {index.source}, "
                f"{table_name} in the table"
            )
            if strict:
                return [], differences, difference
            differences.append(difference)
        handle = index.atom(chain_name, number, icode, atom_key(atom))
        if handle is None:
            if atom_key(atom) == AMIDE_PROTON and residue_name(name) == "PRO":
                return (
                    [],
                    differences,
                    (
                        f"no atom {atom} in {name}{number}{icode} "
                        "(a proline has no amide proton)"
                    ),
                )
            return (
                [],
                differences,
                _missing_atom(index, chain_name, number, icode, name, atom),
            )
        ends.append((handle, name, chain_name))
    return ends, differences, ""


def _missing_atom(
    index: AtomIndex, chain: str, number: int, icode: str, resname: str, atom: str
) -> str:
    """Why an atom is not found: it is missing, or a deuteron stands in its
    place (a perdeuterated structure names D what the couplings name H)."""
    label = f"{resname}{number}{icode}"
    key = atom_key(atom)
    if key.startswith("H"):
        deuteron = "D" + key[1:]
        present = index.atom_names(chain, number, icode)
        if deuteron in present:
            return (
                f"no atom {atom} in {label}, which has the deuteron {deuteron} in "
                "its place: the structure is deuterated; rename its deuterons "
                "as the protons the couplings name (D to H) to use their positions"
            )
    return f"no atom {atom} in {label}"


def _chains_for(
    index: AtomIndex,
    couplings: Sequence[Coupling],
    atoms: Sequence[str] | None,
    chain: str | None,
) -> _Chains:
    """The chains of a match: couplings that name none are taken from
    ``chain``, else from the one chain holding those of the wanted pair."""
    pair = ("N", "H") if atoms is None else tuple(atoms)
    wanted = (atom_key(pair[0]), atom_key(pair[1]))
    named = {n for c in couplings for n in (c.chain_i, c.chain_j) if n}
    filled = [_with_atoms(c, pair) for c in couplings]
    return _Chains(
        index,
        chain,
        named,
        [
            c
            for c in filled
            if atoms is None
            or (atom_key(c.atom_i or ""), atom_key(c.atom_j or ""))
            in (wanted, wanted[::-1])
        ],
    )


def chain_of_unnamed(
    index: AtomIndex,
    couplings: Sequence[Coupling],
    atoms: Sequence[str] | None = ("N", "H"),
    *,
    chain: str | None = None,
) -> str | None:
    """The chain :func:`match_couplings` takes couplings that name no chain
    from, as it would decide it (``chain`` when given), so that a check of
    their numbering looks where the fit does; None when none is decided
    (several chains hold them, which the match refuses)."""
    try:
        return _chains_for(index, couplings, atoms, chain).unnamed
    except DataError:
        return None


def match_couplings(
    index: AtomIndex,
    couplings: Sequence[Coupling],
    atoms: Sequence[str] | None = ("N", "H"),
    *,
    chain: str | None = None,
    resnames: str = "strict",
) -> AtomMatch:
    """Match couplings to the atoms of an index.

    Only couplings between the two ``atoms`` are used (in either order; H
    and HN are the same amide proton), or every coupling when ``atoms`` is
    None; couplings from a plain table, which name no atoms, are taken to be
    between these two atoms (N and H when None) of their residue.

    Args:
        index: the atoms.
        couplings: as read.
        atoms: the atom pair, or None for all.
        chain: chain for couplings that name none; by default the one
            chain holding the couplings' residues (an error when several do).
        resnames: what a residue name that differs from the index's means:
            ``"strict"``, no match; ``"use"``, match by number and list it
            in ``renamed`` (a typing error in a table), unless more than one
            coupling and more than :data:`~kelfit_tools.io.names.TYPO_SHARE` of them differ: the
            numbering or the structure is then wrong, and none matches.
    """
    if resnames not in ("strict", "use"):
        raise ValueError(f"resnames must be 'strict' or 'use', got {resnames!r}")
    every = atoms is None
    pair = ("N", "H") if atoms is None else tuple(atoms)
    if len(pair) != 2:
        raise ValueError(f"atoms must name two atoms, got {list(pair)}")
    wanted = (atom_key(pair[0]), atom_key(pair[1]))
    chains = _chains_for(index, couplings, atoms, chain)
    methylenes = _Methylenes(index, _table_methylene_scheme(couplings, chains))
    matched: list[Coupling] = []
    first: list[Any] = []
    second: list[Any] = []
    unmatched: list[tuple[Coupling, str]] = []
    renamed: list[tuple[Coupling, str]] = []
    renamed_rows: list[int] = []
    other = 0
    for c in couplings:
        c = _with_atoms(c, pair)
        names = (atom_key(c.atom_i or ""), atom_key(c.atom_j or ""))
        if not every and names != wanted and names[::-1] != wanted:
            other += 1
            continue
        ends, differences, reason = _ends(
            index, chains, c, resnames == "strict", methylenes
        )
        if reason:
            unmatched.append((c, reason))
            continue
        if c.resname_i is None:
            c = replace(c, resname_i=ends[0][1], resname_j=ends[1][1])
        if len(chains.names) > 1 and not (c.chain_i and c.chain_j):
            # Which chain a coupling was taken from, for every output.
            c = replace(
                c, chain_i=c.chain_i or ends[0][2], chain_j=c.chain_j or ends[1][2]
            )
        if differences:
            renamed.append((c, "; ".join(dict.fromkeys(differences))))
            renamed_rows.append(len(matched))
        first.append(ends[0][0])
        second.append(ends[1][0])
        matched.append(c)
    _refuse_without_protons(index, matched, unmatched)
    warnings = []
    if len(renamed) > typo_limit(len(matched)):
        wrong = set(renamed_rows)
        keep = [k for k in range(len(matched)) if k not in wrong]
        warnings.append(
            f"{len(renamed)} of {len(matched)} couplings name other residues "
            f"than the {index.source} has (such as {renamed[0][1]}): is it the "
            "right structure and numbering?"
        )
        unmatched.extend(renamed)
        matched = [matched[k] for k in keep]
        first = [first[k] for k in keep]
        second = [second[k] for k in keep]
        renamed = []
    return AtomMatch(
        couplings=matched,
        first=first,
        second=second,
        unmatched=unmatched,
        other_pairs=other,
        renamed=renamed,
        notes=[*chains.notes, *filter(None, [methylenes.note()])],
        warnings=warnings,
    )


def _needs_proton(c: Coupling) -> bool:
    return any(
        atom_key(a or "").lstrip("0123456789").startswith("H")
        for a in (c.atom_i, c.atom_j)
    )


def _refuse_without_protons(
    index: AtomIndex, matched: list[Coupling], unmatched: list[tuple[Coupling, str]]
) -> None:
    # X-ray structures carry no protons: every coupling to one would be
    # dropped one by one and the rest fitted as if nothing had happened.
    lost = sum(1 for c, _ in unmatched if _needs_proton(c))
    if not lost or index.has_hydrogens():
        return
    considered = len(matched) + len(unmatched)
    if 2 * lost > considered:
        raise DataError(
            Advice(
                f"the {index.source} has no hydrogens, which {lost} of the "
                f"{considered} couplings need: add amide protons ({{0}}) or "
                "fit bond types without protons ({1}, such as C-N,CA-C)",
                Hint("build_hn", python="build_hn=True"),
                Hint("types", python="Selection(types=...)"),
            )
        )
    for k, (c, why) in enumerate(unmatched):
        if _needs_proton(c):
            unmatched[k] = (c, f"the {index.source} has no hydrogens")


def match_warnings(match: AtomMatch, source: str) -> list[str]:
    """What a reader must know of a match: residues that differ and
    couplings that could not be matched."""
    out = list(match.warnings)
    if match.renamed:
        out.append(
            f"{len(match.renamed)} coupling(s) used by residue number although "
            "the residue names differ: "
            + "; ".join(f"{c.label}: {why}" for c, why in match.renamed[:5])
        )
    if match.unmatched:
        shown = "; ".join(f"{c.label}: {why}" for c, why in match.unmatched[:5])
        more = len(match.unmatched) - 5
        out.append(
            f"{len(match.unmatched)} coupling(s) not matched in the {source}: "
            f"{shown}" + (f" and {more} more" if more > 0 else "")
        )
    return out


def no_match_reason(match: AtomMatch, given: int, atoms: Sequence[str] | None) -> str:
    """Why nothing matched, for the error."""
    if match.unmatched:
        c, why = match.unmatched[0]
        return f" (first: {c.label}: {why})"
    if match.other_pairs:
        pair = atoms or ("N", "H")
        return f" (none of the {match.other_pairs} couplings is between {pair[0]} and {pair[1]})"
    if not given:
        return " (no couplings given)"
    return ""
