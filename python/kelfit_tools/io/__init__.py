"""Reading what users hold: vector tables, coupling tables, restraint files
(Xplor/CNS, NMR-STAR) and structures.

Every reader reports a problem as :class:`~kelfit_tools.errors.DataError`
naming the file and the 1-based line at fault.
"""

from __future__ import annotations

from .restraints import FORMATS, detect_format, read_restraints
from .tables import Coupling, VectorTable, read_couplings, read_sequence, read_table

__all__ = [
    "FORMATS",
    "Coupling",
    "VectorTable",
    "detect_format",
    "read_couplings",
    "read_restraints",
    "read_sequence",
    "read_table",
]
