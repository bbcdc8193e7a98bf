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
    u /= np.linalg.norm(u, axis=1)[:, None]
    x, y, z = u.T
    # Order-matrix basis: Syy, Szz, Sxy, Sxz, Syz with Sxx = -Syy - Szz.
    design = np.column_stack(
        [y * y - x * x, z * z - x * x, 2 * x * y, 2 * x * z, 2 * y * z]
    )
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
    result = json.loads(done.stdout)

    observed, best = svd_reference(pdb, table)
    q_ref = np.sqrt(np.mean((observed - best) ** 2) / np.mean(observed**2))
    assert result["n"] == nh == len(observed) and result["unmatched"] == []
    assert result["q"] == pytest.approx(q_ref, abs=1e-3)
    assert 0 <= result["r"] <= 2 / 3

    written = list(csv.DictReader(io.StringIO(rows.read_text())))
    assert [float(r["observed"]) for r in written] == pytest.approx(observed)
    calculated = np.array([float(r["calculated"]) for r in written])
    assert np.max(np.abs(calculated - best)) < 0.05
