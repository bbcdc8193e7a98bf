"""Bond constants, sign conventions, weighted and scaled fits, media, and the
error estimates that build on them."""

from __future__ import annotations

import math

import numpy as np
import pytest
from kelfit_tools import fit, linear_start, monte_carlo
from kelfit_tools.bonds import (
    STANDARD_LENGTHS,
    bond_type,
    dipolar_constant,
    parse_types,
    reference_constant,
    row_scales,
)
from kelfit_tools.fitting import back_calculate
from kelfit_tools.io import Coupling
from kelfit_tools.media import compare_media, fit_medium
from kelfit_tools.tensor import (
    axis_angles,
    canonical,
    euler_solutions,
    rotation_matrix,
)
from tools_support import dipolar_hz, model_values, random_params

#: A made-up protein: per residue N-H, C-N, CA-C and CA-HA at textbook lengths.
LENGTHS = {("N", "H"): 1.02, ("C", "N"): 1.33, ("CA", "C"): 1.52, ("CA", "HA"): 1.09}


def bonds(rng: np.random.Generator, residues: int = 30):
    vectors, couplings = [], []
    for res in range(1, residues + 1):
        for (a, b), length in LENGTHS.items():
            u = rng.normal(size=3)
            vectors.append(u / np.linalg.norm(u) * length)
            couplings.append(Coupling(res, a, res, b, 0.0, error=0.1, line=res))
    return np.array(vectors), couplings


#: The nuclei of each atom pair of LENGTHS.
NUCLEI = {("N", "H"): "NH", ("C", "N"): "CN", ("CA", "C"): "CC", ("CA", "HA"): "CH"}


def hand_scales(couplings: list[Coupling], vectors: np.ndarray, convention: str):
    """Each row's scale worked out here: its constant at the row's length
    over |D(N-H)| at 1.041 A, signed by the convention."""
    reference = abs(dipolar_hz("N", "H", 1.041))
    out = []
    for c, v in zip(couplings, vectors):
        x, y = NUCLEI[(c.atom_i, c.atom_j)]
        constant = dipolar_hz(x, y, float(np.linalg.norm(v)))
        out.append(constant if convention == "physical" else abs(constant))
    return np.array(out) / reference


def with_values(couplings: list[Coupling], values: np.ndarray) -> list[Coupling]:
    return [
        Coupling(c.residue_i, c.atom_i, c.residue_j, c.atom_j, float(v), error=c.error)
        for c, v in zip(couplings, values)
    ]


class TestBondConstants:
    def test_nh_constant_and_its_sign(self) -> None:
        # The N-H constant at 1.02 A is close to -23 kHz in this convention.
        assert dipolar_constant("N", "H", 1.02) == pytest.approx(-22945, rel=2e-3)
        assert dipolar_constant("CA", "HA", 1.09) > 0
        assert dipolar_constant("C", "N", 1.33) < 0
        # Inverse cube of the distance.
        ratio = dipolar_constant("N", "H", 1.0) / dipolar_constant("N", "H", 2.0)
        assert ratio == pytest.approx(8.0)
        assert reference_constant(1.041) == pytest.approx(21585, rel=1e-3)

    def test_types_are_named_one_way(self) -> None:
        assert bond_type("HN", "N") == "N-H" == bond_type("N", "H")
        assert bond_type("HA2", "CA") == "CA-HA"
        assert bond_type("N", "C") == "C-N"
        assert parse_types("H-N, ca-ha") == ["N-H", "CA-HA"]
        with pytest.raises(ValueError, match="atom pairs"):
            parse_types("N-H-C")

    def test_scales_by_convention_and_length(self) -> None:
        atoms = [("N", "H"), ("CA", "HA"), ("C", "N")]
        distances = [1.041, 1.09, 1.33]
        constants, magnitudes = row_scales(atoms, distances)
        _, physical = row_scales(atoms, distances, convention="physical")
        assert magnitudes[0] == pytest.approx(1.0)
        assert np.all(magnitudes > 0)
        assert np.sign(physical).tolist() == [-1, 1, -1]
        assert np.allclose(np.abs(physical), magnitudes)
        assert np.allclose(physical * reference_constant(), constants)
        _, standard = row_scales(atoms, None, bond_lengths="standard")
        # N-H at its standard length, 1.041 A, is the reference itself.
        assert standard[0] == pytest.approx(1.0, rel=1e-12)
        with pytest.raises(ValueError, match="no standard length"):
            row_scales([("CD1", "HD1")], None, bond_lengths="standard")
        with pytest.raises(ValueError, match="gyromagnetic"):
            row_scales([("O", "H")], [1.0])


class TestMixedTypes:
    @pytest.mark.parametrize("convention", ["magnitudes", "physical"])
    def test_recovers_the_tensor_and_detects_the_convention(
        self, convention: str
    ) -> None:
        rng = np.random.default_rng(7)
        vectors, couplings = bonds(rng)
        truth = np.array([0.4, 1.1, 2.0, -9.0, 0.3, 0.0])
        # Observed values from constants worked out here, not by bonds.py.
        scale = hand_scales(couplings, vectors, convention)
        values = scale * model_values(vectors, truth)
        values += rng.normal(0, 0.1, values.size)
        mf = fit_medium(vectors, with_values(couplings, values))
        assert mf.convention == convention and mf.convention_how == "detected"
        other = "physical" if convention == "magnitudes" else "magnitudes"
        assert mf.convention_chi2[other] > 10 * mf.convention_chi2[convention]
        # chi^2 with sigma 0.1 and noise 0.1: about one per row.
        assert mf.result.reduced_chi2 == pytest.approx(1.0, abs=0.3)
        # The detection's chi^2 is the one the report prints, to the bit.
        assert mf.convention_chi2[convention] == mf.result.chi2
        t = canonical(truth)
        assert mf.tensor.r == pytest.approx(t.r, abs=0.01)
        assert mf.da_nh == pytest.approx(
            (1 if convention == "magnitudes" else -1) * t.da, abs=0.05
        )
        assert mf.da_alignment == pytest.approx(mf.tensor.da / reference_constant())

    def test_one_sign_of_constants_cannot_tell_conventions_apart(self) -> None:
        rng = np.random.default_rng(8)
        vectors, couplings = bonds(rng)
        keep = [i for i, c in enumerate(couplings) if c.atom_j in ("H", "N")]
        v = vectors[keep]
        values = back_calculate(v, [0.1, 0.5, 0.9, 8.0, 0.2, 0.0])
        mf = fit_medium(v, with_values([couplings[i] for i in keep], values))
        assert mf.convention_how == "equivalent" and mf.convention == "magnitudes"
        flipped = fit_medium(
            v, with_values([couplings[i] for i in keep], values), convention="physical"
        )
        # The same N-H alignment either way.
        assert flipped.da_nh == pytest.approx(mf.da_nh, rel=1e-4)

    def test_missing_uncertainties_make_the_fit_unweighted(self) -> None:
        rng = np.random.default_rng(9)
        vectors, couplings = bonds(rng, 10)
        couplings[3] = Coupling(3, "N", 3, "H", 0.0, error=0.0)
        values = rng.normal(0, 5, len(couplings))
        mf = fit_medium(vectors, with_values(couplings, values))
        assert mf.result.sigma is None and math.isnan(mf.result.chi2)
        # A few rows without one unweight the whole fit: a warning names them.
        assert any("unweighted" in w and w.startswith("1 of") for w in mf.warnings)

    def test_a_start_that_ends_worse_is_reported(self) -> None:
        rng = np.random.default_rng(10)
        vectors, couplings = bonds(rng, 15)
        values = back_calculate(vectors[::4], [0.3, 1.2, 0.4, 10.0, 0.5, 0.0])
        nh = [couplings[i] for i in range(0, len(couplings), 4)]
        far = np.array([2.0, 2.5, 1.0, -1.0, 0.1, 0.0])
        mf = fit_medium(vectors[::4], with_values(nh, values), start=far)
        assert mf.linear is not None
        if mf.result.cost > mf.linear.cost * 1.0001:
            assert mf.warnings and "worse than" in mf.warnings[0]
        else:
            assert not mf.warnings


class TestWeightedFit:
    def test_sigma_weights_and_scale_multiplies(self) -> None:
        rng = np.random.default_rng(11)
        v = rng.normal(size=(60, 3))
        p = random_params(rng)
        scale = rng.uniform(0.2, 3.0, 60) * rng.choice([-1, 1], 60)
        values = back_calculate(v, p, scale=scale)
        assert np.allclose(values, back_calculate(v, p) * scale, atol=1e-4)
        sigma = np.full(60, 0.1)
        sigma[:5] = 100.0  # five rows barely count
        noisy = values.copy()
        noisy[:5] += 50.0
        result = fit(v, noisy, sigma=sigma, scale=scale)
        assert np.allclose(result.calculated[5:], values[5:], atol=0.05)
        assert result.chi2 == pytest.approx(
            np.sum((result.residuals / sigma) ** 2), rel=1e-6
        )
        assert result.cost == pytest.approx(result.chi2 / 60, rel=1e-6)
        assert result.reduced_chi2 == pytest.approx(result.chi2 / 55)

    @pytest.mark.parametrize(
        ("kwargs", "message"),
        [
            ({"sigma": np.zeros(10)}, r"sigma\[0\] must be finite and positive"),
            ({"scale": np.r_[np.ones(9), 0.0]}, r"scale\[9\] must be finite"),
            ({"sigma": np.ones(3)}, "sigma must hold 10 values"),
            # Positive in double, zero once narrowed to the module's floats.
            ({"sigma": np.full(10, 1e-50)}, r"sigma\[0\] .* single precision"),
            # The module's own refusals (kelfit.InputError, a ValueError).
            (
                {"observed": np.r_[np.ones(9), 1e300]},
                "too large for the linear solve",
            ),
            # Within the linear solve's range, beyond single precision.
            (
                {"observed": np.r_[np.ones(9), 1e40], "method": "powell"},
                "observed values are too large for a single-precision fit",
            ),
            ({"start": [0, 0, 0, 1e39, 0]}, r"start\[3\] must be finite in single"),
        ],
    )
    def test_rejects_bad_sigma_and_scale(self, kwargs: dict, message: str) -> None:
        v = np.random.default_rng(12).normal(size=(10, 3))
        observed = kwargs.pop("observed", np.ones(10))
        with pytest.raises(ValueError, match=message):
            fit(v, observed, **kwargs)

    def test_nan_observed_is_refused_naming_its_row(self) -> None:
        import kelfit

        v = np.random.default_rng(13).normal(size=(10, 3))
        observed = np.ones(10)
        observed[6] = np.nan
        for method in ("linear", "powell"):
            with pytest.raises(kelfit.InputError, match=r"observed\[6\]") as caught:
                fit(v, observed, method=method)
            assert (caught.value.argument, caught.value.row) == ("observed", 7)
        with pytest.raises(kelfit.InputError, match=r"observed\[6\] must be finite"):
            linear_start(v, observed)

    def test_nearly_coplanar_vectors_cannot_determine_the_tensor(self) -> None:
        rng = np.random.default_rng(14)
        v = rng.normal(size=(40, 3))
        v[:, 2] = 1e-12 * rng.normal(size=40)
        with pytest.raises(ValueError, match="do not determine the tensor"):
            linear_start(v, rng.normal(size=40))

    def test_q_normalised_by_da(self) -> None:
        rng = np.random.default_rng(15)
        v = rng.normal(size=(200, 3))
        p = np.array([0.2, 0.7, 1.3, 7.0, 0.4, 0.0])
        noisy = back_calculate(v, p) + rng.normal(0, 0.5, 200)
        result = fit(v, noisy)
        t = result.tensor()
        expected = result.rmsd / math.sqrt(t.da**2 * (4 + 3 * t.r**2) / 5)
        assert result.q_da == pytest.approx(expected, rel=1e-9)
        # For an isotropic set the two Q values agree roughly.
        assert result.q_da == pytest.approx(result.q, rel=0.25)


class TestMedia:
    def test_same_tensor_has_product_one_and_orthogonal_tensors_near_zero(
        self,
    ) -> None:
        rng = np.random.default_rng(16)
        vectors, couplings = bonds(rng, 20)
        nh = [i for i, c in enumerate(couplings) if c.atom_j == "H"]
        v = vectors[nh]
        rows = [couplings[i] for i in nh]
        a = fit_medium(v, with_values(rows, back_calculate(v, [0, 0, 0, 10, 0, 0])))
        b = fit_medium(
            v, with_values(rows, back_calculate(v, [0, 0, 0, 10, 0, 0])), name="b"
        )
        c = fit_medium(
            v,
            with_values(rows, back_calculate(v, [0, math.pi / 2, 0, 10, 0, 0])),
            name="c",
        )
        same, ab_c, _ = compare_media([a, b, c])
        assert same.scalar_product == pytest.approx(1.0, abs=1e-4)
        assert same.axis_angles_deg[2] == pytest.approx(0.0, abs=0.1)
        # z turned onto y: the axial tensors overlap by -1/2.
        assert ab_c.scalar_product == pytest.approx(-0.5, abs=1e-3)
        assert ab_c.axis_angles_deg[2] == pytest.approx(90.0, abs=0.1)


class TestCanonicalAngles:
    def test_four_solutions_describe_one_tensor(self) -> None:
        rng = np.random.default_rng(17)
        v = rng.normal(size=(20, 3))
        for _ in range(10):
            p = random_params(rng)
            t = canonical(p)
            solutions = euler_solutions(t.axes)
            assert len({tuple(np.round(s, 6)) for s in solutions}) == 4
            first = solutions[0]
            assert 0 <= first[1] <= 90 and 0 <= first[2] < 180
            for s in solutions:
                q = [*np.radians(s), t.da, t.r]
                assert np.allclose(
                    back_calculate(v, q), back_calculate(v, p), atol=1e-3
                )
                assert np.allclose(
                    np.abs(rotation_matrix(*np.radians(s))), np.abs(t.axes), atol=1e-9
                )


class TestErrorEstimates:
    V = np.random.default_rng(18).normal(size=(32, 3))
    OBS = back_calculate(V, [0.3, 1.0, 0.5, -8.0, 0.3, 0.0]) + np.random.default_rng(
        19
    ).normal(0, 0.5, 32)

    def test_spreads_are_sample_deviations_of_the_refits(self) -> None:
        mc = monte_carlo(self.V, self.OBS, 6, seed=1, progress=False, keep_refits=True)
        assert mc.da_sd == pytest.approx(np.std(mc.da, ddof=1))
        assert mc.r_sd == pytest.approx(np.std(mc.r, ddof=1))
        # Dr is R Da, as in the report; 1.5 Da R is the module's coefficient.
        assert mc.dr_sd == pytest.approx(np.std(mc.da * mc.r, ddof=1))
        assert mc.dr_model_sd == pytest.approx(np.std(1.5 * mc.da * mc.r, ddof=1))

    def test_a_flipped_axis_is_the_same_axis(self) -> None:
        axes = rotation_matrix(0.3, 1.0, 2.0)
        assert np.allclose(axis_angles(axes, -axes), 0.0)
        assert np.allclose(axis_angles(axes, axes[[1, 0, 2]])[:2], 90.0)

    def test_bootstrap_draws_every_row(self) -> None:
        # Under one seed the draws are the same; if the last row were never
        # drawn, changing its value could not change any refit.
        best = fit(self.V, self.OBS)
        changed = self.OBS.copy()
        changed[-1] += 40.0
        runs = [
            monte_carlo(
                self.V,
                obs,
                20,
                perturbation="bootstrap",
                result=best,
                seed=2,
                progress=False,
                keep_refits=True,
            )
            for obs in (self.OBS, changed)
        ]
        assert not np.array_equal(runs[0].da, runs[1].da)

    def test_per_row_sigma_sets_the_noise_and_the_weights(self) -> None:
        sigma = np.full(32, 0.05)
        small = monte_carlo(
            self.V, self.OBS, 12, sigma=sigma, seed=3, progress=False, keep_refits=True
        )
        large = monte_carlo(
            self.V,
            self.OBS,
            12,
            sigma=sigma * 40,
            seed=3,
            progress=False,
            keep_refits=True,
        )
        assert math.isnan(small.sigma)
        assert 10 * small.da_sd < large.da_sd
        scale = np.full(32, 2.0)
        scaled = monte_carlo(
            self.V,
            self.OBS,
            12,
            sigma=sigma,
            scale=scale,
            seed=3,
            progress=False,
            keep_refits=True,
        )
        # Twice the constant, half the Da and half its spread.
        assert np.mean(scaled.da) == pytest.approx(np.mean(small.da) / 2, rel=1e-3)


class TestConventionChoice:
    """Both conventions fitted: the clearly better one (chi^2 smaller by a
    factor of 1.5) is detected, a closer call is undecided."""

    @staticmethod
    def medium(noise: float, seed: int):
        rng = np.random.default_rng(seed)
        vectors, couplings = bonds(rng, 12)
        truth = np.array([0.3, 0.9, 1.7, 6.0, 0.35, 0.0])
        scale = hand_scales(couplings, vectors, "physical")
        values = scale * model_values(vectors, truth)
        values += rng.normal(0, noise, values.size)
        return vectors, values, fit_medium(vectors, with_values(couplings, values))

    def test_the_margin_decides_between_detected_and_undecided(self) -> None:
        seen = set()
        for noise in np.geomspace(0.05, 20, 40):
            for seed in range(3):
                _, _, mf = self.medium(float(noise), seed)
                better = min(mf.convention_chi2.values())
                ratio = max(mf.convention_chi2.values()) / better
                if 1.05 < ratio < 1.45:
                    assert mf.convention_how == "undecided", ratio
                    seen.add("undecided")
                elif 1.55 < ratio < 10:
                    assert mf.convention_how == "detected", ratio
                    seen.add("detected")
                assert mf.convention_chi2[mf.convention] == better
        # The sweep met both sides of the margin.
        assert seen == {"undecided", "detected"}

    def test_chi2_is_the_sum_of_squared_weighted_residuals(self) -> None:
        vectors, values, mf = self.medium(0.3, 1)
        sigma = np.array([c.error for c in mf.couplings])
        assert not np.all(sigma == 1.0)  # the weights count
        scale = hand_scales(mf.couplings, vectors, mf.convention)
        calculated = scale * model_values(vectors, mf.result.params)
        chi2 = float(np.sum(((values - calculated) / sigma) ** 2))
        assert mf.convention_chi2[mf.convention] == pytest.approx(chi2, rel=1e-4)


def test_q_da_with_scaled_rows() -> None:
    # Rows of several scales: the isotropic expectation grows with the mean
    # squared scale, Da^2 (4 + 3 R^2) / 5 * mean(scale^2).
    rng = np.random.default_rng(31)
    v = rng.normal(size=(120, 3))
    v /= np.linalg.norm(v, axis=1, keepdims=True)
    scale = rng.choice([1.0, 0.2, 2.0, -0.12], size=120)
    p = np.array([0.2, 0.7, 1.3, 7.0, 0.4, 0.0])
    observed = scale * model_values(v, p) + rng.normal(0, 0.5, 120)
    result = fit(v, observed, scale=scale)
    calculated = scale * model_values(v, result.params)
    rms = math.sqrt(float(np.mean((observed - calculated) ** 2)))
    da, r = result.tensor().da, result.tensor().r
    expected = rms / math.sqrt(da**2 * (4 + 3 * r**2) / 5 * float(np.mean(scale**2)))
    assert result.q_da == pytest.approx(expected, rel=1e-4)
    # The unscaled formula would be off by the root of the mean squared scale.
    unscaled = rms / math.sqrt(da**2 * (4 + 3 * r**2) / 5)
    assert result.q_da != pytest.approx(unscaled, rel=0.05)


def test_nh_length_sets_every_rows_scale() -> None:
    # Da normalised to N-H at 1.02 A: an N-H row at 1.041 A has the scale
    # (1.02 / 1.041)^3, and a C-N row its constant over D(N-H) at 1.02 A.
    rng = np.random.default_rng(12)
    vectors, couplings = bonds(rng, 15)
    reference = abs(dipolar_hz("N", "H", 1.02))
    scale = hand_scales(couplings, vectors, "magnitudes")
    scale *= abs(dipolar_hz("N", "H", 1.041)) / reference
    truth = np.array([0.5, 1.0, 2.2, 7.0, 0.25, 0.0])
    values = scale * model_values(vectors, truth)
    mf = fit_medium(vectors, with_values(couplings, values), nh_length=1.02)
    assert mf.result.scale == pytest.approx(scale, rel=2e-5)
    assert mf.tensor.da == pytest.approx(canonical(truth).da, rel=1e-4)
    assert mf.reference_constant == pytest.approx(reference, rel=2e-5)


@pytest.mark.parametrize(
    ("factor", "said"),
    [(0.975, "2.5% shorter"), (1.0199, None), (1.0201, "2.0% longer")],
)
def test_nh_lengths_beyond_two_percent_are_named(
    factor: float, said: str | None
) -> None:
    # The structure's N-H bonds all at factor x the standard length: beyond
    # 2% (relative, not 0.02 A) the Da at standard lengths is given too.
    pytest.importorskip("gemmi")
    from kelfit_tools import read_couplings, structure_vectors
    from kelfit_tools.example import example

    ex = example()
    matched = structure_vectors(ex.structure, read_couplings(ex.couplings))
    unit = matched.vectors / np.linalg.norm(matched.vectors, axis=1)[:, None]
    done = fit_medium(unit * STANDARD_LENGTHS["N-H"] * factor, matched.couplings)
    notes = [n for n in done.notes if "N-H bonds are" in n]
    if said is None:
        assert notes == []
    else:
        (note,) = notes
        assert f"{said} than the standard 1.041 A" in note
