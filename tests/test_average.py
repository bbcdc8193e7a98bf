"""One tensor for couplings averaged over models, frames or chains: the bits
of one model's fit for identical models, and NumPy references of the mean
design rows for the docs' ensemble and trajectory and a symmetric dimer."""

from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools.errors import DataError
from kelfit_tools.fitting import DesignRows, fit
from kelfit_tools.run import FitOptions, FitRequest, run_fit
from kelfit_tools.tensor import tensor_from_params
from tools_support import REPO, run_kelfit, shared_data, write_models

gemmi = pytest.importorskip("gemmi")

PDB = ("ubiquitin", "1d3z-model-1.pdb")
TAB = ("ubiquitin", "couplings.tab")


def _couplings() -> tuple[str, ...]:
    return (str(shared_data(*TAB)),)


def _identical(path: Path, models: int = 3) -> Path:
    return write_models(path, shared_data(*PDB), [lambda xyz: xyz] * models)


def _docs_inputs():  # type: ignore[no-untyped-def]
    """The helpers that make the tutorial's ensemble and trajectory."""
    import importlib.util

    found = importlib.util.spec_from_file_location(
        "sample_inputs", REPO / "docs" / "_ext" / "sample_inputs.py"
    )
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def _unit_rows(vectors: np.ndarray) -> np.ndarray:
    """x^2 - z^2, y^2 - z^2, 2xy, 2xz, 2yz of the unit vectors."""
    u = vectors / np.linalg.norm(vectors, axis=1)[:, None]
    x, y, z = u.T
    return np.column_stack(
        [x * x - z * z, y * y - z * z, 2 * x * y, 2 * x * z, 2 * y * z]
    )


def _matrix(p: np.ndarray) -> np.ndarray:
    axx, ayy, axy, axz, ayz = p
    return np.array([[axx, axy, axz], [axy, ayy, ayz], [axz, ayz, -axx - ayy]])


def _reference(
    rows: np.ndarray, observed: np.ndarray, sigma: np.ndarray | None
) -> np.ndarray:
    w = np.ones(len(observed)) if sigma is None else 1.0 / sigma
    return _matrix(np.linalg.lstsq(rows * w[:, None], observed * w, rcond=None)[0])


def _close(a: np.ndarray, b: np.ndarray, tol: float = 1e-10) -> None:
    assert np.max(np.abs(a - b)) <= tol * np.max(np.abs(b))


@pytest.mark.parametrize("bond_lengths", ["structure", "standard"])
def test_identical_models_give_the_single_models_fit_bits(
    tmp_path: Path, bond_lengths: str
) -> None:
    ensemble = _identical(tmp_path / "same.pdb")
    options = FitOptions(bond_lengths=bond_lengths, average=True)
    averaged = run_fit(
        FitRequest(structure=str(ensemble), couplings=_couplings(), models=None,
                   options=options)
    ).averaged[0].result  # fmt: skip
    single = run_fit(
        FitRequest(structure=str(shared_data(*PDB)), couplings=_couplings(),
                   options=FitOptions(bond_lengths=bond_lengths))
    ).fits[0].result  # fmt: skip
    for field in ("params", "calculated", "observed", "scale", "sigma"):
        assert getattr(averaged, field).tobytes() == getattr(single, field).tobytes()
    assert averaged.cost == single.cost and averaged.q == single.q


def test_an_ensembles_averaged_fit_is_the_mean_rows_least_squares_tensor(
    tmp_path: Path,
) -> None:
    """The tutorial's four models: each row weighted by its own model's
    constant (r^-3 from the structure), averaged, then solved: the tensor,
    values and errors of one fit, to 1e-10 of NumPy's."""
    ensemble = _docs_inputs().jittered_ensemble(shared_data(*PDB), tmp_path / "e.pdb")
    run = run_fit(
        FitRequest(structure=str(ensemble), couplings=_couplings(), models=None,
                   options=FitOptions(average=True, errors=50, seed=3))
    )  # fmt: skip
    (averaged,) = run.averaged
    assert run.members == 4
    rows = np.mean(
        [f.result.scale[:, None] * _unit_rows(f.validation.vectors) for f in run.fits],
        axis=0,
    )
    result = averaged.result
    expected = _reference(rows, result.observed, result.sigma)
    _close(tensor_from_params(result.params), expected)
    _close(result.calculated, rows @ np.array([expected[0, 0], expected[1, 1],
                                               expected[0, 1], expected[0, 2],
                                               expected[1, 2]]))  # fmt: skip
    assert averaged.errors is not None and 0 < averaged.errors.da_sd < 1.0
    # Not the mean of the models' tensors.
    assert abs(averaged.medium.da_nh - run.ensembles[0][1].mean.da) > 0.05


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # MDAnalysis's DCD reader
def test_a_trajectorys_averaged_fit_is_one_pass_over_its_frames(tmp_path: Path) -> None:
    """The tutorial's 20 turning frames, superposed on the first."""
    mda = pytest.importorskip("MDAnalysis")
    from kelfit_tools import read_couplings
    from kelfit_tools.io.trajectory import coupling_atoms, load_universe
    from kelfit_tools.media import row_sigma
    from kelfit_tools.superpose import frame_superposer
    from kelfit_tools.trajectory import (
        FrameMeans,
        TensorFit,
        averaged_fit,
        coupled_residues,
        fit_frames,
        frame_basis,
        frame_vectors,
    )

    pdb = shared_data(*PDB)
    dcd = _docs_inputs().tumbling_trajectory(pdb, tmp_path / "frames.dcd")
    pairs = coupling_atoms(load_universe(pdb, dcd), read_couplings(_couplings()[0]))
    turn = frame_superposer(pairs.first.universe, residues=coupled_residues(pairs))
    sigma, _ = row_sigma(pairs.couplings)
    means = FrameMeans(pairs, sigma=sigma)
    frames = list(
        fit_frames(pairs, progress=False, isolate=False, superpose=turn, means=means)
    )
    result = averaged_fit(means, pairs, sigma=sigma)
    # Each frame's rows times its constants at its own distances, averaged.
    basis = frame_basis(pairs)
    reader = mda.Universe(str(pdb), str(dcd))
    each = []
    for _ in reader.trajectory:
        v, _ = frame_vectors(pairs, turn, reader.atoms.positions)
        each.append(basis.scales(v)[:, None] * _unit_rows(v))
    each = np.array(each)
    assert means.members == len(frames) == 20
    _close(
        tensor_from_params(result.params), _reference(each.mean(0), pairs.values, sigma)
    )
    # Convergence: growing fits, and Q's standard error over blocks of 2.
    seen = means.convergence()
    assert seen.frames == [1, 2, 4, 8, 16, 20] and seen.q[-1] == pytest.approx(result.q)
    assert seen.block_lengths == [2, 4, 8] and seen.blocks == [10, 5, 2]
    q_blocks = []
    for block in each.reshape(10, 2, -1, 5).mean(axis=1):
        solved = _reference(block, pairs.values, sigma)
        calc = block @ solved[[0, 1, 0, 0, 1], [0, 1, 1, 2, 2]]
        q_blocks.append(
            np.sqrt(np.mean((pairs.values - calc) ** 2) / np.mean(pairs.values**2))
        )
    assert seen.q_se[0] == pytest.approx(
        np.std(q_blocks, ddof=1) / np.sqrt(10), rel=1e-8
    )
    # The MDAnalysis analysis: the same fit, its workers' means merged.
    serial = TensorFit(pairs, sigma=sigma, superpose=turn, average=True)
    serial = serial.run().results.averaged
    assert serial.params.tobytes() == result.params.tobytes()
    split = TensorFit(pairs, sigma=sigma, superpose=turn, average=True)
    split.run(backend="multiprocessing", n_workers=2)
    _close(split.results.averaged.params, result.params, 1e-12)
    done = run_kelfit(
        "fit", "--structure", pdb, "--trajectory", dcd, "--couplings", _couplings()[0],
        "--average", "--json", "-q",
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    shown = json.loads(done.stdout)["averaged"]
    assert shown["members"] == 20 and shown["convergence"]["blocks"] == [10, 5, 2]
    assert shown["media"][0]["tensor"]["da"] == pytest.approx(result.tensor().da, 1e-12)


#: An N-H length away from the standard one, so that a degree of order
#: computed at the wrong constant shows.
_NH_LENGTH_A = "1.02"


@pytest.mark.parametrize("source", ["ensemble", "trajectory"])
def test_every_reported_gdo_is_that_of_the_reported_da_and_r(
    source: str, tmp_path: Path
) -> None:
    """The degree of order beside each tensor of an ensemble's summary and of
    a trajectory's frames and averaged fit is dimensionless, at the N-H
    length Da is normalised to."""
    from kelfit_tools.bonds import reference_constant
    from kelfit_tools.tensor import degree_of_order

    pdb = shared_data(*PDB)
    common = ("--couplings", _couplings()[0], "--nh-length", _NH_LENGTH_A, "--json")
    constant = reference_constant(float(_NH_LENGTH_A))
    pairs: list[tuple[float, float, float]] = []  # (gdo, da, r)
    if source == "ensemble":
        ensemble = _docs_inputs().jittered_ensemble(pdb, tmp_path / "e.pdb")
        done = run_kelfit("fit", "--structure", ensemble, "--models", "all", *common)
        assert done.returncode == 0, done.stderr
        payload = json.loads(done.stdout)
        (summary,) = payload["ensemble"]
        tensors = [m["media"][0]["tensor"] for m in payload["models"]]
        pairs += [
            (g, t["da"], t["r"])
            for g, t in zip(summary["gdo"]["per_model"], tensors, strict=True)
        ]
        mean = summary["mean_tensor"]
        pairs.append((mean["gdo"], mean["da"], mean["r"]))
        assert summary["gdo"]["mean"] == pytest.approx(
            np.mean(summary["gdo"]["per_model"]), rel=1e-12
        )
    else:
        pytest.importorskip("MDAnalysis")
        dcd = _docs_inputs().tumbling_trajectory(pdb, tmp_path / "frames.dcd")
        table = tmp_path / "frames.csv"
        done = run_kelfit(
            "fit", "--structure", pdb, "--trajectory", dcd, "--average",
            "--out", table, *common,
        )  # fmt: skip
        assert done.returncode == 0, done.stderr
        payload = json.loads(done.stdout)
        rows = np.genfromtxt(table, delimiter=",", names=True)
        pairs += list(zip(rows["gdo"], rows["da"], rows["r"], strict=True))
        averaged = payload["averaged"]
        t = averaged["media"][0]["tensor"]
        pairs.append((averaged["gdo"], t["da"], t["r"]))
        assert payload["gdo"]["mean"] == pytest.approx(np.mean(rows["gdo"]), rel=1e-9)
        assert payload["gdo"]["sd"] == pytest.approx(
            np.std(rows["gdo"], ddof=1), rel=1e-9
        )
    gdo, da, r = np.array(pairs).T
    np.testing.assert_allclose(gdo, degree_of_order(da, r, constant), rtol=1e-12)


def _dimer(path: Path) -> Path:
    """Ubiquitin and a copy turned by 180 degrees about an axis parallel to
    x, 30 A from the origin (chain B): a symmetric homodimer."""
    structure = gemmi.read_structure(str(shared_data(*PDB)))
    structure.remove_ligands_and_waters()
    model = structure[0]
    copy = model[0].clone()
    copy.name = "B"
    for residue in copy:
        for atom in residue:
            atom.pos = gemmi.Position(atom.pos.x, 60.0 - atom.pos.y, -atom.pos.z)
    model.add_chain(copy)
    structure.setup_entities()
    structure.write_pdb(str(path))
    return path


def test_a_symmetric_dimers_couplings_average_over_its_chains(tmp_path: Path) -> None:
    """Couplings that name no chain are one signal of both chains' bonds:
    the tensor the C2 leaves unchanged, from the mean of both rows."""
    dimer = _dimer(tmp_path / "dimer.pdb")
    runs = {
        chain: run_fit(
            FitRequest(structure=str(dimer), couplings=_couplings(), chain=chain)
        )
        for chain in ("A,B", "all")
    }
    a, b = (runs[c].fits[0] for c in ("A,B", "all"))
    assert a.result.params.tobytes() == b.result.params.tobytes()
    chain_a = a.validation.vectors
    turned = chain_a.terms  # the mean of both chains' rows
    structure = gemmi.read_structure(str(dimer))
    # The same bonds in each chain, from the coordinates.
    first, second = (
        np.array([
            (r[c.atom_j][0].pos - r2[c.atom_i][0].pos).tolist()
            for c in a.medium.couplings
            for r, r2 in [(structure[0][ch][str(c.residue_j)][0],
                           structure[0][ch][str(c.residue_i)][0])]
        ])
        for ch in ("A", "B")
    )  # fmt: skip
    k = a.result.scale
    rows = (_unit_rows(first) + _unit_rows(second)) / 2
    _close(turned, rows, 1e-14)
    # Least norm in an orthonormal basis of traceless symmetric tensors.
    basis = [
        np.diag([1.0, -1.0, 0.0]) / math.sqrt(2),
        np.diag([-1.0, -1.0, 2.0]) / math.sqrt(6),
    ]
    for i, j in ((0, 1), (0, 2), (1, 2)):
        e = np.zeros((3, 3))
        e[i, j] = e[j, i] = 1 / math.sqrt(2)
        basis.append(e)
    columns = np.column_stack([
        k * np.mean([np.einsum("ni,ij,nj->n", u, e, u) for u in
                     (v / np.linalg.norm(v, axis=1)[:, None] for v in (first, second))],
                    axis=0)
        for e in basis
    ])  # fmt: skip
    w = 1.0 / a.result.sigma
    c = np.linalg.lstsq(columns * w[:, None], a.result.observed * w, rcond=None)[0]
    expected = sum(ck * e for ck, e in zip(c, basis))
    found = tensor_from_params(a.result.params)
    _close(found, expected)
    turn = np.diag([1.0, -1.0, -1.0])
    _close(turn @ found @ turn.T, found)  # the C2 leaves it unchanged
    tilted = FitOptions(errors=5, structure_noise=5.0)
    with pytest.raises(DataError, match="structure_noise tilts or draws"):
        run_fit(FitRequest(structure=str(dimer), couplings=_couplings(), chain="A,B",
                           options=tilted))  # fmt: skip


def test_averaged_rows_refuse_what_needs_one_vector() -> None:
    rows = DesignRows(_unit_rows(np.random.default_rng(1).normal(size=(12, 3))))
    with pytest.raises(ValueError, match="linear solve only"):
        fit(rows, np.ones(12), method="powell")
    with pytest.raises(ValueError, match="average=True goes with models=None"):
        run_fit(FitRequest(structure="x.pdb", couplings=("x.tab",),
                           options=FitOptions(average=True)))  # fmt: skip


def test_fit_average_through_the_command_line(tmp_path: Path) -> None:
    ensemble = _docs_inputs().jittered_ensemble(shared_data(*PDB), tmp_path / "e.pdb")
    done = run_kelfit(
        "fit", "--structure", ensemble, "--couplings", _couplings()[0],
        "--models", "all", "--average", "--json", "-q", "--report", tmp_path / "r.html",
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    payload = json.loads(done.stdout)
    assert payload["averaged"]["members"] == 4
    assert len(payload["models"]) == 4
    assert "couplings.tab (averaged over 4)" in (tmp_path / "r.html").read_text()
    refused = run_kelfit("fit", "--structure", ensemble, "--couplings",
                         _couplings()[0], "--average")  # fmt: skip
    assert (
        refused.returncode != 0 and "--average goes with --models all" in refused.stderr
    )
