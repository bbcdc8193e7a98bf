"""The error every reader and command reports data problems with."""

from __future__ import annotations

import os
from typing import Union

__all__ = ["DataError", "PathLike"]

PathLike = Union[str, "os.PathLike[str]"]


class DataError(ValueError):
    """Input data that cannot be used, with the file and line at fault.

    Lines (and rows) count from 1; ``line`` is 0 when the fault is not on
    one line.
    """

    def __init__(self, message: str, path: PathLike | None = None, line: int = 0):
        where = ""
        if path is not None:
            where = f"{os.fspath(path)}:{line}: " if line else f"{os.fspath(path)}: "
        super().__init__(where + message)
        self.path = None if path is None else os.fspath(path)
        self.line = line
