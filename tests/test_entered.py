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
SIGNS = "anticorrelate with what the fit predicts"
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
    ("atoms", "change", "extra", "expected"),
    [
        (("C", "N"), lambda r, v: -v, "", "C-N couplings anticorrelate"),
        (("N", "H"), lambda r, v: v, "--signs physical", "(CA-HA, CA-C) anticorr"),
        (("C", "N"), lambda r, v: v / 0.1209, "", "the C-N couplings are"),
        (("CA", "C"), lambda r, v: v / 0.198, "", "the CA-C couplings are"),
        (("N", "H"), lambda r, v: v - 92.0, "", "the N-H couplings average"),
        (("N", "H"), lambda r, v: v - 92.0, "--types N-H", "the N-H couplings average"),
        (("N", "H"), lambda r, v: v / 1000 if r % 3 == 0 else v, "", "20 N-H"),
        (("N", "H"), lambda r, v: v / 1000 if r % 3 == 0 else v, "--types N-H",
         "20 N-H"),
        (("N", "H"), lambda r, v: v / 1000 if r == 33 else v, "--types N-H", "1 N-H"),
    ],
    ids=["signs", "convention", "normalised-C-N", "normalised-CA-C", "J+D",
         "J+D-alone", "kHz", "kHz-alone", "kHz-one"],
)  # fmt: skip
def test_a_type_entered_wrongly_is_named(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    atoms: tuple[str, str],
    change: Callable[[int, float], float],
    extra: str,
    expected: str,
) -> None:
    table = altered(tmp_path, atoms, change)
    warnings = fit_warnings(
        capsys, "--structure", shared_data("ubiquitin", "1d3z-model-1.pdb"),
        "--couplings", table, "--duplicates", "first", *extra.split(),
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


def rewritten(source: Path, out: Path, rows: Callable[[list[str]], list[str]]) -> Path:
    """A text file with its lines changed by ``rows``."""
    out.write_text("\n".join(rows(source.read_text().splitlines())) + "\n")
    return out


def oligomer(lines: list[str]) -> list[str]:
    """Two copies of the chain as structure-calculation programs write an
    oligomer: blank chain IDs, segment IDs A and B; B turned 90 degrees
    about x, so that the two copies give different tensors."""
    out = []
    for segment, turn in (("A", False), ("B", True)):
        for line in (li.ljust(80) for li in lines if li.startswith("ATOM")):
            x, y, z = (float(line[k : k + 8]) for k in (30, 38, 46))
            if turn:
                y, z = -z, y
            xyz = f"{x:8.3f}{y:8.3f}{z:8.3f}"
            out.append(
                f"{line[:21]} {line[22:30]}{xyz}{line[54:72]}{segment:<4}{line[76:]}"
            )
        out.append("TER")
    return out


def in_segment(segment: str) -> Callable[[list[str]], list[str]]:
    """Ubiquitin's couplings, each end naming ``segment``."""

    def rows(lines: list[str]) -> list[str]:
        out = []
        for line in lines:
            f = line.split()
            if line.startswith("VARS"):
                line = (
                    "VARS SEGNAME_I RESID_I RESNAME_I ATOMNAME_I SEGNAME_J RESID_J "
                    "RESNAME_J ATOMNAME_J D DD W"
                )
            elif line.startswith("FORMAT"):
                continue
            elif len(f) == 9 and f[0].isdigit():
                line = " ".join([segment, *f[:3], segment, *f[3:]])
            out.append(line)
        return out

    return rows


def test_segment_ids_name_the_chains_of_a_blank_chained_oligomer(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    pdb = shared_data("ubiquitin", "1d3z-model-1.pdb")
    table = shared_data("ubiquitin", "couplings.tab")
    both = rewritten(pdb, tmp_path / "both.pdb", oligomer)
    # The turned copy B on its own: what the couplings of segment B mean.
    alone = rewritten(both, tmp_path / "b.pdb", lambda lines: lines[len(lines) // 2 :])
    tensors = {}
    for name, structure, couplings in (
        ("A", both, rewritten(table, tmp_path / "a.tab", in_segment("A"))),
        ("B", both, rewritten(table, tmp_path / "b.tab", in_segment("B"))),
        ("B alone", alone, table),
    ):
        args = ["fit", "--json", "--structure", structure, "--couplings", couplings]
        assert main([*map(str, args), "--duplicates", "first"]) == 0
        report = json.loads(capsys.readouterr().out)
        assert not [w for w in report["warnings"] if "appear twice" in w]
        tensors[name] = report["media"][0]["tensor"]
    assert tensors["B"]["euler_deg"] == pytest.approx(tensors["B alone"]["euler_deg"])
    assert tensors["B"]["euler_deg"] != pytest.approx(tensors["A"]["euler_deg"])


def with_glycine_ha(lines: list[str]) -> list[str]:
    """Ubiquitin's table with CA-HA2 couplings of glycines 10 and 35."""
    return [
        *lines,
        "10 GLY CA 10 GLY HA2 5.0 0.7 0.48",
        "35 GLY CA 35 GLY HA2 5.0 0.7 0.48",
    ]


def older_glycines(drop: str = "") -> Callable[[list[str]], list[str]]:
    """A structure naming the glycines' HA protons HA1 and HA2 (IUPAC's HA2
    and HA3), less the atom lines that contain ``drop``."""
    older = {" HA2 GLY": " HA1 GLY", " HA3 GLY": " HA2 GLY"}

    def rows(lines: list[str]) -> list[str]:
        out = [line for line in lines if not (drop and drop in line)]
        return [older.get(line[12:20], line[12:20]).join((line[:12], line[20:]))
                for line in out]  # fmt: skip

    return rows


@pytest.mark.parametrize(
    ("drop", "matched"),
    [("", {"GLY10", "GLY35"}), (" HA2 GLY A  35", {"GLY10"})],
    ids=["both-protons", "one-proton"],
)
def test_older_glycine_names_mean_the_same_protons(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], drop: str, matched: set[str]
) -> None:
    pdb = shared_data("ubiquitin", "1d3z-model-1.pdb")
    table = rewritten(
        shared_data("ubiquitin", "couplings.tab"), tmp_path / "gly.tab", with_glycine_ha
    )
    calculated = {}
    for structure in (pdb, rewritten(pdb, tmp_path / "old.pdb", older_glycines(drop))):
        args = ["fit", "--json", "--structure", structure, "--couplings", table]
        assert main([*map(str, args), "--duplicates", "first"]) == 0
        report = json.loads(capsys.readouterr().out)
        rows = report["media"][0]["couplings"]
        calculated[structure] = {
            r["label"]: r["calculated"] for r in rows if r["atom_j"] == "HA2"
        }
    old = calculated[tmp_path / "old.pdb"]
    assert set(old) == matched
    # One coupling fewer moves the fit a little; the other proton, by Hz.
    assert old == pytest.approx({k: calculated[pdb][k] for k in matched}, abs=0.1)
    unmatched = report["media"][0]["unmatched"]
    assert [u["label"] for u in unmatched] == sorted({"GLY10", "GLY35"} - matched)
    assert all("cannot be told" in u["reason"] for u in unmatched)


def test_rows_without_uncertainty_that_unweight_the_fit_are_named(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    def zero_dd(lines: list[str]) -> list[str]:
        out = []
        for line in lines:
            f = line.split()
            if len(f) == 9 and f[0] in ("2", "3", "4", "5", "6") and f[5] == "H":
                line = " ".join([*f[:7], "0", f[8]])
            out.append(line)
        return out

    table = rewritten(
        shared_data("ubiquitin", "couplings.tab"), tmp_path / "dd.tab", zero_dd
    )
    warnings = fit_warnings(
        capsys, "--structure", shared_data("ubiquitin", "1d3z-model-1.pdb"),
        "--couplings", table, "--duplicates", "first",
    )  # fmt: skip
    named = [w for w in warnings if "no positive uncertainty" in w]
    assert len(named) == 1 and "5 of 265" in named[0] and "GLN2 (line 7" in named[0]


def test_a_deuterated_structure_is_refused_naming_its_deuterons(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    def deuterated(lines: list[str]) -> list[str]:
        return [
            f"{li[:12]}{li[12:16].replace('H', 'D', 1)}{li[16:76]} D{li[78:]}"
            if li.startswith("ATOM") and li[76:78].strip() == "H"
            else li
            for li in lines
        ]

    pdb = rewritten(
        shared_data("ubiquitin", "1d3z-model-1.pdb"), tmp_path / "d.pdb", deuterated
    )
    args = [
        "fit",
        "--structure",
        pdb,
        "--couplings",
        shared_data("ubiquitin", "couplings.tab"),
    ]
    assert main([*map(str, args), "--types", "N-H"]) == 1
    assert "which has the deuteron D in its place" in capsys.readouterr().err
