"""One name per quantity, Da(N-H) with its basis, angles in both conventions,
error estimates centred on their fit, and a JSON report scripts can rely on.

Expected values come from the reference fits beside the data, from the
command's own printed output, or from numbers worked out by hand.
"""

from __future__ import annotations

import csv
import json
import math
import re
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import __version__
from kelfit_tools.ensemble import summarize_ensemble
from kelfit_tools.fitting import back_calculate, fit
from kelfit_tools.montecarlo import monte_carlo
from kelfit_tools.report.ensemble import summary_json
from kelfit_tools.tensor import canonical, frame_zyz_solutions, rotation_matrix
from kelfit_tools.trajectory import FrameFit
from tools_support import run_kelfit, shared_data, structure_args, validate_report

pytest.importorskip("gemmi")

UBIQUITIN = ("ubiquitin", "1d3z-model-1.pdb")
GB3 = ("gb3", "1p7e.pdb")


def fit_json(*args: object) -> dict:
    done = run_kelfit("fit", *args, "--json")
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def reference_header(folder: str) -> dict[str, list[list[float]]]:
    """``DATA NAME values`` lines of a reference fit, by name, read by hand."""
    out: dict[str, list[list[float]]] = {}
    path = shared_data(folder, "svd-fit-reference.out")
    for line in path.read_text().splitlines():
        m = re.match(r"DATA ([A-Za-z_ ]+?)\s+(-?\d[-+.\deE\s]*)$", line)
        if m:
            name = m.group(1).strip()
            out.setdefault(name, []).append([float(v) for v in m.group(2).split()])
    return out


# ------------------------------------------------------------ one name for Dr


class TestOneNameForDr:
    # Da -10, R 0.3: Dr = R Da = -3, the module's coefficient 1.5 Da R = -4.5.
    PARAMS = np.array([0.4, 1.1, 2.0, -10.0, 0.3, 0.0])

    def test_tensor_fit_and_refits_call_r_da_dr(self) -> None:
        t = canonical(self.PARAMS)
        assert t.dr == pytest.approx(-3.0)
        assert t.dr_model == pytest.approx(-4.5)
        # principal values: 1.5 Dr - Da, -1.5 Dr - Da, 2 Da
        assert t.principal_values == pytest.approx((5.5, 14.5, -20.0))
        v = np.random.default_rng(4).normal(size=(40, 3))
        observed = back_calculate(v, self.PARAMS)
        result = fit(v, observed)
        assert result.dr == pytest.approx(result.r * result.da)
        assert result.dr_model == pytest.approx(1.5 * result.r * result.da)
        assert result.tensor().dr == pytest.approx(-3.0, abs=1e-3)
        mc = monte_carlo(
            v, observed + 0.1, 5, sigma=0.2, seed=1, progress=False, keep_refits=True
        )
        assert mc.dr_sd == pytest.approx(np.std(mc.r * mc.da, ddof=1))

    def test_ensembles_and_frames_call_r_da_dr(self, tmp_path: Path) -> None:
        from kelfit_tools.report.frames import FrameTableWriter

        v = np.random.default_rng(5).normal(size=(40, 3))
        results = [fit(v, back_calculate(v, self.PARAMS)) for _ in range(2)]
        mean = summary_json(summarize_ensemble(results))["mean_tensor"]
        assert mean["dr"] == pytest.approx(-3.0, abs=1e-3)
        path = tmp_path / "frames.csv"
        with FrameTableWriter(path) as table:
            table.write(FrameFit(0, 0.0, results[0], results[0].tensor()))
        with path.open() as handle:
            rows = list(csv.DictReader(handle))
        assert float(rows[0]["dr"]) == pytest.approx(-3.0, abs=1e-3)

    def test_the_canonical_tensor_is_computed_once_and_cannot_be_changed(
        self,
    ) -> None:
        v = np.random.default_rng(6).normal(size=(20, 3))
        result = fit(v, back_calculate(v, self.PARAMS))
        assert result.tensor() is result.tensor()
        with pytest.raises(ValueError):
            result.tensor().axes[0, 0] = 1.0

    @pytest.mark.parametrize(("folder", "pdb"), [UBIQUITIN, GB3])
    def test_aa_ar_and_dr_as_the_reference_fits_print_them(
        self, folder: str, pdb: str
    ) -> None:
        ref = reference_header(folder)
        t = fit_json(*structure_args(folder, pdb))["media"][0]["tensor"]
        # Within the fits' agreement: their Da(N-H) agree to 1e-3 relative.
        assert t["aa"] == pytest.approx(ref["Aa"][0][0], rel=2e-3)
        assert t["ar"] == pytest.approx(ref["Ar"][0][0], rel=2e-3)
        assert t["da_alignment"] == pytest.approx(ref["Da"][0][0], rel=2e-3)
        assert t["r"] == pytest.approx(ref["Rhombicity"][0][0], rel=2e-3)
        assert t["da_nh"] == pytest.approx(ref["Da_HN"][0][0], rel=2e-3)
        assert t["units"]["aa"] == t["units"]["order_matrix"] == "dimensionless"
        assert t["units"]["principal_values"] == "Hz"
        # The reference's Dr is R Da (dimensionless), as ours.
        assert ref["Dr"][0][0] == pytest.approx(
            ref["Rhombicity"][0][0] * ref["Da"][0][0], rel=1e-5
        )


# ------------------------------------------------------------ Da(N-H) basis


class TestDaBasis:
    def test_short_structure_bonds_give_da_at_standard_lengths_too(self) -> None:
        args = [*structure_args(*UBIQUITIN), "--types", "N-H"]
        done = run_kelfit("fit", *args)
        assert done.returncode == 0, done.stderr
        # 1D3Z's N-H bonds are 0.98 A; the standard length is 1.041 A.
        assert "0.980 A" in done.stderr and "-7.52 Hz" in done.stderr
        assert "-9.02 Hz at standard lengths" in done.stderr
        assert "basis          couplings scaled by the structure's" in done.stdout
        t = fit_json(*args)["media"][0]["tensor"]
        assert t["da_nh"] == pytest.approx(-7.52, abs=0.005)
        assert t["da_nh_standard"] == pytest.approx(-9.02, abs=0.005)
        assert t["nh_mean_length"] == pytest.approx(0.98, abs=0.001)
        standard = fit_json(*args, "--bond-lengths", "standard")["media"][0]
        assert standard["tensor"]["da_nh"] == pytest.approx(t["da_nh_standard"])
        assert standard["tensor"]["da_nh_standard"] is None

    def test_the_demo_suggests_a_command_that_gives_its_numbers(
        self, tmp_path: Path
    ) -> None:
        demo = run_kelfit("demo", "--no-plot", cwd=tmp_path)
        assert demo.returncode == 0, demo.stderr
        da = float(re.search(r"Da \(Hz\)\s+\S+\s+(\S+)", demo.stdout).group(1))
        r = float(re.search(r"\nR\s+\S+\s+(\S+)", demo.stdout).group(1))
        command = demo.stdout.split("kelfit fit", 1)[1].replace("\\\n", " ").split()
        command = [w for w in command if w not in ("--plot", "fit.png")]
        t = fit_json(*command)["media"][0]["tensor"]
        assert round(t["da_nh"], 3) == da
        assert round(t["r"], 4) == r


# ------------------------------------------------------------ Euler angles


class TestEulerConventions:
    @pytest.mark.parametrize(("folder", "pdb"), [UBIQUITIN, GB3])
    def test_reference_angles_convert_to_our_axes(self, folder: str, pdb: str) -> None:
        ref = reference_header(folder)
        solutions = [row[1:] for row in ref["Q_EULER_ANGLES"]]
        assert len(solutions) == 4
        t = fit_json(*structure_args(folder, pdb))["media"][0]["tensor"]
        axes = np.array(t["principal_axes"])
        for alpha, beta, gamma in solutions:
            # The inverse of (alpha, beta, gamma) = (-a3 - 270, a2, 270 - a1).
            a1, a2, a3 = 270.0 - gamma, beta, -alpha - 270.0
            m = rotation_matrix(*np.radians([a1, a2, a3]))
            for ours, theirs in zip(axes, m):
                angle = math.degrees(math.acos(min(1.0, abs(ours @ theirs))))
                assert angle < 0.1
        # and ours, printed as they print them, are theirs
        assert np.allclose(t["euler_zyz_solutions_deg"], solutions, atol=0.01)
        assert t["euler_zyz_deg"] == t["euler_zyz_solutions_deg"][0]

    def test_frame_zyz_is_what_modelling_programs_print(self) -> None:
        # GB1 in bicelles: a modelling suite prints (8.627, 91.386, 77.075)
        # for the tensor we print as z-y'-z'' (77.09, 88.60, 351.36).
        alpha, beta, gamma = 77.09, 88.60, 351.36
        m = rotation_matrix(*np.radians([270.0 - gamma, beta, -alpha - 270.0]))
        assert frame_zyz_solutions(m)[0] == pytest.approx(
            (8.627, 91.386, 77.075), abs=0.03
        )

    @pytest.mark.parametrize(
        "zxz",
        [
            (15.73, 28.16, 176.27),
            (200.0, 0.0, 30.0),
            (40.0, 180.0, 0.0),
            (95.0, 120.0, 300.0),
        ],
    )
    def test_every_frame_zyz_triple_gives_the_axes(
        self, zxz: tuple[float, ...]
    ) -> None:
        def rz(t: float) -> np.ndarray:
            c, s = math.cos(t), math.sin(t)
            return np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])

        def ry(t: float) -> np.ndarray:
            c, s = math.cos(t), math.sin(t)
            return np.array([[c, 0.0, s], [0.0, 1.0, 0.0], [-s, 0.0, c]])

        axes = rotation_matrix(*np.radians(zxz))
        triples = frame_zyz_solutions(axes)
        assert len({tuple(np.round(t, 6)) for t in triples}) == 4 or zxz[1] in (0, 180)
        assert triples[0][0] < 180 and triples[0][2] < 180
        for a, b, c in triples:
            r = rz(math.radians(a)) @ ry(math.radians(b)) @ rz(math.radians(c))
            # Its columns are the principal axes, up to the sign of two.
            assert np.allclose(np.abs(np.sum(r.T * axes, axis=1)), 1.0, atol=1e-9)


# ------------------------------------------------------------ honest errors


def _centred(errors: dict, tensor: dict) -> None:
    assert abs(errors["da_mean"] - tensor["da"]) < 0.1 * errors["da_sd"]
    assert abs(errors["r_mean"] - tensor["r"]) < 0.1 * errors["r_sd"]


class TestHonestErrors:
    def test_noise_refits_centre_on_the_weighted_fit(self) -> None:
        args = [*structure_args(*UBIQUITIN), "--errors", "400", "--seed", "1"]
        m = fit_json(*args)["media"][0]
        assert m["weighted"] and m["errors"]["weighted"]
        _centred(m["errors"], m["tensor"])

    def test_sigma_replaces_the_uncertainties_of_fit_and_refits(self) -> None:
        args = [*structure_args(*UBIQUITIN), "--errors", "400", "--seed", "1"]
        m = fit_json(*args, "--sigma", "1")["media"][0]
        _centred(m["errors"], m["tensor"])
        assert any("taken as 1 Hz" in note for note in m["notes"])
        residuals = np.array([c["residual"] for c in m["couplings"]])
        assert m["quality"]["chi2"] == pytest.approx(float(residuals @ residuals))
        # Uniform uncertainties leave the unweighted fit's tensor.
        plain = fit_json(*structure_args(*UBIQUITIN), "--unweighted")["media"][0]
        assert m["tensor"]["da"] == pytest.approx(plain["tensor"]["da"], rel=1e-4)
        boot = fit_json(*args, "--sigma", "1", "--bootstrap")["media"][0]
        assert boot["errors"]["weighted"]
        # Bootstrap refits of a fit this rough carry a small bias of their own.
        assert abs(boot["errors"]["da_mean"] - boot["tensor"]["da"]) < (
            0.25 * boot["errors"]["da_sd"]
        )

    def test_reduced_chi2_far_from_one_is_a_warning(self) -> None:
        pytest.importorskip("pynmrstar")
        lysozyme = fit_json(
            "--structure", shared_data("hewl", "1e8l-model-1.pdb"),
            "--couplings", shared_data("hewl", "1e8l.mr"),
            "--errors", "20", "--seed", "2",
        )  # fmt: skip
        said = " ".join(lysozyme["warnings"])
        assert "reduced chi^2 is 0.42" in said and "reduced chi^2 is 0.20" in said
        assert "restraint widths" in said and "--bootstrap" in said
        ubiquitin = fit_json(*structure_args(*UBIQUITIN))
        assert any("too small" in w for w in ubiquitin["warnings"])

    def test_media_comparisons_carry_refit_errors(self) -> None:
        pytest.importorskip("pynmrstar")
        args = [
            "--structure", shared_data("hewl", "1e8l-model-1.pdb"),
            "--couplings", shared_data("hewl", "1e8l.mr"),
        ]  # fmt: skip
        (plain,) = fit_json(*args)["comparisons"]
        assert "errors" not in plain
        (pair,) = fit_json(*args, "--errors", "30", "--seed", "4")["comparisons"]
        assert pair["generalised_angle_deg"] == pytest.approx(
            math.degrees(math.acos(pair["scalar_product"]))
        )
        e = pair["errors"]
        assert 0 < e["scalar_product_sd"] < 0.1
        assert 0 < e["generalised_angle_sd_deg"] < 10
        assert all(0 < v < 20 for v in e["axis_angles_sd_deg"].values())


# ------------------------------------------------------------ the JSON report


class TestCompleteJson:
    def test_version_options_selection_warnings_and_notes(self) -> None:
        args = [
            *structure_args(*UBIQUITIN),
            "--types",
            "N-H,CA-HA",
            "--exclude",
            "71-76",
        ]
        done = run_kelfit("fit", *args, "--json")
        assert done.returncode == 0, done.stderr
        report = json.loads(done.stdout)
        assert report["kelfit_version"] == __version__
        assert report["options"]["exclude"] == [71, 72, 73, 74, 75, 76]
        assert report["options"]["bond_lengths"] == "structure"
        chosen = report["selection"]
        assert chosen["types"] == ["N-H", "CA-HA"] and chosen["media"] == [
            "couplings.tab"
        ]
        printed = [line.removeprefix("kelfit: ") for line in done.stderr.splitlines()]
        warned = [
            p.removeprefix("warning: ") for p in printed if p.startswith("warning: ")
        ]
        noted = [p for p in printed if not p.startswith("warning: ")]
        assert report["warnings"] == warned and warned
        assert report["notes"] == noted and noted

    def test_the_schema_refuses_a_report_without_units(self) -> None:
        report = fit_json(*structure_args(*UBIQUITIN))
        validate_report(report)
        del report["media"][0]["tensor"]["units"]
        jsonschema = pytest.importorskip("jsonschema")
        with pytest.raises(jsonschema.ValidationError):
            validate_report(report)
