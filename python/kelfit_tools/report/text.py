"""Text tables that never cut a number."""

from __future__ import annotations

import io
import math
from collections.abc import Sequence
from typing import TextIO

import numpy as np
from numpy.typing import NDArray

from .._extras import available
from ..fitting import FitResult
from ..tensor import Tensor, aligned, canonical, rotation_matrix

__all__ = ["example_comparison", "fmt", "print_table"]


def fmt(value: float | None, digits: int) -> str:
    """A number with ``digits`` decimals; ``-`` for None, ``nan`` for NaN."""
    if value is None:
        return "-"
    return "nan" if math.isnan(value) else f"{value:.{digits}f}"


def print_table(
    headers: Sequence[str],
    rows: Sequence[Sequence[str]],
    out: TextIO,
    *,
    left: int = 0,
) -> None:
    """Aligned columns, the first ``left`` to the left and the rest to the right.

    On a terminal with rich installed the table is drawn by rich, which
    wraps a cell (``overflow="fold"``) rather than cut it; otherwise, and
    when stdout is a pipe, plain columns as wide as their widest cell.
    """
    if out.isatty() and available("rich"):
        from rich.console import Console
        from rich.table import Table

        table = Table(box=None, pad_edge=False)
        for i, h in enumerate(headers):
            table.add_column(
                h,
                justify="left" if i < left else "right",
                overflow="fold",
                no_wrap=False,
            )
        for row in rows:
            table.add_row(*row)
        Console(file=out).print(table)
        return
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        parts = [
            c.ljust(w) if i < left else c.rjust(w)
            for i, (c, w) in enumerate(zip(cells, widths))
        ]
        return "  ".join(parts).rstrip() + "\n"

    out.write(line(headers))
    for row in rows:
        out.write(line(row))


def _demo_rows(true: Tensor, fitted: Tensor, result: FitResult) -> list[list[str]]:
    rows = []
    for i, name in enumerate(("a1 (deg)", "a2 (deg)", "a3 (deg)")):
        rows.append(
            [
                name,
                fmt(math.degrees(true.angles[i]), 2),
                fmt(math.degrees(fitted.angles[i]), 2),
            ]
        )
    rows += [
        ["Da (Hz)", fmt(true.da, 3), fmt(fitted.da, 3)],
        ["R", fmt(true.r, 4), fmt(fitted.r, 4)],
        ["Dr = R Da (Hz)", fmt(true.dr, 3), fmt(fitted.dr, 3)],
        ["RMSD (Hz)", "", fmt(result.rmsd, 3)],
        ["Q", "", fmt(result.q, 4)],
        ["r", "", fmt(result.pearson_r, 4)],
    ]
    return rows


def example_comparison(
    result: FitResult, true_params: NDArray[np.float64], noise: float
) -> str:
    """A fit of the bundled example beside the tensor its couplings were
    made from: both tensors' parameters, the fit's quality, and how far
    apart their axes lie."""
    reference = rotation_matrix(*true_params[:3])
    true = aligned(canonical(true_params), reference)
    fitted = aligned(result.tensor(), reference)
    axis_error = [
        math.degrees(math.acos(min(1.0, abs(float(np.dot(a, b))))))
        for a, b in zip(true.axes, fitted.axes)
    ]
    out = io.StringIO()
    out.write(
        f"Example: {result.n} N-H couplings of an ideal beta strand and alpha "
        f"helix,\nback-calculated from a known tensor with {noise} Hz noise "
        f"added.\n\n"
    )
    print_table(["", "true", "fitted"], _demo_rows(true, fitted, result), out, left=1)
    out.write(
        "\nAxis deviations (deg): "
        + ", ".join(f"{n} {e:.1f}" for n, e in zip("xyz", axis_error))
        + "\n"
    )
    return out.getvalue()
