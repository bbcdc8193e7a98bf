"""How atom and residue names are compared between tables and structures.

Programs spell the same atom or residue differently (HN for H, HSD for a
protonated histidine); every comparison of a table with a structure goes
through these helpers so that all of them agree on what is the same.
"""

from __future__ import annotations

__all__ = [
    "AMIDE_PROTON",
    "AMIDE_PROTON_NAMES",
    "METHYLENE_GROUPS",
    "METHYLENE_SCHEMES",
    "ONE_LETTER_CODES",
    "RESNAME_ALIASES",
    "TYPO_SHARE",
    "atom_key",
    "atom_spellings",
    "methylene_group",
    "methylene_name",
    "methylene_scheme",
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


#: The methylene groups (two protons on one carbon) of each amino acid, by
#: the stem of their protons' names.
METHYLENE_GROUPS: dict[str, tuple[str, ...]] = {
    "GLY": ("HA",),
    "SER": ("HB",),
    "CYS": ("HB",),
    "ASP": ("HB",),
    "ASN": ("HB",),
    "PHE": ("HB",),
    "TYR": ("HB",),
    "TRP": ("HB",),
    "HIS": ("HB",),
    "LEU": ("HB",),
    "MET": ("HB", "HG"),
    "GLU": ("HB", "HG"),
    "GLN": ("HB", "HG"),
    "PRO": ("HB", "HG", "HD"),
    "ARG": ("HB", "HG", "HD"),
    "LYS": ("HB", "HG", "HD", "HE"),
    "ILE": ("HG1",),
}

#: How a methylene group's two protons are numbered: by IUPAC (the PDB's
#: names) 2 and 3; by an older scheme some programs still write, 1 and 2,
#: its 1 being IUPAC's 2 and its 2 IUPAC's 3.
METHYLENE_SCHEMES = {"IUPAC": ("2", "3"), "older": ("1", "2")}


def methylene_group(residue: str | None, atom: str) -> tuple[str, str] | None:
    """(stem, number) when ``atom`` is one of the protons of a methylene
    group of ``residue`` (``GLY``, ``HA2`` -> ``("HA", "2")``), else None."""
    stems = METHYLENE_GROUPS.get(residue_name(residue) or "", ())
    name = atom_key(atom)
    for stem in stems:
        if name[: len(stem)] == stem and name[len(stem) :] in ("1", "2", "3"):
            return stem, name[len(stem) :]
    return None


def methylene_scheme(numbers: set[str]) -> str | None:
    """The scheme (a key of :data:`METHYLENE_SCHEMES`) that names a
    methylene group's protons by ``numbers``, the numbers its protons carry;
    None when they cannot tell (a lone 2, which both schemes use; three
    protons; none)."""
    if not numbers or len(numbers) > 2 or numbers == {"2"}:
        return None
    if numbers <= set(METHYLENE_SCHEMES["IUPAC"]):
        return "IUPAC"
    if numbers <= set(METHYLENE_SCHEMES["older"]):
        return "older"
    return None


def methylene_name(stem: str, number: str, given: str, wanted: str) -> str:
    """A methylene proton's name, numbered by scheme ``given``, in scheme
    ``wanted`` (``"HA", "2", "IUPAC", "older"`` -> ``HA1``)."""
    place = METHYLENE_SCHEMES[given].index(number)
    return stem + METHYLENE_SCHEMES[wanted][place]
