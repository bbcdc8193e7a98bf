"""The report of one fit against quantities worked out here by hand: the
refits' spreads, the principal values, the N-H components in either sign
convention, and strict JSON."""

from __future__ import annotations

import dataclasses
import json
import math

import numpy as np
import pytest
from kelfit_tools import fit, monte_carlo
from kelfit_tools.io import Coupling
from kelfit_tools.media import fit_medium
from kelfit_tools.report.sky import sky_points
from kelfit_tools.report.tensor import fit_report, render_fit
from kelfit_tools.tensor import degree_of_order
from tools_support import model_values

TRUTH = np.array([0.4, 1.1, 2.0, 8.0, 0.4, 0.0])


def unit_vectors(rng: np.random.Generator, count: int) -> np.ndarray:
    v = rng.normal(size=(count, 3))
    return v / np.linalg.norm(v, axis=1, keepdims=True)


def tensor_matrix(params: np.ndarray) -> np.ndarray:
    """The symmetric A with value = u^T A u, recovered from the polar model
    at many unit vectors (not from the package's own matrix)."""
    u = unit_vectors(np.random.default_rng(99), 40)
    values = model_values(u, np.asarray(params, dtype=float))
    x, y, z = u.T
    design = np.column_stack([x * x, y * y, z * z, 2 * x * y, 2 * x * z, 2 * y * z])
    xx, yy, zz, xy, xz, yz = np.linalg.lstsq(design, values, rcond=None)[0]
    return np.array([[xx, xy, xz], [xy, yy, yz], [xz, yz, zz]])


def axes_by_magnitude(matrix: np.ndarray) -> np.ndarray:
    """Principal axes as columns, ordered |value| from smallest (x) to z."""
    values, vectors = np.linalg.eigh(matrix)
    return vectors[:, np.argsort(np.abs(values), kind="stable")]


def sample_sd(values: np.ndarray) -> float:
    mean = sum(values) / len(values)
    return math.sqrt(sum((v - mean) ** 2 for v in values) / (len(values) - 1))


@pytest.fixture(scope="module")
def noisy() -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(21)
    v = unit_vectors(rng, 60)
    return v, model_values(v, TRUTH) + rng.normal(0, 0.6, 60)


class TestRefits:
    def test_spreads_are_sample_deviations(self, noisy: tuple) -> None:
        v, observed = noisy
        result = fit(v, observed)
        mc = monte_carlo(
            v, observed, 6, seed=3, progress=False, result=result, keep_refits=True
        )
        errors = fit_report(result, errors=mc)["errors"]
        da, r = list(mc.da), list(mc.r)
        assert errors["da_sd"] == pytest.approx(sample_sd(da), rel=1e-12)
        assert errors["r_sd"] == pytest.approx(sample_sd(r), rel=1e-12)
        dr = [a * b for a, b in zip(da, r)]
        assert errors["dr_sd"] == pytest.approx(sample_sd(dr), rel=1e-12)
        # With six refits N - 1 and N differ by 10%: the test sees the choice.
        population = sample_sd(dr) * math.sqrt(5 / 6)
        assert errors["dr_sd"] != pytest.approx(population, rel=1e-3)

    def test_axis_spread_is_the_rms_angle(self, noisy: tuple) -> None:
        v, observed = noisy
        result = fit(v, observed)
        mc = monte_carlo(
            v, observed, 12, seed=5, progress=False, result=result, keep_refits=True
        )
        assert mc.matrices is not None
        best = axes_by_magnitude(tensor_matrix(result.params))
        angles = []
        for matrix in mc.matrices:
            refit = axes_by_magnitude(matrix)
            cosines = np.clip(np.abs(np.sum(best * refit, axis=0)), 0.0, 1.0)
            angles.append(np.degrees(np.arccos(cosines)))
        rms = np.sqrt(np.mean(np.square(angles), axis=0))
        mean = np.mean(angles, axis=0)
        assert mc.axis_spread_deg == pytest.approx(rms, rel=1e-4, abs=1e-6)
        # The refits scatter unevenly, so RMS and mean are told apart.
        assert not np.allclose(rms, mean, rtol=1e-2)
        spread = fit_report(result, errors=mc)["errors"]["axis_spread_deg"]
        assert spread == pytest.approx(rms, rel=1e-4, abs=1e-6)


class TestTensor:
    def test_principal_values_are_the_traceless_eigenvalues(self, noisy: tuple) -> None:
        v, observed = noisy
        result = fit(v, observed)
        values = fit_report(result)["tensor"]["principal_values"]
        assert sum(values) == pytest.approx(0.0, abs=1e-9)
        eigen = np.linalg.eigvalsh(tensor_matrix(result.params))
        assert sorted(values) == pytest.approx(sorted(eigen), rel=1e-7, abs=1e-9)
        # Ordered xx, yy, zz by magnitude, zz = 2 Da.
        assert [abs(x) for x in values] == sorted(abs(x) for x in values)
        assert values[2] == pytest.approx(2 * result.tensor().da, rel=1e-9)

    @pytest.mark.parametrize("convention", ["physical", "magnitudes"])
    def test_nh_components_describe_the_couplings(self, convention: str) -> None:
        # N-H rows at the reference length: |scale| 1, and the physical
        # convention's constant is negative, so the couplings a table lists
        # are the model's values with the sign of the convention.
        rng = np.random.default_rng(4)
        v = unit_vectors(rng, 40) * 1.041
        sign = -1.0 if convention == "physical" else 1.0
        observed = sign * model_values(v, TRUTH) + rng.normal(0, 0.05, 40)
        couplings = [
            Coupling(k, "N", k, "H", float(value), error=0.05, line=k)
            for k, value in enumerate(observed, start=1)
        ]
        medium = fit_medium(v, couplings, convention=convention)
        t = fit_report(medium.result, medium=medium)["tensor"]
        # Da(N-H) and Dr(N-H) = R Da(N-H) describe the N-H couplings as
        # listed: the polar model with them gives the observed values.
        assert t["dr_nh"] == pytest.approx(t["r"] * t["da_nh"], rel=1e-12)
        angles = medium.result.angles
        listed = model_values(v, np.array([*angles, t["da_nh"], t["r"]]))
        assert listed == pytest.approx(observed, abs=0.3)
        assert t["da_nh"] == pytest.approx(sign * t["da"], rel=1e-12)
        assert abs(t["da_nh"]) == pytest.approx(8.0, abs=0.1)
        # The degree of order is that of the order matrix the report gives.
        s = np.array(t["order_matrix"])
        assert t["gdo"] == pytest.approx(math.sqrt(2 / 3 * np.sum(s * s)), rel=1e-9)


@pytest.mark.parametrize(
    ("da", "r", "expected"),
    [
        (5.0, 0.0, 1.0),  # axial: S = diag(-1/2, -1/2, 1), |Szz| = 2 Da / C
        (-5.0, 0.0, 1.0),  # the sign of Da does not matter
        (5.0, 2 / 3, math.sqrt(4 / 3)),  # values (0, -10, 10) Hz: S = (0, -1, 1)
        (5.0, 0.4, math.sqrt(2 / 3 * (0.2**2 + 0.8**2 + 1.0**2))),  # S (-.2, -.8, 1)
    ],
)
def test_degree_of_order_worked_by_hand(da: float, r: float, expected: float) -> None:
    constant = 10.0
    assert degree_of_order(da, r, constant) == pytest.approx(expected, rel=1e-12)
    # The same from the tensor recovered from the model's values.
    s = tensor_matrix(np.array([0.4, 1.1, 2.0, da, r])) / constant
    assert math.sqrt(2 / 3 * np.sum(s * s)) == pytest.approx(expected, rel=1e-9)


@pytest.mark.parametrize(
    ("direction", "expected"),
    [
        ((0.0, 0.0, 1.0), (0.0, 90.0)),  # the pole
        ((0.0, 0.0, -2.0), (0.0, 90.0)),  # its negative is the same axis
        ((1.0, 0.0, 0.0), (0.0, 0.0)),  # on the equator, x = longitude
        ((0.0, 1.0, 0.0), (90.0, 0.0)),
        ((-1.0, 0.0, 0.0), (180.0, 0.0)),  # the map's right edge
        ((0.0, -1.0, -1.0), (90.0 * math.sqrt(0.5), 45.0)),  # folded, then x shrunk
        (
            (-1.0, -1.0, 1.0),
            (-135.0 * math.sqrt(2 / 3), math.degrees(math.asin(3**-0.5))),
        ),
    ],
)
def test_sky_projection_of_known_directions(
    direction: tuple[float, float, float], expected: tuple[float, float]
) -> None:
    x, y = sky_points(np.array([direction]))
    assert (float(x[0]), float(y[0])) == pytest.approx(expected, abs=1e-12)


def test_non_finite_numbers_are_null_in_strict_json(noisy: tuple) -> None:
    v, observed = noisy
    result = fit(v, observed)
    mc = monte_carlo(
        v, observed, 4, seed=1, progress=False, result=result, keep_refits=True
    )
    broken = dataclasses.replace(
        mc, da_sd=math.nan, r_sd=math.inf, axis_spread_deg=(math.nan, 1.5, -math.inf)
    )
    report = fit_report(result, errors=broken)
    text = json.dumps(report, allow_nan=False)
    errors = json.loads(text)["errors"]
    assert errors["da_sd"] is None and errors["r_sd"] is None
    assert errors["axis_spread_deg"] == [None, 1.5, None]
    # The text report shows what is missing instead of failing.
    assert "sd Da -, sd R -" in render_fit(report)
