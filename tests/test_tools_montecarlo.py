"""Error estimates by refitting perturbed data."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor

import kelfit
import numpy as np
import pytest
from kelfit_tools import back_calculate, fit, monte_carlo, montecarlo, read_table
from kelfit_tools.example import example
from kelfit_tools.many import FitFailed
from kelfit_tools.tensor import axis_angles, degree_of_order, dr_model

TABLE = read_table(example().vectors)
V = TABLE.vectors
OBS = TABLE.values if TABLE.values is not None else np.empty(0)


@pytest.mark.parametrize("method", ["noise", "bootstrap"])
def test_reproducible_under_a_seed(method: str) -> None:
    first = monte_carlo(
        V, OBS, 15, perturbation=method, seed=42, progress=False, keep_refits=True
    )
    again = monte_carlo(
        V, OBS, 15, perturbation=method, seed=42, progress=False, keep_refits=True
    )
    other = monte_carlo(
        V, OBS, 15, perturbation=method, seed=43, progress=False, keep_refits=True
    )
    assert np.array_equal(first.da, again.da) and np.array_equal(first.r, again.r)
    assert first.axis_spread_deg == again.axis_spread_deg
    assert not np.array_equal(first.da, other.da)
    # The keyword's former name still works, and says it is going.
    with pytest.warns(DeprecationWarning, match="perturbation"):
        old = monte_carlo(
            V, OBS, 15, method=method, seed=42, progress=False, keep_refits=True
        )
    assert np.array_equal(first.da, old.da) and old.method == method


def test_spread_follows_the_noise() -> None:
    small = monte_carlo(
        V, OBS, 30, sigma=0.05, seed=1, progress=False, keep_refits=True
    )
    large = monte_carlo(V, OBS, 30, sigma=2.0, seed=1, progress=False, keep_refits=True)
    assert small.sigma == 0.05 and large.sigma == 2.0
    assert 10 * small.da_sd < large.da_sd
    assert all(10 * s < b for s, b in zip(small.axis_spread_deg, large.axis_spread_deg))
    # The refits scatter around the best fit, not around some other tensor.
    best = fit(V, OBS).tensor()
    assert np.mean(small.da) == pytest.approx(best.da, abs=0.05)
    assert np.mean(small.r) == pytest.approx(best.r, abs=0.01)


def test_default_sigma_is_the_rmsd_and_offset_is_reported() -> None:
    best = fit(V, OBS, offset=True)
    mc = monte_carlo(
        V, OBS, 10, offset=True, result=best, seed=2, progress=False, keep_refits=True
    )
    assert mc.sigma == best.rmsd and mc.trials == 10
    assert mc.offset_sd > 0
    assert (
        monte_carlo(V, OBS, 10, seed=2, progress=False, keep_refits=True).offset_sd
        == 0.0
    )


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"perturbation": "jackknife"}, "perturbation"),
        ({"trials": 1}, "from 2 to 1,000,000, got 1"),
        ({"trials": 1_000_001}, "from 2 to 1,000,000"),
        ({"structure_noise": 90.5}, "from 0 to 90 degrees"),
        ({"sigma": -1.0}, "positive"),
    ],
)
def test_rejects_bad_settings(kwargs: dict, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        monte_carlo(V, OBS, **{"trials": 5, **kwargs})


@pytest.mark.parametrize("fit_method", ["linear", "powell"])
def test_refits_are_summarised_without_being_kept(
    fit_method: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    # Blocks of 7 refits, which no batching lines up with: the merge runs
    # many times and across every batch boundary.
    monkeypatch.setattr(montecarlo, "_SUMMARY_BLOCK", 7)
    best = fit(V, OBS, offset=True)
    common = {"result": best, "offset": True, "seed": 8, "progress": False,
              "fit_method": fit_method}  # fmt: skip
    kept = monte_carlo(V, OBS, 60, keep_refits=True, workers=1, **common)
    with ThreadPoolExecutor(2) as pool:
        runs = [
            monte_carlo(V, OBS, 60, workers=1, **common),
            monte_carlo(V, OBS, 60, workers=2, **common),
            monte_carlo(V, OBS, 60, executor=pool, workers=2, **common),
        ]
    assert kept.matrices is not None and kept.axes is not None
    spread = np.sqrt(np.mean(axis_angles(best.tensor().axes, kept.axes) ** 2, axis=0))
    expected = {
        "da_sd": np.std(kept.da, ddof=1),
        "r_sd": np.std(kept.r, ddof=1),
        "dr_sd": np.std(kept.da * kept.r, ddof=1),
        "dr_model_sd": np.std(dr_model(kept.da, kept.r), ddof=1),
        "offset_sd": np.std(kept.offset, ddof=1),
        "gdo_sd": np.std(degree_of_order(kept.da, kept.r), ddof=1),
        "da_mean": np.mean(kept.da),
        "gdo_mean": np.mean(degree_of_order(kept.da, kept.r)),
    }
    for mc in runs:
        assert mc.da.size == mc.r.size == mc.offset.size == 0
        assert mc.matrices is None and mc.axes is None and mc.trials == 60
        # The same bits whatever the threads, the executor and its batches.
        for name in [*expected, "axis_spread_deg"]:
            assert getattr(mc, name) == getattr(runs[0], name) == getattr(kept, name)
    for name, value in expected.items():
        assert getattr(kept, name) == pytest.approx(value, rel=1e-12), name
    assert kept.axis_spread_deg == pytest.approx(tuple(spread), rel=1e-12)


def _common(perturbation: str) -> dict:
    """Every option of kelfit.replicates at once: two models, tilts, sigma,
    scale, the offset."""
    rng = np.random.default_rng(3)
    sigma = rng.uniform(0.5, 2.0, len(V))
    return {
        "seed": 2**64 - 5,
        "perturbation": perturbation,
        "noise": sigma,
        "sigma": sigma,
        "scale": rng.uniform(0.5, 1.5, len(V)),
        "offset": True,
        "vector_sets": np.array([V, V[:, [1, 2, 0]]]),
        "structure_noise": 8.0,
        "draws": 50,
    }


@pytest.mark.parametrize("perturbation", ["noise", "bootstrap"])
def test_a_replicate_is_the_linear_fit_of_its_draw_on_any_chunking(
    perturbation: str,
) -> None:
    common = _common(perturbation)
    whole = kelfit.replicates(V, OBS, first=0, count=40, workers=1, **common)
    pieces = [
        kelfit.replicates(V, OBS, first=first, count=count, workers=workers, **common)
        for first, count, workers in ((0, 7, 2), (7, 33, 3))
    ]
    for field in ("params", "order_matrix", "axes", "draws"):
        joined = np.concatenate([getattr(p, field) for p in pieces])
        assert joined.tobytes() == getattr(whole, field).tobytes()
    for k in (0, 39):
        v, o, s, f = kelfit.replicates(V, OBS, first=k, drawn=True, **common)
        alone = kelfit.linear(v, o, sigma=s, scale=f, offset=True)
        assert alone.params.tobytes() == whole.params[k].tobytes()
        assert alone.order_matrix.tobytes() == whole.order_matrix[k].tobytes()
        if perturbation == "noise":  # tilts keep every length
            assert np.allclose(np.linalg.norm(v, axis=1), np.linalg.norm(V, axis=1))


def test_tilts_have_the_rms_angle_asked_for() -> None:
    v = np.random.default_rng(4).normal(size=(20000, 3))
    drawn, _, _, _ = kelfit.replicates(
        v, np.zeros(len(v)), seed=1, noise=np.zeros(len(v)), structure_noise=12.0,
        drawn=True,
    )  # fmt: skip
    cosine = np.sum(v * drawn, axis=1) / np.linalg.norm(v, axis=1) ** 2
    rms = np.degrees(np.sqrt(np.mean(np.arccos(np.clip(cosine, -1, 1)) ** 2)))
    assert rms == pytest.approx(12.0, rel=0.02)
    assert np.allclose(np.linalg.norm(drawn, axis=1), np.linalg.norm(v, axis=1))


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"seed": -1}, "seed must be an integer"),
        ({"structure_noise": 2e6}, "structure_noise must be a finite angle"),
        ({"perturbation": "jackknife"}, "perturbation must be"),
        ({"noise": None}, "needs noise"),
        ({"noise": -np.ones(len(V))}, r"noise\[0\] must be"),
        ({"sigma": -np.ones(len(V))}, "sigma"),
        ({"vector_sets": np.ones((2, 3, 3))}, "vector_sets must be M x"),
        ({"draws": 0}, "draws must be at least 1"),
        ({"drawn": True, "count": 2}, "count must be 1"),
        ({"first": -1}, "first and count"),
    ],
)
def test_replicates_refuse_bad_arguments(kwargs: dict, message: str) -> None:
    arguments = {"seed": 1, "noise": np.ones(len(V)), **kwargs}
    with pytest.raises(ValueError, match=message):
        kelfit.replicates(V, OBS, **arguments)


def test_a_failed_replicate_stops_the_run_and_is_named() -> None:
    rng = np.random.default_rng(1)
    few, observed = rng.normal(size=(5, 3)), rng.normal(size=5)
    with pytest.raises(
        FitFailed,
        match=r"^problem \d+: bootstrap: resampled rows keep failing to determine "
        "the tensor; too few vectors for resampling$",
    ):
        monte_carlo(few, observed, 20, perturbation="bootstrap", seed=1, progress=False)
    # A model whose directions do not determine the tensor.
    flat = np.array([V, np.tile([0.0, 0.0, 1.0], (len(V), 1))])
    with pytest.raises(FitFailed, match=r"^problem \d+: the vector directions do not"):
        monte_carlo(V, OBS, 20, vector_sets=flat, seed=1, progress=False)


@pytest.mark.parametrize("fit_method", ["linear", "powell"])
def test_bootstrap_draws_reach_the_last_row(fit_method: str) -> None:
    # Exact values but a wild last row: refits without it all give the
    # tensor the other rows define. A draw of 30 rows holds the last one
    # with probability 1 - (29/30)^30 = 0.64: about 13 of 20, and fewer than
    # 5 once in 10^4 seeds; a draw that cannot reach it gives none.
    rng = np.random.default_rng(5)
    v = rng.normal(size=(30, 3))
    truth = fit(v, rng.normal(0.0, 10.0, 30)).params
    o = back_calculate(v, truth)
    o[-1] += 60.0
    mc = monte_carlo(
        v,
        o,
        20,
        perturbation="bootstrap",
        seed=3,
        fit_method=fit_method,
        workers=1,
        keep_refits=True,
    )
    clean = fit(v[:-1], o[:-1]).tensor().da
    assert np.sum(np.abs(mc.da - clean) > 1e-3) >= 5
