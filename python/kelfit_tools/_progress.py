"""Optional progress bars: rich when it is installed and stderr is a terminal."""

from __future__ import annotations

import sys
from collections.abc import Iterable, Iterator
from typing import TypeVar

T = TypeVar("T")


def wanted(progress: bool | None) -> bool:
    """Resolve a progress flag: None means "when stderr is a terminal"."""
    if progress is None:
        return sys.stderr.isatty()
    return progress


def track(
    items: Iterable[T], total: int, description: str, enabled: bool
) -> Iterator[T]:
    """Iterate over ``items``, drawing a bar on stderr when enabled and possible."""
    if not enabled:
        yield from items
        return
    try:
        from rich.console import Console
        from rich.progress import track as rich_track
    except ImportError:
        yield from items
        return
    yield from rich_track(
        items,
        total=total,
        description=description,
        console=Console(stderr=True),
        transient=True,
    )
