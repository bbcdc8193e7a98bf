"""kelfit.linear: the exact least-squares tensor.

The references are NumPy's own least-squares solve in another basis of the
traceless matrices (the order-matrix elements Syy, Szz, Sxy, Sxz, Syz with
Sxx = -Syy - Szz), the module's model through kelfit.solve, and kelfit.fit's
cost, which no point may beat.
"""

from __future__ import annotations

import pickle
import re
import sys
from concurrent.futures import ThreadPoolExecutor

import kelfit
import numpy as np
import pytest
from conftest import run_python
from tools_support import random_params, shared_data

#: The order matrix must match NumPy's optimum to this, relative to its size.
AGREEMENT = 1e-10

REAL_SETS = [
    ("ubiquitin", "1d3z-model-1.pdb"),
    ("gb3", "1p7e.pdb"),
    ("hewl", "1e8l-model-1.pdb"),
]


def numpy_optimum(vectors, observed, sigma=None, scale=None, offset=False):
    """The order matrix (and offset) by np.linalg.lstsq, in the S basis."""
    u = vectors[..., :3] / np.linalg.norm(vectors[..., :3], axis=-1, keepdims=True)
    x, y, z = u.T
    columns = [y * y - x * x, z * z - x * x, 2 * x * y, 2 * x * z, 2 * y * z]
    k = np.ones(len(observed)) if scale is None else np.asarray(scale)
    w = np.ones(len(observed)) if sigma is None else np.asarray(sigma)
    design = np.column_stack(
        [k * c for c in columns] + ([np.ones_like(x)] if offset else [])
    )
    solution, *_ = np.linalg.lstsq(design / w[:, None], observed / w, rcond=None)
    syy, szz, sxy, sxz, syz = solution[:5]
    matrix = np.array([[-syy - szz, sxy, sxz], [sxy, syy, syz], [sxz, syz, szz]])
    return matrix, (solution[5] if offset else 0.0)


def relative(a, b) -> float:
    return float(np.linalg.norm(a - b) / np.linalg.norm(b))


def real_set(folder: str, structure: str):
    pytest.importorskip("gemmi")
    from kelfit_tools import read_couplings, structure_vectors

    nh = structure_vectors(
        shared_data(folder, structure),
        read_couplings(shared_data(folder, "couplings.tab")),
    )
    return np.asarray(nh.vectors, dtype=float), np.asarray(nh.values, dtype=float)


def random_problem(rng: np.random.Generator, count: int):
    """Random lengths and directions, a random tensor, noise, weights."""
    vectors = rng.normal(size=(count, 3)) * rng.uniform(0.5, 3.0, (count, 1))
    params = random_params(rng, offset=rng.uniform(-3, 3))
    scale = rng.choice([-0.4, 1.0, 2.5], count) * rng.uniform(0.8, 1.2, count)
    sigma = rng.uniform(0.2, 3.0, count)
    observed = kelfit.solve(vectors, params, scale=scale) + rng.normal(0, 1.0, count)
    return vectors, observed, sigma, scale


class TestAgreesWithNumPy:
    @pytest.mark.parametrize(("folder", "structure"), REAL_SETS)
    @pytest.mark.parametrize("offset", [False, True])
    def test_real_nh_couplings(self, folder: str, structure: str, offset: bool) -> None:
        vectors, observed = real_set(folder, structure)
        assert len(observed) > 40
        result = kelfit.linear(vectors, observed, offset=offset)
        matrix, constant = numpy_optimum(vectors, observed, offset=offset)
        assert relative(result.order_matrix, matrix) < AGREEMENT
        assert result.params[5] == pytest.approx(constant, rel=AGREEMENT, abs=1e-12)

    def test_real_set_weighted_and_scaled(self) -> None:
        vectors, observed = real_set("ubiquitin", "1d3z-model-1.pdb")
        length = np.linalg.norm(vectors, axis=1)
        scale = (1.02 / length) ** 3  # the dipolar constant goes as length^-3
        sigma = 0.5 + (np.arange(len(observed)) % 4) * 0.25
        result = kelfit.linear(vectors, observed, sigma=sigma, scale=scale, offset=True)
        matrix, constant = numpy_optimum(vectors, observed, sigma, scale, True)
        assert relative(result.order_matrix, matrix) < AGREEMENT
        assert result.params[5] == pytest.approx(constant, rel=AGREEMENT)

    def test_a_thousand_random_problems(self) -> None:
        rng = np.random.default_rng(17)
        for trial in range(1000):
            vectors, observed, sigma, scale = random_problem(
                rng, int(rng.integers(8, 150))
            )
            kind = trial % 4
            kwargs = {
                "sigma": sigma if kind >= 2 else None,
                "scale": scale if kind % 2 == 1 else None,
                "offset": kind == 3,
            }
            result = kelfit.linear(vectors, observed, **kwargs)
            matrix, constant = numpy_optimum(vectors, observed, **kwargs)
            assert relative(result.order_matrix, matrix) < AGREEMENT, trial
            assert result.params[5] == pytest.approx(constant, rel=1e-9, abs=1e-9), (
                trial
            )


class TestResult:
    def test_params_give_back_the_values_through_solve(self) -> None:
        rng = np.random.default_rng(4)
        for _ in range(300):
            vectors, observed, _, scale = random_problem(rng, 60)
            result = kelfit.linear(vectors, observed, scale=scale, offset=True)
            a1, a2, a3, _, r, _ = result.params
            assert 0 <= a1 < 2 * np.pi and 0 <= a2 <= np.pi / 2 and 0 <= a3 < np.pi
            assert 0 <= r <= 2 / 3
            again = kelfit.solve(vectors, result.params, scale=scale)
            size = np.max(np.abs(result.values))
            np.testing.assert_allclose(again, result.values, rtol=0, atol=3e-6 * size)

    def test_values_and_cost_are_those_of_the_order_matrix(self) -> None:
        rng = np.random.default_rng(9)
        vectors, observed, sigma, scale = random_problem(rng, 80)
        result = kelfit.linear(vectors, observed, sigma=sigma, scale=scale, offset=True)
        a = result.order_matrix
        assert a.shape == (3, 3) and a.dtype == np.float64
        np.testing.assert_array_equal(a, a.T)
        assert abs(np.trace(a)) < 1e-12 * np.abs(a).max()
        u = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
        expected = scale * np.einsum("ni,ij,nj->n", u, a, u) + result.params[5]
        np.testing.assert_allclose(result.values, expected, rtol=1e-12, atol=1e-12)
        cost = np.mean(((observed - result.values) / sigma) ** 2)
        assert isinstance(result.cost, float)
        assert result.cost == pytest.approx(cost, rel=1e-12)

    @pytest.mark.parametrize("offset", [False, True])
    def test_powell_from_the_optimum_finds_nothing_lower(self, offset: bool) -> None:
        # Both minimise the same cost: a linear solve of another cost (sigma
        # squared, the offset scaled, ...) would leave Powell room below it.
        rng = np.random.default_rng(12)
        for _ in range(20):
            vectors, observed, sigma, scale = random_problem(rng, 70)
            kwargs = {"sigma": sigma, "scale": scale, "offset": offset}
            result = kelfit.linear(vectors, observed, **kwargs)
            start = result.params.copy()
            start[:3] += [0.05, -0.04, 0.03]  # from a little way off
            fitted = kelfit.fit(vectors, observed, start, **kwargs)
            assert fitted.cost >= result.cost * (1 - 1e-5)

    def test_result_pickles_and_names_its_fields(self) -> None:
        vectors, observed, *_ = random_problem(np.random.default_rng(2), 30)
        result = kelfit.linear(vectors, observed)
        assert type(result) is kelfit.LinearResult
        again = pickle.loads(pickle.dumps(result))
        assert type(again) is kelfit.LinearResult
        for name in ("params", "order_matrix", "values"):
            np.testing.assert_array_equal(getattr(again, name), getattr(result, name))
        assert again.cost == result.cost
        assert result.params.shape == (6,) and result.values.shape == (30,)


def stack_of(rng: np.random.Generator, problems: int, count: int):
    parts = [random_problem(rng, count) for _ in range(problems)]
    return tuple(np.stack([p[k] for p in parts]) for k in range(4))


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return np.asarray(a).tobytes() == np.asarray(b).tobytes()


class TestStacks:
    def test_each_problem_has_its_own_bits_on_any_number_of_workers(self) -> None:
        vectors, observed, sigma, scale = stack_of(np.random.default_rng(5), 23, 68)
        kwargs = {"sigma": sigma, "scale": scale, "offset": True}
        stacked = [
            kelfit.linear(vectors, observed, workers=k, **kwargs) for k in (1, 2, 3)
        ]
        assert stacked[0].params.shape == (23, 6)
        assert stacked[0].order_matrix.shape == (23, 3, 3)
        assert stacked[0].values.shape == (23, 68)
        assert stacked[0].cost.shape == (23,)
        for other in stacked[1:]:
            for name in ("params", "order_matrix", "values", "cost"):
                assert same_bits(getattr(other, name), getattr(stacked[0], name)), name
        for f in range(23):
            alone = kelfit.linear(
                vectors[f], observed[f], sigma=sigma[f], scale=scale[f], offset=True
            )
            assert same_bits(alone.params, stacked[0].params[f])
            assert same_bits(alone.order_matrix, stacked[0].order_matrix[f])
            assert same_bits(alone.values, stacked[0].values[f])
            assert same_bits(alone.cost, stacked[0].cost[f])

    def test_calls_on_several_threads_give_the_bits_of_one_after_another(self) -> None:
        vectors, observed, *_ = stack_of(np.random.default_rng(6), 8, 50)
        one_by_one = [kelfit.linear(vectors[f], observed[f]) for f in range(8)]
        with ThreadPoolExecutor(4) as pool:
            together = list(pool.map(kelfit.linear, vectors, observed))
        for a, b in zip(one_by_one, together):
            assert same_bits(a.order_matrix, b.order_matrix)
            assert same_bits(a.params, b.params)

    def test_strided_and_wider_input_reads_as_its_contiguous_copy(self) -> None:
        vectors, observed, *_ = stack_of(np.random.default_rng(7), 4, 40)
        wide = np.concatenate([vectors, np.ones((4, 40, 2))], axis=2)
        fortran = np.asfortranarray(wide)
        a = kelfit.linear(vectors, observed)
        b = kelfit.linear(fortran, observed[:, ::-1][:, ::-1], workers=2)
        assert same_bits(a.order_matrix, b.order_matrix)
        c = kelfit.linear(vectors[::2], observed[::2])
        assert same_bits(c.values, a.values[::2])

    @pytest.mark.skipif(
        not sys.platform.startswith("linux"), reason="reads /proc/self/status"
    )
    def test_a_packed_float64_stack_is_read_where_it_lies(self) -> None:
        # 64 MB of input: a copy would raise the call's peak memory by as
        # much again; read in place, the call adds its values and a few
        # work spaces. A process of its own, whose peak can be reset.
        done = run_python(
            """
import numpy as np, kelfit
rng = np.random.default_rng(1)
v = rng.normal(size=(2000, 1000, 3))
o = rng.normal(size=(2000, 1000))
def peak():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith("VmHWM"))
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")
before = peak()
r = kelfit.linear(v, o, workers=2)
print(peak() - before, r.values.nbytes // 1024)
"""
        )
        grown, values = map(int, done.stdout.split())
        assert grown < values + 8 * 1024, (grown, values)

    def test_an_empty_stack_gives_empty_arrays(self) -> None:
        result = kelfit.linear(np.zeros((0, 10, 3)), np.zeros((0, 10)))
        assert result.params.shape == (0, 6) and result.cost.shape == (0,)


def refused(message: str, *args, **kwargs) -> None:
    with pytest.raises(ValueError, match=message):
        kelfit.linear(*args, **kwargs)


class TestRefused:
    def test_the_inputs_fit_refuses_with_the_same_messages(self) -> None:
        vectors, observed, sigma, scale = random_problem(np.random.default_rng(1), 12)
        start = np.array([0.1, 0.2, 0.3, 5.0, 0.2, 0.0])
        zero_row = vectors.copy()
        zero_row[3] = 0.0
        long_row = vectors.copy()
        long_row[4] = [3e38, 3e38, 0.0]
        nan_observed = observed.copy()
        nan_observed[5] = np.nan
        cases = [
            ((zero_row, observed), {}),
            ((long_row, observed), {}),
            ((vectors[:, :2], observed), {}),
            ((vectors[:0], observed[:0]), {}),
            ((vectors, observed[:-1]), {}),
            ((vectors, nan_observed), {}),
            ((vectors, observed), {"sigma": np.where(np.arange(12) == 7, 0.0, sigma)}),
            ((vectors, observed), {"sigma": np.full(12, 1e-50)}),
            ((vectors, observed), {"scale": np.where(np.arange(12) == 2, 0.0, scale)}),
            ((vectors, observed), {"scale": np.full(12, np.inf)}),
            ((vectors, observed), {"scale": scale[:5]}),
        ]
        for args, kwargs in cases:
            with pytest.raises(ValueError) as by_fit:
                kelfit.fit(*args, start, **kwargs)
            with pytest.raises(ValueError) as by_linear:
                kelfit.linear(*args, **kwargs)
            assert str(by_linear.value) == str(by_fit.value)

    def test_shapes_types_and_workers(self) -> None:
        vectors, observed, *_ = stack_of(np.random.default_rng(3), 3, 20)
        refused("2-dimensional .* or 3-dimensional", vectors[0, 0], observed[0])
        refused("got 4 dimensions", vectors[None], observed[None])
        # One value too many, or a problem too few (read past its end).
        refused(
            r"observed must hold 20 values \(one per vector\), got 21",
            vectors[0],
            np.append(observed[0], 1.0),
        )
        refused(
            r"observed must have shape \(3, 20\).*got \(2, 20\)", vectors, observed[:2]
        )
        refused(
            r"observed must have shape \(3, 20\).*got \(3, 19\)",
            vectors,
            observed[:, 1:],
        )
        refused(
            r"observed must have shape \(3, 20\).*got \(20,\)", vectors, observed[0]
        )
        refused(
            r"sigma must have shape \(3, 20\)", vectors, observed, sigma=np.ones(20)
        )
        refused(
            "workers must be between 1 and 1024, got 0", vectors, observed, workers=0
        )
        with pytest.raises(TypeError, match="vectors must be an array of real numbers"):
            kelfit.linear("abc", observed)
        with pytest.raises(TypeError):
            kelfit.linear(vectors, observed, 1.0)  # sigma is keyword-only

    def test_a_stack_names_the_problem_refused(self) -> None:
        vectors, observed, *_ = stack_of(np.random.default_rng(3), 3, 20)
        observed[2, 4] = np.inf
        for workers in (1, 2):  # with 2, problems 0 and 1 are solving meanwhile
            refused(
                r"^problem 2: observed\[4\] must be finite$",
                vectors,
                observed,
                workers=workers,
            )
        observed[2, 4] = 1.0
        vectors[1, :, 2] = 0.0  # one problem in a plane
        refused("^problem 1: the vector directions do not determine", vectors, observed)

    @pytest.mark.parametrize(
        ("argument", "row", "bad", "message"),
        [
            ("vectors", 7, np.nan, r"vectors row 7 must be finite in single precision"),
            ("observed", 3, np.inf, r"observed\[3\] must be finite"),
            ("sigma", 11, 0.0, r"sigma\[11\] must be finite and positive"),
            ("observed", 0, 2.0**500, r"observed\[0\] / sigma is too large"),
        ],
    )
    def test_the_lowest_refused_problem_is_named_whatever_the_workers(
        self, argument: str, row: int, bad: float, message: str
    ) -> None:
        # Each problem is checked by the worker that takes it; a refusal in
        # the middle of a stack, another at its end and a problem that does
        # not determine the tensor before both: the middle one is named, on
        # any number of workers, however they share the problems out.
        vectors, observed, sigma, _ = stack_of(np.random.default_rng(9), 600, 20)
        arrays = {"vectors": vectors, "observed": observed, "sigma": sigma}
        vectors[40, :, 2] = 0.0  # in a plane: rank 3
        arrays[argument][599, row] = bad
        arrays[argument][350, row] = bad
        for workers in (1, 2, 7):
            with pytest.raises(
                kelfit.InputError, match=f"^problem 350: {message}"
            ) as e:
                kelfit.linear(vectors, observed, sigma=sigma, workers=workers)
            assert (e.value.problem, e.value.argument, e.value.row) == (
                350,
                argument,
                row + 1,
            )
        arrays[argument][350] = arrays[argument][349]
        with pytest.raises(kelfit.InputError, match=f"^problem 599: {message}"):
            kelfit.linear(vectors, observed, sigma=sigma, workers=2)

    def test_directions_that_do_not_determine_the_tensor(self) -> None:
        rng = np.random.default_rng(8)
        vectors = rng.normal(size=(30, 3))
        observed = rng.normal(size=30)
        planar = vectors.copy()
        planar[:, 2] = 0.0
        refused("rank 3 of the 5 needed", planar, observed)
        refused(r"rank 4 of the 5 needed \(4 vectors\)", vectors[:4], observed[:4])
        refused("rank 5 of the 6 needed", vectors[:5], observed[:5], offset=True)
        flat = vectors.copy()
        flat[:, 2] *= 1e-11
        refused("condition number .* exceeds the limit 1e\\+10", flat, observed)
        # The same directions, with a sixth vector out of the plane: solved.
        kelfit.linear(
            np.vstack([planar[:4], [[0, 0.6, 0.8], [0.6, 0, 0.8]]]), observed[:6]
        )

    def test_the_condition_number_is_numpys_and_the_limit_holds(self) -> None:
        # Directions ever closer to a plane: the design's condition number
        # grows as 1 / flattening. Refusals quote NumPy's SVD to 3 digits,
        # and 1e10 is where solving stops.
        rng = np.random.default_rng(8)
        vectors = rng.normal(size=(30, 3))
        observed = rng.normal(size=30)

        def condition(flattening: float) -> tuple[np.ndarray, float]:
            flat = vectors * [1.0, 1.0, flattening]
            u = flat / np.linalg.norm(flat, axis=1)[:, None]
            x, y, z = u.T
            design = np.column_stack(
                [x * x - z * z, y * y - z * z, 2 * x * y, 2 * x * z, 2 * y * z]
            )
            return flat, float(np.linalg.cond(design))

        at_limit = 1e-10 * condition(1e-10)[1] / 1e10
        for flattening in (0.3 * at_limit, 0.98 * at_limit):
            flat, expected = condition(flattening)
            assert expected > 1.01e10
            with pytest.raises(ValueError, match="condition number") as caught:
                kelfit.linear(flat, observed)
            quoted = re.search(r"condition number (\S+) exceeds", str(caught.value))
            assert quoted is not None
            assert float(quoted[1]) == pytest.approx(expected, rel=5e-3)
        flat, expected = condition(1.02 * at_limit)
        assert expected < 0.99e10
        kelfit.linear(flat, observed)

    def test_observed_too_large_for_the_sums(self) -> None:
        vectors = np.random.default_rng(1).normal(size=(10, 3))
        observed = np.ones(10)
        observed[6] = 1e200
        refused(r"observed\[6\] is too large for the linear solve", vectors, observed)
        observed[6] = 1e100
        refused(
            r"observed\[6\] / sigma is too large",
            vectors,
            observed,
            sigma=np.full(10, 1e-45),
        )

    def test_reference_counts_are_unchanged(self) -> None:
        vectors, observed, sigma, scale = stack_of(np.random.default_rng(2), 2, 12)
        planar = vectors.copy()
        planar[:, :, 2] = 0.0
        calls = [
            (vectors, observed, sigma, scale),
            (vectors[0], observed[0], sigma[0], scale[0]),
            (planar, observed, sigma, scale),
            (vectors, observed, -sigma, scale),
            (vectors, observed[0], sigma, scale),
        ]
        for call in calls:
            before = [sys.getrefcount(a) for a in call]
            for _ in range(3):
                try:
                    kelfit.linear(
                        call[0], call[1], sigma=call[2], scale=call[3], workers=2
                    )
                except ValueError:
                    pass
            assert [sys.getrefcount(a) for a in call] == before
