// kelfit.tensor_rows and kelfit.linear_rows: the exact least-squares tensor
// from design rows rather than vectors. A coupling averaged over the models
// or frames of an ensemble has the mean of its vectors' rows, which is the
// row of no single vector; tensor_rows gives the rows the vector path
// builds, to the bit, so that their means over identical models are those
// rows again and linear_rows then gives kelfit.linear's bits.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "linear/linear.h"
#include "module/bridge.h"

namespace {

constexpr int vector_columns = 3;

// An argument as a C-ordered float64 array (a new reference), or NULL with
// the argument named.
PyRef doubles_of(PyObject* object, const char* name)
{
    return PyRef(reinterpret_cast<PyObject*>(
        real_array(object, name, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_NOTSWAPPED)));
}

int refuse_shape(const char* name, const char* expected, PyArrayObject* array)
{
    PyErr_Format(PyExc_ValueError, "%s must be %s, got %d dimensions", name, expected,
                 PyArray_NDIM(array));
    return -1;
}

// rows must be N x 5 (N at least 1 and at most INT32_MAX), every value finite.
int accept_rows(PyRef& rows, Py_ssize_t& count)
{
    PyArrayObject* a = rows.array();
    if (PyArray_NDIM(a) != 2) {
        return refuse_shape("rows", "2-dimensional (N x 5)", a);
    }
    count = PyArray_DIM(a, 0);
    if (PyArray_DIM(a, 1) != tensor_unknowns) {
        PyErr_Format(PyExc_ValueError,
                     "rows must have 5 columns (the tensor's Axx, Ayy, Axy, Axz, Ayz), "
                     "got %zd",
                     static_cast<Py_ssize_t>(PyArray_DIM(a, 1)));
        return -1;
    }
    if (count == 0 || count > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "rows must hold from 1 to %d rows, got %zd", INT32_MAX,
                     count);
        return -1;
    }
    const double* values = vector_data(a);
    for (Py_ssize_t i = 0; i < count * tensor_unknowns; ++i) {
        if (!std::isfinite(values[i])) {
            const Py_ssize_t row = i / tensor_unknowns;
            char subject[48];
            std::snprintf(subject, sizeof subject, "row %zd of rows", row);
            return refuse(Refusal::structured, {"rows", row, -1}, subject, "must be finite");
        }
    }
    return 0;
}

// observed, sigma or scale: one value per row, checked as kelfit.linear
// checks them.
int accept_row_values(PyObject* object, const char* name, Py_ssize_t count, PyRef& out)
{
    out.reset(reinterpret_cast<PyObject*>(
        real_array(object, name, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_NOTSWAPPED)));
    if (!out) {
        return -1;
    }
    PyArrayObject* a = out.array();
    if (PyArray_NDIM(a) != 1) {
        return refuse_shape(name, "1-dimensional", a);
    }
    if (PyArray_DIM(a, 0) != count) {
        PyErr_Format(PyExc_ValueError, "%s must hold %zd values (one per row), got %zd", name,
                     count, static_cast<Py_ssize_t>(PyArray_DIM(a, 0)));
        return -1;
    }
    const double* values = vector_data(a);
    const Refusal how = Refusal::structured;
    if (std::strcmp(name, "observed") == 0) {
        return check_finite_values(values, count, name, how);
    }
    return check_row_factors(values, count, name, std::strcmp(name, "sigma") == 0, how);
}

PyObject* rows_result(PyObject* module, const LinearSolution& s, PyRef& values)
{
    PyRef type(PyObject_GetAttrString(module, "LinearResult"));
    if (!type) {
        return nullptr;
    }
    const npy_intp six = param_count, three[2] = {3, 3};
    PyRef params(PyArray_SimpleNew(1, &six, NPY_DOUBLE));
    PyRef matrix(params ? PyArray_SimpleNew(2, three, NPY_DOUBLE) : nullptr);
    PyRef cost(matrix ? PyFloat_FromDouble(s.cost) : nullptr);
    PyRef result(cost ? PyStructSequence_New(reinterpret_cast<PyTypeObject*>(type.get()))
                      : nullptr);
    if (!result) {
        return nullptr;
    }
    std::memcpy(vector_data(params.array()), s.params, sizeof s.params);
    std::memcpy(vector_data(matrix.array()), s.order_matrix, sizeof s.order_matrix);
    PyStructSequence_SetItem(result.get(), 0, params.release());
    PyStructSequence_SetItem(result.get(), 1, matrix.release());
    PyStructSequence_SetItem(result.get(), 2, values.release());
    PyStructSequence_SetItem(result.get(), 3, cost.release());
    return result.release();
}

}  // namespace

PyObject* kelfit_tensor_rows(PyObject* /*self*/, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"vectors", nullptr};
    PyObject* object;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:tensor_rows",
                                     const_cast<char**>(keywords), &object)) {
        return nullptr;
    }
    try {
        PyRef vectors = doubles_of(object, "vectors");
        if (!vectors) {
            return nullptr;
        }
        PyArrayObject* a = vectors.array();
        if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 1) != vector_columns) {
            PyErr_SetString(PyExc_ValueError, "vectors must be an N x 3 array");
            return nullptr;
        }
        const Py_ssize_t count = PyArray_DIM(a, 0);
        if (count > INT32_MAX) {
            PyErr_Format(PyExc_ValueError, "vectors may hold at most %d rows, got %zd",
                         INT32_MAX, count);
            return nullptr;
        }
        // The vectors the fits refuse are refused here too.
        const double* data = vector_data(a);
        std::vector<const double*> rows(static_cast<size_t>(count));
        for (size_t i = 0; i < rows.size(); ++i) {
            rows[i] = data + vector_columns * i;
        }
        std::vector<float> narrowed(vector_columns * rows.size());
        if (narrow_fit_rows(rows.data(), count, narrowed.data(), Refusal::structured) != 0) {
            return nullptr;
        }
        const npy_intp shape[2] = {count, tensor_unknowns};
        PyRef out(PyArray_SimpleNew(2, shape, NPY_DOUBLE));
        if (!out) {
            return nullptr;
        }
        linear_terms(data, static_cast<int>(count), vector_data(out.array()));
        return out.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* kelfit_linear_rows(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"rows", "observed", "sigma", "scale", "offset", nullptr};
    PyObject *rows_object, *observed_object, *sigma_object = Py_None, *scale_object = Py_None;
    int offset = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOp:linear_rows",
                                     const_cast<char**>(keywords), &rows_object,
                                     &observed_object, &sigma_object, &scale_object,
                                     &offset)) {
        return nullptr;
    }
    try {
        PyRef rows = doubles_of(rows_object, "rows");
        Py_ssize_t count = 0;
        if (!rows || accept_rows(rows, count) != 0) {
            return nullptr;
        }
        PyRef observed, sigma, scale;
        if (accept_row_values(observed_object, "observed", count, observed) != 0 ||
            (sigma_object != Py_None &&
             accept_row_values(sigma_object, "sigma", count, sigma) != 0) ||
            (scale_object != Py_None &&
             accept_row_values(scale_object, "scale", count, scale) != 0)) {
            return nullptr;
        }
        const double* sigma_data = sigma ? vector_data(sigma.array()) : nullptr;
        if (check_weighted_observed(vector_data(observed.array()), sigma_data, count) != 0) {
            return nullptr;
        }
        const LinearProblem problem = {nullptr,
                                       vector_data(observed.array()),
                                       sigma_data,
                                       scale ? vector_data(scale.array()) : nullptr,
                                       static_cast<int>(count),
                                       offset != 0};
        const npy_intp n = count;
        PyRef values(PyArray_SimpleNew(1, &n, NPY_DOUBLE));
        if (!values) {
            return nullptr;
        }
        std::unique_ptr<double[]> work(new double[linear_work_size(problem.count)]);
        // Held under the lock: Ctrl-C is asked directly, between the passes
        // of a long problem.
        SignalPoll poll = signal_poll_start();
        const InterruptCheck locked = signal_check_locked(poll);
        const LinearSolution s =
            solve_linear_terms(problem, vector_data(rows.array()), work.get(),
                               vector_data(values.array()),
                               {locked.stop, locked.context, signal_poll_interval});
        if (s.status == LinearStatus::stopped) {
            return nullptr;  // the signal handler's exception is set
        }
        if (s.status != LinearStatus::solved) {
            refuse_unsolved(s, count);
            return nullptr;
        }
        return rows_result(self, s, values);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
