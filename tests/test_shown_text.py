"""What the command shows on a terminal: names and file names from the
inputs never reach it as control sequences, and an error is one line that
says what failed."""

from __future__ import annotations

import logging
import shutil
from pathlib import Path

import pytest
from kelfit_tools.cli.common import Formatter
from tools_support import run_kelfit, shared_data

#: Retitles the window and clears the screen, hiding earlier warnings.
HOSTILE = "u\x1b]0;pwned\x07\x1b[2J\x9b\x7f\r"
RAW = ("\x1b", "\x07", "\x9b", "\x7f", "\r")


def _clean(text: str) -> None:
    assert not any(c in text for c in RAW), repr(text)


@pytest.mark.parametrize("command", ["fit", "histogram"])
def test_a_hostile_file_name_is_shown_escaped_in_reports_and_logs(
    tmp_path: Path, command: str
) -> None:
    # A couplings file that names no medium is one medium called by the
    # file's name, which the text report and the notes show.
    couplings = tmp_path / f"{HOSTILE}.tab"
    shutil.copy(shared_data("ubiquitin", "couplings.tab"), couplings)
    done = run_kelfit(
        command,
        "--structure",
        shared_data("ubiquitin", "1d3z-model-1.pdb"),
        "--couplings",
        couplings,
    )
    assert done.returncode == 0, done.stderr
    _clean(done.stdout)
    _clean(done.stderr)
    assert r"u\x1b]0;pwned\x07\x1b[2J\x9b\x7f\r" in done.stdout + done.stderr


@pytest.mark.parametrize("option", ["--structure", "--couplings"])
def test_an_error_naming_a_hostile_file_is_one_escaped_line(
    tmp_path: Path, option: str
) -> None:
    missing = str(tmp_path / f"{HOSTILE}\nkelfit: all fine.pdb")
    given = {"--structure": shared_data("ubiquitin", "1d3z-model-1.pdb")}
    given[option] = missing
    done = run_kelfit(
        "fit",
        "--structure",
        given["--structure"],
        "--couplings",
        given.get("--couplings", shared_data("ubiquitin", "couplings.tab")),
    )
    assert done.returncode == 1
    _clean(done.stderr)
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("kelfit fit: error:")
    assert r"\nkelfit: all fine.pdb" in done.stderr


def test_a_log_line_escapes_controls_but_keeps_tabs() -> None:
    record = logging.LogRecord(
        "kelfit_tools", logging.WARNING, "", 0, "%s", ("res\x1b[2J\n\tA",), None
    )
    assert Formatter().format(record) == "kelfit: warning: res\\x1b[2J\\n\tA"


@pytest.mark.parametrize(
    ("error", "shown"),
    [
        # As `ulimit -n 8` failed: a read, not a write.
        (
            OSError(24, "Too many open files", "/lib/popen_spawn_posix.py"),
            "kelfit fit: error: /lib/popen_spawn_posix.py: Too many open files\n",
        ),
        (
            OSError(12, "Cannot allocate memory"),
            "kelfit fit: error: Cannot allocate memory\n",
        ),
    ],
)
def test_an_os_error_that_is_no_write_is_not_called_one(
    monkeypatch: pytest.MonkeyPatch, error: OSError, shown: str
) -> None:
    import kelfit_tools.cli.fit as command

    def failing(*_: object) -> None:
        raise error

    monkeypatch.setattr(command, "run_fit", failing)
    done = run_kelfit("fit", shared_data("ubiquitin", "couplings.tab"))
    assert (done.returncode, done.stderr) == (1, shown)


def _disk_full_in_cleanup(*_: object, **__: object) -> None:
    # As matplotlib's PDF writer fails on a full disk: its cleanup's error
    # hides the disk's.
    try:
        raise OSError(28, "No space left on device")
    except OSError:
        raise AttributeError("'Stream' object has no attribute 'pos'") from None


def _zlib_error(*_: object, **__: object) -> None:
    import zlib

    raise zlib.error("Error -2 while flushing: inconsistent stream state")


@pytest.mark.parametrize(
    ("failing", "said"),
    [
        (_disk_full_in_cleanup, "cannot write: No space left on device"),
        (_zlib_error, "cannot write: the figure writer failed: error: Error -2"),
    ],
)
def test_a_figure_writer_failing_is_one_line_and_keeps_the_old_file(
    monkeypatch: pytest.MonkeyPatch, tmp_path: Path, failing: object, said: str
) -> None:
    from kelfit_tools.example import example
    from matplotlib.figure import Figure

    plot = tmp_path / "fit.pdf"
    plot.write_bytes(b"the old figure")
    monkeypatch.setattr(Figure, "savefig", failing)
    done = run_kelfit("fit", example().vectors, "--plot", plot)
    assert done.returncode == 1
    assert done.stderr.startswith(f"kelfit fit: error: {plot}: {said}")
    assert done.stderr.count("\n") == 1
    assert plot.read_bytes() == b"the old figure"
    assert list(tmp_path.iterdir()) == [plot]


def test_gemmi_quoting_a_damaged_line_is_one_line_with_the_line_escaped(
    tmp_path: Path,
) -> None:
    lines = shared_data("ubiquitin", "1d3z-model-1.pdb").read_text().splitlines()
    first = next(k for k, line in enumerate(lines) if line.startswith("ATOM"))
    lines[first + 3] = "ATOM      4  CA  MET A   1  \x1b[2J"
    structure = tmp_path / "damaged.pdb"
    structure.write_text("\n".join(lines) + "\n")
    done = run_kelfit(
        "fit",
        "--structure",
        structure,
        "--couplings",
        shared_data("ubiquitin", "couplings.tab"),
    )
    assert done.returncode == 1 and done.stderr.count("\n") == 1
    _clean(done.stderr)
    assert done.stderr.endswith(
        "The line is too short to be correct: 'ATOM      4  CA  MET A   1  \\x1b[2J'\n"
    )


def test_a_message_quoting_a_huge_input_is_cut(capsys: pytest.CaptureFixture) -> None:
    from kelfit_tools.cli.common import data_error_exit

    data_error_exit("predict", ValueError(f"shape must be wall, got {'x' * 200_000}"))
    shown = capsys.readouterr().err
    assert len(shown) < 2100 and shown.endswith("x... (200024 characters)\n")
