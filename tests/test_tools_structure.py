"""Matching couplings to a structure's bond vectors (needs gemmi)."""

from __future__ import annotations

from dataclasses import replace
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import DataError, read_couplings, read_table
from kelfit_tools.example import example
from kelfit_tools.io.structure import (
    backbone_bonds,
    residue_vectors,
    structure_vectors,
)
from tools_support import REAL_DATA, shared_data

pytest.importorskip("gemmi")

EXAMPLE = example()


def example_lines() -> list[str]:
    return EXAMPLE.structure.read_text().splitlines()


def test_bundled_structure_and_vector_table_agree() -> None:
    sv = structure_vectors(EXAMPLE.structure, read_couplings(EXAMPLE.couplings))
    table = read_table(EXAMPLE.vectors)
    assert sv.labels == table.labels
    assert np.allclose(sv.vectors, table.vectors, atol=1e-3)
    assert table.values is not None and np.array_equal(sv.values, table.values)
    assert sv.unmatched == [] and sv.other_pairs == 0


def test_amide_proton_named_hn_in_the_structure(tmp_path: Path) -> None:
    renamed = tmp_path / "hn.pdb"
    renamed.write_text(
        "\n".join(
            line[:12] + " HN " + line[16:] if line[12:16] == " H  " else line
            for line in example_lines()
        )
    )
    sv = structure_vectors(renamed, read_couplings(EXAMPLE.couplings))
    assert len(sv.values) == len(read_couplings(EXAMPLE.couplings))


def test_unmatched_couplings_are_reported_with_reasons(
    tmp_path: Path, caplog: pytest.LogCaptureFixture
) -> None:
    table = tmp_path / "c.tab"
    table.write_text(
        "VARS RESID_I RESNAME_I ATOMNAME_I RESID_J RESNAME_J ATOMNAME_J D\n"
        "2 LYS N 2 LYS H 1.0\n"  # fine
        "11 PRO N 11 PRO H 2.0\n"  # proline: no amide proton
        "3 GLY N 3 GLY H 3.0\n"  # residue 3 is ILE
        "99 ALA N 99 ALA H 4.0\n"  # no such residue
        "2 LYS CA 2 LYS HA 5.0\n"  # another atom pair
        "1 MET C 2 LYS N 6.0\n"
    )
    sv = structure_vectors(EXAMPLE.structure, read_couplings(table))
    assert sv.values.tolist() == [1.0]
    reasons = {c.residue_i: why for c, why in sv.unmatched}
    assert "no atom H in PRO11" in reasons[11]
    assert "ILE in the structure, GLY in the table" in reasons[3]
    assert "no residue 99" in reasons[99]
    assert sv.other_pairs == 2
    assert "3 coupling(s) not matched" in caplog.text


def test_plain_table_uses_the_requested_atoms_and_chain(tmp_path: Path) -> None:
    table = tmp_path / "plain.txt"
    table.write_text("A 2 1.5\nA 3 -2.0\nB 4 0.5\n")
    sv = structure_vectors(EXAMPLE.structure, read_couplings(table), ("CA", "CB"))
    assert sv.labels == ["A:LYS2", "A:ILE3"]
    lines = {ln[12:16].strip(): ln for ln in example_lines() if ln[22:26] == "   2"}
    ca, cb = (
        np.array([float(lines[a][c : c + 8]) for c in (30, 38, 46)])
        for a in ("CA", "CB")
    )
    assert np.allclose(sv.vectors[0], cb - ca, atol=1e-3)
    assert "no chain 'B'" in sv.unmatched[0][1]


def test_nothing_matched_is_an_error(tmp_path: Path) -> None:
    table = tmp_path / "c.tab"
    table.write_text("VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D\n5 C 5 O 1\n")
    with pytest.raises(DataError, match="none of the 1 couplings is between N and H"):
        structure_vectors(EXAMPLE.structure, read_couplings(table))


def test_model_out_of_range(tmp_path: Path) -> None:
    with pytest.raises(DataError, match="model 2 does not exist; .* 1 model"):
        structure_vectors(EXAMPLE.structure, read_couplings(EXAMPLE.couplings), model=2)


def test_residue_vectors_cover_every_residue_with_both_atoms() -> None:
    vectors, labels = residue_vectors(EXAMPLE.structure)
    assert len(labels) == len(read_table(EXAMPLE.vectors).labels) + 1  # one left out
    assert "PRO11" not in labels and "MET1" not in labels
    assert np.allclose(np.linalg.norm(vectors, axis=1), 1.02, atol=3e-3)


def test_peptide_bonds_only_join_consecutive_residues() -> None:
    import gemmi

    structure = gemmi.read_structure(str(shared_data("ubiquitin", "1d3z-model-1.pdb")))
    whole, _ = backbone_bonds(structure, ["C-N"])
    for residue in structure[0]["A"]:
        if residue.seqid.num >= 40:  # a gap: 39 is followed by 50
            residue.seqid.num += 10
    gapped, bonds = backbone_bonds(structure, ["C-N"])
    assert len(whole) == 75 and len(gapped) == 74
    assert (39, 50) not in {(b.residue_i, b.residue_j) for b in bonds}
    with pytest.raises(ValueError, match="N-H, CA-HA, C-N, CA-C"):
        backbone_bonds(structure, ["N-CA"])


@pytest.mark.parametrize(("folder", "structure", "nh"), REAL_DATA)
def test_real_structures_match_every_nh_coupling(
    folder: str, structure: str, nh: int
) -> None:
    sv = structure_vectors(
        shared_data(folder, structure),
        read_couplings(shared_data(folder, "couplings.tab")),
    )
    assert len(sv.values) == nh and sv.unmatched == []
    assert np.all(np.abs(np.linalg.norm(sv.vectors, axis=1) - 1.0) < 0.05)


def test_residue_names_that_differ_are_used_only_as_rare_typos(
    caplog: pytest.LogCaptureFixture,
) -> None:
    """Ubiquitin's table calls residue 10 THR once (it is GLY): that coupling
    is used by number. A table of another protein is not."""
    pdb = shared_data("ubiquitin", "1d3z-model-1.pdb")
    couplings = read_couplings(shared_data("ubiquitin", "couplings.tab"))
    used = structure_vectors(pdb, couplings, None, resnames="use")
    strict = structure_vectors(pdb, couplings, None)
    assert len(used.values) == 265 == len(strict.values) + 1
    ((typo, why),) = used.renamed
    assert (typo.residue_i, typo.atom_i) == (10, "C") and "GLY" in why
    other = structure_vectors(EXAMPLE.structure, couplings, None, resnames="use")
    assert other.renamed == [] and len(other.values) < 0.2 * len(couplings)
    assert "is it the right structure and numbering?" in caplog.text


def test_one_misnamed_residue_of_a_short_table_is_a_typo() -> None:
    # Under 20 couplings, one differing name is still within what typing
    # errors explain: used by number and listed, not a refusal of them all.
    rows = [
        c
        for c in read_couplings(EXAMPLE.couplings)
        if {c.atom_i, c.atom_j} == {"N", "H"}
    ][:12]
    typo = replace(rows[3], resname_i="TRP", resname_j="TRP")
    used = structure_vectors(
        EXAMPLE.structure, [*rows[:3], typo, *rows[4:]], resnames="use"
    )
    assert len(used.values) == 12 and used.unmatched == []
    ((renamed, why),) = used.renamed
    assert renamed.residue_i == typo.residue_i and "TRP in the table" in why


@pytest.mark.parametrize(
    "named, chains, meant",
    [
        ("A", ["a"], ("a", "case")),
        ("a", ["A"], ("A", "case")),
        ("a", ["A", "a"], ("a", "")),
    ],
)
def test_a_chain_named_in_another_letter_case_is_found(
    named: str, chains: list[str], meant: tuple[str, str]
) -> None:
    from kelfit_tools.io.matching import resolve_chain

    assert resolve_chain(named, chains, {named, "B"}) == meant
