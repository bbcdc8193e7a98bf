"""Models and frames superposed before their tensors are compared.

Ubiquitin is turned by rotations the tests make themselves (from
quaternions and Rodrigues' formula, not from the package), so the expected
axes are known without the code under test.
"""

from __future__ import annotations

import csv
import json
import math
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import DataError, back_calculate, fit, read_couplings
from kelfit_tools.bonds import NH_REFERENCE_LENGTH
from kelfit_tools.ensemble import summarize_ensemble
from kelfit_tools.example import example
from kelfit_tools.superpose import (
    AtomSelection,
    ResidueRange,
    coupling_residues,
    parse_selection,
    superpose_models,
)
from kelfit_tools.tensor import canonical, following
from tools_support import (
    chained_table,
    run_json,
    run_kelfit,
    shared_data,
    write_models,
)

#: a1, a2, a3 (radians), Da, R of the alignment the couplings come from.
TRUTH = np.array([0.4, 1.2, -0.7, -9.5, 0.3, 0.0])


def _quaternion_turn(rng: np.random.Generator) -> np.ndarray:
    w, x, y, z = (q := rng.normal(size=4)) / np.linalg.norm(q)
    return np.array(
        [
            [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
            [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
            [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
        ]
    )


def _about(axis: np.ndarray, degrees: float) -> np.ndarray:
    k = axis / np.linalg.norm(axis)
    cross = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    a = math.radians(degrees)
    return np.eye(3) + math.sin(a) * cross + (1 - math.cos(a)) * cross @ cross


def _angle_deg(a: np.ndarray, b: np.ndarray) -> float:
    c = abs(float(np.dot(a, b))) / float(np.linalg.norm(a) * np.linalg.norm(b))
    return math.degrees(math.acos(min(1.0, c)))


# ------------------------------------------------------------------ selection


def test_selections_are_read_and_wrong_ones_refused() -> None:
    assert parse_selection("backbone") == AtomSelection("backbone", ())
    assert parse_selection(" CA ") == AtomSelection("ca", ())
    heavy = parse_selection("heavy:A/1-70,B/5,-3--1,C/")
    assert heavy.ranges == (
        ResidueRange("A", 1, 70),
        ResidueRange("B", 5, 5),
        ResidueRange(None, -3, -1),
        ResidueRange("C", None, None),
    )
    # Written back as it was read, so reports can quote it.
    assert str(heavy) == "heavy:A/1-70,B/5,-3--1,C/"
    for text, reason in (
        ("sidechain", "expected backbone, ca or heavy"),
        ("ca:", "'' in 'ca:' is not a residue range"),
        ("ca:1-x", "is not a residue range"),
        ("backbone:70-1", "runs backwards"),
    ):
        with pytest.raises(ValueError, match=reason):
            parse_selection(text)


def test_a_selection_takes_the_atoms_it_names() -> None:
    chains = ["A", "A", "A", "A", "A", "A", "B", "B"]
    numbers = [1, 1, 1, 1, 1, 2, 2, 9]
    names = ["N", "CA", "C", "O", "1HB", "CA", "CA", "CA"]
    # Atom 4 has no element: its name says hydrogen.  Atom 6 is a calcium
    # named CA: heavy, and taken by "ca" by name like any CA.
    elements = ["N", "C", "C", "O", "", "C", "CA", "C"]

    def taken(text: str, residues=None) -> list[int]:  # type: ignore[no-untyped-def]
        mask = parse_selection(text).mask(chains, numbers, names, elements, residues)
        return [int(i) for i in np.flatnonzero(mask)]

    assert taken("backbone") == [0, 1, 2, 5, 6, 7]
    assert taken("ca") == [1, 5, 6, 7]
    assert taken("heavy") == [0, 1, 2, 3, 5, 6, 7]
    assert taken("ca:2") == [5, 6]
    assert taken("ca:B/2-9") == [6, 7]
    assert taken("ca:A/,B/9") == [1, 5, 7]
    # The couplings' residues limit a selection that names none; a None
    # chain means any chain, and residues named in the selection win.
    assert taken("backbone", {(None, 2)}) == [5, 6]
    assert taken("backbone", {("B", 2), ("A", 1)}) == [0, 1, 2, 6]
    assert taken("ca:9", {("A", 1)}) == [7]


# ---------------------------------------------------------------- ensembles


@pytest.fixture(scope="module")
def ensemble_parts():  # type: ignore[no-untyped-def]
    """Ubiquitin's model 1, four jittered copies of it and its couplings."""
    gemmi = pytest.importorskip("gemmi")
    path = shared_data("ubiquitin", "1d3z-model-1.pdb")
    couplings = read_couplings(shared_data("ubiquitin", "couplings.tab"))
    rng = np.random.default_rng(8)

    def ensemble():  # type: ignore[no-untyped-def]
        st = gemmi.read_structure(str(path))
        base = st[0].clone()
        del st[0]
        noise = np.random.default_rng(3)
        for number in range(1, 5):
            model = base.clone()
            model.num = number
            for residue in model[0]:
                for atom in residue:
                    atom.pos = gemmi.Position(
                        *(np.array(atom.pos.tolist()) + noise.normal(0, 0.05, 3))
                    )
            st.add_model(model)
        return st

    return gemmi, path, couplings, ensemble, rng


def _turned(gemmi, structure, rng):  # type: ignore[no-untyped-def]
    for model in structure:
        move = gemmi.Transform()
        move.mat.fromlist(_quaternion_turn(rng).tolist())
        move.vec.fromlist(rng.uniform(-30, 30, 3).tolist())
        model.transform_pos_and_adp(move)
    return structure


def _summary(structure, couplings):  # type: ignore[no-untyped-def]
    from kelfit_tools.io.structure import structure_vectors

    fits = []
    for number in range(1, len(structure) + 1):
        sv = structure_vectors(structure, couplings, model=number)
        fits.append(fit(sv.vectors, sv.values))
    return summarize_ensemble(fits)


def test_an_ensemble_turned_model_by_model_summarises_as_before(
    ensemble_parts,  # type: ignore[no-untyped-def]
) -> None:
    gemmi, path, couplings, ensemble, rng = ensemble_parts
    reference = gemmi.read_structure(str(path))[0]
    residues = coupling_residues(couplings)
    plain = ensemble()
    turned = _turned(gemmi, ensemble(), rng)
    unsuperposed = _summary(turned, couplings)
    done = [
        superpose_models(s, reference=reference, residues=residues)
        for s in (plain, turned)
    ]
    # The same atoms, the same RMSD whatever the models' starting places.
    # Every residue but Pro37 has a coupling in the table.
    assert done[0].atoms == done[1].atoms == 3 * 75
    assert done[1].rmsd == pytest.approx(done[0].rmsd, abs=1e-6)
    assert 0.05 < min(done[0].rmsd) and max(done[0].rmsd) < 0.15
    before, after = (_summary(s, couplings) for s in (plain, turned))
    assert after.mean.da == pytest.approx(before.mean.da, rel=1e-5)
    assert after.mean.r == pytest.approx(before.mean.r, abs=1e-5)
    for axis, axis0 in zip(after.mean.axes, before.mean.axes):
        assert _angle_deg(axis, axis0) < 0.01
    assert after.axis_spread_deg == pytest.approx(before.axis_spread_deg, abs=0.01)
    assert after.q == pytest.approx(before.q, abs=1e-5)
    assert after.q_sd == pytest.approx(before.q_sd, abs=1e-5)
    # The mean tensor reports its canonical triple: a2 <= 90, a3 < 180.
    a2, a3 = (math.degrees(a) % 360 for a in after.mean.angles[1:])
    assert a2 <= 90 and a3 < 180
    # Not superposed, the random turns make the mean and the spread
    # meaningless: the axes scatter by tens of degrees.
    assert min(unsuperposed.axis_spread_deg) > 20 > max(after.axis_spread_deg)

    # By default, onto model 1: the ensemble ends in model 1's place, with
    # model 1 itself not moved.
    again = _turned(gemmi, ensemble(), np.random.default_rng(5))
    first = [a.pos.tolist() for a in again[0][0][0]]
    by_default = superpose_models(again, residues=residues)
    assert by_default.reference == "model 1" and by_default.rmsd[0] == 0
    assert [a.pos.tolist() for a in again[0][0][0]] == first
    assert max(by_default.rmsd) < 0.15


def test_models_that_differ_in_their_atoms_are_refused(
    ensemble_parts,  # type: ignore[no-untyped-def]
) -> None:
    gemmi, path, _, ensemble, _ = ensemble_parts
    lacking = ensemble()
    residue = lacking[2][0][9]  # residue 10 of model 3
    residue.remove_atom("CA", "\0")
    with pytest.raises(
        DataError, match=r"model 3 cannot be superposed .* lacks CA of A/10 that"
    ):
        superpose_models(lacking)
    # Atoms outside the selection may differ: the superposition over CA
    # of residues 20 to 30 goes ahead.
    assert superpose_models(lacking, selection="ca:20-30").atoms == 11
    extra = ensemble()
    extra[1][0][4].remove_atom("N", "\0")
    with pytest.raises(DataError, match="model 2 .* lacks N of A/5"):
        superpose_models(extra)
    # A reference without the flexible tail: the models superpose over
    # what it has, residues 1 to 70.
    crystal = gemmi.read_structure(str(path))[0]
    for _ in range(6):
        del crystal[0][len(crystal[0]) - 1]
    assert superpose_models(ensemble(), reference=crystal).atoms == 3 * 70
    other = gemmi.read_structure(str(path))[0]
    other[0][0].name = "ALA"
    with pytest.raises(DataError, match="residue A/1 is ALA in the reference, MET"):
        superpose_models(ensemble(), reference=other)


# ------------------------------------------------------------- trajectories

FRAMES = 30
STEP_DEG = 0.5
AXIS = np.array([0.3, -0.5, 0.8])


@pytest.fixture(scope="module")
def tumbling(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path, Path]:
    """Ubiquitin tumbling by 0.5 degree per frame, drifting, in full floats.

    Frame 0 is already turned away from the topology, whose orientation
    the couplings were computed in.
    """
    mda = pytest.importorskip("MDAnalysis")
    from kelfit_tools.io.trajectory import coupling_atoms

    pdb = shared_data("ubiquitin", "1d3z-model-1.pdb")
    folder = tmp_path_factory.mktemp("tumbling")
    universe = mda.Universe(str(pdb))
    atoms = universe.atoms
    original = atoms.positions.astype(np.float64)
    pairs = coupling_atoms(
        universe, read_couplings(shared_data("ubiquitin", "couplings.tab"))
    )
    # Each scaled by its own bond length, as the frames' fits scale them.
    lengths = np.linalg.norm(pairs.vectors(), axis=1)
    values = back_calculate(
        pairs.vectors(), TRUTH, scale=(NH_REFERENCE_LENGTH / lengths) ** 3
    )
    table = folder / "couplings.tab"
    lines = ["VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D", "FORMAT %d %s %d %s %f"]
    for atom_n, atom_h, value in zip(pairs.first, pairs.second, values):
        lines.append(f"{atom_n.resid} N {atom_h.resid} H {value:.6f}")
    table.write_text("\n".join(lines) + "\n")
    centre = original.mean(axis=0)
    universe.dimensions = [300.0, 300.0, 300.0, 90.0, 90.0, 90.0]
    trajectory = folder / "tumbling.trr"
    with mda.Writer(str(trajectory), atoms.n_atoms) as writer:
        for k in range(FRAMES):
            turn = _about(AXIS, STEP_DEG * k) @ FIRST_TURN
            atoms.positions = (original - centre) @ turn.T + centre + 0.2 * k
            universe.trajectory.ts.time = 10.0 * k
            writer.write(atoms)
    return pdb, trajectory, table


FIRST_TURN = _about(np.array([1.0, 1.0, 0.0]), 40.0)


def _truth_axes() -> np.ndarray:
    return canonical(TRUTH).axes


def test_a_tumbling_molecule_keeps_one_tensor_when_superposed(
    tumbling: tuple[Path, Path, Path],
) -> None:
    from kelfit_tools.io.trajectory import coupling_atoms, load_universe
    from kelfit_tools.superpose import frame_superposer
    from kelfit_tools.trajectory import TensorFit, fit_frames

    pdb, trajectory, table = tumbling
    universe = load_universe(pdb, trajectory)
    pairs = coupling_atoms(universe, read_couplings(table))
    truth = _truth_axes()
    fixed = list(fit_frames(pairs, workers=2, progress=False, superpose="backbone"))
    first = fixed[0].tensor
    for frame in fixed:
        t = frame.tensor
        assert t.da == pytest.approx(first.da, rel=1e-5)
        assert t.r == pytest.approx(first.r, abs=1e-5)
        for axis, axis0, true in zip(t.axes, first.axes, truth):
            assert _angle_deg(axis, axis0) < 0.1
            # Frame 0's orientation: the truth turned by the first turn.
            assert _angle_deg(axis, FIRST_TURN @ true) < 0.1
        # Angles equal too: the same triple in every frame.
        assert t.angles == pytest.approx(first.angles, abs=math.radians(0.1))
        assert frame.rmsd_ref < 1e-3
    assert first.da == pytest.approx(TRUTH[3], rel=1e-4)

    # As they are, the axes follow the tumbling: frame k's are frame 0's
    # turned by k half-degrees about the axis.
    free = list(fit_frames(pairs, workers=2, progress=False))
    assert all(math.isnan(f.rmsd_ref) for f in free)
    for k in (10, 29):
        turn = _about(AXIS, STEP_DEG * k)
        for axis, axis0 in zip(free[k].tensor.axes, free[0].tensor.axes):
            assert _angle_deg(axis, turn @ axis0) < 0.1
        assert _angle_deg(free[k].tensor.axes[2], free[0].tensor.axes[2]) > 2

    # Onto the topology itself as reference: the couplings' own frame.
    onto_pdb = frame_superposer(universe, reference=load_universe(pdb))
    assert onto_pdb.description.endswith("1d3z-model-1.pdb")
    on_truth = list(
        fit_frames(pairs, range(0, 30, 7), superpose=onto_pdb, progress=False)
    )
    for frame in on_truth:
        for axis, true in zip(frame.tensor.axes, truth):
            assert _angle_deg(axis, true) < 0.1
    # The MDAnalysis analysis superposes the same way, where it reads.
    analysis = TensorFit(pairs, superpose=onto_pdb).run(step=7)
    assert analysis.results.params.tobytes() == b"".join(
        f.result.params.tobytes() for f in on_truth
    )
    assert analysis.results.rmsd_ref == pytest.approx([f.rmsd_ref for f in on_truth])


def test_a_frame_superposer_leaves_the_trajectory_where_it_was(
    tumbling: tuple[Path, Path, Path],
) -> None:
    from kelfit_tools.io.trajectory import load_universe
    from kelfit_tools.superpose import FrameSuperposer, frame_superposer

    pdb, trajectory, _ = tumbling
    universe = load_universe(pdb, trajectory)
    universe.trajectory[7]
    frame_superposer(universe, frame=0)
    assert universe.trajectory.ts.frame == 7
    # The RMSD after the best rotation, by hand: points scaled by 1.1 about
    # their centre cannot be turned closer, and each moves 0.1 A.
    square = np.array([[1.0, 0, 0], [-1.0, 0, 0], [0, 1.0, 0], [0, -1.0, 0]])
    fixed = FrameSuperposer(np.arange(4), square, "all", "by hand")
    turn, rmsd = fixed.rotation(1.1 * square + 5.0)
    np.testing.assert_allclose(turn, np.eye(3), atol=1e-12)
    assert rmsd == pytest.approx(0.1)


def test_the_command_line_superposes_unless_told_not_to(
    tumbling: tuple[Path, Path, Path], tmp_path: Path
) -> None:
    pdb, trajectory, table = tumbling
    common = ["fit", "--structure", pdb, "--trajectory", trajectory]
    common += ["--couplings", table, "--stride", "5"]

    def angles(*options: object) -> tuple[np.ndarray, list[float], str]:
        out = tmp_path / "frames.csv"
        done = run_kelfit(*common, *options, "--out", out)
        assert done.returncode == 0, done.stderr
        with open(out, newline="") as handle:
            rows = list(csv.DictReader(handle))
        table = np.array([[float(r[f"a{i}_deg"]) for i in (1, 2, 3)] for r in rows])
        return table, [float(r["rmsd_ref"]) for r in rows], done.stdout

    fixed, rmsd, text = angles()
    assert np.ptp(fixed, axis=0) == pytest.approx([0, 0, 0], abs=0.1)
    # The reference frame onto itself: the identity, to rounding.
    assert max(rmsd) < 1e-3 and rmsd[0] < 1e-12
    # N, CA and C of the 68 residues with a matched N-H coupling.
    assert "Superposed on frame 0 over 204 atoms (backbone)" in text
    moving, rmsd, text = angles("--no-superpose")
    assert np.ptp(moving, axis=0).max() > 5
    assert all(math.isnan(r) for r in rmsd)
    assert "not superposed" in text

    done = run_kelfit(
        *common, "--json", "-q", "--reference", pdb, "--superpose", "ca:1-70"
    )
    assert done.returncode == 0, done.stderr
    superposition = json.loads(done.stdout)["superposition"]
    assert superposition["selection"] == "ca:1-70" and superposition["atoms"] == 70
    assert superposition["reference"].endswith("1d3z-model-1.pdb")
    assert 0 <= superposition["rmsd_ref"]["min"] <= superposition["rmsd_ref"]["max"]
    assert superposition["rmsd_ref"]["max"] < 1e-3
    done = run_kelfit(*common, "--superpose", "sidechain")
    assert done.returncode == 2 and "--superpose: expected backbone" in done.stderr
    done = run_kelfit(*common, "--no-superpose", "--reference", pdb)
    assert done.returncode == 2 and "contradict" in done.stderr


# ------------------------------------------------------------------- tensors


def test_a_series_of_tensors_keeps_to_one_angle_triple() -> None:
    def deg(t) -> list[float]:  # type: ignore[no-untyped-def]
        return [math.degrees(a) % 360 for a in t.angles]

    def tensor(a1: float, a2: float, a3: float):  # type: ignore[no-untyped-def]
        return canonical([math.radians(a) for a in (a1, a2, a3)] + [-9.0, 0.3])

    # The four triples of (10, 120, 200) are it, (10, 120, 20),
    # (190, 60, 340) and (190, 60, 160); the canonical one has a2 <= 90 and
    # a3 < 180.
    first = following(tensor(10, 120, 200), None)
    assert deg(first) == pytest.approx([190, 60, 160])
    # Across a3 = 180 the canonical triple would jump by 180 degrees; the
    # series keeps to the triple nearest the previous tensor.
    before = following(tensor(30, 50, 179), None)
    assert deg(before) == pytest.approx([30, 50, 179])
    after = following(tensor(30, 50, 181), before)
    assert deg(after) == pytest.approx([30, 50, 181])
    assert deg(following(after, None)) == pytest.approx([30, 50, 1])
    assert (after.da, after.r) == pytest.approx((-9.0, 0.3))


@pytest.mark.parametrize("segid", ["a", "X"])
def test_couplings_of_a_segment_superpose_over_its_chain(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], segid: str
) -> None:
    # The example's chain is A; couplings of segment "a" (or "X", with one
    # chain on both sides) are matched to it, and superposed over it too.
    turn = _about(np.array([1.0, 2.0, 0.5]), 40.0)
    two = write_models(
        tmp_path / "two.pdb", example().structure, [lambda x: x, lambda x: x @ turn.T]
    )

    def tensors(chain: str) -> list[list[float]]:
        report = run_json(
            capsys, "fit", "--structure", two, "--models", "all", "--json", "-q",
            "--couplings", chained_table(tmp_path / f"{chain}.tab", [chain]),
        )  # fmt: skip
        return [m["media"][0]["tensor"]["euler_deg"] for m in report["models"]]

    assert tensors(segid) == tensors("A")
