"""Tensor axes written for molecular viewers, read back: the pseudo-atoms
(with gemmi) and the two scripts (by their coordinates) must hold the
fitted eigenvectors, at lengths proportional to the principal values,
from the centre of the couplings' atoms."""

from __future__ import annotations

import json
import re

import numpy as np
import pytest
from tools_support import run_kelfit, shared_data

gemmi = pytest.importorskip("gemmi")


@pytest.fixture(scope="module")
def lysozyme(tmp_path_factory):
    """Both media of lysozyme, with axes in all three forms."""
    out = tmp_path_factory.mktemp("axes")
    structure = shared_data("hewl", "1e8l-model-1.pdb")
    restraints = shared_data("hewl", "1e8l.mr")
    reports = {}
    for ext in ("pdb", "pml", "cxc"):
        done = run_kelfit(
            "fit", "--structure", structure, "--couplings", restraints, "-q",
            "--axes", out / f"axes.{ext}", "--json",
        )  # fmt: skip
        assert done.returncode == 0, done.stderr
        reports[ext] = json.loads(done.stdout)
    return out, structure, reports


def eigenvectors(order_matrix):
    """Principal axes (rows x, y, z: |value| ascending) and values of a
    symmetric matrix, from numpy alone."""
    values, vectors = np.linalg.eigh(np.asarray(order_matrix))
    order = np.argsort(np.abs(values))
    return vectors[:, order].T, values[order]


def coupled_centre(structure_path) -> np.ndarray:
    """Mean position of every N and H atom of the residues 1E8L's couplings
    use (N-H couplings of residues with an amide proton)."""
    model = gemmi.read_structure(str(structure_path))[0]
    points = []
    for chain in model:
        for residue in chain:
            names = {a.name for a in residue}
            if "N" in names and "H" in names:
                points.extend(
                    [a.pos.x, a.pos.y, a.pos.z] for a in residue if a.name in ("N", "H")
                )
    return np.mean(points, axis=0)


def test_pseudo_atoms_read_back_are_the_fitted_eigenvectors(lysozyme) -> None:
    out, structure, reports = lysozyme
    media = reports["pdb"]["media"]
    written = gemmi.read_structure(str(out / "axes.pdb"))[0]
    residues = [r for chain in written for r in chain]
    assert [r.name for r in residues] == ["ANI", "ANI"]
    longest = max(
        abs(v) for m in media for v in eigenvectors(m["tensor"]["order_matrix"])[1]
    )
    for residue, medium in zip(residues, media):
        atoms = {a.name: np.array([a.pos.x, a.pos.y, a.pos.z]) for a in residue}
        assert set(atoms) == {"OO", "X", "Y", "Z"}
        axes, values = eigenvectors(medium["tensor"]["order_matrix"])
        for k, name in enumerate("XYZ"):
            arm = atoms[name] - atoms["OO"]
            length = np.linalg.norm(arm)
            # Same axis (either sign) ...
            assert abs(np.dot(arm / length, axes[k])) == pytest.approx(1.0, abs=1e-4)
            # ... at 15 A times |value| over the file's largest |value|.
            assert length == pytest.approx(15.0 * abs(values[k]) / longest, abs=2e-3)
        # From near the middle of the coupled atoms (each medium has its own
        # couplings, so its own centre, close to that of all amides).
        assert np.linalg.norm(atoms["OO"] - coupled_centre(structure)) < 1.5


def test_scripts_draw_the_same_arrows(lysozyme) -> None:
    out, _, _ = lysozyme
    model = gemmi.read_structure(str(out / "axes.pdb"))[0]
    tips = [
        np.array([a.pos.x, a.pos.y, a.pos.z])
        for chain in model
        for residue in chain
        for a in residue
        if a.name != "OO"
    ]
    pml = (out / "axes.pml").read_text()
    assert "load_cgo" in pml and pml.count("pseudoatom") == 6
    cone_tips = [
        np.array([float(x) for x in m.group(1).split(",")])
        for m in re.finditer(r"CONE, (?:[-\d.]+, ){3}([-\d.]+, [-\d.]+, [-\d.]+)", pml)
    ]
    cxc = (out / "axes.cxc").read_text()
    segment_tips = [
        np.array([float(x) for x in m.group(1).split(",")])
        for m in re.finditer(r"toPosition ([-\d.]+,[-\d.]+,[-\d.]+)", cxc)
    ]
    for drawn in (cone_tips, segment_tips):
        assert len(drawn) == 6
        for a, b in zip(drawn, tips):
            assert np.allclose(a, b, atol=2e-3)
    assert cxc.count('label "z') == 2


def test_axes_json_and_refusals(lysozyme, tmp_path) -> None:
    _, structure, reports = lysozyme
    sets = reports["pdb"]["axes"]["sets"]
    assert [s["name"] for s in sets] == [m["medium"] for m in reports["pdb"]["media"]]
    done = run_kelfit(
        "fit", "--structure", structure, "--couplings",
        shared_data("hewl", "couplings.tab"), "--axes", tmp_path / "axes.txt",
    )  # fmt: skip
    assert done.returncode == 2 and ".pdb, .pml or .cxc" in done.stderr
    assert not (tmp_path / "axes.txt").exists()
