"""Fit the bundled synthetic example and compare with the tensor that made it."""

from __future__ import annotations

from pathlib import Path

import kelfit
import numpy as np

HERE = Path(__file__).parent
TRUE_PARAMS = np.array([0.6, 1.1, -0.9, -8.5, 0.25, 0.0])
START = np.array([0.5, 1.0, -0.8, -7.0, 0.3, 0.0])


def main() -> None:
    table = np.loadtxt(HERE / "synthetic.csv", delimiter=",")
    vectors, observed = table[:, :3].copy(), table[:, 3].copy()
    params = START.copy()
    kelfit.c_kf_fdc(5, vectors, observed, params)
    calc = np.array(kelfit.c_solve(0, vectors, params))
    rms = float(np.sqrt(np.mean((observed - calc) ** 2)))
    q = rms / float(np.sqrt(np.mean(observed**2)))
    names = ["a1 (rad)", "a2 (rad)", "a3 (rad)", "Da (Hz)", "R"]
    print(f"{len(observed)} couplings from examples/synthetic.csv\n")
    print(f"{'':10}{'true':>10}{'start':>10}{'fitted':>10}")
    for name, t, s, f in zip(names, TRUE_PARAMS, START, params):
        print(f"{name:10}{t:10.4f}{s:10.4f}{f:10.4f}")
    print(f"\nRMSD {rms:.3f} Hz, Q {q:.3f}")


if __name__ == "__main__":
    main()
