"""Couplings matched to atoms: one matcher over any index of atoms.

A structure (gemmi) and a trajectory's topology (MDAnalysis) hold atoms in
different ways; each offers the small :class:`AtomIndex` protocol, and
:func:`match_couplings` does the rest the same way for both: which chain a
coupling means, its residue by number and insertion code, whether the
residue names agree, the atom under its names in different programs (H and
HN), and why a coupling could not be matched.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field, replace
from typing import Any, Protocol

from ..errors import Advice, DataError, Hint
from .names import AMIDE_PROTON, atom_key, residue_name, typo_limit
from .tables import Coupling

__all__ = [
    "AtomIndex",
    "AtomMatch",
    "match_couplings",
    "match_warnings",
    "no_match_reason",
]


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
    """Which of the index's chains a coupling's chain means."""

    def __init__(self, index: AtomIndex, default: str | None, named: set[str]) -> None:
        self.index = index
        self.named = named
        self.names = index.chains()
        self.default = default
        self.notes: list[str] = []
        self._resolved: dict[str, str | None] = {}
        self._guessed = False

    def _resolve(self, chain: str) -> str | None:
        # Xplor/CNS files name segments, which deposited files often write
        # in another letter case than the structure's chain IDs, or name
        # when both the couplings and the structure have one chain, under
        # different IDs: take those, with a note.
        if chain in self._resolved:
            return self._resolved[chain]
        found: str | None = None
        source = self.index.source
        if chain in self.names:
            found = chain
        else:
            folded = [n for n in self.names if n.upper() == chain.upper()]
            if len(folded) == 1:
                found = folded[0]
                self.notes.append(
                    f"chain {chain!r} of the couplings taken as the {source}'s "
                    f"chain {found!r} (the letter case differs)"
                )
            elif len(self.names) == 1 and len(self.named) == 1:
                found = self.names[0]
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
        chain = chain or self.default
        if chain:
            found = self._resolve(chain)
            if found is None:
                return "", "", f"no chain {chain!r} in the {source}"
            name = self.index.residue(found, number, icode)
            if name is None:
                return "", "", f"no residue {number}{icode} in chain {found}"
            return found, name, ""
        for candidate in self.names:
            name = self.index.residue(candidate, number, icode)
            if name is not None:
                if len(self.names) > 1 and not self._guessed:
                    self._guessed = True
                    self.notes.append(
                        "the couplings name no chain: using the first chain "
                        f"that has each residue (chain {candidate} first)"
                    )
                return candidate, name, ""
        return "", "", f"no residue {number}{icode} in the {source}"


def _with_atoms(c: Coupling, atoms: Sequence[str]) -> Coupling:
    return replace(
        c,
        atom_i=c.atom_i if c.atom_i is not None else atoms[0],
        atom_j=c.atom_j if c.atom_j is not None else atoms[1],
    )


def _ends(
    index: AtomIndex, chains: _Chains, c: Coupling, strict: bool
) -> tuple[list[tuple[Any, str]], list[str], str]:
    """The two atoms of a coupling with their residue names, the residue
    names that differ from the table's, and the reason when not found."""
    ends: list[tuple[Any, str]] = []
    differences: list[str] = []
    for chain, number, icode, table_name, atom in (
        (c.chain_i, c.residue_i, c.icode_i, c.resname_i, c.atom_i or ""),
        (c.chain_j, c.residue_j, c.icode_j, c.resname_j, c.atom_j or ""),
    ):
        chain_name, name, reason = chains.residue(chain, number, icode)
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
            return [], differences, f"no atom {atom} in {name}{number}{icode}"
        ends.append((handle, name))
    return ends, differences, ""


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
        chain: chain for couplings that name none; by default the first
            chain holding the residue.
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
    named = {n for c in couplings for n in (c.chain_i, c.chain_j) if n}
    chains = _Chains(index, chain, named)
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
        ends, differences, reason = _ends(index, chains, c, resnames == "strict")
        if reason:
            unmatched.append((c, reason))
            continue
        if c.resname_i is None:
            c = replace(c, resname_i=ends[0][1], resname_j=ends[1][1])
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
        notes=list(chains.notes),
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
