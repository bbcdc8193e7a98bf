// kelfit.linear: the exact least-squares tensor of one problem or of a stack
// of them. float64 arrays laid out as the solve reads them (C order, three
// columns of vectors) are read where they are; others are copied into memory
// of its own first. The checks and the solves run without the interpreter's
// lock, spread over the threads asked for: each problem is checked by the
// thread that solves it.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "linear/linear.h"
#include "module/bridge.h"

namespace {

constexpr int vector_columns = 3;
// More threads than this would only queue for the processor's cores.
constexpr Py_ssize_t max_linear_workers = 1024;
// One problem of fewer rows than this is checked and solved on the calling
// thread without giving the lock up (a few hundred microseconds at most,
// as kelfit.solve holds it): giving it up and taking it back, and a run of
// workers, would cost more than the solve of a small problem.
constexpr Py_ssize_t linear_locked_rows = 4096;

PyTypeObject* linear_result_type = nullptr;

PyStructSequence_Field linear_result_fields[] = {
    {"params",
     "the optimum as the module's parameters: a1 in [0, 2 pi), a2 in [0, pi/2], a3 in "
     "[0, pi) (z-x-z, radians), Da, R in [0, 2/3], offset"},
    {"order_matrix",
     "the traceless symmetric 3x3 A of the optimum: value = scale u^T A u + offset for the "
     "unit vector u"},
    {"values", "the model values at the optimum, in double"},
    {"cost", "the mean squared (weighted) residual at the optimum, chi^2 / N, in double"},
    {nullptr, nullptr},
};

PyStructSequence_Desc linear_result_desc = {
    "kelfit.LinearResult",
    "Result of kelfit.linear: (params, order_matrix, values, cost); each with a leading "
    "axis of one entry per problem for a stack.",
    linear_result_fields,
    4,
};

// The shape of a call: F problems (a stack) of N rows, or one problem.
struct Shape {
    bool stacked;
    Py_ssize_t problems;  // F (1 without a stack)
    Py_ssize_t count;     // N
};

// Reads an array of up to three dimensions through its strides: the
// element (f, i, c), where a missing leading axis counts as the one problem
// and a missing column axis as the one column.
struct Strided {
    const char* data;
    npy_intp problem, row, column;  // byte strides
    double at(Py_ssize_t f, Py_ssize_t i, Py_ssize_t c) const
    {
        return *reinterpret_cast<const double*>(data + f * problem + i * row + c * column);
    }
};

// One array argument: the caller's array (checked, held for the call), its
// layout as it was checked, and, unless it is packed as the solve reads it,
// memory of our own that its values are copied into problem by problem,
// left uninitialised until then. Everything reads the layout taken when the
// argument was accepted, never the array's own: a signal handler that runs
// meanwhile may reshape the caller's array in place, and must not make the
// call read beyond its data. The data itself stays where it is: the call
// holds a reference to the array, so NumPy refuses to resize it.
struct Argument {
    PyRef view;
    Strided layout = {nullptr, 0, 0, 0};
    bool packed = false;  // each problem's values lie next to each other: read in place
    std::unique_ptr<double[]> copy;
    bool given() const { return static_cast<bool>(view); }
    const double* data() const
    {
        return packed ? reinterpret_cast<const double*>(layout.data) : copy.get();
    }
};

// Everything kelfit.linear reads.
struct LinearCall {
    Shape shape = {false, 0, 0};
    Argument vectors;  // F x N x 3 (columns past the third dropped)
    Argument observed, sigma, scale;  // F x N each (sigma, scale optional)
    bool offset = false;
    int workers = 1;
};

size_t value_count(const Shape& shape, int columns)
{
    return static_cast<size_t>(shape.problems) * static_cast<size_t>(shape.count) *
           static_cast<size_t>(columns);
}

// An argument as a float64 array, aligned and in this machine's byte order
// but otherwise as laid out (a view where it already is float64, so that
// its shape is checked before anything is copied). A new reference, or NULL
// with TypeError naming the argument (or the exception of a conversion that
// failed for another reason).
PyArrayObject* doubles_view(PyObject* object, const char* name)
{
    return real_array(object, name, NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED);
}

Strided strided(PyArrayObject* array, bool stacked, bool columns)
{
    const npy_intp* stride = PyArray_STRIDES(array);
    const int first = stacked ? 1 : 0;
    return {static_cast<const char*>(PyArray_DATA(array)), stacked ? stride[0] : 0,
            stride[first], columns ? stride[first + 1] : 0};
}

// Holds a checked argument of `columns` columns (1: one value a row) for
// the call: its layout, and memory of our own for a copy unless it is packed.
void hold(PyRef& array, const Shape& shape, int columns, Argument& out)
{
    PyArrayObject* checked = array.array();
    const int dims = PyArray_NDIM(checked);
    out.layout = strided(checked, shape.stacked, columns > 1);
    out.packed = PyArray_IS_C_CONTIGUOUS(checked) &&
                 (columns == 1 || PyArray_DIM(checked, dims - 1) == columns);
    if (!out.packed) {
        out.copy.reset(new double[value_count(shape, columns)]);
    }
    out.view.reset(array.release());
}

int accept_vectors(PyObject* object, LinearCall& call)
{
    PyRef array(reinterpret_cast<PyObject*>(doubles_view(object, "vectors")));
    if (!array) {
        return -1;
    }
    const int dims = PyArray_NDIM(array.array());
    if (dims != 2 && dims != 3) {
        PyErr_Format(PyExc_ValueError,
                     "vectors must be 2-dimensional (N x 3) or 3-dimensional (a stack, "
                     "F x N x 3), got %d dimensions",
                     dims);
        return -1;
    }
    const bool stacked = dims == 3;
    const npy_intp* extent = PyArray_DIMS(array.array());
    Shape& shape = call.shape;
    shape = {stacked, stacked ? extent[0] : 1, extent[dims - 2]};
    const Py_ssize_t columns = extent[dims - 1];
    if (columns < vector_columns) {
        PyErr_Format(PyExc_ValueError, "vectors must have at least 3 columns (x, y, z), got %zd",
                     columns);
        return -1;
    }
    if (shape.count > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "vectors may hold at most %d rows, got %zd", INT32_MAX,
                     shape.count);
        return -1;
    }
    if (shape.problems > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "a stack may hold at most %d problems, got %zd",
                     INT32_MAX, shape.problems);
        return -1;
    }
    if (shape.count == 0) {
        PyErr_SetString(PyExc_ValueError, "vectors must hold at least one vector");
        return -1;
    }
    hold(array, shape, vector_columns, call.vectors);
    return 0;
}

// Text such as "(2, 68)" for a message.
struct ShapeText {
    char text[64];
};
ShapeText shape_text(PyArrayObject* array)
{
    ShapeText out = {};
    int used = std::snprintf(out.text, sizeof out.text, "(");
    const int dims = PyArray_NDIM(array);
    for (int d = 0; d < dims && used < 48; ++d) {
        used += std::snprintf(out.text + used, sizeof out.text - static_cast<size_t>(used),
                              d == 0 ? "%zd" : ", %zd",
                              static_cast<Py_ssize_t>(PyArray_DIM(array, d)));
    }
    // A one-dimensional shape is written as Python writes it: (20,).
    std::snprintf(out.text + used, sizeof out.text - static_cast<size_t>(used),
                  dims == 1 ? ",)" : ")");
    return out;
}

// observed, sigma or scale: one value per vector, F x N for a stack.
int accept_row_values(PyObject* object, const char* name, const Shape& shape,
                      Argument& out)
{
    PyRef array(reinterpret_cast<PyObject*>(doubles_view(object, name)));
    if (!array) {
        return -1;
    }
    const npy_intp* extent = PyArray_DIMS(array.array());
    if (!shape.stacked) {
        if (PyArray_NDIM(array.array()) != 1) {
            PyErr_Format(PyExc_ValueError, "%s must be 1-dimensional, got %d dimensions", name,
                         PyArray_NDIM(array.array()));
            return -1;
        }
        if (extent[0] != shape.count) {
            PyErr_Format(PyExc_ValueError, "%s must hold %zd values (one per vector), got %zd",
                         name, shape.count, static_cast<Py_ssize_t>(extent[0]));
            return -1;
        }
    } else if (PyArray_NDIM(array.array()) != 2 || extent[0] != shape.problems ||
               extent[1] != shape.count) {
        PyErr_Format(PyExc_ValueError,
                     "%s must have shape (%zd, %zd), one value per vector of the stack, got %s",
                     name, shape.problems, shape.count, shape_text(array.array()).text);
        return -1;
    }
    hold(array, shape, 1, out);
    return 0;
}

// Copies rows [first, first + n) of problem f of an argument (its first
// `columns` columns) into the argument's own memory.
void copy_rows(Argument& argument, const Shape& shape, Py_ssize_t f, int columns,
               Py_ssize_t first, Py_ssize_t n)
{
    if (!argument.given() || argument.packed) {
        return;  // read in place
    }
    const auto width = static_cast<size_t>(columns);
    const size_t at = (static_cast<size_t>(f) * static_cast<size_t>(shape.count) +
                       static_cast<size_t>(first)) * width;
    double* out = argument.copy.get() + at;
    const Strided& in = argument.layout;
    for (Py_ssize_t i = first; i < first + n; ++i) {
        for (int c = 0; c < columns; ++c) {
            *out++ = in.at(f, i, c);
        }
    }
}

// In a stack, the refusal just raised names its problem ("problem f: ",
// and the InputError's problem attribute).
void name_stacked_problem(const Shape& shape, Py_ssize_t problem)
{
    if (shape.stacked) {
        name_problem(problem);
    }
}


// Copies the arguments of one problem that are not read in place, a run of
// rows at a time, asking `check` between runs. 0, or polled_interrupted
// with the signal handler's exception.
int copy_problem(LinearCall& call, Py_ssize_t problem, InterruptCheck& check)
{
    const Shape& shape = call.shape;
    return polled_runs(shape.count, check, [&](Py_ssize_t i, Py_ssize_t n) {
        copy_rows(call.vectors, shape, problem, vector_columns, i, n);
        copy_rows(call.observed, shape, problem, 1, i, n);
        copy_rows(call.sigma, shape, problem, 1, i, n);
        copy_rows(call.scale, shape, problem, 1, i, n);
        return 0;
    });
}

int accept_linear(PyObject* args, PyObject* kwargs, LinearCall& call)
{
    static const char* keywords[] = {"vectors", "observed", "sigma", "scale",
                                     "offset",  "workers",  nullptr};
    PyObject *vectors, *observed, *sigma = Py_None, *scale = Py_None;
    int offset_flag = 0;
    Py_ssize_t workers = 1;
    if (kwargs == nullptr && PyTuple_GET_SIZE(args) == 2) {
        // linear(vectors, observed), the common call: no keywords to parse.
        vectors = PyTuple_GET_ITEM(args, 0);
        observed = PyTuple_GET_ITEM(args, 1);
    } else if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOpn:linear",
                                            const_cast<char**>(keywords), &vectors, &observed,
                                            &sigma, &scale, &offset_flag, &workers)) {
        return -1;
    }
    if (workers < 1 || workers > max_linear_workers) {
        PyErr_Format(PyExc_ValueError, "workers must be between 1 and %zd, got %zd",
                     max_linear_workers, workers);
        return -1;
    }
    call.offset = offset_flag != 0;
    call.workers = static_cast<int>(workers);
    if (accept_vectors(vectors, call) != 0 ||
        accept_row_values(observed, "observed", call.shape, call.observed) != 0 ||
        (sigma != Py_None && accept_row_values(sigma, "sigma", call.shape, call.sigma) != 0) ||
        (scale != Py_None && accept_row_values(scale, "scale", call.shape, call.scale) != 0)) {
        return -1;
    }
    return 0;
}

// Copies what is not read in place problem by problem, releasing each to
// the run's workers as soon as it is copied, so that they check and solve
// while the rest are copied. 0, or -1 with the signal handler's exception
// (the run abandoned).
int copy_and_release(LinearCall& call, LinearStackRun& run, InterruptCheck& check)
{
    if (call.vectors.packed && call.observed.packed &&
        (!call.sigma.given() || call.sigma.packed) && (!call.scale.given() || call.scale.packed)) {
        return 0;  // nothing to copy: finish releases them all
    }
    for (Py_ssize_t f = 0; f < call.shape.problems; ++f) {
        if (copy_problem(call, f, check) != 0) {
            run.abandon();
            return -1;
        }
        run.release(static_cast<int>(f + 1));
    }
    return 0;
}

std::vector<LinearProblem> problems_of(const LinearCall& call)
{
    const Shape& shape = call.shape;
    std::vector<LinearProblem> out(static_cast<size_t>(shape.problems));
    for (size_t f = 0; f < out.size(); ++f) {
        const size_t first = f * static_cast<size_t>(shape.count);
        out[f] = {call.vectors.data() + vector_columns * first,
                  call.observed.data() + first,
                  call.sigma.given() ? call.sigma.data() + first : nullptr,
                  call.scale.given() ? call.scale.data() + first : nullptr,
                  static_cast<int>(shape.count),
                  call.offset};
    }
    return out;
}

// The refusal of a row that a worker's checks found: the check that found
// it, run again here over that row alone, raises it with the words (and
// the InputError's fault) it raises for a fit. Should the caller's array
// have changed since (another thread writing into it), the row may pass
// now, and the call fails all the same.
int refuse_fault(const LinearProblem& problem, const LinearFault& fault)
{
    const Refusal how = Refusal::structured;
    const Py_ssize_t row = fault.row;
    const auto at = static_cast<size_t>(fault.row);
    const double* sigma = problem.sigma != nullptr ? problem.sigma + at : nullptr;
    int refused = 0;
    switch (fault.check) {
    case LinearCheck::vectors: {
        const double* vector = problem.vectors + vector_columns * at;
        float narrowed[vector_columns];
        refused = narrow_fit_rows(&vector, 1, narrowed, how, row);
        break;
    }
    case LinearCheck::observed:
        refused = check_finite_values(problem.observed + at, 1, "observed", how, row);
        break;
    case LinearCheck::sigma:
        refused = check_row_factors(sigma, 1, "sigma", true, how, row);
        break;
    case LinearCheck::scale:
        refused = check_row_factors(problem.scale + at, 1, "scale", false, how, row);
        break;
    case LinearCheck::weighted:
    case LinearCheck::none:
        refused = check_weighted_observed(problem.observed + at, sigma, 1, row);
        break;
    }
    if (refused == 0) {
        PyErr_Format(PyExc_ValueError, "row %zd changed while the call read it", row);
    }
    return -1;
}

// The call's refusal, if any: the lowest problem the checks refused (they
// go first, as when every problem was checked before any was solved), else
// a ValueError for the first problem whose directions do not determine the
// tensor, saying whether the rank or the condition number failed.
int check_solved(const Shape& shape, const std::vector<LinearProblem>& problems,
                 const std::vector<LinearSolution>& solutions)
{
    for (size_t f = 0; f < solutions.size(); ++f) {
        if (solutions[f].status == LinearStatus::refused) {
            refuse_fault(problems[f], solutions[f].fault);
            name_stacked_problem(shape, static_cast<Py_ssize_t>(f));
            return -1;
        }
    }
    for (size_t f = 0; f < solutions.size(); ++f) {
        if (solutions[f].status == LinearStatus::solved) {
            continue;
        }
        refuse_unsolved(solutions[f], shape.count);
        name_stacked_problem(shape, static_cast<Py_ssize_t>(f));
        return -1;
    }
    return 0;
}

// A new float64 array: the stack's leading axis (when there is one), then
// `dims` more.
PyObject* new_doubles(const Shape& shape, int dims, const npy_intp* extent)
{
    npy_intp full[3];
    int at = 0;
    if (shape.stacked) {
        full[at++] = shape.problems;
    }
    for (int d = 0; d < dims; ++d) {
        full[at++] = extent[d];
    }
    return PyArray_SimpleNew(at, full, NPY_DOUBLE);
}

PyObject* linear_result(const Shape& shape, const std::vector<LinearSolution>& solutions,
                        PyRef& values)
{
    const npy_intp six = param_count, three[2] = {3, 3};
    PyRef params(new_doubles(shape, 1, &six));
    PyRef matrices(params ? new_doubles(shape, 2, three) : nullptr);
    PyRef costs(matrices ? (shape.stacked ? new_doubles(shape, 0, nullptr)
                                          : PyFloat_FromDouble(solutions[0].cost))
                         : nullptr);
    PyRef result(costs ? PyStructSequence_New(linear_result_type) : nullptr);
    if (!result) {
        return nullptr;
    }
    double* p = vector_data(params.array());
    double* m = vector_data(matrices.array());
    for (const LinearSolution& s : solutions) {
        for (int k = 0; k < param_count; ++k) {
            *p++ = s.params[k];
        }
        for (const auto& row : s.order_matrix) {
            for (const double element : row) {
                *m++ = element;
            }
        }
    }
    if (shape.stacked) {
        double* c = vector_data(costs.array());
        for (const LinearSolution& s : solutions) {
            *c++ = s.cost;
        }
    }
    PyStructSequence_SetItem(result.get(), 0, params.release());
    PyStructSequence_SetItem(result.get(), 1, matrices.release());
    PyStructSequence_SetItem(result.get(), 2, values.release());
    PyStructSequence_SetItem(result.get(), 3, costs.release());
    return result.release();
}

}  // namespace

int check_weighted_observed(const double* observed, const double* sigma, Py_ssize_t count,
                            Py_ssize_t numbered_from)
{
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!weighted_observed_usable(observed[i], sigma != nullptr ? sigma + i : nullptr)) {
            // "/ sigma" opens the reason, so that a message made from the
            // fault ("observed value of row 7 / sigma is ...") keeps it.
            const Py_ssize_t row = numbered_from + i;
            char subject[64];
            std::snprintf(subject, sizeof subject, "observed[%zd]", row);
            return refuse(Refusal::structured, {"observed", row, -1}, subject,
                          "%sis too large for the linear solve: at most 2^480 in magnitude",
                          sigma != nullptr ? "/ sigma " : "");
        }
    }
    return 0;
}

int refuse_unsolved(const LinearSolution& s, Py_ssize_t count)
{
    if (s.status == LinearStatus::rank_deficient) {
        PyErr_Format(PyExc_ValueError,
                     "the vector directions do not determine the tensor: the weighted "
                     "design has rank %d of the %d needed (%zd vectors)",
                     s.rank, s.unknowns, count);
    } else {
        PyErr_Format(PyExc_ValueError,
                     "the vector directions do not determine the tensor: the weighted "
                     "design's condition number %s exceeds the limit %s",
                     number_text(s.condition, rough_digits).text,
                     number_text(linear_condition_limit, rough_digits).text);
    }
    return -1;
}

int linear_result_type_ready(PyObject* module)
{
    if (linear_result_type == nullptr) {
        linear_result_type = PyStructSequence_NewType(&linear_result_desc);
        if (linear_result_type == nullptr) {
            return -1;
        }
    }
    Py_INCREF(linear_result_type);
    if (PyModule_AddObject(module, "LinearResult",
                           reinterpret_cast<PyObject*>(linear_result_type)) < 0) {
        Py_DECREF(linear_result_type);
        return -1;
    }
    return 0;
}

namespace {

// One small problem on the calling thread, holding the lock: its rows
// checked as they are read, then solved, with the bits and refusals of
// the same problem in a stack.
PyObject* small_problem(LinearCall& call, PyRef& values)
{
    InterruptCheck never = {nullptr, nullptr, 0};
    copy_problem(call, 0, never);
    const std::vector<LinearProblem> problems = problems_of(call);
    std::vector<LinearSolution> solutions(1);
    LinearSolution& solution = solutions[0];
    if (check_linear_problem(problems[0], solution.fault) == LinearStatus::refused) {
        refuse_fault(problems[0], solution.fault);
        return nullptr;
    }
    std::unique_ptr<double[]> work(new double[linear_work_size(problems[0].count)]);
    solution = solve_linear(problems[0], work.get(), vector_data(values.array()));
    if (solution.status != LinearStatus::solved) {
        refuse_unsolved(solution, call.shape.count);
        return nullptr;
    }
    return linear_result(call.shape, solutions, values);
}

}  // namespace

PyObject* kelfit_linear(PyObject* /*self*/, PyObject* args, PyObject* kwargs)
{
    try {
        LinearCall call;
        if (accept_linear(args, kwargs, call) != 0) {
            return nullptr;
        }
        const Shape& shape = call.shape;
        const npy_intp rows = shape.count;
        PyRef values(new_doubles(shape, 1, &rows));
        if (!values) {
            return nullptr;
        }
        if (!shape.stacked && shape.count < linear_locked_rows) {
            return small_problem(call, values);
        }
        const std::vector<LinearProblem> problems = problems_of(call);
        std::vector<LinearSolution> solutions(problems.size());
        LinearStackRun run(problems.data(), static_cast<int>(problems.size()), call.workers,
                           vector_data(values.array()), solutions.data(), true);
        // Ctrl-C: asked directly while what is not read in place is copied
        // under the lock, then through the poll while the problems are
        // checked and solved without it (run.finish asks on this thread only).
        SignalPoll poll = signal_poll_start();
        InterruptCheck locked = signal_check_locked(poll);
        if (copy_and_release(call, run, locked) != 0) {
            return nullptr;
        }
        const InterruptCheck unlocked = signal_check_unlocked(poll);
        signal_poll_release(poll);
        const bool solved = run.finish({unlocked.stop, unlocked.context, signal_poll_interval});
        signal_poll_reacquire(poll);
        if (!solved) {
            return nullptr;  // the signal handler's exception is set
        }
        if (check_solved(shape, problems, solutions) != 0) {
            return nullptr;
        }
        return linear_result(shape, solutions, values);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
