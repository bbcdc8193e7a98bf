"""Measured couplings of ubiquitin and GB3 through the command line.

The reference is computed here, independently of the package: the files are
parsed by column, and the tensor comes from a double-precision SVD solve in
a basis the package does not use.
"""

from __future__ import annotations

import csv
import io
import json
from pathlib import Path

import numpy as np
import pytest
from tools_support import REAL_DATA, run_kelfit, shared_data

pytest.importorskip("gemmi")


def nh_couplings(path: Path) -> dict[int, float]:
    """Residue -> N-H coupling, from the lines whose atoms are N and H."""
    out = {}
    for line in path.read_text().splitlines():
        f = line.split()
        if len(f) == 9 and f[0].isdigit() and (f[2], f[5]) == ("N", "H"):
            out[int(f[0])] = float(f[6])
    return out


def atoms(path: Path) -> dict[tuple[int, str], np.ndarray]:
    """(residue, atom name) -> position, from the PDB's fixed columns."""
    out = {}
    for line in path.read_text().splitlines():
        if line.startswith("ATOM"):
            key = (int(line[22:26]), line[12:16].strip())
            out[key] = np.array([float(line[c : c + 8]) for c in (30, 38, 46)])
    return out


def svd_reference(structure: Path, table: Path) -> tuple[np.ndarray, np.ndarray]:
    """Observed and best-fit values of the N-H couplings, in double precision."""
    xyz = atoms(structure)
    couplings = nh_couplings(table)
    u = np.array([xyz[r, "H"] - xyz[r, "N"] for r in couplings])
    length = np.linalg.norm(u, axis=1)
    u /= length[:, None]
    x, y, z = u.T
    # Order-matrix basis: Syy, Szz, Sxy, Sxz, Syz with Sxx = -Syy - Szz; each
    # row scaled by its dipolar constant, which goes as the length^-3.
    design = np.column_stack(
        [y * y - x * x, z * z - x * x, 2 * x * y, 2 * x * z, 2 * y * z]
    ) / (length[:, None] ** 3)
    observed = np.array(list(couplings.values()))
    solution, *_ = np.linalg.lstsq(design, observed, rcond=None)
    return observed, design @ solution


@pytest.mark.parametrize(("folder", "structure", "nh"), REAL_DATA)
def test_fit_matches_an_independent_svd_solution(
    tmp_path: Path, folder: str, structure: str, nh: int
) -> None:
    pdb = shared_data(folder, structure)
    table = shared_data(folder, "couplings.tab")
    rows = tmp_path / "rows.csv"
    done = run_kelfit(
        "fit", "--structure", pdb, "--couplings", table, "--atoms", "N,H",
        "--json", "--out", rows,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)["media"][0]

    observed, best = svd_reference(pdb, table)
    q_ref = np.sqrt(np.mean((observed - best) ** 2) / np.mean(observed**2))
    assert result["quality"]["n"] == nh == len(observed) and result["unmatched"] == []
    assert result["quality"]["q"] == pytest.approx(q_ref, abs=1e-3)
    assert 0 <= result["tensor"]["r"] <= 2 / 3

    written = list(csv.DictReader(io.StringIO(rows.read_text())))
    assert [float(r["observed"]) for r in written] == pytest.approx(observed)
    calculated = np.array([float(r["calculated"]) for r in written])
    assert np.max(np.abs(calculated - best)) < 0.05


def reference_table(path: Path) -> dict[tuple[int, str, int, str], float]:
    """(residue i, atom i, residue j, atom j) -> back-calculated D, by column."""
    out = {}
    for line in path.read_text().splitlines():
        f = line.split()
        if len(f) == 12 and f[0].isdigit():
            out[int(f[0]), f[2], int(f[3]), f[5]] = float(f[8])
    return out


@pytest.mark.parametrize(
    ("folder", "structure", "count", "da_nh", "r"),
    [
        ("ubiquitin", "1d3z-model-1.pdb", 265, -7.779341, 0.1668354),
        ("gb3", "1p7e.pdb", 203, -14.00, 0.223),
    ],
)
def test_every_bond_type_reproduces_the_reference_fit(
    folder: str, structure: str, count: int, da_nh: float, r: float
) -> None:
    """All four bond types, weighted by DD and scaled by each bond's own
    dipolar constant, as the reference fit beside the data was made."""
    reference = reference_table(shared_data(folder, "svd-fit-reference.out"))
    done = run_kelfit(
        "fit", "--structure", shared_data(folder, structure),
        "--couplings", shared_data(folder, "couplings.tab"), "--json",
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    m = json.loads(done.stdout)["media"][0]
    assert len(reference) == count == m["quality"]["n"]
    assert len(m["types"]) == 4 and m["weighted"] is True
    assert m["sign_convention"]["used"] == "magnitudes"
    assert m["sign_convention"]["how"] == "detected"
    chi2 = m["sign_convention"]["chi2"]
    assert chi2["physical"] > 10 * chi2["magnitudes"]
    rows = {
        (c["residue_i"], c["atom_i"], c["residue_j"], c["atom_j"]): c["calculated"]
        for c in m["couplings"]
    }
    deviation = max(abs(rows[key] - value) for key, value in reference.items())
    assert deviation < 0.02, f"largest deviation {deviation:.4f} Hz"
    assert m["tensor"]["da_nh"] == pytest.approx(da_nh, abs=0.01)
    assert m["tensor"]["r"] == pytest.approx(r, abs=0.002)


HEWL = "hewl"


@pytest.fixture(scope="module")
def lysozyme() -> dict:
    """Both media of lysozyme from the deposited Xplor file, in JSON."""
    pytest.importorskip("pynmrstar")
    done = run_kelfit(
        "fit", "--structure", shared_data(HEWL, "1e8l-model-1.pdb"),
        "--couplings", shared_data(HEWL, "1e8l.mr"), "--json",
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_lysozyme_media_from_the_deposited_restraints(lysozyme: dict) -> None:
    media = lysozyme["media"]
    assert [m["medium"] for m in media] == [
        "5% DMPC:DHPC (2.9:1.0)",
        "7.5% DMPC:DHPC:CTAB (2.9:1.0:0.1)",
    ]
    assert [m["quality"]["n"] for m in media] == [107, 102]
    assert all(m["types"] == {"N-H": m["quality"]["n"]} for m in media)
    (pair,) = lysozyme["comparisons"]
    assert pair["media"] == [media[0]["medium"], media[1]["medium"]]
    assert 0 <= pair["scalar_product"] <= 1
    assert all(0 <= a <= 90 for a in pair["axis_angles_deg"].values())
    for m in media:
        assert m["quality"]["q"] < 0.5
        assert len(m["tensor"]["euler_solutions_deg"]) == 4


@pytest.mark.parametrize("name", ["1e8l_mr.str", "couplings.tab"])
def test_lysozyme_readers_agree(lysozyme: dict, name: str) -> None:
    """The Xplor file, the NMR-STAR file and the table give the same first
    medium: the same couplings and so the same tensor."""
    done = run_kelfit(
        "fit", "--structure", shared_data(HEWL, "1e8l-model-1.pdb"),
        "--couplings", shared_data(HEWL, name), "--json",
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    first = json.loads(done.stdout)["media"][0]
    xplor = lysozyme["media"][0]

    def values(m: dict) -> dict:
        return {c["residue_i"]: c["observed"] for c in m["couplings"]}

    assert values(first) == values(xplor)
    # The Xplor errors (2 Hz each) weigh every row alike: the same tensor.
    assert first["tensor"]["da_nh"] == pytest.approx(xplor["tensor"]["da_nh"], abs=1e-3)


def test_solve_back_calculates_what_fit_reports() -> None:
    """Every bond type: solve with the reported canonical tensor gives the
    fit's own back-calculated values."""
    args = (
        "--structure", shared_data("ubiquitin", "1d3z-model-1.pdb"),
        "--couplings", shared_data("ubiquitin", "couplings.tab"),
    )  # fmt: skip
    done = run_kelfit("fit", *args, "--json")
    assert done.returncode == 0, done.stderr
    m = json.loads(done.stdout)["media"][0]
    t = m["tensor"]
    params = ",".join(repr(v) for v in [*t["euler_deg"], t["da_nh"], t["r"]])
    solved = run_kelfit("solve", *args, f"--params={params}")
    assert solved.returncode == 0, solved.stderr
    rows = list(csv.DictReader(io.StringIO(solved.stdout)))
    assert len(rows) == len(m["couplings"]) == 265
    for row, coupling in zip(rows, m["couplings"]):
        assert row["label"] == coupling["label"]
        assert float(row["calculated"]) == pytest.approx(
            coupling["calculated"], abs=0.01
        )
