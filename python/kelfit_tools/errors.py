"""The error every reader and command reports data problems with, and the
module's refusals in the words users count in.

``kelfit.InputError`` carries the fault as attributes (the argument, the
row counted from 1, the parameter); :func:`user_message` builds from them a
message that names rows as a user numbers them, where the module's own text
counts from 0. Every path that shows a refusal (the command line, and the
errors of batches, frames and refits) words it there.
"""

from __future__ import annotations

import os
from typing import Union

__all__ = ["DataError", "PathLike", "user_message"]

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


_PARAM_NAMES = ("a1", "a2", "a3", "Da", "R", "the offset")
_ROW_NOUNS = {"vectors": "vector", "observed": "observed value"}
_PARAMS_OF = {"start": "the start", "params": "the tensor"}


def user_message(exc: BaseException) -> str:
    """A message for the user: a refusal of the module (``kelfit.InputError``)
    says which row (counted from 1) or parameter it is about, from the
    exception's attributes; any other error is its own message."""
    import kelfit

    if not isinstance(exc, kelfit.InputError) or exc.reason is None:
        return str(exc)
    argument = str(exc.argument)
    if exc.row is not None:
        subject = f"{_ROW_NOUNS.get(argument, argument)} of row {exc.row}"
    elif exc.parameter is not None and argument in _PARAMS_OF:
        subject = f"{_PARAM_NAMES[exc.parameter]} of {_PARAMS_OF[argument]}"
    else:
        return str(exc)
    return f"{subject} {exc.reason}"
