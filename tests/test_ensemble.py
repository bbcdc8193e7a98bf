"""Ensemble summaries, per-frame tables and the figures of many fits."""

from __future__ import annotations

import csv
import json
import math
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import DataError, back_calculate
from kelfit_tools.ensemble import summarize_ensemble
from kelfit_tools.fitting import result_from_params
from kelfit_tools.report.ensemble import render_summary, summary_json
from kelfit_tools.report.frames import (
    FRAME_COLUMNS,
    FrameTableWriter,
    Thinned,
    record_frames,
)
from kelfit_tools.tensor import canonical
from kelfit_tools.trajectory import FrameFit
from tools_support import png_size

VECTORS = np.random.default_rng(2).normal(size=(60, 3))


def _model(a1_deg: float, noise: float, seed: int):  # type: ignore[no-untyped-def]
    params = np.array([math.radians(a1_deg), 0.0, 0.0, -10.0, 0.4, 0.0])
    rng = np.random.default_rng(seed)
    observed = back_calculate(VECTORS, params) + rng.normal(0, noise, len(VECTORS))
    return result_from_params(VECTORS, observed, params, offset_fitted=False)


def test_ensemble_summary_of_models_turned_about_the_tensor_z_axis() -> None:
    # With a2 = 0 the first angle turns x and y about the tensor's z axis:
    # models at -6, 0 and +6 degrees average to the middle one.
    fits = [_model(-6.0, 0.5, 1), _model(0.0, 0.1, 2), _model(6.0, 2.0, 3)]
    summary = summarize_ensemble(fits, models=[4, 5, 6])
    middle = canonical(fits[1].params)
    assert np.abs(np.sum(summary.mean.axes * middle.axes, axis=1)) == pytest.approx(
        1.0, abs=1e-12
    )
    assert summary.axis_deviation_deg[:, 0] == pytest.approx([6.0, 0.0, 6.0], abs=1e-6)
    assert summary.axis_deviation_deg[:, 2] == pytest.approx([0.0, 0.0, 0.0], abs=1e-6)
    x, y, z = summary.axis_spread_deg
    assert x == pytest.approx(math.sqrt(24.0)) and y == pytest.approx(x) and z < 1e-6
    # The mean of the matrices keeps Da and shrinks only the rhombic part.
    assert summary.mean.da == pytest.approx(-10.0)
    assert summary.da == pytest.approx([-10.0] * 3)
    assert (summary.best, summary.worst) == (5, 6)
    assert summary.q_range == (min(summary.q), max(summary.q))
    assert summary.q_mean == pytest.approx(np.mean(summary.q))


def test_ensemble_summary_rejects_mismatched_input() -> None:
    with pytest.raises(ValueError, match="at least one fit"):
        summarize_ensemble([])
    with pytest.raises(ValueError, match="2 model numbers for 1 fits"):
        summarize_ensemble([_model(0.0, 0.1, 1)], models=[1, 2])


def _frames(count: int) -> list[FrameFit]:
    fit = _model(0.0, 0.3, 9)
    return [FrameFit(k, 2.5 * k, fit, fit.tensor()) for k in range(count)]


def test_frame_tables_csv_and_parquet(tmp_path: Path) -> None:
    frames = _frames(5)
    with FrameTableWriter(tmp_path / "frames.csv") as table:
        for frame in frames:
            table.write(frame)
    with open(tmp_path / "frames.csv", newline="") as handle:
        rows = list(csv.reader(handle))
    assert tuple(rows[0]) == FRAME_COLUMNS and len(rows) == 6
    assert rows[2][:2] == ["1", "2.5"]
    assert float(rows[3][FRAME_COLUMNS.index("q")]) == frames[2].result.q

    pq = pytest.importorskip("pyarrow.parquet")
    with FrameTableWriter(tmp_path / "frames.parquet") as table:
        for frame in frames:
            table.write(frame)
    read = pq.read_table(tmp_path / "frames.parquet").to_pydict()
    assert read["frame"] == list(range(5))
    assert read["da"] == [f.tensor.da for f in frames]


def test_a_failed_run_leaves_no_table(tmp_path: Path) -> None:
    with pytest.raises(RuntimeError), FrameTableWriter(tmp_path / "t.csv") as table:
        table.write(_frames(1)[0])
        raise RuntimeError("stopped")
    assert list(tmp_path.iterdir()) == []


def test_thinning_keeps_a_bounded_evenly_spaced_sample() -> None:
    thinned = Thinned(1, limit=10)
    for k in range(1000):
        thinned.add(float(k))
    kept = thinned.samples[:, 0]
    assert 5 <= len(kept) <= 10 and kept[0] == 0.0
    steps = np.diff(kept)
    assert np.all(steps == steps[0]) and kept[-1] > 1000 - 2 * steps[0]


def test_figures_of_an_ensemble_and_of_frames(tmp_path: Path) -> None:
    pytest.importorskip("matplotlib")
    from kelfit_tools.report.ensemble import plot_ensemble
    from kelfit_tools.report.frames import plot_frames

    summary = summarize_ensemble([_model(a, 0.4, k) for k, a in enumerate((-3, 0, 3))])
    plot_ensemble(summary, tmp_path / "ensemble.png", title="test", dpi=50)
    assert png_size(tmp_path / "ensemble.png") == (300, 250)
    t = np.arange(20.0)
    plot_frames(
        t, -10 + np.sin(t), 0.3 + 0 * t, 0.1 + 0 * t, tmp_path / "f.png", dpi=50
    )
    assert png_size(tmp_path / "f.png") == (350, 300)


def test_summary_text_and_json() -> None:
    fits = [_model(-6.0, 0.5, 1), _model(0.0, 0.1, 2), _model(6.0, 2.0, 3)]
    summary = summarize_ensemble(fits, models=[4, 5, 6])
    text = render_summary(summary)
    assert "Ensemble of 3 models" in text
    assert "best model 5" in text and "worst model 6" in text
    assert "x 4.90, y 4.90, z 0.00" in text
    payload = json.loads(json.dumps(summary_json(summary), allow_nan=False))
    assert payload["best_model"] == 5 and payload["models"] == 3
    assert payload["q"]["per_model"] == pytest.approx(list(summary.q))
    assert payload["mean_tensor"]["da"] == pytest.approx(-10.0)


def test_record_frames_writes_table_figure_and_running_statistics(
    tmp_path: Path,
) -> None:
    pytest.importorskip("matplotlib")
    frames = _frames(4)
    summary = record_frames(
        frames, table=tmp_path / "f.csv", plot=tmp_path / "f.png", title="t"
    )
    assert (summary.frames, summary.first, summary.last) == (4, 0, 3)
    assert summary.da == pytest.approx((frames[0].tensor.da, 0.0))
    assert png_size(tmp_path / "f.png")[0] > 0
    assert len((tmp_path / "f.csv").read_text().splitlines()) == 5
    with pytest.raises(DataError, match="no frames"):
        record_frames([], table=tmp_path / "none.csv")
    assert not (tmp_path / "none.csv").exists()
