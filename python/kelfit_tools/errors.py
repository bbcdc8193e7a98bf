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
from collections.abc import Callable
from dataclasses import dataclass
from typing import Union

__all__ = [
    "ECHO_LIMIT",
    "MESSAGE_LIMIT",
    "Advice",
    "DataError",
    "Hint",
    "PathLike",
    "advice_of",
    "echo",
    "one_line",
    "prefixed",
    "printable",
    "shortened",
    "user_message",
]

PathLike = Union[str, "os.PathLike[str]"]


@dataclass(frozen=True)
class Hint:
    """A setting a message points the reader to.

    Attributes:
        name: the setting as the API names it, such as ``"renumber"``.
        value: the value meant, as text ("" for the setting itself).
        python: how the message words it for a Python caller (default
            ``name=value``, or the name alone).
    """

    name: str
    value: str = ""
    python: str = ""

    def __str__(self) -> str:
        if self.python:
            return self.python
        return f"{self.name}={self.value}" if self.value else self.name


class Advice(str):
    """A message that points at settings, worded for a Python caller; a front
    end with its own names for them (the command line's options) words it
    again from ``template`` (``{0}``, ``{1}``, ... for the hints) and
    ``hints``."""

    template: str
    hints: tuple[Hint, ...]

    def __new__(cls, template: str, *hints: Hint) -> Advice:  # noqa: PYI034
        self = super().__new__(cls, template.format(*hints))
        self.template = template
        self.hints = hints
        return self

    def words(self, word: Callable[[Hint], str]) -> str:
        """The message with every hint worded by ``word``."""
        return self.template.format(*(word(h) for h in self.hints))

    def after(self, prefix: str) -> Advice:
        """The same advice with ``prefix`` before it."""
        escaped = prefix.replace("{", "{{").replace("}", "}}")
        return Advice(escaped + self.template, *self.hints)


def advice_of(message: object) -> Advice | None:
    """The advice a message or an exception carries, or None."""
    if isinstance(message, Advice):
        return message
    if isinstance(message, DataError):
        return message.advice
    if isinstance(message, BaseException) and message.args:
        first = message.args[0]
        return first if isinstance(first, Advice) else None
    return None


def prefixed(prefix: str, message: str) -> str:
    """``prefix`` before ``message``, keeping the message's advice."""
    if isinstance(message, Advice):
        return message.after(prefix)
    return prefix + message


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
        #: The message's advice, worded again after ``where`` by a front end.
        self.advice = message.after(where) if isinstance(message, Advice) else None


#: Control characters (C0 but the tab, DEL, C1) as they are shown: a name
#: or a file name read from input must not move the cursor, retitle the
#: window, clear the screen or split one message into several lines.
_CONTROLS = {
    code: ("\\n" if code == 10 else "\\r" if code == 13 else f"\\x{code:02x}")
    for code in (*range(0x20), *range(0x7F, 0xA0))
    if code != 9
}
_CONTROLS_BUT_NEWLINE = {k: v for k, v in _CONTROLS.items() if k != 10}


def printable(text: str, *, lines: bool = False) -> str:
    """``text`` safe to show on a terminal: every control character (C0 but
    the tab, ESC, BEL, DEL and C1) escaped as ``\\x1b``, a newline as
    ``\\n`` so that one message stays one line; with ``lines``, newlines
    are kept (a multi-line report)."""
    return text.translate(_CONTROLS_BUT_NEWLINE if lines else _CONTROLS)


#: Characters of a field that an error message repeats: enough to find it
#: in the file, and a message stays one readable line however long the field.
ECHO_LIMIT = 60

#: Characters of a whole message shown: one that quotes an input in full
#: (a library's own refusal) must not fill the terminal.
MESSAGE_LIMIT = 2000


def echo(text: str) -> str:
    """A field as an error message repeats it: quoted (control characters
    escaped), and cut after :data:`ECHO_LIMIT` characters with the length
    it has."""
    if len(text) <= ECHO_LIMIT:
        return repr(text)
    return f"{text[:ECHO_LIMIT]!r}... ({len(text)} characters)"


def one_line(message: str) -> str:
    """A library's message that quotes input on lines of its own (gemmi's
    "line is too short" and the raw line) as one line: its first line, then
    the rest :func:`echo`-ed."""
    first, _, rest = message.partition("\n")
    rest = rest.strip("\n")
    return f"{first.rstrip(':')}: {echo(rest)}" if rest else first


def shortened(message: str) -> str:
    """``message`` cut after :data:`MESSAGE_LIMIT` characters, with the
    length it had."""
    if len(message) <= MESSAGE_LIMIT:
        return message
    return f"{message[:MESSAGE_LIMIT]}... ({len(message)} characters)"


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
