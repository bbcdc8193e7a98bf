"""A molecule's charges and the charged medium around it, for alignment
predicted from shape and charge.

Many alignment media carry charge: bicelles doped with a charged amphiphile
(CTAB, SDS), phage, charged gels.  A charged molecule then prefers the
orientations and positions that keep its charges of the medium's sign away
from the surface.  :func:`kelfit_tools.steric.predict_order` counts each
allowed position by the Boltzmann factor of the molecule's charges in the
Gouy-Chapman potential of the charged surface (the surface potential from
Grahame's equation, a 1:1 salt of the given ionic strength), the walls of a
gap far wider than the Debye length independently; a phage rod's potential
is taken as a plane's at the same distance from its surface, which
overstates it somewhat for a rod as thin as a few Debye lengths.

The medium is described by an :class:`Electrolyte`: the surface charge
density (e/nm^2), the ionic strength (mM), the pH (which sets the residues'
charges, :func:`residue_charges`) and the temperature (K; the permittivity
is water's at that temperature unless given).  :class:`ChargeRanges` holds a
range of each; the prediction is made at the centre and at every corner,
since what one knows of a medium is rarely one number.
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .errors import Advice, DataError, Hint, PathLike
from .steric import heavy_sites

__all__ = [
    "C_TERMINUS",
    "DEFAULT_DENSITY",
    "N_TERMINUS",
    "SITES",
    "ChargeRanges",
    "Electrolyte",
    "file_charges",
    "ranged",
    "residue_charges",
    "structure_charges",
    "water_permittivity",
]

#: The surface charge density (e/nm^2) each medium takes by default.
#: Bicelles: DMPC:DHPC:CTAB 2.9:1.0:0.1, the CTAB in the planar bilayer
#: with the DMPC (3.3 mol%), 0.60 nm^2 a lipid, half its charge neutralised
#: by bound bromide: +0.028.  Phage: an effective -0.1 for Pf1, the bare
#: charge of its coat less the counterions that condense on a rod this
#: highly charged.
DEFAULT_DENSITY = {"bicelle": 0.028, "phage": -0.1}
#: A typical NMR buffer (20 mM phosphate with 50 mM salt, say), in mM.
DEFAULT_IONIC_STRENGTH = 50.0
DEFAULT_PH = 6.5
#: Bicelles align above DMPC's transition: 35 C.
DEFAULT_TEMPERATURE = 308.0

#: Water's relative permittivity from 0 to 100 C as a cubic in degrees C
#: (Malmberg and Maryott 1956): 78.4 at 25 C, 74.8 at 35 C.
_PERMITTIVITY_CUBIC = (87.740, -0.40008, 9.398e-4, -1.410e-6)
_KELVIN_AT_ZERO_C = 273.15

#: Titratable side chains: the atoms that share the charge, its sign when
#: ionised, and the model pKa (free amino acids in water, rounded as
#: commonly tabulated).  The charge at a pH is sign / (1 + 10^(sign (pH -
#: pKa))) (Henderson-Hasselbalch), split evenly over the atoms: at pH 6.5
#: Lys +1.00, Arg +1.00, Asp -1.00, Glu -0.99, His +0.24.  Cys and Tyr
#: (pKa 8.3 and 10.1) are left neutral.
SITES: dict[str, tuple[tuple[str, ...], int, float]] = {
    "LYS": (("NZ",), 1, 10.5),
    "ARG": (("CZ",), 1, 12.5),
    "HIS": (("ND1", "NE2"), 1, 6.0),
    "ASP": (("OD1", "OD2"), -1, 3.9),
    "GLU": (("OE1", "OE2"), -1, 4.3),
}
#: The chain's first amino group and last carboxyl (+0.97 and -1.00 at pH
#: 6.5); the carboxyl's charge is split over O and OXT (whichever the
#: structure has).
N_TERMINUS: tuple[tuple[str, ...], int, float] = (("N",), 1, 8.0)
C_TERMINUS: tuple[tuple[str, ...], int, float] = (("O", "OXT"), -1, 3.6)

#: Bounds the command line and the library accept.
_PH_RANGE = (0.0, 14.0)
_DENSITY_LIMIT = 10.0  # e/nm^2, far beyond any medium


def water_permittivity(temperature: float) -> float:
    """Water's relative permittivity at ``temperature`` (K, 273-373)."""
    celsius = temperature - _KELVIN_AT_ZERO_C
    a, b, c, d = _PERMITTIVITY_CUBIC
    return a + celsius * (b + celsius * (c + celsius * d))


@dataclass(frozen=True)
class Electrolyte:
    """A charged medium's surface and the solution around it.

    Attributes:
        charge_density: the medium's surface charge (e/nm^2, signed).
        ionic_strength: of the solution (mM, as a 1:1 salt).
        ph: sets the residues' charges (:func:`residue_charges`).
        temperature: K.
        permittivity: relative; None for water's at the temperature.
    """

    charge_density: float
    ionic_strength: float = DEFAULT_IONIC_STRENGTH
    ph: float = DEFAULT_PH
    temperature: float = DEFAULT_TEMPERATURE
    permittivity: float | None = None

    def __post_init__(self) -> None:
        limit = _DENSITY_LIMIT
        checks = [
            ("charge_density", self.charge_density, -limit <= self.charge_density <= limit,
             f"from -{limit:g} to {limit:g} e/nm^2"),
            ("ionic_strength", self.ionic_strength, self.ionic_strength > 0, "positive (mM)"),
            ("ph", self.ph, _PH_RANGE[0] <= self.ph <= _PH_RANGE[1], "from 0 to 14"),
            ("temperature", self.temperature, self.temperature > 0, "positive (K)"),
            ("permittivity", self.permittivity, (self.permittivity or 1.0) > 0, "positive"),
        ]  # fmt: skip
        for name, value, good, expected in checks:
            if value is not None and not (math.isfinite(value) and good):
                raise ValueError(
                    Advice(f"{{0}} must be {expected}, got {value:g}", Hint(name))
                )

    @property
    def relative_permittivity(self) -> float:
        """The permittivity given, or water's at the temperature."""
        if self.permittivity is not None:
            return self.permittivity
        return water_permittivity(self.temperature)

    def debye_length(self) -> float:
        """The solution's Debye length (angstrom), as the module takes it."""
        import kelfit

        return float(kelfit.wall_potential(np.zeros(0), **self.keywords())[1])

    def keywords(self) -> dict[str, float]:
        """``kelfit.steric``'s (and ``kelfit.wall_potential``'s) keywords."""
        return {
            "charge_density": self.charge_density,
            "ionic_strength": self.ionic_strength,
            "temperature": self.temperature,
            "permittivity": self.relative_permittivity,
        }

    def as_dict(self) -> dict[str, float]:
        """The JSON form."""
        return {**self.keywords(), "ph": self.ph}


@dataclass(frozen=True)
class ChargeRanges:
    """What one knows of a charged medium: each quantity as (low, high),
    equal ends for a single value.

    Attributes:
        charge_density: e/nm^2.
        ionic_strength: mM.
        ph: the solution's pH.
        temperature: K.
        permittivity: relative; None for water's at each temperature.
        charge_file: per-atom charges that replace the residue table
            (:func:`file_charges`); None for the table.
    """

    charge_density: tuple[float, float]
    ionic_strength: tuple[float, float] = (DEFAULT_IONIC_STRENGTH,) * 2
    ph: tuple[float, float] = (DEFAULT_PH,) * 2
    temperature: tuple[float, float] = (DEFAULT_TEMPERATURE,) * 2
    permittivity: float | None = None
    charge_file: PathLike | None = None

    def __post_init__(self) -> None:
        self.conditions()  # each corner checks its values

    @classmethod
    def for_medium(
        cls, medium: str, charge_file: PathLike | None = None, **given: Any
    ) -> ChargeRanges:
        """The defaults for ``medium`` (a key of :data:`DEFAULT_DENSITY`),
        with any quantity ``given`` (None: the default; text: ``X`` or
        ``LOW:HIGH``).

        Raises:
            ValueError: a value out of range or text that is not a range (an
                :class:`~kelfit_tools.errors.Advice` naming the quantity).
        """
        values: dict[str, Any] = {
            k: ranged(v, k) if isinstance(v, str) else v
            for k, v in given.items()
            if v is not None
        }
        values.setdefault("charge_density", (DEFAULT_DENSITY[medium],) * 2)
        return cls(charge_file=charge_file, **values)

    def _ranged(self) -> list[tuple[str, tuple[float, float]]]:
        return [
            ("charge_density", self.charge_density),
            ("ionic_strength", self.ionic_strength),
            ("ph", self.ph),
            ("temperature", self.temperature),
        ]

    def centre(self) -> Electrolyte:
        """The medium at the middle of every range."""
        middle = {name: (low + high) / 2 for name, (low, high) in self._ranged()}
        return Electrolyte(permittivity=self.permittivity, **middle)

    def conditions(self) -> list[Electrolyte]:
        """The centre, then every corner of the ranges that are ranges
        (none for single values)."""
        centre = self.centre()
        ranged = [(name, ends) for name, ends in self._ranged() if ends[0] != ends[1]]
        corners = [
            replace(centre, **dict(zip([n for n, _ in ranged], ends)))
            for ends in itertools.product(*[e for _, e in ranged])
        ]
        return [centre, *corners] if ranged else [centre]


def ranged(text: str, name: str) -> tuple[float, float]:
    """``X`` or ``LOW:HIGH`` as (low, high), a value of ``name``.

    Raises:
        ValueError: anything else (an :class:`~kelfit_tools.errors.Advice`).
    """
    ends = text.split(":")
    try:
        low, high = float(ends[0]), float(ends[-1])
    except ValueError:
        low = high = math.nan
    if len(ends) > 2 or not low <= high:
        raise ValueError(
            Advice(
                f"{{0}} must be X or LOW:HIGH (LOW <= HIGH), got {text!r}", Hint(name)
            )
        )
    return (low, high)


def _site_charge(sign: int, pka: float, ph: float) -> float:
    return float(sign / (1.0 + 10.0 ** (sign * (ph - pka))))


def _chain_name(chain: Any, residue: Any) -> str:
    # As the couplings name chains: a blank chain ID takes the segment ID.
    return str(chain.name.strip() or residue.segment.strip() or chain.name)


def residue_charges(
    structure: Any, model: int = 1, *, ph: float = DEFAULT_PH
) -> NDArray[np.float64]:
    """Each heavy atom's charge (e, in :func:`~kelfit_tools.steric.heavy_sites`
    order) from :data:`SITES` and the termini at ``ph``.

    A chain's termini are its first and last amino acids.
    """
    import gemmi

    sites = list(heavy_sites(structure, model))
    charge = np.zeros(len(sites))
    index = {(id(r), a.name): k for k, (_, r, a) in enumerate(sites)}
    by_chain: dict[str, list[Any]] = {}
    for chain, residue, _ in sites:
        found = gemmi.find_tabulated_residue(residue.name)
        if found is not None and found.is_amino_acid():
            runs = by_chain.setdefault(_chain_name(chain, residue), [])
            if not runs or runs[-1] is not residue:
                runs.append(residue)

    def put(residue: Any, site: tuple[tuple[str, ...], int, float]) -> None:
        atoms, sign, pka = site
        present = [index[(id(residue), a)] for a in atoms if (id(residue), a) in index]
        for k in present:
            charge[k] += _site_charge(sign, pka, ph) / len(present)

    for residues in by_chain.values():
        for residue in residues:
            if residue.name in SITES:
                put(residue, SITES[residue.name])
        put(residues[0], N_TERMINUS)
        put(residues[-1], C_TERMINUS)
    return charge


def file_charges(structure: Any, path: PathLike, model: int = 1) -> NDArray[np.float64]:
    """Each heavy atom's charge from a file (every atom it does not name
    carries none).

    The file has one atom a line, ``chain,residue,atom,charge`` (charge in
    e; residue a number with any insertion code, such as ``52A``; a blank
    chain for a structure of one chain); blank lines, lines starting with
    ``#`` and a first line starting with ``chain`` are skipped.

    Raises:
        DataError: a line that is not four fields with a finite charge, an
            atom that is not one of the model's heavy atoms, or one named
            twice.
    """
    sites = list(heavy_sites(structure, model))
    chains = {_chain_name(c, r) for c, r, _ in sites}
    index: dict[tuple[str, str, str], int] = {}
    for k, (chain, residue, atom) in enumerate(sites):
        label = f"{residue.seqid.num}{residue.seqid.icode.strip()}"
        index[(_chain_name(chain, residue), label, atom.name)] = k
    charge = np.zeros(len(sites))
    seen: set[int] = set()
    text = Path(path).read_text(encoding="utf-8", errors="replace")
    for number, line in enumerate(text.splitlines(), 1):
        fields = [f.strip() for f in line.split(",")]
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        if number == 1 and fields[0].lower() == "chain":
            continue
        where = f"{path}, line {number}"
        if len(fields) != 4:
            raise DataError("expected chain,residue,atom,charge", where)
        chain, residue, atom, value = fields
        try:
            q = float(value)
        except ValueError:
            q = math.nan
        if not math.isfinite(q):
            raise DataError(f"the charge must be a finite number, got {value!r}", where)
        if not chain and len(chains) == 1:
            chain = next(iter(chains))
        found = index.get((chain, residue.upper(), atom.upper()))
        if found is None:
            raise DataError(
                f"no heavy atom {atom} in residue {residue} of chain {chain!r}", where
            )
        if found in seen:
            raise DataError(f"atom {atom} of residue {residue} named twice", where)
        seen.add(found)
        charge[found] = q
    return charge


def structure_charges(
    structure: Any,
    model: int = 1,
    *,
    ph: float = DEFAULT_PH,
    charge_file: PathLike | None = None,
) -> NDArray[np.float64]:
    """:func:`file_charges` where a file is given, else
    :func:`residue_charges` at ``ph``."""
    if charge_file is not None:
        return file_charges(structure, charge_file, model)
    return residue_charges(structure, model, ph=ph)
