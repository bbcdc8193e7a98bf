"""Optional dependencies of the ``tools`` extra."""

from __future__ import annotations

import importlib
from types import ModuleType

INSTALL_HINT = "pip install 'kelfit[tools]'"


class MissingExtra(ImportError):
    """An optional dependency is missing; the message says what to install."""


def require(module: str, purpose: str) -> ModuleType:
    """Import ``module`` or raise :class:`MissingExtra` naming ``purpose``."""
    try:
        return importlib.import_module(module)
    except ImportError:
        package = module.split(".", 1)[0]
        raise MissingExtra(f"{purpose} needs {package}: {INSTALL_HINT}") from None


def available(module: str) -> bool:
    """Whether ``module`` can be imported."""
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True
