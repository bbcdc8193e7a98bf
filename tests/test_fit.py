"""The fit entries c_kel_fit and c_kf_fdc."""

from __future__ import annotations

import json
import os
import platform
import subprocess
import sys
from pathlib import Path

import kelfit
import numpy as np
import pytest
from conftest import f32, heap_in_use_kib, run_python

TRUE = np.array([0.4, 1.2, -0.7, 12.0, 0.35, 0.0])


def lcg(seed: int, count: int) -> np.ndarray:
    """Uniform values in [0, 1) that are the same on every platform."""
    out = np.empty(count)
    state = seed
    for i in range(count):
        state = (6364136223846793005 * state + 1442695040888963407) % 2**64
        out[i] = (state >> 11) / 2.0**53
    return out


def synthetic(count: int, seed: int, noise: float = 0.0, offset: float = 0.0):
    """Vectors, and values back-calculated from TRUE plus uniform noise."""
    vectors = (lcg(seed, 3 * count) * 2.0 - 1.0).reshape(count, 3)
    values = np.array(kelfit.c_solve(0, vectors, TRUE))
    values += offset + noise * (lcg(seed + 1, count) - 0.5)
    return vectors, values


def back_calculated(vectors: np.ndarray, params: np.ndarray) -> np.ndarray:
    return np.array(kelfit.c_solve(0, vectors, params)) + params[5]


def start_near(true: np.ndarray) -> np.ndarray:
    return true + np.array([0.05, -0.04, 0.06, 0.8, -0.05, 0.0])


class TestRecovery:
    def test_without_offset(self) -> None:
        vectors, observed = synthetic(120, seed=11)
        params = start_near(TRUE)
        assert kelfit.c_kf_fdc(5, vectors, observed, params) == 1.0
        fitted = back_calculated(vectors, params)
        assert np.max(np.abs(fitted - observed)) < 0.05

    def test_with_offset(self) -> None:
        vectors, observed = synthetic(120, seed=12, offset=2.5)
        params = start_near(TRUE)
        assert kelfit.c_kel_fit(6, vectors, observed, params) == 1.0
        assert params[5] == pytest.approx(2.5, abs=0.05)
        assert np.max(np.abs(back_calculated(vectors, params) - observed)) < 0.1


class TestParameterHandling:
    def test_unvaried_offset_comes_back_rounded_to_single(self) -> None:
        vectors, observed = synthetic(40, seed=13)
        params = start_near(TRUE)
        params[5] = 0.1
        kelfit.c_kf_fdc(5, vectors, observed, params)
        assert params[5] == 0.10000000149011612

    def test_offset_moves_freely_when_it_is_not_in_the_cost(self) -> None:
        vectors, observed = synthetic(40, seed=14)
        fixed = start_near(TRUE)
        free = fixed.copy()
        kelfit.c_kf_fdc(5, vectors, observed, fixed)
        kelfit.c_kf_fdc(6, vectors, observed, free)
        assert free[5] != 0.0

        def cost(params: np.ndarray) -> float:
            calc = np.array(kelfit.c_solve(0, vectors, params))
            return float(np.mean((observed - calc) ** 2))

        moved = free.copy()
        moved[5] = 0.0
        assert cost(moved) == cost(free)

    def test_rhombicity_is_written_back_from_the_fitted_dr(self) -> None:
        vectors, observed = synthetic(40, seed=15, noise=0.5)
        params = start_near(TRUE)
        kelfit.c_kf_fdc(5, vectors, observed, params)
        da = params[3]
        assert f32(da) == da
        dr = f32(params[4] * da * 3 * 0.5)
        assert dr * (2.0 / 3.0) / da == params[4]


# Whole fits pinned to the bit. If one of these moves, a precision rule (or
# a compiler flag that changes floating-point results) was broken.
GOLDEN = [
    # (entry, n, count, seed, noise, offset, fitted params as hex floats)
    (
        "c_kf_fdc",
        5,
        30,
        101,
        1.0,
        0.0,
        [
            "0x1.9816d80000000p-2",
            "0x1.3309520000000p+0",
            "-0x1.634c900000000p-1",
            "0x1.800bbc0000000p+3",
            "0x1.71759787330d7p-2",
            "0x0.0p+0",
        ],
    ),
    (
        "c_kel_fit",
        6,
        120,
        202,
        2.0,
        1.5,
        [
            "0x1.9665de0000000p-2",
            "0x1.3146540000000p+0",
            "-0x1.5f66360000000p-1",
            "0x1.81ea7e0000000p+3",
            "0x1.59686d68ca621p-2",
            "0x1.6ddf200000000p+0",
        ],
    ),
    (
        "c_kf_fdc",
        6,
        300,
        303,
        0.5,
        0.0,
        [
            "0x1.9923ee0000000p-2",
            "0x1.33543e0000000p+0",
            "-0x1.65bb9c0000000p-1",
            "0x1.801e5c0000000p+3",
            "0x1.63e73200b3f72p-2",
            "0x1.f689040000000p+2",
        ],
    ),
]


def golden_fit(case) -> list[str]:
    """The fitted parameters of one golden case, as hex floats."""
    entry, n, count, seed, noise, offset, _ = case
    vectors, observed = synthetic(count, seed, noise=noise, offset=offset)
    params = start_near(TRUE)
    getattr(kelfit, entry)(n, vectors, observed, params)
    return [v.hex() for v in params.tolist()]


@pytest.mark.parametrize(
    "case", GOLDEN, ids=[f"{g[0]}-n{g[1]}-N{g[2]}" for g in GOLDEN]
)
def test_golden_fits(case) -> None:
    assert golden_fit(case) == case[-1]


# glibc's x86-64 libm picks FMA variants of sin, cos, acos and atan2 at run
# time; these tunables switch them off (glibc 2.33 and newer spell the
# features AVX2 and FMA, older ones AVX2_Usable and FMA_Usable).
NO_FMA = "glibc.cpu.hwcaps=-AVX2_Usable,-FMA_Usable,-AVX2,-FMA"
KERNELS = ("exact", "scalar", "pairs", "avx2")
TESTS = Path(__file__).resolve().parent

LIBM_DIGEST = (
    "import hashlib, math, struct\n"
    "h = hashlib.sha256()\n"
    "for i in range(1, 20001):\n"
    "    x = (i * 0.61803398874989) % 2.0 - 1.0\n"
    "    for v in (math.sin(3 * x), math.cos(3 * x), math.acos(x), math.atan2(x, 0.3)):\n"
    "        h.update(struct.pack('d', v))\n"
    "print(h.hexdigest())\n"
)


def cpu_flags() -> set[str]:
    """The processor's feature flags as Linux lists them (empty elsewhere)."""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def in_child(code: str, kernel: str | None, tunables: str | None) -> str:
    """stdout of code run in a fresh interpreter with this kernel and libm."""
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in ("KELFIT_KERNEL", "GLIBC_TUNABLES")
    }
    if kernel is not None:
        env["KELFIT_KERNEL"] = kernel
    if tunables is not None:
        env["GLIBC_TUNABLES"] = tunables
    run = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=env,
        cwd=TESTS,
        check=True,
    )
    return run.stdout


def goldens_in_child(kernel: str | None, tunables: str | None) -> tuple[str, list]:
    code = (
        "import json, sys\n"
        f"sys.path.insert(0, {str(TESTS)!r})\n"
        "import kelfit\n"
        "from test_fit import GOLDEN, golden_fit\n"
        "print(json.dumps([kelfit.value_kernel, [golden_fit(c) for c in GOLDEN]]))\n"
    )
    active, fitted = json.loads(in_child(code, kernel, tunables))
    return active, fitted


@pytest.mark.parametrize("tunables", [None, NO_FMA], ids=["libm", "libm-without-fma"])
def test_golden_fits_under_every_kernel(tunables: str | None) -> None:
    # Each kernel forced in turn, so that one this processor would not pick
    # is proven here too; the default one first.
    expected = [case[-1] for case in GOLDEN]
    default, fitted = goldens_in_child(None, tunables)
    assert fitted == expected
    for kernel in KERNELS:
        active, fitted = goldens_in_child(kernel, tunables)
        assert fitted == expected, kernel
        # Only an exact-only build, or AVX2 on a processor without it, may
        # decline the request.
        unavailable = default == "exact" or (
            kernel == "avx2" and "avx2" not in cpu_flags()
        )
        assert active == (default if unavailable else kernel)


def test_no_fma_setting_reaches_the_c_library() -> None:
    # Else the run without the FMA variants above would prove nothing.
    if not {"fma", "avx2"} <= cpu_flags() or platform.machine() != "x86_64":
        pytest.skip("the C library has no FMA variants to switch off here")
    assert in_child(LIBM_DIGEST, None, NO_FMA) != in_child(LIBM_DIGEST, None, None)


# --- Input checks: each leaves params exactly as it was -------------------


def good_arguments():
    vectors, observed = synthetic(10, seed=21)
    return vectors, observed, start_near(TRUE)


def expect_rejected(entry, n, vectors, observed, params, message) -> None:
    before = params.copy()
    with pytest.raises(ValueError) as caught:
        entry(n, vectors, observed, params)
    assert str(caught.value) == message
    np.testing.assert_array_equal(params, before)


class TestRejectedInput:
    def test_wrong_n(self) -> None:
        vectors, observed, params = good_arguments()
        for n in (5, 7, 0, -1):
            expect_rejected(
                kelfit.c_kel_fit,
                n,
                vectors,
                observed,
                params,
                f"n must be 6 for c_kel_fit, got {n}",
            )
        for n in (2, 7, 0):
            expect_rejected(
                kelfit.c_kf_fdc,
                n,
                vectors,
                observed,
                params,
                f"n must be 3, 4, 5 or 6 for c_kf_fdc, got {n}",
            )

    def test_vector_array(self) -> None:
        _, observed, params = good_arguments()
        expect_rejected(
            kelfit.c_kf_fdc,
            5,
            np.ones((10, 3), dtype=np.int64),
            observed,
            params,
            "In not_doublematrix: array must be of type Float and 2 dimensional (n x m).",
        )
        expect_rejected(
            kelfit.c_kf_fdc,
            5,
            np.ones((10, 2)),
            observed,
            params,
            "vectors must have at least 3 columns (x, y, z), got 2",
        )
        expect_rejected(
            kelfit.c_kf_fdc,
            5,
            np.ones((0, 3)),
            observed,
            params,
            "vectors must hold at least one vector",
        )

    def test_observed_array(self) -> None:
        vectors, observed, params = good_arguments()
        expect_rejected(
            kelfit.c_kel_fit,
            6,
            vectors,
            observed[:9],
            params,
            "observed must be a float64 array with at least 10 values, "
            "got 9 values of numpy.float64",
        )
        expect_rejected(
            kelfit.c_kel_fit,
            6,
            vectors,
            observed.astype(np.float32),
            params,
            "observed must be a float64 array with at least 10 values, "
            "got 10 values of numpy.float32",
        )

    def test_params_array(self) -> None:
        vectors, observed, params = good_arguments()
        message = (
            "params must be a C-contiguous, writeable float64 array with at least "
            "6 values, got {} values of {}"
        )
        expect_rejected(
            kelfit.c_kf_fdc,
            5,
            vectors,
            observed,
            params[:5],
            message.format(5, "numpy.float64"),
        )
        expect_rejected(
            kelfit.c_kf_fdc,
            5,
            vectors,
            observed,
            np.repeat(params, 2)[::2],
            message.format(6, "numpy.float64"),
        )
        readonly = params.copy()
        readonly.flags.writeable = False
        expect_rejected(
            kelfit.c_kf_fdc,
            5,
            vectors,
            observed,
            readonly,
            message.format(6, "numpy.float64"),
        )
        expect_rejected(
            kelfit.c_kf_fdc,
            5,
            vectors,
            observed,
            params.astype(np.float32),
            message.format(6, "numpy.float32"),
        )

    def test_values_a_fit_cannot_use(self) -> None:
        vectors, observed, params = good_arguments()
        for row, value, problem in [
            (3, np.nan, "must be finite in single precision"),
            (4, np.inf, "must be finite in single precision"),
            (5, 1e39, "must be finite in single precision"),
        ]:
            bad = vectors.copy()
            bad[row, 1] = value
            expect_rejected(
                kelfit.c_kf_fdc,
                5,
                bad,
                observed,
                params,
                f"vectors row {row} {problem}",
            )
        bad = vectors.copy()
        bad[2] = [1e-50, 0.0, -1e-46]
        expect_rejected(
            kelfit.c_kf_fdc,
            5,
            bad,
            observed,
            params,
            "vectors row 2 has zero length in single precision",
        )
        bad_observed = observed.copy()
        bad_observed[7] = np.nan
        expect_rejected(
            kelfit.c_kf_fdc,
            5,
            vectors,
            bad_observed,
            params,
            "observed[7] must be finite",
        )
        for index in range(5):
            bad_params = params.copy()
            bad_params[index] = np.inf
            expect_rejected(
                kelfit.c_kf_fdc,
                5,
                vectors,
                observed,
                bad_params,
                f"params[{index}] must be finite in single precision",
            )
        bad_params = params.copy()
        bad_params[5] = np.nan
        expect_rejected(
            kelfit.c_kel_fit,
            6,
            vectors,
            observed,
            bad_params,
            "params[5] must be finite in single precision",
        )
        # Without the offset in the cost, a NaN offset is simply carried along.
        kelfit.c_kf_fdc(5, vectors, observed, bad_params)

    def test_arguments_that_are_not_arrays(self) -> None:
        vectors, observed, params = good_arguments()
        for args in [
            (6, vectors.tolist(), observed, params),
            (6, vectors, observed.tolist(), params),
            (6, vectors, observed, params.tolist()),
            (6, vectors, observed),
        ]:
            with pytest.raises(TypeError):
                kelfit.c_kel_fit(*args)


def test_non_contiguous_inputs_give_the_same_fit() -> None:
    vectors, observed = synthetic(60, seed=31, noise=0.3)
    plain = start_near(TRUE)
    kelfit.c_kf_fdc(5, vectors, observed, plain)
    strided = start_near(TRUE)
    kelfit.c_kf_fdc(5, np.asfortranarray(vectors), np.repeat(observed, 2)[::2], strided)
    assert strided.tolist() == plain.tolist()


def test_fits_print_nothing() -> None:
    code = (
        "import numpy as np, kelfit\n"
        "rng = np.random.default_rng(0)\n"
        "v = rng.normal(size=(50, 3))\n"
        "p = np.array([0.4, 1.2, -0.7, 12.0, 0.35, 0.0])\n"
        "o = np.array(kelfit.c_solve(0, v, p))\n"
        "q = p + 0.05\n"
        "kelfit.c_kel_fit(6, v, o, q)\n"
        "kelfit.c_kf_fdc(5, v, o, q)\n"
    )
    run = run_python(code)
    assert run.stdout == "" and run.stderr == ""


def test_repeated_fits_keep_memory_flat() -> None:
    vectors, observed = synthetic(32, seed=41, noise=0.2)
    start = start_near(TRUE)
    for _ in range(200):
        kelfit.c_kel_fit(6, vectors, observed, start.copy())
    before = heap_in_use_kib()
    for _ in range(10000):
        kelfit.c_kel_fit(6, vectors, observed, start.copy())
    assert heap_in_use_kib() - before < 64
