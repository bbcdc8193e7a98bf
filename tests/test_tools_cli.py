"""The kelfit command end to end: run as the command line runs it, and in a
child process where standard output must be a real file."""

from __future__ import annotations

import csv
import io
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import back_calculate, fit, read_couplings, read_table
from kelfit_tools.example import example
from tools_support import (
    env_without,
    png_size,
    run_kelfit,
    run_kelfit_process,
    write_models,
)

EX = example()
INSTALL = "pip install 'kelfit[tools]'"


def ok(*args: object, **kw: object) -> str:
    done = run_kelfit(*args, **kw)
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr
    return done.stdout


def fit_json(*args: object) -> dict:
    return json.loads(ok("fit", *args, "--json"))


def rows_of(text: str) -> list[list[str]]:
    return [line.split() for line in text.strip().splitlines()]


@pytest.fixture(scope="module")
def two_models(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The example as an ensemble: model 2 is model 1 turned 90 deg about z."""
    path = write_models(
        tmp_path_factory.mktemp("ensemble") / "two.pdb",
        EX.structure,
        [lambda xyz: xyz, lambda xyz: xyz[:, [1, 0, 2]] * [-1.0, 1.0, 1.0]],
    )
    return path


def medium(result: dict, index: int = 0) -> dict:
    return result["media"][index]


class TestFit:
    def test_table_prints_every_quantity_whole(self) -> None:
        text = ok("fit", EX.vectors)
        lines = {ln.split()[0]: ln.split()[1:] for ln in text.splitlines() if ln}
        table = read_table(EX.vectors)
        assert table.values is not None
        expected = fit(table.vectors, table.values)
        t = expected.tensor()
        assert float(lines["Da"][0]) == pytest.approx(t.da, abs=1e-3)
        assert float(lines["N"][0]) == 32
        assert "Dr = R Da" in text and "1.5 Da R" in text
        dr = float(text.split("Dr = R Da")[1].split()[0])
        assert dr == pytest.approx(t.r * t.da, abs=1e-3)
        assert float(text.split("RMS / rms(obs)")[0].split()[-1]) == pytest.approx(
            expected.q, abs=1e-4
        )
        assert max(len(ln) for ln in text.splitlines()) <= 80

    def test_structure_gives_the_same_fit_as_the_table(self) -> None:
        pytest.importorskip("gemmi")
        from_table = medium(fit_json(EX.vectors))
        whole = fit_json("--structure", EX.structure, "--couplings", EX.couplings)
        assert whole["model"] == 1
        from_structure = medium(whole)
        assert from_structure["unmatched"] == []
        # The structure's rows are scaled to N-H at the reference length, the
        # table's are not: values and Q agree, Da by the mean scale.
        for key in ("q", "rmsd", "n"):
            assert from_structure["quality"][key] == pytest.approx(
                from_table["quality"][key], abs=2e-3
            )
        scale = np.mean([c["scale"] for c in from_structure["couplings"]])
        assert from_structure["tensor"]["da_nh"] * scale == pytest.approx(
            from_table["tensor"]["da"], abs=0.02
        )
        t = from_table["tensor"]
        assert t["dr"] == pytest.approx(t["da"] * t["r"])
        assert t["dr_model"] == pytest.approx(1.5 * t["da"] * t["r"])

    def test_out_writes_one_row_per_value(self, tmp_path: Path) -> None:
        out = tmp_path / "rows.csv"
        ok("fit", EX.vectors, "--out", out)
        rows = list(csv.DictReader(io.StringIO(out.read_text())))
        table = read_table(EX.vectors)
        assert [r["label"] for r in rows] == table.labels
        for r in rows:
            residual = float(r["observed"]) - float(r["calculated"])
            assert float(r["residual"]) == pytest.approx(residual, abs=1e-4)

    @pytest.mark.parametrize("name", ["fit.png", "p", "fit.pdf"])
    def test_plot_writes_exactly_the_file_named(
        self, tmp_path: Path, name: str
    ) -> None:
        pytest.importorskip("matplotlib")
        target = tmp_path / name
        done = run_kelfit("fit", EX.vectors, "--plot", target)
        assert done.returncode == 0, done.stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == [name]
        # Made through a private temporary file, it still gets the usual mode.
        umask = os.umask(0o022)
        os.umask(umask)
        assert target.stat().st_mode & 0o777 == 0o666 & ~umask
        assert f"wrote {target}" in done.stderr
        head = target.read_bytes()[:8]
        assert head.startswith(b"%PDF") if name.endswith(".pdf") else png_size(target)

    def test_every_model_of_an_ensemble(self, two_models: Path) -> None:
        pytest.importorskip("gemmi")
        common = ("--structure", two_models, "--couplings", EX.couplings)
        text = ok("fit", *common, "--models", "all")
        assert "Model 1" in text and "Model 2" in text
        models = fit_json(*common, "--models", "all", "--no-superpose")["models"]
        assert [m["model"] for m in models] == [1, 2]
        first, second = (medium(m) for m in models)
        # Turning the molecule turns the tensor and changes nothing else.
        assert first["quality"]["q"] == pytest.approx(second["quality"]["q"], abs=1e-4)
        assert first["tensor"]["da"] == pytest.approx(second["tensor"]["da"], abs=1e-3)
        assert first["tensor"]["euler_deg"] != pytest.approx(
            second["tensor"]["euler_deg"], abs=1
        )
        # Superposed first (the default), the two share one frame.
        superposed = fit_json(*common, "--models", "all")["models"]
        angles = [medium(m)["tensor"]["euler_deg"] for m in superposed]
        assert angles[1] == pytest.approx(angles[0], abs=0.01)
        only = medium(fit_json(*common, "--models", "2"))
        assert only["tensor"]["da"] == pytest.approx(second["tensor"]["da"])

    def test_errors_are_reproducible_under_a_seed(self) -> None:
        args = ("--errors", 12, "--seed", 3)
        first = medium(fit_json(EX.vectors, *args))["errors"]
        assert first == medium(fit_json(EX.vectors, *args))["errors"]
        assert first["trials"] == 12 and first["method"] == "noise"
        assert first["da_sd"] > 0 and len(first["axis_spread_deg"]) == 3
        text = ok("fit", EX.vectors, *args, "--bootstrap")
        assert "12 refits (bootstrap resampling)" in text

    @pytest.mark.parametrize(
        "inputs",
        [(EX.vectors,), ("--structure", EX.structure, "--couplings", EX.couplings)],
        ids=["table", "structure"],
    )
    def test_start_that_ends_outside_canonical_r_is_reported_canonically(
        self, inputs
    ) -> None:
        # The demo's best tensor with its axes relabelled: R = 5.62 there.
        start = "-79.932640,41.559979,-59.406349,2.267042,5.620437"
        done = run_kelfit("fit", *inputs, f"--start={start}", "--json")
        assert done.returncode == 0, done.stderr
        assert re.search(
            r"kelfit: the fit ended at R = 5\.6\d*, outside 0\.\.2/3; the report "
            r"gives the same tensor in canonical form \(R = 0\.38\d*\)\n",
            done.stderr,
        )
        tensor = medium(json.loads(done.stdout))["tensor"]
        assert tensor["fitted_params"]["r"] > 2 / 3
        assert tensor["r"] == pytest.approx(0.3839, abs=1e-3)

    def test_offset_and_start(self) -> None:
        result = medium(
            fit_json(EX.vectors, "--offset", "--start", "30,60,120,-9,0.3,0.5")
        )
        assert result["tensor"]["offset_fitted"] is True
        assert abs(result["tensor"]["offset"]) < 1.0  # the example has no offset


class TestSolveAndDemo:
    def test_solve_a_table(self) -> None:
        text = ok("solve", EX.vectors, "--params", "35,70,125,-10.5,0.38")
        rows = list(csv.DictReader(io.StringIO(text)))
        table = read_table(EX.vectors)
        params = [*np.radians([35, 70, 125]), -10.5, 0.38]
        expected = back_calculate(table.vectors, params)
        assert [r["label"] for r in rows] == table.labels
        assert [float(r["calculated"]) for r in rows] == pytest.approx(
            expected, abs=1e-4
        )

    def test_solve_a_structure_without_couplings(self) -> None:
        pytest.importorskip("gemmi")
        text = ok("solve", "--structure", EX.structure, "--params", "0,0,0,10,0")
        rows = list(csv.DictReader(io.StringIO(text)))
        assert len(rows) == 33 and rows[0]["label"] == "LYS2"

    def test_demo_compares_truth_and_fit(self, tmp_path: Path) -> None:
        text = ok("demo", cwd=tmp_path)
        lines = {
            ln.split()[0]: ln.split()[1:] for ln in text.splitlines() if ln.strip()
        }
        true_da, fitted_da = (float(x) for x in lines["Da"][1:])
        assert true_da == -10.5 and fitted_da == pytest.approx(-10.5, abs=0.5)
        assert float(lines["Q"][0]) < 0.1
        if (tmp_path / "demo-fit.png").exists():
            assert png_size(tmp_path / "demo-fit.png") == (900, 900)
        else:
            pytest.importorskip("matplotlib")
            pytest.fail("demo wrote no plot although matplotlib is installed")


def bad_table(tmp_path: Path) -> Path:
    path = tmp_path / "bad.txt"
    path.write_text("1 0 0 1.0\n0 1 0 oops\n")
    return path


def few_couplings(tmp_path: Path) -> Path:
    path = tmp_path / "few.tab"
    path.write_text(
        "VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D DD W\n"
        "2 N 2 H 1.0 0.1 1\n3 N 3 H 2.0 0.1 1\n"
    )
    return path


class TestExitStatus:
    @pytest.mark.parametrize(
        "args",
        [
            ["--version"],
            ["fit", "--no-such-option"],
            ["fit", "missing.tab"],
            ["fit", "--structure", EX.structure, "--couplings", EX.couplings],
            ["solve", EX.vectors, "--params", "35,70,125,-10.5,0.38", "--json"],
        ],
        ids=["version", "usage", "data", "fit-with-notes", "solve-json"],
    )
    def test_the_suite_runs_the_command_as_a_process_would(
        self, args: list[object], tmp_path: Path
    ) -> None:
        # Nearly every command-line test runs in the suite's own process:
        # what it sees must be what a user's process gives, to the byte.
        inside = run_kelfit(*args, cwd=tmp_path)
        child = run_kelfit_process(*args, cwd=tmp_path)
        assert (inside.returncode, inside.stdout, inside.stderr) == (
            child.returncode,
            child.stdout,
            child.stderr,
        )

    @pytest.mark.parametrize(
        "args",
        [
            [],
            ["fit"],
            ["fit", EX.vectors, "--structure", EX.structure],
            ["fit", "--structure", EX.structure],
            ["fit", EX.vectors, "--start", "1,2,3"],
            ["fit", EX.vectors, "--atoms", "N"],
            ["fit", EX.vectors, "--seed", "3"],
            ["fit", EX.vectors, "--errors", "1"],
            ["fit", EX.vectors, "--errors", "5", "--seed", "-1"],
            ["fit", EX.vectors, "--errors", "5", "--sigma", "0"],
            ["fit", EX.vectors, "--sigma", "1", "--unweighted"],
            ["fit", EX.vectors, "--types", "N-H"],
            ["fit", "--structure", EX.structure, "--couplings", EX.couplings,
             "--exclude", "5-2"],
            ["fit", EX.vectors, "--frobnicate"],
            ["fit", EX.vectors, "--stride", "2"],
            ["fit", EX.vectors, "--trajectory", "t.xtc"],
            ["fit", "--structure", EX.structure, "--couplings", EX.couplings,
             "--trajectory", "t.xtc", "--frames", "1:2:3"],
            ["fit", "--structure", EX.structure, "--couplings", EX.couplings,
             "--trajectory", "t.xtc", "--errors", "5"],
            ["solve", EX.vectors],
            ["solve", EX.vectors, "--params", "a,b,c,d,e"],
        ],
    )  # fmt: skip
    def test_usage_errors_exit_2(self, args: list) -> None:
        done = run_kelfit(*args)
        assert done.returncode == 2
        assert len(done.stderr.splitlines()) == 1 and "error" in done.stderr
        assert done.stdout == ""

    @pytest.mark.parametrize(
        ("make", "message"),
        [
            (lambda tmp: ["fit", tmp / "absent.txt"], "absent.txt: no such file"),
            (lambda tmp: ["fit", bad_table(tmp)], "bad.txt:2: value is not a number"),
            (
                lambda tmp: ["solve", "--structure", EX.structure, "--model", "3",
                             "--params", "0,0,0,1,0"],
                "model 3 does not exist",
            ),
            (
                lambda tmp: ["fit", "--structure", EX.structure, "--couplings",
                             EX.couplings, "--atoms", "C,O"],
                "no couplings left to fit",
            ),
            (
                lambda tmp: ["fit", "--structure", EX.structure, "--couplings",
                             few_couplings(tmp)],
                "few.tab: medium 'few.tab': 2 couplings for 5 free parameters",
            ),
        ],
    )  # fmt: skip
    def test_bad_data_exits_1(self, tmp_path: Path, make, message: str) -> None:
        if "--structure" in make(tmp_path):
            pytest.importorskip("gemmi")
        done = run_kelfit(*make(tmp_path))
        assert done.returncode == 1
        assert len(done.stderr.splitlines()) == 1
        assert message in done.stderr and "Traceback" not in done.stderr

    def test_missing_extras_name_what_to_install(self, tmp_path: Path) -> None:
        env = env_without(tmp_path, "gemmi", "matplotlib")
        done = run_kelfit(
            "fit", "--structure", EX.structure, "--couplings", EX.couplings, env=env
        )
        assert done.returncode == 1 and INSTALL in done.stderr
        assert "gemmi" in done.stderr and len(done.stderr.splitlines()) == 1
        done = run_kelfit("fit", EX.vectors, "--plot", tmp_path / "p.png", env=env)
        assert done.returncode == 1 and "matplotlib" in done.stderr
        assert not (tmp_path / "p.png").exists()
        # Everything else works with numpy alone.
        ok("fit", EX.vectors, env=env)
        demo = run_kelfit("demo", cwd=tmp_path, env=env)
        assert demo.returncode == 0 and INSTALL in demo.stderr
        assert not (tmp_path / "demo-fit.png").exists()


class TestNeverBreaks:
    def test_full_disk_on_stdout_leaves_no_file(self, tmp_path: Path) -> None:
        if not Path("/dev/full").exists():
            pytest.skip("no /dev/full here")
        rows = tmp_path / "rows.csv"
        rows.write_text("an older file\n")
        with open("/dev/full", "w") as full:
            done = subprocess.run(
                [sys.executable, "-m", "kelfit_tools", "fit", str(EX.vectors),
                 "--out", str(rows)],
                stdout=full, stderr=subprocess.PIPE, text=True, check=False,
            )  # fmt: skip
        assert done.returncode == 1 and "Traceback" not in done.stderr
        assert "standard output" in done.stderr
        assert len(done.stderr.splitlines()) == 1
        # The older file is untouched and no temporary file is left.
        assert rows.read_text() == "an older file\n"
        assert [p.name for p in tmp_path.iterdir()] == ["rows.csv"]

    def test_closed_stdout(self) -> None:
        done = subprocess.run(
            [sys.executable, "-m", "kelfit_tools", "fit", str(EX.vectors)],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
            check=False, close_fds=True,
            preexec_fn=lambda: os.close(1),
        )  # fmt: skip
        assert done.returncode == 1 and "Traceback" not in done.stderr
        assert "standard output is closed" in done.stderr

    def test_types_and_exclude_select_rows(self, tmp_path: Path) -> None:
        pytest.importorskip("gemmi")
        common = ("--structure", EX.structure, "--couplings", EX.couplings)
        everything = medium(fit_json(*common))
        fewer = medium(fit_json(*common, "--exclude", "2-5,30", "--types", "H-N"))
        dropped = {c["residue_i"] for c in everything["couplings"]} - {
            c["residue_i"] for c in fewer["couplings"]
        }
        assert dropped == {2, 3, 4, 5, 30}

    def test_several_media_give_one_figure_each(self, tmp_path: Path) -> None:
        pytest.importorskip("gemmi")
        pytest.importorskip("matplotlib")
        table = tmp_path / "two.mr"
        lines = []
        for tensor, factor in ((501, 1.0), (502, -0.5)):
            lines.append(f"! medium {tensor}")
            for c in read_couplings(EX.couplings):
                lines.append(
                    f"assign (resid {tensor} and name OO) (resid {tensor} and name Z)"
                    f" (resid {tensor} and name X) (resid {tensor} and name Y)"
                    f" (resid {c.residue_i} and name N) (resid {c.residue_i} and name HN)"
                    f" {c.value * factor:.3f} 1.0"
                )
        table.write_text("\n".join(lines) + "\n")
        plot = tmp_path / "fig.png"
        done = run_kelfit(
            "fit", "--structure", EX.structure, "--couplings", table, "--plot", plot
        )
        assert done.returncode == 0, done.stderr
        assert "Between media:" in done.stdout
        for name in ("fig-1.png", "fig-2.png"):
            assert f"wrote {tmp_path / name}" in done.stderr
            assert png_size(tmp_path / name)[0] > 1000
        result = fit_json(
            "--structure", EX.structure, "--couplings", table, "--format", "xplor"
        )
        assert [m["medium"] for m in result["media"]] == ["medium 501", "medium 502"]
        (pair,) = result["comparisons"]
        # The second medium is the first scaled by -1/2: the same alignment.
        assert abs(pair["scalar_product"]) == pytest.approx(1.0, abs=1e-3)
