"""Generate the example that ships with kelfit_tools (``kelfit demo``).

Builds a small protein-like chain from ideal geometry (a beta strand, a
turn and an alpha helix, with amide protons), back-calculates N-H couplings
from a known tensor, adds Gaussian noise of a realistic size, and writes:

* ``example.pdb``: the structure;
* ``example-couplings.tab``: the couplings in the VARS/FORMAT table layout;
* ``example-vectors.txt``: the same couplings as a plain vector table;
* ``example-truth.json``: the tensor and noise they were made with.

The output is deterministic (fixed seed), so rerunning the script
reproduces the shipped files.  Needs numpy only.

    python examples/make_example.py [--out DIR]
"""

from __future__ import annotations

import argparse
import json
import math
from pathlib import Path

import numpy as np

# Ideal backbone geometry (Angstrom, degrees).
N_CA, CA_C, C_N, C_O, N_H, CA_CB = 1.458, 1.525, 1.329, 1.231, 1.02, 1.530
ANGLE_N_CA_C, ANGLE_CA_C_N, ANGLE_C_N_CA = 111.2, 116.2, 121.7
ANGLE_CA_C_O, ANGLE_N_CA_CB = 120.5, 110.5
TORSION_C_N_CA_CB = -122.6  # places CB as in an L-amino acid

STRAND = (-120.0, 130.0)
HELIX = (-57.0, -47.0)

# (one-letter sequence, phi/psi per residue).  Prolines carry no amide
# proton, glycine 13 takes the positive phi of the turn.
SEGMENTS = [
    ("MKIEVRVTY", [STRAND] * 9),
    ("DPSG", [(-70.0, 150.0), (-60.0, -30.0), (-90.0, 0.0), (80.0, 10.0)]),
    ("TPEEAIKLAKEALELAKKAG", [HELIX] * 20),
    ("NKW", [(-80.0, 140.0), (-70.0, 140.0), (-70.0, 140.0)]),
]

THREE = {
    "A": "ALA", "D": "ASP", "E": "GLU", "G": "GLY", "I": "ILE", "K": "LYS",
    "L": "LEU", "M": "MET", "N": "ASN", "P": "PRO", "R": "ARG", "S": "SER",
    "T": "THR", "V": "VAL", "W": "TRP", "Y": "TYR",
}  # fmt: skip

# The tensor the couplings come from: z-x-z angles (degrees), Da (Hz), R.
TRUTH = {"a1_deg": 35.0, "a2_deg": 70.0, "a3_deg": 125.0, "da": -10.5, "r": 0.38}
NOISE_HZ = 0.8  # measurement error and structural noise together
SEED = 20240517
# Couplings a real spectrum would lose to overlap.
MISSING = {26}


def place(a, b, c, bond: float, angle: float, torsion: float) -> np.ndarray:
    """Atom d with |cd| = bond, angle bcd and torsion abcd (degrees)."""
    angle, torsion = math.radians(angle), math.radians(torsion)
    bc = (c - b) / np.linalg.norm(c - b)
    n = np.cross(b - a, bc)
    n /= np.linalg.norm(n)
    m = np.cross(n, bc)
    local = np.array(
        [
            -bond * math.cos(angle),
            bond * math.sin(angle) * math.cos(torsion),
            bond * math.sin(angle) * math.sin(torsion),
        ]
    )
    return c + local[0] * bc + local[1] * m + local[2] * n


def build_chain() -> list[tuple[str, dict[str, np.ndarray]]]:
    """Residue names with their atom positions, N terminus first."""
    sequence = "".join(s for s, _ in SEGMENTS)
    dihedrals = [d for _, ds in SEGMENTS for d in ds]
    n = np.zeros(3)
    ca = np.array([N_CA, 0.0, 0.0])
    angle = math.radians(180.0 - ANGLE_N_CA_C)
    c = ca + CA_C * np.array([math.cos(angle), math.sin(angle), 0.0])
    backbone = [(n, ca, c)]
    for i in range(1, len(sequence)):
        psi = dihedrals[i - 1][1]
        n = place(n, ca, c, C_N, ANGLE_CA_C_N, psi)
        ca = place(backbone[-1][1], c, n, N_CA, ANGLE_C_N_CA, 180.0)
        c = place(backbone[-1][2], n, ca, CA_C, ANGLE_N_CA_C, dihedrals[i][0])
        backbone.append((n, ca, c))
    residues = []
    for i, (letter, (n, ca, c)) in enumerate(zip(sequence, backbone)):
        atoms = {"N": n, "CA": ca, "C": c}
        atoms["O"] = place(n, ca, c, C_O, ANGLE_CA_C_O, dihedrals[i][1] + 180.0)
        if letter != "G":
            atoms["CB"] = place(c, n, ca, CA_CB, ANGLE_N_CA_CB, TORSION_C_N_CA_CB)
        if i > 0 and letter != "P":
            # The amide proton bisects the external C(i-1)-N-CA angle.
            u = (n - backbone[i - 1][2]) / np.linalg.norm(n - backbone[i - 1][2])
            w = (n - ca) / np.linalg.norm(n - ca)
            atoms["H"] = n + N_H * (u + w) / np.linalg.norm(u + w)
        residues.append((THREE[letter], atoms))
    return residues


def rotation(a1: float, a2: float, a3: float) -> np.ndarray:
    """Rows: the tensor axes x, y, z in the molecular frame (z-x-z, radians)."""
    c1, s1, c2, s2 = math.cos(a1), math.sin(a1), math.cos(a2), math.sin(a2)
    c3, s3 = math.cos(a3), math.sin(a3)
    return np.array(
        [
            [c1 * c3 - s1 * c2 * s3, s1 * c3 + c1 * c2 * s3, s2 * s3],
            [-c1 * s3 - s1 * c2 * c3, c1 * c2 * c3 - s1 * s3, s2 * c3],
            [s1 * s2, -c1 * s2, c2],
        ]
    )


def coupling(vectors: np.ndarray) -> np.ndarray:
    """Da (3 cos^2 theta - 1) + Dr sin^2 theta cos 2 phi for the true tensor."""
    m = rotation(*(math.radians(TRUTH[k]) for k in ("a1_deg", "a2_deg", "a3_deg")))
    u = vectors / np.linalg.norm(vectors, axis=1)[:, None]
    x, y, z = (u @ m.T).T
    da = TRUTH["da"]
    dr = 1.5 * da * TRUTH["r"]
    cos2 = z * z
    sin2 = 1.0 - cos2
    phi = np.arctan2(y, x)
    return da * (3.0 * cos2 - 1.0) + dr * sin2 * np.cos(2.0 * phi)


def pdb_lines(residues: list[tuple[str, dict[str, np.ndarray]]]) -> list[str]:
    lines = [
        "HEADER    KELFIT EXAMPLE: IDEAL STRAND, TURN AND HELIX",
        "REMARK   1 GENERATED BY examples/make_example.py FROM IDEAL GEOMETRY",
    ]
    serial = 0
    for number, (name, atoms) in enumerate(residues, start=1):
        for atom in ("N", "CA", "C", "O", "CB", "H"):
            if atom not in atoms:
                continue
            serial += 1
            x, y, z = atoms[atom]
            lines.append(
                f"ATOM  {serial:5d}  {atom:<3s} {name:3s} A{number:4d}    "
                f"{x:8.3f}{y:8.3f}{z:8.3f}  1.00  0.00          {atom[0]:>2s}"
            )
    last_name = residues[-1][0]
    lines.append(f"TER   {serial + 1:5d}      {last_name:3s} A{len(residues):4d}")
    lines.append("END")
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    default = Path(__file__).resolve().parents[1] / "python" / "kelfit_tools" / "data"
    parser.add_argument("--out", type=Path, default=default, help="output folder")
    out = parser.parse_args().out
    out.mkdir(parents=True, exist_ok=True)

    # Round as the PDB file does, so that the structure and the vector table
    # give the same vectors.
    residues = [
        (name, {atom: np.round(xyz, 3) for atom, xyz in atoms.items()})
        for name, atoms in build_chain()
    ]
    rows = [
        (number, name, atoms["H"] - atoms["N"])
        for number, (name, atoms) in enumerate(residues, start=1)
        if "H" in atoms and number not in MISSING
    ]
    vectors = np.array([v for _, _, v in rows])
    exact = coupling(vectors)
    rng = np.random.default_rng(SEED)
    observed = np.round(exact + rng.normal(0.0, NOISE_HZ, len(rows)), 2)

    (out / "example.pdb").write_text("\n".join(pdb_lines(residues)) + "\n")

    sequence = "".join(s for s, _ in SEGMENTS)
    table = [
        f"DATA SEQUENCE {sequence}",
        "",
        "VARS   RESID_I RESNAME_I ATOMNAME_I RESID_J RESNAME_J ATOMNAME_J D      DD    W",
        "FORMAT %5d     %6s       %6s        %5d     %6s       %6s    %9.3f   %9.3f %.2f",
        "",
    ]
    for (number, name, _), value in zip(rows, observed):
        table.append(
            f"{number:5d} {name:>6s} {'N':>6s} {number:5d} {name:>6s} {'H':>6s} "
            f"{value:9.3f} {NOISE_HZ:9.3f} 1.00"
        )
    (out / "example-couplings.tab").write_text("\n".join(table) + "\n")

    plain = [
        "# N-H bond vectors of example.pdb (Angstrom) and their couplings (Hz)",
        "x y z value label",
    ]
    for (number, name, v), value in zip(rows, observed):
        plain.append(f"{v[0]:.3f} {v[1]:.3f} {v[2]:.3f} {value:.2f} {name}{number}")
    (out / "example-vectors.txt").write_text("\n".join(plain) + "\n")

    truth = {**TRUTH, "noise_hz": NOISE_HZ, "seed": SEED, "couplings": len(rows)}
    (out / "example-truth.json").write_text(json.dumps(truth, indent=2) + "\n")
    print(f"wrote {len(rows)} couplings to {out}")


if __name__ == "__main__":
    main()
