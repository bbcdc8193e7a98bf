"""The module's stub (kelfit.pyi) against the built module, and where it is found.

``mypy.stubtest`` imports the installed module and compares every name,
signature and type the stub declares with what the module has at run time;
the checks after it make sure the installed stub is what type checkers
read: beside the extension, and as the stub-only package ``kelfit-stubs``
that mypy looks up for a module that is a single file.
"""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import kelfit
import pytest

pytest.importorskip("mypy", reason="mypy comes with the test extra")

REPO = Path(__file__).resolve().parents[1]
STUB = REPO / "module" / "kelfit.pyi"


def run_mypy_module(*arguments: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", *arguments],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=600,
        check=False,
    )


def installed_stubs() -> list[Path]:
    folder = Path(kelfit.__file__).parent
    return [folder / "kelfit.pyi", folder / "kelfit-stubs" / "__init__.pyi"]


def test_stub_matches_the_built_module(tmp_path: Path) -> None:
    # From an empty folder, so that the installed module and stub are the
    # ones compared, not the source tree's.
    done = run_mypy_module("mypy.stubtest", "kelfit", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_installed_stubs_are_the_source_stub() -> None:
    for path in installed_stubs():
        assert path.is_file(), f"{path} is not installed beside {kelfit.__file__}"
        assert path.read_bytes() == STUB.read_bytes(), f"{path} differs from {STUB}"


def test_stub_names_every_public_name_of_the_module() -> None:
    public = {name for name in dir(kelfit) if not name.startswith("_")}
    stub = STUB.read_text(encoding="utf-8")
    missing = sorted(
        name
        for name in public
        if f"def {name}(" not in stub
        and f"class {name}(" not in stub
        and f"{name}:" not in stub
    )
    assert not missing, f"kelfit exposes {missing}, which the stub does not declare"


def test_type_checker_catches_misuse_through_the_installed_stub(tmp_path: Path) -> None:
    use = tmp_path / "use.py"
    use.write_text(
        "import numpy as np\n"
        "import kelfit\n"
        "vectors = np.ones((3, 3))\n"
        "result = kelfit.fit(vectors, [1.0, 2.0, 3.0], np.zeros(6), sigmaa=None)\n"
        "params: np.ndarray = result.params\n"
        "cost: str = kelfit.linear(vectors, [1.0, 2.0, 3.0]).params\n"
        "kelfit.c_solve(0, vectors)\n",
        encoding="utf-8",
    )
    done = run_mypy_module(
        "mypy",
        "--no-incremental",
        "--strict",
        "--no-error-summary",
        str(use),
        cwd=tmp_path,
    )
    lines = {
        line.split(": error: ")[0].rsplit(":", 1)[-1]
        for line in done.stdout.splitlines()
        if ": error: " in line
    }
    # The wrong keyword (line 4), the wrong type (line 6), the missing argument (line 7):
    # and nothing else, so that the right uses on lines 1-3 and 5 pass.
    assert lines == {"4", "6", "7"}, done.stdout + done.stderr
    assert 'Unexpected keyword argument "sigmaa"' in done.stdout


def test_every_type_ignore_names_its_code_and_says_why() -> None:
    # mypy --strict (make types-strict) reports the ignores it no longer
    # needs; the ones it needs must say which error they silence and why.
    pattern = re.compile(r"#\s*type:\s*ignore(\[[\w,-]+\])?(.*)$")
    unexplained = []
    for path in sorted((REPO / "python" / "kelfit_tools").rglob("*.py")):
        lines = path.read_text(encoding="utf-8").splitlines()
        for number, line in enumerate(lines, start=1):
            match = pattern.search(line)
            if match and not (
                match.group(1) and re.match(r"\s+#\s*\S", match.group(2))
            ):
                unexplained.append(f"{path.relative_to(REPO)}:{number}: {line.strip()}")
    assert not unexplained, "\n".join(unexplained)
