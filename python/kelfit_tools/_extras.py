"""Optional dependencies: the ``tools`` and ``nmrstar`` extras."""

from __future__ import annotations

import importlib
from types import ModuleType

INSTALL_HINT = "pip install 'kelfit[tools]'"


class MissingExtra(ImportError):
    """An optional dependency is missing; the message says what to install."""


def require(module: str, purpose: str, extra: str = "tools") -> ModuleType:
    """Import ``module`` or raise :class:`MissingExtra` naming ``purpose``
    and the extra that installs it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        package = module.split(".", 1)[0]
        hint = INSTALL_HINT.replace("[tools]", f"[{extra}]")
        raise MissingExtra(f"{purpose} needs {package}: {hint}") from None


def available(module: str) -> bool:
    """Whether ``module`` can be imported."""
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True
