"""Couplings entered in a way that still gives a plausible fit, on the shipped
data made wrong in that way: each must name its cause in a warning."""

from __future__ import annotations

import json
from collections.abc import Callable
from pathlib import Path

import pytest
from kelfit_tools.cli import main
from tools_support import shared_data

pytest.importorskip("gemmi")

#: Words of the warnings these tests expect; none may appear on good data.
SIGNS = "sign convention looks flipped"
NORMALISED = "look normalised to N-H"
SPLITTINGS = "look like J+D splittings"
KHZ = "were they given in kHz"
NEW_WARNINGS = (SIGNS, NORMALISED, SPLITTINGS, KHZ)


def fit_warnings(capsys: pytest.CaptureFixture[str], *args: object) -> list[str]:
    """The JSON's warnings of an in-process ``kelfit fit``."""
    assert main(["fit", "--json", *map(str, args)]) == 0, capsys.readouterr().err
    warnings: list[str] = json.loads(capsys.readouterr().out)["warnings"]
    return warnings


def altered(
    tmp_path: Path, atoms: tuple[str, str], change: Callable[[int, float], float]
) -> Path:
    """Ubiquitin's table with the values of one atom pair changed
    (``change(residue, value)``)."""
    lines = []
    for line in shared_data("ubiquitin", "couplings.tab").read_text().splitlines():
        f = line.split()
        if len(f) == 9 and f[0].isdigit() and (f[2], f[5]) == atoms:
            f[6] = f"{change(int(f[0]), float(f[6])):.6f}"
            line = " ".join(f)
        lines.append(line)
    out = tmp_path / "altered.tab"
    out.write_text("\n".join(lines) + "\n")
    return out


@pytest.mark.parametrize(
    ("atoms", "change", "only", "expected"),
    [
        (("C", "N"), lambda r, v: -v, "", "C-N couplings anticorrelate"),
        (("C", "N"), lambda r, v: v / 0.1209, "", "the C-N couplings are"),
        (("CA", "C"), lambda r, v: v / 0.198, "", "the CA-C couplings are"),
        (("N", "H"), lambda r, v: v - 92.0, "", "the N-H couplings average"),
        (("N", "H"), lambda r, v: v - 92.0, "N-H", "the N-H couplings average"),
        (("N", "H"), lambda r, v: v / 1000 if r % 3 == 0 else v, "", "20 N-H"),
        (("N", "H"), lambda r, v: v / 1000 if r % 3 == 0 else v, "N-H", "20 N-H"),
        (("N", "H"), lambda r, v: v / 1000 if r == 33 else v, "N-H", "1 N-H"),
    ],
    ids=["signs", "normalised-C-N", "normalised-CA-C", "J+D", "J+D-alone", "kHz",
         "kHz-alone", "kHz-one"],
)  # fmt: skip
def test_a_type_entered_wrongly_is_named(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    atoms: tuple[str, str],
    change: Callable[[int, float], float],
    only: str,
    expected: str,
) -> None:
    table = altered(tmp_path, atoms, change)
    types = ["--types", only] if only else []
    warnings = fit_warnings(
        capsys, "--structure", shared_data("ubiquitin", "1d3z-model-1.pdb"),
        "--couplings", table, "--duplicates", "first", *types,
    )  # fmt: skip
    named = [w for w in warnings if any(word in w for word in NEW_WARNINGS)]
    assert len(named) == 1 and expected in named[0], warnings


@pytest.mark.parametrize(
    ("folder", "structure", "couplings"),
    [
        ("ubiquitin", "1d3z-model-1.pdb", "couplings.tab"),
        ("gb3", "1p7e.pdb", "couplings.tab"),
        ("hewl", "1e8l-model-1.pdb", "1e8l.mr"),
    ],
)
def test_the_shipped_data_raise_none_of_them(
    capsys: pytest.CaptureFixture[str], folder: str, structure: str, couplings: str
) -> None:
    warnings = fit_warnings(
        capsys, "--structure", shared_data(folder, structure),
        "--couplings", shared_data(folder, couplings), "--duplicates", "first",
    )  # fmt: skip
    assert not [w for w in warnings if any(word in w for word in NEW_WARNINGS)]
