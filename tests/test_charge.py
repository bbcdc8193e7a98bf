"""Alignment predicted from shape and charge: kelfit.steric with charges,
kelfit.wall_potential, kelfit_tools.charges and ``kelfit predict --charge``.

The potential is checked against the Poisson-Boltzmann equation itself, the
position integral against a plain trapezoid sum, and lysozyme's predictions
against values measured with a separate NumPy model of the same physics.
"""

from __future__ import annotations

import json
import math

import gemmi
import kelfit
import numpy as np
import pytest
from kelfit_tools.charges import Electrolyte, file_charges, residue_charges
from kelfit_tools.report.prediction import measured_rows
from kelfit_tools.steric import heavy_sites, predict_order, structure_order
from test_steric import rod, shell
from tools_support import run_kelfit, shared_data, write_models

# SI constants, written here apart from the module's.
E = 1.602176634e-19
KB = 1.380649e-23
NA = 6.02214076e23
EPS0 = 8.8541878128e-12

FIELD = {"ionic_strength": 50.0, "temperature": 308.0, "permittivity": 74.8}


def lumpy(count: int = 150, seed: int = 5) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """An uneven molecule with charges of both signs and several sizes."""
    rng = np.random.default_rng(seed)
    xyz = rng.normal(size=(count, 3)) * [14.0, 7.0, 4.0]
    charges = rng.choice([0.0, 0.0, 0.0, 1.0, -0.5, 0.25], size=count)
    return xyz, rng.uniform(1.5, 1.9, count), charges


class TestPotential:
    @pytest.mark.parametrize(
        ("density", "ionic"), [(0.06, 50.0), (-0.2, 10.0), (0.5, 150.0)]
    )
    def test_it_solves_poisson_boltzmann_with_grahames_surface(self, density, ionic):
        # A point charge q at s from the surface has the free energy q e psi(s):
        # Gouy-Chapman's closed form with Grahame's surface potential, which
        # satisfies y'' = kappa^2 sinh y and, at the surface, Gauss's law
        # -y'(0) = e sigma / (eps kT).
        field = {**FIELD, "ionic_strength": ionic}
        eps_kt = EPS0 * field["permittivity"] * KB * field["temperature"]
        kappa = math.sqrt(2 * NA * ionic * E * E / eps_kt) * 1e-10  # 1/angstrom
        sigma = density * E * 1e18  # C/m^2
        grahame = 2 * math.asinh(sigma / math.sqrt(8 * NA * ionic * eps_kt))
        s = np.arange(0.0, 60.0, 0.25)
        gamma = math.tanh(grahame / 4) * np.exp(-kappa * s)
        closed = 4 * np.arctanh(gamma)
        h = 0.05
        grid = np.concatenate([s, s + h, s + 2 * h, np.maximum(s - h, 0.0)])
        y, debye, y0 = kelfit.wall_potential(grid, charge_density=density, **field)
        y_s, y_h, y_2h, y_m = np.split(y, 4)
        assert debye == pytest.approx(1 / kappa, rel=1e-12)
        assert y0 == pytest.approx(grahame, rel=1e-12)
        assert y_s == pytest.approx(closed, rel=1e-6, abs=1e-15)
        second = (y_h[1:] - 2 * y_s[1:] + y_m[1:]) / h**2
        assert second == pytest.approx(kappa**2 * np.sinh(y_s[1:]), rel=1e-4)
        slope = (-3 * y_s[0] + 4 * y_h[0] - y_2h[0]) / (2 * h)
        assert -slope == pytest.approx(E * sigma / eps_kt * 1e-10, rel=1e-3)

    @pytest.mark.parametrize("shape", ["wall", "cylinder"])
    @pytest.mark.parametrize("charge", [1.0, -1.0])
    def test_one_point_charge_integrates_its_boltzmann_factor(self, shape, charge):
        # A single atom of radius 0: every orientation alike, and the share of
        # positions is the integral of exp(-q y(s)) over the distance from
        # the surface, here a fine trapezoid sum.
        density, radius = 0.08, 33.5
        spacing = 800.0 if shape == "wall" else 2.0e5
        s = np.linspace(0.0, 400.0, 400_001)
        y = kelfit.wall_potential(s, charge_density=density, **FIELD)[0]
        change = np.expm1(-charge * y)
        if shape == "wall":
            expected = (spacing + 2 * np.trapezoid(change, s)) / spacing
        else:
            gained = 2 * math.pi * np.trapezoid((radius + s) * change, s)
            expected = 1 - (math.pi * radius**2 - gained) / spacing
        _, allowed = kelfit.steric(
            [[0.0, 0.0, 0.0]], [0.0], shape=shape, spacing=spacing,
            cylinder_radius=radius, orientations=16, charges=[charge],
            charge_density=density, **FIELD,
        )  # fmt: skip
        assert allowed == pytest.approx(expected, rel=1e-9 if shape == "wall" else 1e-6)


class TestChargedShapes:
    @pytest.mark.parametrize("shape", ["wall", "cylinder"])
    @pytest.mark.parametrize("workers", [1, 2])
    def test_nothing_charged_gives_the_uncharged_bits(self, shape, workers):
        xyz, radii, charges = lumpy()
        medium = {"shape": shape, "spacing": 300.0 if shape == "wall" else 3e5}
        medium.update(cylinder_radius=33.5, orientations=2000, workers=workers)
        plain = kelfit.steric(xyz, radii, **medium)
        for q, density in ((charges, 0.0), (np.zeros_like(charges), 0.06)):
            order, allowed = kelfit.steric(
                xyz, radii, charges=q, charge_density=density, **FIELD, **medium
            )
            assert np.array_equal(order, plain[0])
            assert allowed == plain[1]

    def test_like_charges_keep_a_sphere_isotropic_and_a_rod_less_aligned(self):
        # Charges of the walls' sign push the molecule from them: fewer
        # positions, the same symmetry (a sphere still aligns to nothing), and
        # a rod loses alignment, since lying along a wall brings every one of
        # its charges near it.
        field = {"charge_density": 0.05, **FIELD}
        ball = shell(20.0, 800)
        line = rod(20.0)
        for xyz, charge in ((ball, 8.0 / len(ball)), (line, 0.5)):
            radii, q = np.full(len(xyz), 1.8), np.full(len(xyz), charge)
            neutral = predict_order(xyz, radii)
            charged = predict_order(
                xyz, radii, charges=q, electrolyte=Electrolyte(**field)
            )
            assert charged.allowed < neutral.allowed - 0.01
            if xyz is ball:
                rod_da = predict_order(line, np.full(len(line), 1.8)).tensor().da
                assert abs(charged.tensor().da) < 0.02 * abs(rod_da)
            else:
                assert 0 < abs(charged.tensor().da) < 0.9 * abs(neutral.tensor().da)

    @pytest.mark.parametrize("medium", ["bicelle", "phage"])
    def test_reversing_every_charge_and_the_surface_changes_nothing(self, medium):
        xyz, radii, charges = lumpy(seed=9)
        one = Electrolyte(0.05)
        other = Electrolyte(-0.05)
        kw = {"medium": medium, "orientations": 500}
        a = predict_order(xyz, radii, charges=charges, electrolyte=one, **kw)
        b = predict_order(xyz, radii, charges=-charges, electrolyte=other, **kw)
        plain = predict_order(xyz, radii, **kw)
        assert np.abs(a.saupe_matrix - plain.saupe_matrix).max() > 1e-5
        assert b.saupe_matrix == pytest.approx(a.saupe_matrix, abs=1e-14)
        assert b.allowed == pytest.approx(a.allowed, rel=1e-13)


#: Lysozyme's two media in its restraint file.
NEUTRAL, CTAB = "5% DMPC:DHPC (2.9:1.0)", "7.5% DMPC:DHPC:CTAB (2.9:1.0:0.1)"


def issue_charges(structure, path) -> None:
    """Lys NZ +1, Arg CZ +1, -0.5 on each Asp/Glu carboxyl oxygen, His +0.25
    (over ND1 and NE2), N-terminus +1 and C-terminus -1 (over O and OXT), as
    a charge file."""
    sites = list(heavy_sites(structure))
    first, last = sites[0][1].seqid.num, sites[-1][1].seqid.num
    table = {("LYS", "NZ"): 1, ("ARG", "CZ"): 1, ("HIS", "ND1"): 0.125}
    table.update({("HIS", "NE2"): 0.125, ("ASP", "OD1"): -0.5, ("ASP", "OD2"): -0.5})
    table.update({("GLU", "OE1"): -0.5, ("GLU", "OE2"): -0.5})
    lines = ["chain,residue,atom,charge"]
    for chain, residue, atom in sites:
        q = table.get((residue.name, atom.name), 0.0)
        q += residue.seqid.num == first and atom.name == "N"
        q -= 0.5 * (residue.seqid.num == last and atom.name in ("O", "OXT"))
        if q:
            lines.append(f"{chain.name},{residue.seqid.num},{atom.name},{q}")
    path.write_text("\n".join(lines) + "\n")


@pytest.fixture(scope="module")
def lysozyme():
    return gemmi.read_structure(str(shared_data("hewl", "1e8l-model-1.pdb")))


class TestLysozyme:
    @pytest.mark.parametrize(
        ("density", "ionic", "r", "axis", "ratio"),
        [(None, None, 0.988, 3.6, 1.59), (0.06, 50.0, 0.862, 10.6, 0.69),
         (0.08, 10.0, 0.625, 23.4, 0.38)],
    )  # fmt: skip
    def test_the_measured_table(
        self, lysozyme, tmp_path, density, ionic, r, axis, ratio
    ):
        # Medium 2 (CTAB, positive) against its N-H couplings; Da against
        # the uncharged prediction in medium 1 (5 %).
        charges = tmp_path / "charges.csv"
        issue_charges(lysozyme, charges)
        assert file_charges(lysozyme, charges).sum() == pytest.approx(8.25)
        assert residue_charges(lysozyme, ph=6.5).sum() == pytest.approx(8.25, abs=0.05)
        couplings = shared_data("hewl", "1e8l.mr")
        electrolyte = (
            None if density is None else Electrolyte(density, ionic, 6.5, 308.0, 74.8)
        )
        first = structure_order(lysozyme, concentration=5.0)
        second = structure_order(
            lysozyme, concentration=7.5, electrolyte=electrolyte, charge_file=charges
        )
        _, c, _ = measured_rows(
            lysozyme, second, couplings, nh_length=1.02, signs="physical", medium=CTAB
        )
        assert c.pearson_r == pytest.approx(r, abs=0.002)
        assert c.axis_angles_deg[2] == pytest.approx(axis, abs=0.2)
        assert second.tensor().da / first.tensor().da == pytest.approx(ratio, abs=0.01)


class TestCommand:
    def test_ranges_give_the_centre_every_corner_and_their_spread(self):
        pdb = shared_data("hewl", "1e8l-model-1.pdb")
        mr = shared_data("hewl", "1e8l.mr")
        args = ["predict", "--structure", pdb, "--couplings", mr, "--medium", "2"]
        args += ["--signs", "physical", "--concentration", "7.5", "--json", "-q"]
        done = run_kelfit(
            *args, "--charge-density", "0.02:0.06", "--ionic-strength", "20:100"
        )
        assert done.returncode == 0, done.stderr
        report = json.loads(done.stdout)
        block = report["charge"]
        conditions = block["conditions"]
        assert len(conditions) == 5
        assert [(c["charge_density"], c["ionic_strength"]) for c in conditions] == [
            (0.04, 60.0), (0.02, 20.0), (0.02, 100.0), (0.06, 20.0), (0.06, 100.0),
        ]  # fmt: skip
        centre = conditions[0]
        assert centre["da"] == report["tensor"]["da"]
        assert centre["comparison"] == report["comparison"]
        for key, values in (("da", [c["da"] for c in conditions]),):
            assert block["spread"][key] == [min(values), max(values)]
        r = [c["comparison"]["pearson_r"] for c in conditions]
        assert block["spread"]["pearson_r"] == [min(r), max(r)]
        assert block["steric"]["comparison"]["pearson_r"] == pytest.approx(
            0.988, abs=0.001
        )
        # --charge alone takes the documented defaults.
        text = run_kelfit(*args[:-2], "-q", "--charge").stdout
        assert "Charged medium   +0.028 e/nm^2, 50 mM, pH 6.5, 308 K" in text
        assert "(shape alone)" in text

    @pytest.mark.parametrize(
        ("extra", "status", "message"),
        [(["--ph", "9:3"], 2, "--ph must be X or LOW:HIGH (LOW <= HIGH), got '9:3'"),
         (["--ionic-strength", "0"], 2, "--ionic-strength must be positive (mM), got 0"),
         (["--charges", "BAD"], 1, "no heavy atom CA in residue 999")],
    )  # fmt: skip
    def test_refusals(self, tmp_path, extra, status, message):
        bad = tmp_path / "bad.csv"
        bad.write_text("A,999,CA,1.0\n")
        pdb = shared_data("hewl", "1e8l-model-1.pdb")
        extra = [str(bad) if e == "BAD" else e for e in extra]
        done = run_kelfit("predict", "--structure", pdb, "-q", *extra)
        assert done.returncode == status
        assert message in done.stderr


class TestConformers:
    def test_couplings_average_each_conformer_in_its_own_frame(self, tmp_path):
        # Model 2 is model 1 turned and moved: its own tensor turns with it,
        # so each conformer predicts the same couplings, and so must their
        # average, while the mean of the two tensors is another tensor.
        pdb = shared_data("ubiquitin", "1d3z-model-1.pdb")
        mr = shared_data("ubiquitin", "couplings.tab")
        structure = gemmi.read_structure(str(pdb))
        turned = structure[0].clone()
        q, _ = np.linalg.qr(np.random.default_rng(1).normal(size=(3, 3)))
        q *= np.linalg.det(q)
        for atom in (a for chain in turned for residue in chain for a in residue):
            p = q @ [atom.pos.x, atom.pos.y, atom.pos.z] + [5.0, -3.0, 2.0]
            atom.pos = gemmi.Position(*p)
        structure.add_model(turned)
        for number, model in enumerate(structure, 1):
            model.num = number
        both = tmp_path / "two.pdb"
        structure.write_pdb(str(both))
        args = ["predict", "--couplings", mr, "--types", "N-H", "--json", "-q"]
        one = json.loads(run_kelfit(*args, "--structure", pdb).stdout)
        done = run_kelfit(*args, "--structure", both, "--models", "all")
        report = json.loads(done.stdout)
        conformers = report["ensemble"]["conformers"]
        assert [c["model"] for c in conformers] == [1, 2]
        assert conformers[0]["da"] == one["tensor"]["da"]
        assert conformers[1]["da"] == pytest.approx(one["tensor"]["da"], rel=1e-3)
        assert [r["calculated"] for r in report["couplings"]] == pytest.approx(
            [r["calculated"] for r in one["couplings"]], rel=2e-3, abs=0.03
        )
        assert report["comparison"]["pearson_r"] == pytest.approx(
            one["comparison"]["pearson_r"], abs=1e-4
        )
        assert report["tensor"]["da"] != pytest.approx(one["tensor"]["da"], rel=1e-3)
        # Ranges: each condition's prediction is averaged over the models.
        ranged = run_kelfit(*args, "--structure", both, "--models", "all",
                            "--ionic-strength", "20:50")  # fmt: skip
        assert ranged.returncode == 0, ranged.stderr
        report = json.loads(ranged.stdout)
        conditions = report["charge"]["conditions"]
        assert len(conditions) == 3 and len(report["ensemble"]["conformers"]) == 2
        assert conditions[0]["comparison"] == report["comparison"]
        assert conditions[0]["da"] == report["tensor"]["da"]


def snapped(xyz: np.ndarray) -> np.ndarray:
    """Coordinates on a grid of 1/8 A, which a PDB file and float32 frames
    both hold exactly: a trajectory then reads the structure's own atoms."""
    return np.round(xyz * 8.0) / 8.0


class TestTrajectory:
    @pytest.mark.parametrize(
        "extra",
        [[], ["--couplings", "TABLE", "--ionic-strength", "20:50"]],
        ids=["backbone", "couplings-ranges"],
    )
    def test_identical_frames_give_the_structures_bits(self, tmp_path, extra):
        pytest.importorskip("MDAnalysis")
        pdb = shared_data("ubiquitin", "1d3z-model-1.pdb")
        one = write_models(tmp_path / "one.pdb", pdb, [snapped])
        same = write_models(tmp_path / "same.pdb", pdb, [snapped] * 3)
        table = shared_data("ubiquitin", "couplings.tab")
        args = ["predict", "--structure", one, "--json", "-q"]
        args += [table if e == "TABLE" else e for e in extra]
        alone = json.loads(run_kelfit(*args).stdout)
        frames = json.loads(run_kelfit(*args, "--trajectory", same).stdout)
        ensemble = frames.pop("ensemble")
        assert [c["frame"] for c in ensemble["conformers"]] == [0, 1, 2]
        assert frames["input"].pop("trajectory") == str(same)
        assert frames == alone

    def test_two_frames_average_the_couplings_each_in_its_own_frame(self, tmp_path):
        pytest.importorskip("MDAnalysis")
        pdb = shared_data("ubiquitin", "1d3z-model-1.pdb")
        q, _ = np.linalg.qr(np.random.default_rng(1).normal(size=(3, 3)))
        q *= np.linalg.det(q)

        def moved(xyz: np.ndarray) -> np.ndarray:
            jitter = np.random.default_rng(2).normal(0.0, 0.2, xyz.shape)
            return snapped((xyz + jitter) @ q.T)

        files = [write_models(tmp_path / f"{k}.pdb", pdb, [m])
                 for k, m in enumerate((snapped, moved))]  # fmt: skip
        two = write_models(tmp_path / "two.pdb", pdb, [snapped, moved])
        alone = [
            json.loads(run_kelfit("predict", "--structure", f, "--json").stdout)
            for f in files
        ]
        done = run_kelfit("predict", "--structure", files[0], "--trajectory", two,
                          "--json")  # fmt: skip
        assert done.returncode == 0, done.stderr
        report = json.loads(done.stdout)
        mean = np.mean([[r["calculated"] for r in a["couplings"]] for a in alone], 0)
        assert [r["calculated"] for r in report["couplings"]] == pytest.approx(
            mean, rel=1e-12, abs=1e-12
        )
        table = report["ensemble"]["conformers"]
        assert [c["frame"] for c in table] == [0, 1]
        assert [c["da"] for c in table] == pytest.approx(
            [a["tensor"]["da"] for a in alone], rel=1e-12
        )
        # Frame 1's tensor is turned back onto the structure's orientation.
        z = [np.array(c["principal_axes"][2]) for c in (*table, alone[1]["tensor"])]
        assert abs(z[1] @ z[0]) > math.cos(math.radians(5.0))
        assert abs(z[2] @ z[0]) < math.cos(math.radians(10.0))
