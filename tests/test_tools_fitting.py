"""fit, back_calculate, linear_start and the tensor conversions."""

from __future__ import annotations

import dataclasses
import math

import numpy as np
import pytest
from kelfit_tools import fit, linear_start
from kelfit_tools.fitting import back_calculate
from kelfit_tools.tensor import canonical, rotation_matrix, tensor_from_params
from tools_support import model_values, random_params


def directions(rng: np.random.Generator, count: int = 40) -> np.ndarray:
    # Lengths vary: only the direction may matter.
    return rng.normal(size=(count, 3)) * rng.uniform(0.5, 3.0, size=(count, 1))


class TestTensorConversions:
    def test_quadratic_form_matches_the_polar_model(self) -> None:
        rng = np.random.default_rng(1)
        v = directions(rng)
        u = v / np.linalg.norm(v, axis=1)[:, None]
        for _ in range(20):
            p = random_params(rng)
            a = tensor_from_params(p)
            assert np.allclose(np.trace(a), 0.0, atol=1e-12)
            quad = np.einsum("ni,ij,nj->n", u, a, u)
            assert np.allclose(quad, model_values(v, p), atol=1e-9)

    @pytest.mark.parametrize("r", [0.0, 0.3, 2 / 3, 0.9, 1.7, -0.4])
    def test_canonical_form_keeps_the_tensor_and_bounds_r(self, r: float) -> None:
        rng = np.random.default_rng(2)
        v = directions(rng)
        for _ in range(10):
            p = random_params(rng)
            p[4] = r
            t = canonical(p)
            assert -1e-12 <= t.r <= 2 / 3 + 1e-12
            assert np.allclose(t.axes @ t.axes.T, np.eye(3), atol=1e-12)
            assert np.linalg.det(t.axes) == pytest.approx(1.0)
            assert np.allclose(t.axes, rotation_matrix(*t.angles), atol=1e-9)
            again = [t.a1, t.a2, t.a3, t.da, t.r]
            assert np.allclose(model_values(v, again), model_values(v, p), atol=1e-9)

    def test_gimbal_lock_angles_still_describe_the_tensor(self) -> None:
        v = directions(np.random.default_rng(3))
        for a2 in (0.0, math.pi):
            p = np.array([0.7, a2, 0.4, -9.0, 0.3])
            t = canonical(p)
            again = [t.a1, t.a2, t.a3, t.da, t.r]
            assert np.allclose(model_values(v, again), model_values(v, p), atol=1e-9)


class TestLinearStart:
    @pytest.mark.parametrize("offset", [False, True])
    def test_round_trip_through_the_module(self, offset: bool) -> None:
        rng = np.random.default_rng(4)
        v = directions(rng, 30)
        for _ in range(10):
            p = random_params(rng, offset=rng.uniform(-3, 3) if offset else 0.0)
            values = back_calculate(v, p)
            start = linear_start(v, values, offset=offset)
            assert 0.0 <= start[4] <= 2 / 3 + 1e-12
            # Compare values, not angles: many triples give one tensor.
            assert np.allclose(back_calculate(v, start), values, atol=1e-4)

    def test_is_the_least_squares_optimum(self) -> None:
        rng = np.random.default_rng(5)
        v = directions(rng, 25)
        observed = model_values(v, random_params(rng)) + rng.normal(0, 1.0, 25)
        best = linear_start(v, observed)
        cost = np.mean((observed - model_values(v, best)) ** 2)
        for _ in range(50):
            nearby = best[:5] + rng.normal(0, 1e-3, 5)
            assert np.mean((observed - model_values(v, nearby)) ** 2) >= cost

    def test_offset_only_fitted_when_asked(self) -> None:
        rng = np.random.default_rng(6)
        v = directions(rng, 30)
        p = random_params(rng, offset=2.5)
        values = model_values(v, p)
        assert linear_start(v, values)[5] == 0.0
        assert linear_start(v, values, offset=True)[5] == pytest.approx(2.5)

    @pytest.mark.parametrize(
        ("vectors", "message"),
        [
            (np.eye(3)[[0, 1, 2, 0]], "rank 2 of the 5 needed"),
            # All in one plane: the tensor is not determined.
            ([[math.cos(t), math.sin(t), 0] for t in np.linspace(0, 3, 12)], "rank"),
            ([[1, 0, 0]] * 5 + [[0, 0, 0]], "row 5 has zero length"),
            ([[1, 0, 0]] * 5 + [[np.nan, 0, 0]], "row 5 must be finite"),
            ([1.0, 2.0, 3.0], "N x 3"),
        ],
    )
    def test_rejects_data_that_cannot_determine_a_tensor(
        self, vectors: object, message: str
    ) -> None:
        count = len(np.atleast_2d(vectors))
        with pytest.raises(ValueError, match=message):
            linear_start(vectors, np.ones(count))


class TestFit:
    def test_recovers_a_known_tensor_and_fills_the_result(self) -> None:
        rng = np.random.default_rng(7)
        v = directions(rng, 35)
        truth = random_params(rng)
        observed = back_calculate(v, truth)
        result = fit(v, observed)
        assert result.n == 35
        assert result.q < 1e-3 and result.pearson_r > 0.99999
        assert np.allclose(result.calculated, observed, atol=1e-3)
        assert np.allclose(result.residuals, observed - result.calculated)
        assert result.cost == pytest.approx(np.mean(result.residuals**2))
        assert result.rmsd == pytest.approx(math.sqrt(result.cost))
        assert result.dr == pytest.approx(result.da * result.r)
        assert result.dr_model == pytest.approx(1.5 * result.da * result.r)
        assert result.offset == 0.0 and not result.offset_fitted
        assert canonical(result.params).da == pytest.approx(
            canonical(truth).da, rel=1e-4
        )

    def test_a_single_sigma_or_scale_stands_for_every_row(self) -> None:
        rng = np.random.default_rng(9)
        v = directions(rng, 12)
        observed = model_values(v, random_params(rng)) + rng.normal(0, 0.5, 12)
        one = fit(v, observed, sigma=0.5, scale=2.0)
        rows = fit(v, observed, sigma=np.full(12, 0.5), scale=np.full(12, 2.0))
        assert one.params.tolist() == rows.params.tolist()
        assert one.chi2 == rows.chi2
        assert linear_start(v, observed, sigma=0.5).tolist() == (
            linear_start(v, observed, sigma=np.full(12, 0.5)).tolist()
        )

    def test_q_and_r_follow_their_definitions(self) -> None:
        rng = np.random.default_rng(8)
        v = directions(rng, 40)
        observed = model_values(v, random_params(rng)) + rng.normal(0, 2.0, 40)
        result = fit(v, observed)

        def rms(x: np.ndarray) -> float:
            return math.sqrt(np.mean(np.square(x)))

        assert result.q == pytest.approx(rms(result.residuals) / rms(observed))
        assert result.pearson_r == pytest.approx(
            np.corrcoef(observed, result.calculated)[0, 1]
        )

    def test_offset(self) -> None:
        rng = np.random.default_rng(9)
        v = directions(rng, 40)
        truth = random_params(rng, offset=-4.0)
        result = fit(v, model_values(v, truth), offset=True)
        assert result.offset_fitted
        assert result.offset == pytest.approx(-4.0, abs=1e-3)
        assert np.allclose(result.calculated, model_values(v, truth), atol=1e-3)

    def test_never_touches_the_callers_arrays(self) -> None:
        rng = np.random.default_rng(10)
        v = directions(rng, 30)
        observed = model_values(v, random_params(rng))
        start = np.array([0.1, 0.2, 0.3, 5.0, 0.2, 1.5])
        kept = (start.copy(), v.copy(), observed.copy())
        for offset in (False, True):
            fit(v, observed, start, offset=offset)
            for before, after in zip(kept, (start, v, observed)):
                assert np.array_equal(before, after)

    def test_without_offset_a_start_offset_is_ignored(self) -> None:
        rng = np.random.default_rng(11)
        v = directions(rng, 30)
        observed = model_values(v, random_params(rng))
        start = linear_start(v, observed)
        plain = fit(v, observed, start[:5])
        start[5] = 7.0
        assert fit(v, observed, start).params.tolist() == plain.params.tolist()

    def test_result_is_immutable(self) -> None:
        rng = np.random.default_rng(12)
        v = directions(rng, 20)
        result = fit(v, model_values(v, random_params(rng)))
        with pytest.raises(dataclasses.FrozenInstanceError):
            result.da = 1.0  # type: ignore[misc]
        with pytest.raises(ValueError, match="read-only"):
            result.calculated[0] = 0.0

    @pytest.mark.parametrize(
        ("observed", "start", "message"),
        [
            (np.ones(4), None, "must hold 5 values"),
            (np.ones(5), [0, 0, 0, 1], "5 values"),
        ],
    )
    def test_rejects_bad_shapes(
        self, observed: np.ndarray, start: object, message: str
    ) -> None:
        with pytest.raises(ValueError, match=message):
            fit(np.eye(3)[[0, 1, 2, 0, 1]], observed, start)


def test_back_calculate_adds_the_offset_and_matches_the_model() -> None:
    rng = np.random.default_rng(13)
    v = directions(rng, 50)
    p = random_params(rng, offset=3.25)
    assert np.allclose(back_calculate(v, p), model_values(v, p), atol=1e-4)
    assert np.allclose(back_calculate(v, p[:5]) + 3.25, back_calculate(v, p))


class TestOneCrossingPerFit:
    """kelfit_tools.fit asks the module once and takes its values and cost."""

    @staticmethod
    def data(seed: int = 31):
        import kelfit

        rng = np.random.default_rng(seed)
        vectors = rng.normal(size=(40, 3))
        true = np.array([0.4, 1.2, -0.7, 12.0, 0.35, 0.0])
        observed = kelfit.solve(vectors, true) + rng.normal(size=40) * 0.5
        return vectors, observed

    def test_no_second_solve(self, monkeypatch: pytest.MonkeyPatch) -> None:
        import kelfit
        import kelfit_tools

        vectors, observed = self.data()

        def refuse(*args: object, **kwargs: object) -> None:
            raise AssertionError("kelfit.solve called again for a fit just made")

        monkeypatch.setattr(kelfit, "solve", refuse)
        result = kelfit_tools.fit(vectors, observed, sigma=np.full(40, 0.5))
        fixed = kelfit_tools.fit(vectors, observed, fixed={"da": 12.0, "r": 0.35})
        assert result.converged and fixed.converged

    def test_cost_and_values_are_the_modules(self) -> None:
        import kelfit
        import kelfit_tools

        vectors, observed = self.data()
        result = kelfit_tools.fit(vectors, observed, offset=True, method="powell")
        direct = kelfit.fit(vectors, observed, result.params, offset=True)
        module = kelfit.fit(
            vectors, observed, kelfit_tools.linear_start(vectors, observed, offset=True),
            offset=True,
        )  # fmt: skip
        assert result.cost == module.cost
        assert result.calculated.tobytes() == module.values.tobytes()
        assert np.isfinite(direct.cost)

    def test_fixed_by_name(self) -> None:
        import kelfit_tools

        vectors, observed = self.data()
        result = kelfit_tools.fit(vectors, observed, fixed={"Da": -7.8, "r": 0.17})
        assert result.da == np.float32(-7.8) and result.r == np.float32(0.17)
        assert result.fixed == ("da", "r")
        assert result.free_parameters == 3
        free = kelfit_tools.fit(vectors, observed)
        assert result.cost > free.cost
        offset = kelfit_tools.fit(vectors, observed + 2.0, fixed={"offset": 2.0})
        assert offset.offset == 2.0 and not offset.offset_fitted
        assert offset.rmsd == pytest.approx(free.rmsd, rel=1e-3)
        with pytest.raises(ValueError, match="cannot fix 'rhombicity'"):
            kelfit_tools.fit(vectors, observed, fixed={"rhombicity": 0.1})

    def test_convergence_is_reported(self) -> None:
        from dataclasses import replace

        from kelfit_tools.fitting import convergence_warning

        vectors, observed = self.data()
        import kelfit_tools

        result = kelfit_tools.fit(vectors, observed)
        assert convergence_warning(result) is None
        stopped = replace(result, converged=False)
        assert "iteration limit" in (convergence_warning(stopped) or "")


class TestWeightsAndCounts:
    """Sigma, the design rows, the cost and the free parameters, pinned by hand."""

    def problem(self, count: int = 20) -> tuple[np.ndarray, np.ndarray]:
        rng = np.random.default_rng(11)
        v = directions(rng, count)
        return v, model_values(v, random_params(rng)) + rng.normal(0, 1.0, count)

    def test_a_zero_sigma_is_refused_naming_its_row(self) -> None:
        v, o = self.problem()
        sigma = np.ones(len(o))
        sigma[2] = 0.0
        from kelfit_tools.fitting import design_matrix, result_from_params

        with pytest.raises(ValueError, match=r"sigma of row 3 must be .* positive"):
            design_matrix(v, sigma=sigma)
        with pytest.raises(ValueError, match=r"sigma of row 3 must be .* positive"):
            result_from_params(v, o, np.zeros(6), offset_fitted=False, sigma=sigma)
        with pytest.raises(ValueError, match=r"sigma\[2\] must be .* positive"):
            fit(v, o, sigma=sigma)

    def test_weighted_design_rows_are_the_rows_over_sigma(self) -> None:
        from kelfit_tools.fitting import design_matrix

        v, _ = self.problem()
        sigma = np.linspace(0.5, 4.0, len(v))
        plain = design_matrix(v, offset=True)
        assert np.array_equal(plain[:, 5], np.ones(len(v)))
        np.testing.assert_allclose(
            design_matrix(v, offset=True, sigma=sigma), plain / sigma[:, None]
        )

    def test_cost_without_sigma_is_the_mean_squared_residual(self) -> None:
        from kelfit_tools.fitting import result_from_params

        v, o = self.problem()
        p = np.array([0.3, 1.1, -0.4, 8.0, 0.2, 0.0])
        got = result_from_params(v, o, p, offset_fitted=False)
        expected = float(np.mean((o - model_values(v, p)) ** 2))
        assert got.cost == pytest.approx(expected, rel=1e-5)

    @pytest.mark.parametrize("offset", [False, True])
    def test_a_fixed_offset_is_not_a_free_parameter(self, offset: bool) -> None:
        v, o = self.problem()
        held = fit(v, o, offset=offset, fixed={"offset": 0.5}, method="powell")
        assert held.params[5] == 0.5
        assert not held.offset_fitted and held.free_parameters == 5
        free = fit(v, o, offset=True, method="powell")
        assert free.offset_fitted and free.free_parameters == 6
