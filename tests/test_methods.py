"""The two methods of kelfit_tools.fit, stacks of linear fits, and --fix."""

from __future__ import annotations

import json
import math

import kelfit
import numpy as np
import pytest
from kelfit_tools import fit, fit_many, monte_carlo, read_couplings, structure_vectors
from kelfit_tools.fitting import fit_stack, linear_start
from tools_support import random_params, run_kelfit, shared_data, structure_args

UBIQUITIN = ("ubiquitin", "1d3z-model-1.pdb", "couplings.tab")


def _ubiquitin_nh() -> tuple[np.ndarray, np.ndarray]:
    pdb = shared_data(*UBIQUITIN[:2])
    couplings = read_couplings(shared_data(UBIQUITIN[0], UBIQUITIN[2]))
    sv = structure_vectors(pdb, couplings, ("N", "H"))
    observed = np.array([c.value for c in sv.couplings])
    return sv.vectors, observed


def _noisy(seed: int, count: int = 40) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    vectors = rng.normal(size=(count, 3))
    truth = random_params(rng)
    return vectors, kelfit.solve(vectors, truth) + rng.normal(0, 0.5, count)


def _same(a: object, b: object) -> bool:
    return np.asarray(a).tobytes() == np.asarray(b).tobytes()


class TestMethods:
    def test_linear_is_the_default_and_is_the_modules_optimum(self) -> None:
        for vectors, observed in (_ubiquitin_nh(), _noisy(1)):
            sigma = np.linspace(0.5, 1.5, len(observed))
            result = fit(vectors, observed, sigma=sigma)
            direct = kelfit.linear(vectors, observed, sigma=sigma)
            assert result.method == "linear" and result.fixed == ()
            assert _same(result.params, direct.params)
            assert _same(result.calculated, direct.values)
            assert result.cost == direct.cost
            assert _same(result.residuals, observed - direct.values)
            # chi^2 / N is the cost the module minimised.
            assert result.chi2 / result.n == pytest.approx(result.cost, rel=1e-12)

    def test_powell_refines_the_linear_optimum_through_kelfit_fit(self) -> None:
        vectors, observed = _ubiquitin_nh()
        for offset in (False, True):
            result = fit(vectors, observed, offset=offset, method="powell")
            start = kelfit.linear(vectors, observed, offset=offset).params
            direct = kelfit.fit(vectors, observed, start, offset=offset)
            assert result.method == "powell"
            assert _same(result.params, direct.params)
            assert result.cost == direct.cost
            assert _same(result.calculated, direct.values)
            assert result.evaluations == direct.evaluations > 0
            # Powell lands next to the exact optimum, in single precision.
            linear = fit(vectors, observed, offset=offset)
            assert abs(result.cost - linear.cost) <= 1e-5 * linear.cost

    def test_a_start_or_fixed_parameters_choose_powell(self) -> None:
        vectors, observed = _noisy(2)
        start = linear_start(vectors, observed) + 0.01
        assert fit(vectors, observed, start).method == "powell"
        held = fit(vectors, observed, fixed={"Da": 9.0})
        assert held.method == "powell" and held.fixed == ("da",) and held.da == 9.0

    @pytest.mark.parametrize(
        ("kwargs", "message"),
        [
            ({"fixed": {"da": 9.0}, "method": "linear"}, "fixed parameters need"),
            ({"start": np.ones(5), "method": "linear"}, "a start is used only by"),
            ({"method": "simplex"}, "method must be 'linear' or 'powell'"),
            ({"fixed": {"rhombicity": 0.2}}, "cannot fix 'rhombicity'"),
        ],
    )
    def test_refusals(self, kwargs: dict, message: str) -> None:
        vectors, observed = _noisy(3)
        with pytest.raises(ValueError, match=message):
            fit(vectors, observed, **kwargs)


class TestStacks:
    def test_a_stack_gives_each_single_fits_bits(self) -> None:
        problems = [_noisy(seed) for seed in range(10, 16)]
        sigma = np.random.default_rng(4).uniform(0.5, 2.0, (6, 40))
        stacked = fit_stack(
            np.stack([v for v, _ in problems]),
            np.stack([o for _, o in problems]),
            sigma=sigma,
            offset=True,
            workers=2,
        )
        for (v, o), s, r in zip(problems, sigma, stacked):
            alone = fit(v, o, sigma=s, offset=True)
            for name in ("params", "calculated", "residuals", "sigma"):
                assert _same(getattr(r, name), getattr(alone, name)), name
            for name in ("cost", "rmsd", "q", "pearson_r", "chi2", "q_da", "method"):
                assert getattr(r, name) == getattr(alone, name), name

    @pytest.mark.parametrize("workers", [1, 2])
    def test_fit_many_stacks_runs_of_one_shape(self, workers: int) -> None:
        # Shapes change along the way, and powell problems interrupt runs.
        problems: list = [_noisy(seed, 30 + 10 * (seed % 2)) for seed in range(20, 29)]
        problems[4] = {"vectors": problems[4][0], "observed": problems[4][1],
                       "method": "powell"}  # fmt: skip
        problems[6] = {"vectors": problems[6][0], "observed": problems[6][1],
                       "offset": True}  # fmt: skip
        expected = [fit(**p) if isinstance(p, dict) else fit(*p) for p in problems]
        got = fit_many(problems, workers=workers, progress=False, batch=4)
        assert [r.method for r in got] == [r.method for r in expected]
        for e, g in zip(expected, got):
            assert _same(e.params, g.params) and e.cost == g.cost
            assert _same(e.calculated, g.calculated) and e.rmsd == g.rmsd

    def test_a_refused_problem_of_a_stack_is_named(self) -> None:
        problems = [_noisy(seed) for seed in range(30, 36)]
        observed = problems[3][1].copy()
        observed[7] = np.inf
        problems[3] = (problems[3][0], observed)
        # Rows as users count them, from 1.
        with pytest.raises(
            ValueError, match=r"^problem 3: observed value of row 8 must be finite$"
        ):
            fit_many(problems, workers=2, progress=False)

    @pytest.mark.parametrize("how", ["noise", "bootstrap"])
    def test_monte_carlo_stacks_give_the_single_refits(self, how: str) -> None:
        # Seven vectors: many bootstrap draws repeat rows until the
        # directions no longer determine the tensor, and are drawn again.
        count = 7 if how == "bootstrap" else 40
        vectors, observed = _noisy(40, count)
        mc = monte_carlo(
            vectors,
            observed,
            60,
            perturbation=how,
            seed=9,
            progress=False,
            keep_refits=True,
        )
        best = fit(vectors, observed)
        # Replicate k is kelfit.linear on the data the module drew for k from
        # the stream keyed by the seed's 64-bit state (bootstrap: after up to
        # 50 draws).
        key = int(np.random.SeedSequence(9).generate_state(1, np.uint64)[0])
        noise = np.full(count, best.rmsd) if how == "noise" else None
        expected = []
        for k in range(60):
            drawn = kelfit.replicates(
                vectors, observed, seed=key, first=k, perturbation=how, noise=noise,
                draws=50, drawn=True,
            )  # fmt: skip
            expected.append(kelfit.linear(drawn[0], drawn[1]).order_matrix)
        assert mc.matrices is not None
        assert _same(np.array(expected), mc.matrices)
        # The same bits on one thread, on two, and one by one on a pool.
        one = monte_carlo(vectors, observed, 60, perturbation=how, seed=9, progress=False,
                          workers=1, keep_refits=True)  # fmt: skip
        assert _same(one.matrices, mc.matrices) and _same(one.da, mc.da)
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(2) as pool:
            pooled = monte_carlo(vectors, observed, 60, perturbation=how, seed=9,
                                 progress=False, executor=pool, keep_refits=True)  # fmt: skip
        assert _same(pooled.matrices, mc.matrices)

    def test_monte_carlo_refits_hold_what_the_fit_held(self) -> None:
        vectors, observed = _noisy(41)
        held = fit(vectors, observed, fixed={"da": 8.0, "r": 0.3})
        mc = monte_carlo(
            vectors, observed, 20, result=held, seed=2, progress=False, keep_refits=True
        )
        # Canonical Da and R of every refit are the held ones.
        assert np.allclose(np.abs(mc.da), 8.0, rtol=1e-12)
        assert mc.da_sd < 1e-9 and mc.r_sd < 1e-9
        free = monte_carlo(
            vectors, observed, 20, seed=2, progress=False, keep_refits=True
        )
        assert free.da_sd > 1e-3


class TestStackRefusals:
    """kelfit.linear's refusals inside a stack."""

    def test_an_input_error_names_its_problem(self) -> None:
        rng = np.random.default_rng(50)
        vectors = rng.normal(size=(4, 20, 3))
        observed = np.ones((4, 20))
        sigma = np.ones((4, 20))
        sigma[2, 5] = 1e-50  # zero once narrowed
        with pytest.raises(kelfit.InputError) as caught:
            kelfit.linear(vectors, observed, sigma=sigma)
        error = caught.value
        assert str(error).startswith("problem 2: sigma[5] must be finite and positive")
        assert (error.problem, error.argument, error.row) == (2, "sigma", 6)
        # The same refusal from the one check kelfit.fit makes too.
        with pytest.raises(kelfit.InputError) as alone:
            kelfit.fit(vectors[2], observed[2], np.ones(6), sigma=sigma[2])
        assert str(error) == f"problem 2: {alone.value}"
        assert alone.value.problem is None

    def test_directions_that_fail_name_the_problem_and_the_vectors(self) -> None:
        rng = np.random.default_rng(51)
        vectors = rng.normal(size=(3, 20, 3))
        vectors[1, :, 2] = 0.0  # one plane
        with pytest.raises(kelfit.InputError, match="^problem 1: the vector") as caught:
            kelfit.linear(vectors, np.ones((3, 20)))
        assert (caught.value.problem, caught.value.argument) == (1, "vectors")
        with pytest.raises(ValueError) as alone:
            kelfit.linear(vectors[1], np.ones(20))
        assert caught.value.reason == str(alone.value)


class TestFixOnTheCommandLine:
    def _args(self) -> list[object]:
        # Built per test: a missing data set skips that test, not the run.
        return ["fit", *structure_args(*UBIQUITIN[:2])]

    def _medium(self, *extra: str) -> tuple[dict, dict]:
        done = run_kelfit(*self._args(), "--json", *extra)
        assert done.returncode == 0, done.stderr
        payload = json.loads(done.stdout)
        return payload["media"][0], payload["options"]

    @pytest.mark.parametrize("signs", ["magnitudes", "physical"])
    def test_da_and_r_fixed_at_the_free_fit_keep_its_orientation(
        self, signs: str
    ) -> None:
        free, options = self._medium("--signs", signs)
        assert free["method"] == "linear" and options["method"] == "linear"
        da, r = round(free["tensor"]["da_nh"], 2), round(free["tensor"]["r"], 3)
        held, options = self._medium("--signs", signs, "--fix", f"Da={da},r={r}")
        assert held["method"] == "powell" and held["fixed"] == ["da", "r"]
        assert options["method"] == "powell"
        assert options["fix"] == {"da": da, "r": r}
        # Da as the report gives it, whatever the sign convention.
        assert held["tensor"]["da_nh"] == pytest.approx(da, rel=1e-6)
        assert held["tensor"]["r"] == pytest.approx(r, abs=1e-6)
        # Rounding Da and R barely turns the axes.
        for a, b in zip(free["tensor"]["principal_axes"],
                        held["tensor"]["principal_axes"]):  # fmt: skip
            assert math.degrees(math.acos(min(1.0, abs(np.dot(a, b))))) < 1.0

    def test_an_angle_is_fixed_in_degrees(self) -> None:
        free, _ = self._medium("--method", "powell")
        a1 = free["tensor"]["fitted_params"]["angles_rad"][0]
        held, options = self._medium("--fix", f"A1={math.degrees(a1)}")
        assert held["tensor"]["fitted_params"]["angles_rad"][0] == pytest.approx(a1)
        assert options["fix"]["a1"] == pytest.approx(a1)

    def test_the_text_report_names_the_method_and_what_was_held(self) -> None:
        args = self._args()
        done = run_kelfit(*args, "--fix", "Da=-7.8,R=0.17", "--types", "N-H")
        assert done.returncode == 0, done.stderr
        assert (
            "method           powell (single-precision refinement); fixed: Da, R"
            in (done.stdout)
        )
        plain = run_kelfit(*args, "--types", "N-H")
        assert "method           linear (the exact least-squares optimum)" in (
            plain.stdout
        )

    @pytest.mark.parametrize(
        ("extra", "message"),
        [
            (["--fix", "Dz=3"], "--fix takes NAME=VALUE"),
            (["--fix", "Da=x"], "--fix Da needs a number"),
            (["--fix", "Da=1,da=2"], "names da twice"),
            (["--fix", "Da=-7.8", "--method", "linear"], "need --method powell"),
            (["--method", "newton"], "invalid choice"),
        ],
    )
    def test_refusals(self, extra: list, message: str) -> None:
        done = run_kelfit(*self._args(), "--json", *extra)
        assert done.returncode == 2
        assert message in done.stderr
