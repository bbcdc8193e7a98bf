"""Inputs the tutorial and the gallery build from ubiquitin's structure.

The data sets shipped with kelfit hold one model of ubiquitin and no trajectory, so the
ensemble and the trajectory of the tutorial are made from that model: a
few copies with every atom moved a little, and frames of the molecule
turning about z while its atoms move. Both are seeded, so the pages show
the same numbers on every build.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np

#: Gaussian displacement of every atom (A): small beside a 1 A N-H bond.
JITTER_A = 0.03
#: Turn of the molecule about z between two frames (radians).
FRAME_TURN_RAD = 0.3
#: Edge of the cubic unit cell written with every trajectory frame (A).
BOX_A = 100.0


def jittered_ensemble(
    structure_path: str | Path, out: str | Path, models: int = 4, seed: int = 7
) -> Path:
    """Write a PDB file of ``models`` models: the first as read, the rest jittered."""
    import gemmi

    rng = np.random.default_rng(seed)
    structure = gemmi.read_structure(str(structure_path))
    for number in range(2, models + 1):
        model = structure[0].clone()
        for chain in model:
            for residue in chain:
                for atom in residue:
                    moved = np.array(atom.pos.tolist()) + rng.normal(0, JITTER_A, 3)
                    atom.pos = gemmi.Position(*moved)
        model.num = number
        structure.add_model(model)
    structure.setup_entities()
    out = Path(out)
    structure.write_pdb(str(out))
    return out


def tumbling_trajectory(
    structure_path: str | Path, out: str | Path, frames: int = 20, seed: int = 11
) -> Path:
    """Write a DCD trajectory of the structure turning about z, atoms jittered."""
    import MDAnalysis as mda

    rng = np.random.default_rng(seed)
    universe = mda.Universe(str(structure_path))
    start = universe.atoms.positions.astype(np.float64)
    centre = start.mean(axis=0)
    # A DCD frame holds a unit cell: a box around the molecule (which no fit
    # reads), so the writer need not warn of writing a zeroed one.
    universe.dimensions = [BOX_A, BOX_A, BOX_A, 90.0, 90.0, 90.0]
    out = Path(out)
    with mda.Writer(str(out), universe.atoms.n_atoms) as writer:
        for frame in range(frames):
            angle = FRAME_TURN_RAD * frame
            turn = np.array(
                [
                    [np.cos(angle), -np.sin(angle), 0.0],
                    [np.sin(angle), np.cos(angle), 0.0],
                    [0.0, 0.0, 1.0],
                ]
            )
            jitter = rng.normal(0, JITTER_A, start.shape)
            universe.atoms.positions = (start - centre + jitter) @ turn.T + centre
            writer.write(universe.atoms)
    return out


#: Residues of ubiquitin's second half, which the second state turns.
TURNED_RESIDUES = (36, 76)
#: The turn of the second state: about x by this many degrees, about the
#: turned residues' centroid.
STATE_TURN_DEG = 35.0


def two_state_trajectory(
    structure_path: str | Path,
    out: str | Path,
    frames: int = 20,
    turned: int = 10,
    seed: int = 13,
) -> Path:
    """Write a DCD trajectory of two states, atoms jittered: the last
    ``turned`` frames with residues 36-76 turned by :data:`STATE_TURN_DEG`,
    the others as read; the molecule also turns about z from frame to frame,
    as a run that does not hold it still would."""
    import MDAnalysis as mda

    rng = np.random.default_rng(seed)
    universe = mda.Universe(str(structure_path))
    start = universe.atoms.positions.astype(np.float64)
    low, high = TURNED_RESIDUES
    part = (universe.atoms.resids >= low) & (universe.atoms.resids <= high)
    angle = np.radians(STATE_TURN_DEG)
    about_x = np.array(
        [
            [1.0, 0.0, 0.0],
            [0.0, np.cos(angle), -np.sin(angle)],
            [0.0, np.sin(angle), np.cos(angle)],
        ]
    )
    second = start.copy()
    pivot = start[part].mean(axis=0)
    second[part] = (start[part] - pivot) @ about_x.T + pivot
    centre = start.mean(axis=0)
    universe.dimensions = [BOX_A, BOX_A, BOX_A, 90.0, 90.0, 90.0]
    out = Path(out)
    with mda.Writer(str(out), universe.atoms.n_atoms) as writer:
        for frame in range(frames):
            state = second if frame >= frames - turned else start
            tumble = FRAME_TURN_RAD * frame
            about_z = np.array(
                [
                    [np.cos(tumble), -np.sin(tumble), 0.0],
                    [np.sin(tumble), np.cos(tumble), 0.0],
                    [0.0, 0.0, 1.0],
                ]
            )
            jitter = rng.normal(0, JITTER_A, start.shape)
            universe.atoms.positions = (state - centre + jitter) @ about_z.T + centre
            writer.write(universe.atoms)
    return out
