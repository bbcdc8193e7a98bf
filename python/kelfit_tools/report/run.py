"""A :class:`~kelfit_tools.run.FitRun` as a report: text, the JSON payload
(what ``kelfit fit --json`` prints), CSV rows, figures, the viewers' axes and
the HTML page.

Example::

    run = run_fit(request)
    print(run_text(run))
    payload = run_payload(run)          # the JSON report, as a dict
    open("fit.html", "w").write(html_report(payload))
"""

from __future__ import annotations

import dataclasses
import math
import os
from collections.abc import Callable, Sequence
from functools import partial
from typing import TYPE_CHECKING, Any

import numpy as np

from .. import __version__
from ..bonds import NH_REFERENCE_LENGTH, reference_constant
from ..domains import DomainComparison, in_domain, parse_domain
from ..errors import Advice, Hint, printable
from ..io.tables import Coupling
from ..media import result_statistics
from ..outputs import Outputs
from ..prepare import Selection
from ..run import FitRequest, FitRun, MediumRun, Validation
from ..tensor import degree_of_order
from .couplings import coupling_rows, is_parquet, rows_csv, write_parquet
from .tensor import comparison_report, fit_report, render_comparisons, render_fit

if TYPE_CHECKING:
    from ..superpose import FrameSuperposer
    from ..trajectory import AveragedFrames, FrameBasis
    from .frames import FrameSummary

__all__ = [
    "domain_plot_path",
    "frames_payload",
    "frames_text",
    "plain",
    "run_payload",
    "run_rows",
    "run_text",
    "selection_json",
    "write_axes",
    "write_plots",
    "write_rows",
]


def plain(value: object) -> object:
    """A setting's value as plain JSON: arrays and tuples as lists, sets
    sorted, anything else that JSON cannot hold as its text."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, np.ndarray):
        return [plain(v) for v in value.tolist()]
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (set, frozenset)):
        return sorted(plain(v) for v in value)  # type: ignore[type-var]  # one option's members are alike
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, slice):
        start = "" if value.start is None else value.start
        stop = "" if value.stop is None else value.stop
        return f"{start}:{stop}"
    return str(value)


def selection_json(
    chosen: Selection,
    media: Sequence[str] | None,
    chain: str | None,
    strict_names: bool,
) -> dict[str, object]:
    """Which couplings were asked for, as the report records it."""
    return {
        "types": None if chosen.types is None else list(chosen.types),
        "atoms": None if chosen.atoms is None else list(chosen.atoms),
        "exclude": sorted(chosen.exclude),
        "duplicates": chosen.duplicates,
        "renumber": chosen.renumber,
        "media": None if media is None else list(media),
        "chain": chain,
        "strict_names": bool(strict_names),
    }


def _options(run: FitRun) -> dict[str, object]:
    """The settings as they took effect: the front end's record when it
    gave one, else the request's own fields; the method, refits and the
    validation's root as the run settled them."""
    request = run.request
    if request.recorded:
        record = dict(request.recorded)
    else:
        record = {
            name: plain(getattr(request, name))
            for name in FitRequest.__dataclass_fields__
            if name not in ("options", "recorded", "selection")
        }
        o = request.options
        record.update(
            (name, plain(getattr(o, name))) for name in o.__dataclass_fields__
        )
    record["method"] = run.method
    record["errors"] = run.refits
    if run.validation_seed is not None:
        record["validation_seed"] = run.validation_seed
    return dict(sorted(record.items()))


def _source(request: FitRequest) -> dict[str, Any]:
    if request.table:
        return {"table": request.table}
    couplings = request.couplings
    return {
        "structure": request.structure,
        "couplings": couplings[0] if len(couplings) == 1 else list(couplings),
    }


def _number(value: float | None) -> float | None:
    """A number as JSON holds it: None for one that does not exist (a ratio
    to a zero R, say)."""
    return None if value is None or not math.isfinite(value) else float(value)


def _atoms(c: Coupling) -> str:
    return f"{c.atom_i or ''}-{c.atom_j or ''}"


def _validation_json(v: Validation) -> dict[str, Any]:
    out: dict[str, Any] = {}
    if v.domain is not None:
        out["domain"] = v.domain
        out["domain_of"] = v.medium
    done = v.rejection
    if done is not None:
        out["rejected"] = {
            "threshold": done.threshold,
            "measure": done.measure,
            "q_before": _number(done.q_before),
            "q_after": _number(done.q_after),
            "excluded": [
                {"label": e.label, "line": v.rejected_from[e.index].line,
                 "atoms": _atoms(v.rejected_from[e.index]),
                 "deviation": e.deviation, "q_before": _number(e.q_before),
                 "q_after": _number(e.q_after)}
                for e in done.excluded
            ],
        }  # fmt: skip
    if v.free is not None:
        free = v.free.free
        out["free"] = {
            "n_free": int(free.sum()),
            "n_work": int((~free).sum()),
            "q_free": _number(v.free.q_free),
            "q_work": _number(v.free.q_work),
            "free": list(v.free_labels),
            "source": v.free_source,
        }
    cv = v.cross_validation
    if cv is not None:
        out["cross_validation"] = {
            "folds": cv.folds,
            "q_free": [_number(float(q)) for q in cv.q_free],
            "q_mean": _number(cv.q_mean),
            "q_sd": _number(cv.q_sd),
            "q_pooled": _number(cv.q_pooled),
        }
    return out


def _validation_text(v: Validation) -> list[str]:
    lines = []
    done = v.rejection
    if done is not None:
        lines.append(
            f"  rejected         {len(done.excluded)} beyond {done.threshold:g} "
            f"normalised sigma; Q {done.q_before:.4f} -> {done.q_after:.4f}"
        )
        for e in done.excluded:
            name = f"{e.label} {_atoms(v.rejected_from[e.index])}"
            lines.append(
                f"    {name:<24s} {e.deviation:+7.2f} ({done.measure}); "
                f"Q {e.q_before:.4f} -> {e.q_after:.4f}"
            )
    if v.free is not None:
        n_free = int(v.free.free.sum())
        lines.append(
            f"  free set         {n_free} couplings left out: free Q "
            f"{v.free.q_free:.4f} (working Q {v.free.q_work:.4f}, "
            f"{int((~v.free.free).sum())} couplings)"
        )
    cv = v.cross_validation
    if cv is not None:
        lines.append(
            f"  cross-validation {cv.folds}-fold free Q {cv.q_mean:.4f} ± "
            f"{cv.q_sd:.4f} (pooled {cv.q_pooled:.4f})"
        )
    return lines


def _medium_json(f: MediumRun, word: Callable[[str], str]) -> dict[str, Any]:
    report = fit_report(
        f.result,
        medium=f.medium,
        labels=None if f.medium else f.labels,
        errors=f.errors,
    )
    if f.medium is not None:
        report["notes"] = [word(m) for m in f.medium.notes]
        report["warnings"] = [word(m) for m in f.medium.warnings]
        report["unmatched"] = f.unmatched
    if f.validation is not None:
        report.update(_validation_json(f.validation))
    return report


def _domain_json(c: DomainComparison) -> dict[str, Any]:
    out: dict[str, Any] = {
        "medium": c.medium,
        "domains": [c.first, c.second],
        "rotation": {
            "matrix": c.rotation.matrix.tolist(),
            "axis": list(c.rotation.axis),
            "angle_deg": c.rotation.angle_deg,
            "euler_deg": list(c.rotation.euler_deg),
            "euler_convention": "Q = Rz(a1) Rx(a2) Rz(a3), applied to the second domain",
        },
        "axis_angles_deg": dict(zip("xyz", c.axis_angles_deg)),
        "da_ratio": _number(c.da_ratio),
        "r_ratio": _number(c.r_ratio),
        "scalar_product": c.scalar_product,
        "generalised_angle_deg": c.generalised_angle_deg,
        "gdo_ratio": _number(c.gdo_ratio),
        "gdo_lower": c.gdo_lower,
        "gdo_meaning": c.gdo_meaning,
    }
    if c.refits:
        assert c.axis_angles_sd_deg is not None and c.euler_sd_deg is not None
        out["errors"] = {
            "refits": c.refits,
            "rotation_spread_deg": c.rotation_spread_deg,
            "rotation_angle_sd_deg": c.rotation_angle_sd,
            "euler_sd_deg": list(c.euler_sd_deg),
            "axis_angles_sd_deg": dict(zip("xyz", c.axis_angles_sd_deg)),
            "da_ratio_sd": _number(c.da_ratio_sd),
            "r_ratio_sd": _number(c.r_ratio_sd),
            "scalar_product_sd": c.scalar_product_sd,
            "generalised_angle_sd_deg": c.generalised_angle_sd_deg,
            "gdo_ratio_sd": _number(c.gdo_ratio_sd),
        }
    return out


def _model_json(
    run: FitRun,
    model: int | None,
    group: list[MediumRun],
    word: Callable[[str], str] = str,
) -> dict[str, Any]:
    out: dict[str, Any] = {}
    if model is not None:
        out["model"] = model
    if group[0].rmsd_ref is not None:
        out["rmsd_ref"] = group[0].rmsd_ref
    out["media"] = [_medium_json(f, word) for f in group]
    out["comparisons"] = comparison_report(run.comparisons.get(model, []))
    domains = run.request.options.domains
    if domains:
        out["domains"] = {
            "definitions": {d.partition("=")[0]: d.partition("=")[2] for d in domains},
            "pairs": [_domain_json(c) for c in run.domains.get(model, [])],
        }
    return out


def run_payload(
    run: FitRun,
    *,
    notes: bool = True,
    axes: dict[str, Any] | None = None,
    word: Callable[[str], str] = str,
) -> dict[str, Any]:
    """The run's report as plain values: what ``kelfit fit --json`` prints
    and the HTML page shows.

    Args:
        notes: include the run's notes (``kelfit fit -q`` keeps none).
        axes: the ``axes`` block :func:`write_axes` returned.
        word: how each warning and note is worded (a front end words the
            settings they point at by its own names; see
            :class:`~kelfit_tools.errors.Advice`).
    """
    from .ensemble import summary_json

    request = run.request
    groups = run.by_model()
    payload: dict[str, Any] = {
        "kelfit_version": __version__,
        "command": "fit",
        "options": _options(run),
        "input": _source(request),
    }
    if request.structure:
        payload["selection"] = selection_json(
            request.selection,
            list(dict.fromkeys(f.medium.name for f in run.fits if f.medium)),
            request.chain,
            request.strict_names,
        )
    if len(groups) == 1 and (request.table or request.models is not None):
        payload.update(_model_json(run, *groups[0], word))
    else:
        payload["models"] = [_model_json(run, m, g, word) for m, g in groups]
    if axes:
        payload["axes"] = axes
    if run.ensembles:
        payload["ensemble"] = [
            {"medium": name, **summary_json(summary)} for name, summary in run.ensembles
        ]
    if run.averaged:
        payload["averaged"] = {
            "members": run.members,
            "media": [_medium_json(f, word) for f in run.averaged],
        }
    payload["warnings"] = [word(m) for m in run.warnings]
    payload["notes"] = [word(m) for m in run.notes] if notes else []
    return payload


def _render_domains(block: dict[str, Any]) -> str:
    """The text of a ``domains`` block."""
    lines = ["Between domains:"]
    for p in block["pairs"]:
        e = p.get("errors")
        rot = p["rotation"]

        def pm(
            value: float, key: str, digits: int = 1, e: dict[str, Any] | None = e
        ) -> str:
            text = f"{value:.{digits}f}"
            return text + (f" ± {e[key]:.{digits}f}" if e else "")

        lines.append(f"  {p['medium']}: {p['domains'][1]} against {p['domains'][0]}")
        spread = f" (spread {e['rotation_spread_deg']:.1f})" if e else ""
        lines.append(
            f"    rotation of {p['domains'][1]} onto {p['domains'][0]}'s frame: "
            f"{pm(rot['angle_deg'], 'rotation_angle_sd_deg')} deg{spread} about "
            + " ".join(f"{a:+.3f}" for a in rot["axis"])
        )
        euler = " ".join(f"{a:.1f}" for a in rot["euler_deg"])
        euler_sd = " ".join(f"{a:.1f}" for a in e["euler_sd_deg"]) if e else ""
        lines.append(
            f"    Euler (deg, z-x-z) {euler}" + (f"  (sd {euler_sd})" if e else "")
        )
        angles = ", ".join(
            f"{k} {v:.1f}" + (f" ± {e['axis_angles_sd_deg'][k]:.1f}" if e else "")
            for k, v in p["axis_angles_deg"].items()
        )
        lines.append(f"    axis angles (deg) {angles}")
        lines.append(
            f"    Da ratio {pm(p['da_ratio'], 'da_ratio_sd', 3)}, R ratio "
            f"{pm(p['r_ratio'], 'r_ratio_sd', 3)}"
        )
        lines.append(
            f"    normalised scalar product {pm(p['scalar_product'], 'scalar_product_sd', 3)}; "
            f"generalised angle {pm(p['generalised_angle_deg'], 'generalised_angle_sd_deg')} deg"
        )
        if p.get("gdo_ratio") is not None:
            higher = next(d for d in p["domains"] if d != p["gdo_lower"])
            lines.append(
                f"    GDO ratio {pm(p['gdo_ratio'], 'gdo_ratio_sd', 3)} ({p['gdo_lower']} "
                f"over {higher}): {p['gdo_meaning']}"
            )
    return "\n".join(lines) + "\n"


def run_text(run: FitRun, word: Callable[[str], str] = str) -> str:
    """The run's report as text: every fit, the comparisons of media and
    domains, and the ensembles' summaries (``word`` as for
    :func:`run_payload`)."""
    from .ensemble import render_summary

    parts = []
    groups = run.by_model()
    unit = "Hz" if run.request.structure else ""
    for model, group in groups:
        if len(groups) > 1:
            rmsd = group[0].rmsd_ref
            shown = "" if rmsd is None else f" (RMSD {rmsd:.2f} A to the reference)"
            parts.append(f"Model {model}{shown}\n")
        elif run.structure_models > 1:
            # One model of an ensemble fitted by default: say which.
            parts.append(
                word(
                    Advice(
                        f"Model {model} of the {run.structure_models} in the "
                        "structure ({0} fits each)\n",
                        Hint("models", "all", python="models=None"),
                    )
                )
            )
        obj = _model_json(run, model, group)
        for f, report in zip(group, obj["media"]):
            text = render_fit(report, unit=unit, word=word)
            extra = [] if f.validation is None else _validation_text(f.validation)
            if extra:
                text = text.rstrip("\n") + "\n" + "\n".join(extra) + "\n"
            parts.append(text)
        if obj["comparisons"]:
            parts.append(render_comparisons(obj["comparisons"]))
        if "domains" in obj:
            parts.append(_render_domains(obj["domains"]))
    for name, summary in run.ensembles:
        parts.append(render_summary(summary, medium=name))
    if run.averaged:
        models = len(groups)
        chains = run.members // models
        over = f"{models} models" + (f" x {chains} chains" if chains > 1 else "")
        parts.append(
            f"Averaged couplings ({over}): one tensor for each coupling's "
            "design row averaged over them\n"
        )
    for f in run.averaged:
        text = render_fit(_medium_json(f, word), unit=unit, word=word)
        extra = [] if f.validation is None else _validation_text(f.validation)
        if extra:
            text = text.rstrip("\n") + "\n" + "\n".join(extra) + "\n"
        parts.append(text)
    # Media, residue and file names come from the inputs.
    return printable("\n".join(parts), lines=True)


def run_rows(run: FitRun) -> list[dict[str, Any]]:
    """One row per coupling of every fit (atoms, type, constant, observed,
    back-calculated, residuals, outlier)."""
    return [
        row
        for f in [*run.fits, *run.averaged]
        for row in coupling_rows(
            f.result,
            result_statistics(f.result, f.medium),
            model=f.model,
            medium=f.medium,
            labels=f.labels,
        )
    ]


def write_rows(run: FitRun, outputs: Outputs, path: str) -> None:
    """:func:`run_rows` as CSV or (``.parquet``) Parquet."""
    rows = run_rows(run)
    if is_parquet(path):
        outputs.write_with(path, partial(write_parquet, rows))
    else:
        outputs.write_text(path, rows_csv(rows))


def _plot_paths(path: str, count: int) -> list[str]:
    if count == 1:
        return [path]
    stem, ext = os.path.splitext(path)
    return [f"{stem}-{i}{ext}" for i in range(1, count + 1)]


def _default_title(request: FitRequest, f: MediumRun) -> str:
    if request.table:
        return os.path.basename(str(request.table))
    files = ", ".join(os.path.basename(c) for c in request.couplings)
    name = f"{os.path.basename(str(request.structure))}, {files}"
    if f.medium is not None and f.medium.name not in map(
        os.path.basename, request.couplings
    ):
        name += f"\n{f.medium.name}"
    return name


def write_plots(
    run: FitRun, outputs: Outputs, path: str, title: str | None = None
) -> None:
    """The figure of every fit (several: ``path-1.png`` ...), or with every
    model of an ensemble, the ensemble's figure of each medium."""
    request = run.request
    if run.ensembles:
        from .ensemble import plot_ensemble

        paths = _plot_paths(path, len(run.ensembles))
        for (name, summary), where in zip(run.ensembles, paths):
            base = title or _default_title(request, run.fits[0]).split("\n")[0]
            outputs.write_with(
                where,
                partial(
                    plot_ensemble,
                    summary,
                    title=f"{base}\n{name}" if name else base,
                    format_from=where,
                ),
            )
        return
    from .figures import plot_medium

    for f, where in zip(run.fits, _plot_paths(path, len(run.fits))):
        outputs.write_with(
            where,
            partial(
                plot_medium,
                f.result,
                medium=f.medium,
                labels=f.labels,
                title=title or _default_title(request, f),
                unit="Hz" if request.structure else None,
                format_from=where,
                errors=f.errors,
            ),
        )


def write_axes(
    run: FitRun,
    outputs: Outputs,
    axes: str | None,
    plot: str | None = None,
    title: str | None = None,
) -> dict[str, Any]:
    """Write the principal axes of every medium (or domain) of the first
    model fitted to ``axes`` (.pdb, .pml or .cxc) and, with domains and a
    ``plot``, the domain figure; returns the JSON ``axes`` block."""
    from ..io.structure import load_structure
    from .axes import axes_text, axis_set, coupling_centre

    request = run.request
    model = run.fits[0].model or 1
    fits = [
        (f.medium.name, f.result, f.medium.couplings)
        for f in run.fits
        if f.medium is not None and (f.model or 1) == model
    ]
    structure = load_structure(str(request.structure))
    chosen = structure[model - 1]
    sets = [
        axis_set(
            name,
            result.tensor(),
            coupling_centre(chosen, couplings, chain=request.chain),
        )
        for name, result, couplings in fits
    ]
    block: dict[str, Any] = {}
    if axes:
        outputs.write_text(axes, axes_text(axes, sets))
        block = {
            "path": axes,
            "sets": [
                {"name": s.name, "centre": list(s.centre),
                 "axes": s.axes.tolist(), "principal_values": list(s.values)}
                for s in sets
            ],
        }  # fmt: skip
    if request.options.domains and plot:
        _plot_domains(run, outputs, chosen, sets, plot, title)
    return block


def domain_plot_path(path: str) -> str:
    """Where the domain figure goes beside the fit's figures."""
    stem, ext = os.path.splitext(path)
    return f"{stem}-domains{ext}"


def _plot_domains(
    run: FitRun,
    outputs: Outputs,
    model: Any,
    sets: Sequence[Any],
    plot: str,
    title: str | None,
) -> None:
    from .axes import AxisSet, plot_domain_axes

    domains = [parse_domain(d) for d in run.request.options.domains]
    trace, owner = [], []
    for chain in model:
        for residue in chain:
            ca = residue.find_atom("CA", "*")
            if ca is None:
                continue
            trace.append((ca.pos.x, ca.pos.y, ca.pos.z))
            probe = Coupling(
                residue.seqid.num,
                "CA",
                residue.seqid.num,
                "CA",
                0.0,
                chain_i=chain.name,
                chain_j=chain.name,
            )
            owner.append(next((d.name for d in domains if in_domain(probe, d)), ""))
    # One figure for the first medium: its domains' axes.
    first = sets[: len(domains)]
    shown = [
        AxisSet(d.name, s.centre, s.axes, s.values) for d, s in zip(domains, first)
    ]
    path = domain_plot_path(plot)
    structure = os.path.basename(str(run.request.structure))
    plot_domain_axes(
        np.array(trace, dtype=np.float64),
        owner,
        shown,
        outputs.path_for(path),
        title=title or f"{structure}: domains {', '.join(d.name for d in domains)}",
        format_from=path,
    )


# ---------------------------------------------------------------- trajectories


def _superposition(
    superposer: FrameSuperposer | None, summary: FrameSummary
) -> dict[str, Any] | None:
    if superposer is None:
        return None
    low, high = summary.rmsd_ref or (None, None)
    return {
        "reference": superposer.description,
        "selection": superposer.selection,
        "atoms": superposer.atoms,
        "rmsd_ref": {"min": low, "max": high},
    }


def frames_text(
    trajectory: str,
    stride: int,
    method: str,
    fixed: Sequence[str],
    summary: FrameSummary,
    count: int,
    superposer: FrameSuperposer | None,
    *,
    basis: str = "",
    averaged: AveragedFrames | None = None,
    nh_length: float = NH_REFERENCE_LENGTH,
) -> str:
    """A trajectory fit as text: the frames, the basis of Da, Da, R, Q and
    the degree of order over them, and the superposition; then the fit to
    the couplings averaged over the frames, when there is one (its Da is
    Da(N-H) at ``nh_length``, as the frames')."""
    from .tensor import method_description

    every = f", every {stride}" if stride != 1 else ""
    lines = [
        (
            f"{summary.frames} frames fitted ({summary.first} to {summary.last}{every}) "
            f"of {os.path.basename(trajectory)}, {count} couplings each"
        ),
        f"Method: {method_description(method, list(fixed))}",
        *([f"Basis: {basis}"] if basis else []),
        "",
        f"{'':4}{'mean':>10}{'sd':>10}",
    ]
    for name, (mean, sd), digits in (
        ("Da", summary.da, 3),
        ("R", summary.r, 4),
        ("Q", summary.q, 4),
    ):
        lines.append(f"{name:4}{mean:>10.{digits}f}{sd:>10.{digits}f}")
    mean, sd = summary.gdo
    lines.append(f"{'GDO':4}{mean:>10.3e}{sd:>10.3e}")
    lines.append("")
    if superposer is None:
        lines.append("Frames not superposed: the axes turn with the molecule.")
    else:
        low, high = summary.rmsd_ref or (math.nan, math.nan)
        lines.append(
            f"Superposed on {superposer.description} over {superposer.atoms} "
            f"atoms ({superposer.selection}); RMSD to it {low:.3f} to "
            f"{high:.3f} A"
        )
    if averaged is not None:
        lines += ["", _averaged_frames_text(averaged, nh_length)]
    return printable("\n".join(lines) + "\n", lines=True)


def frames_payload(
    request: FitRequest,
    trajectory: str,
    stride: int,
    method: str,
    summary: FrameSummary,
    count: int,
    superposer: FrameSuperposer | None,
    *,
    basis: FrameBasis | None = None,
    averaged: AveragedFrames | None = None,
) -> dict[str, Any]:
    """A trajectory fit as plain values (the JSON report, without the run's
    warnings and notes), with the ``averaged`` block of the fit to the
    couplings averaged over the frames, when there is one."""
    scaled = (
        {}
        if basis is None
        else {
            "da_basis": basis.basis,
            "bond_lengths": basis.bond_lengths,
            "sign_convention": basis.convention,
            "nh_length": basis.nh_length,
        }
    )
    return {
        "kelfit_version": __version__,
        "command": "fit",
        "options": {**request.recorded, "method": method},
        "selection": selection_json(
            request.selection, request.media, request.chain, request.strict_names
        ),
        "input": {
            "structure": request.structure,
            "trajectory": trajectory,
            "couplings": request.couplings[0],
        },
        "couplings": count,
        "frames": summary.frames,
        "first_frame": summary.first,
        "last_frame": summary.last,
        "stride": stride,
        "superposition": _superposition(superposer, summary),
        **scaled,
        **{
            name: {"mean": mean, "sd": sd}
            for name, (mean, sd) in (
                ("da", summary.da),
                ("r", summary.r),
                ("q", summary.q),
                ("gdo", summary.gdo),
            )
        },
        **(
            {}
            if averaged is None
            else {
                "averaged": _averaged_frames_json(
                    averaged, NH_REFERENCE_LENGTH if basis is None else basis.nh_length
                )
            }
        ),
    }


def _averaged_gdo(averaged: AveragedFrames, nh_length: float) -> float:
    """The generalized degree of order of the averaged fit's tensor, whose
    Da is Da(N-H) at ``nh_length``: dimensionless, as each frame's."""
    t = averaged.result.tensor()
    return float(degree_of_order(t.da, t.r, reference_constant(nh_length)))


def _averaged_frames_json(averaged: AveragedFrames, nh_length: float) -> dict[str, Any]:
    """The ``averaged`` block of a trajectory's JSON report: the fit to the
    couplings averaged over its frames, its degree of order, and how it
    converges."""
    return {
        "members": averaged.frames,
        "gdo": _averaged_gdo(averaged, nh_length),
        "media": [fit_report(averaged.result)],
        "convergence": plain(dataclasses.asdict(averaged.convergence)),
    }


def _averaged_frames_text(averaged: AveragedFrames, nh_length: float) -> str:
    """The fit to the couplings averaged over a trajectory's frames, as
    text, and how it converges over growing numbers of frames and over
    blocks."""
    head = (
        f"Averaged couplings ({averaged.frames} frames): one tensor for each "
        "coupling's design row averaged over them\n"
    )
    fitted = render_fit(fit_report(averaged.result), unit="Hz").rstrip("\n")
    lines = [
        head + fitted,
        (
            f"  GDO              {_averaged_gdo(averaged, nh_length):.4e} (generalized "
            "degree of order, dimensionless)"
        ),
        "",
    ]
    c = averaged.convergence
    lines.append("Convergence of the averaged fit: the first N frames")
    lines.append(f"{'frames':>10}{'Da':>10}{'R':>10}{'Q':>10}")
    for n, da, r, q in zip(c.frames, c.da, c.r, c.q):
        lines.append(f"{n:>10d}{da:>10.3f}{r:>10.4f}{q:>10.4f}")
    lines.append("Standard errors from blocks of consecutive frames")
    lines.append(f"{'block':>10}{'blocks':>10}{'SE(Q)':>10}{'SE(Da)':>10}")
    for length, count, q_se, da_se in zip(c.block_lengths, c.blocks, c.q_se, c.da_se):
        lines.append(f"{length:>10d}{count:>10d}{q_se:>10.4f}{da_se:>10.3f}")
    return "\n".join(lines)
