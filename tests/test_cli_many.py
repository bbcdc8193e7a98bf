"""``kelfit fit --models all`` on every core, and the extras' one-line hints."""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pytest
from tools_support import env_without, png_size, run_kelfit, shared_data, write_models

#: Atom jitter (angstrom) of each model: model 1 is the deposited structure.
JITTER = (0.0, 0.05, 0.1, 0.2)


@pytest.fixture(scope="module")
def ensemble(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    """Ubiquitin as four models, more disturbed model by model."""
    rng = np.random.default_rng(3)
    path = write_models(
        tmp_path_factory.mktemp("ensemble") / "ensemble.pdb",
        shared_data("ubiquitin", "1d3z-model-1.pdb"),
        [lambda xyz, s=s: xyz + rng.normal(0.0, s, xyz.shape) for s in JITTER],
    )
    return path, shared_data("ubiquitin", "couplings.tab")


def _fit_json(*args: object) -> dict:
    done = run_kelfit("fit", *args, "--json", "-q")
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_every_model_at_once_with_the_ensemble_summary(
    ensemble: tuple[Path, Path], tmp_path: Path
) -> None:
    pdb, couplings = ensemble
    every = _fit_json("--structure", pdb, "--couplings", couplings, "--models", "all")
    # Fitted together, each model is the same bits as fitted on its own
    # (superposed, its coordinates move: compare without).
    alone = _fit_json(
        "--structure", pdb, "--couplings", couplings, "--models", "all",
        "--no-superpose",
    )  # fmt: skip
    third = _fit_json("--structure", pdb, "--couplings", couplings, "--models", "3")
    assert alone["models"][2]["media"] == third["media"]
    assert every["models"][0]["rmsd_ref"] == 0.0
    assert all(m["rmsd_ref"] > 0 for m in every["models"][1:])

    (summary,) = every["ensemble"]
    q = [m["media"][0]["quality"]["q"] for m in every["models"]]
    assert summary["q"]["per_model"] == q and summary["models"] == 4
    assert summary["best_model"] == 1 + int(np.argmin(q)) == 1
    assert summary["worst_model"] == 1 + int(np.argmax(q)) == 4
    assert summary["q"]["mean"] == pytest.approx(np.mean(q))
    assert all(spread > 0 for spread in summary["axis_spread_deg"])

    done = run_kelfit(
        "fit",
        "--structure",
        pdb,
        "--couplings",
        couplings,
        "--models",
        "all",
        "--plot",
        tmp_path / "ensemble.png",
    )
    assert done.returncode == 0, done.stderr
    assert "Ensemble of 4 models" in done.stdout
    assert "best model 1" in done.stdout and "worst model 4" in done.stdout
    assert png_size(tmp_path / "ensemble.png") == (1200, 1000)


@pytest.mark.parametrize(
    ("hidden", "option", "hint"),
    [
        ("distributed", ["--scheduler", "tcp://127.0.0.1:1"], "kelfit[dask]"),
        ("MDAnalysis", ["--trajectory", "frames.xtc"], "kelfit[md]"),
    ],
)
def test_a_missing_extra_is_one_line_naming_it(
    ensemble: tuple[Path, Path],
    tmp_path: Path,
    hidden: str,
    option: list[str],
    hint: str,
) -> None:
    pdb, couplings = ensemble
    (tmp_path / "frames.xtc").write_bytes(b"")
    done = run_kelfit(
        "fit",
        "--structure",
        pdb,
        "--couplings",
        couplings,
        *option,
        cwd=tmp_path,
        env=env_without(tmp_path, hidden),
    )
    assert done.returncode == 1
    errors = [line for line in done.stderr.splitlines() if "error" in line]
    assert len(errors) == 1 and hint in errors[0]
