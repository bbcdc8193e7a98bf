"""``kelfit fit`` options that other RDC programs offer: tensor axes for
viewers, domains, free sets, cross-validation, outlier rejection and
structural noise.

The fit command calls in here at a few points: :func:`add_peer_options`
while building its parser, :func:`check_peer_options` with its checks,
:func:`domain_media_for` when it reads the media, :func:`refine` on every
medium's fit, and :func:`domain_block`, :func:`render_peers` and
:func:`write_axes` while it reports.
"""

from __future__ import annotations

import argparse
import math
import os
import zlib
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .._extras import INSTALL_HINT, MissingExtra, available
from ..domains import (
    DomainComparison,
    compare_domains,
    domain_media,
    in_domain,
    parse_domain,
)
from ..errors import DataError
from ..io import read_restraints
from ..io.matching import listed_couplings
from ..io.tables import Coupling
from ..media import MediumFit, fit_medium, result_statistics
from ..prepare import Medium
from ..report.axes import AXES_FORMATS
from ..tensor import tensor_from_params
from ..validation import cross_validate, free_mask, free_validation, reject_outliers
from .common import UsageError, log, positive

__all__ = [
    "PeerFit",
    "add_peer_options",
    "check_peer_options",
    "domain_block",
    "domain_media_for",
    "refine",
    "render_peers",
    "structure_noise",
    "write_axes",
]

#: Refits for the domains' comparisons when --errors does not say.
DOMAIN_REFITS = 100

#: --structure-noise's word for drawing the vectors from an ensemble.
FROM_MODELS = "models"


def _domain(text: str) -> str:
    try:
        return str(parse_domain(text))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"--domain: {exc}") from None


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(
            f"--free takes a fraction between 0 and 1, got {text!r}"
        )
    return value


def _folds(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 2:
        raise argparse.ArgumentTypeError(
            f"--cross-validate takes a number of folds, at least 2, got {text!r}"
        )
    return value


def _noise(text: str) -> str:
    if text.strip().lower() == FROM_MODELS:
        return FROM_MODELS
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value >= 0.0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(
            f"--structure-noise takes an angle in degrees (>= 0) or "
            f"'{FROM_MODELS}', got {text!r}"
        )
    return text.strip()


def add_peer_options(p: argparse.ArgumentParser) -> None:
    """Add the options of this module to ``kelfit fit``'s parser."""
    g = p.add_argument_group(
        "axes, domains, validation and structural noise (with --structure)"
    )
    g.add_argument(
        "--axes",
        metavar="FILE.pdb|FILE.pml|FILE.cxc",
        help="write the principal axes of every medium (or domain) as "
        "pseudo-atoms (.pdb), a PyMOL script (.pml) or a ChimeraX script (.cxc)",
    )
    g.add_argument(
        "--domain",
        action="append",
        type=_domain,
        metavar="NAME=RANGES",
        help="fit one tensor per domain (repeatable): N=1-75, C=A/80-152 "
        "(ranges may name a chain); reports how every pair of domains relates",
    )
    free = g.add_mutually_exclusive_group()
    free.add_argument(
        "--free",
        type=_fraction,
        metavar="FRACTION",
        help="leave a random fraction of the couplings out of the fit and "
        "report their Q (free Q); --seed makes the draw reproducible",
    )
    free.add_argument(
        "--free-set",
        metavar="FILE",
        help="leave the couplings listed in FILE (any coupling format) out "
        "of the fit and report their Q",
    )
    g.add_argument(
        "--cross-validate",
        type=_folds,
        metavar="K",
        help="K-fold cross-validation: free Q of every fold, with its spread",
    )
    g.add_argument(
        "--reject",
        type=positive,
        metavar="K",
        help="leave out couplings beyond K normalised sigma, one at a time "
        "with refits; reports each and Q before and after",
    )
    g.add_argument(
        "--structure-noise",
        type=_noise,
        metavar=f"ANGLE|{FROM_MODELS}",
        help="with --errors: turn each bond vector by a random isotropic tilt "
        f"of this rms (degrees) in every refit; '{FROM_MODELS}' (with --models "
        "all) draws each refit's vectors from one of the ensemble's models",
    )


def structure_noise(args: argparse.Namespace) -> float:
    """The rms tilt (degrees) of --structure-noise, 0 when not an angle."""
    text = getattr(args, "structure_noise", None)
    return 0.0 if text in (None, FROM_MODELS) else float(text)


def _uses_peers(args: argparse.Namespace) -> bool:
    return any(
        getattr(args, name, None) is not None
        for name in (
            "axes", "domain", "free", "free_set", "cross_validate", "reject",
            "structure_noise",
        )
    )  # fmt: skip


def check_peer_options(args: argparse.Namespace) -> None:
    """Refuse combinations these options do not serve, and let --domain
    bring Monte Carlo refits of its own.

    Raises:
        UsageError: an option without what it needs.
        MissingExtra: gemmi (the axes' centres) or matplotlib missing.
    """
    if not _uses_peers(args):
        return
    if not args.structure or args.trajectory:
        raise UsageError(
            "--axes, --domain, --free, --free-set, --cross-validate, --reject "
            "and --structure-noise go with --structure (not --trajectory)"
        )
    if args.structure_noise is not None:
        if not args.errors:
            raise UsageError("--structure-noise goes with --errors K")
        if args.structure_noise == FROM_MODELS and args.models is not None:
            raise UsageError(f"--structure-noise {FROM_MODELS} goes with --models all")
    if args.axes:
        ext = os.path.splitext(args.axes)[1].lower()
        if ext not in AXES_FORMATS:
            raise UsageError(
                f"--axes {args.axes}: expected a name ending in .pdb, .pml or .cxc"
            )
    if args.domain:
        if len(args.domain) < 2:
            raise UsageError("--domain needs two domains or more to compare")
        if not args.errors:
            args.errors = DOMAIN_REFITS
            log.info(
                "the domains' comparisons take their errors from %d Monte Carlo "
                "refits (--errors K sets how many)",
                DOMAIN_REFITS,
            )
    if args.axes and not available("gemmi"):
        raise MissingExtra(f"--axes needs gemmi: {INSTALL_HINT}")


@dataclass
class PeerFit:
    """What these options add to one medium's fit.

    Attributes:
        medium, domain: the medium's own name and the domain (None without
            domains).
        vectors: the vectors of the rows the reported fit uses.
        rows: which of the matched rows those are (indices).
        report: keys added to the medium's JSON object.
        text: lines added to its text report.
    """

    medium: str
    domain: str | None
    vectors: NDArray[np.float64]
    rows: NDArray[np.int64]
    report: dict[str, Any] = field(default_factory=dict)
    text: list[str] = field(default_factory=list)


def domain_media_for(
    args: argparse.Namespace, media: Sequence[Medium]
) -> tuple[list[Medium], dict[str, tuple[str, str]]]:
    """The media to fit: each split into its domains with --domain.

    Returns the media and, for a domain's part, its (medium, domain) by
    the part's name.

    Raises:
        DataError: domains that overlap or hold no coupling.
    """
    if not args.domain:
        return list(media), {}
    domains = [parse_domain(d) for d in args.domain]
    try:
        parts = domain_media(media, domains)
    except ValueError as exc:
        raise DataError(str(exc)) from None
    return [m for m, _, _ in parts], {m.name: (name, d) for m, name, d in parts}


def _atoms(c: Coupling) -> str:
    return f"{c.atom_i or ''}-{c.atom_j or ''}"


def _free_rows(
    args: argparse.Namespace,
    couplings: Sequence[Coupling],
    rng: np.random.Generator | None,
) -> NDArray[np.bool_] | None:
    if args.free is not None:
        assert rng is not None
        return free_mask(len(couplings), args.free, rng)
    if args.free_set:
        listed = read_restraints(args.free_set)
        mask = np.array(listed_couplings(listed, couplings), dtype=bool)
        if not mask.any():
            raise DataError("no coupling of the fit is in the free set", args.free_set)
        return mask
    return None


def _validation_root(args: argparse.Namespace, rng: np.random.Generator) -> int:
    """The run's root of free sets and folds, drawn once (recorded in the
    options as ``validation_seed``)."""
    if getattr(args, "validation_seed", None) is None:
        args.validation_seed = int(rng.integers(0, 2**63))
    return int(args.validation_seed)


def _factors(mf: MediumFit) -> NDArray[np.float64]:
    return result_statistics(mf.result, mf).factors


def _refit(
    mf: MediumFit,
    vectors: NDArray[np.float64],
    keep: NDArray[np.bool_],
    options: dict[str, Any],
) -> MediumFit:
    """The medium refitted on some of its rows, by the one path every
    medium takes, in the sign convention the whole medium chose."""
    chosen = dict(options, convention=mf.convention)
    return fit_medium(
        vectors[keep],
        [c for c, k in zip(mf.couplings, keep) if k],
        name=mf.name,
        **chosen,
    )


def refine(
    args: argparse.Namespace,
    vectors: NDArray[np.float64],
    mf: MediumFit,
    options: dict[str, Any],
    rng: np.random.Generator,
    parts: dict[str, tuple[str, str]],
) -> tuple[MediumFit, PeerFit]:
    """Outlier rejection, the free set and cross-validation of one medium's
    fit; the fit the report then shows (of the kept, working rows).

    Raises:
        DataError: a free set or rejection that leaves too few couplings.
    """
    medium, domain = parts.get(mf.name, (mf.name, None))
    rows = np.arange(len(mf.couplings))
    peer = PeerFit(medium, domain, vectors, rows)
    if domain is not None:
        peer.report["domain"] = domain
        peer.report["domain_of"] = medium
    try:
        if args.reject is not None:
            labels = [c.label for c in mf.couplings]
            done = reject_outliers(
                vectors, mf.result, args.reject, labels=labels, factors=_factors(mf)
            )
            peer.report["rejected"] = {
                "threshold": done.threshold,
                "measure": done.measure,
                "q_before": _number(done.q_before),
                "q_after": _number(done.q_after),
                "excluded": [
                    {"label": e.label, "line": mf.couplings[e.index].line,
                     "atoms": _atoms(mf.couplings[e.index]),
                     "deviation": e.deviation, "q_before": _number(e.q_before),
                     "q_after": _number(e.q_after)}
                    for e in done.excluded
                ],
            }  # fmt: skip
            peer.text.append(
                f"  rejected         {len(done.excluded)} beyond {done.threshold:g} "
                f"normalised sigma; Q {done.q_before:.4f} -> {done.q_after:.4f}"
            )
            for e in done.excluded:
                name = f"{e.label} {_atoms(mf.couplings[e.index])}"
                peer.text.append(
                    f"    {name:<24s} {e.deviation:+7.2f} ({done.measure}); "
                    f"Q {e.q_before:.4f} -> {e.q_after:.4f}"
                )
            if done.excluded:
                mf = _refit(mf, vectors, done.kept, options)
                vectors, rows = vectors[done.kept], rows[done.kept]
        # Every model of an ensemble draws the same free set and folds for
        # a medium: they come from the medium's name and the run's root.
        draws = None
        if args.free is not None or args.cross_validate is not None:
            draws = np.random.default_rng(
                np.random.SeedSequence(
                    [_validation_root(args, rng), zlib.crc32(mf.name.encode())]
                )
            )
        free = _free_rows(args, mf.couplings, draws)
        if free is not None:
            check = free_validation(vectors, mf.result, free, factors=_factors(mf))
            peer.report["free"] = {
                "n_free": int(free.sum()),
                "n_work": int((~free).sum()),
                "q_free": _number(check.q_free),
                "q_work": _number(check.q_work),
                "free": [c.label for c, f in zip(mf.couplings, free) if f],
                "source": "fraction" if args.free is not None else "file",
            }
            peer.text.append(
                f"  free set         {int(free.sum())} couplings left out: free Q "
                f"{check.q_free:.4f} (working Q {check.q_work:.4f}, "
                f"{int((~free).sum())} couplings)"
            )
            mf = _refit(mf, vectors, ~free, options)
            vectors, rows = vectors[~free], rows[~free]
        if args.cross_validate is not None:
            assert draws is not None
            cv = cross_validate(
                vectors, mf.result, args.cross_validate, draws, factors=_factors(mf)
            )
            peer.report["cross_validation"] = {
                "folds": cv.folds,
                "q_free": [_number(float(q)) for q in cv.q_free],
                "q_mean": _number(cv.q_mean),
                "q_sd": _number(cv.q_sd),
                "q_pooled": _number(cv.q_pooled),
            }
            peer.text.append(
                f"  cross-validation {cv.folds}-fold free Q {cv.q_mean:.4f} ± "
                f"{cv.q_sd:.4f} (pooled {cv.q_pooled:.4f})"
            )
    except ValueError as exc:
        raise DataError(f"medium {mf.name!r}: {exc}") from None
    peer.vectors, peer.rows = vectors, rows
    return mf, peer


def _number(value: float | None) -> float | None:
    """A number as JSON holds it: None for one that does not exist (a ratio
    to a zero R, say)."""
    return None if value is None or not math.isfinite(value) else float(value)


def _comparison_json(c: DomainComparison) -> dict[str, Any]:
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
        }
    return out


def domain_block(
    fits: Sequence[tuple[PeerFit, Any, Any]], domains: Sequence[str]
) -> dict[str, Any]:
    """The JSON ``domains`` block of one model: every pair of domains of
    every medium.

    Args:
        fits: (peer, FitResult, MonteCarloResult or None) of each medium's
            part, in the order fitted.
        domains: the --domain texts.
    """
    by_medium: dict[str, list[tuple[PeerFit, Any, Any]]] = {}
    for item in fits:
        if item[0].domain is not None:
            by_medium.setdefault(item[0].medium, []).append(item)
    pairs = []
    for medium, items in by_medium.items():
        for i in range(len(items)):
            for j in range(i + 1, len(items)):
                (pa, ra, ea), (pb, rb, eb) = items[i], items[j]
                refits = None
                if (
                    ea is not None
                    and eb is not None
                    and ea.matrices is not None
                    and eb.matrices is not None
                ):
                    refits = (ea.matrices, eb.matrices)
                pairs.append(
                    _comparison_json(
                        compare_domains(
                            tensor_from_params(ra.params),
                            tensor_from_params(rb.params),
                            names=(pa.domain or "", pb.domain or ""),
                            medium=medium,
                            refits=refits,
                        )
                    )
                )
    return {
        "definitions": {d.partition("=")[0]: d.partition("=")[2] for d in domains},
        "pairs": pairs,
    }


def render_peers(block: dict[str, Any]) -> str:
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
    return "\n".join(lines) + "\n"


def write_axes(
    args: argparse.Namespace,
    outputs: Any,
    fits: Sequence[tuple[str, Any, Sequence[Coupling]]],
    *,
    model: int = 1,
) -> dict[str, Any]:
    """Write --axes (one set per medium or domain) and, with --domain and
    --plot, the domain figure; returns the JSON ``axes`` block.

    Args:
        fits: (name, FitResult, couplings) of every medium or domain of
            the model.
    """
    from ..io.structure import load_structure
    from ..report.axes import axes_text, axis_set, coupling_centre

    structure = load_structure(args.structure)
    chosen = structure[model - 1]
    sets = [
        axis_set(
            name,
            result.tensor(),
            coupling_centre(chosen, couplings, chain=getattr(args, "chain", None)),
        )
        for name, result, couplings in fits
    ]
    block: dict[str, Any] = {}
    if args.axes:
        outputs.write_text(args.axes, axes_text(args.axes, sets))
        block = {
            "path": args.axes,
            "sets": [
                {"name": s.name, "centre": list(s.centre),
                 "axes": s.axes.tolist(), "principal_values": list(s.values)}
                for s in sets
            ],
        }  # fmt: skip
    if args.domain and args.plot:
        _plot_domains(args, outputs, chosen, sets)
    return block


def domain_plot_path(path: str) -> str:
    """Where the domain figure goes beside --plot's figures."""
    stem, ext = os.path.splitext(path)
    return f"{stem}-domains{ext}"


def _plot_domains(
    args: argparse.Namespace, outputs: Any, model: Any, sets: Sequence[Any]
) -> None:
    from ..report.axes import AxisSet, plot_domain_axes

    domains = [parse_domain(d) for d in args.domain]
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
    path = domain_plot_path(args.plot)
    plot_domain_axes(
        np.array(trace, dtype=np.float64),
        owner,
        shown,
        outputs.path_for(path),
        title=args.title
        or f"{os.path.basename(args.structure)}: domains {', '.join(d.name for d in domains)}",
        format_from=path,
    )
