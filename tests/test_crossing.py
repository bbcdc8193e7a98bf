"""kelfit.fit's fixed parameters, its model values and convergence, and the
faults kelfit.InputError names."""

from __future__ import annotations

import pickle

import kelfit
import numpy as np
import pytest
from conftest import f32
from test_engine import random_case
from test_fit import GOLDEN, start_near, synthetic

#: fixed indices of kelfit.fit and the c_kf_fdc n that varies the same ones.
FIXED_AS_N = [((3, 4), 3), ((4,), 4)]


def fdc(n: int, vectors, observed, start) -> np.ndarray:
    params = np.array(start, dtype=np.float64)
    kelfit.c_kf_fdc(n, vectors, observed, params)
    return params


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return np.asarray(a).tobytes() == np.asarray(b).tobytes()


class TestFixedParameters:
    @pytest.mark.parametrize("fixed, n", FIXED_AS_N)
    def test_same_bits_as_c_kf_fdc_on_the_golden_data(self, fixed, n) -> None:
        for _, _, count, seed, noise, offset, _ in GOLDEN:
            vectors, observed = synthetic(count, seed, noise=noise, offset=offset)
            start = start_near(np.array([0.4, 1.2, -0.7, 12.0, 0.35, 0.0]))
            result = kelfit.fit(vectors, observed, start, fixed=fixed)
            assert same_bits(result.params, fdc(n, vectors, observed, start))

    @pytest.mark.parametrize("fixed, n", FIXED_AS_N)
    def test_same_bits_as_c_kf_fdc_on_random_cases(self, fixed, n) -> None:
        rng = np.random.default_rng(1717 + n)
        for _ in range(500):
            vectors, observed, start = random_case(rng)
            start[5] = 0.0
            result = kelfit.fit(vectors, observed, start, fixed=fixed)
            assert same_bits(result.params, fdc(n, vectors, observed, start))

    def test_held_values_come_back_as_their_single_precision_start(self) -> None:
        vectors, observed = synthetic(60, seed=5, noise=0.3)
        start = np.array([0.3, 1.1, -0.6, 11.3, 0.2875, 0.0])
        for fixed in [(0,), (1, 3), (3,), (4,), (3, 4), (0, 2, 4)]:
            params = kelfit.fit(vectors, observed, start, fixed=fixed).params
            for i in range(6):
                if i in fixed or i == 5:
                    assert params[i] == f32(start[i]), (fixed, i)
                else:
                    assert params[i] != f32(start[i]), (fixed, i)

    def test_orientation_found_with_da_and_r_known(self) -> None:
        true = np.array([0.4, 1.2, -0.7, 12.0, 0.35, 0.0])
        vectors, observed = synthetic(80, seed=9)
        start = true + np.array([0.1, -0.1, 0.1, 0.0, 0.0, 0.0])
        for fixed in [(3, 4), (3,), (4,)]:
            result = kelfit.fit(vectors, observed, start, fixed=fixed)
            assert np.abs(result.values - observed).max() < 0.05, fixed

    def test_held_offset_enters_the_cost(self) -> None:
        true = np.array([0.4, 1.2, -0.7, 12.0, 0.35, 2.5])
        vectors, observed = synthetic(80, seed=4, offset=2.5)
        start = start_near(true)
        result = kelfit.fit(vectors, observed, start, offset=True, fixed=(5,))
        assert result.params[5] == f32(2.5)
        assert np.abs(result.values - observed).max() < 0.05

    def test_nothing_free_is_one_evaluation_of_the_start(self) -> None:
        vectors, observed = synthetic(20, seed=3, noise=1.0)
        start = start_near(np.array([0.4, 1.2, -0.7, 12.0, 0.35, 0.0]))
        result = kelfit.fit(vectors, observed, start, fixed=range(6))
        assert same_bits(result.params, np.array([f32(x) for x in start]))
        residual = observed - kelfit.solve(vectors, result.params)
        assert result.cost == pytest.approx(np.mean(residual**2), rel=1e-6)

    def test_wrong_indices_are_refused(self) -> None:
        vectors, observed = synthetic(10, seed=2)
        start = start_near(np.array([0.4, 1.2, -0.7, 12.0, 0.35, 0.0]))
        for fixed, argument_text in [
            ((6,), "fixed[0] must be a parameter index 0 to 5"),
            ((3, -1), "fixed[1] must be a parameter index 0 to 5"),
            ((4, 4), "fixed[1] repeats parameter 4"),
        ]:
            with pytest.raises(
                kelfit.InputError, match=argument_text.replace("[", r"\[")
            ) as caught:
                kelfit.fit(vectors, observed, start, fixed=fixed)
            assert caught.value.argument == "fixed"
        for fixed in [(1.0,), (True,), 3, ("a1",)]:
            with pytest.raises(TypeError, match="fixed"):
                kelfit.fit(vectors, observed, start, fixed=fixed)
        # A numpy integer is an index like any other.
        kelfit.fit(vectors, observed, start, fixed=np.array([3, 4]))


class TestOneCrossing:
    def test_values_are_solves_to_the_bit(self) -> None:
        rng = np.random.default_rng(3)
        for k in range(60):
            vectors, observed, start = random_case(rng)
            count = len(observed)
            scale = rng.choice([1.0, -0.1, 2.5], size=count) if k % 2 else None
            sigma = rng.uniform(0.5, 2.0, size=count) if k % 3 else None
            offset = bool(k % 4 == 0)
            result = kelfit.fit(
                vectors, observed, start, sigma=sigma, scale=scale, offset=offset
            )
            expected = kelfit.solve(vectors, result.params, scale=scale)
            assert result.values.dtype == np.float64
            assert same_bits(result.values, expected)

    def test_result_keeps_its_four_fields_and_pickles(self) -> None:
        vectors, observed = synthetic(30, seed=8, noise=0.5)
        result = kelfit.fit(
            vectors, observed, start_near(np.array([0.4, 1.2, -0.7, 12.0, 0.35, 0.0]))
        )
        _, cost, _, _ = result
        assert result.converged is True
        again = pickle.loads(pickle.dumps(result))
        assert same_bits(again.values, result.values)
        assert again.converged is True and again.cost == cost


class TestInputError:
    def good(self):
        vectors, observed = synthetic(10, seed=21)
        return (
            vectors,
            observed,
            start_near(np.array([0.4, 1.2, -0.7, 12.0, 0.35, 0.0])),
        )

    def refusal(self, call) -> kelfit.InputError:
        with pytest.raises(kelfit.InputError) as caught:
            call()
        assert isinstance(caught.value, ValueError)
        return caught.value

    def test_faults_name_argument_row_and_parameter(self) -> None:
        vectors, observed, start = self.good()
        sigma = np.ones(10)
        sigma[5] = 0.0
        bad_vectors = vectors.copy()
        bad_vectors[2] = 0.0
        bad_observed = observed.copy()
        bad_observed[9] = np.nan
        bad_start = start.copy()
        bad_start[3] = np.inf
        cases = [
            (
                lambda: kelfit.fit(vectors, observed, start, sigma=sigma),
                "sigma",
                6,
                None,
            ),
            (lambda: kelfit.fit(bad_vectors, observed, start), "vectors", 3, None),
            (lambda: kelfit.fit(vectors, bad_observed, start), "observed", 10, None),
            (lambda: kelfit.fit(vectors, observed, bad_start), "start", None, 3),
            (lambda: kelfit.fit(vectors, observed[:4], start), "observed", None, None),
            (lambda: kelfit.solve(vectors, bad_start), "params", None, 3),
            (lambda: kelfit.solve(vectors, start, scale=sigma), "scale", 6, None),
        ]
        for call, argument, row, parameter in cases:
            error = self.refusal(call)
            assert (error.argument, error.row, error.parameter) == (
                argument,
                row,
                parameter,
            )
            assert str(error).endswith(error.reason)
            assert str(error) != error.reason

    def test_messages_keep_their_text(self) -> None:
        vectors, observed, start = self.good()
        sigma = np.ones(10)
        sigma[5] = -1.0
        error = self.refusal(lambda: kelfit.fit(vectors, observed, start, sigma=sigma))
        assert str(error) == "sigma[5] must be finite and positive in single precision"
        assert error.reason == "must be finite and positive in single precision"

    def test_the_original_entries_raise_plain_value_errors(self) -> None:
        vectors, observed, start = self.good()
        observed[4] = np.nan
        with pytest.raises(ValueError) as caught:
            kelfit.c_kf_fdc(5, vectors, observed, start.copy())
        assert type(caught.value) is ValueError
        assert str(caught.value) == "observed[4] must be finite"

    def test_pickles_with_its_fault(self) -> None:
        vectors, observed, start = self.good()
        observed[4] = np.nan
        error = self.refusal(lambda: kelfit.fit(vectors, observed, start))
        again = pickle.loads(pickle.dumps(error))
        assert type(again) is kelfit.InputError
        assert (again.argument, again.row, str(again)) == ("observed", 5, str(error))
        plain = kelfit.InputError("made by hand")
        assert (plain.argument, plain.row, plain.parameter, plain.reason) == (None,) * 4
