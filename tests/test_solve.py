"""c_solve and the array checks at the module's boundary."""

from __future__ import annotations

import math

import kelfit
import numpy as np
import pytest
from conftest import f32, heap_in_use_kib, reference_value, run_python
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

MATRIX_MESSAGE = (
    "In not_doublematrix: array must be of type Float and 2 dimensional (n x m)."
)
AXES = np.array([[0.0, 0.0, 1.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]])


def solve(vectors: np.ndarray, params: np.ndarray) -> tuple[float, ...]:
    return kelfit.c_solve(0, vectors, params)


def params_of(*values: float) -> np.ndarray:
    return np.array(values, dtype=np.float64)


def test_method_table_order() -> None:
    names = [name for name in vars(kelfit) if name.startswith("c_")]
    assert names == ["c_kel_fit", "c_kf_fdc", "c_solve"]


def test_principal_axes_with_da_and_dr_in_double() -> None:
    # Da = 2, R = 0.5, so Dr = 1.5.
    assert solve(AXES, params_of(0, 0, 0, 2.0, 0.5, 0)) == (4.0, -0.5, -3.5)


def test_matches_the_reference_rendering_bit_for_bit() -> None:
    rng = np.random.default_rng(7)
    vectors = rng.normal(size=(300, 3)) * rng.uniform(0.01, 100, size=(300, 1))
    for _ in range(5):
        params = np.concatenate(
            [
                rng.uniform(-4, 4, 3),
                rng.uniform(-30, 30, 1),
                rng.uniform(0, 0.66, 1),
                [9.0],
            ]
        )
        dr = params[4] * params[3] * 3 * 0.5
        expected = [reference_value(params, row, params[3], dr) for row in vectors]
        assert solve(vectors, params) == tuple(expected)


def test_items_are_single_precision_values() -> None:
    rng = np.random.default_rng(3)
    values = solve(rng.normal(size=(100, 3)), params_of(0.1, 0.2, 0.3, 12.3, 0.3, 0))
    assert all(f32(v) == v for v in values)


def test_unused_inputs_change_nothing() -> None:
    rng = np.random.default_rng(4)
    vectors = rng.normal(size=(50, 3))
    base = kelfit.c_solve(0, vectors, params_of(0.5, 1, 1.5, 8, 0.2, 0.0))
    assert kelfit.c_solve(99, vectors, params_of(0.5, 1, 1.5, 8, 0.2, 5.0)) == base
    # Only the first five values are read.
    assert kelfit.c_solve(0, vectors, params_of(0.5, 1, 1.5, 8, 0.2)) == base
    # Columns past the third are ignored.
    wide = np.hstack([vectors, rng.normal(size=(50, 2))])
    assert kelfit.c_solve(0, wide, params_of(0.5, 1, 1.5, 8, 0.2, 0)) == base


def test_degenerate_rows() -> None:
    assert solve(np.zeros((0, 3)), params_of(0, 0, 0, 1, 0, 0)) == ()
    vectors = AXES.copy()
    vectors[1] = 0.0
    values = solve(vectors, params_of(0, 0, 0, 2.0, 0.5, 0))
    assert values[0] == 4.0 and math.isnan(values[1]) and values[2] == -3.5


@pytest.mark.parametrize(
    "layout",
    [
        lambda a: np.ascontiguousarray(a.T).T,  # Fortran order
        lambda a: np.hstack([a, a])[:, ::2][:, :3],  # strided columns
        lambda a: np.vstack([a, a])[::2],  # strided rows
        lambda a: a.astype(">f8"),  # foreign byte order
        lambda a: np.broadcast_to(a[0], a.shape),  # zero row stride
    ],
)
def test_any_float64_layout_reads_the_same_values(layout) -> None:
    rng = np.random.default_rng(5)
    vectors = rng.normal(size=(40, 3))
    params = params_of(0.3, -0.7, 2.0, 5.0, 0.4, 0)
    other = layout(vectors)
    expected = solve(np.ascontiguousarray(other, dtype=np.float64), params)
    assert solve(other, params) == expected
    strided_params = np.repeat(params, 2)[::2]
    assert solve(other, strided_params) == expected


@pytest.mark.parametrize(
    "vectors",
    [
        np.ones((4, 3), dtype=np.int64),
        np.ones((4, 3), dtype=np.float32),
        np.ones((4, 3, 1)),
        np.ones(3),
    ],
    ids=["int64", "float32", "3-d", "1-d"],
)
def test_vectors_must_be_a_float64_matrix(vectors: np.ndarray) -> None:
    with pytest.raises(ValueError) as caught:
        solve(vectors, params_of(0, 0, 0, 1, 0, 0))
    assert str(caught.value) == MATRIX_MESSAGE


def test_vectors_need_three_columns() -> None:
    with pytest.raises(ValueError, match=r"^vectors must have at least 3 columns"):
        solve(np.ones((4, 2)), params_of(0, 0, 0, 1, 0, 0))


@pytest.mark.parametrize(
    "params",
    [np.zeros(4), np.zeros(6, dtype=np.float32), np.zeros(6, dtype=np.int64)],
    ids=["short", "float32", "int64"],
)
def test_params_must_be_five_float64_values(params: np.ndarray) -> None:
    with pytest.raises(
        ValueError, match=r"^params must be a float64 array with at least 5 values"
    ):
        solve(AXES, params)


def test_arguments_that_are_not_arrays_fail_in_parsing() -> None:
    with pytest.raises(TypeError):
        kelfit.c_solve(0, AXES.tolist(), params_of(0, 0, 0, 1, 0, 0))
    with pytest.raises(TypeError):
        kelfit.c_solve(0, AXES, [0, 0, 0, 1, 0, 0])
    with pytest.raises(TypeError):
        kelfit.c_solve(0, AXES)
    with pytest.raises(TypeError):
        kelfit.c_solve(0.5, AXES, params_of(0, 0, 0, 1, 0, 0))


def test_row_pointers_that_cannot_be_had_raise_memory_error() -> None:
    # Zero row stride: the rows are read in place, so the 16 GiB of row
    # pointers are the only request, and the address-space limit refuses it.
    code = (
        "import resource, numpy as np, kelfit\n"
        "resource.setrlimit(resource.RLIMIT_AS, (2**33, resource.RLIM_INFINITY))\n"
        "huge = np.broadcast_to(np.ones(3), (2**31 - 1, 3))\n"
        "try:\n"
        "    kelfit.c_solve(0, huge, np.zeros(6))\n"
        "except MemoryError as error:\n"
        "    print(error)\n"
    )
    run = run_python(code)
    expected = "In **ptrvector. Allocation of memory for double array failed."
    assert run.stdout.strip() == expected


def test_repeated_calls_keep_memory_flat() -> None:
    rng = np.random.default_rng(6)
    vectors = rng.normal(size=(1000, 3))
    params = params_of(0.1, 0.2, 0.3, 4, 0.5, 0)
    for _ in range(200):
        solve(vectors, params)
    before = heap_in_use_kib()
    for _ in range(3000):
        solve(vectors, params)
        solve(vectors.T.copy().T, params)
    grown_kib = heap_in_use_kib() - before
    assert grown_kib < 64


def test_import_without_numpy_fails_with_the_fixed_message() -> None:
    code = (
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "try:\n"
        "    import kelfit\n"
        "except ImportError as error:\n"
        "    print('caught:', error)\n"
    )
    run = run_python(code)
    assert run.stdout.strip() == "caught: numpy.core.multiarray failed to import"
    assert "numpy" in run.stderr  # the underlying error is printed first


@settings(max_examples=150, deadline=None)
@given(
    array=hnp.arrays(
        dtype=st.sampled_from([np.float64, np.float32, np.int64, np.bool_, ">f8"]),
        shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=6),
    ),
    params=hnp.arrays(
        dtype=st.sampled_from([np.float64, np.int32]),
        shape=hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=7),
    ),
)
def test_arbitrary_arrays_never_crash(array: np.ndarray, params: np.ndarray) -> None:
    try:
        result = kelfit.c_solve(0, array, params)
    except ValueError:
        return
    assert isinstance(result, tuple) and len(result) == array.shape[0]


def test_subnormal_results_survive() -> None:
    # Flush-to-zero or denormals-are-zero in the process (set by some
    # library loaded beside us) would change results; this would catch it.
    tiny = kelfit.c_solve(0, AXES, params_of(0, 0, 0, 1e-40, 0, 0))[0]
    assert tiny == f32(2e-40) and tiny != 0.0
