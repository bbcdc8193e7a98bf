"""From couplings as read to what a fit needs, the same way for every input.

Every command and every kind of input (a structure, an ensemble, a
trajectory's topology) goes through this path:

1. :func:`read_media`: the coupling files, as alignment media (one file may
   hold several; several files are several media, named by file);
2. :func:`select_couplings`: the couplings kept by weight (W = 0 is left
   out), bond type and excluded residues, duplicates resolved, residue
   numbers moved where asked;
3. matching to atoms (:func:`~kelfit_tools.io.structure.structure_vectors`,
   :func:`~kelfit_tools.io.trajectory.coupling_atoms`), after a check that
   the numbering of the couplings and the structure agree;
4. :func:`check_fit_input` and :func:`check_fit`: too few couplings for the
   parameters, a poorly determined tensor, implausible units.

What was left out and why goes to a :class:`Preparation`: notes a reader
should know and warnings a reader must know.  Nothing here knows the
command line or its log; the commands present the report.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any

from . import notices
from .bonds import bond_type
from .checks import (
    bond_length_warning,
    check_count,
    conditioning_warning,
    design_condition,
    numbering_check,
    reduced_chi2_warning,
    renumber,
    resolve_duplicates,
    units_warning,
)
from .errors import Advice, DataError, Hint, PathLike
from .io import Coupling, read_restraints, read_sequence
from .superpose import AtomSelection, coupling_residues, superpose_models

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

    from .fitting import FitResult
    from .io.structure import StructureVectors
    from .io.trajectory import CouplingAtoms

__all__ = [
    "Medium",
    "Preparation",
    "Selection",
    "couplings_on_structure",
    "pick_media",
    "read_media",
    "select_couplings",
]


#: Parameters of every fit: three angles, Da and R.
FREE_PARAMETERS = 5

#: The atom pair a trajectory's couplings are between unless told.
_TRAJECTORY_PAIR = ("N", "H")


@dataclass(frozen=True)
class Selection:
    """Which couplings a fit uses.

    Attributes:
        types: bond types to keep, such as ``("N-H", "CA-HA")``; None keeps
            every type.
        atoms: the atom pair a plain table's rows are between (N and H when
            None); also keeps only that pair when ``types`` is None.
        exclude: residue numbers whose couplings are left out.
        duplicates: what to do with the same atom pair listed twice:
            ``"error"``, ``"first"`` or ``"mean"``.
        renumber: added to every residue number of the couplings.
    """

    types: tuple[str, ...] | None = None
    atoms: tuple[str, str] | None = None
    exclude: frozenset[int] = frozenset()
    duplicates: str = "error"
    renumber: int = 0

    def wanted_types(self) -> set[str] | None:
        """The bond types kept, or None for every type."""
        if self.types:
            return set(self.types)
        if self.atoms:
            return {bond_type(*self.atoms)}
        return None

    def row_type(self, c: Coupling) -> str:
        """A coupling's bond type; a plain table's rows are ``atoms``."""
        default = self.atoms or ("N", "H")
        return bond_type(c.atom_i or default[0], c.atom_j or default[1])


@dataclass
class Preparation:
    """What the path from couplings to fits left out, and what a reader
    should (notes) or must (warnings) know."""

    notes: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)

    def say(self) -> None:
        """Hand the notes and warnings to the active record and the log
        (:mod:`~kelfit_tools.notices`), and forget them."""
        for message in self.notes:
            notices.note(message)
        for message in self.warnings:
            notices.warn(message)
        self.notes.clear()
        self.warnings.clear()


@dataclass(frozen=True)
class Medium:
    """One alignment medium's couplings.

    Attributes:
        name: the medium's name (the file's name when it names none).
        couplings: its couplings, in file order.
        path: the file they were read from.
        sequence: the file's own sequence (residue number to name), where
            it gives one.
    """

    name: str
    couplings: list[Coupling]
    path: str
    sequence: dict[int, str] | None = None


def read_media(paths: Sequence[PathLike], format: str | None = None) -> list[Medium]:
    """Read coupling files as media.

    A file that names its media (Xplor/CNS blocks, NMR-STAR frames) gives
    one medium each; a file that names none is one medium, called by the
    file's name.  Media of several files are never merged: two files that
    name a medium alike are told apart by their file names.

    Raises:
        DataError: a file cannot be read.
    """
    media: list[Medium] = []
    for path in paths:
        base = os.path.basename(os.fspath(path))
        groups: dict[str, list[Coupling]] = {}
        for c in read_restraints(path, format):
            groups.setdefault(c.medium, []).append(c)
        if not groups:
            raise DataError("no couplings in the file", path)
        sequence = read_sequence(path)
        for name, rows in groups.items():
            media.append(Medium(name or base, rows, os.fspath(path), sequence))
    names = [m.name for m in media]
    if len(set(names)) != len(names):
        media = [
            replace(m, name=f"{os.path.basename(m.path)}: {m.name}")
            if names.count(m.name) > 1 and m.name != os.path.basename(m.path)
            else m
            for m in media
        ]
    return media


def pick_media(media: Sequence[Medium], picks: Sequence[str] | None) -> list[Medium]:
    """The media named (or numbered from 1) in ``picks``, in the order given.

    Raises:
        DataError: a pick that names no medium, with the media there are.
    """
    if not picks:
        return list(media)
    out: list[Medium] = []
    for pick in picks:
        found = [m for m in media if m.name == pick]
        if not found and pick.strip().isdigit():
            number = int(pick)
            if 1 <= number <= len(media):
                found = [media[number - 1]]
        if not found:
            known = "; ".join(f"{k}: {m.name}" for k, m in enumerate(media, 1))
            raise DataError(f"no medium {pick!r} (the media are {known})")
        out.extend(m for m in found if m not in out)
    return out


def select_couplings(
    couplings: Sequence[Coupling],
    selection: Selection,
    report: Preparation,
    *,
    where: PathLike | None = None,
) -> list[Coupling]:
    """The couplings a fit uses, with what was left out in ``report``.

    Couplings of weight 0 are left out (as restraint files mean them);
    duplicates are resolved by ``selection.duplicates``.

    Raises:
        DataError: duplicates under ``"error"``, or nothing left, saying
            which bond types there are.
    """
    kept = [c for c in couplings if c.weight != 0]
    if len(kept) != len(couplings):
        report.notes.append(
            f"{len(couplings) - len(kept)} coupling(s) with W = 0 left out"
        )
    present = sorted({selection.row_type(c) for c in kept})
    if selection.types:
        # A misspelt type (CA-H for CA-HA) beside a right one would
        # otherwise fit the right one alone with no more than a note.
        unmatched = [t for t in selection.types if t not in present]
        if unmatched:
            raise DataError(
                Advice(
                    f"no coupling of bond type {', '.join(unmatched)} (from "
                    f"{{0}}); types present: {', '.join(present) or 'none'}",
                    Hint("types", python="Selection(types=...)"),
                ),
                where,
            )
    wanted = selection.wanted_types()
    if wanted is not None:
        before = len(kept)
        kept = [c for c in kept if selection.row_type(c) in wanted]
        if before != len(kept):
            report.notes.append(
                f"{before - len(kept)} coupling(s) of other bond types left out"
            )
    if selection.exclude:
        before = len(kept)
        kept = [
            c
            for c in kept
            if c.residue_i not in selection.exclude
            and c.residue_j not in selection.exclude
        ]
        report.notes.append(
            f"{before - len(kept)} coupling(s) of excluded residues left out"
        )
    if not kept:
        raise DataError(
            "no couplings left to fit after the selection ("
            + "; ".join([*report.notes, "types present: " + ", ".join(present)])
            + ")",
            where,
        )
    if selection.renumber:
        kept = renumber(kept, selection.renumber)
        report.notes.append(
            f"residue numbers of the couplings moved by {selection.renumber:+d}"
        )
    return resolve_duplicates(kept, selection.duplicates, notes=report.warnings)


@dataclass(frozen=True, eq=False)
class FitInput:
    """One medium of one model, matched and ready to fit.

    Attributes:
        model: the model (1-based).
        medium: the medium's name.
        matched: the vectors and the couplings they serve.
        rmsd_ref: the model's RMSD (angstrom) to the reference it was
            superposed on, or None.
        members: with several chains (a symmetric oligomer's), the vectors
            of ``matched``'s couplings in each chain (chains x N x 3), whose
            design rows are averaged; None for one chain.
    """

    model: int
    medium: str
    matched: StructureVectors
    rmsd_ref: float | None = None
    members: NDArray[np.float64] | None = None


def free_parameters(offset: bool) -> int:
    """Parameters a fit adjusts: three angles, Da and R (and the offset)."""
    return FREE_PARAMETERS + (1 if offset else 0)


def structure_for_fit(
    path: PathLike, report: Preparation, *, build_hn: bool = False
) -> Any:
    """Read a structure; with ``build_hn``, place its missing amide protons.

    Raises:
        MissingExtra: gemmi is not installed.
        DataError: an unreadable structure.
    """
    from .io.protons import build_amide_protons
    from .io.structure import load_structure

    structure = load_structure(path)
    if build_hn:
        placed = build_amide_protons(structure)
        report.notes.append(
            f"{placed} amide proton(s) placed from the backbone (on the outer "
            "bisector of C'(i-1)-N-CA, at the standard N-H length)"
        )
    return structure


def couplings_on_structure(
    path: PathLike,
    media: Sequence[Medium],
    selection: Selection,
    *,
    model: int = 1,
    chain: str | None = None,
    strict_names: bool = False,
    build_hn: bool = False,
) -> StructureVectors:
    """Every medium's selected couplings together, matched to one model of
    a structure (for back-calculation: no fit, so no fit's checks); what
    was left out is said (:meth:`Preparation.say`).

    Raises:
        DataError: an unreadable structure, or couplings that match nothing.
    """
    from .io.structure import structure_vectors

    report = Preparation()
    structure = structure_for_fit(path, report, build_hn=build_hn)
    couplings = [
        c
        for medium in media
        for c in select_couplings(
            medium.couplings, selection, report, where=medium.path
        )
    ]
    report.say()
    return structure_vectors(
        structure,
        couplings,
        selection.atoms,
        model,
        chain=chain,
        resnames="strict" if strict_names else "use",
    )


def structure_inputs(
    structure: Any,
    media: Sequence[Medium],
    selection: Selection,
    report: Preparation,
    *,
    models: Sequence[int] = (1,),
    chain: str | None = None,
    strict_names: bool = False,
    offset: bool = False,
    superpose: AtomSelection | None = None,
    reference: Any = None,
) -> list[FitInput]:
    """Every medium of every model, matched to the structure's atoms.

    Bonds far from their type's standard length are warned of in
    ``report`` (:func:`~kelfit_tools.checks.bond_length_warning`).

    With several models and a ``superpose`` selection, every model is first
    superposed on the reference (model 1 unless a ``gemmi.Model`` is given)
    over the selected atoms of the residues the couplings use, so that the
    models' tensors share one frame.

    Raises:
        DataError: a selection that leaves nothing, numbering that does not
            fit the structure, a structure without the protons the couplings
            need, models that cannot be superposed, or too few couplings for
            the parameters.
    """
    from .io.structure import (
        chain_vectors,
        residue_names,
        structure_chains,
        structure_vectors,
        unnamed_chain,
    )

    names = residue_names(structure, models[0])
    selected = []
    for medium in media:
        rows = select_couplings(medium.couplings, selection, report, where=medium.path)
        chains = structure_chains(structure, rows, chain, models[0])
        # Checked in the chain the matching will take them from (the first
        # of a symmetric oligomer's, whose numbering they share).
        one = chain if chains is None else chains[0]
        taken = unnamed_chain(structure, rows, selection.atoms, models[0], chain=one)
        check_numbering(rows, names, medium, selection, report, chain=taken)
        selected.append((medium, rows, chains))
    rmsd: list[float | None] = [None] * len(structure)
    if superpose is not None and (len(models) > 1 or reference is not None):
        done = superpose_models(
            structure,
            reference=reference,
            selection=superpose,
            residues=coupling_residues(c for _, rows, _ in selected for c in rows),
        )
        low, high = done.rmsd_range
        report.notes.append(
            f"models superposed on {done.reference} over {done.atoms} atoms "
            f"({done.selection}): RMSD {low:.2f} to {high:.2f} A"
        )
        rmsd = list(done.rmsd)
    out: list[FitInput] = []
    resnames = "strict" if strict_names else "use"
    for medium, rows, chains in selected:
        for number in models:
            members = None
            if chains is None:
                matched = structure_vectors(
                    structure, rows, selection.atoms, number, chain=chain,
                    resnames=resnames,
                )  # fmt: skip
            else:
                matched, members = chain_vectors(
                    structure, rows, selection.atoms, number, chains,
                    resnames=resnames,
                )  # fmt: skip
            odd = bond_length_warning(
                matched.couplings,
                matched.vectors,
                where=f"model {number}" if len(models) > 1 else "",
            )
            if odd:
                report.warnings.append(odd)
            if number == models[0]:
                try:
                    report.warnings.extend(
                        check_count(
                            len(matched.couplings),
                            free_parameters(offset),
                            label=f"medium {medium.name!r}",
                        )
                    )
                except DataError as exc:
                    raise DataError(str(exc), medium.path) from None
            out.append(
                FitInput(number, medium.name, matched, rmsd[number - 1], members)
            )
    return out


def one_medium(media: Sequence[Medium], what: str) -> Medium:
    """The one medium of ``media``.

    Raises:
        DataError: several media, pointing at the setting that picks one
            (``what`` says what takes a single medium).
    """
    if len(media) != 1:
        names = ", ".join(m.name for m in media).replace("{", "{{").replace("}", "}}")
        raise DataError(
            Advice(
                f"{what} in one medium, and the couplings hold "
                f"{len(media)}: pick one with {{0}} ({names})",
                Hint("media", python="media=[...]"),
            )
        )
    return media[0]


def trajectory_input(
    universe: Any,
    media: Sequence[Medium],
    selection: Selection,
    report: Preparation,
    *,
    chain: str | None = None,
    strict_names: bool = False,
    offset: bool = False,
) -> CouplingAtoms:
    """One medium's couplings matched to a trajectory's topology.

    A trajectory fit takes one atom pair (``selection.atoms``, N-H by
    default): its frames are fitted in the fast path of one bond type.

    A trajectory file cut short (fewer frames than its header declares,
    or a frame cut off at its end) is a warning in ``report``, and so are
    bonds of the first frame far from their standard lengths.

    Raises:
        DataError: several media, a selection that leaves nothing,
            numbering that does not fit the topology, or too few couplings.
    """
    from .io.matching import chain_of_unnamed
    from .io.trajectory import UniverseIndex, coupling_atoms, truncation_warning

    medium = one_medium(media, "a trajectory is fitted")
    cut_short = truncation_warning(universe)
    if cut_short:
        report.warnings.append(cut_short)
    rows = select_couplings(medium.couplings, selection, report, where=medium.path)
    atoms = selection.atoms or _TRAJECTORY_PAIR
    index = UniverseIndex(universe.atoms)
    check_numbering(
        rows,
        index.residue_names(),
        medium,
        selection,
        report,
        chain=chain_of_unnamed(index, rows, atoms, chain=chain),
    )
    pairs = coupling_atoms(
        universe,
        rows,
        atoms,
        chain=chain,
        resnames="strict" if strict_names else "use",
    )
    if pairs.other_pairs:
        report.notes.append(
            Advice(
                f"{pairs.other_pairs} coupling(s) of other atom pairs left out (a "
                "trajectory fit takes one pair: {0})",
                Hint("atoms", "A,B", python="Selection(atoms=(A, B))"),
            )
        )
    report.notes.extend(pairs.notes)
    report.warnings.extend(pairs.warnings)
    odd = bond_length_warning(
        pairs.couplings, pairs.vectors(), where="the trajectory's first frame"
    )
    if odd:
        report.warnings.append(odd)
    try:
        report.warnings.extend(
            check_count(
                len(pairs.couplings), free_parameters(offset), label="the trajectory"
            )
        )
    except DataError as exc:
        raise DataError(str(exc), medium.path) from None
    return pairs


def check_numbering(
    couplings: Sequence[Coupling],
    names: Mapping[tuple[str, int], str],
    medium: Medium,
    selection: Selection,
    report: Preparation,
    *,
    chain: str | None = None,
) -> None:
    """Refuse couplings whose residue numbers do not fit the structure's.

    The table's own sequence, where it gives one, is moved with the
    couplings when ``--renumber`` moves them.

    Raises:
        DataError: most residue names disagree, with the shift that would
            make them agree when there is one.
    """
    sequence = medium.sequence
    if sequence is not None and selection.renumber:
        sequence = {k + selection.renumber: v for k, v in sequence.items()}
    report.warnings.extend(
        numbering_check(
            couplings,
            names,
            sequence=sequence,
            chain=chain,
            plain_atoms=selection.atoms or ("N", "H"),
        )
    )


def fit_warnings(
    result: FitResult, vectors: Any, *, offset: bool, da_nh: float | None
) -> list[str]:
    """What may make a fit that ran a wrong answer: a tensor the couplings'
    directions leave poorly determined, Da(N-H) in implausible units
    (``da_nh`` None for values without units), or uncertainties that do not
    describe the misfit (a reduced chi^2 far from 1)."""
    out = []
    condition = design_condition(
        vectors, scale=result.scale, sigma=result.sigma, offset=offset
    )
    warning = conditioning_warning(condition)
    if warning:
        out.append(warning)
    if da_nh is not None:
        warning = units_warning(da_nh)
        if warning:
            out.append(warning)
    warning = reduced_chi2_warning(result.reduced_chi2)
    if warning:
        out.append(warning)
    return out
