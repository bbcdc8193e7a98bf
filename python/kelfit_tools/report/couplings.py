"""One row per coupling, for scripts: CSV, or Parquet for a ``.parquet`` name,
and the same rows as the JSON report gives them.

Every mode writes the same columns (a vector table leaves the atom fields
empty, ``kelfit solve`` the fields of a fit), so a script reads any of
these files the same way.
"""

from __future__ import annotations

import csv
import io
import math
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .._extras import require

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

    from ..fitting import FitResult
    from ..io.tables import Coupling
    from ..media import MediumFit
    from ..statistics import Statistics

__all__ = [
    "COUPLING_COLUMNS",
    "back_calculated_rows",
    "coupling_rows",
    "csv_text",
    "is_parquet",
    "report_rows",
    "rows_csv",
    "solve_rows",
    "write_parquet",
]

#: The columns of every per-coupling table, in order.
COUPLING_COLUMNS = (
    "model",
    "medium",
    "chain_i",
    "residue_i",
    "resname_i",
    "atom_i",
    "chain_j",
    "residue_j",
    "resname_j",
    "atom_j",
    "type",
    "constant_hz",
    "scale",
    "sigma",
    "observed",
    "calculated",
    "residual",
    "normalised_residual",
    "outlier",
    "residue_q",
    "label",
    "line",
)

#: The keys of a coupling of the JSON report, in order, where a medium
#: names its atoms (the model and medium are given once for the fit) ...
_REPORT_ATOMS = (
    "label",
    "residue_i",
    "atom_i",
    "residue_j",
    "atom_j",
    "resname_i",
    "resname_j",
    "chain_i",
    "chain_j",
    "type",
    "constant_hz",
    "line",
    "residue_q",
)

#: ... and those of every fit.
_REPORT_VALUES = (
    "observed",
    "calculated",
    "residual",
    "sigma",
    "scale",
    "normalised_residual",
    "outlier",
)

#: Column types for Parquet: the rest are floats.
_INTEGERS = ("model", "residue_i", "residue_j", "line")
_STRINGS = (
    "medium",
    "chain_i",
    "resname_i",
    "atom_i",
    "chain_j",
    "resname_j",
    "atom_j",
    "type",
    "label",
)


def _atoms(c: Coupling) -> dict[str, Any]:
    return {
        "chain_i": c.chain_i,
        "residue_i": c.residue_i,
        "resname_i": c.resname_i,
        "atom_i": c.atom_i,
        "chain_j": c.chain_j,
        "residue_j": c.residue_j,
        "resname_j": c.resname_j,
        "atom_j": c.atom_j,
        "line": c.line,
    }


def coupling_rows(
    result: FitResult,
    stats: Statistics,
    *,
    model: int | None = None,
    medium: MediumFit | None = None,
    labels: Sequence[str] | None = None,
) -> list[dict[str, Any]]:
    """One dict per coupling of a fit, keyed by :data:`COUPLING_COLUMNS`."""
    residue_q = {(r.chain, r.residue): r.q for r in stats.residues}
    rows = []
    for i in range(result.n):
        row: dict[str, Any] = dict.fromkeys(COUPLING_COLUMNS)
        row.update(
            model=model,
            scale=1.0 if result.scale is None else float(result.scale[i]),
            sigma=None if result.sigma is None else float(result.sigma[i]),
            observed=float(result.observed[i]),
            calculated=float(result.calculated[i]),
            residual=float(result.residuals[i]),
            normalised_residual=float(stats.normalised_residuals[i]),
            outlier=bool(stats.outliers[i]),
            label=None if labels is None else labels[i],
        )
        if medium is not None:
            c = medium.couplings[i]
            row.update(_atoms(c))
            row.update(
                medium=medium.name,
                type=medium.types[i],
                constant_hz=float(medium.constants[i]),
                label=c.label,
                residue_q=residue_q.get((c.chain_i or "", c.residue_i)),
            )
        rows.append(row)
    return rows


def report_rows(
    result: FitResult,
    stats: Statistics,
    *,
    medium: MediumFit | None = None,
    labels: Sequence[str] | None = None,
) -> list[dict[str, Any]]:
    """The rows of :func:`coupling_rows` as the JSON report gives them: a
    coupling's atoms where a medium names them, else its label where there
    is one, then the fit's values."""
    keys: tuple[str, ...]
    if medium is not None:
        keys = _REPORT_ATOMS + _REPORT_VALUES
    elif labels is not None:
        keys = ("label", *_REPORT_VALUES)
    else:
        keys = _REPORT_VALUES
    rows = coupling_rows(result, stats, medium=medium, labels=labels)
    return [{k: row[k] for k in keys} for row in rows]


def solve_rows(
    calculated: Sequence[float] | NDArray[np.float64],
    labels: Sequence[str],
    *,
    model: int | None = None,
    couplings: Sequence[Coupling] | None = None,
    types: Sequence[str] | None = None,
    constants: Sequence[float] | None = None,
    scale: Sequence[float] | None = None,
) -> list[dict[str, Any]]:
    """One dict per back-calculated value; what only a fit has stays empty."""
    rows = []
    for i, value in enumerate(calculated):
        row: dict[str, Any] = dict.fromkeys(COUPLING_COLUMNS)
        row.update(
            model=model,
            calculated=float(value),
            scale=1.0 if scale is None else float(scale[i]),
            label=labels[i],
        )
        if couplings is not None:
            row.update(_atoms(couplings[i]))
        if types is not None:
            row["type"] = types[i]
        if constants is not None:
            row["constant_hz"] = float(constants[i])
        rows.append(row)
    return rows


def back_calculated_rows(
    vectors: NDArray[np.float64],
    labels: Sequence[str],
    params: NDArray[np.float64],
    *,
    model: int | None = None,
    couplings: Sequence[Coupling] | None = None,
    atoms: Sequence[tuple[str, str]] | None = None,
    signs: str = "physical",
    bond_lengths: str = "structure",
    nh_length: float | None = None,
    lengths: dict[str, float] | None = None,
) -> list[dict[str, Any]]:
    """Values back-calculated from tensor parameters, one row each; with
    ``atoms``, each row scaled by its bond's dipolar constant (see
    :func:`~kelfit_tools.bonds.row_scales` for the other keywords)."""
    import numpy as np

    from ..bonds import NH_REFERENCE_LENGTH, bond_type, row_scales
    from ..fitting import back_calculate

    constants = scale = types = None
    if atoms is not None:
        constants, scale = row_scales(
            atoms,
            np.linalg.norm(vectors, axis=1),
            convention=signs,
            bond_lengths=bond_lengths,
            nh_length=NH_REFERENCE_LENGTH if nh_length is None else nh_length,
            lengths=lengths,
        )
        types = [bond_type(a, b) for a, b in atoms]
    values = back_calculate(vectors, params, scale=scale)
    return solve_rows(
        values,
        labels,
        model=model,
        couplings=couplings,
        types=types,
        constants=None if constants is None else list(constants),
        scale=None if scale is None else list(scale),
    )


#: What a spreadsheet takes for the start of a formula in a cell.
_FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")

#: A plain number, which a spreadsheet reads as one whatever its sign.
_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")


def csv_text(text: str) -> str:
    """``text`` as a CSV cell a spreadsheet shows and never evaluates.

    Names and labels come from the user's files, so a cell such as
    ``=HYPERLINK(...)`` would run when the table is opened: a cell that
    starts a formula (``=``, ``+``, ``-``, ``@``, a tab or a carriage return)
    gets a leading single quote, as spreadsheet makers advise. A plain
    number (``-7.25``, ``+1e3``) stays as it is.
    """
    if text.startswith(_FORMULA_STARTS) and not _NUMBER.fullmatch(text):
        return "'" + text
    return text


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return "" if math.isnan(value) else f"{value:.6g}"
    return csv_text(str(value))


def rows_csv(rows: Sequence[dict[str, Any]]) -> str:
    """The rows as CSV with a header of :data:`COUPLING_COLUMNS`; text cells
    that would start a spreadsheet formula are escaped (:func:`csv_text`)."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(COUPLING_COLUMNS)
    for row in rows:
        writer.writerow([_cell(row[k]) for k in COUPLING_COLUMNS])
    return buffer.getvalue()


def is_parquet(path: str) -> bool:
    """Whether a table is written as Parquet: a ``.parquet`` name."""
    return path.lower().endswith(".parquet")


def write_parquet(rows: Sequence[dict[str, Any]], path: str) -> None:
    """The rows as a Parquet file, with a column type per column.

    Raises:
        MissingExtra: pyarrow is not installed.
    """
    pa: Any = require("pyarrow", "Parquet tables", extra="md")
    pq: Any = require("pyarrow.parquet", "Parquet tables", extra="md")

    def kind(name: str) -> Any:
        if name in _INTEGERS:
            return pa.int64()
        if name in _STRINGS:
            return pa.string()
        return pa.bool_() if name == "outlier" else pa.float64()

    schema = pa.schema([(name, kind(name)) for name in COUPLING_COLUMNS])
    columns = {name: [row[name] for row in rows] for name in COUPLING_COLUMNS}
    pq.write_table(pa.Table.from_pydict(columns, schema=schema), path)
