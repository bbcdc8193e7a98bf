"""Trajectories through MDAnalysis: the universe, and couplings' atom pairs in it.

Any topology and trajectory format MDAnalysis reads will do (it is the
``md`` extra).  The fits over the frames are in :mod:`kelfit_tools.trajectory`.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .._extras import MissingExtra
from ..errors import DataError, PathLike
from .structure import _atom_key, _resname
from .tables import Coupling

__all__ = [
    "MD_HINT",
    "CouplingAtoms",
    "chain_names",
    "coupling_atoms",
    "frame_range",
    "load_universe",
]

MD_HINT = "pip install 'kelfit[md]'"


def _mdanalysis() -> Any:
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
    mda = _mdanalysis()
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
    """

    first: Any
    second: Any
    values: NDArray[np.float64]
    labels: list[str]
    couplings: list[Coupling]
    unmatched: list[tuple[Coupling, str]]
    other_pairs: int

    def vectors(self) -> NDArray[np.float64]:
        """The bond vectors at the universe's current frame."""
        out: NDArray[np.float64] = np.asarray(
            self.second.positions, dtype=np.float64
        ) - np.asarray(self.first.positions, dtype=np.float64)
        return out


class _AtomIndex:
    """Atoms of a topology by chain, residue number, insertion code and name."""

    def __init__(self, atoms: Any) -> None:
        chains = _chain_names(atoms)
        icodes = getattr(atoms, "icodes", None)
        self.residues: dict[tuple[str, int, str], dict[str, int]] = {}
        self.resnames: dict[tuple[str, int, str], str] = {}
        self.chain_order: list[str] = []
        for k, atom in enumerate(atoms):
            icode = "" if icodes is None else str(icodes[k]).strip().upper()
            key = (chains[k], int(atom.resid), icode)
            if chains[k] not in self.chain_order:
                self.chain_order.append(chains[k])
            self.residues.setdefault(key, {}).setdefault(_atom_key(atom.name), atom.ix)
            self.resnames.setdefault(key, str(atom.resname))

    def find(
        self, chain: str | None, number: int, icode: str, resname: str | None, atom: str
    ) -> tuple[int | None, str]:
        chains = [chain] if chain else self.chain_order
        for name in chains:
            key = (name, number, icode)
            names = self.residues.get(key)
            if names is None:
                continue
            expected = _resname(resname)
            if expected is not None and _resname(self.resnames[key]) != expected:
                return None, (
                    f"residue {number}{icode} is {self.resnames[key]} in the "
                    f"topology, {resname} in the table"
                )
            index = names.get(_atom_key(atom))
            if index is None:
                return None, f"no atom {atom} in {self.resnames[key]}{number}{icode}"
            return index, ""
        where = f" in chain {chain}" if chain else ""
        return None, f"no residue {number}{icode}{where} in the topology"


def _chain_names(atoms: Any) -> list[str]:
    """Chain of each atom: the PDB chain when there is one, else the segment."""
    for attribute in ("chainIDs", "segids"):
        try:
            names = [str(n).strip() for n in getattr(atoms, attribute)]
        except AttributeError:
            continue
        if any(names):
            return names
    return [""] * len(atoms)


def chain_names(atoms: Any) -> list[str]:
    """Chain of each atom of an AtomGroup, as couplings are matched to it:
    the PDB chain when there is one, else the segment."""
    return _chain_names(atoms)


def coupling_atoms(
    universe: Any,
    couplings: Sequence[Coupling],
    atoms: Sequence[str] = ("N", "H"),
    *,
    chain: str | None = None,
) -> CouplingAtoms:
    """Match couplings to atom pairs of a universe's topology.

    Atoms are found by chain (PDB chain, else segment), residue number,
    insertion code and name; ``H`` and ``HN`` are the same amide proton,
    and force-field residue names (HSD, HIE, ...) match their residue.

    Raises:
        DataError: no coupling matched.
    """
    if len(atoms) != 2:
        raise ValueError(f"atoms must name two atoms, got {list(atoms)}")
    index = _AtomIndex(universe.atoms)
    wanted = (_atom_key(atoms[0]), _atom_key(atoms[1]))
    first: list[int] = []
    second: list[int] = []
    values: list[float] = []
    labels: list[str] = []
    matched: list[Coupling] = []
    unmatched: list[tuple[Coupling, str]] = []
    other = 0
    for c in couplings:
        name_i = c.atom_i if c.atom_i is not None else atoms[0]
        name_j = c.atom_j if c.atom_j is not None else atoms[1]
        pair = (_atom_key(name_i), _atom_key(name_j))
        if pair != wanted and pair[::-1] != wanted:
            other += 1
            continue
        i, why = index.find(
            c.chain_i or chain, c.residue_i, c.icode_i, c.resname_i, name_i
        )
        j, why_j = (None, "")
        if i is not None:
            j, why_j = index.find(
                c.chain_j or chain, c.residue_j, c.icode_j, c.resname_j, name_j
            )
        if i is None or j is None:
            unmatched.append((c, why or why_j))
            continue
        first.append(i)
        second.append(j)
        values.append(c.value)
        labels.append(c.label)
        matched.append(c)
    if not values:
        hint = (
            f" (first: {unmatched[0][0].label}: {unmatched[0][1]})" if unmatched else ""
        )
        raise DataError(f"no coupling matched the topology{hint}")
    return CouplingAtoms(
        first=universe.atoms[first],
        second=universe.atoms[second],
        values=np.array(values, dtype=np.float64),
        labels=labels,
        couplings=matched,
        unmatched=unmatched,
        other_pairs=other,
    )


def frame_range(count: int, frames: slice | None, stride: int) -> range:
    """The frames of a trajectory of ``count`` frames that a run visits."""
    if stride < 1:
        raise ValueError(f"stride must be at least 1, got {stride}")
    start, stop, step = (frames or slice(None)).indices(count)
    if step != 1:
        raise ValueError("give the step as the stride, not in the frame range")
    return range(start, stop, stride)
