// c_solve: the model's value for every vector, as a tuple of floats.
#include "fit/fit.h"
#include "module/bridge.h"

namespace {

constexpr Py_ssize_t solve_params_read = 5;  // a1, a2, a3, Da, R

constexpr int solve_block = 256;  // values computed ahead of the floats made of them

PyObject* solve_tuple(const Rotation& rot, double da, double dr)
{
    const int n = fit_state.count;
    PyObject* result = PyTuple_New(n);
    if (result == nullptr) {
        return nullptr;
    }
    sfloat values[solve_block];
    for (int start = 0; start < n; start += solve_block) {
        const int count = n - start < solve_block ? n - start : solve_block;
        model_values(rot, fit_state.rows + start, count, da, dr, fit_state.offset, values);
        for (int k = 0; k < count; ++k) {
            PyObject* item = PyFloat_FromDouble(values[k]);
            if (item == nullptr) {
                Py_DECREF(result);
                return nullptr;
            }
            PyTuple_SET_ITEM(result, start + k, item);
        }
    }
    return result;
}

}  // namespace

PyObject* c_solve(PyObject* /*self*/, PyObject* args)
{
    int unused_n;
    PyArrayObject* vectors;
    PyArrayObject* params_array;
    if (!PyArg_ParseTuple(args, "iO!O!", &unused_n, &PyArray_Type, &vectors,
                          &PyArray_Type, &params_array)) {
        return nullptr;
    }
    if (vector_rows_check(vectors) != 0) {
        return nullptr;
    }
    PyArrayObject* params_held =
        readable_doubles(params_array, "params", solve_params_read);
    if (params_held == nullptr) {
        return nullptr;
    }
    VectorRows rows;
    if (vector_rows_acquire(vectors, &rows) != 0) {
        Py_DECREF(params_held);
        return nullptr;
    }
    fit_state.rows = rows.rows;
    fit_state.count = static_cast<int>(rows.count);
    fit_state.error = 1.0;
    fit_state.offset = 0.0;

    // The angles are narrowed like a fit's; Da and Dr stay double here.
    const double* params = vector_data(params_held);
    const sfloat a1 = params[0], a2 = params[1], a3 = params[2];
    const double da = params[3];
    const double dr = params[4] * params[3] * dr_factor_three * dr_factor_half;

    PyObject* result;
    if (fit_state.count >= 1) {
        result = solve_tuple(rotation_from_angles(a1, a2, a3), da, dr);
    } else {
        result = PyTuple_New(0);
    }

    fit_state.rows = nullptr;
    vector_rows_release(&rows);
    Py_DECREF(params_held);
    return result;
}
