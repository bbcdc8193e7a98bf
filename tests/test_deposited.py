"""Files as other programs deposit them: an SVD fit's output table, the
sequence a table states, structures whatever their name, insertion codes and
segids in every reader, and amide protons for structures without them."""

from __future__ import annotations

import gzip
import logging
import math
import shutil
from pathlib import Path

import numpy as np
import pytest
from kelfit_tools import DataError, read_couplings, read_restraints
from kelfit_tools.io.protons import amide_proton_share, build_amide_protons
from kelfit_tools.io.structure import load_structure, structure_vectors
from kelfit_tools.io.tables import read_sequence
from tools_support import shared_data

gemmi = pytest.importorskip("gemmi")


def write(tmp_path: Path, text: str, name: str = "input.txt") -> Path:
    path = tmp_path / name
    path.write_text(text)
    return path


class TestSvdFitOutput:
    @pytest.mark.parametrize("folder", ["ubiquitin", "gb3"])
    def test_observed_column_is_the_deposited_couplings(
        self, folder: str, caplog: pytest.LogCaptureFixture
    ) -> None:
        # The fit was run on couplings.tab: its observed column holds those
        # values, and its D column (back-calculated) does not.
        deposited = {
            (c.residue_i, c.atom_i, c.residue_j, c.atom_j): c.value
            for c in read_couplings(shared_data(folder, "couplings.tab"))
        }
        with caplog.at_level(logging.INFO, logger="kelfit_tools"):
            read = read_couplings(shared_data(folder, "svd-fit-reference.out"))
        assert {
            (c.residue_i, c.atom_i, c.residue_j, c.atom_j): c.value for c in read
        } == (deposited)
        assert "reading D_OBS as the observed couplings; D holds back" in caplog.text

    def test_d_obs_alone_and_tables_without_observed_values(
        self, tmp_path: Path
    ) -> None:
        only = "VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D_OBS\n2 N 2 H -8.17\n"
        assert read_couplings(write(tmp_path, only))[0].value == -8.17
        back_only = "DATA N 1\nVARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J DI D_DIFF\n"
        path = write(tmp_path, back_only + "2 N 2 H -25907.7 0.4\n")
        with pytest.raises(DataError, match=r"input\.txt:2: .*no observed coupling"):
            read_couplings(path)


class TestSequence:
    @pytest.mark.parametrize(
        ("folder", "structure"),
        [("ubiquitin", "1d3z-model-1.pdb"), ("gb3", "1p7e.pdb")],
    )
    def test_real_tables_name_the_structures_residues(
        self, folder: str, structure: str
    ) -> None:
        sequence = read_sequence(shared_data(folder, "couplings.tab"))
        model = gemmi.read_structure(str(shared_data(folder, structure)))[0]
        assert sequence == {r.seqid.num: r.name for ch in model for r in ch}

    def test_wrapped_sequence_and_none(self) -> None:
        hewl = read_sequence(shared_data("hewl", "couplings.tab"))
        assert hewl is not None and len(hewl) == 129
        assert (hewl[1], hewl[60], hewl[61], hewl[129]) == ("LYS", "SER", "ARG", "LEU")
        assert read_sequence(shared_data("ubiquitin", "svd-fit-reference.out")) is None

    def test_first_resid_and_faults(self, tmp_path: Path) -> None:
        text = "DATA FIRST_RESID 10\nDATA SEQUENCE mqi fW\nDATA SEQUENCE G\n"
        assert read_sequence(write(tmp_path, text)) == {
            10: "MET",
            11: "GLN",
            12: "ILE",
            13: "PHE",
            14: "TRP",
            15: "GLY",
        }
        for bad, line, message in [
            ("DATA SEQUENCE MQ1\n", 1, "'1', not a one-letter"),
            ("DATA SEQUENCE MQ\nDATA FIRST_RESID ten\n", 2, "needs one integer"),
            (
                "DATA FIRST_RESID 1\nDATA FIRST_RESID 2\nDATA SEQUENCE M\n",
                2,
                "contradicts the earlier 1",
            ),
        ]:
            with pytest.raises(DataError, match=message) as caught:
                read_sequence(write(tmp_path, bad))
            assert caught.value.line == line


def _atoms(structure: gemmi.Structure) -> list[tuple[str, int, str, tuple]]:
    return [
        (r.name, r.seqid.num, a.name, tuple(round(v, 3) for v in a.pos.tolist()))
        for ch in structure[0]
        for r in ch
        for a in r
    ]


class TestStructureByContent:
    def test_pdb_and_mmcif_under_any_name(self, tmp_path: Path) -> None:
        source = shared_data("ubiquitin", "1d3z-model-1.pdb")
        expected = _atoms(gemmi.read_structure(str(source)))
        assert len(expected) == 1231
        files = {
            "1d3z.ent": source.read_bytes(),
            "1d3z.txt": source.read_bytes(),
            "1d3z": source.read_bytes(),
            "1d3z.pdb.gz": gzip.compress(source.read_bytes()),
            "packed": gzip.compress(source.read_bytes()),
        }
        for name, data in files.items():
            (tmp_path / name).write_bytes(data)
        doc = gemmi.read_structure(str(source)).make_mmcif_document()
        doc.write_file(str(tmp_path / "as_cif.pdb"))
        for name in [*files, "as_cif.pdb"]:
            structure = load_structure(tmp_path / name)
            assert _atoms(structure) == expected, name
        assert load_structure(tmp_path / "1d3z.pdb.gz").name == "1d3z"

    def test_files_that_are_no_structure(self, tmp_path: Path) -> None:
        table = tmp_path / "couplings.dat"
        shutil.copy(shared_data("ubiquitin", "couplings.tab"), table)
        with pytest.raises(DataError, match=r"couplings\.dat: no atoms.*as PDB"):
            load_structure(table)
        broken = tmp_path / "cut.gz"
        broken.write_bytes(gzip.compress(b"ATOM " * 1000)[:30])
        with pytest.raises(DataError, match=r"cut\.gz: not a readable gzip"):
            load_structure(broken)
        with pytest.raises(DataError, match="no such file"):
            load_structure(tmp_path / "absent.pdb")


XPLOR_RDC = """\
assign ( resid 500 and name OO ) ( resid 500 and name Z )
       ( resid 500 and name X ) ( resid 500 and name Y )
       ( {first} and name N ) ( {second} and name HN ) -8.2 0.5
"""

STAR_HEAD = """\
data_test
save_rdc_1
   _RDC_constraint_list.Sf_category   RDC_constraints
   _RDC_constraint_list.Sf_framecode  rdc_1
   _RDC_constraint_list.ID            1
   loop_
"""
STAR_TAGS = (
    ["ID", "Seq_ID_1", "Atom_ID_1", "Seq_ID_2", "Atom_ID_2", "RDC_val", "RDC_val_err"]
    + [f"PDB_{t}_{k}" for k in (1, 2) for t in ("ins_code", "residue_no", "atom_name")]
    + [f"Auth_{t}_{k}" for k in (1, 2) for t in ("seq_ID", "atom_ID")]
    + ["RDC_constraint_list_ID"]
)


def _star(rows: list[str]) -> str:
    tags = "".join(f"      _RDC_constraint.{t}\n" for t in STAR_TAGS)
    body = "".join(f"      {row} 1\n" for row in rows)
    return STAR_HEAD + tags + "\n" + body + "   stop_\nsave_\n"


class TestInsertionCodesAndSegids:
    @pytest.mark.parametrize(
        ("first", "second", "expected"),
        [
            ("resid 52A", "resid 52A", [(52, "A"), (52, "A")]),
            ('resid "52a"', 'RESI "52A"', [(52, "A"), (52, "A")]),
            ("resid 52", "resid 52", [(52, ""), (52, "")]),
            ("resid -3B", "resid -3B", [(-3, "B"), (-3, "B")]),
        ],
    )
    def test_xplor_resids(
        self, tmp_path: Path, first: str, second: str, expected: list
    ) -> None:
        path = write(tmp_path, XPLOR_RDC.format(first=first, second=second))
        (c,) = read_restraints(path, "xplor")
        assert [(c.residue_i, c.icode_i), (c.residue_j, c.icode_j)] == expected

    def test_xplor_resid_that_is_no_residue_names_its_line(
        self, tmp_path: Path
    ) -> None:
        text = "! header\n" + XPLOR_RDC.format(first="resid 52AB", second="resid 52")
        with pytest.raises(DataError, match=r"input\.txt:4: resid '52AB' is not"):
            read_restraints(write(tmp_path, text), "xplor")

    @pytest.mark.parametrize(
        ("selection", "segid"),
        [
            ('segid " A  " and resid 5', "A"),
            ("segid b and resid 5", "b"),
            ('segid "PROT" and resid 5', "PROT"),
            ('segid "    " and resid 5', None),
            ("resid 5", None),
        ],
    )
    def test_xplor_segids_as_written(
        self, tmp_path: Path, selection: str, segid: str | None
    ) -> None:
        path = write(tmp_path, XPLOR_RDC.format(first=selection, second=selection))
        (c,) = read_restraints(path, "xplor")
        assert c.chain_i == c.chain_j == segid

    def test_vars_and_plain_tables(self, tmp_path: Path) -> None:
        vars_table = (
            "VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D\n"
            "52A N 52A H 1.0\n52 C 52b N 2.0\n"
        )
        first, second = read_couplings(write(tmp_path, vars_table))
        assert (first.residue_i, first.icode_i, first.icode_j) == (52, "A", "A")
        assert (second.icode_i, second.icode_j) == ("", "B")
        (plain,) = read_couplings(write(tmp_path, "A 52A 3.5\n"))
        assert (plain.chain_i, plain.residue_i, plain.icode_i) == ("A", 52, "A")
        with pytest.raises(DataError, match="RESID_J is not a residue number"):
            read_couplings(write(tmp_path, vars_table.replace("52b", "52bc")))

    def test_nmrstar_pdb_insertion_codes(self, tmp_path: Path) -> None:
        pytest.importorskip("pynmrstar")
        rows = [
            # N-H of 52A: the author's set numbers it 52, the PDB set 52 A.
            "1 53 N 53 H -8.0 0.1 A 52 N A 52 H 52 N 52 H",
            # N-H of the plain 52.
            "2 52 N 52 H -7.0 0.1 . 52 N . 52 H 52 N 52 H",
            # C'(52)-N(52A), the PDB set listing the atoms the other way round.
            "3 52 C 53 N 1.0 0.1 A 52 N . 52 C 52 C 52 N",
            # No author set: the PDB numbering, not the sequence index.
            "4 10 N 10 H 3.0 0.1 . 60 N . 60 H . . . .",
            # The author's number carries its own insertion code.
            "5 53 N 53 H 4.0 0.1 . . . . . . 52A N 52A H",
        ]
        couplings = read_restraints(write(tmp_path, _star(rows)), "nmrstar")
        assert [
            (c.residue_i, c.icode_i, c.atom_i, c.residue_j, c.icode_j, c.atom_j)
            for c in couplings
        ] == [
            (52, "A", "N", 52, "A", "H"),
            (52, "", "N", 52, "", "H"),
            (52, "", "C", 52, "A", "N"),
            (60, "", "N", 60, "", "H"),
            (52, "A", "N", 52, "A", "H"),
        ]
        ambiguous = ["1 53 N 53 H -8.0 0.1 A 52 H . 52 N 52 HN 52 N"]
        with pytest.raises(DataError, match="cannot tell which belongs to atom HN"):
            read_restraints(write(tmp_path, _star(ambiguous)), "nmrstar")

    def test_inserted_residue_never_takes_the_plain_numbers_place(
        self, tmp_path: Path
    ) -> None:
        source = shared_data("ubiquitin", "1d3z-model-1.pdb")
        # Residue 53 renumbered 52A (columns 23-27: number and insertion code).
        lines = []
        for line in source.read_text().splitlines():
            if line.startswith("ATOM") and line[22:26] == "  53":
                line = line[:22] + "  52A" + line[27:]
            lines.append(line)
        pdb = write(tmp_path, "\n".join(lines) + "\n", "inserted.pdb")
        original = gemmi.read_structure(str(source))[0]["A"]

        def nh(number: str) -> np.ndarray:
            residue = original[number][0]
            return np.array(residue["H"][0].pos.tolist()) - np.array(
                residue["N"][0].pos.tolist()
            )

        table = write(
            tmp_path,
            "VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D\n"
            "52A N 52A H 1.0\n52 N 52 H 2.0\n53 N 53 H 3.0\n",
        )
        found = structure_vectors(pdb, read_couplings(table))
        assert found.values.tolist() == [1.0, 2.0]
        np.testing.assert_allclose(found.vectors[0], nh("53"), atol=1e-3)
        np.testing.assert_allclose(found.vectors[1], nh("52"), atol=1e-3)
        assert [c.residue_i for c, _ in found.unmatched] == [53]


def _stripped(name: str = "1d3z-model-1.pdb") -> gemmi.Structure:
    structure = gemmi.read_structure(str(shared_data("ubiquitin", name)))
    structure.remove_hydrogens()
    return structure


def _angle(u: np.ndarray, v: np.ndarray) -> float:
    cos = float(u @ v / (np.linalg.norm(u) * np.linalg.norm(v)))
    return math.degrees(math.acos(max(-1.0, min(1.0, cos))))


class TestAmideProtons:
    def test_rebuilt_protons_point_as_deposited(self) -> None:
        deposited = gemmi.read_structure(
            str(shared_data("ubiquitin", "1d3z-model-1.pdb"))
        )[0]["A"]
        structure = _stripped()
        assert amide_proton_share(structure[0]) == 0.0
        # 76 residues, less Met1 (no residue before it) and Pro19, 37, 38.
        assert build_amide_protons(structure, 1.02) == 72
        assert amide_proton_share(structure[0]) == 1.0
        angles = []
        for residue in structure[0]["A"]:
            built = residue.find_atom("H", "*")
            if residue.seqid.num == 1 or residue.name == "PRO":
                assert built is None
                continue
            n = np.array(residue["N"][0].pos.tolist())
            h = np.array(built.pos.tolist()) - n
            assert np.linalg.norm(h) == pytest.approx(1.02, abs=1e-9)
            ref = deposited[str(residue.seqid.num)][0]
            angles.append(_angle(h, np.array(ref["H"][0].pos.tolist()) - n))
        # Measured: mean 1.24 degrees, largest 4.9.
        assert np.mean(angles) < 2.0 and max(angles) < 6.0
        assert build_amide_protons(structure) == 0

    def test_only_missing_protons_every_model(self) -> None:
        structure = gemmi.read_structure(
            str(shared_data("ubiquitin", "1d3z-model-1.pdb"))
        )
        chain = structure[0]["A"]
        chain["2"][0]["H"][0].name = "HN"
        kept = chain["2"][0]["HN"][0].pos.tolist()
        residue = chain["3"][0]
        residue.remove_atom("H", "*")
        assert amide_proton_share(structure[0]) == pytest.approx(71 / 72)
        assert build_amide_protons(structure) == 1
        assert chain["2"][0].find_atom("H", "*") is None
        assert chain["2"][0]["HN"][0].pos.tolist() == kept
        assert chain["3"][0]["H"][0].pos.dist(chain["3"][0]["N"][0].pos) == (
            pytest.approx(1.041, abs=1e-9)
        )

        two = _stripped()
        two.add_model(two[0])
        assert build_amide_protons(two) == 144

    def test_chain_breaks_and_prolines_without_side_chain(self) -> None:
        structure = _stripped()
        chain = structure[0]["A"]
        # Residues 30-76 moved 3 A away: no bond from C'29 to N30.
        for residue in chain:
            if residue.seqid.num >= 30:
                for atom in residue:
                    atom.pos = gemmi.Position(atom.pos.x + 3.0, atom.pos.y, atom.pos.z)
        chain["19"][0].remove_atom("CD", "*")
        assert build_amide_protons(structure) == 71
        assert chain["30"][0].find_atom("H", "*") is None
        assert chain["19"][0].find_atom("H", "*") is None
        assert chain["31"][0].find_atom("H", "*") is not None

    @pytest.mark.parametrize("length", [0.0, -1.0, math.nan])
    def test_length_must_be_positive(self, length: float) -> None:
        with pytest.raises(ValueError, match="length must be a positive"):
            build_amide_protons(_stripped(), length)
