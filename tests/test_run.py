"""A fit run from Python: the same report as ``kelfit fit``, its messages as data."""

from __future__ import annotations

import json
import logging

import numpy as np
import pytest
from kelfit_tools import FitOptions, FitRequest, FitRun, run_fit
from kelfit_tools.cli import build_parser, main
from kelfit_tools.cli.common import json_text, worded
from kelfit_tools.cli.fit import request_from
from kelfit_tools.outputs import Outputs
from kelfit_tools.report.run import run_payload, run_rows, run_text, write_axes
from tools_support import model_values, shared_data, validate_report

UBIQUITIN = ("ubiquitin", "1d3z-model-1.pdb", "couplings.tab")
HEWL = ("hewl", "1e8l-model-1.pdb", "couplings.tab")
HEWL_MR = ("hewl", "1e8l-model-1.pdb", "1e8l.mr")

#: The fits of the README and the how-tos (outputs aside), with their data.
EXAMPLES = [
    (UBIQUITIN, []),
    (HEWL, ["--axes", "AXES.pml"]),
    (HEWL, ["--domain", "N=1-60", "--domain", "C=61-129", "--errors", "50",
            "--seed", "1"]),
    (HEWL, ["--free", "0.1", "--cross-validate", "5", "--reject", "3", "--seed", "1"]),
    (UBIQUITIN, ["--types", "N-H", "--errors", "50", "--structure-noise", "10",
                 "--seed", "1"]),
    (UBIQUITIN, ["--errors", "100", "--bootstrap", "--seed", "1"]),
    (HEWL_MR, ["--errors", "50", "--seed", "3"]),
    (HEWL_MR, ["--axes", "AXES.cxc"]),
    (UBIQUITIN, ["--method", "powell"]),
    (UBIQUITIN, ["--types", "N-H", "--fix", "Da=-7.8,R=0.17"]),
    (HEWL, ["--reject", "3"]),
    (HEWL, ["--free", "0.1", "--cross-validate", "5", "--seed", "1"]),
    (UBIQUITIN, ["--bond-lengths", "standard"]),
    (UBIQUITIN, ["--unweighted"]),
]  # fmt: skip


@pytest.mark.parametrize(
    ("data", "extra"), EXAMPLES, ids=[" ".join(e) or d[0] for d, e in EXAMPLES]
)
def test_run_gives_the_commands_json(data, extra, tmp_path, capsys):
    folder, pdb, couplings = data
    extra = [w.replace("AXES", str(tmp_path / "axes")) for w in extra]
    argv = ["fit", "--structure", str(shared_data(folder, pdb)), "--couplings",
            str(shared_data(folder, couplings)), "-q", "--json", *extra]  # fmt: skip
    assert main(argv) == 0
    printed = capsys.readouterr().out

    request, shown = request_from(build_parser().parse_args(argv))
    run = run_fit(request)
    outputs = Outputs()
    axes = write_axes(run, outputs, shown.axes) if shown.axes else None
    outputs.commit()
    payload = run_payload(run, notes=False, axes=axes, word=worded)
    assert json_text(payload) == printed


def _table(tmp_path, rows=30):
    rng = np.random.default_rng(5)
    vectors = rng.normal(size=(rows, 3))
    values = model_values(vectors, [0.3, 0.8, -1.2, 9.0, 0.3])
    path = tmp_path / "vectors.txt"
    np.savetxt(path, np.column_stack([vectors, values + rng.normal(0, 0.5, rows)]))
    return path


def test_warnings_are_the_runs_own_without_logging(tmp_path, monkeypatch):
    # No handler anywhere: the warning must still reach the run and its report.
    log = logging.getLogger("kelfit_tools")
    monkeypatch.setattr(log, "handlers", [])
    monkeypatch.setattr(logging.getLogger(), "handlers", [])
    request = FitRequest(table=str(_table(tmp_path)), options=FitOptions(sigma=50.0))
    run = run_fit(request)
    assert isinstance(run, FitRun)
    (warning,) = [w for w in run.warnings if "reduced chi^2" in w]
    # Python's words for the remedy; the command line's are its options.
    assert "bootstrap=True" in warning and "--" not in warning
    payload = run_payload(run)
    validate_report(payload)
    assert payload["warnings"] == run.warnings
    assert "--errors K --bootstrap" in run_payload(run, word=worded)["warnings"][0]
    assert json.loads(json_text(payload))["options"]["sigma"] == 50.0
    assert len(run_rows(run)) == 30 and "Da" in run_text(run)


@pytest.mark.parametrize(
    ("request_", "message"),
    [
        (FitRequest(), "either table or structure"),
        (FitRequest(structure="x.pdb"), "needs couplings"),
        (
            FitRequest(table="t.txt", options=FitOptions(domains=("N=1-5",))),
            "two domains or more",
        ),
        (FitRequest(table="t.txt", options=FitOptions(method="linear", fixed={"r": 0.1})),
         "method 'powell'"),
    ],
)  # fmt: skip
def test_requests_that_cannot_run(request_, message):
    with pytest.raises(ValueError, match=message):
        run_fit(request_)


def test_the_command_leaves_the_log_as_it_found_it(tmp_path, capsys):
    # In-process callers (notebooks, tests) must not find notes silenced.
    log = logging.getLogger("kelfit_tools")
    before = (log.level, log.propagate, list(log.handlers))
    assert main(["fit", str(_table(tmp_path)), "-q"]) == 0
    assert (log.level, log.propagate, list(log.handlers)) == before
