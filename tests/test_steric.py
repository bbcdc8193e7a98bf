"""Alignment predicted from shape: kelfit.steric, kelfit_tools.steric and
``kelfit predict``.

Expected values come from symmetry, from arithmetic done here, or from a
plain NumPy average over random directions written in this file.
"""

from __future__ import annotations

import json
import math
import subprocess
import sys
from collections import Counter

import kelfit
import numpy as np
import pytest
from kelfit_tools.steric import (
    MEDIA,
    atom_radii,
    heavy_atoms,
    medium_geometry,
    predict_order,
    predicted_values,
)
from tools_support import run_kelfit, shared_data

#: The measured proteins: folder, structure.
PROTEINS = [
    ("ubiquitin", "1d3z-model-1.pdb"),
    ("gb3", "1p7e.pdb"),
    ("hewl", "1e8l-model-1.pdb"),
]


#: A salt solution for the refusals of a charged medium.
WATER = {"ionic_strength": 1.0, "temperature": 300.0, "permittivity": 78.0}


def rod(half: float) -> np.ndarray:
    """Atoms 2 A apart along z."""
    z = np.arange(-half, half + 1e-9, 2.0)
    return np.column_stack([np.zeros_like(z), np.zeros_like(z), z])


def disc(half: float) -> np.ndarray:
    """Atoms on a 2 A grid in the xy plane, within radius ``half``."""
    u = np.arange(-half, half + 1e-9, 2.0)
    x, y = np.meshgrid(u, u)
    keep = x**2 + y**2 <= half**2
    return np.column_stack([x[keep], y[keep], np.zeros(keep.sum())])


def shell(radius: float, count: int) -> np.ndarray:
    """Atoms spread over a sphere, from random directions (a different set
    from the module's own)."""
    rng = np.random.default_rng(7)
    v = rng.normal(size=(count, 3))
    return radius * v / np.linalg.norm(v, axis=1)[:, None]


def random_rotation(seed: int) -> np.ndarray:
    q, r = np.linalg.qr(np.random.default_rng(seed).normal(size=(3, 3)))
    q = q * np.sign(np.diag(r))
    return q if np.linalg.det(q) > 0 else -q


def numpy_wall_order(xyz: np.ndarray, radii: np.ndarray, spacing: float) -> np.ndarray:
    """The wall model by brute force: 200,000 random directions, each
    weighted by the gap left between walls ``spacing`` apart."""
    rng = np.random.default_rng(11)
    n = rng.normal(size=(200_000, 3))
    n /= np.linalg.norm(n, axis=1)[:, None]
    h = n @ (xyz - xyz.mean(axis=0)).T
    extent = (h + radii).max(axis=1) - (h - radii).min(axis=1)
    w = np.clip(spacing - extent, 0.0, None)
    p2 = 1.5 * n[:, :, None] * n[:, None, :] - 0.5 * np.eye(3)
    # P2 averages to zero over all directions, so its sum with weights
    # w - mean(w) has the same expectation with far less sampling noise.
    return np.einsum("k,kij->ij", w - w.mean(), p2) / w.sum()


class TestModuleEntry:
    def test_wall_matches_a_brute_force_average(self):
        rng = np.random.default_rng(3)
        xyz = rng.normal(size=(60, 3)) * [12.0, 6.0, 3.0]
        radii = rng.uniform(1.5, 1.9, 60)
        order, allowed = kelfit.steric(xyz, radii, shape="wall", spacing=300.0)
        expected = numpy_wall_order(xyz, radii, 300.0)
        assert np.abs(order - expected).max() < 0.02 * np.abs(expected).max()
        assert 0.0 < allowed < 1.0
        assert order == pytest.approx(order.T, abs=0)
        assert np.trace(order) == pytest.approx(0.0, abs=1e-12)

    def test_same_bits_for_any_number_of_workers(self):
        xyz = np.random.default_rng(4).normal(size=(40, 3)) * 8.0
        radii = np.full(40, 1.8)
        for shape, extra in (("wall", {}), ("cylinder", {"cylinder_radius": 30.0})):
            runs = [
                kelfit.steric(
                    xyz,
                    radii,
                    shape=shape,
                    spacing=5e5 if shape == "cylinder" else 200.0,
                    orientations=3000,
                    workers=w,
                    **extra,
                )
                for w in (1, 2, 3, 0)
            ]
            for order, allowed in runs[1:]:
                assert np.array_equal(order, runs[0][0])
                assert allowed == runs[0][1]

    @pytest.mark.parametrize(
        ("kwargs", "message"),
        [
            ({"coordinates": [[0, 0]]}, "coordinates must be an N x 3"),
            ({"coordinates": np.zeros((0, 3))}, "coordinates must be an N x 3"),
            ({"coordinates": "abc"}, "coordinates must be"),
            ({"coordinates": [[0, 0, math.nan]]}, r"coordinates\[0\] must be finite"),
            ({"radii": [1.0, 2.0]}, "radii must hold one value per atom"),
            ({"radii": [-1.0]}, r"radii\[0\] must be finite and not negative"),
            ({"shape": "slab"}, "shape must be 'wall' or 'cylinder', got 'slab'$"),
            ({"shape": "x" * 200000}, "got a name of 200000 characters$"),
            ({"spacing": None}, "spacing must be given"),
            ({"spacing": -5.0}, "spacing must be given, finite and positive"),
            ({"shape": "cylinder"}, "cylinder_radius must be finite and positive"),
            ({"orientations": 0}, "orientations must be between 1"),
            ({"workers": -1}, "workers must be between 0"),
            ({"spacing": 2.0}, "no orientation fits"),
            ({"charge_density": 0.05}, "charge_density needs charges"),
            (
                {"charges": [1.0], "charge_density": 0.05},
                "ionic_strength must be given",
            ),
            ({"charges": [1.0, 2.0], **WATER}, "charges must hold one value per atom"),
            ({"charges": [math.nan], **WATER}, r"charges\[0\] must be finite"),
            (
                {"charges": [-300.0], **WATER, "charge_density": 1.0},
                "bind the molecule",
            ),
        ],
    )
    def test_refusals_name_the_argument(self, kwargs, message):
        args = {
            "coordinates": [[1.0, 2.0, 3.0]],
            "radii": [1.8],
            "shape": "wall",
            "spacing": 100.0,
        }
        args.update(kwargs)
        if args["spacing"] is None:
            del args["spacing"]
        coordinates = args.pop("coordinates")
        radii = args.pop("radii")
        before = (sys.getrefcount(coordinates), sys.getrefcount(radii))
        with pytest.raises(ValueError, match=message):
            kelfit.steric(coordinates, radii, **args)
        assert (sys.getrefcount(coordinates), sys.getrefcount(radii)) == before

    def test_a_call_holds_no_references(self):
        xyz = np.zeros((1, 3))
        radii = np.ones(1)
        before = (sys.getrefcount(xyz), sys.getrefcount(radii))
        order, _ = kelfit.steric(xyz, radii, spacing=50.0)
        assert (sys.getrefcount(xyz), sys.getrefcount(radii)) == before
        assert sys.getrefcount(order) == 2  # the name and the call's argument


class TestShapes:
    @pytest.mark.parametrize("medium", list(MEDIA))
    def test_sphere_rod_and_disc(self, medium):
        radii = np.full
        rod_xyz, disc_xyz = rod(20.0), disc(20.0)
        ball = shell(20.0, 800)
        p_rod = predict_order(rod_xyz, radii(len(rod_xyz), 1.8), medium=medium)
        p_disc = predict_order(disc_xyz, radii(len(disc_xyz), 1.8), medium=medium)
        p_ball = predict_order(ball, radii(len(ball), 1.8), medium=medium)
        t_rod, t_disc = p_rod.tensor(), p_disc.tensor()
        # A sphere aligns to nothing, next to a rod of its diameter.
        assert abs(p_ball.tensor().da) < 0.02 * abs(t_rod.da)
        # The rod's unique axis is the rod, and it has no rhombicity.
        assert abs(t_rod.axes[2][2]) == pytest.approx(1.0, abs=1e-6)
        assert t_rod.r == pytest.approx(0.0, abs=0.01)
        # A disc of the same extent aligns the other way.
        assert np.sign(t_disc.da) == -np.sign(t_rod.da)
        assert abs(t_disc.axes[2][2]) == pytest.approx(1.0, abs=1e-6)

    def test_rod_between_bicelles_lies_in_their_plane(self):
        # A bicelle's normal stands across the field, so a rod that avoids
        # the normal lies, on average, along the field: a positive Saupe
        # order along the rod. Couplings are -D_max <P2>, so a fit of them
        # finds the opposite sign: negative Da.
        for medium in MEDIA:
            p = predict_order(rod(20.0), np.full(21, 1.8), medium=medium)
            assert p.saupe_matrix[2, 2] > 0
            assert p.tensor().da < 0

    def test_medium_geometry_by_hand(self):
        # 40 A bilayers at 5 %: 800 A apart centre to centre, 760 A of gap.
        assert medium_geometry(MEDIA["bicelle"], 5.0)["spacing"] == pytest.approx(760.0)
        # 1837 Da/A at 10 mg/ml = 1e-26 g/A^3: 1837 * 1.66054e-24 / 1e-26 A^2.
        phage = medium_geometry(MEDIA["phage"], 10.0)
        assert phage["spacing"] == pytest.approx(1837 * 166.053907, rel=1e-9)
        assert phage["cylinder_radius"] == 33.5
        with pytest.raises(ValueError, match="below 100"):
            medium_geometry(MEDIA["bicelle"], 100.0)
        with pytest.raises(ValueError, match="concentration must be positive"):
            medium_geometry(MEDIA["phage"], 0.0)

    def test_concentration_scales_the_order_only(self):
        xyz = rod(16.0)
        radii = np.full(len(xyz), 1.8)
        low = predict_order(xyz, radii, concentration=2.5)
        high = predict_order(xyz, radii, concentration=10.0)
        # More walls: stronger alignment, the same axes.
        assert abs(high.tensor().da) > 3.0 * abs(low.tensor().da)
        assert abs(high.tensor().axes[2] @ low.tensor().axes[2]) == pytest.approx(1.0)

    def test_radii_by_element(self):
        assert list(atom_radii(["C", "n", "O", "S", "FE"])) == [
            1.70,
            1.55,
            1.52,
            1.80,
            1.80,
        ]


@pytest.fixture(scope="module")
def ubiquitin():
    pytest.importorskip("gemmi")
    from kelfit_tools.io.structure import load_structure, residue_vectors

    structure = load_structure(shared_data("ubiquitin", "1d3z-model-1.pdb"))
    xyz, elements = heavy_atoms(structure)
    vectors, _ = residue_vectors(structure, ("N", "H"), 1)
    return xyz, atom_radii(elements), vectors


class TestProtein:
    def test_heavy_atoms_leave_out_protons(self, ubiquitin):
        xyz, radii, _ = ubiquitin
        # Ubiquitin (76 residues) has 602 heavy atoms in 1D3Z.
        assert xyz.shape == (602, 3)
        assert set(np.round(radii, 2)) <= {1.70, 1.55, 1.52, 1.80}

    @pytest.mark.parametrize("medium", list(MEDIA))
    def test_rotating_the_coordinates_leaves_the_couplings(self, ubiquitin, medium):
        xyz, radii, vectors = ubiquitin
        m = random_rotation(5)
        first = predicted_values(predict_order(xyz, radii, medium=medium), vectors)
        turned = predicted_values(
            predict_order(xyz @ m.T + [30.0, -12.0, 4.0], radii, medium=medium),
            vectors @ m.T,
        )
        rms = math.sqrt(float(np.mean(first**2)))
        assert np.abs(turned - first).max() < 0.01 * rms

    @pytest.mark.parametrize("medium", list(MEDIA))
    def test_doubling_the_orientations_changes_under_one_percent(
        self, ubiquitin, medium
    ):
        xyz, radii, _ = ubiquitin
        base = predict_order(xyz, radii, medium=medium)
        double = predict_order(
            xyz, radii, medium=medium, orientations=2 * base.orientations
        )
        change = np.linalg.norm(double.order_matrix - base.order_matrix)
        assert change < 0.01 * np.linalg.norm(base.order_matrix)


def predict_json(folder: str, structure: str, *extra: str) -> dict:
    done = run_kelfit(
        "predict",
        "--structure",
        shared_data(folder, structure),
        "--couplings",
        shared_data(folder, "couplings.tab"),
        "--types",
        "N-H",
        "--json",
        *extra,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


#: |r| and the unique axis's angle (degrees) of a plain wall model with 1.8 A
#: spheres and 20,000 random orientations: the prediction must do at least as
#: well.
ANCHOR = {"ubiquitin": (0.946, 5.9), "gb3": (0.903, 18.0), "hewl": (0.934, 5.9)}


class TestCommand:
    @pytest.mark.parametrize(("folder", "structure"), PROTEINS)
    def test_measured_couplings(self, folder, structure):
        pytest.importorskip("gemmi")
        # Lysozyme's restraint file gives N-H couplings their physical sign;
        # the other two tables invert them, as magnitudes tables do.
        signs = ("--signs", "physical") if folder == "hewl" else ()
        out = predict_json(folder, structure, *signs)
        c = out["comparison"]
        r, angle = ANCHOR[folder]
        assert c["pearson_r"] >= r
        assert c["scale"] > 0 and c["da_ratio"] > 0
        assert out["warnings"] == []
        # The anchor's angle to its own precision of 0.1 degree.
        assert c["axis_angles_deg"][2] < angle + 0.05
        assert set(c) >= {"pearson_r", "q", "scale", "axis_angles_deg"}
        # The scale and q from the rows: least squares through the origin.
        o = np.array([row["observed"] for row in out["couplings"]])
        p = np.array([row["calculated"] for row in out["couplings"]])
        assert c["scale"] == pytest.approx(np.dot(o, p) / np.dot(p, p), rel=1e-9)
        cosine2 = np.dot(o, p) ** 2 / (np.dot(o, o) * np.dot(p, p))
        assert c["q"] == pytest.approx(math.sqrt(1 - cosine2), rel=1e-9)
        assert abs(c["pearson_r"]) == pytest.approx(abs(np.corrcoef(o, p)[0, 1]))
        t = out["tensor"]
        assert set(t) >= {"da", "r", "principal_axes", "order_matrix", "euler_deg"}
        assert len(out["couplings"]) == c["n"]

    def test_sign_disagreement_the_bond_types_cannot_settle_is_warned(self):
        pytest.importorskip("gemmi")
        out = predict_json("hewl", "1e8l-model-1.pdb")
        assert out["comparison"]["pearson_r"] < 0
        (warning,) = out["warnings"]
        assert "opposite signs" in warning and "--signs physical" in warning

    def test_without_couplings_every_amide(self):
        pytest.importorskip("gemmi")
        done = run_kelfit(
            "predict",
            "--structure",
            shared_data("ubiquitin", "1d3z-model-1.pdb"),
            "--steric-medium",
            "phage",
            "--concentration",
            "20",
            "--json",
        )
        assert done.returncode == 0, done.stderr
        out = json.loads(done.stdout)
        assert "comparison" not in out
        assert out["medium"]["name"] == "phage"
        assert out["medium"]["concentration"] == 20.0
        # Without couplings, every backbone bond the structure has: 76
        # residues, three of them prolines (no amide proton), Met1 with an
        # NH3+ (no H), six glycines (HA2/HA3, no HA), 75 peptide bonds.
        counts = Counter(row["type"] for row in out["couplings"])
        assert counts == {"N-H": 72, "CA-HA": 70, "C-N": 75, "CA-C": 76}
        peptide = [r for r in out["couplings"] if r["type"] == "C-N"]
        assert all(r["residue_j"] == r["residue_i"] + 1 for r in peptide)
        s = np.array(out["tensor"]["order_matrix"])
        assert np.trace(s) == pytest.approx(0.0, abs=1e-12)

    def test_predicted_couplings_as_csv(self, tmp_path):
        pytest.importorskip("gemmi")
        target = tmp_path / "predicted.csv"
        done = run_kelfit(
            "predict",
            "--structure",
            shared_data("hewl", "1e8l-model-1.pdb"),
            "--couplings",
            shared_data("hewl", "couplings.tab"),
            "--out",
            target,
        )
        assert done.returncode == 0, done.stderr
        assert "Pearson r" in done.stdout
        lines = target.read_text().splitlines()
        header = lines[0].split(",")
        rows = [dict(zip(header, line.split(","))) for line in lines[1:]]
        assert len(rows) == 107
        assert all(row["type"] == "N-H" and row["observed"] for row in rows)

    def test_ctrl_c_ends_the_command_with_one_line(self, tmp_path):
        pytest.importorskip("gemmi")
        # A second into an average of many minutes, as a terminal's Ctrl-C.
        # Python's own handler would only run once the average had ended,
        # well past the timeout.
        code = (
            "import os, signal, sys, threading\n"
            "from kelfit_tools.cli import main\n"
            # As at a terminal, even when the suite runs with SIGINT ignored.
            "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
            "threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()\n"
            "sys.exit(main(sys.argv[1:]))\n"
        )
        target = tmp_path / "predicted.csv"
        done = subprocess.run(
            [sys.executable, "-c", code, "predict", "--structure"]
            + [shared_data("ubiquitin", "1d3z-model-1.pdb"), "--steric-medium", "phage"]
            + ["--orientations", "10000000", "--out", str(target)],
            check=False,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert done.returncode == 130
        assert done.stderr.splitlines()[-1] == "kelfit: interrupted"
        assert "Traceback" not in done.stderr
        assert done.stdout == ""
        assert not target.exists()

    def test_several_media_are_refused(self):
        pytest.importorskip("gemmi")
        done = run_kelfit(
            "predict",
            "--structure",
            shared_data("hewl", "1e8l-model-1.pdb"),
            "--couplings",
            shared_data("hewl", "1e8l.mr"),
        )
        assert done.returncode == 1
        assert "several media" in done.stderr
        assert "pick it with --medium NAME|N" in done.stderr

    def test_refusals(self):
        pytest.importorskip("gemmi")
        done = run_kelfit(
            "predict",
            "--structure",
            shared_data("ubiquitin", "1d3z-model-1.pdb"),
            "--concentration",
            "150",
        )
        assert done.returncode == 1
        assert "concentration must be below 100" in done.stderr
        done = run_kelfit("predict", "--structure", "/nonexistent.pdb")
        assert done.returncode == 1
        assert "no such file" in done.stderr
        # Too many orientations are refused before the structure is read.
        done = run_kelfit(
            "predict", "--structure", "/nonexistent.pdb", "--orientations", "1000000000"
        )
        assert done.returncode == 2
        assert "orientations must be from 1 to 100,000,000" in done.stderr


def test_heavy_atoms_keep_the_first_alternative_location_only() -> None:
    gemmi = pytest.importorskip("gemmi")
    pdb = "".join(
        f"ATOM  {k:5d} {name:<4}{alt}SER A   1    {x:8.3f}{0.0:8.3f}{0.0:8.3f}"
        f"  0.50 10.00          {element:>2}\n"
        for k, (name, alt, x, element) in enumerate(
            [("N", " ", 0.0, "N"), ("OG", "A", 1.0, "O"), ("OG", "B", 2.0, "O"),
             ("H", " ", 3.0, "H")], 1
        )
    )  # fmt: skip
    xyz, elements = heavy_atoms(gemmi.read_pdb_string(pdb))
    assert elements == ["N", "O"]
    assert xyz[:, 0].tolist() == [0.0, 1.0]
