"""A whole fit as one call: what ``kelfit fit`` does, for a notebook too.

A :class:`FitRequest` names the inputs (a vector table, or a structure with
coupling files), the couplings' selection and the :class:`FitOptions`;
:func:`run_fit` reads, checks, fits every medium of every model asked for,
refines (outlier rejection, free set, cross-validation), estimates errors
and compares media and domains.  The :class:`FitRun` it returns holds all
of it as data, with the run's notes and warnings:
:mod:`kelfit_tools.report.run` turns it into text, JSON, CSV rows and the
HTML page.

Example::

    from kelfit_tools import FitRequest, FitOptions, run_fit
    from kelfit_tools.report.run import run_text

    run = run_fit(FitRequest(structure="1d3z.pdb", couplings=("nh.tab",),
                             options=FitOptions(errors=100, seed=1)))
    print(run_text(run))
    run.warnings
"""

from __future__ import annotations

import contextlib
import zlib
from collections.abc import Iterator, Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .average import AveragedRows, average_rows
from .bonds import bond_type
from .checks import check_count
from .cluster import quiet_cluster_logs, scheduler_address, scheduler_executor
from .domains import (
    DomainComparison,
    compare_domains,
    domain_media,
    parse_domain,
)
from .ensemble import EnsembleSummary, summarize_ensemble
from .errors import Advice, DataError, Hint, prefixed
from .fitting import (
    DesignRows,
    FitResult,
    convergence_warning,
    fit,
    resolve_method,
)
from .io import Coupling, read_restraints, read_table
from .io.matching import listed_couplings
from .many import FitFailed, map_batches
from .media import (
    MediumComparison,
    MediumFit,
    check_flip,
    compare_media,
    fit_medium_with,
    outside_r_note,
    result_statistics,
    start_worse_warning,
)
from .montecarlo import MonteCarloResult, check_trials, monte_carlo
from .notices import Notices
from .options import FROM_MODELS, FitOptions, check_tilt
from .prepare import (
    FitInput,
    Medium,
    Preparation,
    Selection,
    fit_warnings,
    free_parameters,
    pick_media,
    read_media,
    structure_for_fit,
    structure_inputs,
)
from .superpose import BACKBONE, AtomSelection
from .tensor import tensor_from_params
from .validation import (
    REJECT_WARN_SHARE,
    CrossValidation,
    FreeValidation,
    Rejection,
    check_threshold,
    cross_validate,
    free_mask,
    free_validation,
    reject_outliers,
)

__all__ = [
    "DOMAIN_REFITS",
    "FROM_MODELS",
    "FitOptions",
    "FitRequest",
    "FitRun",
    "MediumRun",
    "Validation",
    "check_request",
    "run_executor",
    "run_fit",
]

#: Refits for the domains' comparisons when ``errors`` does not say.
DOMAIN_REFITS = 100


@dataclass(frozen=True)
class FitRequest:
    """What to fit: a vector table, or a structure with its couplings.

    Attributes:
        table: a vector table (x y z value [label]); or
        structure: a PDB or mmCIF file, with
        couplings: coupling files (one medium per file, or several in one).
        format: the coupling files' format (None: detected).
        media: only these media, by name or number from 1.
        selection: which couplings (bond types, atoms, excluded residues,
            duplicates, renumbering).
        chain: the chain of couplings that name none.
        strict_names: leave out couplings whose residue name differs from
            the structure's.
        build_hn: place amide protons from the backbone first.
        models: the model to fit (from 1), or None for every model.
        superpose: atoms every model is superposed over before its fit
            (None: not superposed), with several models or a reference.
        reference: a structure to superpose onto (default: model 1).
        options: how the fits are made.
        recorded: further settings a front end records with the run's
            options (such as the files it writes), by name.
    """

    table: str | None = None
    structure: str | None = None
    couplings: Sequence[str] = ()
    format: str | None = None
    media: Sequence[str] | None = None
    selection: Selection = field(default_factory=Selection)
    chain: str | None = None
    strict_names: bool = False
    build_hn: bool = False
    models: int | None = 1
    superpose: AtomSelection | None = BACKBONE
    reference: str | None = None
    options: FitOptions = field(default_factory=FitOptions)
    recorded: Mapping[str, object] = field(default_factory=dict)


@dataclass
class Validation:
    """Outlier rejection, the free set and cross-validation of one medium.

    Attributes:
        medium, domain: the medium's own name and the domain (None without
            domains).
        vectors: the vectors of the rows the reported fit uses.
        rows: which of the matched rows those are (indices).
        rejection: the outliers left out, and the couplings they index.
        free, free_labels, free_source: the free set's Q, its couplings'
            labels, and ``"fraction"`` or ``"file"``.
        cross_validation: the folds' free Q.
    """

    medium: str
    domain: str | None
    vectors: NDArray[np.float64] | AveragedRows
    rows: NDArray[np.int64]
    rejection: Rejection | None = None
    rejected_from: list[Coupling] = field(default_factory=list)
    free: FreeValidation | None = None
    free_labels: list[str] = field(default_factory=list)
    free_source: str = ""
    cross_validation: CrossValidation | None = None


@dataclass
class MediumRun:
    """One fitted medium (or domain) of one model, or a vector table's fit."""

    result: FitResult
    model: int | None
    medium: MediumFit | None = None
    labels: list[str] = field(default_factory=list)
    errors: MonteCarloResult | None = None
    unmatched: list[dict[str, Any]] = field(default_factory=list)
    rmsd_ref: float | None = None
    validation: Validation | None = None


@dataclass
class FitRun:
    """Everything a run found.

    Attributes:
        request: what was asked for.
        fits: every medium (or domain) of every model, in order.
        method: the method that took effect.
        refits: the Monte Carlo refits made for each fit (None: none).
        validation_seed: the root of the free sets and folds (None: none
            drawn).
        comparisons: the media compared, by model (None for a table).
        domains: every pair of domains of every medium, by model.
        ensembles: one summary per medium over every model.
        averaged: with ``average``, one fit per medium (or domain) to the
            couplings averaged over the models (``model`` None).
        members: how many models (times chains) each averaged row is the
            mean of (0 without ``average``).
        notes, warnings: what a reader should and must know.
        structure_models: how many models the structure holds (0: no
            structure).
    """

    request: FitRequest
    fits: list[MediumRun]
    method: str
    refits: int | None
    validation_seed: int | None = None
    comparisons: dict[int | None, list[MediumComparison]] = field(default_factory=dict)
    domains: dict[int | None, list[DomainComparison]] = field(default_factory=dict)
    ensembles: list[tuple[str, EnsembleSummary]] = field(default_factory=list)
    averaged: list[MediumRun] = field(default_factory=list)
    members: int = 0
    notes: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)
    structure_models: int = 0

    def by_model(self) -> list[tuple[int | None, list[MediumRun]]]:
        """The fits grouped by model, in order."""
        groups: dict[int | None, list[MediumRun]] = {}
        for f in self.fits:
            groups.setdefault(f.model, []).append(f)
        return list(groups.items())


#: Settings as messages point at them.
_ERRORS = Hint("errors", python="errors=K")
_ALL_MODELS = Hint("models", "all", python="models=None")
_AVERAGE = Hint("average", python="average=True")


def _refuse(template: str, *hints: Hint) -> None:
    raise ValueError(Advice(template, *hints))


def check_request(request: FitRequest) -> str:
    """Refuse settings that contradict each other or lack what they need;
    returns the method the fits take (see
    :func:`~kelfit_tools.fitting.resolve_method`).

    Raises:
        ValueError: the first fault found, as :class:`~kelfit_tools.errors.Advice`.
    """
    if bool(request.table) == bool(request.structure):
        raise ValueError("a FitRequest takes either table or structure")
    if request.structure and not request.couplings:
        raise ValueError("a FitRequest with a structure needs couplings")
    if request.table and request.couplings:
        raise ValueError("couplings go with a structure, not a table")
    o = request.options
    if request.table and request.models != 1:
        _refuse("{0} goes with {1}", Hint("models"), Hint("structure"))
    if o.structure_noise is not None:
        if not o.errors:
            _refuse("{0} goes with {1}", Hint("structure_noise"), _ERRORS)
        if o.structure_noise == FROM_MODELS and request.models is not None:
            noise = Hint("structure_noise", FROM_MODELS,
                         python=f"structure_noise={FROM_MODELS!r}")  # fmt: skip
            _refuse("{0} goes with {1}", noise, _ALL_MODELS)
    if o.errors is not None:
        check_trials(o.errors)
    if o.structure_noise not in (None, FROM_MODELS):
        check_tilt(float(o.structure_noise))
    if o.reject is not None:
        check_threshold(o.reject)
    if o.domains and len(o.domains) < 2:
        _refuse("{0} needs two domains or more to compare", Hint("domains"))
    # Domains bring refits of their own when errors does not say.
    refits = o.errors or o.domains
    if o.bootstrap and not refits:
        _refuse("{0} goes with {1}", Hint("bootstrap"), _ERRORS)
    if o.seed is not None and not (refits or o.free is not None or o.cross_validate):
        _refuse("{0} goes with {1}, {2} or {3}", Hint("seed"), _ERRORS,
                Hint("free"), Hint("cross_validate"))  # fmt: skip
    if o.average:
        _check_average(request)
    if o.sigma and not o.weighted:
        _refuse("{0} weights the fit; {1} ignores uncertainties", Hint("sigma"),
                Hint("weighted", python="weighted=False"))  # fmt: skip
    return resolve_method(o.method, start=o.start is not None, fixed=bool(o.fixed))


def _check_average(request: FitRequest) -> None:
    """Refuse what an averaged fit cannot take: it needs the models of a
    structure, and it is one linear solve of rows that are no one vector's
    (no start, fixed parameters, Powell or tilted vectors)."""
    o = request.options
    average = _AVERAGE
    if request.table or request.models is not None:
        _refuse("{0} goes with {1}", average, _ALL_MODELS)
    if o.method == "powell" or o.start is not None or o.fixed:
        _refuse(
            "{0} fits the averaged couplings by the linear solve only: not "
            "with {1}, a start or fixed parameters",
            average,
            Hint("method", "powell", python="method='powell'"),
        )
    if o.structure_noise is not None:
        _refuse("{0} does not go with {1}: the averaged rows have no one "
                "vector to tilt", average, Hint("structure_noise"))  # fmt: skip


def _rejection_warnings(medium: str, done: Rejection) -> list[str]:
    """A warning when outlier rejection left out more than
    :data:`~kelfit_tools.validation.REJECT_WARN_SHARE` of a medium's
    couplings: then the threshold is low or the model does not fit."""
    total, left = done.kept.size, len(done.excluded)
    if left <= REJECT_WARN_SHARE * total:
        return []
    advice = Advice(
        f"outlier rejection left out {left} of {total} couplings "
        f"({100 * left / total:.0f}%, more than {100 * REJECT_WARN_SHARE:.0f}%): "
        "{0} is a low threshold, or the tensor does not describe these data",
        Hint("reject", f"{done.threshold:g}"),
    )
    return [advice.after(f"medium {medium!r}: ")]


@contextlib.contextmanager
def run_executor(
    options: FitOptions, executor: Executor | None, record: Notices
) -> Iterator[Executor | None]:
    """Where a run's fits go: the executor given, else the Dask cluster of
    ``options.scheduler`` (or ``$KELFIT_SCHEDULER``), noted in ``record``,
    else None (every core here)."""
    address = None if executor is not None else scheduler_address(options.scheduler)
    if address is None:
        yield executor
        return
    with scheduler_executor(address) as cluster, quiet_cluster_logs():
        record.note(f"fitting on the Dask cluster at {address}")
        yield cluster


def run_fit(request: FitRequest, executor: Executor | None = None) -> FitRun:
    """Read, check and fit what ``request`` names; see the module's text.

    Args:
        request: the inputs and options.
        executor: where the fits run (None: ``request.options.scheduler``,
            else every core here).

    Raises:
        DataError: input that cannot be used.
        ValueError: a request that cannot be acted on.
    """
    method = check_request(request)
    record = Notices()
    options = request.options
    with record.active():
        refits = options.errors
        if options.domains and not refits:
            refits = DOMAIN_REFITS
            record.note(
                Advice(
                    "the domains' comparisons take their errors from "
                    f"{DOMAIN_REFITS} Monte Carlo refits ({{0}} sets how many)",
                    _ERRORS,
                )
            )
        run = FitRun(
            request, [], method, refits, notes=record.notes, warnings=record.warnings
        )
        rng = np.random.default_rng(options.seed)
        with run_executor(options, executor, record) as where:
            if request.table:
                run.fits = _table_fits(run, rng, where, record)
            else:
                run.fits = _structure_fits(run, rng, where, record)
        _compare(run)
        if request.structure and request.models is None:
            run.ensembles = _ensembles(run.fits)
    return run


def _fit_options(run: FitRun) -> FitOptions:
    """The settings every medium's fit takes, with the method settled."""
    return replace(run.request.options, method=run.method)


def _errors(
    run: FitRun,
    vectors: NDArray[np.float64] | DesignRows,
    result: FitResult,
    rng: np.random.Generator,
    executor: Executor | None,
    vector_sets: NDArray[np.float64] | None = None,
    compared: bool = False,
) -> MonteCarloResult | None:
    """The refits of one fit; with ``compared`` (the fit is compared with
    another medium's or domain's, refit by refit) every refit is kept."""
    if not run.refits:
        return None
    o = run.request.options
    if isinstance(vectors, DesignRows) and o.structure_noise is not None:
        raise DataError(
            Advice(
                "{0} tilts or draws single bond vectors, and couplings averaged "
                "over a symmetric oligomer's chains have none",
                Hint("structure_noise"),
            )
        )
    # The refits take the fit's own weighting and, for noise, its
    # uncertainties (sigma already replaced them in the fit).
    return monte_carlo(
        vectors,
        result.observed,
        run.refits,
        perturbation="bootstrap" if o.bootstrap else "noise",
        scale=result.scale,
        offset=o.offset,
        result=result,
        seed=rng,
        executor=executor,
        workers=o.workers,
        progress=o.progress,
        structure_noise=o.tilt(),
        vector_sets=vector_sets,
        keep_refits=o.keep_refits or compared,
    )


def _fit_medium_task(options: FitOptions, item: tuple[Any, ...]) -> MediumFit:
    """One medium of one model: a task for any executor."""
    vectors, couplings, name = item
    return fit_medium_with(vectors, couplings, options, name=name)


def _media(request: FitRequest, record: Notices) -> list[Medium]:
    media = pick_media(read_media(request.couplings, request.format), request.media)
    if len(request.couplings) > 1:
        record.note(
            f"{len(media)} media from {len(request.couplings)} coupling files: "
            + ", ".join(m.name for m in media)
        )
    return media


def _domain_media(
    domains: Sequence[str], media: Sequence[Medium]
) -> tuple[list[Medium], dict[str, tuple[str, str]]]:
    """The media to fit: each split into its domains when domains are given.

    Returns the media and, for a domain's part, its (medium, domain) by
    the part's name.

    Raises:
        DataError: domains that overlap or hold no coupling.
    """
    if not domains:
        return list(media), {}
    try:
        parts = domain_media(media, [parse_domain(d) for d in domains])
    except ValueError as exc:
        raise DataError(str(exc)) from None
    return [m for m, _, _ in parts], {m.name: (name, d) for m, name, d in parts}


def _structure_fits(
    run: FitRun, rng: np.random.Generator, executor: Executor | None, record: Notices
) -> list[MediumRun]:
    request = run.request
    media, parts = _domain_media(request.options.domains, _media(request, record))
    report = Preparation()
    assert request.structure is not None
    structure = structure_for_fit(request.structure, report, build_hn=request.build_hn)
    run.structure_models = len(structure)
    numbers = (
        range(1, len(structure) + 1) if request.models is None else [request.models]
    )
    reference = None
    if request.reference:
        from .io.structure import load_structure

        reference = load_structure(request.reference)[0]
    # Vectors of every model and medium first (quick), then the fits of all
    # of them at once, on every core or on the cluster.
    prepared = structure_inputs(
        structure,
        media,
        request.selection,
        report,
        models=list(numbers),
        chain=request.chain,
        strict_names=request.strict_names,
        offset=request.options.offset,
        superpose=request.superpose,
        reference=reference,
    )
    report.say()
    inputs = [(p.model, p.medium, p.matched) for p in prepared]
    sources = [_source(p) for p in prepared]
    for _, _, sv in inputs:
        check_flip(
            request.options.flip,
            [bond_type(c.atom_i or "", c.atom_j or "") for c in sv.couplings],
        )
    options = _fit_options(run)
    try:
        medium_fits = list(
            map_batches(
                _fit_medium_task,
                options,
                [
                    (source, sv.couplings, name)
                    for (_, name, sv), source in zip(inputs, sources)
                ],
                executor=executor,
                workers=request.options.workers,
                # A bar over an ensemble's models only, never for one fit.
                progress=request.options.progress and request.models is None,
                description="Fitting models",
            )
        )
    except FitFailed as exc:
        # Say which medium (and model) the data could not serve.
        number, name, _ = inputs[exc.index]
        where = f"medium {name!r}" + (f", model {number}" if number > 1 else "")
        path = next(m.path for m in media if m.name == name)
        raise DataError(f"{where}: {exc.reason}", path) from None
    fits: list[MediumRun] = []
    ensemble = _ensemble_vectors(request.options, inputs)
    for (number, name, sv), mf, p, source in zip(
        inputs, medium_fits, prepared, sources
    ):
        mf, checked = _refine(run, source, mf, options, rng, parts)
        fitted = _fitted_rows(mf, checked.vectors)
        if checked.rejection is not None:
            record.warn_all(_rejection_warnings(name, checked.rejection))
        if number == numbers[0]:
            counts = ", ".join(f"{n} {t}" for t, n in mf.type_counts.items())
            where = f" ({name})" if name else ""
            record.note(f"using {mf.result.n} couplings{where}: {counts}")
            record.note_all(mf.notes)
        record.warn_all(mf.warnings)
        if number == numbers[0]:
            for warning in fit_warnings(
                mf.result,
                fitted,
                offset=request.options.offset,
                da_nh=mf.da_nh,
            ):
                record.warn(prefixed(f"{name}: ", warning))
        vector_sets = None if name not in ensemble else ensemble[name][:, checked.rows]
        fits.append(
            MediumRun(
                result=mf.result,
                model=number,
                medium=mf,
                labels=[c.label for c in mf.couplings],
                errors=_errors(
                    run,
                    fitted,
                    mf.result,
                    rng,
                    executor,
                    vector_sets,
                    compared=len(media) > 1,
                ),
                unmatched=[
                    {"label": c.label, "line": c.line, "reason": why}
                    for c, why in sv.unmatched
                ],
                rmsd_ref=p.rmsd_ref,
                validation=checked,
            )
        )
    if request.options.average:
        run.averaged = _averaged_fits(run, prepared, (rng, executor), parts, record)
    return fits


def _source(p: FitInput) -> NDArray[np.float64] | AveragedRows:
    """What one model's medium is fitted to: its vectors, or its rows
    averaged over the chains of a symmetric oligomer."""
    if p.members is None:
        return p.matched.vectors
    return average_rows(p.members, symmetric=True)


def _fitted_rows(mf: MediumFit, vectors: Any) -> Any:
    """What a medium's fit was made of, for its validation, conditioning and
    refits: its design rows where it fitted averaged couplings, else its
    vectors."""
    return vectors if mf.design is None else mf.design


def _same_couplings(name: str, matched: Sequence[Any], hint: Hint, use: str) -> None:
    """Refuse models that do not all supply the same couplings of a medium:
    nothing can be drawn or averaged across them."""
    labels = [c.label for c in matched[0].couplings]
    if any([c.label for c in m.couplings] != labels for m in matched[1:]):
        raise DataError(
            Advice(
                f"medium {name!r}: the models do not all supply the same "
                f"couplings, so {{0}} cannot {use} them",
                hint,
            )
        )


def _averaged_fits(
    run: FitRun,
    prepared: Sequence[FitInput],
    where: tuple[np.random.Generator, Executor | None],
    parts: dict[str, tuple[str, str]],
    record: Notices,
) -> list[MediumRun]:
    """One fit per medium to the couplings averaged over every model (and
    chain): each coupling's design row averaged, then the medium's fit,
    refinement and errors as for one model."""
    rng, executor = where
    options = _fit_options(run)
    groups: dict[str, list[FitInput]] = {}
    for p in prepared:
        groups.setdefault(p.medium, []).append(p)
    out = []
    for name, group in groups.items():
        _same_couplings(name, [p.matched for p in group], _AVERAGE, "average")
        members = [
            m
            for p in group
            for m in ([p.matched.vectors] if p.members is None else p.members)
        ]
        rows = average_rows(
            members, symmetric=any(p.members is not None for p in group)
        )
        run.members = rows.members
        sv = group[0].matched
        try:
            mf = fit_medium_with(rows, sv.couplings, options, name=name)
        except ValueError as exc:
            raise DataError(f"medium {name!r}, averaged: {exc}") from None
        mf, checked = _refine(run, rows, mf, options, rng, parts)
        fitted = _fitted_rows(mf, checked.vectors)
        if checked.rejection is not None:
            record.warn_all(_rejection_warnings(f"{name}, averaged", checked.rejection))
        for warning in fit_warnings(
            mf.result, fitted, offset=options.offset, da_nh=mf.da_nh
        ):
            record.warn(prefixed(f"{name}, averaged: ", warning))
        out.append(
            MediumRun(
                result=mf.result,
                model=None,
                medium=mf,
                labels=[c.label for c in mf.couplings],
                errors=_errors(run, fitted, mf.result, rng, executor),
                validation=checked,
            )
        )
    return out


def _ensemble_vectors(
    options: FitOptions, inputs: list[tuple[int, str, Any]]
) -> dict[str, NDArray[np.float64]]:
    """Every model's vectors of each medium (M x N x 3), for structural
    noise drawn from the models; the models must match the same couplings."""
    if options.structure_noise != FROM_MODELS:
        return {}
    stacks: dict[str, list[Any]] = {}
    for _, name, sv in inputs:
        stacks.setdefault(name, []).append(sv)
    out = {}
    drawn = Hint(
        "structure_noise", FROM_MODELS, python=f"structure_noise={FROM_MODELS!r}"
    )
    for name, matched in stacks.items():
        _same_couplings(name, matched, drawn, "draw vectors from")
        out[name] = np.array([m.vectors for m in matched], dtype=np.float64)
    return out


def _table_fits(
    run: FitRun, rng: np.random.Generator, executor: Executor | None, record: Notices
) -> list[MediumRun]:
    request, o = run.request, run.request.options
    assert request.table is not None
    table = read_table(request.table)
    assert table.values is not None
    try:
        record.warn_all(check_count(len(table.values), free_parameters(o.offset)))
    except DataError as exc:
        raise DataError(str(exc), request.table) from None
    start = None if o.start is None else np.asarray(o.start, dtype=np.float64)
    fixed = None if o.fixed is None else dict(o.fixed)
    result = fit(
        table.vectors,
        table.values,
        start,
        offset=o.offset,
        sigma=o.sigma,
        method=run.method,
        fixed=fixed,
    )
    unconverged = convergence_warning(result)
    if unconverged:
        record.warn(unconverged)
    record.warn_all(fit_warnings(result, table.vectors, offset=o.offset, da_nh=None))
    outside = outside_r_note(result) if start is not None else None
    if outside:
        record.note(outside)
    if start is not None and not fixed:
        linear = fit(table.vectors, table.values, offset=o.offset, sigma=o.sigma)
        worse = start_worse_warning(result, linear)
        if worse:
            record.warn(worse)
    return [
        MediumRun(
            result=result,
            model=None,
            labels=table.labels,
            errors=_errors(run, table.vectors, result, rng, executor),
        )
    ]


# ---------------------------------------------------------------- validation


def _free_rows(
    options: FitOptions,
    couplings: Sequence[Coupling],
    rng: np.random.Generator | None,
) -> NDArray[np.bool_] | None:
    if options.free is not None:
        assert rng is not None
        return free_mask(len(couplings), options.free, rng)
    if options.free_set:
        listed = read_restraints(options.free_set)
        mask = np.array(listed_couplings(listed, couplings), dtype=bool)
        if not mask.any():
            raise DataError(
                "no coupling of the fit is in the free set", options.free_set
            )
        return mask
    return None


def _validation_root(run: FitRun, rng: np.random.Generator) -> int:
    """The run's root of free sets and folds, drawn once (recorded in the
    options as ``validation_seed``)."""
    if run.validation_seed is None:
        run.validation_seed = int(rng.integers(0, 2**63))
    return run.validation_seed


def _factors(mf: MediumFit) -> NDArray[np.float64]:
    return result_statistics(mf.result, mf).factors


def _refit(
    mf: MediumFit,
    vectors: NDArray[np.float64] | AveragedRows,
    keep: NDArray[np.bool_],
    options: FitOptions,
) -> MediumFit:
    """The medium refitted on some of its rows, by the one path every
    medium takes, in the sign convention the whole medium chose."""
    return fit_medium_with(
        vectors[keep],
        [c for c, k in zip(mf.couplings, keep) if k],
        replace(options, signs=mf.convention),
        name=mf.name,
    )


def _refine(
    run: FitRun,
    vectors: NDArray[np.float64] | AveragedRows,
    mf: MediumFit,
    fit_options: FitOptions,
    rng: np.random.Generator,
    parts: dict[str, tuple[str, str]],
) -> tuple[MediumFit, Validation]:
    """Outlier rejection, the free set and cross-validation of one medium's
    fit; the fit the report then shows (of the kept, working rows).

    Raises:
        DataError: a free set or rejection that leaves too few couplings.
    """
    o = run.request.options
    medium, domain = parts.get(mf.name, (mf.name, None))
    rows = np.arange(len(mf.couplings))
    checked = Validation(medium, domain, vectors, rows)
    try:
        if o.reject is not None:
            labels = [c.label for c in mf.couplings]
            checked.rejection = reject_outliers(
                _fitted_rows(mf, vectors),
                mf.result,
                o.reject,
                labels=labels,
                factors=_factors(mf),
            )
            checked.rejected_from = list(mf.couplings)
            if checked.rejection.excluded:
                kept = checked.rejection.kept
                mf = _refit(mf, vectors, kept, fit_options)
                vectors, rows = vectors[kept], rows[kept]
        # Every model of an ensemble draws the same free set and folds for
        # a medium: they come from the medium's name and the run's root.
        draws = None
        if o.free is not None or o.cross_validate is not None:
            draws = np.random.default_rng(
                np.random.SeedSequence(
                    [_validation_root(run, rng), zlib.crc32(mf.name.encode())]
                )
            )
        free = _free_rows(o, mf.couplings, draws)
        if free is not None:
            checked.free = free_validation(
                _fitted_rows(mf, vectors), mf.result, free, factors=_factors(mf)
            )
            checked.free_labels = [c.label for c, f in zip(mf.couplings, free) if f]
            checked.free_source = "fraction" if o.free is not None else "file"
            mf = _refit(mf, vectors, ~free, fit_options)
            vectors, rows = vectors[~free], rows[~free]
        if o.cross_validate is not None:
            assert draws is not None
            checked.cross_validation = cross_validate(
                _fitted_rows(mf, vectors),
                mf.result,
                o.cross_validate,
                draws,
                factors=_factors(mf),
            )
    except ValueError as exc:
        raise DataError(f"medium {mf.name!r}: {exc}") from None
    checked.vectors, checked.rows = vectors, rows
    return mf, checked


# ---------------------------------------------------------------- comparisons


def _compare(run: FitRun) -> None:
    """Media compared like with like (with domains, each domain's tensors
    across the media), and every pair of domains of every medium."""
    for model, group in run.by_model():
        kinds: dict[str | None, list[MediumRun]] = {}
        for f in group:
            if f.medium is not None:
                domain = f.validation.domain if f.validation else None
                kinds.setdefault(domain, []).append(f)
        run.comparisons[model] = [
            c
            for alike in kinds.values()
            if len(alike) > 1
            for c in compare_media(
                [f.medium for f in alike if f.medium],
                [None if f.errors is None else f.errors.matrices for f in alike],
            )
        ]
        if run.request.options.domains:
            run.domains[model] = _domain_pairs(group)


def _domain_pairs(group: Sequence[MediumRun]) -> list[DomainComparison]:
    by_medium: dict[str, list[MediumRun]] = {}
    for f in group:
        if f.validation is not None and f.validation.domain is not None:
            by_medium.setdefault(f.validation.medium, []).append(f)
    pairs = []
    for medium, items in by_medium.items():
        for i, a in enumerate(items):
            for b in items[i + 1 :]:
                refits = None
                if (
                    a.errors is not None
                    and b.errors is not None
                    and a.errors.matrices is not None
                    and b.errors.matrices is not None
                ):
                    refits = (a.errors.matrices, b.errors.matrices)
                assert a.validation is not None and b.validation is not None
                pairs.append(
                    compare_domains(
                        tensor_from_params(a.result.params),
                        tensor_from_params(b.result.params),
                        names=(a.validation.domain or "", b.validation.domain or ""),
                        medium=medium,
                        refits=refits,
                    )
                )
    return pairs


def _ensembles(fits: list[MediumRun]) -> list[tuple[str, EnsembleSummary]]:
    """One summary per medium over every model, when there are several."""
    by_medium: dict[str, list[MediumRun]] = {}
    for f in fits:
        by_medium.setdefault(f.medium.name if f.medium else "", []).append(f)
    return [
        (
            name,
            summarize_ensemble(
                [f.result for f in group],
                [f.model or 0 for f in group],
                reference_constant=group[0].medium.reference_constant
                if group[0].medium
                else 1.0,
            ),
        )
        for name, group in by_medium.items()
        if len(group) > 1
    ]
