"""Sphinx extension: the gallery's figures, made at build time.

Each figure is drawn by the ``kelfit`` command itself (``--plot``) from the
real data sets the package ships (``kelfit_tools.datasets``), so the
gallery shows what the command draws today; nothing is committed. The figures land in
``docs/_generated/gallery``, which the gallery page includes.
"""

from __future__ import annotations

import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from kelfit_tools import datasets
from sample_inputs import jittered_ensemble, tumbling_trajectory, two_state_trajectory
from sphinx.application import Sphinx
from sphinx.errors import ExtensionError
from sphinx.util import logging

DOCS = Path(__file__).resolve().parents[1]
ROOT = DOCS.parent
OUT = DOCS / "_generated" / "gallery"

log = logging.getLogger(__name__)


@dataclass(frozen=True)
class Figure:
    """One figure: the file ``--plot`` writes, the rest of the command and
    the subcommand that draws it."""

    plot: str
    arguments: tuple[str, ...]
    command: str = "fit"


def _figures(ensemble: Path, trajectory: Path, two_states: Path) -> list[Figure]:
    return [
        Figure(
            "ubiquitin.png",
            (
                "--structure",
                str(datasets.path("ubiquitin", "1d3z-model-1.pdb")),
                "--couplings",
                str(datasets.path("ubiquitin", "couplings.tab")),
            ),
        ),
        Figure(
            "gb3.png",
            (
                "--structure",
                str(datasets.path("gb3", "1p7e.pdb")),
                "--couplings",
                str(datasets.path("gb3", "couplings.tab")),
            ),
        ),
        # Two media: --plot writes lysozyme-1.png and lysozyme-2.png.
        Figure(
            "lysozyme.png",
            (
                "--structure",
                str(datasets.path("hewl", "1e8l-model-1.pdb")),
                "--couplings",
                str(datasets.path("hewl", "1e8l.mr")),
            ),
        ),
        # Two domains: --plot also writes lysozyme-halves-domains.png.
        Figure(
            "lysozyme-halves.png",
            (
                "--structure",
                str(datasets.path("hewl", "1e8l-model-1.pdb")),
                "--couplings",
                str(datasets.path("hewl", "couplings.tab")),
                "--domain",
                "N=1-60",
                "--domain",
                "C=61-129",
                "--seed",
                "1",
            ),
        ),
        Figure(
            "histogram.png",
            ("--couplings", str(datasets.path("ubiquitin", "couplings.tab"))),
            command="histogram",
        ),
        Figure(
            "ensemble.png",
            (
                "--structure",
                str(ensemble),
                "--couplings",
                str(datasets.path("ubiquitin", "couplings.tab")),
                "--models",
                "all",
            ),
        ),
        Figure(
            "trajectory.png",
            (
                "--structure",
                str(datasets.path("ubiquitin", "1d3z-model-1.pdb")),
                "--trajectory",
                str(trajectory),
                "--couplings",
                str(datasets.path("ubiquitin", "couplings.tab")),
            ),
        ),
        # The averaged fit of the two states: --plot also writes
        # two-states-convergence.png.
        Figure(
            "two-states.png",
            (
                "--structure",
                str(datasets.path("ubiquitin", "1d3z-model-1.pdb")),
                "--trajectory",
                str(two_states),
                "--couplings",
                str(datasets.path("ubiquitin", "couplings.tab")),
                "--atoms",
                "N,H",
                "--average",
            ),
        ),
        Figure(
            "reweight.png",
            (
                "--structure",
                str(datasets.path("ubiquitin", "1d3z-model-1.pdb")),
                "--trajectory",
                str(two_states),
                "--couplings",
                str(datasets.path("ubiquitin", "couplings.tab")),
                "--atoms",
                "N,H",
            ),
            command="reweight",
        ),
    ]


def _draw(figure: Figure) -> None:
    command = [sys.executable, "-m", "kelfit_tools", figure.command, "-q"]
    command += figure.arguments
    command += ["--plot", str(OUT / figure.plot)]
    done = subprocess.run(
        command, capture_output=True, text=True, cwd=ROOT, check=False
    )
    if done.returncode != 0:
        raise ExtensionError(
            f"gallery: {' '.join(command)} failed ({done.returncode}): {done.stderr.strip()}"
        )


def make_gallery(app: Sphinx) -> None:
    """Draw every figure of the gallery from the data sets the package ships."""
    OUT.mkdir(parents=True, exist_ok=True)
    structure = datasets.path("ubiquitin", "1d3z-model-1.pdb")
    ensemble = jittered_ensemble(structure, OUT / "ensemble.pdb")
    trajectory = tumbling_trajectory(structure, OUT / "ubiquitin.dcd")
    two_states = two_state_trajectory(structure, OUT / "two-states.dcd")
    for figure in _figures(ensemble, trajectory, two_states):
        log.info("gallery: drawing %s", figure.plot)
        _draw(figure)


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("builder-inited", make_gallery)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
