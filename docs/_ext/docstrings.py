"""Sphinx extension: the package's docstrings read as the plain text they are.

The docstrings write absolute values as ``|e|``, which reStructuredText
would take for substitutions; outside inline literals every bar is made a
literal bar before the docstring is parsed. A method without a docstring
of its own shows the one it inherits (from the standard library, say),
written as plain text too: its stars (``fn(*args, **kwargs)``) are made
literal as well.
"""

from __future__ import annotations

import re
from typing import Any

from sphinx.application import Sphinx

#: An inline literal (kept as it is), or a bar to escape.
_LITERAL_OR_BAR = re.compile(r"(``.*?``)|(?<!\\)\|")
#: An inline literal (kept as it is), or a bar or a star to escape.
_LITERAL_BAR_OR_STAR = re.compile(r"(``.*?``)|(?<!\\)[|*]")


def _escape(pattern: re.Pattern[str], line: str) -> str:
    return pattern.sub(lambda m: m.group(1) or "\\" + m.group(0), line)


def escape_bars(
    app: Sphinx, what: str, name: str, obj: object, options: Any, lines: list[str]
) -> None:
    """Escape the bars of a docstring's lines, in place (and the stars of
    an inherited one)."""
    inherited = callable(obj) and getattr(obj, "__doc__", "") is None
    pattern = _LITERAL_BAR_OR_STAR if inherited else _LITERAL_OR_BAR
    lines[:] = [_escape(pattern, line) for line in lines]


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("autodoc-process-docstring", escape_bars)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
