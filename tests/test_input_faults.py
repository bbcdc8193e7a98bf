"""Structures and tables that are wrong in ways a fit would not show.

Each structure is the shared ubiquitin model edited by hand (its PDB text,
or its atoms in gemmi); expected positions and lengths are read back from
the edited text or computed here, not taken from the code under test.
"""

from __future__ import annotations

import json
import logging
import math
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import DataError, read_couplings
from kelfit_tools.checks import check_uncertainties
from kelfit_tools.io.tables import Coupling
from kelfit_tools.prepare import Preparation, Selection, select_couplings
from tools_support import run_kelfit, shared_data

gemmi = pytest.importorskip("gemmi")

from kelfit_tools.io.structure import load_structure, structure_vectors
from kelfit_tools.prepare import pick_media, read_media, structure_inputs

PDB = ("ubiquitin", "1d3z-model-1.pdb")
TABLE = ("ubiquitin", "couplings.tab")


def _pdb_lines() -> list[str]:
    return shared_data(*PDB).read_text().splitlines()


def _atom(line: str) -> tuple[str, int, str]:
    return line[12:16].strip(), int(line[22:26]), line[16]


def _xyz(line: str) -> np.ndarray:
    return np.array([float(line[30:38]), float(line[38:46]), float(line[46:54])])


def _with_xyz(line: str, xyz: np.ndarray, altloc: str, occupancy: float) -> str:
    coords = "".join(f"{c:8.3f}" for c in xyz)
    return f"{line[:16]}{altloc}{line[17:30]}{coords}{occupancy:6.2f}{line[60:]}"


def _nh_rows(*residues: int) -> list[Coupling]:
    rows = read_couplings(shared_data(*TABLE))
    return [
        c
        for c in rows
        if c.residue_i in residues and c.atom_i == "N" and c.atom_j == "H"
    ]


# ------------------------------------------------------- alternate locations


@pytest.mark.parametrize(
    ("first", "second", "used"),
    # (altloc, occupancy) as listed; which one the fit must use.
    [(("B", 0.40), ("A", 0.60), "A"), (("A", 0.50), ("B", 0.50), "A")],
)
def test_the_alternate_location_of_highest_occupancy_is_used(
    tmp_path: Path,
    caplog: pytest.LogCaptureFixture,
    first: tuple[str, float],
    second: tuple[str, float],
    used: str,
) -> None:
    lines = _pdb_lines()
    at = next(k for k, line in enumerate(lines) if _atom(line)[:2] == ("H", 5))
    n = _xyz(next(line for line in lines if _atom(line)[:2] == ("N", 5)))
    h = _xyz(lines[at])
    away = h + np.array([0.3, -0.2, 0.25])
    positions = {first[0]: away, second[0]: h}
    edited = [
        _with_xyz(lines[at], positions[first[0]], first[0], first[1]),
        _with_xyz(lines[at], positions[second[0]], second[0], second[1]),
    ]
    path = tmp_path / "altloc.pdb"
    path.write_text("\n".join(lines[:at] + edited + lines[at + 1 :]) + "\n")
    with caplog.at_level(logging.INFO):
        matched = structure_vectors(path, _nh_rows(5))
    expected = positions[used] - n
    assert np.allclose(matched.vectors[0], expected, atol=5e-4)
    occupancy = dict([first, second])[used]
    assert (
        f"using altloc {used} (the highest occupancy of each): VAL5 H at {used} "
        in (caplog.text)
    )
    assert f"({occupancy:.2f})" in caplog.text


# ------------------------------------------------------------- bond lengths


def _stretched(factor: float, residue: int = 5) -> gemmi.Structure:
    """Ubiquitin with residue ``residue``'s H moved along its N-H bond so
    that the bond is ``factor`` times the standard 1.041 A."""
    structure = load_structure(shared_data(*PDB))
    found = structure[0]["A"][str(residue)][0]
    n, h = found["N"][0], found["H"][0]
    d = np.array(h.pos.tolist()) - np.array(n.pos.tolist())
    new = np.array(n.pos.tolist()) + d / np.linalg.norm(d) * 1.041 * factor
    h.pos = gemmi.Position(*new)
    return structure


def _warnings_of(structure: gemmi.Structure) -> list[str]:
    report = Preparation()
    media = pick_media(read_media([shared_data(*TABLE)]), None)
    structure_inputs(structure, media, Selection(atoms=("N", "H")), report)
    return report.warnings


@pytest.mark.parametrize(
    ("factor", "warned"),
    [(1e8, True), (1.203, True), (1.195, False), (0.805, False), (0.797, True)],
)
def test_a_bond_far_from_its_standard_length_is_warned_naming_it(
    factor: float, warned: bool
) -> None:
    found = [w for w in _warnings_of(_stretched(factor)) if "standard length" in w]
    if not warned:
        assert found == []
        return
    (message,) = found
    assert message.startswith("1 bond(s) differ from their type's standard length")
    assert f"VAL5 N-H {1.041 * factor:.4g} A (standard 1.041 A)" in message


def test_real_structures_have_no_odd_bonds() -> None:
    assert not [w for w in _warnings_of(_stretched(1.0)) if "standard length" in w]


# ---------------------------------------------------- repeated residue numbers


def test_a_residue_number_given_twice_in_a_chain_is_warned(
    tmp_path: Path, caplog: pytest.LogCaptureFixture
) -> None:
    lines = _pdb_lines()
    six = [line for line in lines if line.startswith("ATOM") and _atom(line)[1] == 6]
    # A second residue 5 (LYS6's atoms renamed and renumbered) after residue 6.
    copy = [f"{line[:17]}ALA{line[20:22]}   5{line[26:]}" for line in six]
    last = max(k for k, line in enumerate(lines) if line in six)
    path = tmp_path / "twice.pdb"
    path.write_text("\n".join(lines[: last + 1] + copy + lines[last + 1 :]) + "\n")
    with caplog.at_level(logging.WARNING):
        matched = structure_vectors(path, _nh_rows(5, 7))
    assert matched.labels == ["VAL5", "THR7"]
    assert (
        "1 residue number(s) appear twice in one chain of the structure: chain A "
        "has VAL5 and ALA5: using VAL5"
    ) in caplog.text


# ----------------------------------------------------------------- messages


def test_a_nan_coordinate_is_reported_against_the_structures_atom(
    tmp_path: Path,
) -> None:
    lines = [
        f"{line[:30]}{'nan':>8}{line[38:]}" if _atom(line)[:2] == ("H", 5) else line
        for line in _pdb_lines()
    ]
    path = tmp_path / "nan.pdb"
    path.write_text("\n".join(lines) + "\n")
    done = run_kelfit("fit", "--structure", path, "--couplings", shared_data(*TABLE))
    assert done.returncode == 1
    (error,) = [line for line in done.stderr.splitlines() if ": error: " in line]
    assert "atom H of VAL5 (model 1) has a coordinate that is not a number" in error
    assert "nan" in error and "couplings.tab" not in error


def test_a_tiny_uncertainty_is_named_not_blamed_on_the_directions(
    tmp_path: Path,
) -> None:
    text = shared_data(*TABLE).read_text().splitlines()
    at = next(k for k, line in enumerate(text) if line.split()[:1] == ["3"])
    fields = text[at].split()
    fields[7] = "1e-30"
    text[at] = " ".join(fields)
    table = tmp_path / "dd.tab"
    table.write_text("\n".join(text) + "\n")
    done = run_kelfit("fit", "--structure", shared_data(*PDB), "--couplings", table)
    assert done.returncode == 1
    assert "do not determine" not in done.stderr
    assert f"the uncertainty of ILE3 (DD = 1e-30, line {at + 1} of {table})" in (
        done.stderr
    )


def test_uncertainties_may_spread_ten_thousandfold_and_no_more() -> None:
    def rows(smallest: float) -> list[Coupling]:
        return [
            Coupling(k, "N", k, "H", 1.0, error=1.0, line=k) for k in range(1, 5)
        ] + [Coupling(9, "N", 9, "H", 1.0, error=smallest, line=9)]

    check_uncertainties(rows(1.01e-4))  # the median is 1.0
    with pytest.raises(DataError, match=r"DD = 9\.9e-05, line 9\) is 1\.01e\+04 times"):
        check_uncertainties(rows(0.99e-4))


@pytest.mark.parametrize(
    "row",
    [
        "2 N 2 H {long}",  # the value
        "{long} N 2 H 1.5",  # the residue
    ],
)
def test_a_huge_field_is_echoed_short(tmp_path: Path, row: str) -> None:
    long = "9x" * 100_000
    table = tmp_path / "long.tab"
    table.write_text(
        "VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D\n" + row.format(long=long) + "\n"
    )
    with pytest.raises(DataError) as caught:
        read_couplings(table)
    message = str(caught.value)
    assert len(message) < 200 + len(str(table))
    assert f"{'9x' * 30!r}... (200000 characters)" in message


# ------------------------------------------------------------------- tables


def test_segname_j_names_the_second_atoms_chain(tmp_path: Path) -> None:
    table = tmp_path / "chains.tab"
    table.write_text(
        "VARS RESID_I SEGNAME_I ATOMNAME_I RESID_J SEGNAME_J ATOMNAME_J D\n"
        "7 A C 8 B N 1.0\n"
        "9 B N 9 B H 2.0\n"
    )
    first, second = read_couplings(table)
    assert (first.chain_i, first.chain_j) == ("A", "B")
    assert (second.chain_i, second.chain_j) == ("B", "B")
    assert first.label == "A:7-8"


def test_model_zero_is_refused() -> None:
    with pytest.raises(DataError, match="model 0 does not exist; the structure has 1"):
        structure_vectors(shared_data(*PDB), _nh_rows(5), model=0)
    done = run_kelfit(
        "fit",
        "--structure",
        shared_data(*PDB),
        "--couplings",
        shared_data(*TABLE),
        "--models",
        "0",
    )
    assert done.returncode == 2 and "number from 1" in done.stderr


@pytest.mark.parametrize("kind", ["vectors", "couplings"])
def test_three_rows_are_a_one_line_error(tmp_path: Path, kind: str) -> None:
    if kind == "vectors":
        table = tmp_path / "three.txt"
        table.write_text("1 0 0 5\n0 1 0 3\n0 0 1 -8\n")
        done = run_kelfit("fit", table)
    else:
        table = tmp_path / "three.tab"
        rows = [f"{c.residue_i} N {c.residue_j} H {c.value}" for c in _nh_rows(2, 3, 4)]
        table.write_text(
            "VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D\n" + "\n".join(rows) + "\n"
        )
        done = run_kelfit("fit", "--structure", shared_data(*PDB), "--couplings", table)
    assert done.returncode == 1 and done.stdout == ""
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1, done.stderr
    assert lines[0].startswith("kelfit fit: error: ")
    assert "3 couplings for 5 free parameters" in lines[0]


def test_excluding_a_residue_drops_the_couplings_that_reach_into_it() -> None:
    rows = [
        Coupling(4, "C", 5, "N", 1.0, line=1),  # C(4)-N(5): reaches 5
        Coupling(5, "C", 6, "N", 2.0, line=2),
        Coupling(3, "C", 4, "N", 3.0, line=3),
        Coupling(5, "N", 5, "H", 4.0, line=4),
        Coupling(6, "N", 6, "H", 5.0, line=5),
    ]
    report = Preparation()
    kept = select_couplings(rows, Selection(exclude=frozenset({5})), report)
    assert [c.line for c in kept] == [3, 5]
    assert "3 coupling(s) of excluded residues left out" in report.notes


def test_excluding_on_the_command_line_drops_a_peptide_coupling() -> None:
    common = ["fit", "--structure", shared_data(*PDB), "--couplings"]
    common += [shared_data(*TABLE), "--types", "C-N", "--json", "-q"]
    every = json.loads(run_kelfit(*common).stdout)
    fewer = json.loads(run_kelfit(*common, "--exclude", "68").stdout)
    # 67 LEU C - 68 HIS N and 68 HIS C - 69 LEU N both go.
    labels = {row["label"] for row in every["media"][0]["couplings"]}
    assert {"LEU67-HIS68", "HIS68-LEU69"} <= labels
    assert labels - {row["label"] for row in fewer["media"][0]["couplings"]} == {
        "LEU67-HIS68",
        "HIS68-LEU69",
    }
    assert math.isfinite(fewer["media"][0]["tensor"]["da"])


def test_six_couplings_are_too_few_only_with_an_offset() -> None:
    from kelfit_tools.prepare import Medium

    structure = load_structure(shared_data(*PDB))
    medium = Medium("m", _nh_rows(2, 3, 4, 5, 6, 7), "six.tab")
    selection = Selection(atoms=("N", "H"))
    (done,) = structure_inputs(structure, [medium], selection, Preparation())
    assert len(done.matched.values) == 6
    with pytest.raises(DataError, match="6 couplings for 6 free parameters"):
        structure_inputs(structure, [medium], selection, Preparation(), offset=True)


@pytest.mark.parametrize(("pick", "picked"), [("1", "a"), ("2", "b"), ("0", None)])
def test_media_are_numbered_from_one(pick: str, picked: str | None) -> None:
    from kelfit_tools.prepare import Medium

    media = [Medium(name, [], f"{name}.tab") for name in ("a", "b")]
    if picked is None:
        with pytest.raises(DataError, match="no medium '0' .*1: a; 2: b"):
            pick_media(media, [pick])
    else:
        assert [m.name for m in pick_media(media, [pick])] == [picked]
