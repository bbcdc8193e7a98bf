"""The tensor's principal axes for molecular viewers, and the domain figure.

A set of axes is drawn from the centre of the couplings' atoms, one arrow
per principal axis, its length proportional to the magnitude of the
principal value (the longest axis of a file is :data:`LONGEST_AXIS`
angstrom, so lengths compare across the sets of one file).  An axis has no
sign: each arrow points along the eigenvector as the fit gives it, the
same way in every form.  Three forms:

* PDB: pseudo-atoms as Xplor-style tensor residues write them, residue
  ``ANI`` with atoms ``OO`` (the origin), ``X``, ``Y`` and ``Z`` (the axes'
  tips), one residue per set, its principal value (Hz) in the B-factor
  column, the origin bonded to the tips (``CONECT``);
* PyMOL (``.pml``): arrows (cylinder and cone) as compiled graphics
  objects, a label beyond each tip;
* ChimeraX (``.cxc``): arrows from ``shape cylinder`` and ``shape cone``,
  a label beyond each tip on a marker.

Both scripts colour x red, y green and z blue in every set; with several
sets each label also numbers its set (``z2``: the second set's z axis).
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..io.matching import atoms_found
from ..io.structure import GemmiIndex
from ..io.tables import Coupling
from ..tensor import Tensor
from .figures import save_figure

__all__ = [
    "AXES_FORMATS",
    "AXIS_NAMES",
    "LABEL_GAP",
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

#: Colours of the x, y and z axes (red, green, blue), as RGB in 0..1: the
#: same in every form and every set, so an axis reads the same everywhere.
_AXIS_RGB = ((0.85, 0.15, 0.15), (0.15, 0.65, 0.15), (0.15, 0.35, 0.9))

#: Colour of the sphere at each set's origin.
_ORIGIN_RGB = (0.5, 0.5, 0.5)

#: Arrow shaft and head radii, the origin sphere's radius and the longest
#: head (angstrom); a head takes at most half of a short arrow.
_SHAFT_RADIUS = 0.3
_HEAD_RADIUS = 0.8
_ORIGIN_RADIUS = 0.45
_HEAD_LENGTH = 3.0

#: Distance (angstrom) beyond an arrow's tip where its label is anchored,
#: so that the text does not cover the head.
LABEL_GAP = 1.5

#: Height (angstrom) of ChimeraX's labels.
_LABEL_HEIGHT = 1.5

#: Radius (angstrom) of the ChimeraX marker that carries a label: a label
#: needs an atom, and this one should not show.
_LABEL_MARKER_RADIUS = 0.05

#: First model number of the ChimeraX script, one model per set.
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


@dataclass(frozen=True)
class _Arrow:
    """One principal axis as drawn: a shaft from ``origin`` to ``head``, a
    cone from ``head`` to ``tip`` and a label anchored at ``label_at``."""

    axis: int
    origin: NDArray[np.float64]
    head: NDArray[np.float64]
    tip: NDArray[np.float64]
    label_at: NDArray[np.float64]
    value: float


def axis_set(name: str, tensor: Tensor, centre: Sequence[float]) -> AxisSet:
    """A tensor's axes at ``centre``."""
    c = (float(centre[0]), float(centre[1]), float(centre[2]))
    return AxisSet(
        name, c, np.asarray(tensor.axes, dtype=np.float64), tensor.principal_values
    )


def coupling_centre(
    model: Any, couplings: Iterable[Coupling], *, chain: str | None = None
) -> tuple[float, float, float]:
    """The centre (mean position) of the couplings' atoms in a gemmi model.

    Each atom is found as the fit found it (chains, insertion codes, H and
    HN; ``chain`` for couplings that name none, by default the first chain
    that has the residue).  Atoms the model lacks are skipped; with none
    found, the centre of the whole model.
    """
    found = atoms_found(GemmiIndex(model), list(couplings), chain=chain)
    points = [(a.pos.x, a.pos.y, a.pos.z) for a in found] or [
        (a.pos.x, a.pos.y, a.pos.z) for ch in model for r in ch for a in r
    ]
    mean = np.array(points, dtype=np.float64).mean(axis=0)
    return (float(mean[0]), float(mean[1]), float(mean[2]))


def _scale(sets: Sequence[AxisSet]) -> float:
    largest = max((abs(v) for s in sets for v in s.values), default=0.0)
    return LONGEST_AXIS / largest if largest > 0 else 0.0


def _arrows(s: AxisSet, scale: float) -> list[_Arrow]:
    """The three arrows of a set, at ``scale`` angstrom per hertz."""
    origin = np.asarray(s.centre, dtype=np.float64)
    drawn = []
    for k, value in enumerate(s.values):
        direction = np.asarray(s.axes[k], dtype=np.float64)
        length = scale * abs(value)
        head = min(_HEAD_LENGTH, 0.5 * length)
        drawn.append(
            _Arrow(
                axis=k,
                origin=origin,
                head=origin + (length - head) * direction,
                tip=origin + length * direction,
                label_at=origin + (length + LABEL_GAP) * direction,
                value=float(value),
            )
        )
    return drawn


def _one_line(text: str) -> str:
    """``text`` with control characters (line breaks above all) made spaces:
    a name goes into comments and quoted strings of scripts, where a line
    break would end the comment and run the rest as commands."""
    return "".join(" " if ord(ch) < 32 or ord(ch) == 127 else ch for ch in text)


def _label(arrow: _Arrow, number: int, several: bool) -> str:
    # With several sets each label carries its set's number (the PDB
    # residue, the PyMOL object axesN_..., the ChimeraX model): sets of two
    # media share (almost) one centre, so position alone does not tell
    # them apart, and a medium's name is too long to sit on every axis.
    axis = AXIS_NAMES[arrow.axis].lower() + (str(number) if several else "")
    return f"{axis} {arrow.value:+.2f} Hz"


def _xyz(p: Sequence[float] | NDArray[np.float64], sep: str = ",") -> str:
    return sep.join(f"{c:.3f}" for c in p)


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
        lines.append(f"REMARK   2 RESIDUE {k:4d}: {_one_line(s.name)}"[:80] + "\n")
    serial = 1
    bonds = []
    for k, s in enumerate(sets, 1):
        origin = serial
        lines.append(_pdb_atom(serial, ORIGIN_ATOM, k, s.centre, 0.0))
        serial += 1
        for arrow in _arrows(s, scale):
            name = AXIS_NAMES[arrow.axis]
            lines.append(_pdb_atom(serial, name, k, arrow.tip, arrow.value))
            serial += 1
        bonds.append((origin, origin + 1, origin + 2, origin + 3))
    # Each origin bonded to its three tips, so that viewers draw the axes as
    # sticks from the origin rather than as four loose spheres.
    lines.extend("CONECT" + "".join(f"{a:5d}" for a in b) + "\n" for b in bonds)
    lines.append("END\n")
    return "".join(lines)


def _object_name(k: int, name: str) -> str:
    cleaned = "".join(ch if ch.isalnum() else "_" for ch in name).strip("_")
    return f"axes{k}_{cleaned}"[:60]


def _pml(sets: Sequence[AxisSet]) -> str:
    """A PyMOL script: per set one object of arrows (cylinder and cone
    primitives, a sphere at the origin) and one of labels (pseudo-atoms
    beyond the tips, shown as their labels only).  Everything is made by
    PyMOL's Python API with the strings written as Python literals, so no
    name can break the script."""
    scale = _scale(sets)
    several = len(sets) > 1
    colours = [f"kelfit_axis_{a.lower()}" for a in AXIS_NAMES]
    out = [
        "# Principal axes of the alignment tensor (kelfit): x red, y green, z blue;\n",
        "# lengths proportional to |principal value|.  Run in PyMOL after loading\n",
        "# the structure: @file.pml (or: pymol structure.pdb file.pml)\n",
        "python\n",
        "from pymol import cmd\n",
        "from pymol.cgo import COLOR, CONE, CYLINDER, SPHERE\n",
    ]
    for colour, rgb in zip(colours, _AXIS_RGB):
        out.append(f"cmd.set_color({colour!r}, {list(rgb)!r})\n")
    for k, s in enumerate(sets, 1):
        name = _object_name(k, s.name)
        labels = f"{name}_labels"
        out.append(f"# {_one_line(s.name)}\n")
        out.append(
            f"obj = [COLOR, {_xyz(_ORIGIN_RGB, ', ')}, "
            f"SPHERE, {_xyz(s.centre, ', ')}, {_ORIGIN_RADIUS}]\n"
        )
        drawn = _arrows(s, scale)
        for arrow in drawn:
            shade = _xyz(_AXIS_RGB[arrow.axis], ", ")
            out.append(
                f"obj += [CYLINDER, {_xyz(arrow.origin, ', ')}, "
                f"{_xyz(arrow.head, ', ')}, {_SHAFT_RADIUS}, {shade}, {shade}]\n"
            )
            out.append(
                f"obj += [CONE, {_xyz(arrow.head, ', ')}, {_xyz(arrow.tip, ', ')}, "
                f"{_HEAD_RADIUS}, 0.0, {shade}, {shade}, 1.0, 0.0]\n"
            )
        out.append(f"cmd.load_cgo(obj, {name!r})\n")
        for arrow in drawn:
            atom = AXIS_NAMES[arrow.axis]
            out.append(
                f"cmd.pseudoatom({labels!r}, name={atom!r}, "
                f"pos=[{_xyz(arrow.label_at, ', ')}], "
                f"label={_label(arrow, k, several)!r})\n"
            )
            out.append(
                f"cmd.set('label_color', {colours[arrow.axis]!r}, "
                f"{labels + ' and name ' + atom!r})\n"
            )
        out.append(f"cmd.hide('everything', {labels!r})\n")
        out.append(f"cmd.show('labels', {labels!r})\n")
    out.append("python end\n")
    return "".join(out)


def _hex(rgb: Sequence[float]) -> str:
    return "#" + "".join(f"{round(255 * c):02x}" for c in rgb)


def _cxc_string(text: str) -> str:
    # A double-quoted ChimeraX argument: no double quote inside, and no
    # semicolon, which separates commands on a line.
    return '"' + _one_line(text).replace('"', "'").replace(";", ",") + '"'


def _cxc(sets: Sequence[AxisSet]) -> str:
    """A ChimeraX script: per set one marker model #101, #102, ... holding
    a marker at the origin and one beyond each tip (the labels' anchors;
    markers number from 1 in order of creation), and, as its submodels
    .1 to .6, each axis's shaft (shape cylinder) and head (shape cone)."""
    scale = _scale(sets)
    several = len(sets) > 1
    out = [
        "# Principal axes of the alignment tensor (kelfit): x red, y green, z blue;\n",
        "# lengths proportional to |principal value|.  Open in ChimeraX after the\n",
        (
            "# structure (open file.cxc), once per session: models "
            f"#{_CXC_FIRST_MODEL} to #{_CXC_FIRST_MODEL + len(sets) - 1}.\n"
        ),
    ]
    for k, s in enumerate(sets):
        model = _CXC_FIRST_MODEL + k
        drawn = _arrows(s, scale)
        out.append(f"# {_one_line(s.name)}\n")
        out.append(
            f"marker #{model} position {_xyz(s.centre)} "
            f"color {_hex(_ORIGIN_RGB)} radius {_ORIGIN_RADIUS}\n"
        )
        for arrow in drawn:
            out.append(
                f"marker #{model} position {_xyz(arrow.label_at)} "
                f"color {_hex(_AXIS_RGB[arrow.axis])} radius {_LABEL_MARKER_RADIUS}\n"
            )
        out.append(f"rename #{model} {_cxc_string('axes ' + s.name)}\n")
        for arrow in drawn:
            colour = _hex(_AXIS_RGB[arrow.axis])
            axis = AXIS_NAMES[arrow.axis].lower()
            out.append(
                f"shape cylinder radius {_SHAFT_RADIUS} fromPoint {_xyz(arrow.origin)} "
                f"toPoint {_xyz(arrow.head)} color {colour} "
                f'name "{axis} shaft" modelId #{model}.{2 * arrow.axis + 1}\n'
            )
            out.append(
                f"shape cone radius {_HEAD_RADIUS} fromPoint {_xyz(arrow.head)} "
                f"toPoint {_xyz(arrow.tip)} color {colour} "
                f'name "{axis} head" modelId #{model}.{2 * arrow.axis + 2}\n'
            )
        for arrow in drawn:
            out.append(
                f"label #{model}:{arrow.axis + 2} atoms "
                f"text {_cxc_string(_label(arrow, k + 1, several))} "
                f"color {_hex(_AXIS_RGB[arrow.axis])} height {_LABEL_HEIGHT}\n"
            )
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
            for arrow in _arrows(s, scale):
                rgb = _AXIS_RGB[arrow.axis]
                ax.plot(*zip(arrow.origin, arrow.tip), color=rgb, linewidth=2.5)
                ax.text(
                    *arrow.tip,
                    f"{AXIS_NAMES[arrow.axis].lower()} {s.name}",
                    fontsize=7,
                    color=rgb,
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
    save_figure(fig, path, fmt)
    plt.close(fig)
