"""Command-line mistakes on real data: each gives an error naming what was
seen and what to do, never a quiet wrong answer."""

from __future__ import annotations

import csv
import json
import re
from pathlib import Path

import pytest
from tools_support import run_kelfit, shared_data, write_models

COMMANDS = ("fit", "solve", "demo", "histogram", "predict", "data")


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_explains_itself(command: str) -> None:
    done = run_kelfit(command, "--help")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"usage: kelfit {command}")


UBIQUITIN = ("ubiquitin", "1d3z-model-1.pdb"), ("ubiquitin", "couplings.tab")


def ubiquitin() -> tuple[Path, Path]:
    return shared_data(*UBIQUITIN[0]), shared_data(*UBIQUITIN[1])


@pytest.mark.parametrize("command", ["fit", "histogram", "predict"])
@pytest.mark.parametrize("types", ["N-H,CA-H", "CA-H"])
def test_a_misspelt_bond_type_is_refused(command: str, types: str) -> None:
    pdb, table = ubiquitin()
    args = ["--couplings", table, "--types", types]
    if command != "histogram":
        args += ["--structure", pdb]
    done = run_kelfit(command, *args)
    assert done.returncode == 1, done.stdout
    assert "no coupling of bond type CA-H (from --types)" in done.stderr
    assert "types present: C-N, CA-C, CA-HA, N-H" in done.stderr


def two_chains(tmp_path: Path, *, gap: bool, shift: int = 0) -> Path:
    """Ubiquitin as chains A and B (B renumbered by ``shift``); with ``gap``,
    A lacks residues 30-40."""
    gemmi = pytest.importorskip("gemmi")
    structure = gemmi.read_structure(str(ubiquitin()[0]))
    model = structure[0]
    copy = model[0].clone()
    copy.name = "B"
    for residue in copy:
        residue.seqid.num += shift
    model.add_chain(copy)
    first = model["A"]
    for k in reversed(range(len(first))):
        if gap and 30 <= first[k].seqid.num <= 40:
            del first[k]
    path = tmp_path / "dimer.pdb"
    structure.write_pdb(str(path))
    return path


def fit_json(*args: object) -> dict:
    done = run_kelfit("fit", "--json", *args)
    assert done.returncode == 0, done.stderr
    result: dict = json.loads(done.stdout)
    return result


def test_couplings_that_name_no_chain_are_not_taken_across_chains(
    tmp_path: Path,
) -> None:
    table = ubiquitin()[1]
    dimer = two_chains(tmp_path, gap=True)
    done = run_kelfit("fit", "--structure", dimer, "--couplings", table)
    assert done.returncode == 1
    assert "could be in chains A, B of the structure" in done.stderr
    assert "say which with --chain" in done.stderr
    out = tmp_path / "rows.csv"
    chosen = fit_json(
        "--structure", dimer, "--couplings", table, "--chain", "B", "--out", out
    )
    rows = chosen["media"][0]["couplings"]
    with out.open() as f:
        written = list(csv.DictReader(f))
    assert len(written) == len(rows)
    assert {r["chain_i"] for r in rows} == {r["chain_i"] for r in written} == {"B"}
    alone = fit_json("--structure", ubiquitin()[0], "--couplings", table)
    assert chosen["media"][0]["tensor"]["da"] == alone["media"][0]["tensor"]["da"]


def test_the_one_chain_holding_the_residues_is_used_and_said(tmp_path: Path) -> None:
    pdb, table = ubiquitin()
    dimer = two_chains(tmp_path, gap=False, shift=1000)
    both = fit_json("--structure", dimer, "--couplings", table)
    assert any("all taken from chain A" in n for n in both["notes"])
    assert {r["chain_j"] for r in both["media"][0]["couplings"]} == {"A"}
    alone = fit_json("--structure", pdb, "--couplings", table)
    assert both["media"][0]["tensor"]["da"] == alone["media"][0]["tensor"]["da"]


def dna_first(tmp_path: Path) -> Path:
    """Ubiquitin as chain B after a DNA chain A numbered 1-12 (atoms no
    coupling names), as in a complex's file."""
    gemmi = pytest.importorskip("gemmi")
    structure = gemmi.read_structure(str(ubiquitin()[0]))
    model = structure[0]
    protein = model[0].clone()
    protein.name = "B"
    dna = gemmi.Chain("A")
    for number in range(1, 13):
        residue = gemmi.Residue()
        residue.name, residue.seqid = "DA", gemmi.SeqId(number, " ")
        atom = gemmi.Atom()
        atom.name, atom.element = "P", gemmi.Element("P")
        atom.pos = gemmi.Position(80.0 + 6.0 * number, 0.0, 0.0)
        residue.add_atom(atom)
        dna.add_residue(residue)
    model.remove_chain("A")
    model.add_chain(dna)
    model.add_chain(protein)
    path = tmp_path / "complex.pdb"
    structure.write_pdb(str(path))
    return path


@pytest.mark.parametrize("kind", ["structure", "trajectory"])
def test_the_numbering_is_checked_in_the_chain_the_fit_uses(
    tmp_path: Path, kind: str
) -> None:
    # Couplings that name no chain are B's, the one chain with their atoms:
    # the check of their numbering must compare B's residue names, not the
    # DNA's of the same numbers.
    complex_ = dna_first(tmp_path)
    args: list[object] = ["--structure", complex_, "--couplings", ubiquitin()[1]]
    if kind == "trajectory":
        pytest.importorskip("MDAnalysis")
        args += ["--trajectory", complex_]
    done = run_kelfit("fit", *args, "--json")
    assert done.returncode == 0, done.stderr
    warnings = json.loads(done.stdout)["warnings"]
    assert not [w for w in warnings if "DA in the structure" in w]
    assert any("residue 10 is THR in the table, GLY" in w for w in warnings)


def retyped(table: Path, out: Path, kind: str, factor: float) -> Path:
    """The couplings of one bond type multiplied by ``factor``."""
    atoms = tuple(kind.split("-"))
    lines = []
    for line in table.read_text().splitlines():
        words = line.split()
        if len(words) == 9 and (words[2], words[5]) in (atoms, atoms[::-1]):
            value = f"{float(words[6]) * factor:.3f}"
            line = line.replace(f" {words[6]} ", f" {value:>{len(words[6])}} ", 1)
        lines.append(line)
    out.write_text("\n".join(lines) + "\n")
    return out


def test_a_flipped_type_is_named_and_fitted_flipped(tmp_path: Path) -> None:
    pdb, table = ubiquitin()
    flipped = retyped(table, tmp_path / "flipped.tab", "C-N", -1.0)
    args = ("--structure", pdb, "--couplings", flipped)
    warned = run_kelfit("fit", *args)
    assert "fit them flipped with --flip C-N" in warned.stderr
    mended = fit_json(*args, "--flip", "C-N")
    assert not any("anticorrelate" in w for w in mended["warnings"])
    plain = fit_json("--structure", pdb, "--couplings", table)
    assert mended["media"][0]["tensor"]["da"] == pytest.approx(
        plain["media"][0]["tensor"]["da"], rel=1e-9
    )
    done = run_kelfit("fit", *args, "--flip", "C-H")
    assert done.returncode == 1
    assert "no coupling of bond type C-H to flip (from --flip)" in done.stderr


def test_couplings_normalised_to_nh_are_fitted_as_declared(tmp_path: Path) -> None:
    from kelfit_tools.bonds import STANDARD_LENGTHS, dipolar_constant

    pdb, table = ubiquitin()
    nh = abs(dipolar_constant("N", "H", STANDARD_LENGTHS["N-H"]))
    normalised = table
    for kind in ("CA-HA", "C-N", "CA-C"):
        a, b = kind.split("-")
        ratio = nh / abs(dipolar_constant(a, b, STANDARD_LENGTHS[kind]))
        normalised = retyped(normalised, tmp_path / f"{kind}.tab", kind, ratio)
    args = ("--structure", pdb, "--couplings", normalised)
    assert (
        "say they are normalised with --normalised" in run_kelfit("fit", *args).stderr
    )
    declared = fit_json(*args, "--normalised")
    assert not any("look normalised" in w for w in declared["warnings"])
    plain = fit_json(
        "--structure", pdb, "--couplings", table, "--bond-lengths", "standard"
    )
    assert declared["media"][0]["tensor"]["da"] == pytest.approx(
        plain["media"][0]["tensor"]["da"], rel=0.03
    )


def test_predict_compares_one_medium_of_several_picked_by_medium() -> None:
    pytest.importorskip("gemmi")
    pdb, mr = shared_data("hewl", "1e8l-model-1.pdb"), shared_data("hewl", "1e8l.mr")
    done = run_kelfit("predict", "--structure", pdb, "--couplings", mr, "--medium", "1")
    assert done.returncode == 0, done.stderr
    (q,) = [line for line in done.stdout.splitlines() if line.startswith("Q ")]
    assert re.fullmatch(r"Q +[0-9.]+ \(prediction scaled by -?[0-9.]+\)", q)


def test_predicts_old_medium_spelling_still_picks_the_steric_medium() -> None:
    pytest.importorskip("gemmi")
    pdb = ubiquitin()[0]
    args = ("predict", "--structure", pdb, "--json", "--types", "N-H")
    old = run_kelfit(*args, "--medium", "phage", "--orientations", "50")
    assert old.returncode == 0, old.stderr
    assert "--medium phage is deprecated: use --steric-medium" in old.stderr
    new = run_kelfit(*args, "--steric-medium", "phage", "--orientations", "50")
    assert "deprecated" not in new.stderr
    assert json.loads(old.stdout) == json.loads(new.stdout)


def test_predict_of_a_ca_trace_gives_the_tensor_alone(tmp_path: Path) -> None:
    pytest.importorskip("gemmi")
    trace = tmp_path / "trace.pdb"
    trace.write_text(
        "".join(
            line
            for line in ubiquitin()[0].read_text().splitlines(keepends=True)
            if not line.startswith("ATOM") or line[12:16] == " CA "
        )
    )
    done = run_kelfit("predict", "--structure", trace, "--json")
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out["couplings"] == [] and out["tensor"]["da"] < 0
    assert any("no backbone bond" in n for n in out["notes"])


def test_the_text_says_which_model_and_each_spreads_unit(tmp_path: Path) -> None:
    pdb, table = ubiquitin()
    two = write_models(tmp_path / "two.pdb", pdb, [lambda x: x, lambda x: x + 1.0])
    args = ("--couplings", table, "-q", "--errors", "3", "--seed", "1")
    done = run_kelfit("fit", "--structure", two, *args)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(
        "Model 1 of the 2 in the structure (--models all fits each)\n"
    )
    assert re.search(
        r"sd Da [0-9.]+ Hz, sd R [0-9.]+, sd Dr = R Da [0-9.]+ Hz", done.stdout
    )
    one = run_kelfit("fit", "--structure", pdb, *args)
    assert one.stdout.startswith("Medium")
