"""Notes and warnings as values a run carries, not only log lines.

A reader deep in the path from files to fits (a structure's matching, a
table's columns, a superposition) has something a user should know, and no
run object to hand it to.  It calls :func:`note` or :func:`warn`: the message
goes to the ``kelfit_tools`` log as before and, while a :class:`Notices` is
:meth:`~Notices.active` (as during :func:`kelfit_tools.run.run_fit`), into
that record too.  A run's report takes its messages from the record, so they
are the same whether or not logging is configured.
"""

from __future__ import annotations

import contextlib
import logging
from collections.abc import Iterable, Iterator
from contextvars import ContextVar
from dataclasses import dataclass, field

__all__ = ["Notices", "current", "note", "warn"]

log = logging.getLogger("kelfit_tools")


@dataclass
class Notices:
    """What a run has to say, each message once, in the order said.

    Attributes:
        notes: what a reader should know (what was left out, what was chosen).
        warnings: what a reader must know (the result may mislead).
    """

    notes: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)

    def note(self, message: str) -> None:
        """Keep and log a note (once)."""
        if message not in self.notes:
            self.notes.append(message)
            log.info("%s", message)

    def warn(self, message: str) -> None:
        """Keep and log a warning (once)."""
        if message not in self.warnings:
            self.warnings.append(message)
            log.warning("%s", message)

    def note_all(self, messages: Iterable[str]) -> None:
        """Keep and log several notes."""
        for message in messages:
            self.note(message)

    def warn_all(self, messages: Iterable[str]) -> None:
        """Keep and log several warnings."""
        for message in messages:
            self.warn(message)

    @contextlib.contextmanager
    def active(self) -> Iterator[Notices]:
        """Make this the record :func:`note` and :func:`warn` add to."""
        token = _current.set(self)
        try:
            yield self
        finally:
            _current.reset(token)


_current: ContextVar[Notices | None] = ContextVar("kelfit_notices", default=None)


def current() -> Notices | None:
    """The active record, None when there is none."""
    return _current.get()


def note(message: str) -> None:
    """A note: into the active record when there is one, and to the log."""
    record = _current.get()
    if record is None:
        log.info("%s", message)
    else:
        record.note(message)


def warn(message: str) -> None:
    """A warning: into the active record when there is one, and to the log."""
    record = _current.get()
    if record is None:
        log.warning("%s", message)
    else:
        record.warn(message)
