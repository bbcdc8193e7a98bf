"""Checks that refuse a wrong answer, or say why an answer may be one.

Each guards against a mistake that still gives a plausible fit: a coupling
listed twice, a table numbered differently from the structure, too few
couplings for the parameters, directions that barely determine the tensor,
couplings given in another unit.  The checks raise
:class:`~kelfit_tools.errors.DataError` or return messages for the caller to
show; only :func:`resolve_duplicates` logs, and only when given nowhere to
put its notes.
"""

from __future__ import annotations

import math
from collections.abc import Collection, Hashable, Mapping, Sequence
from dataclasses import dataclass, replace

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import notices
from .bonds import GYROMAGNETIC_RATIOS, STANDARD_LENGTHS, bond_type, element
from .errors import Advice, DataError, Hint
from .fitting import DesignRows, FitResult, design_matrix
from .io.matching import coupling_key, resolve_chain
from .io.names import (
    AMIDE_PROTON,
    ONE_LETTER_CODES,
    TYPO_SHARE,
    atom_key,
    residue_name,
    typo_limit,
)
from .io.tables import Coupling
from .statistics import pearson, regression, root_mean_square

__all__ = [
    "BOND_LENGTH_TOLERANCE",
    "CONDITION_LIMIT",
    "DA_NH_RANGE",
    "DUPLICATE_POLICIES",
    "KHZ_ROWS",
    "KHZ_TOLERANCE",
    "NORMALISED_SLOPE_FACTOR",
    "RENUMBER_WINDOW",
    "SHIFT_AGREEMENT",
    "SIGN_FLIP_R",
    "SPLITTING_MEAN",
    "SPLITTING_SHARE",
    "TYPE_EVIDENCE",
    "UNCERTAINTY_SPREAD",
    "bond_length_warning",
    "check_count",
    "check_uncertainties",
    "conditioning_warning",
    "design_condition",
    "find_duplicates",
    "length_bounds",
    "missing_uncertainty_warning",
    "numbering_check",
    "odd_frames_warning",
    "odd_lengths",
    "renumber",
    "resolve_duplicates",
    "standard_lengths",
    "type_warnings",
    "units_warning",
]


# ---------------------------------------------------------------- duplicates

#: What :func:`resolve_duplicates` does with a coupling listed more than once.
DUPLICATE_POLICIES = ("error", "first", "mean")


def _pair_key(c: Coupling) -> Hashable:
    """The medium and the two atoms, in either order."""
    return (c.medium, coupling_key(c))


def find_duplicates(couplings: Sequence[Coupling]) -> list[list[Coupling]]:
    """Groups of couplings that name the same atom pair, in table order.

    Two couplings are the same when they are in the same medium and join
    the same two atoms, in either order: chains (none and "" alike),
    residue numbers and insertion codes must agree, and H and HN are the
    same proton.  Rows of a plain table, which name no atoms, are the same
    when they name the same residue.  A row of weight 0 takes no part in a
    fit, so a copy disabled that way is not a duplicate.

    Returns:
        Each group (two or more couplings, in the order read), in the order
        of each group's first coupling; empty when every pair is listed once.
    """
    groups: dict[Hashable, list[Coupling]] = {}
    for c in couplings:
        if c.weight == 0:
            continue
        groups.setdefault(_pair_key(c), []).append(c)
    return [group for group in groups.values() if len(group) > 1]


def _and(items: Sequence[str]) -> str:
    if len(items) == 1:
        return items[0]
    return ", ".join(items[:-1]) + " and " + items[-1]


def _lines(group: Sequence[Coupling]) -> str:
    """Where the couplings were read: ``lines 12 and 40 of couplings.tab``."""
    paths = list(dict.fromkeys(c.path for c in group))
    parts = []
    for path in paths:
        lines = [str(c.line) for c in group if c.path == path]
        word = "line" if len(lines) == 1 else "lines"
        parts.append(f"{word} {_and(lines)}" + (f" of {path}" if path else ""))
    return _and(parts)


def _duplicate(group: Sequence[Coupling]) -> str:
    first = group[0]
    atoms = (
        f" ({first.atom_i}-{first.atom_j})"
        if first.atom_i is not None and first.atom_j is not None
        else ""
    )
    medium = f" in medium {first.medium}" if first.medium else ""
    return f"duplicate coupling {first.label}{atoms}{medium} on {_lines(group)}"


def _mean_error(group: Sequence[Coupling]) -> float | None:
    """The uncertainty given to the mean of duplicated couplings.

    The root mean square of the stated uncertainties, not divided by the
    square root of their count: a coupling listed twice in one table is
    more often one measurement written twice than two measurements, and
    the fit must not weigh it more for that.  When the values scatter more
    than that, their sample standard deviation is taken instead.  Rows
    without a positive uncertainty do not count; with none, the first row's
    is kept (the fit is then unweighted anyway).
    """
    stated = [c.error for c in group if c.error is not None and c.error > 0]
    if not stated:
        return group[0].error
    values = np.array([c.value for c in group])
    spread = float(np.std(values, ddof=1))
    return max(math.sqrt(sum(e * e for e in stated) / len(stated)), spread)


def resolve_duplicates(
    couplings: Sequence[Coupling],
    policy: str = "error",
    *,
    notes: list[str] | None = None,
) -> list[Coupling]:
    """Refuse, or keep one of, the couplings listed more than once.

    Args:
        couplings: the couplings as read.
        policy: ``"error"``, refuse any duplicate; ``"first"``, keep the
            first of each group; ``"mean"``, keep one row (in the first's
            place, with its line) holding the mean value, and as its
            uncertainty the root mean square of the stated ones, or the
            values' sample standard deviation when that is larger (not
            divided by the square root of the count: a row listed twice is
            more often one measurement written twice than two).
        notes: one message per duplicated coupling, saying what was done
            and with which values, is appended here; when None, each is
            logged at WARNING instead.  A duplicate is never resolved
            without a message.

    Returns:
        The couplings with each group replaced by its one row, in order.

    Raises:
        DataError: a duplicate under ``"error"``, naming its lines.
        ValueError: an unknown policy.
    """
    if policy not in DUPLICATE_POLICIES:
        raise ValueError(
            f"duplicates policy must be one of {', '.join(DUPLICATE_POLICIES)}, "
            f"got {policy!r}"
        )
    groups = find_duplicates(couplings)
    if not groups:
        return list(couplings)
    if policy == "error":
        more = len(groups) - 1
        tail = (
            f" ({more} more coupling{'s are' if more > 1 else ' is'} listed "
            "more than once)"
            if more
            else ""
        )
        raise DataError(_duplicate(groups[0]) + tail)
    kept: dict[int, Coupling] = {}  # by id() of each group's first row
    dropped: set[int] = set()
    messages = []
    for group in groups:
        first = group[0]
        values = ", ".join(f"{c.value:g}" for c in group)
        if policy == "first":
            kept[id(first)] = first
            messages.append(
                f"{_duplicate(group)}: kept line {first.line} ({first.value:g}), "
                f"left out the others (values {values})"
            )
        else:
            mean = math.fsum(c.value for c in group) / len(group)
            merged = replace(first, value=mean, error=_mean_error(group))
            kept[id(first)] = merged
            error = "" if merged.error is None else f", uncertainty {merged.error:g}"
            messages.append(
                f"{_duplicate(group)}: values {values} averaged to {mean:g}{error}"
            )
        dropped.update(id(c) for c in group[1:])
    for message in messages:
        if notes is None:
            notices.warn(message)
        else:
            notes.append(message)
    return [kept.get(id(c), c) for c in couplings if id(c) not in dropped]


# ----------------------------------------------------------------- numbering

#: Offsets :func:`numbering_check` tries, from -RENUMBER_WINDOW to +RENUMBER_WINDOW.
RENUMBER_WINDOW = 20

#: Share of the residue names that must agree for an offset to be suggested.
SHIFT_AGREEMENT = 0.8

#: Fewer residues than this cannot tell an offset from a chance agreement.
_SHIFT_EVIDENCE = 5

_PROLINE = "PRO"


@dataclass
class _TableResidue:
    """One residue the couplings name, under one of the names they give it."""

    chain: str | None
    number: int
    name: str | None  # compared form (residue_name), or None
    amide: bool  # a coupling involves its amide proton
    row: Coupling  # the first coupling naming it, to point at its line


def _table_residues(
    couplings: Sequence[Coupling],
    sequence: Mapping[int, str] | None,
    plain_atoms: Sequence[str],
) -> list[_TableResidue]:
    residues: dict[tuple[str | None, int, str | None], _TableResidue] = {}
    for c in couplings:
        atoms = (c.atom_i, c.atom_j)
        if atoms[0] is None or atoms[1] is None:
            atoms = (plain_atoms[0], plain_atoms[1])
        ends = (
            (c.chain_i, c.residue_i, c.icode_i, c.resname_i, atoms[0]),
            (c.chain_j, c.residue_j, c.icode_j, c.resname_j, atoms[1]),
        )
        for chain, number, icode, name, atom in ends:
            if icode.strip():
                continue  # renumbering leaves residues with insertion codes
            if name is None and sequence is not None:
                name = sequence.get(number)
                if name is not None and len(name.strip()) == 1:
                    name = ONE_LETTER_CODES.get(name.strip().upper(), name)
            # A residue named two ways is two entries: one agrees, the
            # other is the typing error.
            key = (chain or None, number, residue_name(name))
            residue = residues.get(key)
            if residue is None:
                residue = residues[key] = _TableResidue(
                    chain or None, number, residue_name(name), False, c
                )
            residue.amide = residue.amide or atom_key(atom or "") == AMIDE_PROTON
    return list(residues.values())


class _StructureIndex:
    """The structure's residue names, found the way the matching finds them:
    by chain when the table gives one (its name resolved as the matching
    resolves it), else in the first chain that has the number (or in
    ``chain``, the one chosen for couplings that name none)."""

    def __init__(
        self,
        names: Mapping[tuple[str, int], str],
        chain: str | None,
        named: Collection[str],
    ) -> None:
        self.names = {key: residue_name(name) for key, name in names.items()}
        self.first: dict[int, str | None] = {}
        for (_, number), name in self.names.items():
            self.first.setdefault(number, name)
        self.chain = chain
        self.chains = list(dict.fromkeys(c for c, _ in names))
        self.named = named

    def name(self, chain: str | None, number: int) -> str | None:
        chain = chain or self.chain
        if chain:
            found, _ = resolve_chain(chain, self.chains, self.named)
            return None if found is None else self.names.get((found, number))
        return self.first.get(number)


@dataclass
class _Tally:
    """What the residues meet at one offset."""

    agree: int = 0
    mismatch: int = 0  # names differ, or an amide proton on a proline
    missing: int = 0  # no such residue in the structure
    prolines: int = 0  # amide protons on prolines (within ``mismatch``)

    @property
    def compared(self) -> int:
        return self.agree + self.mismatch


def _meets(
    residue: _TableResidue, index: _StructureIndex, offset: int
) -> tuple[str, str | None]:
    """``agree``, ``mismatch``, ``proline``, ``missing`` or ``unknown``, with
    the structure's name."""
    found = index.name(residue.chain, residue.number + offset)
    if found is None:
        return "missing", None
    if residue.amide and found == _PROLINE:
        # Prolines have no amide proton: whatever the names, no match.
        return "proline", found
    if residue.name is None:
        return "unknown", found
    return ("agree" if residue.name == found else "mismatch"), found


def _tally(
    residues: Sequence[_TableResidue], index: _StructureIndex, offset: int
) -> _Tally:
    tally = _Tally()
    for residue in residues:
        what, _ = _meets(residue, index, offset)
        if what == "agree":
            tally.agree += 1
        elif what in ("mismatch", "proline"):
            tally.mismatch += 1
            tally.prolines += what == "proline"
        elif what == "missing":
            tally.missing += 1
    return tally


def _where(c: Coupling) -> str:
    if not c.line:
        return ""
    return f" (line {c.line}" + (f" of {c.path})" if c.path else ")")


def _differences(residues: Sequence[_TableResidue], index: _StructureIndex) -> str:
    """The residues that do not agree at the table's own numbering."""
    shown = []
    for residue in residues:
        what, found = _meets(residue, index, 0)
        where = _where(residue.row)
        chain = f"{residue.chain}:" if residue.chain else ""
        if what == "proline":
            shown.append(
                f"residue {chain}{residue.number} is a proline in the structure, "
                f"which has no amide proton{where}"
            )
        elif what == "mismatch":
            shown.append(
                f"residue {chain}{residue.number} is {residue.name} in the table, "
                f"{found} in the structure{where}"
            )
    more = f" and {len(shown) - 5} more" if len(shown) > 5 else ""
    return "; ".join(shown[:5]) + more


def _best_offset(
    residues: Sequence[_TableResidue],
    index: _StructureIndex,
    named: bool,
) -> tuple[int, _Tally] | None:
    """The offset that clearly puts the table on the structure, or None.

    With residue names, the offset where most names agree, if at least
    :data:`SHIFT_AGREEMENT` of those compared do and they are at least half
    of the residues.  Without names (a plain table), the one offset at
    which no coupling falls on a proline's amide proton or on a residue the
    structure lacks; when several do, the data cannot tell them apart.
    """
    if len(residues) < _SHIFT_EVIDENCE:
        return None
    offsets = [k for k in range(-RENUMBER_WINDOW, RENUMBER_WINDOW + 1) if k]
    tallies = {k: _tally(residues, index, k) for k in offsets}
    if not named:
        clean = [k for k, t in tallies.items() if t.mismatch + t.missing == 0]
        return (clean[0], tallies[clean[0]]) if len(clean) == 1 else None
    needed = max(_SHIFT_EVIDENCE, len(residues) / 2)
    good = [
        k
        for k, t in tallies.items()
        if t.compared >= needed and t.agree >= SHIFT_AGREEMENT * t.compared
    ]
    if not good:
        return None
    best = max(
        good,
        key=lambda k: (
            tallies[k].agree / tallies[k].compared,
            tallies[k].agree,
            -abs(k),
        ),
    )
    return best, tallies[best]


def _source(couplings: Sequence[Coupling]) -> str | None:
    paths = {c.path for c in couplings if c.path}
    return paths.pop() if len(paths) == 1 else None


def numbering_check(
    couplings: Sequence[Coupling],
    structure_names: Mapping[tuple[str, int], str],
    *,
    sequence: Mapping[int, str] | None = None,
    chain: str | None = None,
    plain_atoms: Sequence[str] = ("N", "H"),
) -> list[str]:
    """Check that the couplings' residue numbers are the structure's.

    Each residue the couplings name is compared once with the structure's
    residue of that number: its name, when the table gives one (or
    ``sequence`` does), must agree (HSD and HIS alike), and a residue whose
    amide proton (H or HN) is coupled must not be a proline, which has
    none.  Residues with an insertion code are not compared.

    Offsets: ``--renumber K`` adds K to every residue number of the
    couplings.  If table residue r is structure residue r + 1, K = +1 makes
    them agree, and the table's numbers are said to be shifted by -1
    against the structure's.  Offsets K from -:data:`RENUMBER_WINDOW` to
    +:data:`RENUMBER_WINDOW` are tried.

    With residue names, when more differ than typing errors explain (more
    than :data:`~kelfit_tools.io.names.TYPO_SHARE` of those compared, and
    more than one), the offset at which most names agree is suggested if at
    least :data:`SHIFT_AGREEMENT` of them then agree; otherwise, when more
    than half of the names compared differ, the structure is refused.

    A plain table (no residue names) can only be wrong by a proline's amide
    proton or by a residue the structure lacks.  Its numbering is refused
    when it has such couplings and exactly one other offset has none (a
    structure merely lacking residues is left to the matching, which
    reports them), or when more couplings fall on prolines than typing
    errors explain.

    Args:
        couplings: the couplings, as read.
        structure_names: the structure's residue names by (chain, number),
            as :func:`~kelfit_tools.io.structure.residue_names` gives them.
        sequence: the table's sequence (number -> name, three-letter or
            one-letter codes), for couplings that name no residue.
        chain: the chain used for couplings that name none, as the
            matching decides it
            (:func:`~kelfit_tools.io.matching.chain_of_unnamed`), so that
            the check looks where the fit does; by default the first chain
            that has the residue.
        plain_atoms: the atoms that couplings naming none are taken to join.

    Returns:
        Warnings for a few differences taken for typing errors; empty when
        everything agrees.

    Raises:
        DataError: residue numbers that look shifted (naming the
            ``--renumber`` offset that makes them agree), or names that
            disagree for most residues.
    """
    residues = _table_residues(couplings, sequence, plain_atoms)
    chains = {n for c in couplings for n in (c.chain_i, c.chain_j) if n}
    index = _StructureIndex(structure_names, chain, chains)
    source = _source(couplings)
    now = _tally(residues, index, 0)
    named = any(r.name is not None for r in residues)
    if named:
        if now.mismatch == 0:
            return []
        if now.mismatch <= typo_limit(now.compared):
            return [
                f"residue names differ from the structure's for {now.mismatch} of "
                f"{now.compared} residues, taken for typing errors: "
                + _differences(residues, index)
            ]
    elif now.mismatch + now.missing == 0:
        return []
    found = _best_offset(residues, index, named)
    if found is not None:
        k, then = found
        if named:
            detail = (
                f"then {then.agree} of {then.compared} residue names agree with "
                f"the structure, against {now.agree} of {now.compared} now"
            )
        else:
            detail = (
                f"now {now.prolines} coupling(s) fall on prolines' amide protons, "
                f"which they lack, and {now.missing} on residues the structure "
                "lacks; renumbered, none does"
            )
        raise DataError(
            Advice(
                f"residue numbers look shifted by {-k:+d}: try `{{0}}` "
                + f"({detail})".replace("{", "{{").replace("}", "}}"),
                Hint("renumber", f"{k:+d}"),
            ),
            source,
        )
    if named and now.mismatch > now.compared / 2:
        raise DataError(
            f"residue names disagree with the structure for {now.mismatch} of "
            f"{now.compared} residues, and no renumbering within "
            f"±{RENUMBER_WINDOW} makes them agree: is it the right structure? "
            f"({_differences(residues, index)})",
            source,
        )
    if not named:
        if now.prolines == 0:
            return []
        if now.prolines > typo_limit(len(residues)):
            raise DataError(
                f"{now.prolines} of {len(residues)} residues with couplings to "
                "the amide proton are prolines in the structure, which have "
                "none: is it the right structure and numbering? "
                f"({_differences(residues, index)})",
                source,
            )
        message = (
            f"{now.prolines} coupling(s) to an amide proton fall on prolines, "
            f"which have none: {_differences(residues, index)}"
        )
        return [message]
    message = (
        f"residue names differ from the structure's for {now.mismatch} of "
        f"{now.compared} residues, more than typing errors "
        f"({TYPO_SHARE:.0%}) explain: is it the right structure and numbering? "
        f"({_differences(residues, index)})"
    )
    return [message]


def renumber(couplings: Sequence[Coupling], k: int) -> list[Coupling]:
    """The couplings with ``k`` added to both residue numbers of each."""
    return [
        replace(c, residue_i=c.residue_i + k, residue_j=c.residue_j + k)
        for c in couplings
    ]


# ------------------------------------------------------------ determination


def check_count(n: int, free: int, *, label: str = "") -> list[str]:
    """Refuse a fit with no more couplings than free parameters.

    With N equal to the parameters, any values are fitted exactly (Q 0):
    the fit says nothing.  Below twice the parameters it is allowed, with a
    warning, since Q and the errors then mean little.

    Args:
        n: couplings to fit.
        free: free parameters (5, or 6 with an offset).
        label: what is fitted (a medium or a file), put before the message.

    Raises:
        DataError: ``n <= free``.
    """
    prefix = f"{label}: " if label else ""
    counted = f"{n} coupling{'s' if n != 1 else ''} for {free} free parameters"
    if n <= free:
        raise DataError(
            f"{prefix}{counted}: a fit needs more couplings than parameters"
        )
    if n < 2 * free:
        message = (
            f"{prefix}{counted}: the tensor is barely determined, and Q and "
            f"the errors mean little with fewer than {2 * free}"
        )
        return [message]
    return []


#: Relative rounding of a double: singular values below this times the
#: largest and the size are rounding noise (NumPy's rank tolerance).
_EPSILON = float(np.finfo(np.float64).eps)


def design_condition(
    vectors: ArrayLike | DesignRows,
    scale: ArrayLike | None = None,
    sigma: ArrayLike | None = None,
    offset: bool = False,
) -> float:
    """The condition number of the linear fit's matrix.

    The ratio of the largest to the smallest singular value of
    :func:`~kelfit_tools.fitting.design_matrix`: how much the directions
    (with their scales and sigmas) amplify errors in the values into the
    tensor.  Bonds spread evenly over all directions give sqrt(3) (the
    columns are not orthonormal); inf when the directions cannot determine
    the tensor (all in one plane, on the cone at the magic angle, fewer
    rows than unknowns).

    Raises:
        ValueError: bad vectors, scales or sigmas.
    """
    design = design_matrix(vectors, offset=offset, sigma=sigma, scale=scale)
    if design.shape[0] < design.shape[1]:
        return math.inf
    singular = np.linalg.svd(design, compute_uv=False)
    if isinstance(vectors, DesignRows) and vectors.minimum_norm:
        # A symmetry's rows determine only the tensors it leaves unchanged:
        # the directions it removes are zero, not poorly determined.
        singular = singular[singular > singular[0] * max(design.shape) * _EPSILON]
    if singular[-1] == 0.0:
        return math.inf
    return float(singular[0] / singular[-1])


#: Conditions above this make the tensor poorly determined.  Measured with
#: the structures and tables of the shared real data: ubiquitin N-H
#: alone 2.0 (3.2 with an offset), its four bond types scaled 1.8; GB3 N-H
#: 2.5 (4.3 with an offset), all types 2.0; lysozyme N-H 2.0; 500 random
#: 12-row subsets of ubiquitin N-H at most 9.6 (median 3.1, 95% below 5.5),
#: one beta strand (residues 1-17) 5.3.  Bad sets: ubiquitin's helix
#: (residues 23-34) N-H alone 28, 60 directions within 5 degrees of one
#: plane 11, within 2 degrees 28, on the magic-angle cone 33.  Bonds spread
#: evenly give sqrt(3) = 1.73.
CONDITION_LIMIT = 10.0


def conditioning_warning(cond: float) -> str | None:
    """A warning when ``cond`` (from :func:`design_condition`) is too high."""
    if cond <= CONDITION_LIMIT:
        return None
    shown = "infinite" if math.isinf(cond) else f"{cond:.3g}"
    return (
        f"the bond directions barely determine the tensor (condition number "
        f"{shown}, above {CONDITION_LIMIT:g}): they are too close to one plane "
        "or one cone, and small errors in the couplings move the tensor a lot"
    )


# --------------------------------------------------------------------- units

#: |Da(N-H)| in Hz outside this range points to couplings in another unit:
#: weak alignment gives a few Hz to a few tens of Hz.
DA_NH_RANGE = (0.5, 100.0)


def units_warning(da_nh: float) -> str | None:
    """A warning when Da normalised to N-H is implausible for couplings in Hz."""
    low, high = DA_NH_RANGE
    if abs(da_nh) < low:
        return (
            f"Da(N-H) = {da_nh:.3g} Hz is implausibly small for couplings in "
            "Hz: were they given in kHz?"
        )
    if abs(da_nh) > high:
        return (
            f"Da(N-H) = {da_nh:.4g} Hz is implausibly large for couplings in "
            "Hz: were they given in mHz or otherwise scaled? check the units"
        )
    return None


#: Reduced chi^2 outside this range says the stated uncertainties do not
#: describe the misfit: below, they are wider than it (restraint widths, not
#: measurement errors); above, narrower (structure noise, dynamics, or errors
#: of measurement alone).
REDUCED_CHI2_RANGE = (0.5, 5.0)


#: Error estimates that do not rest on the stated uncertainties.
_BOOTSTRAP = (
    Hint("errors", python="errors=K"),
    Hint("bootstrap", python="with bootstrap=True"),
)


def reduced_chi2_warning(reduced_chi2: float) -> str | None:
    """A warning when the reduced chi^2 of a weighted fit says the stated
    uncertainties are not the misfit's size, with which error estimate then
    holds; None inside :data:`REDUCED_CHI2_RANGE` or without uncertainties."""
    low, high = REDUCED_CHI2_RANGE
    if not math.isfinite(reduced_chi2):
        return None
    if reduced_chi2 < low:
        return Advice(
            f"reduced chi^2 is {reduced_chi2:.2f}: the misfit is smaller than "
            "the stated uncertainties, which look like restraint widths rather "
            "than measurement errors; Monte Carlo errors drawn from them "
            "overstate the uncertainty: use {0} {1}, or {2} with the RMSD",
            *_BOOTSTRAP,
            Hint("sigma"),
        )
    if reduced_chi2 > high:
        return Advice(
            f"reduced chi^2 is {reduced_chi2:.2f}: the stated uncertainties are "
            "too small for the misfit (the structure and dynamics add to it); "
            "Monte Carlo errors drawn from them understate the uncertainty: "
            "use {0} {1}, which does not rely on them",
            *_BOOTSTRAP,
        )
    return None


# ------------------------------------------------------------- bond lengths

#: A bond whose length in the structure is further than this share from its
#: type's standard length is most likely a misplaced atom: with the
#: structure's lengths its dipolar constant scales as r^-3, so a proton
#: moved far away contributes nothing and one moved close dominates.
BOND_LENGTH_TOLERANCE = 0.2


def standard_lengths(couplings: Sequence[Coupling]) -> NDArray[np.float64]:
    """Each coupling's standard bond length (angstrom), NaN for a bond type
    without one (:data:`~kelfit_tools.bonds.STANDARD_LENGTHS`)."""
    return np.array(
        [
            STANDARD_LENGTHS.get(bond_type(c.atom_i or "", c.atom_j or ""), math.nan)
            for c in couplings
        ],
        dtype=np.float64,
    )


def odd_lengths(
    lengths: NDArray[np.float64], standard: NDArray[np.float64]
) -> NDArray[np.bool_]:
    """Which ``lengths`` (any shape whose last axis is the couplings', such
    as frames x couplings) lie more than :data:`BOND_LENGTH_TOLERANCE` from
    ``standard`` (:func:`standard_lengths`); a length that is not a number is
    odd too, a bond type without a standard never."""
    low, high = length_bounds(standard)
    odd: NDArray[np.bool_] = ~((lengths >= low) & (lengths <= high))
    return odd


def length_bounds(
    standard: NDArray[np.float64],
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The lengths :func:`odd_lengths` accepts, from ``low`` to ``high``
    (the whole line for a bond type without a standard length)."""
    width = BOND_LENGTH_TOLERANCE * standard
    known = ~np.isnan(standard)
    low = np.where(known, standard - width, -np.inf)
    high = np.where(known, standard + width, np.inf)
    return low, high


def _odd_bond(c: Coupling, length: float, standard: float) -> str:
    return f"{c.label} {c.atom_i}-{c.atom_j} {length:.4g} A (standard {standard:g} A)"


def odd_frames_warning(
    couplings: Sequence[Coupling],
    frames: Sequence[int],
    first: tuple[int, float, float],
) -> str:
    """A warning that bonds lie far from their standard lengths in
    ``frames`` (a few named, then a count).

    Args:
        couplings: the trajectory's matched couplings.
        frames: the frames with such bonds, in order.
        first: the first such bond: its row, length and standard length.
    """
    shown = ", ".join(map(str, frames[:5]))
    more = f" and {len(frames) - 5} more" if len(frames) > 5 else ""
    row, length, standard = first
    return (
        f"bonds differ from their type's standard length by more than "
        f"{BOND_LENGTH_TOLERANCE:.0%} in {len(frames)} frame(s) fitted: "
        f"{shown}{more} (in frame {frames[0]}: "
        f"{_odd_bond(couplings[row], length, standard)}), and are fitted at "
        "their length; is the file damaged there?"
    )


def bond_length_warning(
    couplings: Sequence[Coupling], vectors: ArrayLike, *, where: str = ""
) -> str | None:
    """A warning naming the bonds (up to five) whose lengths are more than
    :data:`BOND_LENGTH_TOLERANCE` from their type's standard length
    (:data:`~kelfit_tools.bonds.STANDARD_LENGTHS`); bond types without one
    are not checked.

    Args:
        couplings: matched couplings, their atoms named.
        vectors: their inter-atomic vectors (angstrom), one row each.
        where: what the vectors come from (``"model 2"``), for the message.
    """
    lengths = np.linalg.norm(np.asarray(vectors, dtype=np.float64), axis=1)
    standard = standard_lengths(couplings)
    odd = [
        _odd_bond(couplings[int(k)], float(lengths[k]), float(standard[k]))
        for k in np.flatnonzero(odd_lengths(lengths, standard))
    ]
    if not odd:
        return None
    more = f" and {len(odd) - 5} more" if len(odd) > 5 else ""
    place = f" in {where}" if where else ""
    return (
        f"{len(odd)} bond(s){place} differ from their type's standard length by "
        f"more than {BOND_LENGTH_TOLERANCE:.0%}, and are fitted at their "
        f"length: {'; '.join(odd[:5])}{more}; is an atom misplaced?"
    )


# ------------------------------------------------------------ uncertainties

#: A stated uncertainty more than this many times below the median one is
#: refused: weighted by 1/sigma^2, its row would count over 10^8 times as
#: much as a typical one, beyond what a single-precision cost can add the
#: others to, so the fit would follow that row alone.
UNCERTAINTY_SPREAD = 1.0e4


def missing_uncertainty_warning(couplings: Sequence[Coupling]) -> str | None:
    """A warning naming the couplings (up to five) that state no positive
    uncertainty when the others do: a fit is weighted only when every row
    states one, so these few make the whole fit unweighted; None when all or
    none state one."""
    missing = [k for k, c in enumerate(couplings) if c.error is None or not c.error > 0]
    if not missing or len(missing) == len(couplings):
        return None
    return (
        f"{len(missing)} of {len(couplings)} couplings state no positive "
        f"uncertainty (DD): {_rows_named(couplings, missing)}; so the whole fit "
        "is unweighted, every coupling counting alike; give each its "
        "uncertainty, or leave these out (W = 0)"
    )


def check_uncertainties(couplings: Sequence[Coupling]) -> None:
    """Refuse an uncertainty so small next to the others that its coupling
    alone would decide a weighted fit (most likely a typing error).

    Args:
        couplings: couplings that all state a positive uncertainty.

    Raises:
        DataError: naming the coupling, its line and its uncertainty.
    """
    errors = np.array([c.error for c in couplings], dtype=np.float64)
    if errors.size == 0:
        return
    median = float(np.median(errors))
    for c, error in zip(couplings, errors):
        if error * UNCERTAINTY_SPREAD < median:
            # The line goes into the message: callers that fit several
            # media put their own file name in front.
            line = f", line {c.line}" + (f" of {c.path}" if c.path else "")
            raise DataError(
                f"the uncertainty of {c.label} (DD = {error:g}{line if c.line else ''})"
                f" is {median / error:.3g} times smaller than the median one "
                f"({median:g}): weighted by 1/DD^2, this coupling alone would "
                "decide the fit; is it a typing error?"
            )


# ------------------------------------------------------- bond types and fit

#: A bond type needs at least this many couplings for its own comparison
#: with the fit to say anything.
TYPE_EVIDENCE = 5

#: A type whose couplings correlate with what the fit predicts for them
#: below -SIGN_FLIP_R, while the other types' correlate above +SIGN_FLIP_R,
#: carries its signs by another convention than the rest.  Measured on the
#: shipped data sets: every type correlates at 0.96 or more; ubiquitin with
#: its C-N signs flipped, -0.97.
SIGN_FLIP_R = 0.5

#: A type whose dipolar constant differs from N-H's by more than this
#: factor, and whose slope (observed on predicted) is nearer the inverse of
#: that constant relative to N-H than 1 (and within twice this factor of
#: it), looks normalised to N-H already.  Measured on the shipped data sets:
#: slopes 0.94 to 1.14; ubiquitin's C-N values normalised to N-H give 6.2
#: (8.3 expected), its CA-C ones 4.4 (5.1 expected).
NORMALISED_SLOPE_FACTOR = 1.5

#: Every coupling of a tensor lies within 2 |Da s| (s: the row's scale,
#: canonical R <= 2/3), so a type whose mean is beyond that holds something
#: no alignment gives: the scalar coupling.  Measured on the shipped data
#: sets: means within 0.5 |Da s|; ubiquitin's N-H shifted by -92 Hz (J+D),
#: 3.5 |Da s| with the other types, 2.7 alone.
SPLITTING_MEAN = 2.0

#: A fit that moves Da to absorb a scalar coupling may reach the mean; its
#: residuals then are mostly one constant.  A type whose mean residual is
#: larger than the root mean square of its predictions, and whose square is
#: more than this share of the mean squared residual, looks like J+D too.
#: Measured on the shipped data sets: mean residuals at most 0.08 of the
#: predictions, shares at most 0.27; ubiquitin's N-H shifted by -92 Hz,
#: 1.6 and 0.73 alone, 2.1 and 0.81 with the other types.
SPLITTING_SHARE = 0.5

#: A coupling given in kHz is this many times smaller than the rest.
_KHZ = 1000.0

#: Rows given in kHz, times 1000, are within this factor of what the fit
#: predicts (rows given in kHz pull the fit towards zero, by 0.6 with a
#: third of ubiquitin's N-H rows in kHz) ...
KHZ_TOLERANCE = 3.0

#: ... when at least this many rows of a type are together.  On the shipped
#: data sets, no row is within either rule.
KHZ_ROWS = 3


def _type_rows(types: Sequence[str]) -> dict[str, NDArray[np.intp]]:
    """Each type's row indices, in order of first appearance."""
    kinds = np.array(list(types), dtype=object)
    return {t: np.flatnonzero(kinds == t) for t in dict.fromkeys(types)}


def _khz_rows(o: NDArray[np.float64], c: NDArray[np.float64]) -> NDArray[np.intp]:
    """The rows of one type that look given in kHz.

    A row is one when, times 1000, it has the sign of its prediction and is
    within a factor :data:`KHZ_TOLERANCE` of it, while as given it is below
    a hundredth of the type's largest value and its prediction is no
    near-zero one.  A few such rows distort the fit, so that times 1000
    they no longer meet their predictions closely: alone, a row is taken
    only within a third of its prediction (a coupling measured near zero is
    then far more likely than a matching kHz value); at least
    :data:`KHZ_ROWS` rows are taken together.
    """
    ratio = np.divide(_KHZ * o, c, out=np.zeros_like(o), where=c != 0)
    plausible = (
        (np.abs(c) > 0.5 * root_mean_square(c))
        & (np.abs(o) < 0.01 * np.max(np.abs(o)))
        & (ratio > 0)
    )
    loose = plausible & (ratio > 1 / KHZ_TOLERANCE) & (ratio < KHZ_TOLERANCE)
    if np.count_nonzero(loose) >= KHZ_ROWS:
        return np.flatnonzero(loose)
    return np.flatnonzero(plausible & (np.abs(ratio - 1) < 1 / 3))


def _constant_sign(kind: str) -> float:
    """The sign of a bond type's physical dipolar constant (that of the
    product of its nuclei's gyromagnetic ratios); 0 when not known."""
    try:
        first, second = (element(atom) for atom in kind.split("-", 1))
    except ValueError:
        return 0.0
    return math.copysign(1.0, GYROMAGNETIC_RATIOS[first] * GYROMAGNETIC_RATIOS[second])


def _convention_warning(
    types: Sequence[str], o: NDArray[np.float64], c: NDArray[np.float64]
) -> str | None:
    """A warning when the bond types of one sign of dipolar constant
    anticorrelate with the fit as a group, while those of the other sign
    correlate: the couplings then follow the other sign convention, which
    differs exactly there, rather than one type being flipped."""
    signs = np.array([_constant_sign(t) for t in types])
    groups = {side: np.flatnonzero(signs == side) for side in (1.0, -1.0)}
    if any(g.size < TYPE_EVIDENCE for g in groups.values()):
        return None
    r = {side: pearson(o[g], c[g]) for side, g in groups.items()}
    for side, other in ((1.0, -1.0), (-1.0, 1.0)):
        if r[side] < -SIGN_FLIP_R and r[other] > SIGN_FLIP_R:
            kinds = ", ".join(dict.fromkeys(types[int(k)] for k in groups[side]))
            word = "positive" if side > 0 else "negative"
            return (
                f"the couplings of the bond types with {word} dipolar constants "
                f"({kinds}) anticorrelate with what the fit predicts for them "
                f"(r = {r[side]:.2f}, against {r[other]:.2f} for the others): the "
                "couplings look given in the other sign convention; fit them "
                "under that one"
            )
    return None


def _rows_named(couplings: Sequence[Coupling], rows: Sequence[int]) -> str:
    """Up to five couplings by label and line, and how many more."""
    shown = [f"{couplings[i].label}{_where(couplings[i])}" for i in rows[:5]]
    more = f" and {len(rows) - 5} more" if len(rows) > 5 else ""
    return ", ".join(shown) + more


def type_warnings(
    types: Sequence[str], couplings: Sequence[Coupling], result: FitResult
) -> list[str]:
    """What each bond type's couplings, set against what the fit predicts
    for them, say about how they were entered.

    * signs flipped: a type that anticorrelates with its predictions while
      the other types correlate (:data:`SIGN_FLIP_R`), and that flipped
      would meet them at least twice as closely (in squares), carries its
      signs by another convention; when the types of one sign of dipolar
      constant do so together, the couplings follow the other sign
      convention, which is said once;
    * normalised to N-H: a type whose slope (observed on predicted) is near
      the inverse of its dipolar constant relative to N-H
      (:data:`NORMALISED_SLOPE_FACTOR`), while other types are fitted too;
    * J+D splittings: a type whose mean (less any fitted offset) is beyond
      the largest coupling the tensor gives it (:data:`SPLITTING_MEAN`), or
      whose residuals are mostly one constant larger than its predictions
      (:data:`SPLITTING_SHARE`); then only these are reported, since such a
      type distorts the whole fit;
    * kHz: couplings that, times 1000, are what the fit predicts, while
      as given they are far from it.

    Types with fewer than :data:`TYPE_EVIDENCE` couplings are not judged.

    Args:
        types: each row's bond type.
        couplings: the rows fitted, for their labels and lines.
        result: the fit of those rows.
    """
    o = np.asarray(result.observed, dtype=np.float64)
    c = np.asarray(result.calculated, dtype=np.float64)
    s = np.ones(o.size) if result.scale is None else np.abs(result.scale)
    da = abs(result.tensor().da)
    shift = result.offset if result.offset_fitted else 0.0
    rows = {t: i for t, i in _type_rows(types).items() if i.size >= TYPE_EVIDENCE}
    # A scalar coupling left in distorts the whole fit, so the other types'
    # comparisons with it mean nothing: it alone is reported.
    splittings = []
    for kind, i in rows.items():
        reach = SPLITTING_MEAN * da * float(np.mean(s[i]))
        mean = float(np.mean(o[i])) - shift
        missed = float(np.mean(o[i] - c[i]))
        typical = root_mean_square(c[i])
        if da > 0 and abs(mean) > reach:
            why = (
                f"beyond the {reach:.3g} Hz that any {kind} coupling reaches "
                "under the fitted tensor"
            )
        elif (
            abs(missed) > typical
            and missed**2 > SPLITTING_SHARE * root_mean_square(o[i] - c[i]) ** 2
        ):
            why = (
                f"and the fit misses them by a common {missed:.3g} Hz, more than "
                f"the {typical:.3g} Hz it predicts for them (root mean square)"
            )
        else:
            continue
        splittings.append(
            f"the {kind} couplings average {mean:.3g} Hz, {why}: they look like "
            "J+D splittings (the scalar coupling included); subtract the "
            "splitting measured without alignment (J) from each"
        )
    if splittings:
        return splittings
    out: list[str] = []
    convention = _convention_warning(types, o, c)
    if convention:
        out.append(convention)
    for kind, i in rows.items():
        rest = np.setdiff1d(np.arange(o.size), i)
        r = pearson(o[i], c[i])
        r_rest = pearson(o[rest], c[rest]) if rest.size >= TYPE_EVIDENCE else math.nan
        # Flipped, the type must also meet its predictions clearly better:
        # a type of small, noisy couplings may anticorrelate by chance.
        flipped = float(np.sum((o[i] + c[i]) ** 2))
        closer = 2.0 * flipped < float(np.sum((o[i] - c[i]) ** 2))
        if not convention and r < -SIGN_FLIP_R and r_rest > SIGN_FLIP_R and closer:
            out.append(
                Advice(
                    f"the {i.size} {kind} couplings anticorrelate with what the "
                    f"fit predicts for them (r = {r:.2f}, against {r_rest:.2f} for "
                    "the other bond types): their sign convention looks flipped "
                    f"against the other types'; flip the signs of the {kind} "
                    "couplings, or fit them flipped with {0}",
                    Hint("flip", kind, python=f"flip=({kind!r},)"),
                )
            )
        factor = float(np.mean(s[i]))
        slope = regression(c[i], o[i]).slope
        if (
            r_rest > SIGN_FLIP_R
            and r > SIGN_FLIP_R
            and factor > 0
            and max(factor, 1 / factor) > NORMALISED_SLOPE_FACTOR
            and slope > 0
            and abs(math.log(slope * factor)) < math.log(2 * NORMALISED_SLOPE_FACTOR)
            and abs(math.log(slope * factor)) < abs(math.log(slope))
        ):
            out.append(
                Advice(
                    f"the {kind} couplings are {slope:.3g} times what the fit "
                    f"predicts for them, near the ratio of the N-H and {kind} "
                    f"dipolar constants ({1 / factor:.3g}): they look normalised "
                    f"to N-H already; give the {kind} couplings as measured, or "
                    "say they are normalised with {0}",
                    Hint("normalised", python="normalised=True"),
                )
            )
        khz = [int(k) for k in i[_khz_rows(o[i], c[i])]]
        if khz:
            out.append(
                f"{len(khz)} {kind} coupling(s) are about 1000 times smaller than "
                "the rest of their type and than the fit predicts for them: "
                f"{_rows_named(couplings, khz)}; were they given in kHz? give "
                "every coupling in Hz"
            )
    return out
