"""The report of an alignment predicted from shape, as JSON values and text.

The predicted tensor carries the keys of a fit's tensor (``da``, ``r``,
``principal_axes``, ``order_matrix``, ...), so that the two read alike.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field, replace
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

from .. import __version__, notices
from ..bonds import bond_type, row_scales
from ..charges import ChargeRanges, Electrolyte
from ..errors import Advice, DataError, Hint, PathLike
from ..io.tables import Coupling
from ..media import fit_medium
from ..prepare import (
    Preparation,
    Selection,
    pick_media,
    read_media,
    structure_for_fit,
    structure_inputs,
)
from ..steric import (
    Comparison,
    Prediction,
    atom_radii,
    compare,
    heavy_atoms,
    heavy_sites,
    predict_order,
    predicted_values,
    structure_order,
)
from ..tensor import Tensor, axis_angles
from .couplings import solve_rows
from .tensor import DIMENSIONLESS, euler_keys, order_keys, shape_keys

__all__ = [
    "Conformer",
    "ConformerMeans",
    "backbone_rows",
    "charge_report",
    "compared",
    "measured_fit",
    "measured_rows",
    "predict_structure",
    "prediction_report",
    "render_prediction",
]

#: How a fit chose its sign convention when the bond types could not decide.
UNDECIDED = ("equivalent", "undecided")


def measured_fit(
    structure: Any,
    couplings: PathLike,
    *,
    model: int = 1,
    chain: str | None = None,
    types: Sequence[str] | None = None,
    nh_length: float,
    signs: str | None = None,
    medium: str | None = None,
    also: Sequence[int] = (),
) -> tuple[NDArray[np.float64], Any]:
    """One medium's measured couplings matched to the structure and fitted:
    the bond vectors and the medium's fit (its notes and warnings said on
    the way).  With ``also``, the vectors are those of ``model`` and then of
    each of these models (one array of models x couplings x 3), the fit
    that of ``model``.

    ``medium`` picks one medium of a file of several, by name or number
    from 1 (as a fit's ``media`` do).

    Raises:
        DataError: a file of several media and no ``medium``, couplings
            that do not match, or models that do not all have their atoms.
    """
    report = Preparation()
    media = pick_media(read_media([couplings]), [medium] if medium else None)
    if len(media) > 1:
        names = "; ".join(f"{k}: {m.name}" for k, m in enumerate(media, 1))
        raise DataError(
            Advice(
                f"several media ({names.replace('{', '{{').replace('}', '}}')}): "
                "the comparison takes one: pick it with {0}",
                Hint("media", "NAME|N", python="medium=..."),
            ),
            couplings,
        )
    selection = Selection(types=tuple(types) if types else None)
    prepared = structure_inputs(
        structure, media, selection, report, models=[model, *also], chain=chain
    )
    report.say()
    matched = prepared[0].matched
    labels = [c.label for c in matched.couplings]
    for other in prepared[1:]:
        if [c.label for c in other.matched.couplings] != labels:
            raise DataError(
                f"model {other.model} does not have the atoms of every coupling "
                f"model {model} has: the models cannot be averaged"
            )
    fitted = fit_medium(
        matched.vectors,
        matched.couplings,
        nh_length=nh_length,
        convention=signs or "auto",
    )
    for warning in fitted.warnings:
        notices.warn(warning)
    if also:
        every = [np.asarray(p.matched.vectors, dtype=np.float64) for p in prepared]
        return np.stack(every), fitted
    return np.asarray(matched.vectors, dtype=np.float64), fitted


def compared(
    prediction: Prediction, vectors: NDArray[np.float64], fitted: Any
) -> tuple[NDArray[np.float64], Comparison]:
    """The prediction's value of each coupling of a :func:`measured_fit`,
    and its comparison with them and their fit."""
    result = fitted.result
    predicted = predicted_values(prediction, vectors, result.scale)
    return predicted, compare(
        result.observed, predicted, prediction.tensor(), fitted.tensor
    )


def measured_rows(
    structure: Any,
    prediction: Prediction,
    couplings: PathLike,
    *,
    model: int = 1,
    chain: str | None = None,
    types: Sequence[str] | None = None,
    nh_length: float,
    signs: str | None = None,
    medium: str | None = None,
    measured: tuple[NDArray[np.float64], Any] | None = None,
) -> tuple[list[dict[str, Any]], Comparison, Tensor]:
    """The prediction beside one medium's measured couplings: a row per
    coupling (predicted and observed), the comparison, and the tensor fitted
    to the couplings (:func:`measured_fit`, or ``measured`` where it was
    made already).

    Raises:
        DataError: as :func:`measured_fit`.
    """
    if measured is None:
        measured = measured_fit(
            structure, couplings, model=model, chain=chain, types=types,
            nh_length=nh_length, signs=signs, medium=medium,
        )  # fmt: skip
    vectors, fitted = measured
    result = fitted.result
    predicted, comparison = compared(prediction, vectors, fitted)
    rows = solve_rows(
        predicted,
        [c.label for c in fitted.couplings],
        model=model,
        couplings=fitted.couplings,
        types=fitted.types,
        constants=list(fitted.constants),
        scale=None if result.scale is None else list(result.scale),
    )
    for row, observed in zip(rows, result.observed):
        row["observed"] = float(observed)
    notices.note(f"compared with {result.n} couplings ({fitted.convention} convention)")
    if comparison.pearson_r < 0 and fitted.convention_how in UNDECIDED:
        other = "physical" if fitted.convention == "magnitudes" else "magnitudes"
        notices.warn(
            Advice(
                "the prediction and the couplings have opposite signs (Pearson r "
                f"{comparison.pearson_r:.3f}) under the {fitted.convention} "
                "convention, and these bond types cannot tell it from the "
                f"{other} one: if the file follows the {other} convention, add "
                "{0} (a charged medium can also invert the sign)",
                Hint("signs", other, python=f"signs={other!r}"),
            )
        )
    return rows, comparison, fitted.tensor


def _backbone_scales(
    vectors: NDArray[np.float64],
    bonds: Sequence[Coupling],
    signs: str | None,
    nh_length: float,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Backbone bonds' dipolar constants and scales, at standard lengths,
    in the predicted values' convention (default magnitudes)."""
    return row_scales(
        [(b.atom_i or "", b.atom_j or "") for b in bonds],
        np.linalg.norm(vectors, axis=1),
        convention=signs or "magnitudes",
        bond_lengths="standard",
        nh_length=nh_length,
    )


def backbone_rows(
    prediction: Prediction,
    vectors: NDArray[np.float64],
    bonds: Sequence[Coupling],
    *,
    model: int = 1,
    signs: str | None = None,
    nh_length: float,
) -> list[dict[str, Any]]:
    """The predicted coupling of every backbone bond given (from
    :func:`~kelfit_tools.io.structure.backbone_bonds`), at standard lengths."""
    atoms = [(b.atom_i or "", b.atom_j or "") for b in bonds]
    constants, scale = _backbone_scales(vectors, bonds, signs, nh_length)
    predicted = predicted_values(prediction, vectors, scale)
    return solve_rows(
        predicted,
        [b.label for b in bonds],
        model=model,
        couplings=bonds,
        types=[bond_type(a, b) for a, b in atoms],
        constants=list(constants),
        scale=list(scale),
    )


def _tensor(prediction: Prediction) -> dict[str, Any]:
    t = prediction.tensor()
    order = order_keys(prediction.order_matrix)
    return {
        **shape_keys(t),
        **euler_keys(t),
        "principal_values": list(t.principal_values),
        "principal_axes": [list(map(float, axis)) for axis in t.axes],
        **order,
        "aa": order["order_principal_values"][2],
        "nh_length": prediction.nh_length,
        "reference_constant_hz": prediction.reference_constant,
        "units": {
            "da": "Hz (N-H)",
            "dr": "Hz (N-H)",
            "dr_model": "Hz (N-H)",
            "principal_values": "Hz (N-H)",
            "euler": "degrees",
            "principal_axes": "unit vectors in the structure's frame",
            "order_matrix": DIMENSIONLESS,
            "order_principal_values": DIMENSIONLESS,
            "aa": DIMENSIONLESS,
            "nh_length": "angstrom",
            "reference_constant_hz": "Hz",
        },
    }


def _condition(prediction: Prediction, comparison: Comparison | None) -> dict[str, Any]:
    t = prediction.tensor()
    e = prediction.electrolyte
    out: dict[str, Any] = {
        **(e.as_dict() if e is not None else {}),
        "debye_length": e.debye_length() if e is not None else None,
        "net_charge": prediction.net_charge,
        "allowed": prediction.allowed,
        "da": t.da,
        "r": t.r,
        "principal_axes": [list(map(float, axis)) for axis in t.axes],
    }
    if comparison is not None:
        out["comparison"] = comparison.as_dict()
    return out


def _extent(values: Sequence[float]) -> list[float]:
    return [float(min(values)), float(max(values))]


def charge_report(
    predictions: Sequence[Prediction],
    comparisons: Sequence[Comparison | None],
    steric: Prediction | None = None,
) -> dict[str, Any]:
    """The JSON ``charge`` block: the prediction at each condition of a
    charged medium (the centre first), the spread over them (of Da, R, the
    unique axis's angle from the centre's and, against measured couplings,
    of Pearson r, the unique axis's angle from the fitted one and the Da
    ratio) and, with ``steric``, the uncharged prediction beside them."""
    centre = predictions[0].tensor()
    tensors = [p.tensor() for p in predictions]
    spread: dict[str, Any] = {
        "da": _extent([t.da for t in tensors]),
        "r": _extent([t.r for t in tensors]),
        "z_axis_from_centre_deg": _extent(
            [float(axis_angles(t.axes, centre.axes)[2]) for t in tensors]
        ),
    }
    compared_ = [c for c in comparisons if c is not None]
    if compared_:
        spread["pearson_r"] = _extent([c.pearson_r for c in compared_])
        spread["z_axis_to_fit_deg"] = _extent([c.axis_angles_deg[2] for c in compared_])
        spread["da_ratio"] = _extent([c.da_ratio for c in compared_])
    out: dict[str, Any] = {
        "conditions": [_condition(p, c) for p, c in zip(predictions, comparisons)],
        "spread": spread,
    }
    if steric is not None:
        out["steric"] = _condition(steric, None)
    return out


def prediction_report(
    prediction: Prediction,
    *,
    rows: Sequence[dict[str, Any]],
    comparison: Comparison | None = None,
    fitted: Tensor | None = None,
    source: dict[str, Any] | None = None,
    charge: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """Everything about one prediction, as plain JSON values.

    Args:
        prediction: the predicted alignment.
        rows: one dict per back-calculated coupling.
        comparison: against measured couplings and their fit.
        fitted: the fitted tensor the comparison was made with.
        source: what the prediction came from, copied in first.
        charge: the :func:`charge_report` of a charged medium.
    """
    out: dict[str, Any] = dict(source or {})
    medium = prediction.medium
    out["medium"] = {
        "name": medium.name,
        "shape": medium.shape,
        "concentration": prediction.concentration,
        "unit": medium.unit,
        "axis_p2": medium.axis_p2,
    }
    out["atoms"] = prediction.atoms
    out["orientations"] = prediction.orientations
    out["allowed"] = prediction.allowed
    out["tensor"] = _tensor(prediction)
    if comparison is not None and fitted is not None:
        out["comparison"] = comparison.as_dict()
        out["fitted"] = {
            "da": fitted.da,
            "r": fitted.r,
            "principal_axes": [list(map(float, axis)) for axis in fitted.axes],
        }
    if charge is not None:
        out["charge"] = charge
    out["couplings"] = list(rows)
    return out


@dataclass(frozen=True)
class Conformer:
    """One conformer of an ensemble or a trajectory, as the averages take it.

    Attributes:
        label: what names it in the per-conformer table (its model, or its
            frame, time and RMSD to the reference).
        predictions: its prediction in each medium (shape alone first, then
            each condition of a charged medium), turned into the reference's
            orientation so that the tensors average in one frame.
        values: its couplings back-calculated in each medium, from its own
            bonds and its own tensor (so they do not depend on the turn).
    """

    label: dict[str, Any]
    predictions: list[Prediction]
    values: list[NDArray[np.float64]]


@dataclass
class ConformerMeans:
    """Equally weighted means over conformers, taken in one pass with none
    kept: each medium's Saupe matrix, allowed share and couplings, and the
    per-conformer table (each conformer's own prediction in medium ``main``
    and, against the ``fitted`` measured couplings of a
    :func:`measured_fit`, its own comparison).

    Each mean moves as m += (x - m) / k, so conformers that are all alike
    give the one conformer's bits.
    """

    main: int = 0
    fitted: Any = None
    count: int = 0
    table: list[dict[str, Any]] = field(default_factory=list)
    first: list[Prediction] = field(default_factory=list)
    saupe: list[NDArray[np.float64]] = field(default_factory=list)
    allowed: list[float] = field(default_factory=list)
    values: list[NDArray[np.float64]] = field(default_factory=list)

    def add(self, conformer: Conformer) -> None:
        """Take one conformer into the means and the table."""
        self.count += 1
        k = float(self.count)
        if self.count == 1:
            self.first = list(conformer.predictions)
            self.saupe = [np.zeros((3, 3)) for _ in self.first]
            self.allowed = [0.0] * len(self.first)
            self.values = [np.zeros(len(v)) for v in conformer.values]
        for i, (p, v) in enumerate(zip(conformer.predictions, conformer.values)):
            self.saupe[i] = self.saupe[i] + (p.saupe_matrix - self.saupe[i]) / k
            self.allowed[i] += (p.allowed - self.allowed[i]) / k
            self.values[i] = self.values[i] + (v - self.values[i]) / k
        own = conformer.predictions[self.main]
        comparison = None
        if self.fitted is not None:
            comparison = compare(
                self.fitted.result.observed,
                conformer.values[self.main],
                own.tensor(),
                self.fitted.tensor,
            )
        self.table.append({**conformer.label, **_condition(own, comparison)})

    def predictions(self) -> list[Prediction]:
        """The mean prediction in each medium (the couplings of the mean
        tensor in one frame are the mean of the couplings)."""
        return [
            replace(p, saupe_matrix=s, allowed=a)
            for p, s, a in zip(self.first, self.saupe, self.allowed)
        ]


def _averaged(
    means: ConformerMeans,
    rows_for: Callable[[Prediction], list[dict[str, Any]]],
    source: dict[str, Any],
    ensemble: dict[str, Any],
) -> dict[str, Any]:
    """The report of conformers averaged: the mean tensor of the main
    medium, the couplings averaged over the conformers (in the rows that
    ``rows_for`` makes of the mean), their comparison with the measured
    ones, in a charged medium the ``charge`` block of the averaged
    prediction at each condition, and the ``ensemble`` block."""
    predictions, main, fitted = means.predictions(), means.main, means.fitted
    comparisons = [
        None if fitted is None
        else compare(fitted.result.observed, v, p.tensor(), fitted.tensor)
        for p, v in zip(predictions, means.values)
    ]  # fmt: skip
    rows = rows_for(predictions[main])
    for row, value in zip(rows, means.values[main]):
        row["calculated"] = float(value)
    block = None
    if main:
        block = charge_report(predictions[1:], comparisons[1:], predictions[0])
        if comparisons[0] is not None:
            block["steric"]["comparison"] = comparisons[0].as_dict()
    out = prediction_report(
        predictions[main], rows=rows, comparison=comparisons[main],
        fitted=None if fitted is None else fitted.tensor, source=source,
        charge=block,
    )  # fmt: skip
    out["ensemble"] = {**ensemble, "weights": "equal", "conformers": means.table}
    return out


def _frame_conformers(
    model_file: Any,
    topology: PathLike,
    trajectory: PathLike,
    frames: slice | None,
    stride: int,
    bonds: Sequence[Coupling],
    scale: Any,
    electrolytes: Sequence[Electrolyte | None],
    charge_file: PathLike | None,
    order: dict[str, Any],
) -> tuple[dict[str, Any], Iterator[Conformer]]:
    """The frames of a trajectory (of the topology ``model_file`` read from
    ``topology``) as conformers, and what the ``ensemble`` block says of
    them: those of ``frames`` (a slice of them, or all) at ``stride``.

    Each frame's heavy atoms (those of the topology's prediction, in its
    order) give its prediction in each medium, which is turned onto the
    topology's orientation by superposing the frame's backbone on it;
    ``bonds`` (matched to the topology) give its couplings, at ``scale``.
    Frames come one after another from the trajectory reader, and only the
    atoms used are read; nothing of a frame is kept.

    Raises:
        DataError: files that cannot be read, a topology that lacks atoms
            of the structure, or a backbone too small to superpose.
    """
    from ..charges import structure_charges
    from ..io.names import atom_key
    from ..io.trajectory import (
        UniverseIndex,
        coupling_atoms,
        frame_range,
        load_universe,
        read_frames,
        truncation_warning,
        whole_frames,
    )
    from ..superpose import BACKBONE, frame_superposer

    universe = load_universe(topology, trajectory)
    cut_short = truncation_warning(universe)
    if cut_short:
        notices.warn(cut_short)
    index = UniverseIndex(universe.atoms)
    heavy: list[int] = []
    for chain, residue, atom in heavy_sites(model_file):
        found = index.atom(
            chain.name, residue.seqid.num, residue.seqid.icode, atom_key(atom.name)
        )
        if found is None:
            raise DataError(
                f"MDAnalysis finds no atom {atom.name} in residue "
                f"{chain.name}/{residue.seqid.num} of the topology", topology
            )  # fmt: skip
        heavy.append(int(found))
    radii = atom_radii(heavy_atoms(model_file)[1])
    charges = [
        None if e is None
        else structure_charges(model_file, ph=e.ph, charge_file=charge_file)
        for e in electrolytes
    ]  # fmt: skip
    pairs = None
    if bonds:
        pairs = coupling_atoms(universe, bonds, None, resnames="use")
        if pairs.labels != [b.label for b in bonds]:
            raise DataError(
                "MDAnalysis matches other atoms of the couplings than the "
                "structure has", topology
            )  # fmt: skip
    superposer = frame_superposer(universe, BACKBONE, reference=load_universe(topology))
    chosen = frame_range(whole_frames(universe), frames, stride)
    used = [np.asarray(heavy, dtype=np.int64), superposer.indices]
    if pairs is not None:
        used.append(pairs.atom_indices())
    about = {
        "trajectory": os.fspath(trajectory),
        "stride": stride,
        "superposed": {
            "on": superposer.description,
            "atoms": superposer.atoms,
            "selection": superposer.selection,
        },
    }

    def conformers() -> Iterator[Conformer]:
        for frame in read_frames(universe, chosen, np.unique(np.concatenate(used))):
            xyz = np.asarray(frame.positions[heavy], dtype=np.float64)
            turn, rmsd = superposer.rotation(frame.positions)
            vectors = (
                np.zeros((0, 3)) if pairs is None else pairs.vectors(frame.positions)
            )
            own = []
            for e, q in zip(electrolytes, charges):
                try:
                    own.append(predict_order(
                        xyz, radii, charges=q, electrolyte=e, **order
                    ))  # fmt: skip
                except ValueError as exc:
                    raise DataError(f"frame {frame.index}: {exc}", trajectory) from None
            yield Conformer(
                {"frame": frame.index, "time": frame.time, "rmsd": rmsd},
                [replace(p, saupe_matrix=turn @ p.saupe_matrix @ turn.T) for p in own],
                [predicted_values(p, vectors, scale) for p in own],
            )

    return about, conformers()


def predict_structure(
    structure: PathLike,
    *,
    steric: str = "bicelle",
    concentration: float | None = None,
    orientations: int | None = None,
    model: int = 1,
    nh_length: float,
    couplings: PathLike | None = None,
    medium: str | None = None,
    chain: str | None = None,
    types: Sequence[str] | None = None,
    signs: str | None = None,
    charge: ChargeRanges | None = None,
    models: Sequence[int] | Literal["all"] | None = None,
    trajectory: PathLike | None = None,
    frames: slice | None = None,
    stride: int = 1,
) -> dict[str, Any]:
    """The alignment a steric medium gives a structure file's model, its
    couplings back-calculated and, with ``couplings``, compared with those
    and their fit: the report of :func:`prediction_report`, as ``kelfit
    predict`` gives it (notes and warnings said on the way).

    Without ``couplings``, every backbone bond of ``types`` (default all of
    :data:`~kelfit_tools.io.structure.BACKBONE_BONDS`) is back-calculated;
    a structure without any (a CA trace) gives the tensor alone, with a
    note.

    With ``charge`` the medium is charged: the prediction (tensor and
    couplings) is the one at the centre of its ranges, and the ``charge``
    block (:func:`charge_report`) holds it at every corner too, their
    spread, and the uncharged prediction for comparison.

    With ``models`` (several, or ``"all"``) every model is a conformer of
    one ensemble, equally populated and in one frame; with ``trajectory``
    (read with MDAnalysis, ``structure`` its topology) every frame of
    ``frames`` at ``stride`` is, turned onto the structure by superposing
    its backbone.  Each conformer is predicted on its own (the ``ensemble``
    block's ``conformers``), the couplings are averaged over them (each
    conformer's from its own tensor and bonds), and the tensor is their
    mean (:class:`ConformerMeans`); in a charged medium, each condition of
    the ranges is averaged so, and the ``charge`` block spreads over the
    averages.

    Raises:
        DataError: an unreadable structure, a medium out of range, ``types``
            that are not backbone bonds or that the structure lacks, couplings
            that cannot be compared (see :func:`measured_rows`), an unusable
            charge file, models that cannot be averaged, an unreadable
            trajectory or one whose topology does not match the structure,
            or no frame to predict.
    """
    from ..io.structure import BACKBONE_BONDS, backbone_bonds

    report = Preparation()
    model_file = structure_for_fit(structure, report)
    report.say()
    chosen = (
        list(range(1, len(model_file) + 1))
        if models == "all"
        else list(models or [model])
    )
    if trajectory is not None and chosen != [1]:
        raise ValueError("a trajectory's topology is its structure's model 1")
    order: dict[str, Any] = {
        "medium": steric,
        "concentration": concentration,
        "orientations": orientations,
        "nh_length": nh_length,
    }

    def predicted(electrolyte: Any = None, number: int = chosen[0]) -> Prediction:
        return structure_order(
            model_file, number, where=structure, electrolyte=electrolyte,
            charge_file=None if charge is None else charge.charge_file, **order,
        )  # fmt: skip

    def bonds_of(number: int) -> tuple[NDArray[np.float64], list[Coupling]]:
        """The model's backbone bonds of ``types``; none (said in a note)
        where it has none of all of them."""
        try:
            return backbone_bonds(model_file, types or tuple(BACKBONE_BONDS), number)
        except ValueError as exc:
            if types:
                raise DataError(
                    Advice(f"{{0}} without couplings: {exc}", Hint("types"))
                ) from None
            notices.note(
                "the structure has no backbone bond ("
                + ", ".join(BACKBONE_BONDS)
                + "; a CA trace?): the predicted tensor alone, no couplings"
            )
            return np.zeros((0, 3)), []

    def backbone(prediction: Prediction, number: int) -> list[dict[str, Any]]:
        vectors, bonds = bonds_of(number)
        if not bonds:
            return []
        return backbone_rows(
            prediction, vectors, bonds, model=number, signs=signs, nh_length=nh_length
        )

    fit_options: dict[str, Any] = {
        "chain": chain,
        "types": types,
        "nh_length": nh_length,
    }
    fit_options.update(signs=signs, medium=medium)
    source: dict[str, Any] = {
        "kelfit_version": __version__,
        "command": "predict",
        "input": {
            "structure": os.fspath(structure),
            "model": chosen[0],
            "couplings": None if couplings is None else os.fspath(couplings),
        },
    }
    electrolytes = [None] if charge is None else [None, *charge.conditions()]
    if trajectory is not None or len(chosen) > 1:
        matched = None
        if couplings:
            matched = measured_fit(
                model_file, couplings, model=chosen[0], also=chosen[1:], **fit_options
            )
        means = ConformerMeans(
            main=0 if charge is None else 1,
            fitted=None if matched is None else matched[1],
        )
        if trajectory is not None:
            if matched is None:
                vectors, bonds = bonds_of(1)
                scale: Any = _backbone_scales(vectors, bonds, signs, nh_length)[1]
            else:
                bonds, scale = matched[1].couplings, matched[1].result.scale
            about, each = _frame_conformers(
                model_file, structure, trajectory, frames, stride, bonds, scale,
                electrolytes, None if charge is None else charge.charge_file, order,
            )  # fmt: skip
            source["input"]["trajectory"] = os.fspath(trajectory)
        else:
            about = {"models": chosen}
            each = _model_conformers(
                chosen, electrolytes, predicted, bonds_of,
                matched, lambda v, b: _backbone_scales(v, b, signs, nh_length)[1],
            )  # fmt: skip
        for conformer in each:
            means.add(conformer)
        if not means.count:
            raise DataError(
                Advice("no frames to predict (check {0} and {1})", Hint("frames"),
                       Hint("stride"))
            )  # fmt: skip

        def rows_for(mean: Prediction) -> list[dict[str, Any]]:
            if matched is None:
                return backbone(mean, chosen[0])
            first = matched[0][0] if len(chosen) > 1 else matched[0]
            return measured_rows(
                model_file, mean, couplings or "", model=chosen[0],
                nh_length=nh_length, measured=(first, matched[1]),
            )[0]  # fmt: skip

        return _averaged(means, rows_for, source, about)

    plain = predicted()
    charged = [predicted(e) for e in electrolytes[1:]]
    prediction = charged[0] if charged else plain
    comparison = fitted = None
    if couplings:
        measured = measured_fit(model_file, couplings, model=chosen[0], **fit_options)
        rows, comparison, fitted = measured_rows(
            model_file, prediction, couplings, model=chosen[0], nh_length=nh_length,
            measured=measured,
        )  # fmt: skip
        comparisons: list[Comparison | None] = [
            compared(p, *measured)[1] for p in charged
        ]
    else:
        comparisons = [None] * len(charged)
        rows = backbone(prediction, chosen[0])
    block = None
    if charged:
        block = charge_report(charged, comparisons, plain)
        if couplings:
            block["steric"]["comparison"] = compared(plain, *measured)[1].as_dict()
    return prediction_report(
        prediction, rows=rows, comparison=comparison, fitted=fitted, source=source,
        charge=block,
    )  # fmt: skip


def _model_conformers(
    models: Sequence[int],
    electrolytes: Sequence[Electrolyte | None],
    predicted: Callable[[Electrolyte | None, int], Prediction],
    bonds_of: Callable[[int], tuple[NDArray[np.float64], list[Coupling]]],
    measured: tuple[NDArray[np.float64], Any] | None,
    scales: Callable[[NDArray[np.float64], list[Coupling]], Any],
) -> Iterator[Conformer]:
    """Each model as a conformer, in the structure's frame: its couplings
    those of ``measured`` (each model's bond vectors, the fit's scale), or
    else its own backbone bonds, which must be those of the first.

    Raises:
        DataError: models with different backbone bonds.
    """
    labels: list[str] | None = None
    for k, number in enumerate(models):
        own = [predicted(e, number) for e in electrolytes]
        if measured is not None:
            vectors, scale = measured[0][k], measured[1].result.scale
        else:
            vectors, bonds = bonds_of(number)
            scale = scales(vectors, bonds)
            names = [b.label for b in bonds]
            if labels is not None and names != labels:
                raise DataError("the models do not have the same backbone bonds: "
                                "their couplings cannot be averaged")  # fmt: skip
            labels = names
        yield Conformer(
            {"model": number}, own, [predicted_values(p, vectors, scale) for p in own]
        )


def render_prediction(report: dict[str, Any]) -> str:
    """The report as text, one quantity per line."""
    m = report["medium"]
    t = report["tensor"]
    kind = "Steric and electrostatic" if "charge" in report else "Steric"
    title = (
        f"{kind} alignment in {m['name']} ({m['shape']}s) at "
        f"{m['concentration']:g} {m['unit']}: {report['atoms']} heavy atoms, "
        f"{report['orientations']} orientations"
    )
    lines = [
        title,
        f"Da (Hz, N-H)     {t['da']:.4g}",
        f"R                {t['r']:.4f}",
        "Euler (deg)      " + ", ".join(f"{a:.2f}" for a in t["euler_deg"]),
        "Order matrix     "
        + ", ".join(f"{v:.4g}" for v in t["order_principal_values"])
        + " (principal values)",
        f"Positions left   {report['allowed']:.4f} (mean share over orientations)",
        f"Couplings        {len(report['couplings'])} back-calculated",
    ]
    charge = report.get("charge")
    if charge is not None:
        lines += _charge_lines(charge)
    ensemble = report.get("ensemble")
    if ensemble is not None:
        lines += _conformer_lines(ensemble)
    c = report.get("comparison")
    if c is not None:
        angles = ", ".join(f"{a:.1f}" for a in c["axis_angles_deg"])
        lines += [
            "",
            f"Against the {c['n']} measured couplings and their fit:",
            f"Pearson r        {c['pearson_r']:.4f}",
            f"Q                {c['q']:.4f} (prediction scaled by {c['scale']:.4g})",
            f"Axis angles      {angles} (x, y, z; degrees, predicted to fitted)",
            f"Da fitted/pred.  {c['da_ratio']:.4g}",
        ]
    return "\n".join(lines) + "\n"


def _charge_lines(charge: dict[str, Any]) -> list[str]:
    """The text of a report's ``charge`` block: each condition on a line
    (the centre, whose tensor the lines above give, first), the uncharged
    prediction beside them and the spread."""
    conditions = charge["conditions"]
    centre = conditions[0]
    medium = (
        f"Charged medium   {centre['charge_density']:+g} e/nm^2, "
        f"{centre['ionic_strength']:g} mM, pH {centre['ph']:g}, "
        f"{centre['temperature']:g} K (Debye length {centre['debye_length']:.1f} A); "
        f"molecule {centre['net_charge']:+.2f} e"
    )
    lines = [
        medium,
        "",
        "  sigma (e/nm^2)  I (mM)     pH      T (K)   Da (Hz)       R"
        + ("   Pearson r  z to fit" if "comparison" in centre else ""),
    ]
    rows = [("centre", c) for c in conditions[:1]] + [("", c) for c in conditions[1:]]
    rows.append(("steric", charge["steric"]))
    for label, c in rows:
        head = (
            f"  {'(shape alone)':>40}"
            if label == "steric"
            else f"  {c['charge_density']:>+14.4g}{c['ionic_strength']:>8.4g}"
            f"{c['ph']:>7.3g}{c['temperature']:>11.4g}"
        )
        line = f"{head}{c['da']:>10.4g}{c['r']:>8.3f}"
        if "comparison" in c:
            m = c["comparison"]
            line += f"{m['pearson_r']:>12.4f}{m['axis_angles_deg'][2]:>10.1f}"
        lines.append(line + ("  (centre)" if label == "centre" else ""))
    spread = charge["spread"]
    if len(conditions) > 1:
        text = (
            f"Spread           Da {spread['da'][0]:.4g} to {spread['da'][1]:.4g}, "
            f"R {spread['r'][0]:.3f} to {spread['r'][1]:.3f}, z axis up to "
            f"{spread['z_axis_from_centre_deg'][1]:.1f} deg from the centre's"
        )
        if "pearson_r" in spread:
            text += (
                f"; Pearson r {spread['pearson_r'][0]:.3f} to "
                f"{spread['pearson_r'][1]:.3f}, z to fit "
                f"{spread['z_axis_to_fit_deg'][0]:.1f} to "
                f"{spread['z_axis_to_fit_deg'][1]:.1f} deg, Da ratio "
                f"{spread['da_ratio'][0]:.3g} to {spread['da_ratio'][1]:.3g}"
            )
        lines.append(text)
    return lines


def _conformer_lines(ensemble: dict[str, Any]) -> list[str]:
    """The text of a report's ``ensemble`` block: each conformer's own
    prediction, above which the tensor and couplings are the averages."""
    conformers = ensemble["conformers"]
    compared_ = "comparison" in conformers[0]
    kind = "frame" if "trajectory" in ensemble else "model"
    where = ""
    if kind == "frame":
        on = ensemble["superposed"]
        where = (
            f" of {os.path.basename(ensemble['trajectory'])}, superposed on "
            f"{os.path.basename(on['on'])} over {on['atoms']} atoms ({on['selection']})"
        )
    lines = [
        (
            f"Conformers       {len(conformers)} {kind}"
            f"{'' if len(conformers) == 1 else 's'}{where}, equally "
            "weighted: the tensor above is their mean, the couplings their average"
        ),
        "",
        f"  {kind:>6}   Da (Hz)       R  positions"
        + ("   Pearson r  z to fit" if compared_ else ""),
    ]
    for c in conformers:
        line = f"  {c[kind]:>6}{c['da']:>10.4g}{c['r']:>8.3f}{c['allowed']:>11.4f}"
        if compared_:
            m = c["comparison"]
            line += f"{m['pearson_r']:>12.4f}{m['axis_angles_deg'][2]:>10.1f}"
        lines.append(line)
    return lines
