"""Helpers around the :mod:`kelfit` extension module.

The extension fits a second-rank orientation tensor (as for residual
dipolar couplings) to one observed value per bond vector.  This package adds
what a structural biologist needs around it:

* :func:`fit`, :func:`back_calculate`, :func:`linear_start` and
  :func:`monte_carlo` for fitting and error estimates;
* :func:`read_table`, :func:`read_couplings` and :func:`structure_vectors`
  to read vector tables, coupling tables and structures (gemmi);
* :func:`plot_fit` for a figure (matplotlib);
* the ``kelfit`` command (``python -m kelfit_tools``).

Angles are z-x-z rotations in radians throughout the API (degrees on the
command line).
"""

from __future__ import annotations

from typing import Any

from ._extras import MissingExtra
from .fitting import FitResult, back_calculate, fit, linear_start
from .montecarlo import MonteCarloResult, monte_carlo
from .readers import Coupling, DataError, VectorTable, read_couplings, read_table
from .tensor import Tensor, canonical

try:
    from importlib.metadata import PackageNotFoundError, version

    __version__ = version("kelfit")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"

__all__ = [
    "Coupling",
    "DataError",
    "FitResult",
    "MissingExtra",
    "MonteCarloResult",
    "Tensor",
    "VectorTable",
    "__version__",
    "back_calculate",
    "canonical",
    "fit",
    "linear_start",
    "monte_carlo",
    "plot_fit",
    "read_couplings",
    "read_table",
    "structure_vectors",
]


def __getattr__(name: str) -> Any:
    # The structure and plot helpers pull in optional packages; load them on use.
    if name == "structure_vectors":
        from .structure import structure_vectors

        return structure_vectors
    if name == "plot_fit":
        from .plot import plot_fit

        return plot_fit
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
