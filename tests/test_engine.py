"""kelfit.fit and kelfit.solve: the fits and back-calculations tools build on."""

from __future__ import annotations

import pickle
import threading

import kelfit
import numpy as np
import pytest
from conftest import f32, reference_value
from test_fit import GOLDEN, TRUE, start_near, synthetic

ENTRY_OF = {False: kelfit.c_kf_fdc, True: kelfit.c_kel_fit}


def legacy_fit(vectors, observed, start, offset: bool) -> np.ndarray:
    params = np.array(start, dtype=np.float64)
    ENTRY_OF[offset](6 if offset else 5, vectors, observed, params)
    return params


def random_case(rng: np.random.Generator):
    """A fit of any size, tensor, noise level and start, as users make them."""
    count = int(rng.integers(3, 90))
    vectors = rng.normal(size=(count, 3)) * 10.0 ** rng.uniform(-2, 2)
    true = np.array(
        [*rng.uniform(-3.2, 3.2, 3), rng.uniform(-30, 30), rng.uniform(0, 0.66), 0]
    )
    observed = kelfit.solve(vectors, true) + rng.normal(size=count) * rng.uniform(0, 3)
    observed += rng.choice([0.0, rng.uniform(-5, 5)])
    start = true + rng.normal(size=6) * [0.3, 0.3, 0.3, 3.0, 0.1, 0.5]
    return vectors, observed, start


class TestSameBitsAsTheOriginalEntries:
    @pytest.mark.parametrize(
        "case", [g for g in GOLDEN if g[1] == (6 if g[0] == "c_kel_fit" else 5)]
    )
    def test_golden_fits(self, case) -> None:
        entry, _, count, seed, noise, offset, expected = case
        vectors, observed = synthetic(count, seed, noise=noise, offset=offset)
        ones = np.ones(count)
        for extra in ({}, {"sigma": ones, "scale": ones}):
            result = kelfit.fit(
                vectors,
                observed,
                start_near(TRUE),
                offset=entry == "c_kel_fit",
                **extra,
            )
            assert [v.hex() for v in result.params.tolist()] == expected

    def test_random_fits(self) -> None:
        rng = np.random.default_rng(20261207)
        compared = 0
        for k in range(1000):
            vectors, observed, start = random_case(rng)
            offset = k % 2 == 1
            extra = {}
            if k % 4 >= 2:
                ones = np.ones(len(observed))
                extra = {"sigma": ones} if k % 8 < 4 else {"scale": ones}
            expected = legacy_fit(vectors, observed, start, offset)
            result = kelfit.fit(vectors, observed, start, offset=offset, **extra)
            assert result.params.tobytes() == expected.tobytes(), k
            compared += 1
        assert compared == 1000

    def test_solve_is_c_solve_without_offset_and_scale(self) -> None:
        rng = np.random.default_rng(3)
        vectors = rng.normal(size=(500, 3))
        vectors[7] = 0.0  # NaN in both
        for _ in range(20):
            params = np.array([*rng.uniform(-7, 7, 3), rng.normal() * 20, 0.4, 0.0])
            expected = np.array(kelfit.c_solve(0, vectors, params))
            assert kelfit.solve(vectors, params).tobytes() == expected.tobytes()


class TestScaleAndSigma:
    def test_solve_scales_da_and_dr_but_not_the_offset(self) -> None:
        rng = np.random.default_rng(4)
        vectors = rng.normal(size=(40, 3))
        params = np.array([0.4, 1.2, -0.7, 12.0, 0.35, 1.25])
        scale = rng.choice([1.0, -0.1, 2.5, 0.3333333333, -9.7], size=40)
        values = kelfit.solve(vectors, params, scale=scale)
        dr = params[4] * params[3] * 3 * 0.5
        for row, s, value in zip(vectors, scale, values):
            expected = reference_value(
                params, row, params[3] * f32(s), dr * f32(s), f32(params[5])
            )
            assert value == expected

    def test_a_power_of_two_sigma_scales_the_cost_only(self) -> None:
        # Dividing every residual by 2 divides every cost by exactly 4, so
        # every comparison the minimizer makes comes out the same.
        vectors, observed = synthetic(60, seed=5, noise=1.0)
        plain = kelfit.fit(vectors, observed, start_near(TRUE))
        halved = kelfit.fit(vectors, observed, start_near(TRUE), sigma=np.full(60, 2.0))
        assert halved.params.tobytes() == plain.params.tobytes()
        assert halved.cost == plain.cost / 4
        assert halved.evaluations == plain.evaluations

    def test_mixed_bond_types_fit_with_their_scale(self) -> None:
        rng = np.random.default_rng(6)
        vectors = rng.normal(size=(150, 3))
        scale = np.repeat([1.0, -0.1086, 0.2014], 50)  # three kinds of coupling
        true = np.array([0.4, 1.2, -0.7, 12.0, 0.35, 0.0])
        observed = kelfit.solve(vectors, true, scale=scale) + rng.normal(size=150) * 0.1
        start = start_near(true)
        scaled = kelfit.fit(vectors, observed, start, scale=scale)
        assert scaled.params[3:5] == pytest.approx(true[3:5], rel=0.02)
        assert scaled.cost < 0.02
        assert kelfit.fit(vectors, observed, start).cost > 10 * scaled.cost

    def test_sigma_weights_the_rows(self) -> None:
        vectors, observed = synthetic(80, seed=7, noise=0.2)
        observed[:8] += 40.0  # eight wild couplings
        sigma = np.ones(80)
        sigma[:8] = 1e4
        weighted = kelfit.fit(vectors, observed, start_near(TRUE), sigma=sigma)
        unweighted = kelfit.fit(vectors, observed, start_near(TRUE))
        assert abs(weighted.params[3] - TRUE[3]) < 0.1
        assert abs(unweighted.params[3] - TRUE[3]) > 10 * abs(
            weighted.params[3] - TRUE[3]
        )


class TestResult:
    def test_fields_and_fresh_arrays(self) -> None:
        vectors, observed = synthetic(30, seed=8, noise=0.5)
        start = start_near(TRUE)
        arrays = [vectors, observed, start, np.ones(30), np.ones(30)]
        copies = [a.copy() for a in arrays]
        result = kelfit.fit(*arrays[:3], sigma=arrays[3], scale=arrays[4])
        for array, copy in zip(arrays, copies):
            assert array.tobytes() == copy.tobytes()
        assert isinstance(result, kelfit.FitResult)
        params, cost, evaluations, runs = result
        assert params is result.params and params.dtype == np.float64
        assert params.shape == (6,) and params.flags.writeable
        assert not np.shares_memory(params, start)
        assert isinstance(cost, float) and cost == f32(cost)
        assert evaluations > 100 and runs == 1
        # Results travel to and from process pools.
        again = pickle.loads(pickle.dumps(result))
        assert (
            type(again) is kelfit.FitResult
            and again.params.tobytes() == params.tobytes()
        )
        # The cost with the offset free is never worse.
        assert kelfit.fit(vectors, observed, start, offset=True).cost <= cost

    def test_array_likes_and_any_layout_give_the_same_bits(self) -> None:
        vectors, observed = synthetic(25, seed=9, noise=0.5)
        start = start_near(TRUE)
        plain = kelfit.fit(vectors, observed, start).params
        wide = np.hstack([vectors, np.ones((25, 2))])
        for args in [
            (vectors.tolist(), observed.tolist(), start.tolist()),
            (np.asfortranarray(vectors), observed[::-1][::-1], start.astype(">f8")),
            (wide, np.repeat(observed, 2)[::2], start),
        ]:
            assert kelfit.fit(*args).params.tobytes() == plain.tobytes()
        values = kelfit.solve(vectors.tolist(), start.tolist())
        assert values.tobytes() == kelfit.solve(wide, start).tobytes()

    def test_keyword_only_options(self) -> None:
        vectors, observed = synthetic(10, seed=10)
        with pytest.raises(TypeError):
            kelfit.fit(vectors, observed, start_near(TRUE), np.ones(10))
        with pytest.raises(TypeError):
            kelfit.solve(vectors, TRUE, np.ones(10))
        with pytest.raises(TypeError):
            kelfit.fit(vectors, observed, start_near(TRUE), weights=np.ones(10))


def rejected(call, message: str) -> None:
    with pytest.raises(ValueError) as caught:
        call()
    assert str(caught.value) == message


class TestRejectedInput:
    def setup_method(self) -> None:
        self.vectors, self.observed = synthetic(10, seed=11)
        self.start = start_near(TRUE)

    def fit(self, **changes):
        arguments = {"vectors": self.vectors, "observed": self.observed}
        arguments["start"] = self.start
        arguments.update(changes)
        return lambda: kelfit.fit(**arguments)

    @pytest.mark.parametrize("name", ["sigma", "scale"])
    def test_factors(self, name: str) -> None:
        what = "positive" if name == "sigma" else "non-zero"
        bad_values = [np.nan, np.inf, 0.0, 1e-50, 1e39]
        if name == "sigma":
            bad_values.append(-1.0)
        for bad in bad_values:
            factors = np.ones(10)
            factors[9] = bad
            rejected(
                self.fit(**{name: factors}),
                f"{name}[9] must be finite and {what} in single precision",
            )
        rejected(
            self.fit(**{name: np.ones(9)}),
            f"{name} must hold 10 values (one per vector), got 9",
        )
        rejected(
            self.fit(**{name: np.ones((10, 1))}),
            f"{name} must be 1-dimensional, got 2 dimensions",
        )

    def test_arrays(self) -> None:
        rejected(
            self.fit(observed=self.observed[:9]),
            "observed must hold 10 values (one per vector), got 9",
        )
        rejected(
            self.fit(start=self.start[:5]),
            "start must hold 6 values (a1, a2, a3, Da, R, offset), got 5",
        )
        rejected(
            self.fit(vectors=self.vectors[:, :2]),
            "vectors must have at least 3 columns (x, y, z), got 2",
        )
        rejected(
            self.fit(vectors=self.vectors[0]),
            "vectors must be 2-dimensional, got 1 dimensions",
        )
        rejected(
            self.fit(vectors=np.ones((0, 3)), observed=np.ones(0)),
            "vectors must hold at least one vector",
        )
        with pytest.raises(TypeError, match="vectors must be an array of real numbers"):
            kelfit.fit(self.vectors + 1j, self.observed, self.start)

    def test_values_a_fit_cannot_use(self) -> None:
        last_nan = self.observed.copy()
        last_nan[-1] = np.nan
        rejected(self.fit(observed=last_nan), "observed[9] must be finite")
        long_row = self.vectors.copy()
        long_row[4] = [0.0, 1e38, 3.4e38]
        rejected(
            self.fit(vectors=long_row),
            "vectors row 4 is too long: its length overflows single precision",
        )
        dr_overflow = self.start.copy()
        dr_overflow[3:5] = [1e30, 1e10]
        rejected(
            self.fit(start=dr_overflow),
            "start[4] (R) and start[3] (Da) give a rhombic magnitude 1.5 * Da * R "
            "that is not finite in single precision",
        )
        # Finite as a double, but no float: refused as a NaN would be.
        beyond_float = self.start.copy()
        beyond_float[0] = 1e39
        rejected(
            self.fit(start=beyond_float), "start[0] must be finite in single precision"
        )
        nan_offset = self.start.copy()
        nan_offset[5] = np.nan
        rejected(
            self.fit(start=nan_offset, offset=True),
            "start[5] must be finite in single precision",
        )

    def test_starts_whose_squares_could_overflow(self) -> None:
        huge = np.array([1e20] + [0.0] * 9)
        with pytest.raises(ValueError, match="too large for a single-precision fit"):
            self.fit(observed=huge)()
        big_da = self.start.copy()
        big_da[3] = 1e30
        with pytest.raises(ValueError, match="too large"):
            self.fit(start=big_da)()
        # A tiny sigma magnifies the residuals just the same.
        with pytest.raises(ValueError, match="over sigma"):
            self.fit(sigma=np.full(10, 1e-30))()

    def test_solve(self) -> None:
        with pytest.raises(ValueError, match=r"params\[2\] must be finite"):
            kelfit.solve(self.vectors, [0, 0, np.nan, 1, 0, 0])
        with pytest.raises(ValueError, match=r"scale\[0\] must be finite and non-zero"):
            kelfit.solve(self.vectors, self.start, scale=np.zeros(10))
        assert kelfit.solve(np.ones((0, 3)), self.start).shape == (0,)
        far = kelfit.solve(
            [[3e38, 3e38, 3e38], [0, 0, 0], [1, 1, 1]], [0, 0, 0, 1, 1, 0]
        )
        assert np.isnan(far[:2]).all() and np.isfinite(far[2])


def test_threads_give_the_same_bits_as_one_after_another() -> None:
    rng = np.random.default_rng(12)
    cases = [random_case(rng) for _ in range(40)]
    expected = [kelfit.fit(*case).params.tobytes() for case in cases]
    values = [kelfit.solve(case[0], case[2]).tobytes() for case in cases]
    failures: list[str] = []

    def worker(shift: int) -> None:
        for k in range(len(cases)):
            i = (k + shift) % len(cases)
            if kelfit.fit(*cases[i]).params.tobytes() != expected[i]:
                failures.append(f"fit {i}")
            if kelfit.solve(cases[i][0], cases[i][2]).tobytes() != values[i]:
                failures.append(f"solve {i}")

    threads = [threading.Thread(target=worker, args=(s * 10,)) for s in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_every_function_is_documented() -> None:
    assert "orientation tensor" in kelfit.__doc__
    for name in ("fit", "solve", "c_kel_fit", "c_kf_fdc", "c_solve"):
        assert len(getattr(kelfit, name).__doc__) > 60, name
    assert "sigma=None" in kelfit.fit.__text_signature__


class TestRowsAndLengths:
    """Arguments that must match the vectors exactly, and rows named by what is wrong."""

    def setup_method(self) -> None:
        self.vectors, self.observed = synthetic(10, seed=11)
        self.start = start_near(TRUE)

    def test_longer_observed_or_start_is_refused(self) -> None:
        longer = np.append(self.observed, 1.0)
        rejected(
            lambda: kelfit.fit(self.vectors, longer, self.start),
            "observed must hold 10 values (one per vector), got 11",
        )
        rejected(
            lambda: kelfit.fit(self.vectors, self.observed, np.append(self.start, 0.0)),
            "start must hold 6 values (a1, a2, a3, Da, R, offset), got 7",
        )
        rejected(
            lambda: kelfit.solve(self.vectors, np.append(self.start, 0.0)),
            "params must hold 6 values (a1, a2, a3, Da, R, offset), got 7",
        )

    @pytest.mark.parametrize("column", [0, 1, 2], ids=["x", "y", "z"])
    @pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf, 1e39])
    def test_a_component_that_is_not_finite_is_named_as_such(
        self, column: int, bad: float
    ) -> None:
        vectors = self.vectors.copy()
        vectors[6, column] = bad
        message = "vectors row 6 must be finite in single precision"
        rejected(lambda: kelfit.fit(vectors, self.observed, self.start), message)
        params = self.start.copy()
        with pytest.raises(ValueError, match=f"^{message}$"):
            kelfit.c_kf_fdc(5, vectors, self.observed, params)
        assert params.tolist() == self.start.tolist()
