"""Dipolar constants against the physics, the bond types a protein table
holds, their standard lengths and the lengths a user gives."""

from __future__ import annotations

import math

import numpy as np
import pytest
from kelfit_tools.bonds import (
    GYROMAGNETIC_RATIOS,
    bond_type,
    dipolar_constant,
    length_overrides,
    parse_length,
    reference_constant,
    row_scales,
)
from kelfit_tools.io import Coupling
from kelfit_tools.media import fit_medium
from tools_support import MHZ_PER_TESLA, dipolar_hz

#: mu0 h gamma_x gamma_y / (8 pi^3 r^3), written with frequencies.
d_max = dipolar_hz


# The two-bond C'(i-1)-HN(i) distance of a planar peptide: C'-N 1.329 A,
# effective N-H 1.041 A, C'-N-H 123 deg.
C_HN = math.sqrt(1.329**2 + 1.041**2 - 2 * 1.329 * 1.041 * math.cos(math.radians(123)))

# Atom pairs as tables write them, with their nuclei and standard length.
STANDARD = [
    (("N", "HN"), "NH", 1.041),
    (("HA2", "CA"), "CH", 1.117),
    (("C", "N"), "CN", 1.329),
    (("CA", "C"), "CC", 1.525),
    (("N", "CA"), "NC", 1.458),
    (("CA", "CB"), "CC", 1.530),
    (("C", "H"), "CH", round(C_HN, 2)),
    (("NE1", "HE1"), "NH", 1.041),
    (("HD21", "ND2"), "NH", 1.041),
    (("ND2", "HD22"), "NH", 1.041),
    (("NE2", "HE21"), "NH", 1.041),
    (("NE2", "HE22"), "NH", 1.041),
    (("NE", "HE"), "NH", 1.041),
    (("CB", "HB3"), "CH", 1.117),  # Ala methyl or any methylene
    (("CG", "HG2"), "CH", 1.117),
    (("CG1", "HG12"), "CH", 1.117),
    (("CG2", "HG21"), "CH", 1.117),
    (("CD", "HD3"), "CH", 1.117),
    (("CD1", "HD13"), "CH", 1.117),
    (("CD2", "HD21"), "CH", 1.117),
    (("CE", "HE1"), "CH", 1.117),
]


class TestPhysics:
    def test_gyromagnetic_ratios(self) -> None:
        for nucleus, f in MHZ_PER_TESLA.items():
            expected = 2 * math.pi * f * 1e6
            assert GYROMAGNETIC_RATIOS[nucleus] == pytest.approx(expected, rel=2e-5)

    def test_nh_constant(self) -> None:
        # About -21.6 kHz at the effective length, scaling as r^-3.
        expected = d_max("N", "H", 1.041)
        assert expected == pytest.approx(-21588, abs=5)
        assert dipolar_constant("HN", "N", 1.041) == pytest.approx(expected, rel=2e-4)
        assert reference_constant(1.02) == pytest.approx(
            -d_max("N", "H", 1.02), rel=2e-4
        )


class TestStandardLengths:
    def test_every_type_has_its_length(self) -> None:
        # C'-HN is about 2.09 A, as peptide geometry gives it.
        assert C_HN == pytest.approx(2.09, abs=0.005)
        atoms = [pair for pair, _, _ in STANDARD]
        constants, scales = row_scales(atoms, None, bond_lengths="standard")
        expected = [d_max(n[0], n[1], r) for _, n, r in STANDARD]
        assert constants == pytest.approx(expected, rel=3e-4)
        reference = -d_max("N", "H", 1.041)
        assert scales == pytest.approx(np.abs(expected) / reference, rel=3e-4)

    def test_names(self) -> None:
        # Side-chain N-H keeps the proton's full name, also as old PDB names
        # (1HD2 is HD21), and is never the backbone N-H.
        assert bond_type("HE1", "NE1") == "NE1-HE1"
        assert bond_type("ND2", "1HD2") == "ND2-HD21"
        assert bond_type("ND2", "HD22") == "ND2-HD22"
        assert bond_type("N", "H1") == bond_type("HN", "N") == "N-H"
        # A methyl's or methylene's protons share a type; an aromatic
        # proton on a carbon of the same name is another type.
        assert {bond_type("CD1", f"HD1{k}") for k in "123"} == {"CD1-HD"}
        assert {bond_type("CB", f"HB{k}") for k in "123"} == {"CB-HB"}
        assert {bond_type("CA", h) for h in ("HA", "HA2", "3HA")} == {"CA-HA"}
        assert bond_type("CD1", "HD1") == "CD1-HD1"
        assert bond_type("HN", "C") == bond_type("C", "H") == "C-H"

    def test_missing_length_says_how_to_give_one(self) -> None:
        with pytest.raises(ValueError, match=r"CD1-HD1; .*--length CD1-HD1="):
            row_scales([("N", "H"), ("CD1", "HD1")], None, bond_lengths="standard")
        _, scales = row_scales(
            [("CD1", "HD1")], None, bond_lengths="standard", lengths={"HD1-CD1": 1.1}
        )
        ratio = d_max("C", "H", 1.1) / -d_max("N", "H", 1.041)
        assert scales[0] == pytest.approx(ratio, rel=3e-4)


class TestGivenLengths:
    ATOMS = (("N", "H"), ("C", "HN"), ("CA", "HA"), ("H", "C"))
    DISTANCES = (1.01, 2.05, 1.09, 2.06)

    def test_replace_one_type_in_either_mode(self) -> None:
        _, std = row_scales(self.ATOMS, None, bond_lengths="standard")
        _, got = row_scales(
            self.ATOMS, None, bond_lengths="standard", lengths={"H-C": 2.107}
        )
        factor = (round(C_HN, 2) / 2.107) ** 3
        assert got == pytest.approx(std * np.array([1, factor, 1, factor]), rel=1e-12)
        _, own = row_scales(self.ATOMS, self.DISTANCES)
        _, got = row_scales(self.ATOMS, self.DISTANCES, lengths={"C-H": 2.107})
        factors = [1, (2.05 / 2.107) ** 3, 1, (2.06 / 2.107) ** 3]
        assert got == pytest.approx(own * np.array(factors), rel=1e-12)

    def test_nh_length_is_the_reference_only(self) -> None:
        _, scales = row_scales([("N", "H")], None, bond_lengths="standard")
        assert scales[0] == pytest.approx(1.0)
        _, scales = row_scales(
            [("N", "H")], None, bond_lengths="standard", nh_length=1.02
        )
        assert scales[0] == pytest.approx((1.02 / 1.041) ** 3, rel=1e-12)
        _, scales = row_scales(
            [("N", "H")], None, bond_lengths="standard", nh_length=1.02,
            lengths={"HN-N": 1.02},
        )  # fmt: skip
        assert scales[0] == pytest.approx(1.0, rel=1e-12)

    def test_fit_medium_uses_and_records_them(self) -> None:
        # C'(i-1)-HN(i) with N-H: the C-H rows take the given length.
        rng = np.random.default_rng(3)
        rows = [Coupling(r, "N", r, "H", 5.0, error=0.5) for r in range(2, 12)]
        rows += [Coupling(r - 1, "C", r, "H", 1.0, error=0.5) for r in range(2, 12)]
        vectors = rng.normal(size=(len(rows), 3))
        mf = fit_medium(
            vectors, rows, convention="magnitudes", bond_lengths="standard",
            lengths={"H-C": 2.107, "CB-HB": 1.1},
        )  # fmt: skip
        assert mf.lengths == {"C-H": 2.107, "CB-HB": 1.1}
        assert mf.types[10:] == ["C-H"] * 10
        assert mf.constants[10:] == pytest.approx(d_max("C", "H", 2.107), rel=3e-4)
        assert mf.constants[:10] == pytest.approx(d_max("N", "H", 1.041), rel=3e-4)
        assert "the length given for bond type CB-HB matches no coupling" in mf.notes

    @pytest.mark.parametrize(
        ("text", "message"),
        [
            ("C-H", "TYPE=ANGSTROM"),
            ("CH=2.1", "TYPE=ANGSTROM"),
            ("C-H=0", "positive length.*TYPE=ANGSTROM"),
            ("C-H=nan", "positive length"),
            ("C-H=-inf", "positive length"),
            ("C-H=2,1", "positive length"),
        ],
    )
    def test_bad_lengths(self, text: str, message: str) -> None:
        with pytest.raises(ValueError, match=message):
            parse_length(text)

    def test_parse_and_overrides(self) -> None:
        assert parse_length(" H - C = 2.107 ") == ("C-H", 2.107)
        assert parse_length("hd21-nd2=1.02") == ("ND2-HD21", 1.02)
        with pytest.raises(ValueError, match="two lengths"):
            length_overrides({"N-H": 1.02, "HN-N": 1.04})
        with pytest.raises(ValueError, match="atom pairs"):
            row_scales([("N", "H")], [1.0], lengths={"NH": 1.02})
        with pytest.raises(ValueError, match="N-H must be a positive"):
            row_scales([("N", "H")], [1.0], lengths={"N-H": 0.0})
