"""``kelfit fit``: fit the tensor of every medium and report it."""

from __future__ import annotations

import argparse
import os
from collections.abc import Sequence
from concurrent.futures import Executor
from dataclasses import dataclass, field
from functools import partial
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .. import __version__
from .._extras import INSTALL_HINT, MissingExtra, available
from ..bonds import NH_REFERENCE_LENGTH, SIGN_CONVENTIONS
from ..checks import check_count
from ..ensemble import EnsembleSummary, summarize_ensemble
from ..errors import DataError
from ..fitting import (
    FitResult,
    convergence_warning,
    fit,
    resolve_method,
    start_messages,
)
from ..io import read_table
from ..many import FitFailed, map_batches
from ..media import MediumFit, compare_media, fit_medium, result_statistics
from ..montecarlo import MonteCarloResult, monte_carlo
from ..outputs import Outputs
from ..prepare import (
    Medium,
    Preparation,
    fit_warnings,
    free_parameters,
    pick_media,
    read_media,
    structure_for_fit,
    structure_inputs,
)
from ..report.couplings import coupling_rows, is_parquet, rows_csv, write_parquet
from ..report.tensor import (
    comparison_report,
    fit_report,
    render_comparisons,
    render_fit,
)
from ..superpose import BACKBONE
from .common import (
    UsageError,
    check_sources,
    emit,
    executor_for,
    frame_slice,
    input_options,
    int_at_least,
    json_text,
    lengths,
    log,
    method_options,
    options_record,
    outputs_for,
    parallel_options,
    positive,
    quiet_options,
    report_preparation,
    seed,
    selection,
    selection_record,
    tensor_params,
    with_run_messages,
)
from .peers import (
    FROM_MODELS,
    PeerFit,
    add_peer_options,
    check_peer_options,
    domain_block,
    domain_media_for,
    refine,
    render_peers,
    structure_noise,
    write_axes,
)

__all__ = ["add_parser", "run"]


def _models(text: str) -> int | None:
    if text.lower() == "all":
        return None
    return int_at_least(1, "model must be 'all' or a number from 1")(text)


def add_parser(commands: Any) -> None:
    """Add ``fit`` to the subcommands."""
    p = commands.add_parser(
        "fit",
        parents=[
            quiet_options(),
            input_options("couplings: VARS or plain table, Xplor/CNS or NMR-STAR"),
            method_options(),
            parallel_options(),
        ],
        help="fit the tensor to a vector table or to a structure and couplings",
        description="Fit the tensor. Input: a vector table (x y z value [label]) "
        "or a structure with couplings of any bond types, in one or several "
        "alignment media.",
    )
    p.add_argument(
        "--models",
        type=_models,
        default=1,
        metavar="all|N",
        help="model of an ensemble to fit, or 'all' for each (default 1)",
    )
    p.add_argument("--offset", action="store_true", help="also fit a constant offset")
    p.add_argument(
        "--start",
        type=tensor_params("--start"),
        metavar="a1,a2,a3,Da,R[,offset]",
        help="start (angles in degrees; default: the linear least-squares optimum)",
    )
    p.add_argument(
        "--signs",
        choices=("auto", *SIGN_CONVENTIONS),
        default="auto",
        help="sign convention of the couplings (default: detected where the "
        "bond types tell; else magnitudes)",
    )
    p.add_argument(
        "--bond-lengths",
        choices=("structure", "standard"),
        default="structure",
        help="dipolar constants from the structure's distances (default) or "
        "from standard lengths per bond type",
    )
    p.add_argument(
        "--nh-length",
        type=positive,
        default=NH_REFERENCE_LENGTH,
        metavar="A",
        help=f"N-H length (angstrom) Da is normalised to (default {NH_REFERENCE_LENGTH})",
    )
    p.add_argument(
        "--unweighted",
        action="store_true",
        help="ignore the stated uncertainties",
    )
    p.add_argument(
        "--errors",
        type=int_at_least(2, "--errors takes a number of refits, at least 2"),
        metavar="K",
        help="estimate errors from K refits of perturbed data",
    )
    p.add_argument(
        "--bootstrap",
        action="store_true",
        help="with --errors: resample rows instead of adding noise",
    )
    p.add_argument(
        "--sigma",
        type=positive,
        metavar="S",
        help="every coupling's uncertainty (Hz), in place of the stated ones: "
        "the fit, its chi^2 and the --errors refits (noise and weights) all "
        "use it (default: each row's uncertainty, else the fit's RMSD as noise)",
    )
    p.add_argument("--seed", type=seed, help="random seed for --errors")
    p.add_argument("--json", action="store_true", help="print JSON instead of text")
    p.add_argument(
        "--out",
        metavar="FILE.csv",
        help="write one row per coupling (atoms, type, constant, observed, "
        "back-calculated, residuals, outlier) as CSV, or Parquet for FILE.parquet",
    )
    p.add_argument(
        "--plot",
        metavar="FILE",
        help="figure of the fit (with several media, one file each: FILE-1.png "
        "...); with --models all, the ensemble's figure",
    )
    p.add_argument("--title", help="title of the plot (default: the input files)")
    p.add_argument(
        "--report",
        metavar="FILE.html",
        help="write the whole report as one self-contained HTML page: tensor, "
        "statistics, figures and a sortable table of the couplings",
    )
    t = p.add_argument_group(
        "trajectories (needs MDAnalysis: pip install 'kelfit[md]')",
        "With --trajectory, --structure is the topology and every frame is "
        "fitted; --out writes one row per frame (CSV, or Parquet for "
        "FILE.parquet) and --plot draws Da, R and Q over time.",
    )
    t.add_argument(
        "--trajectory", metavar="FILE", help="any trajectory MDAnalysis reads"
    )
    t.add_argument(
        "--stride",
        type=int_at_least(1, "--stride takes a number of frames, at least 1"),
        default=1,
        metavar="N",
        help="fit every N-th frame (default 1)",
    )
    t.add_argument(
        "--frames",
        type=frame_slice,
        metavar="A:B",
        help="frames A to B-1, counted from 0 (either may be left out; "
        "negative counts from the end)",
    )

    def selection(text: str) -> Any:
        from ..superpose import parse_selection

        try:
            return parse_selection(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(f"--superpose: {exc}") from None

    s = p.add_argument_group(
        "superposition",
        "With --models all or --trajectory, every model or frame is first "
        "superposed on a reference, so that the tensors share one frame: by "
        "default model 1 or the run's first frame, over N, CA and C of the "
        "residues the couplings use.",
    )
    s.add_argument(
        "--reference",
        metavar="FILE",
        help="structure to superpose onto (default: model 1, or the first "
        "frame fitted)",
    )
    where = s.add_mutually_exclusive_group()
    where.add_argument(
        "--superpose",
        type=selection,
        metavar="SELECTION",
        help="atoms to superpose over: backbone (N, CA, C; the default), ca "
        "or heavy, optionally with residues: backbone:1-70, ca:A/1-70,B/5-20 "
        "(default: the residues the couplings use)",
    )
    where.add_argument(
        "--no-superpose",
        action="store_true",
        help="fit the models or frames as they are in the file",
    )
    add_peer_options(p)
    p.set_defaults(run=run)


@dataclass
class _Fit:
    """One fitted medium of one model."""

    result: FitResult
    model: int | None
    medium: MediumFit | None = None
    labels: list[str] = field(default_factory=list)
    errors: MonteCarloResult | None = None
    unmatched: list[dict[str, Any]] = field(default_factory=list)
    rmsd_ref: float | None = None
    peer: PeerFit | None = None


def _check(args: argparse.Namespace) -> None:
    check_sources(args, needs_couplings=True)
    if args.table and args.models != 1:
        raise UsageError("--models goes with --structure")
    if args.trajectory:
        if not args.structure:
            raise UsageError("--trajectory goes with --structure (its topology)")
        if args.models != 1 or args.errors or args.sigma:
            raise UsageError(
                "--models, --errors and --sigma do not go with --trajectory"
            )
        if args.build_hn:
            raise UsageError("--build-hn goes with a structure, not --trajectory")
        if args.report:
            raise UsageError("--report does not go with --trajectory")
    elif args.stride != 1 or args.frames is not None:
        raise UsageError("--stride and --frames go with --trajectory")
    if args.no_superpose and args.reference:
        raise UsageError("--reference and --no-superpose contradict each other")
    if (args.reference or args.superpose) and not (
        args.trajectory or (args.structure and args.models is None)
    ):
        raise UsageError(
            "--reference and --superpose go with --models all or --trajectory"
        )
    # --domain brings refits of its own when --errors does not say.
    check_peer_options(args)
    if args.bootstrap and not args.errors:
        raise UsageError("--bootstrap goes with --errors K")
    random = args.errors or args.free is not None or args.cross_validate
    if args.seed is not None and not random:
        raise UsageError("--seed goes with --errors K, --free or --cross-validate")
    if args.sigma and args.unweighted:
        raise UsageError("--sigma weights the fit; --unweighted ignores uncertainties")
    if args.plot and not available("matplotlib"):
        raise MissingExtra(f"--plot needs matplotlib: {INSTALL_HINT}")
    # The method that takes effect, so that the record names it.
    try:
        args.method = resolve_method(
            args.method, start=args.start is not None, fixed=bool(args.fix)
        )
    except ValueError as exc:
        raise UsageError(
            str(exc).replace("method 'powell'", "--method powell")
        ) from None


def _errors(
    args: argparse.Namespace,
    vectors: NDArray[np.float64],
    result: FitResult,
    rng: np.random.Generator,
    executor: Executor | None,
    vector_sets: NDArray[np.float64] | None = None,
) -> MonteCarloResult | None:
    if not args.errors:
        return None
    # The refits take the fit's own weighting and, for noise, its
    # uncertainties (--sigma already replaced them in the fit).
    return monte_carlo(
        vectors,
        result.observed,
        args.errors,
        perturbation="bootstrap" if args.bootstrap else "noise",
        scale=result.scale,
        offset=args.offset,
        result=result,
        seed=rng,
        executor=executor,
        progress=not args.quiet,
        structure_noise=structure_noise(args),
        vector_sets=vector_sets,
    )


def _fit_medium_task(options: dict[str, Any], item: tuple[Any, ...]) -> MediumFit:
    """One medium of one model: a task for any executor."""
    vectors, couplings, name = item
    return fit_medium(vectors, couplings, name=name, **options)


def _media(args: argparse.Namespace) -> list[Medium]:
    media = pick_media(read_media(args.couplings, args.format), args.medium)
    if len(args.couplings) > 1:
        log.info(
            "%d media from %d coupling files: %s",
            len(media),
            len(args.couplings),
            ", ".join(m.name for m in media),
        )
    return media


def _reference_model(args: argparse.Namespace) -> Any:
    """The first model of ``--reference``, or None."""
    if not args.reference:
        return None
    from ..io.structure import load_structure

    return load_structure(args.reference)[0]


def _structure_fits(
    args: argparse.Namespace, rng: np.random.Generator, executor: Executor | None
) -> list[_Fit]:
    media, parts = domain_media_for(args, _media(args))
    report = Preparation()
    structure = structure_for_fit(args.structure, report, build_hn=args.build_hn)
    numbers = range(1, len(structure) + 1) if args.models is None else [args.models]
    # Vectors of every model and medium first (quick), then the fits of all
    # of them at once, on every core or on the cluster.
    prepared = structure_inputs(
        structure,
        media,
        selection(args),
        report,
        models=list(numbers),
        chain=args.chain,
        strict_names=args.strict_names,
        offset=args.offset,
        superpose=None if args.no_superpose else args.superpose or BACKBONE,
        reference=_reference_model(args),
    )
    report_preparation(report)
    inputs = [(p.model, p.medium, p.matched) for p in prepared]
    options = {
        "convention": args.signs,
        "bond_lengths": args.bond_lengths,
        "nh_length": args.nh_length,
        "lengths": lengths(args),
        "offset": args.offset,
        "start": args.start,
        "weighted": not args.unweighted,
        "uncertainty": args.sigma,
        "method": args.method,
        "fixed": args.fix,
    }
    try:
        medium_fits = list(
            map_batches(
                _fit_medium_task,
                options,
                [(sv.vectors, sv.couplings, name) for _, name, sv in inputs],
                executor=executor,
                # A bar over an ensemble's models only, never for one fit.
                progress=not args.quiet and args.models is None,
                description="Fitting models",
            )
        )
    except FitFailed as exc:
        # Say which medium (and model) the data could not serve.
        number, name, _ = inputs[exc.index]
        where = f"medium {name!r}" + (f", model {number}" if number > 1 else "")
        path = next(m.path for m in media if m.name == name)
        raise DataError(f"{where}: {exc.reason}", path) from None
    fits: list[_Fit] = []
    ensemble = _ensemble_vectors(args, inputs)
    for (number, name, sv), mf, p in zip(inputs, medium_fits, prepared):
        mf, peer = refine(args, sv.vectors, mf, options, rng, parts)
        if number == numbers[0]:
            counts = ", ".join(f"{n} {t}" for t, n in mf.type_counts.items())
            where = f" ({name})" if name else ""
            log.info("using %d couplings%s: %s", mf.result.n, where, counts)
            for note in mf.notes:
                log.info("%s", note)
        for warning in mf.warnings:
            log.warning("%s", warning)
        if number == numbers[0]:
            for warning in fit_warnings(
                mf.result, peer.vectors, offset=args.offset, da_nh=mf.da_nh
            ):
                log.warning("%s: %s", name, warning)
        unmatched = [
            {"label": c.label, "line": c.line, "reason": why} for c, why in sv.unmatched
        ]
        fits.append(
            _Fit(
                result=mf.result,
                model=number,
                medium=mf,
                labels=[c.label for c in mf.couplings],
                errors=_errors(
                    args,
                    peer.vectors,
                    mf.result,
                    rng,
                    executor,
                    None if name not in ensemble else ensemble[name][:, peer.rows],
                ),
                unmatched=unmatched,
                rmsd_ref=p.rmsd_ref,
                peer=peer,
            )
        )
    return fits


def _ensemble_vectors(
    args: argparse.Namespace, inputs: list[tuple[int, str, Any]]
) -> dict[str, NDArray[np.float64]]:
    """Every model's vectors of each medium (M x N x 3), for
    --structure-noise models; the models must match the same couplings."""
    if args.structure_noise != FROM_MODELS:
        return {}
    stacks: dict[str, list[Any]] = {}
    for _, name, sv in inputs:
        stacks.setdefault(name, []).append(sv)
    out = {}
    for name, matched in stacks.items():
        labels = [c.label for c in matched[0].couplings]
        if any([c.label for c in m.couplings] != labels for m in matched[1:]):
            raise DataError(
                f"medium {name!r}: the models do not all supply the same "
                f"couplings, so --structure-noise {FROM_MODELS} cannot draw "
                "vectors from them"
            )
        out[name] = np.array([m.vectors for m in matched], dtype=np.float64)
    return out


def _table_fits(
    args: argparse.Namespace, rng: np.random.Generator, executor: Executor | None
) -> list[_Fit]:
    table = read_table(args.table)
    assert table.values is not None
    try:
        for warning in check_count(len(table.values), free_parameters(args.offset)):
            log.warning("%s", warning)
    except DataError as exc:
        raise DataError(str(exc), args.table) from None
    result = fit(
        table.vectors,
        table.values,
        args.start,
        offset=args.offset,
        sigma=args.sigma,
        method=args.method,
        fixed=args.fix,
    )
    unconverged = convergence_warning(result)
    for warning in [unconverged] if unconverged else []:
        log.warning("%s", warning)
    for warning in fit_warnings(result, table.vectors, offset=args.offset, da_nh=None):
        log.warning("%s", warning)
    if args.start is not None:
        linear = None
        if not args.fix:
            linear = fit(
                table.vectors, table.values, offset=args.offset, sigma=args.sigma
            )
        warnings, notes = start_messages(result, linear)
        for note in notes:
            log.info("%s", note)
        for warning in warnings:
            log.warning("%s", warning)
    return [
        _Fit(
            result=result,
            model=None,
            labels=table.labels,
            errors=_errors(args, table.vectors, result, rng, executor),
        )
    ]


def _source(args: argparse.Namespace) -> dict[str, Any]:
    if args.table:
        return {"table": args.table}
    couplings = args.couplings[0] if len(args.couplings) == 1 else args.couplings
    return {"structure": args.structure, "couplings": couplings}


def _report(f: _Fit) -> dict[str, Any]:
    report = fit_report(
        f.result,
        medium=f.medium,
        labels=None if f.medium else f.labels,
        errors=f.errors,
    )
    if f.medium is not None:
        report["unmatched"] = f.unmatched
    if f.peer is not None:
        report.update(f.peer.report)
    return report


def _by_model(fits: list[_Fit]) -> list[tuple[int | None, list[_Fit]]]:
    groups: dict[int | None, list[_Fit]] = {}
    for f in fits:
        groups.setdefault(f.model, []).append(f)
    return list(groups.items())


def _model_object(
    model: int | None, group: list[_Fit], domains: Sequence[str] = ()
) -> dict[str, Any]:
    out: dict[str, Any] = {}
    if model is not None:
        out["model"] = model
    if group[0].rmsd_ref is not None:
        out["rmsd_ref"] = group[0].rmsd_ref
    out["media"] = [_report(f) for f in group]
    # Media are compared like with like: with domains, each domain's
    # tensors across the media (domains are compared in "domains").
    kinds: dict[str | None, list[_Fit]] = {}
    for f in group:
        if f.medium is not None:
            kinds.setdefault(f.peer.domain if f.peer else None, []).append(f)
    out["comparisons"] = [
        c
        for with_media in kinds.values()
        if len(with_media) > 1
        for c in comparison_report(
            compare_media(
                [f.medium for f in with_media if f.medium],
                [None if f.errors is None else f.errors.matrices for f in with_media],
            )
        )
    ]
    if domains:
        out["domains"] = domain_block(
            [(f.peer, f.result, f.errors) for f in group if f.peer is not None],
            domains,
        )
    return out


def _ensembles(fits: list[_Fit]) -> list[tuple[str, EnsembleSummary]]:
    """One summary per medium over every model, when there are several."""
    by_medium: dict[str, list[_Fit]] = {}
    for f in fits:
        by_medium.setdefault(f.medium.name if f.medium else "", []).append(f)
    return [
        (
            name,
            summarize_ensemble(
                [f.result for f in group], [f.model or 0 for f in group]
            ),
        )
        for name, group in by_medium.items()
        if len(group) > 1
    ]


def _text(
    args: argparse.Namespace,
    fits: list[_Fit],
    ensembles: list[tuple[str, EnsembleSummary]],
) -> str:
    from ..report.ensemble import render_summary

    parts = []
    groups = _by_model(fits)
    for model, group in groups:
        if len(groups) > 1:
            rmsd = group[0].rmsd_ref
            shown = "" if rmsd is None else f" (RMSD {rmsd:.2f} A to the reference)"
            parts.append(f"Model {model}{shown}\n")
        obj = _model_object(model, group, args.domain or ())
        unit = "Hz" if args.structure else ""
        for f, report in zip(group, obj["media"]):
            text = render_fit(report, unit=unit)
            if f.peer is not None and f.peer.text:
                text = text.rstrip("\n") + "\n" + "\n".join(f.peer.text) + "\n"
            parts.append(text)
        if obj["comparisons"]:
            parts.append(render_comparisons(obj["comparisons"]))
        if "domains" in obj:
            parts.append(render_peers(obj["domains"]))
    for name, summary in ensembles:
        text = render_summary(summary)
        parts.append(
            text.replace("models\n", f"models ({name})\n", 1) if name else text
        )
    return "\n".join(parts)


def _payload(
    args: argparse.Namespace,
    fits: list[_Fit],
    ensembles: list[tuple[str, EnsembleSummary]],
    axes: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """The run's report as plain values: what --json prints and --report shows."""
    from ..report.ensemble import summary_json

    groups = _by_model(fits)
    payload: dict[str, Any] = {
        "kelfit_version": __version__,
        "command": "fit",
        "options": options_record(args),
        "input": _source(args),
    }
    if args.structure:
        chosen = selection_record(args)
        chosen["media"] = list(dict.fromkeys(f.medium.name for f in fits if f.medium))
        payload["selection"] = chosen
    if len(groups) == 1 and (args.table or args.models is not None):
        payload.update(_model_object(*groups[0], args.domain or ()))
    else:
        payload["models"] = [_model_object(m, g, args.domain or ()) for m, g in groups]
    if axes:
        payload["axes"] = axes
    if ensembles:
        payload["ensemble"] = [
            {"medium": name, **summary_json(summary)} for name, summary in ensembles
        ]
    return with_run_messages(payload)


def _json(
    args: argparse.Namespace,
    fits: list[_Fit],
    ensembles: list[tuple[str, EnsembleSummary]],
    axes: dict[str, Any] | None = None,
) -> str:
    return json_text(_payload(args, fits, ensembles, axes))


def _write_rows(outputs: Outputs, path: str, fits: Sequence[_Fit]) -> None:
    """Every coupling of every fit, as CSV or (``.parquet``) Parquet."""
    rows = [
        row
        for f in fits
        for row in coupling_rows(
            f.result,
            result_statistics(f.result, f.medium),
            model=f.model,
            medium=f.medium,
            labels=f.labels,
        )
    ]
    if is_parquet(path):
        outputs.write_with(path, partial(write_parquet, rows))
    else:
        outputs.write_text(path, rows_csv(rows))


def _plot_paths(path: str, count: int) -> list[str]:
    if count == 1:
        return [path]
    stem, ext = os.path.splitext(path)
    return [f"{stem}-{i}{ext}" for i in range(1, count + 1)]


def _default_title(args: argparse.Namespace, f: _Fit) -> str:
    if args.table:
        return os.path.basename(str(args.table))
    files = ", ".join(os.path.basename(c) for c in args.couplings)
    name = f"{os.path.basename(args.structure)}, {files}"
    if f.medium is not None and f.medium.name not in map(
        os.path.basename, args.couplings
    ):
        name += f"\n{f.medium.name}"
    return name


def run(args: argparse.Namespace) -> int:
    """Run ``kelfit fit``."""
    _check(args)
    outputs = outputs_for(args)
    if args.trajectory:
        from .fit_trajectory import run_trajectory

        return run_trajectory(args)
    rng = np.random.default_rng(args.seed)
    with executor_for(args) as executor:
        if args.table:
            fits = _table_fits(args, rng, executor)
        else:
            fits = _structure_fits(args, rng, executor)
    every_model = bool(args.structure) and args.models is None
    ensembles = _ensembles(fits) if every_model else []
    try:
        if args.out:
            _write_rows(outputs, args.out, fits)
        if args.plot and ensembles:
            from ..report.ensemble import plot_ensemble

            for (name, summary), path in zip(
                ensembles, _plot_paths(args.plot, len(ensembles))
            ):
                base = args.title or _default_title(args, fits[0]).split("\n")[0]
                outputs.write_with(
                    path,
                    partial(
                        plot_ensemble,
                        summary,
                        title=f"{base}\n{name}" if name else base,
                        format_from=path,
                    ),
                )
        elif args.plot:
            from ..report.figures import plot_medium

            for f, path in zip(fits, _plot_paths(args.plot, len(fits))):
                outputs.write_with(
                    path,
                    partial(
                        plot_medium,
                        f.result,
                        medium=f.medium,
                        labels=f.labels,
                        title=args.title or _default_title(args, f),
                        unit="Hz" if args.structure else None,
                        format_from=path,
                    ),
                )
        axes = None
        if args.axes or (args.domain and args.plot):
            first = fits[0].model or 1
            axes = write_axes(
                args,
                outputs,
                [
                    (f.medium.name, f.result, f.medium.couplings)
                    for f in fits
                    if f.medium is not None and (f.model or 1) == first
                ],
                model=first,
            )
        if args.report:
            from ..report.html import html_report

            outputs.write_text(
                args.report, html_report(_payload(args, fits, ensembles, axes))
            )
        emit(
            _json(args, fits, ensembles, axes)
            if args.json
            else _text(args, fits, ensembles)
        )
        for path in outputs.commit():
            log.info("wrote %s", path)
    finally:
        outputs.discard()
    return 0
