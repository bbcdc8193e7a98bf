"""The mistakes users really make, on real data made wrong in that way: each
gives an error or a warning, never a fit reported as good."""

from __future__ import annotations

import csv
import io
import json
import re
from pathlib import Path

import pytest
from tools_support import run_kelfit, shared_data

pytest.importorskip("gemmi")


def ubiquitin() -> tuple[Path, Path]:
    return (
        shared_data("ubiquitin", "1d3z-model-1.pdb"),
        shared_data("ubiquitin", "couplings.tab"),
    )


def fit_json(*args: object) -> dict:
    done = run_kelfit("fit", "--json", *args)
    assert done.returncode == 0, done.stderr
    result: dict = json.loads(done.stdout)
    return result


def without_hydrogens(pdb: Path, out: Path) -> Path:
    out.write_text(
        "".join(
            line
            for line in pdb.read_text().splitlines(keepends=True)
            if not (line.startswith("ATOM") and line[76:78].strip() == "H")
        )
    )
    return out


class TestMedia:
    def test_several_files_are_several_media_and_medium_picks_one(
        self, tmp_path: Path
    ) -> None:
        pdb, table = ubiquitin()
        # The same couplings under two names: a second file used to replace
        # the first without a word.
        second = tmp_path / "second.tab"
        second.write_text(table.read_text())
        both = fit_json("--structure", pdb, "--couplings", table, "--couplings", second)
        names = [m["medium"] for m in both["media"]]
        assert names == ["couplings.tab", "second.tab"]
        tensors = [m["tensor"] for m in both["media"]]
        assert tensors[0] == tensors[1]
        assert len(both["comparisons"]) == 1
        one = fit_json(
            "--structure", pdb, "--couplings", table, "--couplings", second,
            "--medium", "2",
        )  # fmt: skip
        assert [m["medium"] for m in one["media"]] == ["second.tab"]

    def test_an_unknown_medium_names_the_media_there_are(self) -> None:
        pdb, table = ubiquitin()
        done = run_kelfit(
            "fit", "--structure", pdb, "--couplings", table, "--medium", "gel"
        )
        assert done.returncode == 1
        assert "no medium 'gel' (the media are 1: couplings.tab)" in done.stderr


class TestSelection:
    def test_solve_leaves_out_w0_rows_as_fit_does(self, tmp_path: Path) -> None:
        pdb, table = ubiquitin()
        text = table.read_text()
        # Residue 2's N-H coupling is weighted 0.
        zeroed = tmp_path / "w0.tab"
        zeroed.write_text(
            re.sub(
                r"(\n\s+2\s+GLN\s+N\s+2\s+GLN\s+H\s+\S+\s+\S+\s+)1\.00",
                r"\g<1>0.00",
                text,
            )
        )
        assert zeroed.read_text() != text
        done = run_kelfit(
            "solve", "--structure", pdb, "--couplings", zeroed, "--types", "N-H",
            "--params", "0,0,0,10,0.3",
        )  # fmt: skip
        assert done.returncode == 0, done.stderr
        labels = [row["label"] for row in csv.DictReader(io.StringIO(done.stdout))]
        assert "GLN2" not in labels and "ILE3" in labels
        assert "1 coupling(s) with W = 0 left out" in done.stderr


class TestDepositedFiles:
    def test_xplor_segid_in_another_letter_case_matches_the_chain(
        self, tmp_path: Path
    ) -> None:
        pdb = shared_data("hewl", "1e8l-model-1.pdb")
        restraints = shared_data("hewl", "1e8l.mr").read_text()
        plain = tmp_path / "plain.mr"
        plain.write_text(restraints)
        lower = tmp_path / "segid.mr"
        lower.write_text(
            re.sub(
                r"\( resid (\d+) +and name (N|HN) +\)",
                r"( segid a and resid \1 and name \2 )",
                restraints,
            )
        )
        assert "segid a" in lower.read_text()
        expected = fit_json("--structure", pdb, "--couplings", plain)
        done = run_kelfit("fit", "--json", "--structure", pdb, "--couplings", lower)
        assert done.returncode == 0, done.stderr
        got = json.loads(done.stdout)["media"]
        assert [m["tensor"] for m in got] == [m["tensor"] for m in expected["media"]]
        assert [len(m["couplings"]) for m in got] == [107, 102]
        assert "chain 'a' of the couplings taken as the structure's chain 'A'" in (
            done.stderr
        )


class TestStructureWithoutProtons:
    def test_one_error_says_so_and_what_to_do(self, tmp_path: Path) -> None:
        pdb, table = ubiquitin()
        bare = without_hydrogens(pdb, tmp_path / "xray.pdb")
        done = run_kelfit("fit", "--structure", bare, "--couplings", table)
        assert done.returncode == 1
        assert len(done.stderr.splitlines()) == 1
        assert "has no hydrogens" in done.stderr and "--build-hn" in done.stderr

    def test_types_without_protons_still_fit(self, tmp_path: Path) -> None:
        pdb, table = ubiquitin()
        bare = without_hydrogens(pdb, tmp_path / "xray.pdb")
        out = fit_json(
            "--structure", bare, "--couplings", table, "--types", "C-N,CA-C"
        )  # fmt: skip
        assert out["media"][0]["types"] == {"C-N": 67, "CA-C": 64}


class TestInsertionCodes:
    def test_a_coupling_with_an_insertion_code_takes_only_that_residue(
        self, tmp_path: Path
    ) -> None:
        pdb, _ = ubiquitin()
        # Residue 10 becomes 9A: the numbering of an insertion.
        lines = []
        for line in pdb.read_text().splitlines(keepends=True):
            if line.startswith("ATOM") and line[22:26] == "  10":
                line = line[:22] + "   9A" + line[27:]
            lines.append(line)
        inserted = tmp_path / "inserted.pdb"
        inserted.write_text("".join(lines))
        table = tmp_path / "icodes.tab"
        table.write_text(
            "VARS RESID_I RESNAME_I ATOMNAME_I RESID_J RESNAME_J ATOMNAME_J D\n"
            "9A GLY N 9A GLY H 1.0\n"
            "9 THR N 9 THR H 2.0\n"
            "10 GLY N 10 GLY H 3.0\n"
            + "".join(f"{r} X N {r} X H {r}.0\n" for r in range(2, 8))
        )
        done = run_kelfit(
            "solve", "--structure", inserted, "--couplings", table,
            "--params", "0,0,0,10,0.3",
        )  # fmt: skip
        labels = [row["label"] for row in csv.DictReader(io.StringIO(done.stdout))]
        assert "GLY9A" in labels and "THR9" in labels
        assert not any(label.startswith("GLY10") for label in labels)


class TestTrajectoryPath:
    def test_strict_names_holds_for_topologies_too(self, tmp_path: Path) -> None:
        pytest.importorskip("MDAnalysis")
        from kelfit_tools.io import read_couplings
        from kelfit_tools.io.trajectory import load_universe
        from kelfit_tools.prepare import (
            Medium,
            Preparation,
            Selection,
            trajectory_input,
        )

        pdb, _ = ubiquitin()
        table = tmp_path / "typo.tab"
        # Residue 2 is GLN: one typing error, used by number unless strict.
        names = ["GLU", "ILE", "PHE", "VAL", "LYS", "THR", "LEU"]
        table.write_text(
            "VARS RESID_I RESNAME_I ATOMNAME_I RESID_J RESNAME_J ATOMNAME_J D\n"
            + "".join(f"{r} {n} N {r} {n} H {r}.0\n" for r, n in enumerate(names, 2))
        )
        universe = load_universe(pdb)
        media = [Medium("m", read_couplings(table), str(table))]
        loose = trajectory_input(universe, media, Selection(), Preparation())
        strict = trajectory_input(
            universe, media, Selection(), Preparation(), strict_names=True
        )
        assert [c.residue_i for c in loose.couplings] == list(range(2, 9))
        assert [c.residue_i for c in strict.couplings] == list(range(3, 9))


class TestProtonsAndLengths:
    def test_build_hn_fits_an_xray_like_structure(self, tmp_path: Path) -> None:
        pdb, table = ubiquitin()
        bare = without_hydrogens(pdb, tmp_path / "xray.pdb")
        built = fit_json(
            "--structure", bare, "--couplings", table, "--types", "N-H",
            "--build-hn", "--bond-lengths", "standard",
        )  # fmt: skip
        deposited = fit_json(
            "--structure", pdb, "--couplings", table, "--types", "N-H",
            "--bond-lengths", "standard",
        )  # fmt: skip
        # Protons placed from the backbone are within a few degrees of the
        # deposited ones: the tensor barely moves.
        da = [m["media"][0]["tensor"]["da"] for m in (built, deposited)]
        assert da[0] == pytest.approx(da[1], rel=0.03)

    def test_length_sets_one_types_constant(self, tmp_path: Path) -> None:
        pdb, table = ubiquitin()
        base = ("--structure", pdb, "--couplings", table, "--bond-lengths", "standard")
        plain = fit_json(*base, "--types", "N-H")
        longer = fit_json(*base, "--types", "N-H", "--length", "N-H=1.10")
        # Every row's constant shrinks by (1.041/1.10)^3, so Da, normalised
        # to N-H at 1.041, grows by its inverse.
        ratio = (1.10 / 1.041) ** 3
        da = [m["media"][0]["tensor"]["da"] for m in (plain, longer)]
        assert da[1] == pytest.approx(da[0] * ratio, rel=1e-5)
        done = run_kelfit("fit", *base, "--length", "N-H=1.1", "--length", "H-N=1.2")
        assert done.returncode == 2 and "two lengths" in done.stderr


def shifted_structure(pdb: Path, out: Path, shift: int) -> Path:
    """The structure with every residue number moved by ``shift``."""
    lines = []
    for line in pdb.read_text().splitlines(keepends=True):
        if line.startswith(("ATOM", "HETATM", "TER")) and len(line) > 26:
            line = f"{line[:22]}{int(line[22:26]) + shift:4d}{line[26:]}"
        lines.append(line)
    out.write_text("".join(lines))
    return out


def one_error(*args: object) -> str:
    done = run_kelfit("fit", *args)
    assert done.returncode == 1, done.stdout
    assert len(done.stderr.splitlines()) == 1, done.stderr
    return done.stderr


class TestMistakes:
    """Each mistake on real data: one line and exit 1, or a warning."""

    @pytest.mark.parametrize(
        ("shift", "advice"), [(1, "--renumber +1"), (-1, "--renumber -1")]
    )
    def test_a_renumbered_structure_is_refused_with_the_shift(
        self, tmp_path: Path, shift: int, advice: str
    ) -> None:
        pdb, table = ubiquitin()
        moved = shifted_structure(pdb, tmp_path / "moved.pdb", shift)
        message = one_error("--structure", moved, "--couplings", table)
        assert "shifted" in message and advice in message
        # Taking the advice gives the fit of the right numbering.
        fixed = fit_json(
            "--structure", moved, "--couplings", table, "--renumber", str(shift)
        )  # fmt: skip
        right = fit_json("--structure", pdb, "--couplings", table)
        assert fixed["media"][0]["tensor"] == right["media"][0]["tensor"]

    def test_a_plain_table_shifted_onto_prolines_is_refused(
        self, tmp_path: Path
    ) -> None:
        pdb, table = ubiquitin()
        plain = tmp_path / "plain.txt"
        rows = [
            line.split()
            for line in table.read_text().splitlines()
            if len(line.split()) == 9 and line.split()[2:6:3] == ["N", "H"]
        ]
        plain.write_text("".join(f"{int(r[0]) + 1} {r[6]}\n" for r in rows))
        assert "--renumber -1" in one_error("--structure", pdb, "--couplings", plain)

    def test_a_reference_fit_table_is_read_by_its_observed_column(self) -> None:
        pdb, table = ubiquitin()
        out = shared_data("ubiquitin", "svd-fit-reference.out")
        done = run_kelfit("fit", "--json", "--structure", pdb, "--couplings", out)
        assert done.returncode == 0, done.stderr
        assert "reading D_OBS as the observed couplings" in done.stderr
        fitted = json.loads(done.stdout)["media"][0]
        deposited = fit_json("--structure", pdb, "--couplings", table)["media"][0]
        assert fitted["tensor"] == deposited["tensor"]
        assert fitted["quality"]["q"] > 0.1

    def test_couplings_in_khz_warn(self, tmp_path: Path) -> None:
        pdb, table = ubiquitin()
        khz = tmp_path / "khz.tab"
        khz.write_text(
            re.sub(
                r"^(\s*\d+\s+\w+\s+\w+\s+\d+\s+\w+\s+\w+\s+)(\S+)",
                lambda m: f"{m.group(1)}{float(m.group(2)) / 1000:.6f}",
                table.read_text(),
                flags=re.MULTILINE,
            )
        )
        out = fit_json("--structure", pdb, "--couplings", khz, "--unweighted")
        assert any("kHz" in w for w in out["warnings"])

    def test_a_coupling_listed_in_three_spellings_is_refused(
        self, tmp_path: Path
    ) -> None:
        pdb, table = ubiquitin()
        text = table.read_text()
        line = next(l for l in text.splitlines() if re.match(r"\s+2\s+GLN\s+N\s", l))
        again = [
            line.replace(" H ", " HN "),
            re.sub(r"N(\s+2\s+GLN\s+)H", r"H\1N", line),
        ]
        dup = tmp_path / "dup.tab"
        dup.write_text(text + "\n".join(again) + "\n")
        message = one_error("--structure", pdb, "--couplings", dup)
        assert "duplicate coupling" in message and "GLN2" in message
        kept = fit_json("--structure", pdb, "--couplings", dup, "--duplicates", "first")
        plain = fit_json("--structure", pdb, "--couplings", table)
        assert kept["media"][0]["tensor"] == plain["media"][0]["tensor"]

    def test_five_couplings_for_five_parameters_are_refused(
        self, tmp_path: Path
    ) -> None:
        pdb, table = ubiquitin()
        five = tmp_path / "five.tab"
        lines = table.read_text().splitlines()
        head = [l for l in lines if l.startswith(("VARS", "FORMAT"))]
        data = [l for l in lines if re.match(r"\s+\d+\s+\w+\s+N\s+\d+\s+\w+\s+H\s", l)]
        five.write_text("\n".join(head + data[:5]) + "\n")
        assert "5 couplings for 5 free parameters" in one_error(
            "--structure", pdb, "--couplings", five
        )
        six = tmp_path / "six.tab"
        six.write_text("\n".join(head + data[:6]) + "\n")
        out = fit_json("--structure", pdb, "--couplings", six)
        assert out["warnings"], "six couplings for five parameters fit without a word"

    def test_a_structure_named_otherwise_is_read_by_content(
        self, tmp_path: Path
    ) -> None:
        pdb, table = ubiquitin()
        renamed = tmp_path / "ubiquitin.model"
        renamed.write_bytes(pdb.read_bytes())
        assert (
            fit_json("--structure", renamed, "--couplings", table)["media"]
            == (fit_json("--structure", pdb, "--couplings", table)["media"])
        )
