"""Fits over a trajectory that the tests write themselves with MDAnalysis.

Ubiquitin is turned by a known rotation in each frame (and jittered a
little): the fitted tensor must turn with it.
"""

from __future__ import annotations

import csv
import json
import math
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import DataError, back_calculate, fit, read_couplings
from kelfit_tools.options import FitOptions
from kelfit_tools.tensor import rotation_matrix
from tools_support import png_size, run_kelfit, shared_data, write_models

mda = pytest.importorskip("MDAnalysis")

from kelfit_tools.io.trajectory import coupling_atoms, frame_range, load_universe
from kelfit_tools.superpose import frame_superposer
from kelfit_tools.trajectory import (
    TensorFit,
    coupled_residues,
    fit_frames,
    frame_basis,
    frame_vectors,
)

FRAMES = 6
TRUTH = np.array([0.4, 1.2, -0.7, -9.5, 0.3, 0.0])
#: Atom jitter (Angstrom); XTC itself keeps 0.01 Angstrom.
JITTER = 0.003


def _rotations() -> list[np.ndarray]:
    rng = np.random.default_rng(21)
    turns = [np.eye(3)]
    for _ in range(FRAMES - 1):
        turns.append(rotation_matrix(*rng.uniform(-math.pi, math.pi, 3)))
    return turns


ROTATIONS = _rotations()


@pytest.fixture(scope="module")
def md_files(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path, Path]:
    """Topology, a rotated and jittered trajectory, and couplings of frame 0."""
    pdb = shared_data("ubiquitin", "1d3z-model-1.pdb")
    folder = tmp_path_factory.mktemp("md")
    universe = mda.Universe(str(pdb))
    atoms = universe.atoms
    reference = atoms.positions.astype(np.float64)
    centre = reference.mean(axis=0)
    rng = np.random.default_rng(4)
    trajectory = folder / "turning.xtc"
    with mda.Writer(str(trajectory), atoms.n_atoms) as writer:
        for k, turn in enumerate(ROTATIONS):
            moved = (reference - centre) @ turn.T + centre
            if k:
                moved += rng.normal(0, JITTER, moved.shape)
            atoms.positions = moved
            universe.trajectory.ts.time = 10.0 * k
            writer.write(atoms)
    # Couplings back-calculated, without noise, from TRUTH on the topology.
    pairs = coupling_atoms(
        universe, read_couplings(shared_data("ubiquitin", "couplings.tab"))
    )
    universe.atoms.positions = reference
    values = back_calculate(pairs.vectors(), TRUTH)
    table = folder / "couplings.tab"
    lines = ["VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D", "FORMAT %d %s %d %s %f"]
    for atom_n, atom_h, value in zip(pairs.first, pairs.second, values):
        lines.append(f"{atom_n.resid} N {atom_h.resid} H {value:.6f}")
    table.write_text("\n".join(lines) + "\n")
    return pdb, trajectory, table


def _pairs(md_files: tuple[Path, Path, Path]):  # type: ignore[no-untyped-def]
    pdb, trajectory, table = md_files
    universe = load_universe(pdb, trajectory)
    return coupling_atoms(universe, read_couplings(table))


def _angle_deg(a: np.ndarray, b: np.ndarray) -> float:
    return math.degrees(math.acos(min(1.0, abs(float(np.dot(a, b))))))


def test_a_known_rotation_turns_the_tensor_with_it(
    md_files: tuple[Path, Path, Path],
) -> None:
    pairs = _pairs(md_files)
    assert len(pairs.values) == 68 and not pairs.unmatched
    # The couplings come from the bonds' directions alone, which standard
    # lengths fit exactly (N-H at the reference length: every scale 1).
    standard = frame_basis(pairs, FitOptions(bond_lengths="standard"))
    fits = list(fit_frames(pairs, workers=2, progress=False, basis=standard))
    assert [f.frame for f in fits] == list(range(FRAMES))
    assert [f.time for f in fits] == pytest.approx([10.0 * k for k in range(FRAMES)])
    first = fits[0].tensor
    for frame, turn in zip(fits, ROTATIONS):
        t = frame.tensor
        assert t.da == pytest.approx(first.da, rel=0.02)
        assert t.r == pytest.approx(first.r, abs=0.01)
        for axis, axis0 in zip(t.axes, first.axes):
            # Each principal axis of frame k is frame 0's axis turned by R_k.
            assert _angle_deg(axis, turn @ axis0) < 1.5
        assert frame.result.q < 0.02
    assert first.da == pytest.approx(TRUTH[3], rel=0.01)


def test_stride_frames_and_the_mdanalysis_analysis_agree(
    md_files: tuple[Path, Path, Path],
) -> None:
    pairs = _pairs(md_files)
    frames = frame_range(FRAMES, slice(1, 5), 2)
    assert list(frames) == [1, 3]
    streamed = list(fit_frames(pairs, frames, workers=1, progress=False))
    assert [f.frame for f in streamed] == [1, 3]

    serial = TensorFit(pairs).run(start=1, stop=5, step=2)
    assert list(serial.frames) == [1, 3]
    for k, frame in enumerate(streamed):
        assert serial.results.params[k].tobytes() == frame.result.params.tobytes()
        assert serial.results.q[k] == frame.result.q
    # Weighted by per-coupling uncertainties, both ways alike.
    sigma = np.linspace(0.5, 1.5, len(pairs.values))
    weighted = next(fit_frames(pairs, range(2, 3), sigma=sigma, progress=False))
    by_analysis = TensorFit(pairs, sigma=sigma).run(start=2, stop=3)
    assert by_analysis.results.params[0].tobytes() == weighted.result.params.tobytes()
    assert weighted.result.chi2 > 0
    # MDAnalysis's own parallel backend splits the frames; same bits.
    parallel = TensorFit(pairs).run(backend="multiprocessing", n_workers=2)
    assert parallel.results.params.shape == (FRAMES, 6)
    assert parallel.results.params[[1, 3]].tobytes() == serial.results.params.tobytes()


def test_frame_range_rejects_what_it_cannot_do() -> None:
    assert list(frame_range(10, slice(-3, None), 1)) == [7, 8, 9]
    with pytest.raises(ValueError, match="stride must be at least 1"):
        frame_range(10, None, 0)
    with pytest.raises(ValueError, match="as the stride"):
        frame_range(10, slice(0, 8, 2), 1)


def test_unmatched_couplings_are_listed(
    md_files: tuple[Path, Path, Path], tmp_path: Path
) -> None:
    pdb, trajectory, _ = md_files
    table = tmp_path / "c.tab"
    table.write_text(
        "VARS RESID_I RESNAME_I ATOMNAME_I RESID_J RESNAME_J ATOMNAME_J D\n"
        "FORMAT %d %s %s %d %s %s %f\n"
        "2 GLN N 2 GLN HN 3.0\n"  # HN is H; GLN2 is right
        "3 ALA N 3 ALA H 1.0\n"  # residue 3 is ILE
        "999 ALA N 999 ALA H 1.0\n"
        "2 GLN CA 2 GLN HA 5.0\n"  # another atom pair
    )
    pairs = coupling_atoms(load_universe(pdb, trajectory), read_couplings(table))
    assert pairs.labels == ["GLN2"] and pairs.other_pairs == 1
    reasons = [why for _, why in pairs.unmatched]
    assert "ILE in the topology, ALA in the table" in reasons[0]
    assert "no residue 999" in reasons[1]


def test_a_frame_that_cannot_be_fitted_is_named(
    md_files: tuple[Path, Path, Path],
) -> None:
    # The two atoms of the first bond on top of each other in frame 3 only.
    broken = mda.Universe(str(md_files[0]), str(md_files[1]), in_memory=True)
    broken_pairs = coupling_atoms(broken, read_couplings(md_files[2]))
    frame3 = broken.trajectory[3]
    frame3.positions[broken_pairs.second[0].ix] = frame3.positions[
        broken_pairs.first[0].ix
    ]
    with pytest.raises(DataError, match="frame 3: vector of row 1 has zero length"):
        list(fit_frames(broken_pairs, workers=1, progress=False))


def test_the_command_line_fits_the_frames_asked_for(
    md_files: tuple[Path, Path, Path], tmp_path: Path
) -> None:
    pdb, trajectory, table = md_files
    common = ["fit", "--structure", pdb, "--trajectory", trajectory]
    common += ["--couplings", table, "--stride", "2", "--frames", "1:"]
    common += ["--bond-lengths", "standard"]
    done = run_kelfit(
        *common, "--out", tmp_path / "frames.csv", "--plot", tmp_path / "f.png"
    )
    assert done.returncode == 0, done.stderr
    assert "3 frames fitted (1 to 5, every 2)" in done.stdout
    with open(tmp_path / "frames.csv", newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert [int(r["frame"]) for r in rows] == [1, 3, 5]
    assert [float(r["time_ps"]) for r in rows] == pytest.approx([10.0, 30.0, 50.0])
    assert all(float(r["q"]) < 0.02 for r in rows)
    assert png_size(tmp_path / "f.png") == (1400, 1200)

    pq = pytest.importorskip("pyarrow.parquet")
    done = run_kelfit(*common, "--json", "-q", "--out", tmp_path / "frames.parquet")
    assert done.returncode == 0 and done.stderr == ""
    summary = json.loads(done.stdout)
    assert (summary["frames"], summary["first_frame"], summary["last_frame"]) == (
        3,
        1,
        5,
    )
    columns = pq.read_table(tmp_path / "frames.parquet").to_pydict()
    assert columns["frame"] == [1, 3, 5]
    assert columns["da"] == [float(r["da"]) for r in rows]


def test_the_command_line_reports_an_empty_frame_range(
    md_files: tuple[Path, Path, Path], tmp_path: Path
) -> None:
    pdb, trajectory, table = md_files
    done = run_kelfit(
        "fit",
        "--structure",
        pdb,
        "--trajectory",
        trajectory,
        "--couplings",
        table,
        "--frames",
        "4:2",
        "--out",
        tmp_path / "frames.csv",
    )
    assert done.returncode == 1 and "no frames to fit" in done.stderr
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("method", ["linear", "powell"])
def test_every_frame_gets_the_single_fits_bits(
    md_files: tuple[Path, Path, Path], method: str
) -> None:
    pairs = _pairs(md_files)
    fits = list(
        fit_frames(
            pairs, workers=2, progress=False, superpose="backbone", method=method
        )
    )
    # Each frame on its own: read, superposed on frame 0 over the backbone
    # of the coupled residues, fitted alone.
    universe = pairs.first.universe
    superposer = frame_superposer(
        universe, "backbone", residues=coupled_residues(pairs), frame=0
    )
    for k, got in enumerate(fits):
        universe.trajectory[k]
        vectors, _ = frame_vectors(pairs, superposer)
        scale = frame_basis(pairs).scales(vectors)
        alone = fit(vectors, pairs.values, scale=scale, method=method)
        assert got.result.method == method
        assert got.result.params.tobytes() == alone.params.tobytes()
        assert got.result.calculated.tobytes() == alone.calculated.tobytes()
        assert got.result.cost == alone.cost


def test_the_command_line_holds_fixed_parameters_in_every_frame(
    md_files: tuple[Path, Path, Path],
) -> None:
    pdb, trajectory, table = md_files
    common = ("fit", "--structure", pdb, "--trajectory", trajectory,
              "--couplings", table)  # fmt: skip
    done = run_kelfit(*common, "--fix", "Da=-9.5,R=0.3")
    assert done.returncode == 0, done.stderr
    assert "Method: powell (single-precision refinement); fixed: Da, R" in done.stdout
    summary = json.loads(run_kelfit(*common, "--fix", "Da=-9.5,R=0.3", "--json").stdout)
    assert summary["options"]["method"] == "powell"
    assert summary["da"]["mean"] == pytest.approx(-9.5) and summary["da"]["sd"] < 1e-9
    assert summary["r"]["mean"] == pytest.approx(0.3) and summary["r"]["sd"] < 1e-9
    free = run_kelfit(*common)
    assert "Method: linear (the exact least-squares optimum)" in free.stdout


@pytest.mark.parametrize(
    ("basis", "words"),
    [
        ([], "each frame's own distances"),
        (["--bond-lengths", "standard"], "standard bond lengths"),
        (["--signs", "physical", "--length", "H-N=1.02"], "the lengths given"),
    ],
    ids=["structure", "standard", "physical-given-length"],
)
def test_frames_and_models_of_the_same_coordinates_give_the_same_da(
    tmp_path: Path, basis: list[str], words: str
) -> None:
    pdb = shared_data("ubiquitin", "1d3z-model-1.pdb")
    rng = np.random.default_rng(8)
    # Every atom moved, so that each model's N-H bonds have lengths of their own.
    models = write_models(
        tmp_path / "models.pdb",
        pdb,
        [lambda xyz: xyz + rng.normal(0, 0.02, xyz.shape) for _ in range(3)],
    )
    common = ["fit", "--structure", models, "--couplings"]
    common += [shared_data("ubiquitin", "couplings.tab"), "--atoms", "N,H", *basis]
    ensemble = json.loads(run_kelfit(*common, "--models", "all", "--json").stdout)
    by_model = [m["media"][0]["tensor"]["da_nh"] for m in ensemble["models"]]
    table = tmp_path / "frames.csv"
    done = run_kelfit(*common, "--trajectory", models, "--no-superpose", "--json",
                      "--out", table)  # fmt: skip
    assert done.returncode == 0, done.stderr
    with open(table, newline="") as handle:
        by_frame = [float(row["da"]) for row in csv.DictReader(handle)]
    assert by_frame == pytest.approx(by_model, rel=1e-5)
    assert len(set(by_model)) == 3
    summary = json.loads(done.stdout)
    medium = ensemble["models"][0]["media"][0]
    assert summary["bond_lengths"] == medium["bond_lengths"]
    assert words in summary["da_basis"]
    text = run_kelfit(*common, "--trajectory", models, "--no-superpose", "-q")
    assert f"Basis: {summary['da_basis']}" in text.stdout
