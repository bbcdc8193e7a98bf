"""Helpers around the :mod:`kelfit` extension module.

The extension fits a second-rank orientation tensor (as for residual
dipolar couplings) to one observed value per bond vector.  This package adds
what a structural biologist needs around it:

* :func:`fit`, :func:`back_calculate`, :func:`linear_start` and
  :func:`monte_carlo` for fitting and error estimates;
* :func:`run_fit` for what ``kelfit fit`` does, from a :class:`FitRequest`
  (inputs, selection, :class:`FitOptions`) to a :class:`FitRun` that
  :mod:`~kelfit_tools.report.run` reports;
* :func:`fit_many` for many fits at once, on every core or any executor
  (a process pool, a Dask cluster), as results or as one :class:`FitTable`
  of arrays, and :func:`summarize_ensemble`;
  :mod:`~kelfit_tools.trajectory` for every frame of a trajectory (MDAnalysis);
* :mod:`~kelfit_tools.bonds` for the dipolar constants of every bond type;
* :mod:`~kelfit_tools.io` to read vector tables, coupling tables, Xplor/CNS
  and NMR-STAR restraint files (:func:`read_restraints`) and structures
  (:func:`structure_vectors`, gemmi);
* :mod:`~kelfit_tools.report` for tensor reports and figures
  (:func:`plot_fit`, matplotlib);
* :mod:`~kelfit_tools.datasets`: real data sets (ubiquitin, GB3, lysozyme)
  shipped with the package;
* the ``kelfit`` command (``python -m kelfit_tools``), in :mod:`~kelfit_tools.cli`.

Angles are z-x-z rotations in radians throughout the API (degrees on the
command line).
"""

from __future__ import annotations

from typing import Any

from ._extras import MissingExtra
from .ensemble import EnsembleSummary, summarize_ensemble
from .errors import DataError
from .fitting import FitResult, back_calculate, fit, linear_start
from .io import Coupling, VectorTable, read_couplings, read_restraints, read_table
from .many import FitFailed, fit_many
from .montecarlo import MonteCarloResult, monte_carlo
from .options import FitOptions
from .report.html import register_notebook_views
from .table import FitTable
from .tensor import Tensor, canonical

register_notebook_views()

try:
    from importlib.metadata import PackageNotFoundError, version

    __version__ = version("kelfit")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"

__all__ = [
    "Coupling",
    "DataError",
    "EnsembleSummary",
    "FitFailed",
    "FitOptions",
    "FitRequest",
    "FitResult",
    "FitRun",
    "FitTable",
    "MissingExtra",
    "MonteCarloResult",
    "Tensor",
    "VectorTable",
    "__version__",
    "back_calculate",
    "canonical",
    "fit",
    "fit_many",
    "linear_start",
    "monte_carlo",
    "plot_fit",
    "read_couplings",
    "read_restraints",
    "read_table",
    "run_fit",
    "structure_vectors",
    "summarize_ensemble",
]


def __getattr__(name: str) -> Any:
    # The structure and plot helpers pull in optional packages; load them on use.
    if name == "structure_vectors":
        from .io.structure import structure_vectors

        return structure_vectors
    if name in ("FitRequest", "FitRun", "run_fit"):
        # A whole run reads structures and trajectories: loaded on first use.
        from . import run

        return getattr(run, name)
    if name == "plot_fit":
        from .report.figures import plot_fit

        return plot_fit
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
