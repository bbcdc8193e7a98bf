"""Error estimates by refitting perturbed data."""

from __future__ import annotations

import numpy as np
import pytest
from kelfit_tools import back_calculate, fit, monte_carlo, read_table
from kelfit_tools.example import example

TABLE = read_table(example().vectors)
V = TABLE.vectors
OBS = TABLE.values if TABLE.values is not None else np.empty(0)


@pytest.mark.parametrize("method", ["noise", "bootstrap"])
def test_reproducible_under_a_seed(method: str) -> None:
    first = monte_carlo(V, OBS, 15, perturbation=method, seed=42, progress=False)
    again = monte_carlo(V, OBS, 15, perturbation=method, seed=42, progress=False)
    other = monte_carlo(V, OBS, 15, perturbation=method, seed=43, progress=False)
    assert np.array_equal(first.da, again.da) and np.array_equal(first.r, again.r)
    assert first.axis_spread_deg == again.axis_spread_deg
    assert not np.array_equal(first.da, other.da)
    # The keyword's former name still works, and says it is going.
    with pytest.warns(DeprecationWarning, match="perturbation"):
        old = monte_carlo(V, OBS, 15, method=method, seed=42, progress=False)
    assert np.array_equal(first.da, old.da) and old.method == method


def test_spread_follows_the_noise() -> None:
    small = monte_carlo(V, OBS, 30, sigma=0.05, seed=1, progress=False)
    large = monte_carlo(V, OBS, 30, sigma=2.0, seed=1, progress=False)
    assert small.sigma == 0.05 and large.sigma == 2.0
    assert 10 * small.da_sd < large.da_sd
    assert all(10 * s < b for s, b in zip(small.axis_spread_deg, large.axis_spread_deg))
    # The refits scatter around the best fit, not around some other tensor.
    best = fit(V, OBS).tensor()
    assert np.mean(small.da) == pytest.approx(best.da, abs=0.05)
    assert np.mean(small.r) == pytest.approx(best.r, abs=0.01)


def test_default_sigma_is_the_rmsd_and_offset_is_reported() -> None:
    best = fit(V, OBS, offset=True)
    mc = monte_carlo(V, OBS, 10, offset=True, result=best, seed=2, progress=False)
    assert mc.sigma == best.rmsd and mc.trials == 10
    assert mc.offset_sd > 0
    assert monte_carlo(V, OBS, 10, seed=2, progress=False).offset_sd == 0.0


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"perturbation": "jackknife"}, "perturbation"),
        ({"trials": 1}, "at least 2"),
        ({"sigma": -1.0}, "positive"),
    ],
)
def test_rejects_bad_settings(kwargs: dict, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        monte_carlo(V, OBS, **{"trials": 5, **kwargs})


@pytest.mark.parametrize("fit_method", ["linear", "powell"])
def test_bootstrap_draws_reach_the_last_row(fit_method: str) -> None:
    # Exact values but a wild last row: refits without it all give the
    # tensor the other rows define; nearly every draw of 30 rows holds it.
    rng = np.random.default_rng(5)
    v = rng.normal(size=(30, 3))
    truth = fit(v, rng.normal(0.0, 10.0, 30)).params
    o = back_calculate(v, truth)
    o[-1] += 60.0
    mc = monte_carlo(
        v, o, 20, perturbation="bootstrap", seed=3, fit_method=fit_method, workers=1
    )
    clean = fit(v[:-1], o[:-1]).tensor().da
    assert np.sum(np.abs(mc.da - clean) > 1e-3) >= 15
