"""Every code example of the documentation site runs, and prints what it shows.

The pages (``docs/**/*.md``) hold four kinds of runnable block, run in page
order so that a later block may use what an earlier one made:

* ``pycon``: Python examples, run as doctests (one namespace per page);
* ``console``: lines ``$ command`` run by bash from the repository's root,
  each followed by the standard output it must print, line for line (the
  exit status must be 0; put ``2>/dev/null`` or ``; echo $?`` in the
  command where the page means otherwise);
* ``{code-cell}``: notebook cells, run in ``docs/`` (as the build runs the
  notebook), whose output the build itself shows;
* ``sh``: commands shown and never run (a cluster, an install): the only
  code a page may show untested.

Any other fence that holds code (``python``, ``bash``, ...) fails the test,
so that no example escapes it.
"""

from __future__ import annotations

import doctest
import importlib.util
import os
import re
import subprocess
import sys
import warnings
from dataclasses import dataclass
from pathlib import Path

import pytest
from kelfit_tools import datasets
from tools_support import REPO

DOCS = REPO / "docs"
#: Where the pages' commands find the data sets (``kelfit data data/``).
DATA = REPO / "data"
#: The optional libraries a page's examples need, told by what they use; a
#: page that needs a missing one is skipped, saying which.
NEEDS = {
    "gemmi": ("--structure", "structure_vectors", "gemmi"),
    "matplotlib": ("--plot", "plot_", "matplotlib"),
    "MDAnalysis": ("--trajectory", "MDAnalysis", "fit_frames"),
    "pyarrow": (".parquet",),
    "pynmrstar": ("_mr.str", "pynmrstar"),
    "distributed": ("--scheduler", "distributed", "LocalCluster"),
}
#: Fences that hold no code, or code the build itself runs or renders.
NOT_CODE = {
    "",
    "text",
    "{toctree}",
    "{eval-rst}",
    "{image}",
    "{figure}",
    "{literalinclude}",
    "{math}",
    "{note}",
    "{warning}",
}
RUNNABLE = {"pycon", "console", "{code-cell}", "sh"}
FENCE = re.compile(r"^(`{3,})\s*(\{[\w-]+\}|[\w+-]*)\s*(.*)$")
COMMAND_TIMEOUT_S = 300
DOCTEST_FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


@dataclass(frozen=True)
class Block:
    """One fenced block of a page: its kind, first line (from 1) and text."""

    kind: str
    line: int
    text: str


def fenced_blocks(text: str) -> list[Block]:
    """The fenced blocks of a MyST page, in order (fences do not nest here)."""
    blocks: list[Block] = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match:
            i += 1
            continue
        ticks, kind = match.group(1), match.group(2)
        start = i + 1
        i += 1
        while i < len(lines) and lines[i].rstrip() != ticks:
            i += 1
        if i == len(lines):
            raise ValueError(f"line {start}: fence {ticks}{kind} is never closed")
        blocks.append(Block(kind, start, "\n".join(lines[start:i])))
        i += 1
    return blocks


def directive_body(text: str) -> str:
    """A MyST directive's content without its leading ``:option:`` lines."""
    lines = text.splitlines()
    while lines and re.match(r"^:[\w-]+:", lines[0]):
        lines.pop(0)
    return "\n".join(lines)


def console_commands(text: str) -> list[tuple[str, list[str]]]:
    """A console block as (command, expected stdout lines) pairs."""
    commands: list[tuple[str, list[str]]] = []
    for line in text.splitlines():
        if line.startswith("$ "):
            commands.append((line[2:], []))
        elif commands:
            commands[-1][1].append(line.rstrip())
        elif line.strip():
            raise ValueError(f"output before any command: {line!r}")
    return commands


def command_environment() -> dict[str, str]:
    """This interpreter's scripts (``kelfit``) first on PATH."""
    env = dict(os.environ)
    env["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{env.get('PATH', '')}"
    env["MPLBACKEND"] = "Agg"
    return env


def run_console(text: str, cwd: Path) -> list[str]:
    """Run a console block; the list of what differed (empty when all held)."""
    faults = []
    for command, expected in console_commands(text):
        done = subprocess.run(
            ["bash", "-o", "pipefail", "-c", command],
            cwd=cwd,
            env=command_environment(),
            capture_output=True,
            text=True,
            timeout=COMMAND_TIMEOUT_S,
            check=False,
        )
        printed = [line.rstrip() for line in done.stdout.splitlines()]
        if done.returncode != 0:
            faults.append(f"$ {command}\nexit {done.returncode}: {done.stderr.strip()}")
        elif printed != expected:
            faults.append(
                f"$ {command}\nexpected:\n"
                + "\n".join(expected)
                + "\nprinted:\n"
                + "\n".join(printed)
            )
    return faults


def run_pycon(text: str, name: str, namespace: dict[str, object]) -> str:
    """Run a pycon block as a doctest in ``namespace``; the failure report, or ''."""
    test = doctest.DocTestParser().get_doctest(text, namespace, name, name, 0)
    output: list[str] = []
    runner = doctest.DocTestRunner(optionflags=DOCTEST_FLAGS)
    runner.run(test, out=output.append, clear_globs=False)
    namespace.update(test.globs)  # the test ran in a copy of the namespace
    return "".join(output)


def pages() -> list[Path]:
    """The site's pages, and the README that leads to them."""
    return [REPO / "README.md"] + sorted(
        p
        for p in DOCS.rglob("*.md")
        if not {"_build", "_generated", "jupyter_execute"} & set(p.parts)
    )


def missing_libraries(text: str) -> list[str]:
    """The optional libraries ``text``'s examples use that are not installed."""
    return [
        module
        for module, uses in NEEDS.items()
        if any(use in text for use in uses) and importlib.util.find_spec(module) is None
    ]


@pytest.fixture
def repo_cwd(monkeypatch: pytest.MonkeyPatch) -> Path:
    # Every page may run alone: each finds the data sets where the README's
    # `kelfit data data/` puts them. The pages show what the shipped files
    # give, so a copy left there by an older version is replaced.
    datasets.copy_to(DATA, force=True)
    monkeypatch.chdir(REPO)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    return REPO


def test_the_site_has_pages() -> None:
    names = {p.relative_to(DOCS).as_posix() for p in pages() if DOCS in p.parents}
    assert {
        "index.md",
        "tutorial.md",
        "statistics.md",
        "precision.md",
        "cli.md",
    } <= names


#: Pages that run a histogram estimate at its default replicates, a quarter
#: of a minute each.
SLOW_PAGES = {"README.md", "docs/howto/histogram.md"}


@pytest.mark.parametrize(
    "page",
    [
        pytest.param(p, marks=pytest.mark.slow)
        if p.relative_to(REPO).as_posix() in SLOW_PAGES
        else p
        for p in pages()
    ],
    ids=lambda p: p.relative_to(REPO).as_posix(),
)
def test_page_examples_run(page: Path, repo_cwd: Path) -> None:
    text = page.read_text(encoding="utf-8")
    missing = missing_libraries(text)
    if missing:
        pytest.skip(f"its examples need {', '.join(missing)}, not installed here")
    blocks = fenced_blocks(text)
    untested = [b for b in blocks if b.kind not in NOT_CODE | RUNNABLE]
    assert not untested, "code no test runs: " + ", ".join(
        f"line {b.line} ({b.kind})" for b in untested
    )
    namespace: dict[str, object] = {"__name__": f"docs.{page.stem}"}
    faults: list[str] = []
    with warnings.catch_warnings(record=True) as warned:
        # The examples run as a user runs them (a warning does not stop
        # them), but, as everywhere in the suite, none may warn.
        warnings.simplefilter("always")
        for block in blocks:
            where = f"{page.relative_to(REPO)}:{block.line}"
            if block.kind == "pycon":
                report = run_pycon(block.text, where, namespace)
                if report:
                    faults.append(report)
            elif block.kind == "console":
                faults += [
                    f"{where}: {fault}" for fault in run_console(block.text, REPO)
                ]
            elif block.kind == "{code-cell}":
                os.chdir(page.parent)
                try:
                    code = compile(directive_body(block.text), where, "exec")
                    exec(code, namespace)  # noqa: S102 - the page's own notebook cell
                finally:
                    os.chdir(REPO)
    faults += [f"warning: {w.category.__name__}: {w.message}" for w in warned]
    assert not faults, "\n\n".join(faults)


def test_console_runner_reports_a_wrong_output_and_a_failed_command(
    tmp_path: Path,
) -> None:
    good = "$ echo one; echo two\none\ntwo"
    assert run_console(good, tmp_path) == []
    wrong = "$ echo one\nthree"
    assert "expected:\nthree\nprinted:\none" in run_console(wrong, tmp_path)[0]
    failed = "$ false"
    assert "exit 1" in run_console(failed, tmp_path)[0]
    # A failure early in a pipeline is a failure, not hidden by its last command.
    assert "exit 1" in run_console("$ false | cat", tmp_path)[0]


def test_pycon_runner_reports_a_wrong_output() -> None:
    namespace: dict[str, object] = {}
    assert run_pycon(">>> x = 2\n>>> x + 1\n3", "ok", namespace) == ""
    assert namespace["x"] == 2  # later blocks of the page see it
    assert "Expected:\n    4\nGot:\n    3" in run_pycon(
        ">>> x + 1\n4", "wrong", namespace
    )


def test_fences_are_read_with_their_kind_and_line() -> None:
    text = "intro\n```pycon\n>>> 1\n1\n```\n\n````{code-cell} ipython3\nx = 1\n````\n```sh\nls\n```\n"
    blocks = fenced_blocks(text)
    assert [(b.kind, b.line, b.text) for b in blocks] == [
        ("pycon", 2, ">>> 1\n1"),
        ("{code-cell}", 7, "x = 1"),
        ("sh", 10, "ls"),
    ]
    with pytest.raises(ValueError, match="never closed"):
        fenced_blocks("```console\n$ ls\n")
