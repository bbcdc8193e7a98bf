"""The tensor's principal axes for molecular viewers, and the domain figure.

A set of axes is drawn from the centre of the couplings' atoms, one arrow
per principal axis, its length proportional to the magnitude of the
principal value (the longest axis of a file is :data:`LONGEST_AXIS`
angstrom, so lengths compare across the sets of one file).  Three forms:

* PDB: pseudo-atoms as Xplor-style tensor residues write them, residue
  ``ANI`` with atoms ``OO`` (the origin), ``X``, ``Y`` and ``Z`` (the axes'
  tips), one residue per set, its principal value (Hz) in the B-factor
  column;
* PyMOL (``.pml``): arrows as compiled graphics objects with labels;
* ChimeraX (``.cxc``): marker segments with labels.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..io.tables import Coupling
from ..tensor import Tensor

__all__ = [
    "AXES_FORMATS",
    "AXIS_NAMES",
    "LONGEST_AXIS",
    "TENSOR_RESIDUE",
    "AxisSet",
    "axes_text",
    "axis_set",
    "coupling_centre",
    "plot_domain_axes",
]

#: Length (angstrom) of the longest axis of a file.
LONGEST_AXIS = 15.0

#: The residue name and atom names of a tensor's pseudo-atoms.
TENSOR_RESIDUE = "ANI"
ORIGIN_ATOM = "OO"
AXIS_NAMES = ("X", "Y", "Z")

#: Colours of the x, y and z axes (red, green, blue), as RGB in 0..1.
_AXIS_RGB = ((0.85, 0.15, 0.15), (0.15, 0.65, 0.15), (0.15, 0.35, 0.9))
_AXIS_COLOUR_NAMES = ("red", "green", "blue")

#: Arrow shaft and head radii (angstrom) and the head's share of the length.
_SHAFT_RADIUS = 0.3
_HEAD_RADIUS = 0.8
_HEAD_SHARE = 0.2

#: First model number ChimeraX markers take, one model per set.
_CXC_FIRST_MODEL = 101

AXES_FORMATS = (".pdb", ".pml", ".cxc")


@dataclass(frozen=True)
class AxisSet:
    """One tensor's principal axes, placed on the molecule.

    Attributes:
        name: the medium (and domain) it belongs to.
        centre: where the axes start (angstrom).
        axes: the principal axes x, y, z as rows (unit vectors).
        values: their principal values (Hz), |zz| the largest.
    """

    name: str
    centre: tuple[float, float, float]
    axes: NDArray[np.float64]
    values: tuple[float, float, float]


def axis_set(name: str, tensor: Tensor, centre: Sequence[float]) -> AxisSet:
    """A tensor's axes at ``centre``."""
    c = (float(centre[0]), float(centre[1]), float(centre[2]))
    return AxisSet(
        name, c, np.asarray(tensor.axes, dtype=np.float64), tensor.principal_values
    )


def _same_atom(name: str, wanted: str) -> bool:
    # Tables write the amide proton H or HN.
    aliases = {"H": {"H", "HN"}, "HN": {"H", "HN"}}
    return name == wanted or name in aliases.get(wanted, set())


def coupling_centre(
    model: Any, couplings: Iterable[Coupling]
) -> tuple[float, float, float]:
    """The centre (mean position) of the couplings' atoms in a gemmi model.

    Atoms the model lacks are skipped; with none found, the centre of the
    whole model.
    """
    wanted: dict[tuple[str | None, int], set[str]] = {}
    for c in couplings:
        for chain, number, atom in (
            (c.chain_i, c.residue_i, c.atom_i),
            (c.chain_j, c.residue_j, c.atom_j),
        ):
            if atom:
                wanted.setdefault((chain, number), set()).add(atom.upper())
    found: list[tuple[float, float, float]] = []
    every: list[tuple[float, float, float]] = []
    for chain in model:
        for residue in chain:
            names = wanted.get((chain.name, residue.seqid.num)) or wanted.get(
                (None, residue.seqid.num)
            )
            for atom in residue:
                p = (atom.pos.x, atom.pos.y, atom.pos.z)
                every.append(p)
                if names and any(_same_atom(atom.name.upper(), n) for n in names):
                    found.append(p)
    points = np.array(found or every, dtype=np.float64)
    mean = points.mean(axis=0)
    return (float(mean[0]), float(mean[1]), float(mean[2]))


def _scale(sets: Sequence[AxisSet]) -> float:
    largest = max((abs(v) for s in sets for v in s.values), default=0.0)
    return LONGEST_AXIS / largest if largest > 0 else 0.0


def _tips(s: AxisSet, scale: float) -> list[NDArray[np.float64]]:
    origin = np.asarray(s.centre, dtype=np.float64)
    return [origin + scale * abs(v) * s.axes[k] for k, v in enumerate(s.values)]


def _pdb_atom(serial: int, name: str, residue: int, xyz: Any, value: float) -> str:
    # Columns as the PDB format fixes them; the element column says "X"
    # (no element: these are not atoms).
    return (
        f"HETATM{serial:5d} {name:<4s} {TENSOR_RESIDUE:>3s} X{residue:4d}    "
        f"{xyz[0]:8.3f}{xyz[1]:8.3f}{xyz[2]:8.3f}{1.0:6.2f}{value:6.2f}"
        f"          {'X':>2s}\n"
    )


def _pdb(sets: Sequence[AxisSet]) -> str:
    scale = _scale(sets)
    lines = [
        "REMARK   1 KELFIT TENSOR PRINCIPAL AXES: RESIDUE ANI, OO THE ORIGIN,\n",
        "REMARK   1 X Y Z THE AXES' TIPS, LENGTH PROPORTIONAL TO |PRINCIPAL VALUE|\n",
        f"REMARK   1 {LONGEST_AXIS:.1f} A FOR THE LARGEST; B-FACTOR: PRINCIPAL VALUE (HZ)\n",
    ]
    for k, s in enumerate(sets, 1):
        lines.append(f"REMARK   2 RESIDUE {k:4d}: {s.name}"[:80] + "\n")
    serial = 1
    for k, s in enumerate(sets, 1):
        lines.append(_pdb_atom(serial, ORIGIN_ATOM, k, s.centre, 0.0))
        serial += 1
        for name, tip, value in zip(AXIS_NAMES, _tips(s, scale), s.values):
            lines.append(_pdb_atom(serial, name, k, tip, value))
            serial += 1
    lines.append("END\n")
    return "".join(lines)


def _object_name(k: int, name: str) -> str:
    cleaned = "".join(ch if ch.isalnum() else "_" for ch in name).strip("_")
    return f"axes{k}_{cleaned}"[:60]


def _pml(sets: Sequence[AxisSet]) -> str:
    scale = _scale(sets)
    out = [
        "# Principal axes of the alignment tensor (kelfit): x red, y green, z blue;\n",
        "# lengths proportional to |principal value|.  Run in PyMOL: @file.pml\n",
        "python\n",
        "from pymol import cmd\n",
        "from pymol.cgo import CONE, CYLINDER\n",
    ]
    for k, s in enumerate(sets, 1):
        name = _object_name(k, s.name)
        out.append(f"# {s.name}\n")
        out.append("obj = []\n")
        origin = np.asarray(s.centre)
        for tip, rgb in zip(_tips(s, scale), _AXIS_RGB):
            head = origin + (1.0 - _HEAD_SHARE) * (tip - origin)
            colour = ", ".join(f"{c:.2f}" for c in rgb)
            out.append(
                f"obj += [CYLINDER, {origin[0]:.3f}, {origin[1]:.3f}, {origin[2]:.3f}, "
                f"{head[0]:.3f}, {head[1]:.3f}, {head[2]:.3f}, {_SHAFT_RADIUS}, "
                f"{colour}, {colour}]\n"
            )
            out.append(
                f"obj += [CONE, {head[0]:.3f}, {head[1]:.3f}, {head[2]:.3f}, "
                f"{tip[0]:.3f}, {tip[1]:.3f}, {tip[2]:.3f}, {_HEAD_RADIUS}, 0.0, "
                f"{colour}, {colour}, 1.0, 0.0]\n"
            )
        out.append(f"cmd.load_cgo(obj, {name!r})\n")
    out.append("python end\n")
    for k, s in enumerate(sets, 1):
        name = _object_name(k, s.name)
        for axis, tip, value in zip(AXIS_NAMES, _tips(s, scale), s.values):
            label = f"{axis.lower()} {value:+.2f} Hz"
            out.append(
                f"pseudoatom {name}_labels, pos=[{tip[0]:.3f}, {tip[1]:.3f}, "
                f"{tip[2]:.3f}], label={label!r}\n"
            )
    return "".join(out)


def _cxc(sets: Sequence[AxisSet]) -> str:
    scale = _scale(sets)
    out = [
        "# Principal axes of the alignment tensor (kelfit): x red, y green, z blue;\n",
        "# lengths proportional to |principal value|.  Open in ChimeraX.\n",
    ]
    for k, s in enumerate(sets):
        model = _CXC_FIRST_MODEL + k
        origin = s.centre
        out.append(f"# {s.name}\n")
        for axis, tip, value, colour in zip(
            AXIS_NAMES, _tips(s, scale), s.values, _AXIS_COLOUR_NAMES
        ):
            out.append(
                f"marker segment #{model} position {origin[0]:.3f},{origin[1]:.3f},"
                f"{origin[2]:.3f} toPosition {tip[0]:.3f},{tip[1]:.3f},{tip[2]:.3f} "
                f"color {colour} radius {_SHAFT_RADIUS} "
                f'label "{axis.lower()} {value:+.2f} Hz" labelHeight 1.5\n'
            )
        name = s.name.replace('"', "'")
        out.append(f'rename #{model} "axes {name}"\n')
    return "".join(out)


def axes_text(path: str, sets: Sequence[AxisSet]) -> str:
    """The file for ``path``'s format (by its extension: .pdb, .pml or .cxc).

    Raises:
        ValueError: another extension, or no axes.
    """
    ext = os.path.splitext(path)[1].lower()
    if ext not in AXES_FORMATS:
        raise ValueError(
            f"axes file {path!r}: expected a name ending in .pdb, .pml or .cxc"
        )
    if not sets:
        raise ValueError("no tensor axes to write")
    return {".pdb": _pdb, ".pml": _pml, ".cxc": _cxc}[ext](sets)


def plot_domain_axes(
    trace: NDArray[np.float64],
    trace_domain: Sequence[str],
    sets: Sequence[AxisSet],
    path: str,
    *,
    title: str = "",
    format_from: str | None = None,
) -> None:
    """A figure of the molecule's CA trace, each domain in its colour, with
    each domain's principal axes drawn from its centre, in two views.

    Args:
        trace: CA positions (M x 3), in chain order.
        trace_domain: each CA's domain name ("" for none).
        sets: one axis set per domain (its name the domain's).
        path: where to write.
        title: the figure's title.
        format_from: the name whose extension gives the format (else
            ``path``'s).
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(dict.fromkeys(n for n in trace_domain if n))
    palette = ("#4c72b0", "#dd8452", "#55a868", "#c44e52", "#8172b3", "#937860")
    colour = {n: palette[i % len(palette)] for i, n in enumerate(names)}
    scale = _scale(sets)
    fig = plt.figure(figsize=(11, 5.5), dpi=100)
    views = ((20.0, -60.0), (20.0, 30.0))
    for panel, (elev, azim) in enumerate(views, 1):
        ax = fig.add_subplot(1, 2, panel, projection="3d")
        for n in ["", *names]:
            rows = np.array([d == n for d in trace_domain])
            if not rows.any():
                continue
            ax.plot(
                trace[rows, 0], trace[rows, 1], trace[rows, 2], "o-", linewidth=0.6,
                color=colour.get(n, "0.75"), markersize=3,
                label=n or "no domain", alpha=0.7,
            )  # fmt: skip
        for s in sets:
            origin = np.asarray(s.centre)
            for k, (tip, rgb) in enumerate(zip(_tips(s, scale), _AXIS_RGB)):
                ax.plot(*zip(origin, tip), color=rgb, linewidth=2.5)
                ax.text(
                    *tip, f"{AXIS_NAMES[k].lower()} {s.name}", fontsize=7, color=rgb
                )
        ax.view_init(elev=elev, azim=azim)
        ax.set_xlabel("x (A)")
        ax.set_ylabel("y (A)")
        ax.set_zlabel("z (A)")
        span = np.ptp(trace, axis=0).max() if len(trace) else 1.0
        middle = trace.mean(axis=0) if len(trace) else np.zeros(3)
        half = 0.5 * max(span, 2.0 * LONGEST_AXIS) + 2.0
        ax.set_xlim(middle[0] - half, middle[0] + half)
        ax.set_ylim(middle[1] - half, middle[1] + half)
        ax.set_zlim(middle[2] - half, middle[2] + half)
        if panel == 1:
            ax.legend(loc="upper left", fontsize=8)
    fig.suptitle(
        (title + "\n" if title else "")
        + "principal axes per domain: x red, y green, z blue; length ~ |principal value|",
        fontsize=9,
    )
    fig.tight_layout()
    fmt = os.path.splitext(format_from or path)[1].lstrip(".").lower() or "png"
    fig.savefig(path, format=fmt)
    plt.close(fig)
