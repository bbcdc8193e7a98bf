"""Restraint files as deposited: Xplor/CNS and NMR-STAR, format detection,
and the table readers' edge cases."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import DataError, read_couplings, read_restraints, read_table
from kelfit_tools.io import detect_format

XPLOR = """\
! NOE restraints
ASSIGN (RESID 1 AND NAME HA) (RESID 2 AND NAME HN) 2.2 0.4 0.3
assign (resid 4 and name C) (resid 5 and name N)
       (resid 5 and name CA) (resid 5 and name C) 1 -60.0 30.0 2

! Restraints from residual dipolar couplings
!  bicelles
assign ( resid 501 and name OO )
       ( resid 501 and name Z  )
       ( resid 501 and name X  )
       ( resid 501 and name Y  )
       ( resid 2 and name N )
       ( resid 2 and name HN )  -16.4  2.0

assign ( resid 501 and name OO ) ( resid 501 and name Z ) ( resid 501 and name X )
       ( resid 501 and name Y ) ( resid -3 and name CA ) ( resid -3 and name HA ) 21.5 1.0
{ a brace comment }
assign ( resid 502 and name OO ) ( resid 502 and name Z )
       ( resid 502 and name X ) ( resid 502 and name Y )
       ( segid "B" and resid 7 and name N ) ( resid 7 and name HN ) 3.0 0.5

  some table that follows the restraints
    1    H1   LYS   1
"""

STAR = """\
data_test

save_rdc_list_1
   _RDC_list.Sf_category    RDC
   _RDC_list.Sf_framecode   rdc_list_1
   _RDC_list.ID             1
   _RDC_list.Details        'phage, 15 mg/ml'

   loop_
      _RDC.ID
      _RDC.Seq_ID_1
      _RDC.Comp_ID_1
      _RDC.Atom_ID_1
      _RDC.Seq_ID_2
      _RDC.Comp_ID_2
      _RDC.Atom_ID_2
      _RDC.Val
      _RDC.Val_err
      _RDC.RDC_list_ID

      1 2 GLN N 2 GLN H -8.17 0.16 1
      2 3 ILE N 3 ILE H  8.27 .    1
   stop_
save_
"""


class TestXplor:
    def test_reads_rdc_restraints_only_with_media_and_lines(
        self, tmp_path: Path
    ) -> None:
        path = tmp_path / "r.mr"
        path.write_text(XPLOR)
        assert detect_format(path) == "xplor"
        first, second, third = read_restraints(path)
        assert (first.residue_i, first.atom_i, first.atom_j) == (2, "N", "HN")
        assert (first.value, first.error, first.line) == (-16.4, 2.0, 8)
        assert first.medium == second.medium == "bicelles"
        assert (second.residue_i, second.value, second.line) == (-3, 21.5, 15)
        assert third.medium == "tensor residue 502" and third.chain_i == "B"
        assert third.line == 18

    def test_malformed_restraint_names_its_line(self, tmp_path: Path) -> None:
        path = tmp_path / "bad.mr"
        path.write_text(XPLOR.replace("-16.4  2.0", "-16.4"))
        with pytest.raises(DataError, match=r"bad\.mr:8: RDC restraint needs"):
            read_restraints(path)

    def test_a_file_without_rdc_restraints(self, tmp_path: Path) -> None:
        path = tmp_path / "noe.tbl"
        path.write_text(XPLOR.split("! Restraints from")[0])
        with pytest.raises(DataError, match="no RDC restraints"):
            read_restraints(path, "xplor")


class TestNmrStar:
    def test_bmrb_rdc_loop(self, tmp_path: Path) -> None:
        pytest.importorskip("pynmrstar")
        path = tmp_path / "entry.str"
        path.write_text(STAR)
        assert detect_format(path) == "nmrstar"
        first, second = read_restraints(path)
        assert (first.residue_i, first.atom_i, first.resname_i) == (2, "N", "GLN")
        assert (first.value, first.error, first.medium) == (
            -8.17,
            0.16,
            "phage, 15 mg/ml",
        )
        assert second.error is None and second.line == 2

    def test_broken_file_is_a_data_error(self, tmp_path: Path) -> None:
        pytest.importorskip("pynmrstar")
        path = tmp_path / "broken.str"
        path.write_text(STAR.replace("   stop_\n", ""))
        with pytest.raises(DataError, match="broken.str"):
            read_restraints(path, "nmrstar")


class TestTables:
    def test_negative_residue_numbers_and_w_zero(self, tmp_path: Path) -> None:
        path = tmp_path / "c.tab"
        path.write_text(
            "VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D DD W\n"
            "-2 N -2 H 1.5 0.1 1.0\n"
            "3 N 3 H 2.5 0.1 0.0\n"
        )
        first, second = read_couplings(path)
        assert first.residue_i == -2 and second.weight == 0.0
        path.write_text(path.read_text().replace("0.0\n", "-1.0\n"))
        with pytest.raises(DataError, match=r"c\.tab:3: W must not be negative"):
            read_couplings(path)

    def test_huge_csv_field_is_a_data_error(self, tmp_path: Path) -> None:
        path = tmp_path / "huge.csv"
        path.write_text('1,0,0,1.0\n0,1,0,"' + "9" * 200_000 + '"\n')
        with pytest.raises(DataError, match=r"huge\.csv:2: not a readable CSV line"):
            read_table(path)

    def test_values_beyond_single_precision_name_their_line(
        self, tmp_path: Path
    ) -> None:
        path = tmp_path / "big.txt"
        path.write_text("# x y z value\n1 0 0 1.0\n0 1 0 1e300\n")
        with pytest.raises(DataError, match=r"big\.txt:3: value is too large"):
            read_table(path)


def test_module_refusals_name_rows_and_parameters_as_users_count_them() -> None:
    import kelfit
    from kelfit_tools.errors import user_message

    vectors = np.random.default_rng(4).normal(size=(8, 3))
    observed = np.ones(8)
    start = np.array([0.1, 0.2, 0.3, 5.0, 0.3, 0.0])
    sigma = np.ones(8)
    sigma[5] = 0.0
    zero = vectors.copy()
    zero[0] = 0.0
    infinite = start.copy()
    infinite[3] = np.inf
    cases = [
        (lambda: kelfit.fit(vectors, observed, start, sigma=sigma),
         "sigma of row 6 must be finite and positive in single precision"),
        (lambda: kelfit.fit(zero, observed, start),
         "vector of row 1 has zero length in single precision"),
        (lambda: kelfit.fit(vectors, observed, infinite),
         "Da of the start must be finite in single precision"),
        (lambda: kelfit.solve(vectors, infinite), "Da of the tensor must be finite"),
    ]  # fmt: skip
    for call, expected in cases:
        with pytest.raises(kelfit.InputError) as caught:
            call()
        assert user_message(caught.value) == expected
    # Errors without a row or parameter keep their own words.
    assert user_message(ValueError("sigma[5] is bad")) == "sigma[5] is bad"
    with pytest.raises(kelfit.InputError) as caught:
        kelfit.fit(vectors, observed[:3], start)
    assert user_message(caught.value) == str(caught.value)
