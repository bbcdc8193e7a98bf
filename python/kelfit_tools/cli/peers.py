"""``kelfit fit`` options that other RDC programs offer: tensor axes for
viewers, domains, free sets, cross-validation, outlier rejection and
structural noise.  The fit command adds them to its parser with
:func:`add_peer_options`; :mod:`kelfit_tools.run` does the work and
:mod:`kelfit_tools.report.run` reports it.
"""

from __future__ import annotations

import argparse
import math

from ..domains import parse_domain
from ..options import FROM_MODELS, MAX_TILT_DEG, parse_structure_noise
from ..validation import REJECT_FLOOR, REJECT_WARN_SHARE
from .common import int_at_least, number_where, parsed

__all__ = ["add_peer_options"]


_domain = parsed(lambda text: str(parse_domain(text)), "--domain: ")
_fraction = number_where(
    lambda v: 0.0 < v < 1.0, "--free takes a fraction between 0 and 1"
)
_threshold = number_where(
    lambda v: REJECT_FLOOR <= v < math.inf,
    f"--reject takes a number of normalised sigma from {REJECT_FLOOR:g}",
)
_noise = parsed(parse_structure_noise, "--structure-noise takes ")
_folds = int_at_least(2, "--cross-validate takes a number of folds, at least 2")


def add_peer_options(p: argparse.ArgumentParser) -> None:
    """Add the options of this module to ``kelfit fit``'s parser."""
    g = p.add_argument_group(
        "axes, domains, validation and structural noise (with --structure)"
    )
    g.add_argument(
        "--axes",
        metavar="FILE.pdb|FILE.pml|FILE.cxc",
        help="write the principal axes of every medium (or domain) as "
        "pseudo-atoms (.pdb), a PyMOL script (.pml) or a ChimeraX script (.cxc)",
    )
    g.add_argument(
        "--domain",
        action="append",
        type=_domain,
        metavar="NAME=RANGES",
        help="fit one tensor per domain (repeatable): N=1-75, C=A/80-152 "
        "(ranges may name a chain); reports how every pair of domains relates",
    )
    free = g.add_mutually_exclusive_group()
    free.add_argument(
        "--free",
        type=_fraction,
        metavar="FRACTION",
        help="leave a random fraction of the couplings out of the fit and "
        "report their Q (free Q); --seed makes the draw reproducible",
    )
    free.add_argument(
        "--free-set",
        metavar="FILE",
        help="leave the couplings listed in FILE (any coupling format) out "
        "of the fit and report their Q",
    )
    g.add_argument(
        "--cross-validate",
        type=_folds,
        metavar="K",
        help="K-fold cross-validation: free Q of every fold, with its spread",
    )
    g.add_argument(
        "--reject",
        type=_threshold,
        metavar="K",
        help=f"leave out couplings beyond K (from {REJECT_FLOOR:g}) normalised "
        "sigma, one at a time with refits; reports each and Q before and after, "
        f"and warns when more than {100 * REJECT_WARN_SHARE:.0f}%% go",
    )
    g.add_argument(
        "--structure-noise",
        type=_noise,
        metavar=f"ANGLE|{FROM_MODELS}",
        help="with --errors: turn each bond vector by a random isotropic tilt "
        f"of this rms (0 to {MAX_TILT_DEG:g} degrees) in every refit; '{FROM_MODELS}' (with --models "
        "all) draws each refit's vectors from one of the ensemble's models",
    )
