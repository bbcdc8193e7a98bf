"""Command-line mistakes on real data: each gives an error naming what was
seen and what to do, never a quiet wrong answer."""

from __future__ import annotations

import pytest
from tools_support import run_kelfit

COMMANDS = ("fit", "solve", "demo", "histogram", "predict", "data")


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_explains_itself(command: str) -> None:
    done = run_kelfit(command, "--help")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"usage: kelfit {command}")
