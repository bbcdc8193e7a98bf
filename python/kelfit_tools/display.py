"""How results show themselves in a notebook.

The results sit below the report that draws them and do not import it:
the report registers one HTML renderer per result class here, when the
package is imported, and a result's ``_repr_html_`` asks for its own.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, TypeVar

__all__ = ["html_of", "renders_html"]

Renderer = TypeVar("Renderer", bound=Callable[[Any], str])

_RENDERERS: dict[type, Callable[[Any], str]] = {}


def renders_html(cls: type) -> Callable[[Renderer], Renderer]:
    """Register the decorated function as the HTML of ``cls``'s instances."""

    def register(renderer: Renderer) -> Renderer:
        _RENDERERS[cls] = renderer
        return renderer

    return register


def html_of(obj: object) -> str:
    """The registered HTML of ``obj``, by the nearest class that has one.

    Raises:
        LookupError: no renderer is registered for its class.
    """
    for cls in type(obj).__mro__:
        renderer = _RENDERERS.get(cls)
        if renderer is not None:
            return renderer(obj)
    raise LookupError(f"no HTML renderer for {type(obj).__name__}")
