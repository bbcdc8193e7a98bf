"""Text tables that never cut a number."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TextIO

from .._extras import available

__all__ = ["fmt", "print_table"]


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
