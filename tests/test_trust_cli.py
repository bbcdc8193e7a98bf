"""Command-line mistakes on real data: each gives an error naming what was
seen and what to do, never a quiet wrong answer."""

from __future__ import annotations

from pathlib import Path

import pytest
from tools_support import run_kelfit, shared_data

COMMANDS = ("fit", "solve", "demo", "histogram", "predict", "data")


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_explains_itself(command: str) -> None:
    done = run_kelfit(command, "--help")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"usage: kelfit {command}")


UBIQUITIN = ("ubiquitin", "1d3z-model-1.pdb"), ("ubiquitin", "couplings.tab")


def ubiquitin() -> tuple[Path, Path]:
    return shared_data(*UBIQUITIN[0]), shared_data(*UBIQUITIN[1])


@pytest.mark.parametrize("command", ["fit", "histogram", "predict"])
@pytest.mark.parametrize("types", ["N-H,CA-H", "CA-H"])
def test_a_misspelt_bond_type_is_refused(command: str, types: str) -> None:
    pdb, table = ubiquitin()
    args = ["--couplings", table, "--types", types]
    if command != "histogram":
        args += ["--structure", pdb]
    done = run_kelfit(command, *args)
    assert done.returncode == 1, done.stdout
    assert "no coupling of bond type CA-H (from --types)" in done.stderr
    assert "types present: C-N, CA-C, CA-HA, N-H" in done.stderr
