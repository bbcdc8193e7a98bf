"""Sphinx extension: the package's docstrings read as the plain text they are.

The docstrings write absolute values as ``|e|``, which reStructuredText
would take for substitutions; outside inline literals every bar is made a
literal bar before the docstring is parsed.
"""

from __future__ import annotations

import re
from typing import Any

from sphinx.application import Sphinx

#: An inline literal (kept as it is), or a bar to escape.
_LITERAL_OR_BAR = re.compile(r"(``.*?``)|(?<!\\)\|")


def _escape_bars(line: str) -> str:
    return _LITERAL_OR_BAR.sub(lambda m: m.group(1) or r"\|", line)


def escape_bars(
    app: Sphinx, what: str, name: str, obj: object, options: Any, lines: list[str]
) -> None:
    """Escape the bars of a docstring's lines, in place."""
    lines[:] = [_escape_bars(line) for line in lines]


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("autodoc-process-docstring", escape_bars)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
