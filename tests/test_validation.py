"""Free sets, K-fold cross-validation and outlier rejection.

Predictions are checked against an independent least-squares solve of the
linear model (value = u^T A u with A traceless symmetric), written here
from the model's definition; the package's fits are Powell refinements in
single precision, so the two agree to a few parts in a million.
"""

from __future__ import annotations

import json

import numpy as np
import pytest
from kelfit_tools import fit
from kelfit_tools.example import example
from kelfit_tools.validation import (
    cross_validate,
    free_mask,
    free_validation,
    reject_outliers,
)
from tools_support import (
    chained_table,
    model_values,
    random_params,
    run_json,
    run_kelfit,
    structure_args,
)


def lstsq_predict(train_v, train_o, test_v):
    """Fit the five elements of a traceless symmetric A by numpy's lstsq on
    unit vectors, and predict u^T A u for ``test_v``."""

    def design(v):
        u = v / np.linalg.norm(v, axis=1)[:, None]
        x, y, z = u.T
        return np.column_stack(
            [x * x - z * z, y * y - z * z, 2 * x * y, 2 * x * z, 2 * y * z]
        )

    coef, *_ = np.linalg.lstsq(design(train_v), train_o, rcond=None)
    return design(test_v) @ coef


def q_of(observed, calculated):
    return np.sqrt(np.mean((observed - calculated) ** 2) / np.mean(observed**2))


@pytest.fixture
def data():
    rng = np.random.default_rng(11)
    v = rng.normal(size=(80, 3))
    observed = model_values(v, random_params(rng)) + rng.normal(0, 0.8, 80)
    return v, observed


class TestFree:
    def test_the_free_set_is_reproducible_and_sized(self) -> None:
        a = free_mask(100, 0.1, np.random.default_rng(3))
        b = free_mask(100, 0.1, np.random.default_rng(3))
        c = free_mask(100, 0.1, np.random.default_rng(4))
        assert a.sum() == 10 and np.array_equal(a, b) and not np.array_equal(a, c)
        assert free_mask(10, 0.01, np.random.default_rng(0)).sum() == 1
        with pytest.raises(ValueError, match="between 0 and 1"):
            free_mask(10, 1.0, np.random.default_rng(0))

    def test_free_q_is_the_q_of_a_prediction_by_the_working_rows(self, data):
        v, observed = data
        free = np.zeros(80, dtype=bool)
        free[::5] = True
        got = free_validation(v, fit(v, observed), free)
        expected = lstsq_predict(v[~free], observed[~free], v[free])
        assert np.allclose(got.calculated, expected, atol=1e-3)
        assert got.q_free == pytest.approx(q_of(observed[free], expected), rel=1e-3)
        assert got.result.n == 64
        work = lstsq_predict(v[~free], observed[~free], v[~free])
        assert got.q_work == pytest.approx(q_of(observed[~free], work), rel=1e-3)

    def test_refuses_an_empty_free_set_or_too_few_working_rows(self, data):
        v, observed = data
        result = fit(v, observed)
        with pytest.raises(ValueError, match="at least one"):
            free_validation(v, result, np.zeros(80, dtype=bool))
        almost_all = np.ones(80, dtype=bool)
        almost_all[:3] = False
        with pytest.raises(ValueError, match="a fit needs at least 6"):
            free_validation(v, result, almost_all)


def test_k_fold_predicts_every_row_once_from_the_others(data) -> None:
    v, observed = data
    got = cross_validate(v, fit(v, observed), 5, np.random.default_rng(2))
    assert sorted(np.bincount(got.fold).tolist()) == [16] * 5
    for k in range(5):
        free = got.fold == k
        expected = lstsq_predict(v[~free], observed[~free], v[free])
        assert np.allclose(got.calculated[free], expected, atol=1e-3)
        assert got.q_free[k] == pytest.approx(q_of(observed[free], expected), rel=1e-3)
    assert got.q_sd == pytest.approx(np.std(got.q_free, ddof=1))
    assert got.q_pooled == pytest.approx(q_of(observed, got.calculated))
    again = cross_validate(v, fit(v, observed), 5, np.random.default_rng(2))
    assert np.array_equal(again.fold, got.fold)


class TestReject:
    @pytest.mark.parametrize("weighted", [True, False])
    def test_leaves_out_the_planted_outliers_and_nothing_else(self, weighted) -> None:
        rng = np.random.default_rng(5)
        v = rng.normal(size=(120, 3))
        observed = model_values(v, random_params(rng)) + rng.normal(0, 0.5, 120)
        planted = [7, 40, 99]
        observed[planted] += np.array([12.0, -15.0, 10.0])
        sigma = np.full(120, 0.5) if weighted else None
        result = fit(v, observed, sigma=sigma)
        done = reject_outliers(v, result, 4.0)
        assert sorted(e.index for e in done.excluded) == planted
        assert done.measure == ("sigma" if weighted else "rms")
        assert done.q_after < done.q_before
        # The last fit is the fit of the kept rows, and each step's Q
        # chains onto the next.
        keep = np.ones(120, dtype=bool)
        keep[planted] = False
        assert np.array_equal(done.kept, keep)
        alone = fit(
            v[keep], observed[keep], sigma=None if sigma is None else sigma[keep]
        )
        assert np.array_equal(done.result.params, alone.params)
        steps = done.excluded
        assert steps[0].q_before == done.q_before
        assert all(a.q_after == b.q_before for a, b in zip(steps, steps[1:]))
        assert steps[-1].q_after == done.q_after

    def test_clean_data_keeps_everything(self, data) -> None:
        v, observed = data
        done = reject_outliers(v, fit(v, observed), 4.0)
        assert done.excluded == [] and done.kept.all()
        # Below one sigma even sound couplings are mostly "outliers".
        for low in (0.0, 0.99, float("nan")):
            with pytest.raises(ValueError, match="normalised sigma from 1, got"):
                reject_outliers(v, fit(v, observed), low)


class TestCommandLine:
    def _run(self, *extra):
        return run_kelfit(
            "fit", *structure_args("ubiquitin", "1d3z-model-1.pdb"), "-q",
            "--types", "N-H", *extra,
        )  # fmt: skip

    def test_free_and_cross_validation_are_reproducible_from_the_seed(self) -> None:
        runs = [
            self._run("--free", "0.2", "--cross-validate", "4", "--seed", s, "--json")
            for s in ("1", "1", "2")
        ]
        assert all(r.returncode == 0 for r in runs), runs[0].stderr
        media = [json.loads(r.stdout)["media"][0] for r in runs]
        assert media[0]["free"] == media[1]["free"]
        assert media[0]["cross_validation"] == media[1]["cross_validation"]
        assert media[0]["free"]["free"] != media[2]["free"]["free"]
        assert media[0]["free"]["n_free"] == 14
        # The fit reported is the fit of the working couplings.
        assert media[0]["quality"]["n"] == 68 - 14

    def test_a_free_set_file(self, tmp_path) -> None:
        listed = tmp_path / "free.tab"
        listed.write_text(
            "VARS RESID_I RESNAME_I ATOMNAME_I RESID_J RESNAME_J ATOMNAME_J D\n"
            "FORMAT %5d %6s %6s %5d %6s %6s %9.3f\n"
            "2 GLN N 2 GLN HN 0\n3 ILE N 3 ILE HN 0\n"
        )
        done = self._run("--free-set", listed, "--json")
        assert done.returncode == 0, done.stderr
        free = json.loads(done.stdout)["media"][0]["free"]
        assert free["free"] == ["GLN2", "ILE3"] and free["source"] == "file"
        listed.write_text("500 1.0\n")
        done = self._run("--free-set", listed)
        assert done.returncode == 1 and "no coupling of the fit" in done.stderr

    def test_a_free_set_names_its_chain(self, tmp_path, capsys) -> None:
        # Two copies of the example, chains A and B: a free set naming A's
        # residue 10 frees that coupling, not B's.
        lines = [
            line
            for line in example().structure.read_text().splitlines()
            if line.startswith("ATOM")
        ]
        moved = [
            f"{line[:21]}B{line[22:30]}{float(line[30:38]) + 40:8.3f}{line[38:]}"
            for line in lines
        ]
        structure = tmp_path / "two.pdb"
        structure.write_text("\n".join([*lines, "TER", *moved, "END"]) + "\n")
        listed = tmp_path / "free.tab"
        listed.write_text(
            "VARS SEGNAME_I RESID_I ATOMNAME_I SEGNAME_J RESID_J ATOMNAME_J D\n"
            "a 10 N a 10 HN 0\n"
        )
        report = run_json(
            capsys, "fit", "--structure", structure, "--couplings",
            chained_table(tmp_path / "rdc.tab", ["A", "B"]),
            "--free-set", listed, "--json", "-q",
        )  # fmt: skip
        assert report["media"][0]["free"]["free"] == ["A:ASP10"]

    def test_reject_reports_each_exclusion(self) -> None:
        done = self._run("--reject", "3", "--sigma", "1.0", "--json")
        assert done.returncode == 0, done.stderr
        medium = json.loads(done.stdout)["media"][0]
        rejected = medium["rejected"]
        assert rejected["excluded"], "ubiquitin's C-terminal tail should go"
        assert medium["quality"]["n"] == 68 - len(rejected["excluded"])
        assert rejected["q_after"] < rejected["q_before"]
        assert {"GLY75", "GLY76"} <= {e["label"] for e in rejected["excluded"]}

    @pytest.mark.parametrize(
        ("extra", "warned"), [(["1"], True), (["3", "--sigma", "1.0"], False)]
    )
    def test_rejecting_over_a_fifth_of_the_couplings_is_warned(
        self, extra: list[str], warned: bool
    ) -> None:
        done = self._run("--reject", *extra, "--json")
        assert done.returncode == 0, done.stderr
        report = json.loads(done.stdout)
        left = len(report["media"][0]["rejected"]["excluded"])
        said = [w for w in report["warnings"] if "outlier rejection left out" in w]
        assert (left > 0.2 * 68) == warned
        expected = (
            f"medium 'couplings.tab': outlier rejection left out {left} of 68 "
            f"couplings ({100 * left / 68:.0f}%, more than 20%): --reject 1 is a "
            "low threshold, or the tensor does not describe these data"
        )
        assert said == ([expected] if warned else [])

    def test_seed_without_anything_random_is_a_usage_error(self) -> None:
        done = self._run("--seed", "1")
        assert done.returncode == 2 and "--seed goes with" in done.stderr
