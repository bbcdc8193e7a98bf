"""The example shipped with the package (used by ``kelfit demo``)."""

from __future__ import annotations

import json
from dataclasses import dataclass
from importlib import resources
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

__all__ = ["Example", "example", "example_path"]


def example_path(name: str) -> Path:
    """Path of a bundled example file, such as ``"example.pdb"``."""
    path = Path(str(resources.files(__package__) / "data" / name))
    if not path.is_file():
        raise FileNotFoundError(f"the package has no example file {name!r}")
    return path


@dataclass(frozen=True)
class Example:
    """The bundled example: files and the tensor the couplings were made from.

    Attributes:
        structure: PDB file (ideal strand, turn and helix, with amide protons).
        couplings: N-H couplings in the VARS/FORMAT layout.
        vectors: the same couplings as a plain vector table.
        true_params: ``[a1, a2, a3, Da, R]``, the angles in radians.
        noise: standard deviation of the noise added to the couplings (Hz).
    """

    structure: Path
    couplings: Path
    vectors: Path
    true_params: NDArray[np.float64]
    noise: float


def example() -> Example:
    """The bundled example."""
    truth = json.loads(example_path("example-truth.json").read_text())
    params = np.array(
        [
            np.radians(truth["a1_deg"]),
            np.radians(truth["a2_deg"]),
            np.radians(truth["a3_deg"]),
            truth["da"],
            truth["r"],
        ]
    )
    return Example(
        structure=example_path("example.pdb"),
        couplings=example_path("example-couplings.tab"),
        vectors=example_path("example-vectors.txt"),
        true_params=params,
        noise=float(truth["noise_hz"]),
    )
