"""Residual dipolar couplings from Xplor/CNS restraint files.

An RDC restraint is an ``assign`` statement with six selections: four
pseudo-atoms of the tensor (OO, Z, X, Y of one residue, such as 501), then
the two coupled atoms, then the value and its error::

    assign ( resid 501 and name OO ) ( resid 501 and name Z )
           ( resid 501 and name X )  ( resid 501 and name Y )
           ( resid 2 and name N )    ( resid 2 and name HN )   -16.4  2.0

Every other statement (NOEs, dihedrals, hydrogen bonds, anything else a
deposited file holds) is skipped.  Each tensor residue is one alignment
medium, named by the last comment line above its first restraint.
"""

from __future__ import annotations

import os
import re

from ..errors import DataError, PathLike
from .tables import Coupling, echo, parse_residue, read_lines

__all__ = ["looks_like_xplor", "read_xplor"]

_ASSIGN = re.compile(r"^\s*assi(?:gn?)?\b", re.IGNORECASE)
# A residue id is a number with an optional insertion code ("52A"), and may
# be quoted; the whole word is taken so that "52AB" is refused, not read as
# 52A.
_RESID = re.compile(r"\bresi(?:d)?\s+(?:\"([^\"]*)\"|([^\s()]+))", re.IGNORECASE)
_NAME = re.compile(r"\bname\s+([^\s()]+)", re.IGNORECASE)
# Segids are padded to four characters inside quotes (segid " A  "); the
# padding is no part of the name.
_SEGID = re.compile(r"\bsegi(?:d)?\s+(?:\"([^\"]*)\"|([^\s()]+))", re.IGNORECASE)
_NUMBER = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?")

#: Names of the tensor's pseudo-atoms, in the order Xplor expects them.
_TENSOR_ATOMS = ("OO", "Z", "X", "Y")


def looks_like_xplor(lines: list[str]) -> bool:
    """Whether a file holds Xplor/CNS ``assign`` statements."""
    return any(_ASSIGN.match(line) for line in lines)


class _Selection:
    def __init__(self, text: str, path: PathLike, line: int) -> None:
        resid = _RESID.search(text)
        name = _NAME.search(text)
        if resid is None or name is None:
            raise DataError(
                f"selection needs a residue and an atom name: {echo(text.strip())}",
                path,
                line,
            )
        written = resid.group(1) if resid.group(1) is not None else resid.group(2)
        parsed = parse_residue(written)
        if parsed is None:
            raise DataError(
                f"resid {echo(written)} is not a residue number "
                f"(a number with an optional insertion code): {echo(text.strip())}",
                path,
                line,
            )
        self.residue, self.icode = parsed
        self.name = name.group(1).upper()
        segid = _SEGID.search(text)
        self.segid: str | None = None
        if segid is not None:
            written = segid.group(1) if segid.group(1) is not None else segid.group(2)
            self.segid = written.strip() or None


def _statement(
    lines: list[str], start: int, path: PathLike
) -> tuple[list[tuple[str, int]], str, int]:
    """The statement that begins at line index ``start``.

    Returns its selections (text and 1-based line of each), the text after
    the last selection, and the index of the first line after it.  The
    statement ends at the next ``assign``, or, once its parentheses are
    closed and a number follows them, at a blank line, a comment or a line
    that opens no selection.
    """
    selections: list[tuple[str, int]] = []
    depth = 0  # open parentheses
    current = ""  # text of the selection being read
    begun = start  # line index where it began
    tail = ""  # text after the last closed selection
    i = start
    text = _ASSIGN.sub("", lines[i], count=1)
    while True:
        for ch in text.split("!", 1)[0]:
            if depth == 0:
                if ch == "(":
                    depth, current, begun = 1, "", i
                else:
                    tail += ch
                continue
            if ch == "(":
                depth += 1
            elif ch == ")":
                depth -= 1
                if depth == 0:
                    selections.append((current, begun + 1))
                    tail = ""
                    continue
            current += ch
        tail += " "
        i += 1
        if i >= len(lines) or _ASSIGN.match(lines[i]):
            break
        following = lines[i].split("!", 1)[0].strip()
        ended = depth == 0 and selections and _NUMBER.search(tail)
        if ended and not following.startswith("(") and not _NUMBER.match(following):
            break
        text = lines[i]
    if depth:
        raise DataError(
            "unbalanced parentheses in this assign statement", path, start + 1
        )
    return selections, tail, i


def read_xplor(path: PathLike) -> list[Coupling]:
    """Read the RDC restraints of an Xplor/CNS restraint file.

    Returns:
        One :class:`Coupling` per restraint, with its error, its line and its
        medium (the comment above the block, else ``"tensor residue N"``).

    Raises:
        DataError: unreadable file, a malformed RDC restraint, or no RDC
            restraint at all.
    """
    lines = read_lines(path)
    couplings: list[Coupling] = []
    names: dict[int, str] = {}
    last_comment = ""
    i = 0
    while i < len(lines):
        stripped = lines[i].strip()
        if stripped.startswith("!"):
            text = stripped.lstrip("!*").strip()
            if text:
                last_comment = text
            i += 1
            continue
        if not _ASSIGN.match(lines[i]):
            i += 1
            continue
        start = i
        selections, tail, i = _statement(lines, start, path)
        if len(selections) != 6:
            continue
        parsed = [_Selection(text, path, line) for text, line in selections]
        tensor = parsed[:4]
        if tuple(s.name for s in tensor) != _TENSOR_ATOMS:
            continue
        numbers = _NUMBER.findall(tail)
        if len(numbers) < 2:
            raise DataError(
                "RDC restraint needs a value and an error after its selections",
                path,
                start + 1,
            )
        value, error = float(numbers[0]), float(numbers[1])
        if error < 0:
            raise DataError(
                f"error must not be negative, got {numbers[1]}", path, start + 1
            )
        residue = tensor[0].residue
        medium = names.setdefault(residue, last_comment or f"tensor residue {residue}")
        first, second = parsed[4], parsed[5]
        couplings.append(
            Coupling(
                residue_i=first.residue,
                atom_i=first.name,
                residue_j=second.residue,
                atom_j=second.name,
                value=value,
                chain_i=first.segid,
                chain_j=second.segid,
                icode_i=first.icode,
                icode_j=second.icode,
                error=error,
                path=os.fspath(path),
                line=start + 1,
                medium=medium,
            )
        )
        last_comment = ""
    if not couplings:
        raise DataError(
            "no RDC restraints (assign statements with six selections)", path
        )
    return couplings
