"""Models and frames superposed on one reference, so that tensors compare.

A tensor fitted to bond vectors lives in the frame of the coordinates it was
fitted in.  When the models of an ensemble, or the frames of a trajectory,
sit in different orientations, their tensors turn with them: a mean tensor,
an axis spread or angles over time then describe the molecule's tumbling,
not its alignment.  This module puts them in one frame first.

The atoms to superpose over are written the same way for both back ends
(:func:`parse_selection`)::

    KIND[:RESIDUES]       KIND: backbone (N, CA, C), ca or heavy
                          RESIDUES: comma-separated [CHAIN/]FIRST[-LAST]
                          items, or CHAIN/ for a whole chain

for example ``backbone``, ``ca:1-70``, ``heavy:A/1-70,B/1-70``.  Without
residues, the superposition runs over the residues the couplings use.

* ensembles (gemmi): :func:`superpose_models` moves every model of a
  structure onto a reference model, in place, with gemmi's superposition;
* trajectories (MDAnalysis): :func:`frame_superposer` prepares the reference
  once; its :meth:`FrameSuperposer.rotation` gives each frame's rotation
  (MDAnalysis's QCP) and RMSD, and the bond vectors are turned with it.  A
  bond vector is a difference of positions, so it needs no translation.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import notices
from ._extras import require
from .errors import DataError
from .io.matching import resolve_chain
from .io.structure import model_chains
from .io.tables import Coupling
from .io.trajectory import chain_names

__all__ = [
    "BACKBONE",
    "AtomSelection",
    "FrameSuperposer",
    "ModelSuperposition",
    "ResidueRange",
    "coupling_residues",
    "frame_superposer",
    "kabsch",
    "parse_selection",
    "superpose_models",
]


#: Atom names of each kind of selection; None: every heavy atom.
_KINDS: dict[str, tuple[str, ...] | None] = {
    "backbone": ("N", "CA", "C"),
    "ca": ("CA",),
    "heavy": None,
}

#: Fewer atoms than this leave the rotation undetermined.
_MIN_ATOMS = 3

#: Atoms of a mismatch named in a message; the rest are counted.
_SHOWN = 4

_RANGE = re.compile(r"^(?:(?P<chain>[^/\s]+)/)?(?P<first>-?\d+)(?:-(?P<last>-?\d+))?$")


@dataclass(frozen=True)
class ResidueRange:
    """Residues ``first`` to ``last`` (inclusive) of a chain (None: any chain).

    ``first`` and ``last`` are None for the whole chain.
    """

    chain: str | None
    first: int | None
    last: int | None

    def __str__(self) -> str:
        chain = f"{self.chain}/" if self.chain is not None else ""
        if self.first is None:
            return chain
        if self.first == self.last:
            return f"{chain}{self.first}"
        return f"{chain}{self.first}-{self.last}"


@dataclass(frozen=True)
class AtomSelection:
    """The atoms to superpose over: a kind of atom and, optionally, residues.

    Attributes:
        kind: ``backbone`` (N, CA, C), ``ca`` or ``heavy`` (every atom but
            hydrogen and deuterium).
        ranges: the residues; empty for those the couplings use (or every
            residue when no couplings are given).
    """

    kind: str = "backbone"
    ranges: tuple[ResidueRange, ...] = ()

    def __str__(self) -> str:
        if not self.ranges:
            return self.kind
        return f"{self.kind}:" + ",".join(str(r) for r in self.ranges)

    def mask(
        self,
        chains: Sequence[str],
        numbers: Sequence[int],
        names: Sequence[str],
        elements: Sequence[str],
        residues: Iterable[tuple[str | None, int]] | None = None,
    ) -> NDArray[np.bool_]:
        """Which atoms, given as parallel columns, the selection takes.

        Both back ends describe their atoms by these columns, so the rule
        is written once.

        Args:
            chains, numbers, names, elements: one entry per atom (an empty
                element: not known, then guessed from the name).
            residues: (chain, number) of the residues the couplings use, a
                None chain meaning any; used when the selection names no
                residues.
        """
        name = np.array([n.strip().upper() for n in names], dtype=object)
        atoms = _KINDS[self.kind]
        if atoms is None:
            keep = ~np.array(
                [_is_hydrogen(n, e) for n, e in zip(name, elements)], dtype=bool
            )
        else:
            keep = np.isin(name, atoms)
        chain = np.asarray(list(chains), dtype=object)
        number = np.asarray(list(numbers), dtype=np.int64)
        if self.ranges:
            keep &= _in_ranges(chain, number, self.ranges)
        elif residues is not None:
            keep &= _in_residues(chain, number, residues)
        return keep


def _log_partial_reference(selected: int, shared: int) -> None:
    # A reference from another file may lack a tail or a loop: superpose
    # over what both have, and say so.
    notices.note(
        f"the reference lacks {selected - shared} of the {selected} selected "
        f"atoms; superposing over the {shared} it has"
    )


def _is_hydrogen(name: str, element: str) -> bool:
    element = element.strip().upper()
    if element:
        return element in ("H", "D")
    # No element column: PDB names of hydrogens start with H (or D), after
    # an optional digit ("1HB").
    return name.lstrip("0123456789")[:1] in ("H", "D")


def _in_ranges(
    chain: NDArray[Any], number: NDArray[np.int64], ranges: Iterable[ResidueRange]
) -> NDArray[np.bool_]:
    hit = np.zeros(len(number), dtype=bool)
    for r in ranges:
        part = np.ones(len(number), dtype=bool)
        if r.chain is not None:
            part &= chain == r.chain
        if r.first is not None and r.last is not None:
            part &= (number >= r.first) & (number <= r.last)
        hit |= part
    return hit


def _in_residues(
    chain: NDArray[Any],
    number: NDArray[np.int64],
    residues: Iterable[tuple[str | None, int]],
) -> NDArray[np.bool_]:
    residues = list(residues)
    anywhere = {n for c, n in residues if not c}
    # The couplings' chains are the structure's as the matching takes them
    # (a segment in another letter case, or the only chain).
    names = list(dict.fromkeys(str(c) for c in chain))
    named = {c for c, _ in residues if c}
    exact = {(resolve_chain(c, names, named)[0] or c, n) for c, n in residues if c}
    hit = np.isin(number, list(anywhere)) if anywhere else np.zeros(len(number), bool)
    if exact:
        hit |= np.array([(c, int(n)) in exact for c, n in zip(chain, number)], bool)
    return hit


#: The default: N, CA and C of the residues the couplings use.
BACKBONE = AtomSelection()


def parse_selection(text: str) -> AtomSelection:
    """Read ``KIND[:RESIDUES]`` (see the module's description).

    Raises:
        ValueError: the text is not a selection, saying what is expected.
    """
    expected = (
        "expected backbone, ca or heavy, optionally with residues such as "
        "backbone:1-70 or ca:A/1-70,B/5-20"
    )
    kind, _, rest = text.strip().partition(":")
    kind = kind.strip().lower()
    if kind not in _KINDS:
        raise ValueError(f"{expected}; got {text!r}")
    if not _:
        return AtomSelection(kind)
    ranges = []
    for item in rest.split(","):
        item = item.strip()
        if item.endswith("/") and len(item) > 1 and "/" not in item[:-1]:
            ranges.append(ResidueRange(item[:-1], None, None))
            continue
        match = _RANGE.match(item)
        if match is None:
            raise ValueError(f"{expected}; {item!r} in {text!r} is not a residue range")
        first = int(match["first"])
        last = int(match["last"]) if match["last"] is not None else first
        if last < first:
            raise ValueError(f"residue range {item!r} in {text!r} runs backwards")
        ranges.append(ResidueRange(match["chain"], first, last))
    return AtomSelection(kind, tuple(ranges))


def _selection(selection: AtomSelection | str) -> AtomSelection:
    return parse_selection(selection) if isinstance(selection, str) else selection


def coupling_residues(couplings: Iterable[Coupling]) -> set[tuple[str | None, int]]:
    """(chain, number) of every residue the couplings use (chain None: any)."""
    out: set[tuple[str | None, int]] = set()
    for c in couplings:
        out.add((c.chain_i or None, c.residue_i))
        out.add((c.chain_j or None, c.residue_j))
    return out


def _described(keys: Sequence[tuple[str, int, str, str]]) -> str:
    shown = ", ".join(
        f"{atom} of {chain + '/' if chain else ''}{number}{icode}"
        for chain, number, icode, atom in keys[:_SHOWN]
    )
    more = f" and {len(keys) - _SHOWN} more" if len(keys) > _SHOWN else ""
    return shown + more


# ------------------------------------------------------------------ ensembles


@dataclass(frozen=True)
class ModelSuperposition:
    """What :func:`superpose_models` did.

    Attributes:
        rmsd: each model's RMSD (angstrom) to the reference after
            superposition, in model order (0 for the reference model).
        atoms: how many atoms each model was superposed over.
        selection: the selection, as written.
        reference: ``"model 1"``, or ``"given"`` for a reference model from
            elsewhere.
    """

    rmsd: list[float]
    atoms: int
    selection: str
    reference: str

    @property
    def rmsd_range(self) -> tuple[float, float]:
        """Lowest and highest RMSD to the reference."""
        return (min(self.rmsd), max(self.rmsd))


def _model_atoms(
    model: Any,
    selection: AtomSelection,
    residues: Iterable[tuple[str | None, int]] | None,
) -> dict[tuple[str, int, str, str], tuple[str, Any]]:
    """Selected atoms of a gemmi model by (chain, number, icode, name).

    The first conformer of an atom with alternative locations stands for
    it, so that every model offers one position per atom.
    """
    atoms: list[tuple[tuple[str, int, str, str], str, Any]] = []
    chains: list[str] = []
    numbers: list[int] = []
    names: list[str] = []
    elements: list[str] = []
    for chain, members in model_chains(model):
        for residue in members:
            icode = residue.seqid.icode.strip().upper()
            for atom in residue:
                key = (chain, residue.seqid.num, icode, atom.name.strip().upper())
                atoms.append((key, residue.name, atom.pos))
                chains.append(chain)
                numbers.append(residue.seqid.num)
                names.append(atom.name)
                elements.append("" if atom.element.name == "X" else atom.element.name)
    keep = selection.mask(chains, numbers, names, elements, residues)
    out: dict[tuple[str, int, str, str], tuple[str, Any]] = {}
    for (key, resname, pos), wanted in zip(atoms, keep):
        if wanted:
            out.setdefault(key, (resname, pos))
    return out


def _differences(
    mine: dict[tuple[str, int, str, str], Any],
    theirs: dict[tuple[str, int, str, str], Any],
) -> tuple[list[tuple[str, int, str, str]], list[tuple[str, int, str, str]]]:
    lacks = sorted(k for k in theirs if k not in mine)
    extra = sorted(k for k in mine if k not in theirs)
    return lacks, extra


def superpose_models(
    structure: Any,
    *,
    reference: Any = None,
    selection: AtomSelection | str = BACKBONE,
    residues: Iterable[tuple[str | None, int]] | None = None,
) -> ModelSuperposition:
    """Superpose every model of ``structure``, in place, on a reference model.

    The rotation and translation of each model come from gemmi's
    superposition of its selected atoms on the reference's; every atom of
    the model then moves with them.

    Args:
        structure: a ``gemmi.Structure`` (its models are changed).
        reference: a ``gemmi.Model`` to superpose onto, for example model 1
            of another file (default: the structure's model 1).  It may
            lack some of the selected atoms (a crystal structure without a
            flexible tail): the superposition then runs over those it has.
        selection: the atoms (:func:`parse_selection` or its text).
        residues: (chain, number) of the residues the couplings use
            (:func:`coupling_residues`), a None chain meaning any; the
            selection is limited to them unless it names residues itself.

    Returns:
        Each model's RMSD to the reference after superposition.

    Raises:
        DataError: the models do not have the same selected atoms (naming
            the model and the atoms), a reference residue differs from the
            models', or fewer than 3 atoms are shared.
    """
    gemmi = require("gemmi", "superposing models")
    selection = _selection(selection)
    wanted = None if residues is None else set(residues)
    if len(structure) == 0:
        raise DataError("the structure holds no models")
    models = [_model_atoms(model, selection, wanted) for model in structure]
    first = models[0]
    if len(first) < _MIN_ATOMS:
        raise DataError(
            f"model 1 has {len(first)} atom(s) in the superposition's selection "
            f"({selection}); at least {_MIN_ATOMS} are needed"
        )
    # Models of one ensemble superpose atom for atom: a model that lacks an
    # atom, or has one more, is a different molecule or a broken file, and
    # superposing over whatever they share would hide it.
    for number, atoms in enumerate(models[1:], start=2):
        lacks, extra = _differences(atoms, first)
        if lacks or extra:
            what = []
            if lacks:
                what.append(f"lacks {_described(lacks)} that model 1 has")
            if extra:
                what.append(f"has {_described(extra)} that model 1 lacks")
            raise DataError(
                f"model {number} cannot be superposed on model 1 over {selection}: "
                + "; ".join(what)
            )
    if reference is None:
        fixed = first
        name = "model 1"
    else:
        fixed = _model_atoms(reference, selection, wanted)
        name = "given"
    keys = sorted(k for k in first if k in fixed)
    if len(keys) < _MIN_ATOMS:
        raise DataError(
            f"the reference shares {len(keys)} atom(s) of {selection} with the "
            f"models; at least {_MIN_ATOMS} are needed (same chain names and "
            "residue numbers?)"
        )
    renamed = [k for k in keys if fixed[k][0] != first[k][0]]
    if renamed:
        chain, number, icode, _ = renamed[0]
        raise DataError(
            f"residue {chain + '/' if chain else ''}{number}{icode} is "
            f"{fixed[renamed[0]][0]} in the reference, {first[renamed[0]][0]} in "
            "the models: not the same molecule or numbering"
        )
    if len(keys) < len(first):
        _log_partial_reference(len(first), len(keys))
    # Copies: the reference's positions must not move while models move
    # (it may be model 1 itself).
    target = [gemmi.Position(fixed[k][1]) for k in keys]
    rmsd = []
    for index, (model, atoms) in enumerate(zip(structure, models)):
        if index == 0 and reference is None:
            # The reference itself stays exactly where it is.
            rmsd.append(0.0)
            continue
        moving = [gemmi.Position(atoms[k][1]) for k in keys]
        result = gemmi.superpose_positions(target, moving)
        model.transform_pos_and_adp(result.transform)
        rmsd.append(float(result.rmsd))
    return ModelSuperposition(
        rmsd=rmsd, atoms=len(keys), selection=str(selection), reference=name
    )


# --------------------------------------------------------------- trajectories


@dataclass(frozen=True, eq=False)
class FrameSuperposer:
    """A trajectory's reference, ready to superpose any frame on it.

    It holds only arrays, so it travels by pickling to where the frames are
    read (a process pool, a Dask worker).

    Attributes:
        indices: the selected atoms, as indices into the universe's atoms.
        reference: their reference positions, centred (atoms x 3).
        selection: the selection, as written.
        description: what the reference is (``frame 0``, a file name).
    """

    indices: NDArray[np.int64]
    reference: NDArray[np.float64]
    selection: str
    description: str

    @property
    def atoms(self) -> int:
        """How many atoms the superposition runs over."""
        return len(self.indices)

    def rotation(self, positions: Any) -> tuple[NDArray[np.float64], float]:
        """The rotation of a frame onto the reference, and the RMSD after it.

        Args:
            positions: every atom's position in the frame (the universe's
                ``atoms.positions``).

        Returns:
            ``(R, rmsd)``: ``R @ v`` turns a frame's vector ``v`` into the
            reference's orientation; rmsd in angstrom.
        """
        selected = np.asarray(positions)[self.indices]
        turns, rmsd = self.rotations(selected[None])
        return turns[0], float(rmsd[0])

    def rotations(
        self, selected: ArrayLike
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """:meth:`rotation` of many frames at once.

        Args:
            selected: frames x atoms x 3: each frame's positions of the
                selected atoms (:attr:`indices`), in their order.

        Returns:
            The rotations (frames x 3 x 3) and the RMSDs (frames).
        """
        return kabsch(selected, self.reference)


def kabsch(
    mobile: ArrayLike, reference: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The least-squares rotations of frames of atoms onto a centred
    reference (Kabsch, by the SVD of each frame's 3 x 3 covariance), and the
    RMSD after each.

    Every frame is computed alone, by reductions over its own atoms in a
    fixed order: a frame gets the same bits whatever frames share its stack.

    Args:
        mobile: frames x atoms x 3, the atoms as in ``reference``.
        reference: atoms x 3, centred.

    Returns:
        ``(R, rmsd)``: frames x 3 x 3 with ``R[k] @ x`` the reference's
        orientation of frame k's ``x``, and frames RMSDs (angstrom).
    """
    m = np.asarray(mobile, dtype=np.float64)
    centred = m - m.mean(axis=1, keepdims=True)
    covariance = np.matmul(centred.transpose(0, 2, 1), reference)
    u, _, vt = np.linalg.svd(covariance)
    v = vt.transpose(0, 2, 1)
    # A reflection is no rotation: the smallest singular direction turns
    # the other way instead.
    proper = np.sign(np.linalg.det(np.matmul(v, u.transpose(0, 2, 1))))
    proper = np.where(proper == 0.0, 1.0, proper)
    v[:, :, 2] *= proper[:, None]
    turns: NDArray[np.float64] = np.matmul(v, u.transpose(0, 2, 1))
    # The SVD gives a frame already in the reference's place the identity
    # only to rounding; such a frame is not turned at all, so it keeps its
    # bits (a trajectory of the structure itself gives the structure's).
    in_place = (centred == reference).all(axis=(1, 2))
    turns[in_place] = np.eye(3)
    moved = np.matmul(centred, turns.transpose(0, 2, 1))
    rmsd: NDArray[np.float64] = np.sqrt(
        ((moved - reference) ** 2).sum(axis=2).mean(axis=1)
    )
    return turns, rmsd


def _md_columns(atoms: Any) -> tuple[list[str], list[int], list[str], list[str]]:
    try:
        elements = [str(e) for e in atoms.elements]
    except AttributeError:  # no element column (NoDataError is one)
        elements = [""] * len(atoms)
    return (
        chain_names(atoms),
        [int(n) for n in atoms.resids],
        [str(n) for n in atoms.names],
        elements,
    )


def _md_keys(atoms: Any, chains: Sequence[str]) -> list[tuple[str, int, str, str]]:
    icodes = getattr(atoms, "icodes", None)
    return [
        (
            chains[k],
            int(atom.resid),
            "" if icodes is None else str(icodes[k]).strip().upper(),
            str(atom.name).strip().upper(),
        )
        for k, atom in enumerate(atoms)
    ]


def frame_superposer(
    universe: Any,
    selection: AtomSelection | str = BACKBONE,
    *,
    residues: Any = None,
    reference: Any = None,
    frame: int = 0,
) -> FrameSuperposer:
    """Prepare the superposition of a universe's frames on one reference.

    Args:
        universe: the MDAnalysis ``Universe`` whose frames will be fitted.
        selection: the atoms (:func:`parse_selection` or its text).
        residues: an AtomGroup or ResidueGroup (the coupled atoms) whose
            residues limit the selection, unless it names residues itself.
        reference: a ``Universe`` or AtomGroup to superpose onto (its atoms
            matched by chain, residue number and name; it may lack some of
            the selected atoms); default: frame ``frame`` of ``universe``.
        frame: the reference frame when ``reference`` is None (the first
            frame of the run).

    Raises:
        DataError: fewer than 3 atoms selected or shared with the reference.
    """
    selection = _selection(selection)
    atoms = universe.atoms
    chains, numbers, names, elements = _md_columns(atoms)
    keep = selection.mask(chains, numbers, names, elements)
    if residues is not None and not selection.ranges:
        keep &= np.isin(atoms.resindices, np.unique(residues.resindices))
    indices = np.flatnonzero(keep).astype(np.int64)
    if reference is None:
        trajectory = universe.trajectory
        current = trajectory.ts.frame
        positions = np.asarray(trajectory[frame].positions, dtype=np.float64)
        trajectory[current]  # back where the caller was
        fixed = positions[indices]
        description = f"frame {frame}"
    else:
        other = reference.atoms
        other_chains = _md_columns(other)[0]
        where = {k: i for i, k in enumerate(_md_keys(other, other_chains))}
        mine = _md_keys(atoms[indices], [chains[i] for i in indices])
        shared = [(i, where[k]) for i, k in zip(indices, mine) if k in where]
        if len(shared) < len(indices):
            _log_partial_reference(len(indices), len(shared))
        indices = np.array([i for i, _ in shared], dtype=np.int64)
        positions = np.asarray(other.positions, dtype=np.float64)
        fixed = positions[[j for _, j in shared]] if shared else positions[:0]
        filename = getattr(getattr(reference, "universe", reference), "filename", None)
        description = str(filename) if filename else "the given reference"
    if len(indices) < _MIN_ATOMS:
        raise DataError(
            f"{len(indices)} atom(s) of {selection} to superpose over"
            + (" shared with the reference" if reference is not None else "")
            + f"; at least {_MIN_ATOMS} are needed"
        )
    # Left writable: MDAnalysis's QCP takes only writable buffers.
    fixed = fixed - fixed.mean(axis=0)
    return FrameSuperposer(
        indices=indices,
        reference=fixed,
        selection=str(selection),
        description=description,
    )
