"""Vector and coupling tables: layouts that must read, and errors that must point."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import DataError, read_couplings, read_table
from tools_support import REAL_DATA, shared_data


def write(tmp_path: Path, text: str, name: str = "input.txt") -> Path:
    path = tmp_path / name
    path.write_text(text)
    return path


class TestReadTable:
    def test_whitespace_with_header_comments_and_labels(self, tmp_path: Path) -> None:
        path = write(
            tmp_path,
            "# made by hand\n"
            "x y z value label\n"
            "\n"
            "1 0 0  4.5  GLN 2   # a comment\n"
            "0 2 0 -1.25 ILE3\n",
        )
        t = read_table(path)
        assert t.vectors.tolist() == [[1, 0, 0], [0, 2, 0]]
        assert t.values is not None and t.values.tolist() == [4.5, -1.25]
        assert t.labels == ["GLN 2", "ILE3"]

    def test_csv_without_labels_numbers_the_rows(self, tmp_path: Path) -> None:
        t = read_table(write(tmp_path, "x,y,z,D\n1,2,3,0.5\n-1,0,1,2e1\n", "a.csv"))
        assert t.values is not None and t.values.tolist() == [0.5, 20.0]
        assert t.labels == ["1", "2"]

    def test_values_optional_for_back_calculation(self, tmp_path: Path) -> None:
        t = read_table(write(tmp_path, "1 0 0 A1\n0 1 0 A2\n"), require_values=False)
        assert t.values is None and t.labels == ["A1", "A2"]

    @pytest.mark.parametrize(
        ("text", "line", "message"),
        [
            ("1 0 0 1\n1 0 x 2\n", 2, r"column 3 \(z\) is not a number"),
            ("1 0 0 1\n1 0 0\n", 2, "found 3 column"),
            ("1 0 0 1\n0 0 0 2\n", 2, "zero length"),
            ("1 0 0 nan\n", 1, "not finite"),
            ("1 0 0 inf 5\n", 1, "not finite"),
            ("1 0 0 1\n1 0 0 one\n", 2, "value is not a number"),
            ("1,0,0,1\n1,0,0,2,a,b\n", 2, "too many columns"),
        ],
    )
    def test_errors_name_file_and_line(
        self, tmp_path: Path, text: str, line: int, message: str
    ) -> None:
        path = write(tmp_path, text)
        with pytest.raises(DataError, match=message) as caught:
            read_table(path)
        assert str(caught.value).startswith(f"{path}:{line}: ")
        assert caught.value.line == line

    def test_mixed_value_columns_rejected_without_values_required(
        self, tmp_path: Path
    ) -> None:
        path = write(tmp_path, "1 0 0 2.0\n0 1 0 label\n")
        with pytest.raises(DataError, match="lacks a value column"):
            read_table(path, require_values=False)

    @pytest.mark.parametrize("text", ["", "# nothing\n\n", "x y z value\n"])
    def test_no_rows(self, tmp_path: Path, text: str) -> None:
        with pytest.raises(DataError, match="no data rows"):
            read_table(write(tmp_path, text))

    def test_missing_and_binary_files(self, tmp_path: Path) -> None:
        with pytest.raises(DataError, match="no such file"):
            read_table(tmp_path / "absent.txt")
        binary = tmp_path / "b.txt"
        binary.write_bytes(b"\xff\xfe\x00\x81")
        with pytest.raises(DataError, match="not a text file"):
            read_table(binary)


VARS_TABLE = """\
DATA SEQUENCE MQIF
REMARK a comment line

VARS   RESID_I RESNAME_I ATOMNAME_I RESID_J RESNAME_J ATOMNAME_J D      DD    W
FORMAT %5d     %6s       %6s        %5d     %6s       %6s    %9.3f   %9.3f %.2f

    2    GLN      N     2    GLN      H    -8.170     0.160 1.00
    3    ILE      N     3    ILE     HN     8.270     0.160 1.00
   71    LEU      C    72A   ARG      N     0.650     0.070 8.33
"""


class TestReadCouplings:
    def test_vars_layout(self, tmp_path: Path) -> None:
        c = read_couplings(write(tmp_path, VARS_TABLE))
        assert [(x.residue_i, x.atom_i, x.atom_j, x.value) for x in c] == [
            (2, "N", "H", -8.17),
            (3, "N", "HN", 8.27),
            (71, "C", "N", 0.65),
        ]
        assert c[2].residue_j == 72 and c[2].icode_j == "A"
        assert (c[0].resname_i, c[0].error, c[0].weight, c[0].line) == (
            "GLN",
            0.16,
            1.0,
            7,
        )
        assert [x.label for x in c] == ["GLN2", "ILE3", "LEU71-ARG72A"]

    @pytest.mark.parametrize(
        ("text", "chains", "residues"),
        [
            ("2 -8.17\n3 8.27\n", [None, None], [2, 3]),
            ("residue,D\n2,-8.17\n3,8.27\n", [None, None], [2, 3]),
            ("# chain resid D\nA 2 -8.17\nB 3 8.27\n", ["A", "B"], [2, 3]),
        ],
    )
    def test_plain_layout(
        self, tmp_path: Path, text: str, chains: list, residues: list
    ) -> None:
        c = read_couplings(write(tmp_path, text))
        assert [x.chain_i for x in c] == chains
        assert [x.residue_i for x in c] == residues
        assert [x.value for x in c] == [-8.17, 8.27]
        assert all(x.atom_i is None and x.atom_j is None for x in c)

    @pytest.mark.parametrize(
        ("text", "line", "message"),
        [
            ("VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J\n", 1, "no observed coupling"),
            ("VARS RESID_I ATOMNAME_I RESID_J D\n", 1, "lacks column.s. ATOMNAME_J"),
            (
                "VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D\nFORMAT %5d %s\n",
                2,
                "FORMAT gives 2 formats for 5",
            ),
            (
                "VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D\n\n2 N 2 H 1.0\n2 N 2 H\n",
                4,
                "expected 5 columns",
            ),
            ("VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D\nx N 2 H 1\n", 2, "RESID_I"),
            ("VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D\n2 N 2 H big\n", 2, "D is"),
            ("2 1.0\n3 nan\n", 2, "not a finite number"),
            ("2 1.0\nA 3 N 4.0\n", 2, "expected \\[chain\\] residue value"),
            ("2 1.0\nVARS RESID_I\n", 2, "VARS line after data"),
        ],
    )
    def test_errors_name_file_and_line(
        self, tmp_path: Path, text: str, line: int, message: str
    ) -> None:
        path = write(tmp_path, text)
        with pytest.raises(DataError, match=message) as caught:
            read_couplings(path)
        assert str(caught.value).startswith(f"{path}:{line}: ")

    def test_no_couplings(self, tmp_path: Path) -> None:
        with pytest.raises(DataError, match="no couplings"):
            read_couplings(write(tmp_path, VARS_TABLE.split("\n\n    2")[0]))

    @pytest.mark.parametrize(("folder", "structure", "nh"), REAL_DATA)
    def test_reads_the_real_tables_as_they_are(
        self, folder: str, structure: str, nh: int
    ) -> None:
        couplings = read_couplings(shared_data(folder, "couplings.tab"))
        total = {"ubiquitin": 265, "gb3": 203}[folder]
        assert len(couplings) == total
        pairs = [(c.atom_i, c.atom_j) for c in couplings]
        assert pairs.count(("N", "H")) == nh
        assert all(np.isfinite(c.value) for c in couplings)


class TestRdcLines:
    def test_ubiquitin_as_rdc_lines_fits_as_its_table(
        self, tmp_path: Path, capsys: pytest.CaptureFixture[str]
    ) -> None:
        import json

        from kelfit_tools.cli import main

        pytest.importorskip("gemmi")
        table = shared_data("ubiquitin", "couplings.tab")
        lines = ["# ubiquitin N-H, written as a modelling suite takes them", ""]
        for line in table.read_text().splitlines():
            f = line.split()
            if len(f) == 9 and f[0].isdigit() and (f[2], f[5]) == ("N", "H"):
                lines.append(f"RDC {f[0]} N {f[3]} H {f[6]}  # {f[1]}")
        rdc = write(tmp_path, "\n".join(lines) + "\n", "ubiquitin.rdc")
        tensors = []
        for couplings in (rdc, table):
            args = ["fit", "--json", "--structure",
                    str(shared_data("ubiquitin", "1d3z-model-1.pdb")),
                    "--couplings", str(couplings), "--types", "N-H", "--unweighted"]  # fmt: skip
            assert main(args) == 0
            media = json.loads(capsys.readouterr().out)["media"]
            tensors.append(media[0]["tensor"])
            assert media[0]["quality"]["n"] == 68
        assert tensors[0]["euler_deg"] == tensors[1]["euler_deg"]
        assert tensors[0]["da"] == tensors[1]["da"]

    @pytest.mark.parametrize(
        ("text", "message"),
        [
            ("RDC 12 N 12 H -7.5\nRDC 13 N 13 H\n", "bad.rdc:2: expected RDC residue"),
            ("RDC 12 N 12 H -7.5 0.3\n", "bad.rdc:1: expected RDC residue"),
            ("RDC 12 N 12 H -7.5\n13 N 13 H 4.2\n", "bad.rdc:2: expected RDC residue"),
            ("RDC 12 N x H -7.5\n", "bad.rdc:1: the second residue is not a residue"),
            ("RDC 12 N 12 H nan\n", "bad.rdc:1: the value is not a finite number"),
        ],
    )
    def test_errors_name_file_and_line(
        self, tmp_path: Path, text: str, message: str
    ) -> None:
        from kelfit_tools.io import read_restraints

        with pytest.raises(DataError, match=message):
            read_restraints(write(tmp_path, text, "bad.rdc"))
