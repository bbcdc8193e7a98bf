"""Tensor axes written for molecular viewers, read back: the pseudo-atoms
(with gemmi) and the two scripts (by their coordinates) must hold the
fitted eigenvectors, at lengths proportional to the principal values,
from the centre of the couplings' atoms; the scripts must draw each axis as
a shaft and a head ending at its pseudo-atom, label it just beyond, and use
only the commands and options the viewers document."""

from __future__ import annotations

import json
import os
import re
import shlex
import shutil
import subprocess
import sys

import numpy as np
import pytest
from kelfit_tools.example import example
from tools_support import chained_table, run_json, run_kelfit, shared_data

gemmi = pytest.importorskip("gemmi")

#: Where a label sits beyond its arrow's tip (angstrom), as the files promise.
LABEL_GAP = 1.5

#: A coordinate triple as both scripts write it.
NUMBER = r"-?\d+\.\d+"
TRIPLE = rf"{NUMBER}, ?{NUMBER}, ?{NUMBER}"


def write_axes(out, name, *extra):
    """Run one fit of lysozyme with --axes in all three forms; returns the
    directory, the structure and the JSON report of the .pdb run."""
    structure = shared_data("hewl", "1e8l-model-1.pdb")
    reports = {}
    for ext in ("pdb", "pml", "cxc"):
        done = run_kelfit(
            "fit", "--structure", structure, "-q",
            "--axes", out / f"{name}.{ext}", "--json", *extra,
        )  # fmt: skip
        assert done.returncode == 0, done.stderr
        reports[ext] = json.loads(done.stdout)
    return out, structure, reports["pdb"]


@pytest.fixture(scope="module")
def lysozyme(tmp_path_factory):
    """Both media of lysozyme (one restraint file naming two media)."""
    return write_axes(
        tmp_path_factory.mktemp("axes"), "media",
        "--couplings", shared_data("hewl", "1e8l.mr"),
    )  # fmt: skip


@pytest.fixture(scope="module")
def lysozyme_domains(tmp_path_factory):
    """One medium of lysozyme split into its halves at residue 60."""
    return write_axes(
        tmp_path_factory.mktemp("axes"), "domains",
        "--couplings", shared_data("hewl", "couplings.tab"),
        "--domain", "N=1-60", "--domain", "C=61-129", "--errors", "5",
    )  # fmt: skip


def eigenvectors(order_matrix):
    """Principal axes (rows x, y, z: |value| ascending) and values of a
    symmetric matrix, from numpy alone."""
    values, vectors = np.linalg.eigh(np.asarray(order_matrix))
    order = np.argsort(np.abs(values))
    return vectors[:, order].T, values[order]


def amide_centre(structure_path, first=1, last=10_000) -> np.ndarray:
    """Mean position of every N and H atom of the residues first..last that
    have an amide proton (lysozyme's couplings are all N-H)."""
    model = gemmi.read_structure(str(structure_path))[0]
    points = []
    for chain in model:
        for residue in chain:
            names = {a.name for a in residue}
            if first <= residue.seqid.num <= last and {"N", "H"} <= names:
                points.extend(
                    [a.pos.x, a.pos.y, a.pos.z] for a in residue if a.name in ("N", "H")
                )
    return np.mean(points, axis=0)


def pseudo_atoms(path):
    """Each ANI residue of a written .pdb as {atom name: position}."""
    model = gemmi.read_structure(str(path))[0]
    return [
        {a.name: np.array([a.pos.x, a.pos.y, a.pos.z]) for a in residue}
        for chain in model
        for residue in chain
    ]


def floats(text):
    return np.array([float(x) for x in re.split(r", ?", text)])


def check_pseudo_atoms(path, media, centres):
    """The residues of ``path`` against the media's order matrices: one per
    medium, each axis along its eigenvector at 15 A x |value| / largest,
    from near the given centre."""
    residues = pseudo_atoms(path)
    assert len(residues) == len(media)
    longest = max(
        abs(v) for m in media for v in eigenvectors(m["tensor"]["order_matrix"])[1]
    )
    for atoms, medium, centre in zip(residues, media, centres):
        assert set(atoms) == {"OO", "X", "Y", "Z"}
        axes, values = eigenvectors(medium["tensor"]["order_matrix"])
        for k, name in enumerate("XYZ"):
            arm = atoms[name] - atoms["OO"]
            length = np.linalg.norm(arm)
            # Same axis (either sign) ...
            assert abs(np.dot(arm / length, axes[k])) == pytest.approx(1.0, abs=1e-4)
            # ... at 15 A times |value| over the file's largest |value|.
            assert length == pytest.approx(15.0 * abs(values[k]) / longest, abs=2e-3)
        # From near the middle of the coupled atoms (each medium or domain
        # has its own couplings, so its own centre).
        assert np.linalg.norm(atoms["OO"] - centre) < 1.5


def test_pseudo_atoms_read_back_are_the_fitted_eigenvectors(lysozyme) -> None:
    out, structure, report = lysozyme
    centre = amide_centre(structure)
    check_pseudo_atoms(out / "media.pdb", report["media"], [centre, centre])
    written = gemmi.read_structure(str(out / "media.pdb"))
    assert [r.name for chain in written[0] for r in chain] == ["ANI", "ANI"]
    # Each origin bonded to its three tips, so viewers draw the axes.
    assert {k: sorted(v) for k, v in written.conect_map.items()} == {
        1: [2, 3, 4],
        5: [6, 7, 8],
    }


def test_one_set_per_domain_from_its_own_half(lysozyme_domains) -> None:
    out, structure, report = lysozyme_domains
    assert [m["domain"] for m in report["media"]] == ["N", "C"]
    centres = [amide_centre(structure, 1, 60), amide_centre(structure, 61, 129)]
    # The halves' centres lie well apart, so the test tells them apart.
    assert np.linalg.norm(centres[0] - centres[1]) > 4.0
    check_pseudo_atoms(out / "domains.pdb", report["media"], centres)
    pml = (out / "domains.pml").read_text()
    cxc = (out / "domains.cxc").read_text()
    assert pml.count("cmd.load_cgo(") == 2 and cxc.count("shape cone ") == 6


def pml_arrows(text):
    """Per CGO object: [(shaft start, shaft end, radius, rgb), ...] and
    [(head base, tip, rgb), ...]; and the label pseudo-atoms per object."""
    shafts, heads = {}, {}
    blocks = re.split(r"cmd\.load_cgo\(obj, '([^']+)'\)", text)
    for body, name in zip(blocks[0::2], blocks[1::2]):
        shafts[name] = [
            (floats(m[1]), floats(m[2]), float(m[3]), floats(m[4]))
            for m in re.finditer(
                rf"CYLINDER, ({TRIPLE}), ({TRIPLE}), ({NUMBER}), ({TRIPLE}), \4\]", body
            )
        ]
        heads[name] = [
            (floats(m[1]), floats(m[2]), floats(m[3]))
            for m in re.finditer(
                rf"CONE, ({TRIPLE}), ({TRIPLE}), {NUMBER}, 0\.0, ({TRIPLE}), \3, ",
                body,
            )
        ]
    labels: dict[str, list] = {}
    for m in re.finditer(
        rf"cmd\.pseudoatom\('([^']+)', name='([XYZ])', pos=\[({TRIPLE})\], "
        r"label='([^']+)'\)",
        text,
    ):
        labels.setdefault(m[1], []).append((m[2], floats(m[3]), m[4]))
    return shafts, heads, labels


def cxc_arrows(text):
    """Per model: shafts and heads as (from, to, colour), the markers in
    order of creation as (position, colour), and the labels as
    (marker number, text, colour)."""
    shafts, heads, markers, labels = {}, {}, {}, {}
    for line in text.splitlines():
        if line.startswith("#") or not line.strip():
            continue
        words = shlex.split(line)
        options = dict(zip(words[2::2], words[3::2]))
        if words[:2] in (["shape", "cylinder"], ["shape", "cone"]):
            model = int(options["modelId"].lstrip("#").split(".")[0])
            into = shafts if words[1] == "cylinder" else heads
            into.setdefault(model, []).append(
                (floats(options["fromPoint"]), floats(options["toPoint"]),
                 options["color"])
            )  # fmt: skip
        elif words[0] == "marker":
            options = dict(zip(words[2::2], words[3::2]))
            markers.setdefault(int(words[1].lstrip("#")), []).append(
                (floats(options["position"]), options["color"])
            )
        elif words[0] == "label":
            model, number = words[1].lstrip("#").split(":")
            options = dict(zip(words[3::2], words[4::2]))
            labels.setdefault(int(model), []).append(
                (int(number), options["text"], options["color"])
            )
    return shafts, heads, markers, labels


def check_label(at, origin, tip, text, axis, value, number=None):
    """A label anchored LABEL_GAP beyond the tip, along the arrow, naming
    its axis (and set) and principal value."""
    direction = (tip - origin) / np.linalg.norm(tip - origin)
    assert np.allclose(at, tip + LABEL_GAP * direction, atol=3e-3)
    name = axis.lower() + ("" if number is None else str(number))
    assert text == f"{name} {value:+.2f} Hz"


@pytest.mark.parametrize("fixture", ["lysozyme", "lysozyme_domains"])
def test_scripts_draw_arrows_ending_at_the_pseudo_atoms(fixture, request) -> None:
    out, _, report = request.getfixturevalue(fixture)
    stem = "media" if fixture == "lysozyme" else "domains"
    residues = pseudo_atoms(out / f"{stem}.pdb")
    values = [m["tensor"]["principal_values"] for m in report["media"]]
    several = len(residues) > 1

    shafts, heads, labels = pml_arrows((out / f"{stem}.pml").read_text())
    assert len(shafts) == len(heads) == len(labels) == len(residues)
    colours = {}
    for k, (name, atoms) in enumerate(zip(shafts, residues)):
        assert name.startswith(f"axes{k + 1}_")
        assert len(shafts[name]) == len(heads[name]) == 3
        for axis, shaft, head, label, value in zip(
            "XYZ", shafts[name], heads[name], labels[f"{name}_labels"], values[k]
        ):
            start, end, _, rgb = shaft
            base, tip, head_rgb = head
            # Shaft from the origin to the head's base, head to the tip.
            assert np.allclose(start, atoms["OO"], atol=2e-3)
            assert np.allclose(end, base) and np.allclose(tip, atoms[axis], atol=2e-3)
            # The head points outwards: its base lies between origin and tip.
            assert np.linalg.norm(base - start) < np.linalg.norm(tip - start)
            assert np.allclose(rgb, head_rgb)
            colours.setdefault(axis, set()).add(tuple(rgb))
            assert label[0] == axis
            check_label(label[1], atoms["OO"], tip, label[2], axis, value,
                        k + 1 if several else None)  # fmt: skip
    # One colour per axis, the same in every set, and three different ones.
    assert all(len(c) == 1 for c in colours.values())
    assert len({c.pop() for c in colours.values()}) == 3

    shafts, heads, markers, labels = cxc_arrows((out / f"{stem}.cxc").read_text())
    assert sorted(shafts) == sorted(markers) == [101 + k for k in range(len(residues))]
    hex_of = {}
    for k, atoms in enumerate(residues):
        model = 101 + k
        # The first marker is the origin; one label anchor per axis follows.
        assert np.allclose(markers[model][0][0], atoms["OO"], atol=2e-3)
        assert len(markers[model]) == 4 and len(labels[model]) == 3
        for i, axis in enumerate("XYZ"):
            start, end, colour = shafts[model][i]
            base, tip, head_colour = heads[model][i]
            assert np.allclose(start, atoms["OO"], atol=2e-3)
            assert np.allclose(end, base) and np.allclose(tip, atoms[axis], atol=2e-3)
            assert colour == head_colour
            hex_of.setdefault(axis, set()).add(colour)
            number, text, label_colour = labels[model][i]
            assert label_colour == colour
            # Markers number from 1 in order of creation.
            anchor = markers[model][number - 1][0]
            check_label(anchor, atoms["OO"], tip, text, axis, values[k][i],
                        k + 1 if several else None)  # fmt: skip
    assert all(len(c) == 1 for c in hex_of.values())
    assert len({c.pop() for c in hex_of.values()}) == 3


#: The ChimeraX commands the script may use, with the options their
#: reference pages document (marker, shape, label, rename) and the number of
#: positional words after the command's name.
CXC_COMMANDS = {
    ("marker",): (1, {"position", "radius", "color", "coordinateSystem"}),
    ("shape", "cylinder"): (0, {
        "radius", "height", "caps", "axis", "fromPoint", "toPoint", "center",
        "rotation", "qrotation", "coordinateSystem", "color", "name", "modelId",
        "divisions", "mesh", "slab",
    }),
    ("shape", "cone"): (0, {
        "radius", "height", "topRadius", "caps", "axis", "fromPoint", "toPoint",
        "center", "rotation", "qrotation", "coordinateSystem", "color", "name",
        "modelId", "divisions", "mesh", "slab",
    }),
    ("label",): (2, {"text", "color", "height", "size", "font", "offset", "onTop"}),
    ("rename",): (2, set()),
}  # fmt: skip


def check_cxc_syntax(text) -> None:
    """Every line a comment or one documented command with documented
    options, each given a well-formed value."""
    for line in text.splitlines():
        if line.startswith("#"):
            continue
        # A semicolon would start another command, even inside quotes.
        assert ";" not in line, line
        words = shlex.split(line)
        name = tuple(words[:2]) if words[0] == "shape" else tuple(words[:1])
        assert name in CXC_COMMANDS, line
        positional, options = CXC_COMMANDS[name]
        rest = words[len(name) :]
        target, pairs = rest[:positional], rest[positional:]
        if positional:
            assert re.fullmatch(r"#\d+(:\d+)?", target[0]), line
        if name == ("label",):
            assert target[1] == "atoms", line
        assert len(pairs) % 2 == 0, line
        for key, value in zip(pairs[0::2], pairs[1::2]):
            assert key in options, f"{key!r} in {line}"
            if key in ("position", "fromPoint", "toPoint"):
                assert re.fullmatch(rf"{NUMBER},{NUMBER},{NUMBER}", value), line
            elif key == "color":
                assert re.fullmatch(r"#[0-9a-f]{6}", value), line
            elif key in ("radius", "height"):
                assert float(value) > 0, line
            elif key == "modelId":
                assert re.fullmatch(r"#\d+\.\d+", value), line


def test_chimerax_script_uses_only_documented_syntax(lysozyme, lysozyme_domains):
    for out, stem in ((lysozyme[0], "media"), (lysozyme_domains[0], "domains")):
        check_cxc_syntax((out / f"{stem}.cxc").read_text())


def test_names_cannot_break_out_of_the_scripts() -> None:
    # A medium's name comes from the input files: a line break in it must
    # not end a comment and run the rest as commands, nor a quote end a
    # string early.
    from kelfit_tools.report.axes import AxisSet, axes_text

    evil = 'bad\nquit\r\n\'; import os; "x"; close'
    sets = [
        AxisSet(evil, (1.0, 2.0, 3.0), np.eye(3), (-1.0, -2.0, 3.0)),
        AxisSet("second", (0.0, 0.0, 0.0), np.eye(3), (1.0, 2.0, -3.0)),
    ]
    pml = axes_text("a.pml", sets)
    assert "quit" not in [line.strip() for line in pml.splitlines()]
    body = pml.split("\npython\n", 1)[1].rsplit("python end", 1)[0]
    compile(body, "axes.pml", "exec")  # the Python block stays valid Python
    cxc = axes_text("a.cxc", sets)
    assert "quit" not in [line.strip() for line in cxc.splitlines()]
    check_cxc_syntax(cxc)
    pdb = axes_text("a.pdb", sets)
    assert all(
        line[:6] in ("REMARK", "HETATM", "CONECT", "END") for line in pdb.splitlines()
    )


def test_arrow_lengths_follow_the_magnitudes() -> None:
    # The largest |value| (here negative) is drawn 15 A long; a short axis's
    # head takes at most half of it.
    from kelfit_tools.report.axes import AxisSet, axes_text

    centre = np.array([1.0, 2.0, 3.0])
    sets = [AxisSet("m", (1.0, 2.0, 3.0), np.eye(3), (0.5, -1.0, -10.0))]
    _, heads, _ = pml_arrows(axes_text("a.pml", sets))
    (drawn,) = heads.values()
    lengths = [np.linalg.norm(tip - centre) for _, tip, _ in drawn]
    assert lengths == pytest.approx([0.75, 1.5, 15.0])
    for (base, tip, _), length in zip(drawn, lengths):
        assert np.linalg.norm(tip - base) == pytest.approx(min(3.0, length / 2))


def test_axes_json_and_refusals(lysozyme, tmp_path) -> None:
    _, structure, report = lysozyme
    sets = report["axes"]["sets"]
    assert [s["name"] for s in sets] == [m["medium"] for m in report["media"]]
    done = run_kelfit(
        "fit", "--structure", structure, "--couplings",
        shared_data("hewl", "couplings.tab"), "--axes", tmp_path / "axes.txt",
    )  # fmt: skip
    assert done.returncode == 2 and ".pdb, .pml or .cxc" in done.stderr
    assert not (tmp_path / "axes.txt").exists()


def test_centre_is_the_couplings_atoms_under_any_segment_case(tmp_path, capsys) -> None:
    # The example's chain is A; couplings of segment "a" are matched to it,
    # and the axes must start where theirs do (the strand's first twelve),
    # not at the whole model's centre.
    centres = []
    for segid in ("A", "a"):
        table = chained_table(tmp_path / f"{segid}.tab", [segid])
        table.write_text("\n".join(table.read_text().splitlines()[:13]) + "\n")
        report = run_json(
            capsys, "fit", "--structure", example().structure, "--couplings", table,
            "--axes", tmp_path / f"{segid}.pdb", "--json", "-q",
        )  # fmt: skip
        centres.append(report["axes"]["sets"][0]["centre"])
    model = gemmi.read_structure(str(example().structure))[0]
    every = np.mean([a.pos.tolist() for ch in model for r in ch for a in r], axis=0)
    assert centres[1] == centres[0]
    assert np.linalg.norm(np.subtract(centres[0], every)) > 5.0


def pymol_python():
    """A Python that imports PyMOL (Debian's package puts it in the
    system's), or skip."""
    clean = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    for candidate in (shutil.which("python3"), "/usr/bin/python3", sys.executable):
        if candidate and os.path.exists(candidate):
            probe = subprocess.run(
                [candidate, "-c", "import pymol"],
                check=False,
                env=clean,
                capture_output=True,
            )
            if probe.returncode == 0:
                return candidate, clean
    pytest.skip("PyMOL is not installed")


def test_pymol_runs_the_script_and_reads_the_pseudo_atoms(lysozyme) -> None:
    python, env = pymol_python()
    out, structure, _ = lysozyme
    report = out / "pymol.json"
    probe = out / "probe.pml"
    probe.write_text(
        "python\n"
        "import json\n"
        "from pymol import cmd\n"
        "names = cmd.get_names('objects')\n"
        "found = {n: cmd.get_type(n) for n in names}\n"
        "labels = {n: cmd.get_coords(n).tolist() for n in names if n.endswith('_labels')}\n"
        "bonds = len(cmd.get_model('media').bond)\n"
        f"json.dump(dict(found=found, labels=labels, bonds=bonds), open({str(report)!r}, 'w'))\n"
        "python end\n"
    )  # fmt: skip
    done = subprocess.run(
        [python, "-m", "pymol", "-cq", str(structure), str(out / "media.pdb"),
         str(out / "media.pml"), str(probe)],
        check=False, env=env, capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert "Error" not in done.stdout + done.stderr, done.stdout + done.stderr
    seen = json.loads(report.read_text())
    cgo = [n for n, t in seen["found"].items() if t == "object:cgo"]
    assert len(cgo) == 2 and all(n.startswith(("axes1_", "axes2_")) for n in cgo)
    assert seen["bonds"] == 6
    # The labels PyMOL placed: LABEL_GAP beyond the pseudo-atoms' tips.
    for (name, coords), atoms in zip(
        sorted(seen["labels"].items()), pseudo_atoms(out / "media.pdb")
    ):
        for at, axis in zip(coords, "XYZ"):
            arm = atoms[axis] - atoms["OO"]
            expected = atoms[axis] + LABEL_GAP * arm / np.linalg.norm(arm)
            assert np.allclose(at, expected, atol=3e-3), name
