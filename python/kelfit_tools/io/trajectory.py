"""Trajectories through MDAnalysis: the universe, and couplings' atom pairs in it.

Any topology and trajectory format MDAnalysis reads will do (it is the
``md`` extra).  The fits over the frames are in :mod:`kelfit_tools.trajectory`.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .._extras import MissingExtra
from ..errors import DataError, PathLike
from .matching import match_couplings, match_warnings, no_match_reason
from .names import atom_key
from .tables import Coupling

__all__ = [
    "MD_HINT",
    "CouplingAtoms",
    "UniverseIndex",
    "chain_names",
    "coupling_atoms",
    "frame_range",
    "load_universe",
    "require_mdanalysis",
]

MD_HINT = "pip install 'kelfit[md]'"


def require_mdanalysis() -> Any:
    """MDAnalysis, or MissingExtra saying how to install it."""
    try:
        import MDAnalysis
    except ImportError:
        raise MissingExtra(f"trajectories need MDAnalysis: {MD_HINT}") from None
    return MDAnalysis


def load_universe(topology: PathLike, trajectory: PathLike | None = None) -> Any:
    """An MDAnalysis ``Universe`` of a topology and, optionally, a trajectory.

    Raises:
        MissingExtra: MDAnalysis is not installed.
        DataError: a file is missing or MDAnalysis cannot read it.
    """
    mda = require_mdanalysis()
    files = [topology] + ([] if trajectory is None else [trajectory])
    for path in files:
        if not os.path.isfile(path):
            raise DataError("no such file", path)
    try:
        return mda.Universe(*map(os.fspath, files))
    except (OSError, ValueError, TypeError, EOFError, RuntimeError) as exc:
        where = trajectory if trajectory is not None else topology
        raise DataError(f"MDAnalysis cannot read it: {exc}", where) from None


@dataclass(frozen=True, eq=False)
class CouplingAtoms:
    """The atom pairs of matched couplings, in a universe.

    Attributes:
        first, second: AtomGroups; vector k runs from ``first[k]`` to
            ``second[k]``.
        values: the matched couplings' values.
        labels: a short name for each.
        couplings: the matched couplings, in the same order.
        unmatched: couplings of the wanted atom pair the topology lacks,
            each with the reason.
        other_pairs: couplings between other atom pairs, left out.
        notes: what a reader should know of the match (a chain taken by
            another name, ...).
        warnings: what a reader must know (residue names that differ,
            couplings left unmatched).
    """

    first: Any
    second: Any
    values: NDArray[np.float64]
    labels: list[str]
    couplings: list[Coupling]
    unmatched: list[tuple[Coupling, str]]
    other_pairs: int
    notes: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)

    def vectors(self) -> NDArray[np.float64]:
        """The bond vectors at the universe's current frame."""
        out: NDArray[np.float64] = np.asarray(
            self.second.positions, dtype=np.float64
        ) - np.asarray(self.first.positions, dtype=np.float64)
        return out


#: Residue names of water in the common force fields.
_WATERS = frozenset({"HOH", "WAT", "SOL", "TIP3", "TIP4", "SPC", "T3P"})


class UniverseIndex:
    """The :class:`~kelfit_tools.io.matching.AtomIndex` of a topology's atoms.

    Chains are PDB chains where the topology has them, else segments.
    """

    source = "topology"

    def __init__(self, atoms: Any) -> None:
        chains = chain_names(atoms)
        icodes = getattr(atoms, "icodes", None)
        self._atoms: dict[tuple[str, int, str], dict[str, int]] = {}
        self._names: dict[tuple[str, int, str], str] = {}
        self._chains: list[str] = []
        for k, atom in enumerate(atoms):
            icode = "" if icodes is None else str(icodes[k]).strip().upper()
            key = (chains[k], int(atom.resid), icode)
            if chains[k] not in self._chains:
                self._chains.append(chains[k])
            self._atoms.setdefault(key, {}).setdefault(atom_key(atom.name), atom.ix)
            self._names.setdefault(key, str(atom.resname))
        self._hydrogens = any(
            name.lstrip("0123456789").startswith("H")
            for names in self._atoms.values()
            for name in names
        )

    def chains(self) -> list[str]:
        return list(self._chains)

    def residue(self, chain: str, number: int, icode: str) -> str | None:
        return self._names.get((chain, number, icode.strip().upper()))

    def atom(self, chain: str, number: int, icode: str, name: str) -> Any:
        return self._atoms.get((chain, number, icode.strip().upper()), {}).get(name)

    def has_hydrogens(self) -> bool:
        return self._hydrogens

    def residue_names(self) -> dict[tuple[str, int], str]:
        """Every residue's name by chain and number, as the numbering check
        compares them; residues with an insertion code are left out."""
        return {
            (chain, number): name
            for (chain, number, icode), name in self._names.items()
            if not icode and name.upper() not in _WATERS
        }


def chain_names(atoms: Any) -> list[str]:
    """Chain of each atom: the PDB chain when there is one, else the segment."""
    for attribute in ("chainIDs", "segids"):
        try:
            names = [str(n).strip() for n in getattr(atoms, attribute)]
        except AttributeError:
            continue
        if any(names):
            return names
    return [""] * len(atoms)


def coupling_atoms(
    universe: Any,
    couplings: Sequence[Coupling],
    atoms: Sequence[str] | None = ("N", "H"),
    *,
    chain: str | None = None,
    resnames: str = "strict",
) -> CouplingAtoms:
    """Match couplings to atom pairs of a universe's topology.

    Atoms are found by chain (PDB chain, else segment), residue number,
    insertion code and name, as
    :func:`~kelfit_tools.io.matching.match_couplings` does for structures;
    ``atoms`` None takes every pair.

    Raises:
        DataError: a topology without the hydrogens most couplings need, or
            no coupling matched.
    """
    match = match_couplings(
        UniverseIndex(universe.atoms), couplings, atoms, chain=chain, resnames=resnames
    )
    if not match.couplings:
        raise DataError(
            "no coupling matched the topology"
            + no_match_reason(match, len(couplings), atoms)
        )
    return CouplingAtoms(
        first=universe.atoms[match.first],
        second=universe.atoms[match.second],
        values=np.array([c.value for c in match.couplings], dtype=np.float64),
        labels=[c.label for c in match.couplings],
        couplings=match.couplings,
        unmatched=match.unmatched,
        other_pairs=match.other_pairs,
        notes=match.notes,
        warnings=match_warnings(match, "topology"),
    )


def frame_range(count: int, frames: slice | None, stride: int) -> range:
    """The frames of a trajectory of ``count`` frames that a run visits."""
    if stride < 1:
        raise ValueError(f"stride must be at least 1, got {stride}")
    start, stop, step = (frames or slice(None)).indices(count)
    if step != 1:
        raise ValueError("give the step as the stride, not in the frame range")
    return range(start, stop, stride)
