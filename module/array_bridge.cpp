// The array bridge: checks NumPy arrays and turns them into plain pointers.
#include <cstdint>
#include <cstdlib>

#include "module/bridge.h"

namespace {

constexpr int model_columns = 3;  // x, y, z

const char* const doublematrix_message =
    "In not_doublematrix: array must be of type Float and 2 dimensional (n x m).";
const char* const doublevector_message =
    "In not_doublevector: array must be of type Float and 1 dimensional (n).";
const char* const ptrvector_message =
    "In **ptrvector. Allocation of memory for double array failed.";

// Flags of NumPy's conversion from an arbitrary object: contiguous, aligned,
// writeable, and always a real ndarray.
constexpr int contig_requirements =
    NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE | NPY_ARRAY_ENSUREARRAY;

int not_double_with_dims(PyArrayObject* array, int dims, const char* message)
{
    if (PyArray_TYPE(array) != NPY_DOUBLE || PyArray_NDIM(array) != dims) {
        PyErr_SetString(PyExc_ValueError, message);
        return 1;
    }
    return 0;
}

// Rows can be addressed in place when each row's values are adjacent,
// aligned doubles in this machine's byte order; the row stride is free.
bool rows_readable_in_place(PyArrayObject* array)
{
    return PyArray_STRIDE(array, 1) == static_cast<npy_intp>(sizeof(double)) &&
           PyArray_ISALIGNED(array) && PyArray_ISNOTSWAPPED(array);
}

PyArrayObject* contiguous_copy(PyArrayObject* array)
{
    PyObject* copy = PyArray_FromAny(reinterpret_cast<PyObject*>(array),
                                     PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                     NPY_ARRAY_IN_ARRAY, nullptr);
    return reinterpret_cast<PyArrayObject*>(copy);
}

}  // namespace

int not_doublematrix(PyArrayObject* array)
{
    return not_double_with_dims(array, 2, doublematrix_message);
}

int not_doublevector(PyArrayObject* array)
{
    return not_double_with_dims(array, 1, doublevector_message);
}

double* vector_data(PyArrayObject* array)
{
    return static_cast<double*>(PyArray_DATA(array));
}

double** ptrvector(Py_ssize_t n)
{
    // Ask for at least one entry: an empty row set must still be a valid,
    // releasable block.
    const size_t count = n > 0 ? static_cast<size_t>(n) : 1;
    if (count > SIZE_MAX / sizeof(double*)) {
        PyErr_SetString(PyExc_MemoryError, ptrvector_message);
        return nullptr;
    }
    auto* rows = static_cast<double**>(std::malloc(count * sizeof(double*)));
    if (rows == nullptr) {
        PyErr_SetString(PyExc_MemoryError, ptrvector_message);
    }
    return rows;
}

double** matrix_rows(PyArrayObject* array)
{
    const npy_intp n = PyArray_DIM(array, 0);
    double** rows = ptrvector(n);
    if (rows == nullptr) {
        return nullptr;
    }
    char* data = static_cast<char*>(PyArray_DATA(array));
    const npy_intp row_stride = PyArray_STRIDE(array, 0);
    for (npy_intp i = 0; i < n; ++i) {
        rows[i] = reinterpret_cast<double*>(data + i * row_stride);
    }
    return rows;
}

void rows_release(double** rows)
{
    std::free(rows);
}

PyArrayObject* as_contig_vector(PyObject* object)
{
    return reinterpret_cast<PyArrayObject*>(PyArray_FromAny(
        object, PyArray_DescrFromType(NPY_DOUBLE), 1, 1, contig_requirements, nullptr));
}

PyArrayObject* as_contig_matrix(PyObject* object)
{
    return reinterpret_cast<PyArrayObject*>(PyArray_FromAny(
        object, PyArray_DescrFromType(NPY_DOUBLE), 2, 2, contig_requirements, nullptr));
}

// NumPy reports an object that is not an array of real numbers as a
// TypeError (no number: None inside, a complex, an arbitrary object), a
// ValueError (a string that is no number, ragged rows, too many
// dimensions) or an OverflowError (an integer beyond float64). Those, and
// only those, are the argument's fault. Everything else propagates as it
// was raised: KeyboardInterrupt and SystemExit (a BaseException that is no
// Exception: Ctrl-C while a Dask array computes its values must stop the
// program, not be called a wrong type), MemoryError (a copy that could not
// be made), and whatever the object's own __array__, buffer or item code
// raised (a RuntimeError of a failed computation, an OSError of a file).
// A TypeError or ValueError from that code cannot be told apart from
// NumPy's and is reported as the argument's.
bool conversion_refused()
{
    return PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
           PyErr_ExceptionMatches(PyExc_OverflowError);
}

PyArrayObject* real_array(PyObject* object, const char* name, int requirements)
{
    PyObject* array =
        PyArray_FromAny(object, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, requirements, nullptr);
    if (array == nullptr && conversion_refused()) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be an array of real numbers, got %s", name,
                     Py_TYPE(object)->tp_name);
    }
    return reinterpret_cast<PyArrayObject*>(array);
}

int vector_rows_check(PyArrayObject* vectors)
{
    if (not_doublematrix(vectors)) {
        return -1;
    }
    if (PyArray_DIM(vectors, 1) < model_columns) {
        PyErr_Format(PyExc_ValueError,
                     "vectors must have at least 3 columns (x, y, z), got %zd",
                     static_cast<Py_ssize_t>(PyArray_DIM(vectors, 1)));
        return -1;
    }
    // The model counts vectors in a 32-bit int.
    if (PyArray_DIM(vectors, 0) > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "vectors may hold at most %d rows, got %zd",
                     INT32_MAX, static_cast<Py_ssize_t>(PyArray_DIM(vectors, 0)));
        return -1;
    }
    return 0;
}

int vector_rows_acquire(PyArrayObject* vectors, VectorRows* out)
{
    PyArrayObject* held;
    if (rows_readable_in_place(vectors)) {
        Py_INCREF(vectors);
        held = vectors;
    } else {
        // A transpose, a column slice or foreign byte order: read a copy
        // rather than misread the caller's memory.
        held = contiguous_copy(vectors);
        if (held == nullptr) {
            return -1;
        }
    }
    double** rows = matrix_rows(held);
    if (rows == nullptr) {
        Py_DECREF(held);
        return -1;
    }
    out->held = held;
    out->rows = rows;
    out->count = PyArray_DIM(held, 0);
    return 0;
}

void vector_rows_release(VectorRows* rows)
{
    rows_release(rows->rows);
    rows->rows = nullptr;
    Py_CLEAR(rows->held);
}

PyArrayObject* readable_doubles(PyArrayObject* array, const char* name,
                                Py_ssize_t minimum)
{
    if (PyArray_TYPE(array) != NPY_DOUBLE || PyArray_SIZE(array) < minimum) {
        PyErr_Format(PyExc_ValueError,
                     "%s must be a float64 array with at least %zd values, got %zd values of %s",
                     name, minimum, static_cast<Py_ssize_t>(PyArray_SIZE(array)),
                     PyArray_DESCR(array)->typeobj->tp_name);
        return nullptr;
    }
    if (PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array) &&
        PyArray_ISNOTSWAPPED(array)) {
        Py_INCREF(array);
        return array;
    }
    return contiguous_copy(array);
}
