"""Checks against mistakes that still give a plausible fit."""

from __future__ import annotations

import logging
import math
import re
from dataclasses import replace
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import DataError, read_couplings
from kelfit_tools.checks import (
    CONDITION_LIMIT,
    check_count,
    conditioning_warning,
    design_condition,
    find_duplicates,
    numbering_check,
    renumber,
    resolve_duplicates,
    units_warning,
)
from kelfit_tools.cli import main
from kelfit_tools.example import example
from kelfit_tools.io.structure import residue_names, structure_vectors
from kelfit_tools.io.tables import Coupling
from tools_support import shared_data

EXAMPLE = example()

HEADER = "VARS RESID_I RESNAME_I ATOMNAME_I RESID_J RESNAME_J ATOMNAME_J D DD\n"


def table(tmp_path: Path, rows: str) -> Path:
    path = tmp_path / "rdc.tab"
    path.write_text(HEADER + rows)
    return path


def real(folder: str, structure: str) -> tuple[list[Coupling], dict]:
    couplings = read_couplings(shared_data(folder, "couplings.tab"))
    return couplings, residue_names(shared_data(folder, structure))


def plain_nh(couplings: list[Coupling]) -> list[Coupling]:
    """The N-H rows as a plain ``residue value`` table would give them."""
    return [
        replace(c, atom_i=None, atom_j=None, resname_i=None, resname_j=None)
        for c in couplings
        if {c.atom_i, c.atom_j} == {"N", "H"}
    ]


class TestDuplicates:
    SPELLINGS = (
        "2 GLN N 2 GLN H  -8.0 0.1\n"  # line 2
        "3 ILE N 3 ILE H   8.3 0.16\n"
        "2 GLN N 2 GLN HN -8.3 0.2\n"  # line 4
        "2 GLN H 2 GLN N  -8.0 0.1\n"  # line 5
    )

    def test_three_spellings_are_one_coupling(self, tmp_path: Path) -> None:
        path = table(tmp_path, self.SPELLINGS)
        couplings = read_couplings(path)
        groups = find_duplicates(couplings)
        assert [[c.line for c in g] for g in groups] == [[2, 4, 5]]
        with pytest.raises(DataError) as err:
            resolve_duplicates(couplings)
        assert str(err.value) == (
            f"duplicate coupling GLN2 (N-H) on lines 2, 4 and 5 of {path}"
        )

    def test_first_and_mean_say_what_they_did(self, tmp_path: Path) -> None:
        couplings = read_couplings(table(tmp_path, self.SPELLINGS))
        notes: list[str] = []
        first = resolve_duplicates(couplings, "first", notes=notes)
        assert [(c.line, c.value) for c in first] == [(2, -8.0), (3, 8.3)]
        assert "-8, -8.3, -8" in notes[0]
        notes.clear()
        mean = resolve_duplicates(couplings, "mean", notes=notes)
        assert [c.line for c in mean] == [2, 3]
        assert mean[0].value == pytest.approx(-8.1)
        # Not shrunk by sqrt(3): rms of 0.1, 0.2, 0.1 is sqrt(0.06 / 3) = 0.1414,
        # but the values scatter more: sample sd of -8, -8.3, -8 is 0.1732.
        assert mean[0].error == pytest.approx(math.sqrt(0.03))
        assert "averaged to -8.1" in notes[0] and "-8, -8.3, -8" in notes[0]

    def test_identical_copies_keep_their_uncertainty(self, tmp_path: Path) -> None:
        rows = "2 GLN N 2 GLN H -8.0 0.16\n2 GLN HN 2 GLN N -8.0 0.16\n"
        merged = resolve_duplicates(
            read_couplings(table(tmp_path, rows)), "mean", notes=[]
        )
        assert merged[0].error == pytest.approx(0.16)

    def test_mean_uncertainty_is_the_rms_of_those_stated(self) -> None:
        # A row without an uncertainty adds none: the rms of 0.3 and 0.3 is
        # 0.3 (not sqrt(0.18 / 3) = 0.245), and equal values add no spread.
        rows = [
            Coupling(2, "N", 2, "H", -8.0, error=error, line=line)
            for line, error in ((1, 0.3), (2, None), (3, 0.3))
        ]
        (merged,) = resolve_duplicates(rows, "mean", notes=[])
        assert merged.error == pytest.approx(0.3)

    @pytest.mark.parametrize("after_a_run", [False, True])
    def test_notes_go_to_the_log_when_not_collected(
        self, tmp_path: Path, caplog: pytest.LogCaptureFixture, capsys, after_a_run
    ) -> None:
        if after_a_run:  # a command run in this process leaves logging as found
            assert main(["fit", str(EXAMPLE.vectors), "-q"]) == 0
        couplings = read_couplings(table(tmp_path, self.SPELLINGS))
        with caplog.at_level(logging.WARNING, logger="kelfit_tools.checks"):
            resolve_duplicates(couplings, "first")
        assert "duplicate coupling GLN2" in caplog.text

    def test_what_is_not_the_same_coupling(self) -> None:
        base = Coupling(2, "N", 2, "H", -8.0, chain_i="A", chain_j="A", line=1)
        others = [
            replace(base, medium="bicelle", line=2),
            replace(base, chain_i="B", chain_j="B", line=3),
            replace(base, icode_i="A", icode_j="A", line=4),
            replace(base, atom_i="CA", atom_j="HA", line=5),
            replace(base, weight=0.0, line=6),  # a copy switched off
        ]
        assert find_duplicates([base, *others]) == []
        assert resolve_duplicates([base, *others]) == [base, *others]
        plain = Coupling(7, None, 7, None, 1.0, line=8)
        assert len(find_duplicates([plain, replace(plain, line=9)])) == 1

    def test_real_table_has_none_until_a_row_is_copied(self) -> None:
        couplings = read_couplings(shared_data("ubiquitin", "couplings.tab"))
        assert find_duplicates(couplings) == []
        copied = [*couplings, replace(couplings[3], line=400)]
        with pytest.raises(DataError, match=r"VAL5 \(N-H\) on lines 10 and 400 of"):
            resolve_duplicates(copied)

    def test_unknown_policy(self) -> None:
        with pytest.raises(ValueError, match="error, first, mean"):
            resolve_duplicates([], "last")


class TestNumbering:
    # Ubiquitin's prolines are residues 19, 37 and 38.
    @pytest.mark.parametrize("shift", [1, -1, 3])
    def test_shifted_named_table_names_the_renumbering(self, shift: int) -> None:
        couplings, names = real("ubiquitin", "1d3z-model-1.pdb")
        # Table residue r is structure residue r - shift: adding -shift fixes it.
        shifted = renumber(couplings, shift)
        with pytest.raises(DataError) as err:
            numbering_check(shifted, names)
        assert f"shifted by {shift:+d}: try `renumber={-shift:+d}`" in str(err.value)
        assert numbering_check(renumber(shifted, -shift), names) == numbering_check(
            couplings, names
        )

    def test_true_numbering_passes_with_its_one_typing_error(self) -> None:
        couplings, names = real("ubiquitin", "1d3z-model-1.pdb")
        (warning,) = numbering_check(couplings, names)
        # One C-N row of the deposited table calls GLY10 a threonine.
        assert "residue 10 is THR in the table, GLY in the structure" in warning
        for folder, structure in (("gb3", "1p7e.pdb"), ("hewl", "1e8l-model-1.pdb")):
            assert numbering_check(*real(folder, structure)) == []

    @pytest.mark.parametrize("shift", [1, 2, 3, 4, -1, -2, -3, -4])
    def test_plain_table_shifted_is_caught_by_prolines_and_ends(
        self, shift: int
    ) -> None:
        couplings, names = real("ubiquitin", "1d3z-model-1.pdb")
        plain = plain_nh(couplings)
        assert numbering_check(plain, names) == []
        with pytest.raises(DataError, match=re.escape(f"try `renumber={-shift:+d}`")):
            numbering_check(renumber(plain, shift), names)

    def test_sequence_names_plain_rows(self) -> None:
        couplings, names = real("gb3", "1p7e.pdb")
        plain = plain_nh(couplings)
        # GB3 has no proline: a plain table alone cannot show a shift ...
        assert numbering_check(renumber(plain, 1), names) == []
        # ... but the table's sequence can: numbered as the table is (from
        # -1 here), with one-letter codes.
        gb3 = "MQYKLVINGKTLKGETTTKAVDAETAEKAFKQYANDNGVDGVWTYDDATKTFTVTE"
        sequence = dict(enumerate(gb3, -1))
        with pytest.raises(DataError, match=r"shifted by -2: try `renumber=\+2`"):
            numbering_check(renumber(plain, -2), names, sequence=sequence)

    def test_renumbering_moves_the_tables_own_sequence_too(self) -> None:
        from kelfit_tools.prepare import Medium, Preparation, Selection, check_numbering

        couplings, names = real("gb3", "1p7e.pdb")
        # The file numbers its residues (and its sequence) 2 below the
        # structure; --renumber +2 has moved the rows, and moves the sequence.
        sequence = {n - 2: name for (_, n), name in names.items()}
        medium = Medium("m", [], "gb3.tab", sequence=sequence)
        rows = plain_nh(couplings)
        report = Preparation()
        check_numbering(rows, names, medium, Selection(renumber=2), report)
        assert report.warnings == []
        with pytest.raises(DataError, match="try `renumber="):
            check_numbering(rows, names, medium, Selection(renumber=-2), report)

    def test_small_cases_worked_by_hand(self) -> None:
        structure = {("A", n): name for n, name in enumerate(
            ["MET", "GLN", "ILE", "PHE", "VAL", "LYS", "THR", "LEU", "PRO", "HIS"], 1
        )}  # fmt: skip

        def rows(names: dict[int, str]) -> list[Coupling]:
            return [
                Coupling(n, "N", n, "HN", 1.0, resname_i=r, resname_j=r, line=n)
                for n, r in names.items()
            ]

        # HSD is a histidine; one name in ten wrong is a typing error.
        good = {2: "GLN", 3: "ILE", 4: "PHE", 5: "VAL", 6: "LYS", 7: "THR", 10: "HSD"}
        assert numbering_check(rows(good), structure) == []
        typo = {**good, 5: "ALA"}
        (warning,) = numbering_check(rows(typo), structure)
        assert "1 of 7" in warning and "residue 5 is ALA" in warning
        # A coupling to a proline's amide proton cannot be, even if named so.
        (warning,) = numbering_check(rows({**good, 9: "PRO"}), structure)
        assert "residue 9 is a proline" in warning
        # Names of another protein: nothing to suggest.
        other = {n: "TRP" for n in range(2, 9)}
        with pytest.raises(DataError, match="disagree .* for 7 of 7 residues"):
            numbering_check(rows(other), structure)

    def test_of_equally_good_shifts_the_smallest_is_suggested(self) -> None:
        # Names repeating every 4 residues fit at shifts -1, +3, -5, ...
        # equally well: the nearest is the likely one.
        pattern = ["ALA", "GLY", "SER", "THR"]
        structure = {("A", n): pattern[n % 4] for n in range(1, 101)}
        rows = [
            Coupling(n, "N", n, "H", 1.0, resname_i=pattern[(n + 1) % 4])
            for n in range(30, 60)
        ]
        with pytest.raises(DataError, match=re.escape("by -1: try `renumber=+1`")):
            numbering_check(rows, structure)

    def test_chain_is_honoured(self) -> None:
        structure = {("A", n): "GLY" for n in range(1, 9)}
        structure.update({("B", n): "ALA" for n in range(1, 9)})
        couplings = [
            Coupling(n, "N", n, "H", 1.0, chain_i="B", chain_j="B", resname_i="ALA")
            for n in range(2, 8)
        ]
        assert numbering_check(couplings, structure) == []
        unchained = [replace(c, chain_i=None, chain_j=None) for c in couplings]
        assert numbering_check(unchained, structure, chain="B") == []
        with pytest.raises(DataError, match="disagree"):
            numbering_check(unchained, structure)  # first chain: glycines

    # The structure's one chain is A: a segment named in another letter case,
    # or under another name, is that chain, as the matching takes it.
    @pytest.mark.parametrize("segid", ["A", "a", "X"])
    def test_segment_names_are_resolved_as_the_matching_does(self, segid) -> None:
        couplings = [
            replace(c, chain_i=segid, chain_j=segid)
            for c in read_couplings(EXAMPLE.couplings)
        ]
        names = residue_names(EXAMPLE.structure)
        assert numbering_check(couplings, names) == []
        with pytest.raises(DataError, match=re.escape("try `renumber=-1`")):
            numbering_check(renumber(couplings, 1), names)

    def test_renumber_moves_both_ends_only(self) -> None:
        c = Coupling(71, "C", 72, "N", 2.5, resname_i="LEU", line=9, medium="m")
        (moved,) = renumber([c], -3)
        assert (moved.residue_i, moved.residue_j) == (68, 69)
        assert replace(moved, residue_i=71, residue_j=72) == c


class TestDetermination:
    def test_count(self) -> None:
        with pytest.raises(DataError) as err:
            check_count(5, 5, label="bicelle")
        assert str(err.value) == (
            "bicelle: 5 couplings for 5 free parameters: a fit needs more "
            "couplings than parameters"
        )
        with pytest.raises(DataError):
            check_count(6, 6, label="")
        assert len(check_count(9, 5, label="")) == 1
        assert check_count(10, 5, label="") == []

    def test_condition_of_even_directions(self) -> None:
        # The icosahedron's axes have the fourth moments of the sphere:
        # E[(x2-z2)^2] = E[(2xy)^2] = 4/15, E[(x2-z2)(y2-z2)] = 2/15, so the
        # Gram matrix over N has eigenvalues 6/15, 4/15 (three) and 2/15, and
        # the condition is sqrt(6/2); a column of ones adds 1: sqrt(15/2).
        g = (1 + math.sqrt(5)) / 2
        axes = np.array(
            [[0, 1, g], [0, 1, -g], [1, g, 0], [1, -g, 0], [g, 0, 1], [-g, 0, 1]]
        )
        assert design_condition(axes) == pytest.approx(math.sqrt(3))
        assert design_condition(axes, offset=True) == pytest.approx(math.sqrt(7.5))
        # A common scale or sigma multiplies every tensor column alike.
        assert design_condition(axes, scale=0.2, sigma=3.0) == pytest.approx(
            math.sqrt(3)
        )
        assert conditioning_warning(math.sqrt(3)) is None

    def test_directions_that_cannot_determine_the_tensor(self) -> None:
        phi = np.linspace(0, 2 * math.pi, 9)[:-1]
        plane = np.c_[np.cos(phi), np.sin(phi), np.zeros_like(phi)]
        assert design_condition(plane) == math.inf
        # On the magic-angle cone the axial part along the cone's axis is
        # invisible: 3 cos^2 - 1 = 0.
        s, c = math.sqrt(2 / 3), math.sqrt(1 / 3)
        cone = np.c_[s * np.cos(phi), s * np.sin(phi), np.full_like(phi, c)]
        assert design_condition(cone) > 1e12
        assert design_condition(plane[:4]) == math.inf
        assert "infinite" in (conditioning_warning(math.inf) or "")
        assert conditioning_warning(CONDITION_LIMIT) is None
        assert conditioning_warning(CONDITION_LIMIT * 1.01) is not None

    def test_real_sets_pass_and_one_helix_does_not(self) -> None:
        couplings = read_couplings(shared_data("ubiquitin", "couplings.tab"))
        nh = structure_vectors(shared_data("ubiquitin", "1d3z-model-1.pdb"), couplings)
        assert conditioning_warning(design_condition(nh.vectors, offset=True)) is None
        helix = [i for i, c in enumerate(nh.couplings) if 23 <= c.residue_i <= 34]
        assert conditioning_warning(design_condition(nh.vectors[helix])) is not None

    def test_units(self) -> None:
        assert units_warning(-0.008) == (
            "Da(N-H) = -0.008 Hz is implausibly small for couplings in Hz: "
            "were they given in kHz?"
        )
        assert "check the units" in (units_warning(-7780.0) or "")
        for fine in (-7.78, 0.5, -100.0, 14.0):
            assert units_warning(fine) is None
