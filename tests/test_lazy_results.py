"""A fit's result: statistics derived on first access, results stacked,
packed for another process and canonical frames of a whole stack, all
equal to what one fit alone gives."""

from __future__ import annotations

import dataclasses
import math
import pickle

import kelfit
import numpy as np
import pytest
from kelfit_tools import fit
from kelfit_tools.fitting import FitResult, PackedResults, canonical_tensors, fit_stack
from kelfit_tools.tensor import canonical, principal_frames, tensor_from_matrix
from tools_support import random_params


def _problem(seed: int, count: int = 30) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    vectors = rng.normal(size=(count, 3))
    observed = kelfit.solve(vectors, random_params(rng)) + rng.normal(0, 0.5, count)
    return vectors, observed


def _same(a: FitResult, b: FitResult) -> None:
    """Every field and every derived statistic, to the bit."""
    for f in dataclasses.fields(FitResult):
        x, y = getattr(a, f.name), getattr(b, f.name)
        if isinstance(x, np.ndarray) or isinstance(y, np.ndarray):
            assert np.asarray(x).tobytes() == np.asarray(y).tobytes(), f.name
        else:
            assert x == y, f.name
    for name in ("dr", "rmsd", "q", "pearson_r", "q_da"):
        assert getattr(a, name) == getattr(b, name), name
    assert a.residuals.tobytes() == b.residuals.tobytes()
    assert (math.isnan(a.chi2) and math.isnan(b.chi2)) or a.chi2 == b.chi2


class TestDerivedStatistics:
    def test_statistics_match_their_definitions(self) -> None:
        vectors, observed = _problem(1)
        sigma = np.linspace(0.5, 1.5, observed.size)
        scale = np.linspace(0.9, 1.1, observed.size)
        r = fit(vectors, observed, sigma=sigma, scale=scale)
        calc = r.calculated
        res = observed - calc
        assert np.array_equal(r.residuals, res)
        assert r.rmsd == pytest.approx(np.sqrt(np.mean(res**2)), rel=1e-13)
        assert r.q == pytest.approx(
            np.sqrt(np.mean(res**2) / np.mean(observed**2)), rel=1e-13
        )
        assert r.pearson_r == pytest.approx(np.corrcoef(observed, calc)[0, 1], 1e-12)
        assert r.chi2 == pytest.approx(np.sum((res / sigma) ** 2), rel=1e-13)
        expected = abs(r.da) * np.sqrt((4 + 3 * r.r**2) / 5 * np.mean(scale**2))
        assert r.q_da == pytest.approx(r.rmsd / expected, rel=1e-13)
        assert r.dr == r.r * r.da
        # The cost is the module's, and is the statistic it names.
        assert r.cost == pytest.approx(r.chi2 / observed.size, rel=1e-12)

    def test_a_result_holds_every_field_and_survives_replace_and_pickle(self) -> None:
        vectors, observed = _problem(2)
        r = fit(vectors, observed)
        assert {f.name for f in dataclasses.fields(FitResult)} <= set(vars(r))
        _same(r, dataclasses.replace(r))
        # Pickled before and after the statistics were derived.
        _same(r, pickle.loads(pickle.dumps(r)))
        _ = r.rmsd, r.q_da, r.tensor()
        _same(r, pickle.loads(pickle.dumps(r)))
        with pytest.raises(dataclasses.FrozenInstanceError):
            r.da = 1.0  # type: ignore[misc]
        with pytest.raises(ValueError):
            r.calculated[0] = 0.0

    def test_the_callers_arrays_are_not_kept(self) -> None:
        vectors, observed = _problem(3)
        stack_v = np.stack([vectors, vectors])
        stack_o = np.stack([observed, observed + 1.0])
        sigma = np.ones_like(stack_o)
        alone = fit(vectors, observed, sigma=sigma[0])
        stacked = fit_stack(stack_v, stack_o, sigma=sigma)
        single_o = observed.copy()
        single = fit(vectors, single_o)
        # Changing the inputs afterwards changes no result.
        stack_o[:] = 0.0
        sigma[:] = 7.0
        single_o[:] = 0.0
        _same(stacked[0], alone)
        assert np.array_equal(stacked[1].observed, observed + 1.0)
        assert np.array_equal(single.observed, observed)
        assert not stacked[0].observed.flags.writeable


class TestPackedResults:
    def test_packed_results_unpack_to_the_same_bits(self) -> None:
        problems = [_problem(seed) for seed in range(10, 14)]
        results = [fit(v, o) for v, o in problems]
        results.append(fit(*problems[0], method="powell"))
        results.append(fit(*problems[1], offset=True, fixed={"r": 0.2}))
        _ = results[0].rmsd  # a derived statistic already taken travels too
        packed = pickle.loads(pickle.dumps(PackedResults(results)))
        assert len(packed) == len(results)
        for before, after in zip(results, packed):
            _same(before, after)
            assert not after.observed.flags.writeable

    @pytest.mark.parametrize("case", ["sigma-on-some", "lengths-differ", "empty"])
    def test_results_that_do_not_stack_travel_as_they_are(self, case: str) -> None:
        v, o = _problem(20)
        if case == "sigma-on-some":
            results = [fit(v, o), fit(v, o, sigma=np.ones(o.size))]
        elif case == "lengths-differ":
            results = [fit(v, o), fit(v[:20], o[:20])]
        else:
            results = []
        packed = pickle.loads(pickle.dumps(PackedResults(results)))
        assert len(packed) == len(results)
        for before, after in zip(results, packed):
            _same(before, after)


def _frame(m: np.ndarray) -> tuple[float, float, np.ndarray]:
    """Da, R and axes of one matrix, from the definition: eigenvalues by
    size, Da = Azz / 2, 1.5 Da R = (Axx - Ayy) / 2, a right-handed frame."""
    values, vectors = np.linalg.eigh(0.5 * (m + m.T))
    order = np.argsort(np.abs(values), kind="stable")
    axx, ayy, azz = values[order]
    axes = vectors[:, order].T.copy()
    if np.linalg.det(axes) < 0:
        axes[0] = -axes[0]
    da = 0.5 * azz
    r = 0.5 * (axx - ayy) / (1.5 * da) if da != 0 else 0.0
    return float(da), float(r), axes


class TestPrincipalFrames:
    def test_each_frame_of_a_stack_is_its_matrix_alone(self) -> None:
        rng = np.random.default_rng(7)
        matrices = []
        for _ in range(50):
            a = rng.normal(size=(3, 3))
            a = a + a.T
            matrices.append(a - np.trace(a) / 3 * np.eye(3))
        matrices.append(np.zeros((3, 3)))  # Da = 0: R is 0
        matrices.append(np.diag([1.0, 1.0, -2.0]))  # axial, repeated values
        da, r, axes = principal_frames(np.array(matrices))
        for k, m in enumerate(matrices):
            d, q, frame = _frame(m)
            assert (da[k], r[k]) == (d, q), k
            assert axes[k].tobytes() == frame.tobytes(), k
            assert np.linalg.det(axes[k]) > 0
            # One matrix alone is the same frame as within the stack.
            t = tensor_from_matrix(m)
            assert (t.da, t.r, t.axes.tobytes()) == (d, q, frame.tobytes())
        # Canonical: |Azz| >= |Ayy| >= |Axx|, so 0 <= R <= 2/3.
        assert np.all((r >= 0) & (r <= 2 / 3 + 1e-12))
        assert (da[-2], r[-2]) == (0.0, 0.0)


def test_canonical_tensors_of_many_results_are_each_results_own() -> None:
    problems = [_problem(seed) for seed in range(30, 36)]
    results = [fit(v, o) for v, o in problems]
    alone = [canonical(r.params) for r in results]  # computed apart
    _ = results[2].tensor()  # one already taken is kept as it is
    tensors = canonical_tensors(results)
    for r, t, a in zip(results, tensors, alone):
        assert r.tensor() is t
        assert (t.a1, t.a2, t.a3, t.da, t.r) == (a.a1, a.a2, a.a3, a.da, a.r)
        assert t.axes.tobytes() == a.axes.tobytes()
        assert not t.axes.flags.writeable
    assert canonical_tensors([]) == []
