"""Make examples/synthetic.csv: bond vectors and couplings from a known tensor.

The vectors are random directions; the values are the model's values for
TRUE_PARAMS plus Gaussian noise of NOISE_HZ. Run it again to remake the
file; the seed fixes the result.
"""

from __future__ import annotations

from pathlib import Path

import kelfit
import numpy as np

TRUE_PARAMS = np.array([0.6, 1.1, -0.9, -8.5, 0.25, 0.0])  # a1, a2, a3, Da, R, offset
COUNT = 80
NOISE_HZ = 0.4
SEED = 20261207
OUT = Path(__file__).with_name("synthetic.csv")


def main() -> None:
    rng = np.random.default_rng(SEED)
    vectors = rng.normal(size=(COUNT, 3))
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    values = np.array(kelfit.c_solve(0, vectors, TRUE_PARAMS))
    values += rng.normal(scale=NOISE_HZ, size=COUNT)
    header = (
        "synthetic couplings; true a1,a2,a3,Da,R = "
        + ",".join(f"{v:g}" for v in TRUE_PARAMS[:5])
        + f"; noise {NOISE_HZ} Hz\nx,y,z,value"
    )
    table = np.column_stack([vectors, values])
    np.savetxt(OUT, table, delimiter=",", header=header, fmt="%.6f")


if __name__ == "__main__":
    main()
