// c_kel_fit and c_kf_fdc: fit the orientation model to observed values and
// write the fitted parameters back into the caller's array.
#include <cmath>

#include "fit/fit.h"
#include "module/bridge.h"

namespace {

// The caller's arrays once every check has passed; what the fit reads and
// writes, with the references that keep it alive.
struct FitArguments {
    int n;                    // parameters varied, p[1..n]
    VectorRows vectors;       // row pointers over the vectors
    float* narrowed;          // the vectors' components narrowed to float, side by side
    PyArrayObject* observed;  // new reference: N float64 values in C order
    PyArrayObject* params;    // borrowed: the caller's own array, written in place
};

bool finite_in_float(double value)
{
    return std::isfinite(static_cast<double>(sfloat(value)));
}

// Non-finite input makes every cost NaN; the fit would then drift and
// write garbage back while reporting success. Refuse it up front. On the
// way, keep the narrowed components side by side (x run, y run, z run):
// every cost evaluation starts from them.
int check_finite_vectors(const VectorRows& vectors, float* narrowed)
{
    const size_t run = static_cast<size_t>(vectors.count);
    for (Py_ssize_t i = 0; i < vectors.count; ++i) {
        const double* row = vectors.rows[i];
        const auto at = static_cast<size_t>(i);
        const float x = static_cast<float>(row[0]);
        const float y = static_cast<float>(row[1]);
        const float z = static_cast<float>(row[2]);
        narrowed[at] = x;
        narrowed[run + at] = y;
        narrowed[2 * run + at] = z;
        if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) {
            PyErr_Format(PyExc_ValueError,
                         "vectors row %zd must be finite in single precision", i);
            return -1;
        }
        if (x == 0.0f && y == 0.0f && z == 0.0f) {
            PyErr_Format(PyExc_ValueError,
                         "vectors row %zd has zero length in single precision", i);
            return -1;
        }
    }
    return 0;
}

int check_finite_observed(const double* observed, Py_ssize_t count)
{
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!std::isfinite(observed[i])) {
            PyErr_Format(PyExc_ValueError, "observed[%zd] must be finite", i);
            return -1;
        }
    }
    return 0;
}

int check_finite_start(const double* params, bool offset_fitted)
{
    const int read = offset_fitted ? param_count : param_count - 1;
    for (int i = 0; i < read; ++i) {
        if (!finite_in_float(params[i])) {
            PyErr_Format(PyExc_ValueError,
                         "params[%d] must be finite in single precision", i);
            return -1;
        }
    }
    if (!finite_in_float(params[4] * params[3] * dr_factor_three * dr_factor_half)) {
        PyErr_SetString(PyExc_ValueError,
                        "params[4] (R) and params[3] (Da) give a rhombic magnitude "
                        "1.5 * Da * R that is not finite in single precision");
        return -1;
    }
    return 0;
}

int check_params(PyArrayObject* params)
{
    if (PyArray_TYPE(params) != NPY_DOUBLE || !PyArray_ISCARRAY(params) ||
        PyArray_SIZE(params) < param_count) {
        PyErr_Format(PyExc_ValueError,
                     "params must be a C-contiguous, writeable float64 array with at "
                     "least 6 values, got %zd values of %s",
                     static_cast<Py_ssize_t>(PyArray_SIZE(params)),
                     PyArray_DESCR(params)->typeobj->tp_name);
        return -1;
    }
    return 0;
}

int check_n(int n, bool offset_in_cost)
{
    if (offset_in_cost && n != param_count) {
        PyErr_Format(PyExc_ValueError, "n must be 6 for c_kel_fit, got %d", n);
        return -1;
    }
    if (!offset_in_cost && n != param_count - 1 && n != param_count) {
        PyErr_Format(PyExc_ValueError, "n must be 5 or 6 for c_kf_fdc, got %d", n);
        return -1;
    }
    return 0;
}

// Parses and checks every argument; nothing is changed until all pass.
// 0 on success (release with release_arguments), -1 with an exception set.
int accept_arguments(PyObject* args, bool offset_in_cost, FitArguments* out)
{
    PyArrayObject* vectors;
    PyArrayObject* observed;
    PyArrayObject* params;
    if (!PyArg_ParseTuple(args, "iO!O!O!", &out->n, &PyArray_Type, &vectors,
                          &PyArray_Type, &observed, &PyArray_Type, &params)) {
        return -1;
    }
    if (vector_rows_check(vectors) != 0 || check_n(out->n, offset_in_cost) != 0) {
        return -1;
    }
    const Py_ssize_t count = PyArray_DIM(vectors, 0);
    PyArrayObject* observed_held = readable_doubles(observed, "observed", count);
    if (observed_held == nullptr) {
        return -1;
    }
    if (check_params(params) != 0) {
        Py_DECREF(observed_held);
        return -1;
    }
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError, "vectors must hold at least one vector");
        Py_DECREF(observed_held);
        return -1;
    }
    if (vector_rows_acquire(vectors, &out->vectors) != 0) {
        Py_DECREF(observed_held);
        return -1;
    }
    const size_t components = 3 * static_cast<size_t>(count);
    out->narrowed = static_cast<float*>(PyMem_RawMalloc(components * sizeof(float)));
    if (out->narrowed == nullptr) {
        PyErr_NoMemory();
        vector_rows_release(&out->vectors);
        Py_DECREF(observed_held);
        return -1;
    }
    if (check_finite_vectors(out->vectors, out->narrowed) != 0 ||
        check_finite_observed(vector_data(observed_held), count) != 0 ||
        check_finite_start(vector_data(params), offset_in_cost) != 0) {
        PyMem_RawFree(out->narrowed);
        vector_rows_release(&out->vectors);
        Py_DECREF(observed_held);
        return -1;
    }
    out->observed = observed_held;
    out->params = params;
    return 0;
}

void release_arguments(FitArguments* arguments)
{
    PyMem_RawFree(arguments->narrowed);
    arguments->narrowed = nullptr;
    vector_rows_release(&arguments->vectors);
    Py_CLEAR(arguments->observed);
}

PyObject* fit_entry(PyObject* args, bool offset_in_cost)
{
    FitArguments arguments;
    if (accept_arguments(args, offset_in_cost, &arguments) != 0) {
        return nullptr;
    }
    double* params = vector_data(arguments.params);

    fit_state.rows = arguments.vectors.rows;
    fit_state.count = static_cast<int>(arguments.vectors.count);
    fit_state.observed = vector_data(arguments.observed);
    fit_state.narrowed = arguments.narrowed;
    alloc_fit_work();
    fit_state.offset = 0.0;
    fit_state.error = 1.0;
    fit_state.cost_limit = fit_cost_limit;
    start_directions(fit_state.directions);
    load_start(fit_state.params, params);

    run_fit(arguments.n, offset_in_cost ? cost_with_offset : cost_no_offset);

    // Powell's outcome is not passed on: the point reached is the result.
    store_result(fit_state.params, params);

    fit_work_release();
    fit_state.rows = nullptr;
    fit_state.observed = nullptr;
    fit_state.narrowed = nullptr;
    release_arguments(&arguments);
    return Py_BuildValue("d", 1.0);
}

}  // namespace

PyObject* c_kel_fit(PyObject* /*self*/, PyObject* args)
{
    return fit_entry(args, true);
}

PyObject* c_kf_fdc(PyObject* /*self*/, PyObject* args)
{
    return fit_entry(args, false);
}
