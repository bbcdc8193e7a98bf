// c_kel_fit and c_kf_fdc: fit the orientation model to observed values and
// write the fitted parameters back into the caller's array.
//
// These entries hold the interpreter's lock throughout: callers have always
// been able to rely on a fit running alone, reading their arrays in place
// and rewriting params in place. kelfit.fit is the fit that lets go of it.
// Holding the lock, they may still ask for pending signals now and then, so
// Ctrl-C stops them with KeyboardInterrupt and params as they were; asking
// changes nothing a fit computes.
#include <memory>

#include "module/bridge.h"

namespace {

// The caller's arrays once every check has passed; what the fit reads and
// writes, with the references that keep it alive until it goes out of scope.
struct FitArguments {
    int n = 0;                      // parameters varied, p[1..n]
    HeldRows vectors;               // row pointers over the vectors
    std::unique_ptr<float[]> narrowed;  // the vectors' components narrowed, side by side
    PyRef observed;                 // N float64 values in C order
    PyArrayObject* params = nullptr;  // borrowed: the caller's own array, written in place
};

// The fewest parameters c_kf_fdc varies: the three angles.
constexpr int fdc_fewest_varied = 3;

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
    // Below 5 the parameters past n keep their start values (Da and R, or R
    // alone), which is how a fit of the orientation alone is asked for.
    if (!offset_in_cost && (n < fdc_fewest_varied || n > param_count)) {
        PyErr_Format(PyExc_ValueError, "n must be 3, 4, 5 or 6 for c_kf_fdc, got %d", n);
        return -1;
    }
    return 0;
}

// Parses and checks every argument; nothing is changed until all pass.
// 0 on success, -1 with an exception set; `out` releases what it holds
// either way.
int accept_arguments(PyObject* args, bool offset_in_cost, FitArguments& out)
{
    PyArrayObject* vectors;
    PyArrayObject* observed;
    PyArrayObject* params;
    if (!PyArg_ParseTuple(args, "iO!O!O!", &out.n, &PyArray_Type, &vectors, &PyArray_Type,
                          &observed, &PyArray_Type, &params)) {
        return -1;
    }
    if (vector_rows_check(vectors) != 0 || check_n(out.n, offset_in_cost) != 0) {
        return -1;
    }
    const Py_ssize_t count = PyArray_DIM(vectors, 0);
    out.observed.reset(
        reinterpret_cast<PyObject*>(readable_doubles(observed, "observed", count)));
    if (!out.observed || check_params(params) != 0) {
        return -1;
    }
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError, "vectors must hold at least one vector");
        return -1;
    }
    if (vector_rows_acquire(vectors, &out.vectors.rows) != 0) {
        return -1;
    }
    out.narrowed.reset(new (std::nothrow) float[3 * static_cast<size_t>(count)]);
    if (!out.narrowed) {
        PyErr_NoMemory();
        return -1;
    }
    if (narrow_fit_rows(out.vectors.rows.rows, count, out.narrowed.get(), Refusal::plain) != 0 ||
        check_finite_values(vector_data(out.observed.array()), count, "observed",
                            Refusal::plain) != 0 ||
        check_start(vector_data(params), offset_in_cost, "params", Refusal::plain) != 0) {
        return -1;
    }
    out.params = params;
    return 0;
}

PyObject* fit_entry(PyObject* args, bool offset_in_cost)
{
    FitArguments arguments;
    if (accept_arguments(args, offset_in_cost, arguments) != 0) {
        return nullptr;
    }
    double* params = vector_data(arguments.params);

    FitProblem problem = {};
    problem.rows = arguments.vectors.rows.rows;
    problem.count = static_cast<int>(arguments.vectors.rows.count);
    problem.narrowed = arguments.narrowed.get();
    problem.observed = vector_data(arguments.observed.array());
    problem.n = arguments.n;
    problem.offset_in_cost = offset_in_cost;
    problem.start = params;
    if (check_start_residuals(problem, Refusal::plain) != 0) {
        return nullptr;
    }
    SignalPoll poll = signal_poll_start();
    problem.interrupt = signal_check_locked(poll);

    // The kit's fatal conditions end the process here, as they always have.
    FitReport report;
    try {
        report = fit_problem(problem);
    } catch (const FitInterrupted&) {
        return nullptr;  // the signal handler's exception is set
    }

    // Powell's outcome is not passed on: the point reached is the result,
    // unless the cost there is not a number the caller could trust.
    if (check_final_cost(report) != 0) {
        return nullptr;
    }
    for (int i = 0; i < param_count; ++i) {
        params[i] = report.params[i];
    }
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
