"""How atom and residue names are compared between tables and structures.

Programs spell the same atom or residue differently (HN for H, HSD for a
protonated histidine); every comparison of a table with a structure goes
through these helpers so that all of them agree on what is the same.
"""

from __future__ import annotations

__all__ = [
    "AMIDE_PROTON",
    "AMIDE_PROTON_NAMES",
    "ONE_LETTER_CODES",
    "RESNAME_ALIASES",
    "TYPO_SHARE",
    "atom_key",
    "atom_spellings",
    "residue_name",
    "typo_limit",
]

#: Residue names that force fields give to protonation states.
RESNAME_ALIASES = {
    "HSD": "HIS",
    "HSE": "HIS",
    "HSP": "HIS",
    "HID": "HIS",
    "HIE": "HIS",
    "HIP": "HIS",
    "CYX": "CYS",
    "CYM": "CYS",
    "ASH": "ASP",
    "GLH": "GLU",
    "LYN": "LYS",
}

#: One-letter codes of the amino acids, as a table's sequence gives them
#: (B, Z and X as the PDB writes ambiguous and unknown residues).
ONE_LETTER_CODES = {
    "A": "ALA",
    "R": "ARG",
    "N": "ASN",
    "D": "ASP",
    "C": "CYS",
    "Q": "GLN",
    "E": "GLU",
    "G": "GLY",
    "H": "HIS",
    "I": "ILE",
    "L": "LEU",
    "K": "LYS",
    "M": "MET",
    "F": "PHE",
    "P": "PRO",
    "S": "SER",
    "T": "THR",
    "W": "TRP",
    "Y": "TYR",
    "V": "VAL",
    "U": "SEC",
    "O": "PYL",
    "B": "ASX",
    "Z": "GLX",
    "X": "UNK",
}

#: The key :func:`atom_key` gives the backbone amide proton (H or HN).
AMIDE_PROTON = "H"

#: The names programs give the backbone amide proton, the PDB's first.
AMIDE_PROTON_NAMES = ("H", "HN")

#: Residue names that differ from the structure's are taken for typing
#: errors in up to this share of those compared (and always in one); more
#: means another numbering or another protein.
TYPO_SHARE = 0.05


def atom_key(name: str) -> str:
    """An atom name as compared: upper case, HN and H the same proton."""
    name = name.strip().upper()
    return AMIDE_PROTON if name in AMIDE_PROTON_NAMES else name


def atom_spellings(name: str) -> tuple[str, ...]:
    """The names to look an atom up under in a structure, ``name`` first:
    the amide proton under both of its names, any other atom as given."""
    if atom_key(name) != AMIDE_PROTON:
        return (name,)
    given = name.strip().upper()
    return (given, *(n for n in AMIDE_PROTON_NAMES if n != given))


def residue_name(name: str | None) -> str | None:
    """A residue name as compared: upper case, protonation states merged."""
    if name is None:
        return None
    name = name.strip().upper()
    return RESNAME_ALIASES.get(name, name)


def typo_limit(compared: int) -> float:
    """How many differing residue names can be typing errors among ``compared``."""
    return max(1.0, TYPO_SHARE * compared)
