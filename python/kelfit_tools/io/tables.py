"""Readers for vector tables and coupling tables.

Every error names the file and the line at fault, so that a person can go
straight to it.
"""

from __future__ import annotations

import csv
import math
import os
import re
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from .. import notices
from ..errors import ECHO_LIMIT, DataError, PathLike, echo
from .names import ONE_LETTER_CODES

__all__ = [
    "ECHO_LIMIT",
    "Coupling",
    "DataError",
    "VectorTable",
    "echo",
    "parse_residue",
    "read_couplings",
    "read_lines",
    "read_sequence",
    "read_table",
    "residue_field",
    "value_field",
]


#: The largest float32: the fits store every value in single precision.
_FLOAT32_MAX = float(np.finfo(np.float32).max)


def read_lines(path: PathLike) -> list[str]:
    """The lines of a text file, or a DataError that says why not."""
    try:
        with open(path, encoding="utf-8-sig") as handle:
            return handle.read().splitlines()
    except FileNotFoundError:
        raise DataError("no such file", path) from None
    except IsADirectoryError:
        raise DataError("is a directory, not a file", path) from None
    except UnicodeDecodeError:
        raise DataError("not a text file (cannot decode it as UTF-8)", path) from None
    except OSError as exc:
        raise DataError(f"cannot read: {exc.strerror}", path) from None


def _csv_fields(text: str, path: PathLike, line: int) -> list[str]:
    try:
        return [f.strip() for f in next(csv.reader([text]))]
    except csv.Error as exc:
        # Such as a field over the csv module's size limit.
        raise DataError(f"not a readable CSV line: {exc}", path, line) from None


def _strip_comment(line: str) -> str:
    return line.split("#", 1)[0].strip()


def _number(text: str) -> float | None:
    try:
        return float(text)
    except ValueError:
        return None


@dataclass(frozen=True, eq=False)
class VectorTable:
    """Vectors with their observed values, as read by :func:`read_table`.

    Attributes:
        vectors: N x 3 array.
        values: N observed values (``None`` when the table had none).
        labels: one label per row (the row number when the table has none).
        path: the file read.
    """

    vectors: NDArray[np.float64]
    values: NDArray[np.float64] | None
    labels: list[str]
    path: str


def read_table(path: PathLike, *, require_values: bool = True) -> VectorTable:
    """Read a table of vectors: columns ``x y z value [label]``.

    Columns are separated by commas (CSV) or by whitespace; which one is
    decided by the first data line.  ``#`` starts a comment; blank lines are
    skipped; a first line that is not numeric is taken as a header.

    Args:
        path: the file.
        require_values: when false, the value column may be missing
            (``x y z [label]``), as for back-calculation; a fourth column
            that is not a number is then a label.

    Raises:
        DataError: unreadable file, wrong column count, a field that is not a
            number, a zero-length or non-finite vector, or no rows at all.
    """
    lines = read_lines(path)
    delimiter: str | None = None
    header_seen = False
    vectors: list[tuple[float, float, float]] = []
    values: list[float] = []
    labels: list[str] = []
    with_values: bool | None = None
    for number, raw in enumerate(lines, start=1):
        text = _strip_comment(raw)
        if not text:
            continue
        if delimiter is None:
            delimiter = "," if "," in text else " "
        if delimiter == ",":
            fields = _csv_fields(text, path, number)
        else:
            fields = text.split()
        numbers = [_number(f) for f in fields[:4]]
        if not vectors and not header_seen and numbers[0] is None:
            header_seen = True
            continue
        if len(fields) < 3 or (require_values and len(fields) < 4):
            want = "x, y, z and a value" if require_values else "x, y and z"
            raise DataError(
                f"expected at least {want}, found {len(fields)} column(s)",
                path,
                number,
            )
        for column, (field, value) in enumerate(zip(fields[:3], numbers[:3])):
            if value is None:
                raise DataError(
                    f"column {column + 1} ({'xyz'[column]}) is not a number: {echo(field)}",
                    path,
                    number,
                )
        has_value = len(fields) >= 4 and (require_values or numbers[3] is not None)
        if with_values is None:
            with_values = has_value
        elif has_value != with_values:
            raise DataError(
                "this row "
                + ("lacks" if with_values else "has")
                + " a value column, unlike the rows above",
                path,
                number,
            )
        first_label = 4 if has_value else 3
        if has_value and numbers[3] is None:
            raise DataError(f"value is not a number: {echo(fields[3])}", path, number)
        if delimiter == "," and len(fields) > first_label + 1:
            raise DataError(
                f"too many columns ({len(fields)}); a label with commas "
                'must be quoted ("...")',
                path,
                number,
            )
        xyz = (float(numbers[0]), float(numbers[1]), float(numbers[2]))  # type: ignore[arg-type]  # None refused above
        length = math.sqrt(sum(c * c for c in xyz))
        if not all(math.isfinite(c) for c in xyz):
            raise DataError("vector is not finite", path, number)
        if max(abs(c) for c in xyz) > _FLOAT32_MAX:
            raise DataError("vector is too large for single precision", path, number)
        if length == 0.0:
            raise DataError("vector has zero length", path, number)
        if has_value:
            value = float(numbers[3])  # type: ignore[arg-type]  # None refused above
            if not math.isfinite(value):
                raise DataError(f"value is not finite: {echo(fields[3])}", path, number)
            if abs(value) > _FLOAT32_MAX:
                raise DataError(
                    f"value is too large for single precision: {echo(fields[3])}",
                    path,
                    number,
                )
            values.append(value)
        label = " ".join(fields[first_label:])
        vectors.append(xyz)
        labels.append(label if label else str(len(vectors)))
    if not vectors:
        raise DataError("no data rows", path)
    return VectorTable(
        vectors=np.array(vectors, dtype=np.float64),
        values=np.array(values, dtype=np.float64) if with_values else None,
        labels=labels,
        path=os.fspath(path),
    )


@dataclass(frozen=True)
class Coupling:
    """One coupling between two atoms, as read by :func:`read_couplings`.

    A plain table names no atoms (``atom_i`` and ``atom_j`` are None): the
    pair is chosen when the structure is read.

    Attributes:
        residue_i, residue_j: residue numbers of the two atoms.
        atom_i, atom_j: atom names, or None.
        value: the coupling.
        chain_i, chain_j: chain names, or None when the table gives none.
        icode_i, icode_j: insertion codes ("" for none).
        resname_i, resname_j: residue names, or None.
        error: the stated uncertainty, or None.
        weight: the stated weight, or None (0 excludes the coupling).
        path, line: where the coupling was read (line counts from 1).
        medium: the alignment medium, or "" when the file names none.
    """

    residue_i: int
    atom_i: str | None
    residue_j: int
    atom_j: str | None
    value: float
    chain_i: str | None = None
    chain_j: str | None = None
    icode_i: str = ""
    icode_j: str = ""
    resname_i: str | None = None
    resname_j: str | None = None
    error: float | None = None
    weight: float | None = None
    path: str = ""
    line: int = 0
    medium: str = ""

    @property
    def label(self) -> str:
        """A short name such as ``GLN2`` or ``A:LEU71-ARG72``."""
        first = f"{self.resname_i or ''}{self.residue_i}{self.icode_i}"
        second = f"{self.resname_j or ''}{self.residue_j}{self.icode_j}"
        same = (self.residue_i, self.icode_i, self.chain_i) == (
            self.residue_j,
            self.icode_j,
            self.chain_j,
        )
        name = first if same else f"{first}-{second}"
        return f"{self.chain_i}:{name}" if self.chain_i else name


_RESIDUE = re.compile(r"^(-?\d+)([A-Za-z]?)$")

#: Columns a VARS line must name, besides the observed coupling.
_REQUIRED_VARS = ("RESID_I", "ATOMNAME_I", "RESID_J", "ATOMNAME_J")

#: Columns that hold the observed coupling, in order of preference.  An SVD
#: fit's output table has both: D_OBS observed and D back-calculated, and
#: fitting D would only reproduce the earlier fit.
_OBSERVED_VARS = ("D_OBS", "D")


def parse_residue(text: str) -> tuple[int, str] | None:
    """A residue number with its insertion code: ``"52A"`` -> ``(52, "A")``.

    The insertion code is one letter, upper-cased ("" when there is none).

    Returns:
        None when ``text`` is not a residue number (``"52AB"``, ``"x"``).
    """
    match = _RESIDUE.match(text.strip())
    if match is None:
        return None
    return int(match.group(1)), match.group(2).upper()


def residue_field(text: str, what: str, path: PathLike, line: int) -> tuple[int, str]:
    """A field that holds a residue number (with an optional insertion
    code), or a DataError naming the field ``what`` and the line."""
    parsed = parse_residue(text)
    if parsed is None:
        raise DataError(f"{what} is not a residue number: {echo(text)}", path, line)
    return parsed


def value_field(text: str, what: str, path: PathLike, line: int) -> float:
    """A field that holds a finite number a single-precision fit can take,
    or a DataError naming the field ``what`` and the line."""
    value = _number(text)
    if value is None or not math.isfinite(value):
        raise DataError(f"{what} is not a finite number: {echo(text)}", path, line)
    if abs(value) > _FLOAT32_MAX:
        raise DataError(
            f"{what} is too large for single precision: {echo(text)}", path, line
        )
    return value


def _vars_row(
    fields: list[str], names: list[str], observed: str, path: PathLike, line: int
) -> Coupling:
    row = dict(zip(names, fields))

    def optional(*keys: str) -> str | None:
        for key in keys:
            if key in row:
                return row[key]
        return None

    res_i, icode_i = residue_field(row["RESID_I"], "RESID_I", path, line)
    res_j, icode_j = residue_field(row["RESID_J"], "RESID_J", path, line)
    dd = optional("DD")
    w = optional("W")
    weight = None if w is None else value_field(w, "W", path, line)
    if weight is not None and weight < 0:
        raise DataError(f"W must not be negative, got {w}", path, line)
    error = None if dd is None else value_field(dd, "DD", path, line)
    if error is not None and error < 0:
        raise DataError(f"DD must not be negative, got {dd}", path, line)
    return Coupling(
        residue_i=res_i,
        atom_i=row["ATOMNAME_I"],
        residue_j=res_j,
        atom_j=row["ATOMNAME_J"],
        value=value_field(row[observed], observed, path, line),
        chain_i=optional("SEGNAME_I", "CHAIN_I"),
        chain_j=optional("SEGNAME_J", "CHAIN_J"),
        icode_i=icode_i,
        icode_j=icode_j,
        resname_i=optional("RESNAME_I"),
        resname_j=optional("RESNAME_J"),
        error=error,
        weight=weight,
        path=os.fspath(path),
        line=line,
    )


def _plain_row(fields: list[str], path: PathLike, line: int) -> Coupling:
    if len(fields) == 2:
        chain = None
        residue_text, value_text = fields
    elif len(fields) == 3:
        chain, residue_text, value_text = fields
    else:
        raise DataError(
            "expected [chain] residue value, found "
            f"{len(fields)} column(s) (a table with atom names needs a VARS line)",
            path,
            line,
        )
    residue, icode = residue_field(residue_text, "residue", path, line)
    return Coupling(
        residue_i=residue,
        atom_i=None,
        residue_j=residue,
        atom_j=None,
        value=value_field(value_text, "value", path, line),
        chain_i=chain,
        chain_j=chain,
        icode_i=icode,
        icode_j=icode,
        path=os.fspath(path),
        line=line,
    )


def read_couplings(path: PathLike) -> list[Coupling]:
    """Read a coupling table.

    Two layouts are understood:

    * the common NMR table layout: ``VARS`` names the columns (at least
      RESID_I ATOMNAME_I RESID_J ATOMNAME_J and D; RESNAME_I/J, SEGNAME_I/J,
      DD and W are used when present), ``FORMAT`` gives their formats,
      ``DATA`` and ``REMARK`` lines are skipped, and every other non-blank
      line is one coupling.  An SVD fit's output table, whose VARS names
      D_OBS (observed) beside D (back-calculated), is read from D_OBS;
    * plain columns ``[chain] residue value``, comma- or
      whitespace-separated, with ``#`` comments and an optional header;
      the atoms are chosen when the structure is read.

    Raises:
        DataError: unreadable file, malformed line or no couplings.
    """
    lines = read_lines(path)
    names: list[str] | None = None
    observed = "D"
    layout: str | None = None
    header_allowed = True
    couplings: list[Coupling] = []
    for number, raw in enumerate(lines, start=1):
        text = raw.split("#", 1)[0].strip()
        if layout != "plain" and text.startswith("!"):
            continue
        if not text:
            continue
        keyword = text.split(None, 1)[0].upper()
        if layout != "plain" and keyword in ("DATA", "REMARK"):
            continue
        if keyword == "VARS":
            if layout == "plain" or couplings:
                raise DataError("VARS line after data lines", path, number)
            layout = "vars"
            names = [n.upper() for n in text.split()[1:]]
            missing = [n for n in _REQUIRED_VARS if n not in names]
            if missing:
                raise DataError(
                    "VARS line lacks column(s) " + ", ".join(missing), path, number
                )
            present = [n for n in _OBSERVED_VARS if n in names]
            if not present:
                raise DataError(
                    "VARS line names no observed coupling column (D or D_OBS)",
                    path,
                    number,
                )
            observed = present[0]
            if observed == "D_OBS":
                also = "; D holds back-calculated values" if "D" in names else ""
                notices.note(
                    f"{os.fspath(path)}: reading D_OBS as the observed couplings{also}"
                )
            continue
        if keyword == "FORMAT":
            if names is None:
                raise DataError("FORMAT line before the VARS line", path, number)
            count = len(text.split()) - 1
            if count != len(names):
                raise DataError(
                    f"FORMAT gives {count} formats for {len(names)} VARS columns",
                    path,
                    number,
                )
            continue
        if layout == "vars":
            assert names is not None
            fields = text.split()
            if len(fields) != len(names):
                raise DataError(
                    f"expected {len(names)} columns as named by VARS, "
                    f"found {len(fields)}",
                    path,
                    number,
                )
            couplings.append(_vars_row(fields, names, observed, path, number))
            continue
        layout = "plain"
        fields = _csv_fields(text, path, number) if "," in text else text.split()
        if header_allowed and _number(fields[-1]) is None:
            header_allowed = False
            continue
        header_allowed = False
        couplings.append(_plain_row(fields, path, number))
    if not couplings:
        raise DataError("no couplings found", path)
    return couplings


def read_sequence(path: PathLike) -> dict[int, str] | None:
    """The sequence a table states in its ``DATA SEQUENCE`` lines.

    The one-letter codes of every ``DATA SEQUENCE`` line are joined in file
    order (spaces between groups are ignored) and numbered from
    ``DATA FIRST_RESID`` when the file gives it, else from 1.

    Returns:
        Residue number -> three-letter name, or None when the file has no
        ``DATA SEQUENCE`` line.

    Raises:
        DataError: unreadable file, a letter that is no residue code, or a
            FIRST_RESID that is not an integer or is given twice differently.
    """
    letters: list[str] = []
    first: int | None = None
    found = False
    for number, raw in enumerate(read_lines(path), start=1):
        fields = raw.split()
        if len(fields) < 2 or fields[0].upper() != "DATA":
            continue
        key = fields[1].upper()
        if key == "SEQUENCE":
            found = True
            for ch in "".join(fields[2:]):
                name = ONE_LETTER_CODES.get(ch.upper())
                if name is None:
                    raise DataError(
                        f"DATA SEQUENCE holds {ch!r}, not a one-letter residue code",
                        path,
                        number,
                    )
                letters.append(name)
        elif key == "FIRST_RESID":
            value = fields[2] if len(fields) == 3 else ""
            if not re.fullmatch(r"-?\d+", value):
                raise DataError(
                    "DATA FIRST_RESID needs one integer, found "
                    f"{echo(' '.join(fields[2:]))}",
                    path,
                    number,
                )
            if first is not None and int(value) != first:
                raise DataError(
                    f"DATA FIRST_RESID {value} contradicts the earlier {first}",
                    path,
                    number,
                )
            first = int(value)
    if not found:
        return None
    start = 1 if first is None else first
    return {start + k: name for k, name in enumerate(letters)}
