"""Quality numbers in the field's terms: normalised to N-H, per bond type,
one outlier rule in every output, one table layout for scripts.

The reference fit files beside the data are parsed here by column; their
header numbers are the expected values.
"""

from __future__ import annotations

import csv
import io
import json
import math
import re
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools.example import example
from kelfit_tools.report.couplings import COUPLING_COLUMNS
from kelfit_tools.statistics import fit_statistics, normalisation_factors
from tools_support import run_json, run_kelfit, shared_data

#: The header numbers each reference file prints, as printed.
PRINTED = {
    "ubiquitin": {"rms": "1.879", "r": "0.974", "q": "0.236", "chi2": 111966.320,
                  "offset": "0.142", "offset_sd": "0.102",
                  "slope": "0.883", "slope_sd": "0.013"},
    "gb3": {"rms": "1.998", "r": "0.992", "q": "0.132", "chi2": 60471.492,
            "offset": "-0.072", "offset_sd": "0.133",
            "slope": "0.954", "slope_sd": "0.009"},
}  # fmt: skip
STRUCTURES = {"ubiquitin": "1d3z-model-1.pdb", "gb3": "1p7e.pdb"}
#: Bond type of an atom pair as the reference files write them.
TYPES = {("N", "H"): "N-H", ("CA", "HA"): "CA-HA", ("C", "N"): "C-N",
         ("CA", "C"): "CA-C"}  # fmt: skip


def reference_rows(folder: str) -> dict[str, np.ndarray | list[str]]:
    """Type, D_OBS, D, DD and W of every row of a reference fit file."""
    types, cols = [], []
    text = shared_data(folder, "svd-fit-reference.out").read_text()
    for line in text.splitlines():
        f = line.split()
        if len(f) == 12 and f[0].isdigit():
            types.append(TYPES[f[2], f[5]])
            cols.append([float(x) for x in (f[7], f[8], f[10], f[11])])
    a = np.array(cols)
    return {"types": types, "obs": a[:, 0], "calc": a[:, 1], "dd": a[:, 2],
            "w": a[:, 3]}  # fmt: skip


@pytest.mark.parametrize("folder", ["ubiquitin", "gb3"])
class TestReferenceFiles:
    def test_their_numbers_from_their_couplings(self, folder: str) -> None:
        ref, printed = reference_rows(folder), PRINTED[folder]
        stats = fit_statistics(
            ref["obs"], ref["calc"], sigma=ref["dd"], types=ref["types"],
            factors=normalisation_factors(ref["types"]),
        )  # fmt: skip
        n = stats.normalised
        assert f"{n.rms:.3f}" == printed["rms"]
        assert f"{n.pearson_r:.3f}" == printed["r"]
        assert f"{n.q_sd:.3f}" == printed["q"]
        assert n.chi2 == pytest.approx(printed["chi2"], rel=0.02)

    def test_the_table_weights_give_their_chi2_and_regression_exactly(
        self, folder: str
    ) -> None:
        # The files' own factor is the table's W column (N-H 1, CA-HA 0.48,
        # C-N 8.33, CA-C 5.05, rounded): with it chi^2 agrees to the
        # rounding of D, and the regression to every printed digit.
        ref, printed = reference_rows(folder), PRINTED[folder]
        stats = fit_statistics(
            ref["obs"], ref["calc"], sigma=ref["dd"], types=ref["types"],
            factors=1.0 / ref["w"],
        )  # fmt: skip
        assert stats.normalised.chi2 == pytest.approx(printed["chi2"], rel=1e-4)
        reg = stats.regression
        for key in ("slope", "slope_sd", "offset", "offset_sd"):
            assert f"{getattr(reg, key):.3f}" == printed[key]

    def test_our_fit_reproduces_their_numbers(self, folder: str) -> None:
        pytest.importorskip("gemmi")
        done = run_kelfit(
            "fit", "--structure", shared_data(folder, STRUCTURES[folder]),
            "--couplings", shared_data(folder, "couplings.tab"), "--json", "-q",
        )  # fmt: skip
        assert done.returncode == 0, done.stderr
        q = json.loads(done.stdout)["media"][0]["quality"]
        printed = PRINTED[folder]
        assert q["lead"] == "normalised"
        assert f"{q['normalised']['rms']:.3f}" == printed["rms"]
        assert f"{q['normalised']['pearson_r']:.3f}" == printed["r"]
        assert f"{q['normalised']['q_sd']:.3f}" == printed["q"]
        assert q["normalised"]["chi2"] == pytest.approx(printed["chi2"], rel=0.02)
        # The raw numbers are those of the fit, as before.
        assert q["raw"]["rms"] == pytest.approx(q["rmsd"])
        assert q["raw"]["q"] == pytest.approx(q["q"])
        assert q["raw"]["chi2"] == pytest.approx(q["chi2"])


class TestWorkedByHand:
    def test_per_type_and_normalised_numbers(self) -> None:
        # Two N-H rows and two C-N rows whose factor is exactly 0.5.
        obs = np.array([2.0, -2.0, 1.0, 0.5])
        calc = np.array([1.0, -1.0, 0.5, 1.0])
        stats = fit_statistics(
            obs, calc, sigma=[0.5, 0.5, 0.25, 0.25], types=["N-H", "N-H", "C-N", "C-N"],
            factors=[1.0, 1.0, 0.5, 0.5], free_parameters=1,
        )  # fmt: skip
        nh_raw, nh_norm = stats.per_type["N-H"]
        cn_raw, cn_norm = stats.per_type["C-N"]
        # N-H: residuals 1, -1: rms 1, rms(obs) 2, sd(obs) sqrt(8), chi^2 8.
        assert (nh_raw.rms, nh_raw.q, nh_raw.chi2) == pytest.approx((1, 0.5, 8))
        assert nh_raw.q_sd == pytest.approx(1 / math.sqrt(8))
        assert nh_norm.rms == pytest.approx(1.0)
        # C-N raw: residuals 0.5, -0.5 (rms 0.5); normalised 1, -1 (rms 1);
        # chi^2 raw 8, normalised (sigma as given) 32.
        assert cn_raw.rms == pytest.approx(0.5) and cn_norm.rms == pytest.approx(1)
        assert cn_raw.chi2 == pytest.approx(8) and cn_norm.chi2 == pytest.approx(32)
        # Normalised: obs 2, -2, 2, 1 and calc 1, -1, 1, 2: residuals 1, -1, 1, -1.
        n = stats.normalised
        assert n.rms == pytest.approx(1.0)
        assert n.q == pytest.approx(1 / math.sqrt(13 / 4))
        assert n.chi2 == pytest.approx(40) and n.reduced_chi2 == pytest.approx(40 / 3)
        assert stats.raw.rms == pytest.approx(math.sqrt((1 + 1 + 0.25 + 0.25) / 4))
        assert stats.mixed and stats.type_factors == {"N-H": 1.0, "C-N": 0.5}

    def test_factors_from_standard_lengths_and_signs(self) -> None:
        f = normalisation_factors(["N-H", "CA-HA", "C-N", "CA-C"])
        # gamma_C/gamma_N (1.041/1.117)^3, gamma_C/gamma_H (1.041/1.329)^3, ...
        g_h, g_c, g_n = 267.52218744, 67.2828, 27.116
        expected = [1.0, g_c / g_n * (1.041 / 1.117) ** 3,
                    g_c / g_h * (1.041 / 1.329) ** 3,
                    g_c * g_c / (g_n * g_h) * (1.041 / 1.525) ** 3]  # fmt: skip
        assert f == pytest.approx(expected, rel=1e-9)
        # Physical signs: N-H scale negative, CA-HA positive; normalised to
        # N-H, CA-HA values change sign.
        signed = normalisation_factors(
            ["N-H", "CA-HA"], scale=[-1.0, 2.0], nh_sign=-1.0
        )
        assert signed == pytest.approx([1.0, -expected[1]])

    def test_outlier_rule_with_and_without_sigma(self) -> None:
        obs = np.array([0.0, 0.0, 0.0, 0.0, 0.0, 10.0])
        calc = np.zeros(6)
        # With sigma: 10 / 4 = 2.5 sigma is no outlier; a C-N row of raw
        # residual 1 and sigma 0.1 (10 sigma) is, though it is small in Hz.
        with_sigma = fit_statistics(
            np.array([0.0, 1.0, 10.0]), np.zeros(3), sigma=[1.0, 0.1, 4.0],
            types=["N-H", "C-N", "N-H"], factors=[1.0, 0.125, 1.0],
        )  # fmt: skip
        assert with_sigma.outliers.tolist() == [False, True, False]
        # Without: beyond twice the normalised RMS (sqrt(100/6) = 4.08).
        without = fit_statistics(obs, calc)
        assert without.outliers.tolist() == [False] * 5 + [True]
        # Under the physical convention the C-N factor is negative: the rule
        # reads its magnitude, so the row is still 10 sigma out.
        signed = fit_statistics(
            np.array([0.0, -1.0, 10.0]), np.zeros(3), sigma=[1.0, 0.1, 4.0],
            types=["N-H", "C-N", "N-H"], factors=[1.0, -0.125, 1.0],
        )  # fmt: skip
        assert signed.outliers.tolist() == [False, True, False]

    def test_regression_errors_are_those_of_ordinary_least_squares(self) -> None:
        x = np.array([-9.0, -5.0, -2.0, 0.5, 3.0, 6.0, 8.0, 11.0])
        y = np.array([-8.6, -5.3, -1.5, 0.2, 3.4, 5.5, 8.4, 10.7])
        stats = fit_statistics(x, y)
        design = np.column_stack([np.ones_like(x), x])
        (offset, slope), rss, *_ = np.linalg.lstsq(design, y, rcond=None)
        cov = rss[0] / (x.size - 2) * np.linalg.inv(design.T @ design)
        got = stats.regression
        assert (got.offset, got.slope) == pytest.approx((offset, slope))
        assert (got.offset_sd, got.slope_sd) == pytest.approx(np.sqrt(np.diag(cov)))

    def test_residue_shares_make_up_q_sd(self) -> None:
        # Q(sd)^2 is the count-weighted mean of the residues' q^2.
        obs = np.array([8.0, -3.0, 1.5, 4.0, -6.0, 2.0])
        calc = np.array([7.0, -2.5, 1.0, 5.0, -5.0, 2.5])
        residues = [("A", 1, "ALA"), ("A", 1, "ALA"), ("A", 2, "GLY")] * 2
        stats = fit_statistics(
            obs, calc, types=["N-H", "C-N", "N-H"] * 2, factors=[1.0, 0.125, 1.0] * 2,
            residues=residues,
        )  # fmt: skip
        shares = [len(r.residuals) * r.q**2 for r in stats.residues]
        assert sum(shares) / obs.size == pytest.approx(stats.normalised.q_sd**2)


def run_ok(*args: object) -> str:
    done = run_kelfit(*args)
    assert done.returncode == 0, done.stderr
    return done.stdout


class TestOutputsAgree:
    def test_one_outlier_count_in_text_json_csv_and_figure(
        self, tmp_path: Path
    ) -> None:
        pytest.importorskip("gemmi")
        from kelfit_tools import read_restraints, structure_vectors
        from kelfit_tools.media import fit_medium, result_statistics
        from kelfit_tools.report.figures import outliers

        pdb = shared_data("ubiquitin", "1d3z-model-1.pdb")
        table = shared_data("ubiquitin", "couplings.tab")
        rows = tmp_path / "rows.csv"
        common = ("fit", "--structure", pdb, "--couplings", table, "-q")
        text = run_ok(*common, "--out", rows)
        report = json.loads(run_ok(*common, "--json"))["media"][0]
        shown = int(re.search(r"outliers\s+(\d+) \(", text).group(1))
        in_json = report["quality"]["outliers"]["count"]
        flagged = sum(c["outlier"] for c in report["couplings"])
        in_csv = sum(
            r["outlier"] == "true"
            for r in csv.DictReader(io.StringIO(rows.read_text()))
        )
        sv = structure_vectors(str(pdb), read_restraints(str(table)), None,
                               resnames="use")  # fmt: skip
        mf = fit_medium(sv.vectors, sv.couplings)
        circled = len(outliers(mf.result, result_statistics(mf.result, mf)))
        assert shown == in_json == flagged == in_csv == circled
        # The C-N and CA-C couplings far beyond their uncertainty are among
        # them, though small in raw Hz.
        kinds = {c["type"] for c in report["couplings"] if c["outlier"]}
        assert {"C-N", "CA-C"} <= kinds

    def test_printed_q_da_formula_gives_the_printed_number(self) -> None:
        pytest.importorskip("gemmi")
        text = run_ok(
            "fit", "--structure", shared_data("ubiquitin", "1d3z-model-1.pdb"),
            "--couplings", shared_data("ubiquitin", "couplings.tab"), "-q",
        )  # fmt: skip
        q_da = float(re.search(r"Q \(Da\)\s+(\S+)", text).group(1))
        da, r, s2 = map(float, re.search(
            r"\|Da\(N-H\)\| (\S+) Hz, R (\S+), <s\^2> = (\S+)", text).groups())  # fmt: skip
        raw_rms = float(re.search(r"raw Hz.*\n\s+RMS\s+(\S+)", text).group(1))
        assert raw_rms / (da * math.sqrt((4 + 3 * r * r) / 5 * s2)) == pytest.approx(
            q_da, abs=2e-4
        )
        # Mixed types: the normalised block comes first and says so.
        assert text.index("normalised to N-H") < text.index("quality in raw Hz")


@pytest.mark.parametrize(
    ("folder", "structure", "couplings"),
    [
        ("ubiquitin", "1d3z-model-1.pdb", "couplings.tab"),
        ("gb3", "1p7e.pdb", "couplings.tab"),
        ("hewl", "1e8l-model-1.pdb", "1e8l.mr"),
    ],
)
def test_clore_garrett_q_is_the_published_formula(
    capsys: pytest.CaptureFixture[str], folder: str, structure: str, couplings: str
) -> None:
    """Q = rms(Dobs - Dcalc) / sqrt(2 Da^2 (4 + 3 R^2) / 5), on N-H couplings
    at the standard length (every row's scale 1, so Da is in Hz)."""
    from kelfit_tools.cli import main

    args = [
        "fit", "--json", "--types", "N-H", "--bond-lengths", "standard",
        "--structure", shared_data(folder, structure),
        "--couplings", shared_data(folder, couplings),
    ]  # fmt: skip
    assert main(list(map(str, args))) == 0
    for medium in json.loads(capsys.readouterr().out)["media"]:
        q, t = medium["quality"], medium["tensor"]
        assert q["mean_scale2"] == pytest.approx(1.0, abs=1e-12)
        da, r = t["da"], t["r"]
        published = q["rmsd"] / math.sqrt(2 * da**2 * (4 + 3 * r**2) / 5)
        assert q["q_clore_garrett"] == pytest.approx(published, rel=1e-9)
        assert q["q_da"] == pytest.approx(published * math.sqrt(2), rel=1e-9)


class TestCouplingTables:
    def header(self, path: Path) -> list[str]:
        return next(csv.reader(io.StringIO(path.read_text())))

    def test_same_columns_in_every_mode(self, tmp_path: Path) -> None:
        ex = example()
        table_out = tmp_path / "table.csv"
        run_ok("fit", ex.vectors, "--out", table_out, "-q")
        assert self.header(table_out) == list(COUPLING_COLUMNS)
        rows = list(csv.DictReader(io.StringIO(table_out.read_text())))
        assert rows[0]["atom_i"] == "" and rows[0]["label"] != ""
        solved = tmp_path / "solved.csv"
        run_ok("solve", ex.vectors, "--params", "35,70,125,-10.5,0.38",
               "--out", solved)  # fmt: skip
        assert self.header(solved) == list(COUPLING_COLUMNS)
        pytest.importorskip("gemmi")
        structure_out = tmp_path / "structure.csv"
        run_ok("fit", "--structure", ex.structure, "--couplings", ex.couplings,
               "--out", structure_out, "-q")  # fmt: skip
        assert self.header(structure_out) == list(COUPLING_COLUMNS)
        first = next(csv.DictReader(io.StringIO(structure_out.read_text())))
        assert (first["atom_i"], first["atom_j"], first["type"]) == ("N", "H", "N-H")
        assert float(first["constant_hz"]) < 0 and first["model"] == "1"
        assert float(first["normalised_residual"]) == pytest.approx(
            float(first["residual"]), rel=1e-5
        )
        solved_structure = tmp_path / "solved-structure.csv"
        run_ok("solve", "--structure", ex.structure, "--couplings", ex.couplings,
               "--params", "35,70,125,-10.5,0.38", "--out", solved_structure)  # fmt: skip
        assert self.header(solved_structure) == list(COUPLING_COLUMNS)
        got = next(csv.DictReader(io.StringIO(solved_structure.read_text())))
        assert (got["type"], got["observed"], got["outlier"]) == ("N-H", "", "")

    def test_json_rows_are_the_csv_rows(self, tmp_path: Path, capsys) -> None:
        pytest.importorskip("gemmi")
        ex = example()
        out = tmp_path / "rows.csv"
        report = run_json(
            capsys, "fit", "--structure", ex.structure, "--couplings", ex.couplings,
            "--out", out, "--json", "-q",
        )  # fmt: skip
        in_json = report["media"][0]["couplings"]
        in_csv = list(csv.DictReader(io.StringIO(out.read_text())))
        assert len(in_json) == len(in_csv)
        assert {"line", "residue_q"} <= set(in_json[0]) <= set(in_csv[0])
        for j, c in zip(in_json, in_csv):
            for key, value in j.items():
                if isinstance(value, float):
                    assert float(c[key]) == pytest.approx(value, rel=1e-5), key
                else:
                    shown = "" if value is None else str(value)
                    assert c[key] == (
                        shown.lower() if value in (True, False) else shown
                    )

    def test_parquet_has_the_same_columns_and_rows(self, tmp_path: Path) -> None:
        pq = pytest.importorskip("pyarrow.parquet")
        ex = example()
        out_csv, out_pq = tmp_path / "rows.csv", tmp_path / "rows.parquet"
        run_ok("fit", ex.vectors, "--out", out_csv, "-q")
        run_ok("fit", ex.vectors, "--out", out_pq, "-q")
        t = pq.read_table(out_pq)
        assert t.schema.names == list(COUPLING_COLUMNS)
        rows = list(csv.DictReader(io.StringIO(out_csv.read_text())))
        assert t.num_rows == len(rows)
        assert t.column("observed").to_pylist() == pytest.approx(
            [float(r["observed"]) for r in rows], rel=1e-5
        )

    def test_every_model_in_one_table(self, tmp_path: Path) -> None:
        pytest.importorskip("gemmi")
        ex = example()
        lines = Path(ex.structure).read_text().splitlines(keepends=True)
        atoms = [ln for ln in lines if ln.startswith(("ATOM", "HETATM"))]
        two = tmp_path / "two.pdb"
        two.write_text(
            "MODEL        1\n" + "".join(atoms) + "ENDMDL\n"
            "MODEL        2\n" + "".join(atoms) + "ENDMDL\nEND\n"
        )
        out = tmp_path / "models.csv"
        run_ok("fit", "--structure", two, "--couplings", ex.couplings,
               "--models", "all", "--out", out, "-q")  # fmt: skip
        assert self.header(out) == list(COUPLING_COLUMNS)
        models = {r["model"] for r in csv.DictReader(io.StringIO(out.read_text()))}
        assert models == {"1", "2"}
