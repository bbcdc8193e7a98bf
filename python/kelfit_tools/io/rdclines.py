"""Residual dipolar couplings from ``RDC`` lines, as modelling programs take
them: the keyword, then residue, atom, residue, atom and the value, in
whitespace-separated columns::

    # backbone amides in bicelles
    RDC 12 N 12 H  -7.5
    RDC 13 N 13 H   4.2

Lines that are blank or comments (``#``) are skipped; any other line must be
such an ``RDC`` line: a file of them names no medium, no uncertainty and no
chain.
"""

from __future__ import annotations

import os

from ..errors import DataError, PathLike
from .tables import Coupling, echo, read_lines, residue_field, value_field

__all__ = ["KEYWORD", "looks_like_rdc_lines", "read_rdc_lines"]

#: The word that opens every coupling's line.
KEYWORD = "RDC"

#: Columns of a line: the keyword, residue, atom, residue, atom, value.
_COLUMNS = 6


def _content(line: str) -> str:
    return line.split("#", 1)[0].strip()


def looks_like_rdc_lines(lines: list[str]) -> bool:
    """Whether the first line that is neither blank nor a comment opens
    with the ``RDC`` keyword."""
    for line in lines:
        text = _content(line)
        if text:
            return text.split()[0].upper() == KEYWORD
    return False


def read_rdc_lines(path: PathLike) -> list[Coupling]:
    """Read a file of ``RDC`` lines.

    Returns:
        One :class:`Coupling` per line, with its atoms and line.

    Raises:
        DataError: unreadable file, a line that is no ``RDC`` line of six
            columns (naming it), or no coupling at all.
    """
    couplings: list[Coupling] = []
    for number, line in enumerate(read_lines(path), start=1):
        text = _content(line)
        if not text:
            continue
        fields = text.split()
        if fields[0].upper() != KEYWORD or len(fields) != _COLUMNS:
            raise DataError(
                f"expected {KEYWORD} residue atom residue atom value, got {echo(text)}",
                path,
                number,
            )
        residue_i, icode_i = residue_field(fields[1], "the first residue", path, number)
        residue_j, icode_j = residue_field(
            fields[3], "the second residue", path, number
        )
        couplings.append(
            Coupling(
                residue_i=residue_i,
                atom_i=fields[2].upper(),
                residue_j=residue_j,
                atom_j=fields[4].upper(),
                value=value_field(fields[5], "the value", path, number),
                icode_i=icode_i,
                icode_j=icode_j,
                path=os.fspath(path),
                line=number,
            )
        )
    if not couplings:
        raise DataError(f"no {KEYWORD} lines", path)
    return couplings
