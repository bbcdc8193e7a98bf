"""Maximum-entropy reweighting on synthetic truth: ubiquitin in two states,
the second with residues 36-76 turned by a known angle."""

from __future__ import annotations

import csv
import json
import math
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import back_calculate
from kelfit_tools.prepare import Selection, couplings_on_structure, read_media
from kelfit_tools.reweight import frame_rows, reweight
from kelfit_tools.tensor import rotation_matrix
from tools_support import run_kelfit, shared_data, write_models

TRUTH = np.array([0.3, 1.1, 2.0, -10.0, 0.3, 0.0])
#: The second state's turn of residues 36-76 (z-x-z angles, degrees).
TURN_DEG = (40.0, 30.0, 0.0)
#: Frames per state, each jittered a little; noise on the couplings (Hz).
PER_STATE = 3
NOISE = 1.0
#: Each frame's jitter of the vectors' components (about a degree).
JITTER = 0.02
#: Few thetas and replicates: enough to choose and to spread, and fast.
THETAS = (1e4, 1e2, 10.0, 1.0)
REPLICATES = 16


def _turn() -> np.ndarray:
    return rotation_matrix(*(math.radians(a) for a in TURN_DEG))


@pytest.fixture(scope="module")
def states() -> tuple[np.ndarray, np.ndarray]:
    """Frames x N x 3 N-H vectors (the first PER_STATE frames in state A),
    and each state's noiseless averaged couplings (2 x N)."""
    pdb = shared_data("ubiquitin", "1d3z-model-1.pdb")
    media = read_media([shared_data("ubiquitin", "couplings.tab")])
    matched = couplings_on_structure(pdb, media, Selection(atoms=("N", "H")))
    v = matched.vectors
    moved = np.array([c.residue_i >= 36 for c in matched.couplings])
    b = v.copy()
    b[moved] = v[moved] @ _turn().T
    rng = np.random.default_rng(7)
    frames = np.array(
        [s + rng.normal(0, JITTER, s.shape) for s in (v, b) for _ in range(PER_STATE)]
    )
    values = np.array([back_calculate(f, TRUTH) for f in frames])
    means = np.array([values[:PER_STATE].mean(0), values[PER_STATE:].mean(0)])
    return frames, means


@pytest.mark.parametrize(
    ("share_a", "check"),
    [
        # A 70:30 mixture comes back within twice its bootstrap error.
        (0.7, "mixture"),
        # Couplings of state B alone select its frames.
        (0.0, "selects"),
        # The uniform ensemble already fits: the weights stay uniform.
        (None, "uniform"),
    ],
)
def test_reweighting_recovers_the_synthetic_truth(
    states: tuple[np.ndarray, np.ndarray], share_a: float | None, check: str
) -> None:
    frames, means = states
    if share_a is None:
        target = means.mean(axis=0)
    else:
        target = share_a * means[0] + (1.0 - share_a) * means[1]
    observed = target + np.random.default_rng(13).normal(0, NOISE, len(target))
    done = reweight(
        frames, observed, sigma=NOISE, thetas=THETAS, replicates=REPLICATES, seed=5
    )
    population, error = done.population(range(PER_STATE))
    assert done.converged and math.isclose(done.weights.sum(), 1.0)
    # The optimum's condition: ln(M w_m) + sum_n r_n c_mn / (theta sigma^2)
    # is the same for every frame (r the residuals, c the frame's couplings),
    # here to 1e-9 of each weight.
    frame_values = frame_rows(frames) @ done.coefficients
    residuals = done.calculated - observed
    stationary = np.log(len(frames) * done.weights)
    stationary += frame_values @ residuals / (done.theta * NOISE**2)
    assert np.ptp(stationary) < 1e-9
    assert done.chi2_after <= done.chi2_before
    if check == "mixture":
        assert 0.0 < error < 0.1
        assert abs(population - 0.7) <= 2.0 * error
        assert done.free_q_after < done.free_q_before
    elif check == "selects":
        assert population < 0.1
        assert done.q_after < 0.5 * done.q_before
    else:
        assert done.kish_fraction > 0.99
        assert np.abs(done.weights - 1.0 / len(frames)).max() < 0.02
    # The reweighted tensor is the truth's (Da within its noise).
    assert done.tensor.da == pytest.approx(TRUTH[3], rel=0.05)
    curve = done.curve
    assert len(curve.theta) == len(THETAS) and done.theta in curve.theta
    # Smaller theta: a closer fit from fewer effective frames.
    assert np.all(np.diff(curve.chi2) <= 1e-9 * curve.chi2[0])
    assert np.all(np.diff(curve.kish_fraction) <= 1e-12)


def test_a_seed_gives_the_same_bits_inline_and_on_threads(
    states: tuple[np.ndarray, np.ndarray],
) -> None:
    frames, means = states
    observed = 0.6 * means[0] + 0.4 * means[1]
    observed = observed + np.random.default_rng(3).normal(0, NOISE, len(observed))
    runs = [
        reweight(frames, observed, sigma=NOISE, thetas=THETAS, replicates=9, seed=2)
    ]
    with ThreadPoolExecutor(2) as pool:
        runs.append(
            reweight(
                frames, observed, sigma=NOISE, thetas=THETAS, replicates=9, seed=2,
                executor=pool,
            )
        )  # fmt: skip
    runs.append(
        reweight(frames, observed, sigma=NOISE, thetas=THETAS, replicates=9, seed=2)
    )
    first = runs[0]
    for other in runs[1:]:
        for name in ("weights", "replicate_weights", "coefficients", "calculated"):
            assert getattr(other, name).tobytes() == getattr(first, name).tobytes()
        assert other.curve.cv_chi2.tobytes() == first.curve.cv_chi2.tobytes()
        assert other.free_q_after == first.free_q_after


@pytest.mark.parametrize(
    ("change", "message"),
    [
        ({"frames": 1}, "at least two frames"),
        ({"folds": 100}, "folds must be from 2"),
        ({"theta": 0.0}, "finite and positive"),
        ({"replicates": 1}, "0 or from 2"),
    ],
)
def test_refusals_name_what_cannot_be_used(
    states: tuple[np.ndarray, np.ndarray], change: dict, message: str
) -> None:
    frames, means = states
    settings = {"folds": 5, "replicates": 0, **change}
    vectors = frames[: settings.pop("frames", len(frames))]
    with pytest.raises(ValueError, match=message):
        reweight(vectors, means[0], **settings)


def _rotated_domain(pdb: Path):  # type: ignore[no-untyped-def]
    """A move that turns residues 36-76 of ``pdb`` about their centroid."""
    lines = [l for l in pdb.read_text().splitlines() if l.startswith("ATOM")]
    domain = np.array([int(line[22:26]) >= 36 for line in lines])

    def move(xyz: np.ndarray) -> np.ndarray:
        out = xyz.copy()
        centre = xyz[domain].mean(axis=0)
        out[domain] = (xyz[domain] - centre) @ _turn().T + centre
        return out

    return move


def _reweighted(tmp_path: Path, *inputs: object) -> tuple[dict, list[float]]:
    """The JSON report of ``kelfit reweight`` and the weights of its table."""
    done = run_kelfit(
        "reweight", *inputs, "--couplings", shared_data("ubiquitin", "couplings.tab"),
        "--atoms", "N,H", "--replicates", "4", "--folds", "3", "--json",
        "--out", tmp_path / "weights.csv", cwd=tmp_path,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    with open(tmp_path / "weights.csv", newline="") as table:
        rows = list(csv.DictReader(table))
    return json.loads(done.stdout), [float(r["weight"]) for r in rows]


def test_the_command_line_reweights_models_and_frames_alike(tmp_path: Path) -> None:
    # The deposited structure and a copy with its second domain turned,
    # twice each: the real couplings favour the deposited state, and a
    # trajectory of the same four conformations gets the same weights.
    pdb = shared_data("ubiquitin", "1d3z-model-1.pdb")
    turned = _rotated_domain(pdb)
    moves = [lambda x: x, lambda x: x + 0.01, turned, lambda x: turned(x) + 0.01]
    ensemble = write_models(tmp_path / "two-states.pdb", pdb, moves)
    report, weights = _reweighted(tmp_path, "--structure", ensemble)
    assert [w["weight"] for w in report["weights"]] == weights
    assert len(weights) == 4 and math.isclose(sum(weights), 1.0)
    assert weights[0] + weights[1] > 0.7
    assert report["q"]["after"] < report["q"]["before"]
    assert report["free_q"]["after"] < report["free_q"]["before"]
    mda = pytest.importorskip("MDAnalysis")
    universe = mda.Universe(str(ensemble))
    trajectory = tmp_path / "two-states.xtc"
    with mda.Writer(str(trajectory), universe.atoms.n_atoms) as writer:
        for k, _ in enumerate(universe.trajectory):
            universe.trajectory.ts.time = 10.0 * k
            writer.write(universe.atoms)
    frames, again = _reweighted(
        tmp_path, "--structure", pdb, "--trajectory", trajectory
    )
    assert (report["kind"], frames["kind"]) == ("model", "frame")
    # XTC keeps 0.01 A, so the weights agree to that precision only.
    assert again == pytest.approx(weights, abs=0.02)
