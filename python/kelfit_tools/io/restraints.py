"""One entry for every coupling file: detect the format, then read it."""

from __future__ import annotations

from ..errors import PathLike
from .nmrstar import looks_like_nmrstar, read_nmrstar
from .rdclines import looks_like_rdc_lines, read_rdc_lines
from .tables import Coupling, read_couplings, read_lines
from .xplor import looks_like_xplor, read_xplor

__all__ = ["FORMATS", "detect_format", "read_restraints"]

#: Formats :func:`read_restraints` reads.
FORMATS = ("table", "xplor", "nmrstar", "rdc")


def detect_format(path: PathLike) -> str:
    """``"nmrstar"``, ``"xplor"``, ``"rdc"`` or ``"table"``, from the file's
    content."""
    lines = read_lines(path)
    if looks_like_nmrstar(lines):
        return "nmrstar"
    if looks_like_xplor(lines):
        return "xplor"
    if looks_like_rdc_lines(lines):
        return "rdc"
    return "table"


def read_restraints(path: PathLike, format: str | None = None) -> list[Coupling]:
    """Read couplings from a VARS or plain table, an Xplor/CNS or NMR-STAR
    file, or a file of ``RDC`` lines (residue, atom, residue, atom, value).

    Args:
        path: the file.
        format: one of :data:`FORMATS`; None detects it from the content.

    Raises:
        DataError: unreadable or malformed file (naming ``file:line``).
        MissingExtra: an NMR-STAR file without pynmrstar installed.
        ValueError: an unknown format name.
    """
    if format is None:
        format = detect_format(path)
    if format == "table":
        return read_couplings(path)
    if format == "xplor":
        return read_xplor(path)
    if format == "nmrstar":
        return read_nmrstar(path)
    if format == "rdc":
        return read_rdc_lines(path)
    raise ValueError(f"format must be one of {', '.join(FORMATS)}, got {format!r}")
