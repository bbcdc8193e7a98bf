// kelfit.fit and kelfit.solve: the fits and back-calculations that tools
// build on. Each reads the caller's arrays into memory of its own, lets go
// of the interpreter's lock while it computes, and returns new arrays.
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "module/bridge.h"

namespace {

constexpr int model_columns = 3;
// Below this many rows solve keeps the interpreter's lock: giving it up and
// taking it back would cost more than the values, and hands the lock to
// whichever thread waits for it.
constexpr Py_ssize_t solve_unlocked_rows = 4096;

PyTypeObject* fit_result_type = nullptr;

PyStructSequence_Field fit_result_fields[] = {
    {"params", "fitted parameters: three z-x-z angles (radians), Da, R, offset"},
    {"cost", "cost where the fit ended: the mean squared (weighted) residual, chi^2 / N"},
    {"evaluations", "number of cost evaluations, all Powell runs together"},
    {"runs", "number of Powell runs made"},
    {"values", "model values at params, as kelfit.solve(vectors, params, scale=scale) gives them"},
    {"converged", "False when Powell stopped at its iteration limit"},
    {nullptr, nullptr},
};

PyStructSequence_Desc fit_result_desc = {
    "kelfit.FitResult",
    "Result of kelfit.fit: (params, cost, evaluations, runs); values and converged\n"
    "are attributes only, so that code unpacking the four keeps working.",
    fit_result_fields,
    4,
};

// Refusals of these entries carry their fault (kelfit.InputError).
constexpr Refusal refusal = Refusal::structured;

// An argument as a float64 array with `dims` dimensions (any array-like
// whose values convert safely), aligned and in this machine's byte order
// but otherwise as laid out: a view where the caller's array already is
// float64, so that its size can be checked before anything is copied. A new
// reference, or NULL with TypeError or ValueError naming the argument (or
// the exception of a conversion that failed for another reason).
PyArrayObject* doubles_argument(PyObject* object, const char* name, int dims)
{
    PyObject* array = reinterpret_cast<PyObject*>(
        real_array(object, name, NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED));
    if (array == nullptr) {
        return nullptr;
    }
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array)) != dims) {
        refuse(refusal, {name, -1, -1}, name, "must be %d-dimensional, got %d dimensions", dims,
               PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array)));
        Py_DECREF(array);
        return nullptr;
    }
    return reinterpret_cast<PyArrayObject*>(array);
}

// The data and strides of a 1-D or 2-D array as they were when it was
// checked: the copies below read through these, never the array's own, so
// a signal handler that runs between two runs of a copy and reshapes the
// caller's array in place cannot make them read beyond its data.
struct Layout {
    const char* data;
    npy_intp row, column;  // byte strides (column 0 for a 1-D array)
    explicit Layout(PyArrayObject* array)
        : data(static_cast<const char*>(PyArray_DATA(array))),
          row(PyArray_STRIDE(array, 0)),
          column(PyArray_NDIM(array) > 1 ? PyArray_STRIDE(array, 1) : 0)
    {
    }
    double at(npy_intp i, npy_intp j = 0) const
    {
        return *reinterpret_cast<const double*>(data + i * row + j * column);
    }
};

// A 1-D argument of exactly `count` values, copied into out.
int copy_values(PyObject* object, const char* name, Py_ssize_t count, const char* count_of,
                double* out, InterruptCheck& check)
{
    PyRef array(reinterpret_cast<PyObject*>(doubles_argument(object, name, 1)));
    if (!array) {
        return -1;
    }
    if (PyArray_DIM(array.array(), 0) != count) {
        return refuse(refusal, {name, -1, -1}, name, "must hold %zd values (%s), got %zd", count,
                      count_of, static_cast<Py_ssize_t>(PyArray_DIM(array.array(), 0)));
    }
    const Layout in(array.array());
    return polled_runs(count, check, [&](Py_ssize_t first, Py_ssize_t n) {
        for (Py_ssize_t i = first; i < first + n; ++i) {
            out[i] = in.at(i);
        }
        return 0;
    });
}

// The vectors of a call, copied: x, y, z of each row (further columns
// dropped) and the row pointers over them. Neither is initialised before
// the copy: zeroing a large argument first would be a long wait that no
// one polls.
struct OwnedRows {
    std::unique_ptr<double[]> coordinates;
    std::unique_ptr<const double*[]> rows;
    Py_ssize_t count = 0;
};

int copy_vectors(PyObject* object, OwnedRows& out, InterruptCheck& check)
{
    PyRef array(reinterpret_cast<PyObject*>(doubles_argument(object, "vectors", 2)));
    if (!array) {
        return -1;
    }
    const Py_ssize_t count = PyArray_DIM(array.array(), 0);
    const Py_ssize_t columns = PyArray_DIM(array.array(), 1);
    const InputFault fault = {"vectors", -1, -1};
    if (columns < model_columns) {
        return refuse(refusal, fault, "vectors", "must have at least 3 columns (x, y, z), got %zd",
                      columns);
    }
    if (count > INT32_MAX) {
        return refuse(refusal, fault, "vectors", "may hold at most %d rows, got %zd", INT32_MAX,
                      count);
    }
    const auto n = static_cast<size_t>(count);
    out.coordinates.reset(new double[model_columns * n + 1]);
    out.rows.reset(new const double*[n + 1]);
    out.count = count;
    const Layout in(array.array());
    return polled_runs(count, check, [&](Py_ssize_t first, Py_ssize_t run) {
        for (Py_ssize_t i = first; i < first + run; ++i) {
            double* own = out.coordinates.get() + model_columns * static_cast<size_t>(i);
            for (int c = 0; c < model_columns; ++c) {
                own[c] = in.at(i, c);
            }
            out.rows[static_cast<size_t>(i)] = own;
        }
        return 0;
    });
}

// Narrowed per-row factors (sigma or scale), checked as they are stored.
int copy_factors(PyObject* object, const char* name, Py_ssize_t count, bool positive,
                 std::vector<float>& out, InterruptCheck& check)
{
    std::unique_ptr<double[]> values(new double[static_cast<size_t>(count) + 1]);
    if (copy_values(object, name, count, "one per vector", values.get(), check) != 0) {
        return -1;
    }
    const int checked = polled_runs(count, check, [&](Py_ssize_t first, Py_ssize_t n) {
        return check_row_factors(values.get() + first, n, name, positive, refusal, first);
    });
    if (checked != 0) {
        return checked;
    }
    out.resize(static_cast<size_t>(count));
    return polled_runs(count, check, [&](Py_ssize_t first, Py_ssize_t n) {
        for (Py_ssize_t i = first; i < first + n; ++i) {
            out[static_cast<size_t>(i)] = static_cast<float>(values[static_cast<size_t>(i)]);
        }
        return 0;
    });
}

int copy_start(PyObject* object, const char* name, double* start, InterruptCheck& check)
{
    return copy_values(object, name, param_count, "a1, a2, a3, Da, R, offset", start, check);
}

// How a computation without the lock ended.
enum class Outcome { done, interrupted, kit_failure, no_memory };

struct Unlocked {
    Outcome outcome = Outcome::done;
    KitFailure failure = {KitFailureKind::numeric, nullptr};
};

// kelfit.solve's values: the model of every row, offset and scale
// included, with Da and Dr in double as c_solve takes them; NaN for a row
// too short to have a direction. False when check stopped it first.
bool solve_rows(const OwnedRows& vectors, const double* params, const float* scale,
                double* out, InterruptCheck check = {})
{
    const sfloat a1 = params[0], a2 = params[1], a3 = params[2];
    const double da = params[3];
    const double dr = dr_from_r(params[4], params[3]);
    const sfloat offset = params[5];
    const Rotation rot = rotation_from_angles(a1, a2, a3);
    constexpr int block = 256;
    sfloat values[block];
    const int count = static_cast<int>(vectors.count);
    for (int start = 0; start < count; start += block) {
        const int n = count - start < block ? count - start : block;
        model_values(rot, vectors.rows.get() + start, n, da, dr, offset, values, {}, {},
                     scale != nullptr ? scale + start : nullptr);
        void_short_rows(vectors.rows.get() + start, n, values);
        for (int k = 0; k < n; ++k) {
            out[start + k] = values[k];
        }
        if (interrupt_requested(check, n)) {
            return false;
        }
    }
    return true;
}

// A new float64 array of the values.
PyObject* double_array(const double* values, Py_ssize_t count)
{
    npy_intp size = count;
    PyObject* array = PyArray_SimpleNew(1, &size, NPY_DOUBLE);
    if (array != nullptr) {
        double* out = vector_data(reinterpret_cast<PyArrayObject*>(array));
        for (Py_ssize_t i = 0; i < count; ++i) {
            out[i] = values[i];
        }
    }
    return array;
}

PyObject* fit_result(const FitReport& report, const std::vector<double>& values)
{
    PyRef result(PyStructSequence_New(fit_result_type));
    PyRef params(result ? double_array(report.params, param_count) : nullptr);
    PyRef model(params ? double_array(values.data(), static_cast<Py_ssize_t>(values.size()))
                       : nullptr);
    PyRef cost(model ? PyFloat_FromDouble(report.cost) : nullptr);
    PyRef evaluations(cost ? PyLong_FromLongLong(report.evaluations) : nullptr);
    PyRef runs(evaluations ? PyLong_FromLong(report.runs) : nullptr);
    PyRef converged(runs ? PyBool_FromLong(report.converged ? 1 : 0) : nullptr);
    if (!converged) {
        return nullptr;
    }
    PyStructSequence_SetItem(result.get(), 0, params.release());
    PyStructSequence_SetItem(result.get(), 1, cost.release());
    PyStructSequence_SetItem(result.get(), 2, evaluations.release());
    PyStructSequence_SetItem(result.get(), 3, runs.release());
    PyStructSequence_SetItem(result.get(), 4, model.release());
    PyStructSequence_SetItem(result.get(), 5, converged.release());
    return result.release();
}

// Everything kelfit.fit reads, in memory of its own.
struct FitCall {
    OwnedRows vectors;
    std::vector<float> narrowed;
    std::vector<double> observed;
    std::vector<float> sigma, scale;
    double start[param_count];
    unsigned held = 0;  // bit i: params[i] is fixed at its start value
};

// The values kelfit.solve gives for the fit's parameters and scale, so that
// a caller needs no second call for them; throws FitInterrupted when check
// says so.
void fitted_values(const FitCall& call, const FitReport& report, double* values,
                   InterruptCheck check)
{
    if (!solve_rows(call.vectors, report.params,
                    call.scale.empty() ? nullptr : call.scale.data(), values, check)) {
        throw FitInterrupted{};
    }
}

// A fit that ends with Da and Dr both exactly zero has found no tensor: its
// rhombicity is 0, not the 0/0 that Dr / Da gives.
void zero_tensor_rhombicity(FitReport& report)
{
    if (report.params[3] == 0.0 && std::isnan(report.params[4])) {
        report.params[4] = 0.0;
    }
}

// Runs the fit, and makes the model values at its result, without the
// interpreter's lock; the kit's fatal conditions and an interruption come
// back as an Outcome.
Unlocked run_unlocked(FitProblem& problem, FitReport& report, const FitCall& call,
                      double* values)
{
    Unlocked unlocked;
    SignalPoll poll = signal_poll_start();
    problem.interrupt = signal_check_unlocked(poll);
    signal_poll_release(poll);
    try {
        KitFailuresThrow failures_throw;
        report = fit_problem(problem);
        zero_tensor_rhombicity(report);
        fitted_values(call, report, values, signal_check_unlocked(poll));
    } catch (const FitInterrupted&) {
        unlocked.outcome = Outcome::interrupted;
    } catch (const KitFailure& failure) {
        unlocked.outcome = Outcome::kit_failure;
        unlocked.failure = failure;
    } catch (const std::bad_alloc&) {
        unlocked.outcome = Outcome::no_memory;
    }
    signal_poll_reacquire(poll);
    return unlocked;
}

// solve's six parameters must be finite; a refusal names the parameter.
int check_finite_params(const double* params)
{
    for (int i = 0; i < param_count; ++i) {
        if (!std::isfinite(params[i])) {
            char subject[32];
            std::snprintf(subject, sizeof subject, "params[%d]", i);
            return refuse(refusal, {"params", -1, i}, subject, "must be finite");
        }
    }
    return 0;
}

// The fixed argument: distinct parameter indices 0..5, as bits of held.
int accept_fixed(PyObject* fixed, unsigned& held)
{
    held = 0;
    if (fixed == nullptr) {
        return 0;
    }
    const InputFault fault = {"fixed", -1, -1};
    PyRef items(PySequence_Fast(fixed, "fixed must be a sequence of parameter indices"));
    if (!items) {
        return -1;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (PyBool_Check(item) || !PyIndex_Check(item)) {
            PyErr_Format(PyExc_TypeError,
                         "fixed[%zd] must be a parameter index (an integer 0 to 5), got %s", i,
                         Py_TYPE(item)->tp_name);
            return -1;
        }
        const Py_ssize_t index = PyNumber_AsSsize_t(item, nullptr);
        if (index == -1 && PyErr_Occurred()) {
            return -1;
        }
        char subject[32];
        std::snprintf(subject, sizeof subject, "fixed[%zd]", i);
        if (index < 0 || index >= param_count) {
            return refuse(refusal, fault, subject,
                          "must be a parameter index 0 to 5 (a1, a2, a3, Da, R, offset), got %zd",
                          index);
        }
        const unsigned bit = 1u << index;
        if ((held & bit) != 0) {
            return refuse(refusal, {"fixed", -1, static_cast<int>(index)}, subject,
                          "repeats parameter %zd", index);
        }
        held |= bit;
    }
    return 0;
}

int accept_fit(PyObject* args, PyObject* kwargs, FitCall& call, bool& offset,
               InterruptCheck& check)
{
    static const char* keywords[] = {"vectors", "observed", "start", "sigma",
                                     "scale",   "offset",   "fixed", nullptr};
    PyObject *vectors, *observed, *start, *sigma = Py_None, *scale = Py_None;
    PyObject* fixed = nullptr;
    int offset_flag = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OOpO:fit", const_cast<char**>(keywords),
                                     &vectors, &observed, &start, &sigma, &scale,
                                     &offset_flag, &fixed)) {
        return -1;
    }
    offset = offset_flag != 0;
    if (copy_vectors(vectors, call.vectors, check) != 0) {
        return -1;
    }
    const Py_ssize_t count = call.vectors.count;
    if (count == 0) {
        return refuse(refusal, {"vectors", -1, -1}, "vectors", "must hold at least one vector");
    }
    call.narrowed.resize(3 * static_cast<size_t>(count));
    if (narrow_fit_rows(call.vectors.rows.get(), count, call.narrowed.data(), refusal) != 0) {
        return -1;
    }
    call.observed.resize(static_cast<size_t>(count));
    if (copy_values(observed, "observed", count, "one per vector", call.observed.data(),
                    check) != 0 ||
        check_finite_values(call.observed.data(), count, "observed", refusal) != 0 ||
        copy_start(start, "start", call.start, check) != 0 ||
        check_start(call.start, offset, "start", refusal) != 0 ||
        accept_fixed(fixed, call.held) != 0) {
        return -1;
    }
    if (sigma != Py_None && copy_factors(sigma, "sigma", count, true, call.sigma, check) != 0) {
        return -1;
    }
    if (scale != Py_None && copy_factors(scale, "scale", count, false, call.scale, check) != 0) {
        return -1;
    }
    return 0;
}

}  // namespace

int fit_result_type_ready(PyObject* module)
{
    if (fit_result_type == nullptr) {
        fit_result_type = PyStructSequence_NewType(&fit_result_desc);
        if (fit_result_type == nullptr) {
            return -1;
        }
    }
    Py_INCREF(fit_result_type);
    if (PyModule_AddObject(module, "FitResult", reinterpret_cast<PyObject*>(fit_result_type)) <
        0) {
        Py_DECREF(fit_result_type);
        return -1;
    }
    return 0;
}

PyObject* kelfit_fit(PyObject* /*self*/, PyObject* args, PyObject* kwargs)
{
    try {
        FitCall call;
        bool offset = false;
        // A long argument is copied a run at a time, asking for Ctrl-C between.
        SignalPoll poll = signal_poll_start();
        InterruptCheck check = signal_check_locked(poll);
        if (accept_fit(args, kwargs, call, offset, check) != 0) {
            return nullptr;
        }
        FitProblem problem = {};
        problem.rows = call.vectors.rows.get();
        problem.count = static_cast<int>(call.vectors.count);
        problem.narrowed = call.narrowed.data();
        problem.observed = call.observed.data();
        problem.sigma = call.sigma.empty() ? nullptr : call.sigma.data();
        problem.scale = call.scale.empty() ? nullptr : call.scale.data();
        problem.n = offset ? param_count : param_count - 1;
        problem.offset_in_cost = offset;
        problem.start = call.start;
        problem.held = call.held;
        if (check_start_residuals(problem, refusal) != 0) {
            return nullptr;
        }

        FitReport report = {};
        std::vector<double> values(static_cast<size_t>(call.vectors.count));
        const Unlocked unlocked = run_unlocked(problem, report, call, values.data());
        switch (unlocked.outcome) {
        case Outcome::done:
            break;
        case Outcome::interrupted:
            return nullptr;  // the signal handler's exception is set
        case Outcome::kit_failure:
            raise_kit_failure(unlocked.failure);
            return nullptr;
        case Outcome::no_memory:
            return PyErr_NoMemory();
        }
        if (check_final_cost(report) != 0) {
            return nullptr;
        }
        return fit_result(report, values);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* kelfit_solve(PyObject* /*self*/, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"vectors", "params", "scale", nullptr};
    PyObject *vectors, *params_object, *scale = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:solve", const_cast<char**>(keywords),
                                     &vectors, &params_object, &scale)) {
        return nullptr;
    }
    try {
        OwnedRows rows;
        double params[param_count];
        std::vector<float> scales;
        // A long argument is copied a run at a time, asking for Ctrl-C between.
        SignalPoll poll = signal_poll_start();
        InterruptCheck check = signal_check_locked(poll);
        if (copy_vectors(vectors, rows, check) != 0 ||
            copy_start(params_object, "params", params, check) != 0 ||
            check_finite_params(params) != 0) {
            return nullptr;
        }
        if (scale != Py_None &&
            copy_factors(scale, "scale", rows.count, false, scales, check) != 0) {
            return nullptr;
        }
        npy_intp size = rows.count;
        PyRef result(PyArray_SimpleNew(1, &size, NPY_DOUBLE));
        if (!result) {
            return nullptr;
        }
        double* out = vector_data(result.array());
        const float* scale_data = scales.empty() ? nullptr : scales.data();
        if (rows.count < solve_unlocked_rows) {
            solve_rows(rows, params, scale_data, out);
            return result.release();
        }
        signal_poll_release(poll);
        const bool done = solve_rows(rows, params, scale_data, out, signal_check_unlocked(poll));
        signal_poll_reacquire(poll);
        if (!done) {
            return nullptr;  // the signal handler's exception is set
        }
        return result.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
