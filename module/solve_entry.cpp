// c_solve: the model's value for every vector, as a tuple of floats.
#include <memory>

#include "module/bridge.h"

namespace {

constexpr Py_ssize_t solve_params_read = 5;  // a1, a2, a3, Da, R

// Every value, before any Python object is made: making one can run a
// finalizer, and a finalizer can call kelfit.
void solve_values(const VectorRows& rows, const double* params, sfloat* values)
{
    // The angles are narrowed like a fit's; Da and Dr stay double here.
    const sfloat a1 = params[0], a2 = params[1], a3 = params[2];
    const double da = params[3];
    const double dr = dr_from_r(params[4], params[3]);
    const int count = static_cast<int>(rows.count);

    SavedFitState saved;
    FitState& state = fit_state();
    state.rows = rows.rows;
    state.count = count;
    state.error = 1.0;
    state.offset = 0.0;
    if (count >= 1) {
        model_values(rotation_from_angles(a1, a2, a3), state.rows, count, da, dr,
                     state.offset, values);
        void_short_rows(state.rows, count, values);
    }
}

PyObject* values_tuple(const sfloat* values, Py_ssize_t count)
{
    PyRef result(PyTuple_New(count));
    if (!result) {
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* item = PyFloat_FromDouble(values[k]);
        if (item == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(result.get(), k, item);
    }
    return result.release();
}

}  // namespace

PyObject* c_solve(PyObject* /*self*/, PyObject* args)
{
    int unused_n;
    PyArrayObject* vectors;
    PyArrayObject* params_array;
    if (!PyArg_ParseTuple(args, "iO!O!", &unused_n, &PyArray_Type, &vectors, &PyArray_Type,
                          &params_array)) {
        return nullptr;
    }
    if (vector_rows_check(vectors) != 0) {
        return nullptr;
    }
    PyRef params(reinterpret_cast<PyObject*>(
        readable_doubles(params_array, "params", solve_params_read)));
    if (!params) {
        return nullptr;
    }
    HeldRows rows;
    if (vector_rows_acquire(vectors, &rows.rows) != 0) {
        return nullptr;
    }
    const Py_ssize_t count = rows.rows.count;
    std::unique_ptr<sfloat[]> values(new (std::nothrow) sfloat[count > 0 ? count : 1]);
    if (!values) {
        return PyErr_NoMemory();
    }
    solve_values(rows.rows, vector_data(params.array()), values.get());
    return values_tuple(values.get(), count);
}
