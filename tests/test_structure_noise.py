"""Structural noise in Monte Carlo errors: random isotropic reorientation of
the bond vectors, or vectors drawn from an ensemble's models."""

from __future__ import annotations

import json

import numpy as np
import pytest
from kelfit_tools import fit, monte_carlo
from kelfit_tools.montecarlo import reorient
from tools_support import (
    model_values,
    random_params,
    run_kelfit,
    shared_data,
    structure_args,
    write_models,
)


def tilts_deg(before: np.ndarray, after: np.ndarray) -> np.ndarray:
    u = before / np.linalg.norm(before, axis=1)[:, None]
    w = after / np.linalg.norm(after, axis=1)[:, None]
    return np.degrees(np.arccos(np.clip(np.sum(u * w, axis=1), -1.0, 1.0)))


class TestReorient:
    def test_rms_tilt_is_the_angle_and_lengths_are_kept(self) -> None:
        rng = np.random.default_rng(1)
        v = rng.normal(size=(40000, 3)) * 1.5
        w = reorient(v, 12.0, np.random.default_rng(2))
        assert np.sqrt(np.mean(tilts_deg(v, w) ** 2)) == pytest.approx(12.0, rel=0.02)
        assert np.allclose(np.linalg.norm(w, axis=1), np.linalg.norm(v, axis=1))

    def test_the_tilt_has_no_preferred_direction(self) -> None:
        # Every vector along z: the tilted ones spread evenly in x and y,
        # and the tilt size is Rayleigh: its median is sqrt(ln 2) times
        # the rms (for a 2D Gaussian of per-axis sd rms / sqrt 2).
        v = np.tile([0.0, 0.0, 2.0], (40000, 1))
        w = reorient(v, 8.0, np.random.default_rng(3))
        x, y = w[:, 0], w[:, 1]
        assert abs(np.mean(x)) < 0.01 and abs(np.mean(y)) < 0.01
        assert np.var(x) == pytest.approx(np.var(y), rel=0.05)
        median = np.median(tilts_deg(v, w))
        assert median == pytest.approx(8.0 * np.sqrt(np.log(2.0)), rel=0.03)

    def test_zero_leaves_the_vectors_and_a_negative_angle_is_refused(self) -> None:
        v = np.random.default_rng(4).normal(size=(10, 3))
        assert np.allclose(reorient(v, 0.0, np.random.default_rng(0)), v)
        with pytest.raises(ValueError, match="angle from 0 to 90 degrees"):
            reorient(v, -1.0, np.random.default_rng(0))


@pytest.fixture
def problem():
    rng = np.random.default_rng(9)
    v = rng.normal(size=(60, 3))
    observed = model_values(v, random_params(rng)) + rng.normal(0, 0.3, 60)
    return v, observed, fit(v, observed)


def test_structure_noise_widens_the_errors_reproducibly(problem) -> None:
    v, observed, result = problem
    plain = monte_carlo(v, observed, 60, result=result, seed=1, progress=False)
    noisy = [
        monte_carlo(v, observed, 60, result=result, seed=1, progress=False,
                    structure_noise=15.0)
        for _ in range(2)
    ]  # fmt: skip
    assert noisy[0].da_sd > 1.5 * plain.da_sd
    assert all(n > p for n, p in zip(noisy[0].axis_spread_deg, plain.axis_spread_deg))
    assert np.array_equal(noisy[0].da, noisy[1].da)
    assert noisy[0].structure_noise_deg == 15.0 and plain.structure_noise_deg == 0.0


def test_vectors_drawn_from_models(problem) -> None:
    v, observed, result = problem

    # Three "models": the vectors as they are and turned 20 degrees either
    # way about x. Refits that draw from them spread the axes by degrees.
    def turn(degrees):
        t = np.radians(degrees)
        r = np.array([[1, 0, 0], [0, np.cos(t), -np.sin(t)], [0, np.sin(t), np.cos(t)]])
        return v @ r.T

    sets = np.array([v, turn(20.0), turn(-20.0)])
    drawn = monte_carlo(v, observed, 60, result=result, seed=2, progress=False,
                        vector_sets=sets)  # fmt: skip
    plain = monte_carlo(v, observed, 60, result=result, seed=2, progress=False)
    assert drawn.models_drawn == 3
    assert max(drawn.axis_spread_deg) > 10.0 > max(plain.axis_spread_deg)
    with pytest.raises(ValueError, match="vector_sets must be M x 60 x 3"):
        monte_carlo(v, observed, 5, result=result, vector_sets=sets[:, :10])


class TestCommandLine:
    def _run(self, *extra):
        return run_kelfit(
            "fit", *structure_args("ubiquitin", "1d3z-model-1.pdb"), "-q",
            "--types", "N-H", *extra,
        )  # fmt: skip

    def test_angle_in_the_errors_block(self) -> None:
        done = self._run("--errors", "20", "--structure-noise", "10", "--seed", "1",
                         "--json")  # fmt: skip
        assert done.returncode == 0, done.stderr
        errors = json.loads(done.stdout)["media"][0]["errors"]
        assert errors["structure_noise_deg"] == 10.0 and errors["models_drawn"] == 0

    @pytest.mark.parametrize(
        "extra, message",
        [
            (("--structure-noise", "10"), "goes with --errors"),
            (("--errors", "5", "--structure-noise", "models"), "with --models all"),
            *(
                (("--errors", "5", "--structure-noise", angle), "from 0 to 90 degrees")
                for angle in ("-3", "90.5", "inf", "nan")
            ),
            # ~1.1 kB kept a refit: 2^31 of them would take the machine down.
            (("--errors", "2147483648"), "refits from 2 to 1,000,000, got"),
            (("--reject", "0.5"), "normalised sigma from 1, got '0.5'"),
            (("--reject", "inf"), "normalised sigma from 1, got 'inf'"),
        ],
    )
    def test_usage_errors(self, extra, message) -> None:
        done = self._run(*extra)
        assert done.returncode == 2 and message in done.stderr


def test_models_all_draws_each_refit_from_the_ensemble(tmp_path) -> None:
    """Three models of ubiquitin, jittered by 0.3 A: the errors of every
    model's fit draw their vectors from all three, and grow with it."""
    rng = np.random.default_rng(8)
    ensemble = write_models(
        tmp_path / "ensemble.pdb",
        shared_data("ubiquitin", "1d3z-model-1.pdb"),
        [lambda xyz, s=s: xyz + rng.normal(0.0, s, xyz.shape) for s in (0.0, 0.3, 0.3)],
    )
    couplings = shared_data("ubiquitin", "couplings.tab")
    runs = {}
    for extra in ((), ("--structure-noise", "models")):
        done = run_kelfit(
            "fit", "--structure", ensemble, "--couplings", couplings, "-q",
            "--types", "N-H", "--models", "all", "--errors", "40", "--seed", "1",
            "--json", *extra,
        )  # fmt: skip
        assert done.returncode == 0, done.stderr
        runs[extra] = [
            m["media"][0]["errors"] for m in json.loads(done.stdout)["models"]
        ]
    drawn = runs[("--structure-noise", "models")]
    assert [e["models_drawn"] for e in drawn] == [3, 3, 3]
    for with_models, alone in zip(drawn, runs[()]):
        assert with_models["axis_spread_deg"][2] > alone["axis_spread_deg"][2]
