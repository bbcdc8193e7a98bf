// The interpreter boundary: NumPy's API, the array bridge that turns checked
// arrays into plain pointers for the numeric code, and the entry functions
// that the method table registers.
#ifndef KELFIT_BRIDGE_H
#define KELFIT_BRIDGE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>

// One table of NumPy's API for the whole module; only the module
// initialiser's translation unit defines and fills it.
#define PY_ARRAY_UNIQUE_SYMBOL kelfit_ARRAY_API
#ifndef KELFIT_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "fit/fit.h"

// --- Checks and pointers ----------------------------------------------------

// 0 when the array is float64 with exactly 2 (respectively 1) dimensions;
// otherwise 1 with the fixed ValueError set.
int not_doublematrix(PyArrayObject* array);
int not_doublevector(PyArrayObject* array);

// The array's data as float64 values, unchecked.
double* vector_data(PyArrayObject* array);

// n row pointers from the heap; NULL with MemoryError when they cannot be had.
double** ptrvector(Py_ssize_t n);

// Row pointers over a 2-D float64 array whose rows each hold their values
// next to each other (any row stride). NULL with MemoryError on failure.
// Release with rows_release.
double** matrix_rows(PyArrayObject* array);
void rows_release(double** rows);

// Any object as a C-contiguous, aligned, writeable float64 array of exactly
// 1 (respectively 2) dimensions: a new reference, or NULL with NumPy's
// exception set.
PyArrayObject* as_contig_vector(PyObject* object);
PyArrayObject* as_contig_matrix(PyObject* object);

// --- Converting arguments ----------------------------------------------------

// After NumPy has failed to make an array of an argument: true when the
// exception it left says only that the object is not an array of real
// numbers, so that the entry may replace it with its own message naming
// the argument. See array_bridge.cpp for the rule.
bool conversion_refused();

// `object` as a float64 array through PyArray_FromAny with `requirements`
// (any number of dimensions): a new reference, or NULL with TypeError
// "<name> must be an array of real numbers, got <type>" when the object is
// not one (conversion_refused), any other exception as it was raised.
PyArrayObject* real_array(PyObject* object, const char* name, int requirements);

// --- Argument checks shared by the entries ----------------------------------

// The vectors argument as the model reads it: a checked 2-D float64 array
// with at least three columns, and row pointers over it. `held` keeps a
// private copy alive when the caller's layout could not be read in place.
struct VectorRows {
    PyArrayObject* held;  // new reference: the array the rows point into
    double** rows;        // rows[i] -> x, y, z of vector i
    Py_ssize_t count;     // N
};

// 0 on success (release with vector_rows_release), -1 with an exception set.
int vector_rows_acquire(PyArrayObject* vectors, VectorRows* out);
int vector_rows_check(PyArrayObject* vectors);
void vector_rows_release(VectorRows* rows);

// A new reference to the float64 values of `array` in C order, aligned and
// in native byte order (the array itself when it already is). Fails with a
// ValueError naming `name` when the array is not float64 or holds fewer
// than `minimum` values.
PyArrayObject* readable_doubles(PyArrayObject* array, const char* name,
                                Py_ssize_t minimum);

// --- Ownership ----------------------------------------------------------------

// A new reference, released when it goes out of scope: every exit path of an
// entry releases what it holds without repeating the release.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* object) : object_(object) {}
    ~PyRef() { Py_XDECREF(object_); }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyObject* get() const { return object_; }
    PyArrayObject* array() const { return reinterpret_cast<PyArrayObject*>(object_); }
    explicit operator bool() const { return object_ != nullptr; }
    void reset(PyObject* object)  // takes a new reference, releases the old one
    {
        Py_XDECREF(object_);
        object_ = object;
    }
    PyObject* release()  // hands the reference to the caller
    {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

private:
    PyObject* object_ = nullptr;
};

// VectorRows released when it goes out of scope.
struct HeldRows {
    VectorRows rows = {nullptr, nullptr, 0};
    HeldRows() = default;
    ~HeldRows() { vector_rows_release(&rows); }
    HeldRows(const HeldRows&) = delete;
    HeldRows& operator=(const HeldRows&) = delete;
};

// --- Refusals (arguments.cpp) -----------------------------------------------

// What a refusal is about: the argument, and where the argument has rows
// or is the six parameters, which one (counted from 0 here; -1: none).
struct InputFault {
    const char* argument;
    Py_ssize_t row;
    int parameter;
};

// How an entry refuses input. The original entries raise ValueError with
// the message alone, as they always have. kelfit.fit and kelfit.solve raise
// kelfit.InputError (a ValueError), which also carries the fault as
// attributes, so that callers can say it in their own words without
// reading the message.
enum class Refusal { plain, structured };

// Sets the refusal "<subject> <reason>", the reason formatted as
// PyUnicode_FromFormat does. Always returns -1.
int refuse(Refusal how, const InputFault& fault, const char* subject,
           const char* reason_format, ...);

// Replaces the ValueError just raised for problem `problem` (counted from 0)
// of a stack with a kelfit.InputError "problem f: <message>" that keeps the
// original's fault and names the problem (its `problem` attribute); a plain
// ValueError (the whole problem refused) becomes one about the vectors.
// Leaves any other exception as it is.
void name_problem(Py_ssize_t problem);

// Makes kelfit.InputError and adds it to the module.
int input_error_type_ready(PyObject* module);

// --- Checks shared by the fits (arguments.cpp) ------------------------------

// A double as text for a message (PyErr_Format has no %g), to `digits`
// significant digits: exact_digits tell a float's value exactly, rough_digits
// a magnitude.
struct NumberText {
    char text[32];
};
constexpr int exact_digits = 9;
constexpr int rough_digits = 3;
NumberText number_text(double value, int digits);

// The row checks below name row i of the values they are given as row
// numbered_from + i, so that a long argument can be checked a run of rows
// at a time (polled_runs) with the messages of a check of the whole.

// Narrows every row's x, y, z side by side into narrowed (x run, y run,
// z run of count values each) and refuses a row a fit cannot use: a
// component that is not finite in single precision, a zero length, a
// length below the smallest normal float, or a length too long for single
// precision. 0, or -1 with ValueError naming the
// row.
int narrow_fit_rows(const double* const* rows, Py_ssize_t count, float* narrowed,
                    Refusal how, Py_ssize_t numbered_from = 0);

// sigma (positive) and scale (non-zero) are narrowed by a fit, so each must
// be finite and so in single precision. 0, or -1 with ValueError naming
// the row.
int check_row_factors(const double* values, Py_ssize_t count, const char* name, bool positive,
                      Refusal how, Py_ssize_t numbered_from = 0);

// -1 with ValueError "<name>[i] must be finite" at the first value that is not.
int check_finite_values(const double* values, Py_ssize_t count, const char* name,
                        Refusal how, Py_ssize_t numbered_from = 0);

// The start values a fit reads (the offset only when it enters the cost),
// and the rhombic magnitude 1.5 Da R made of them, must be finite in single
// precision. 0, or -1 with ValueError.
int check_start(const double* start, bool offset_in_cost, const char* name, Refusal how);

// Refuses a problem whose squared residuals could overflow single precision
// at the start, then (check_start_values) one whose model values could.
// 0, or -1 with ValueError.
int check_start_residuals(const FitProblem& problem, Refusal how);
int check_start_values(const FitProblem& problem, Refusal how);

// A fit whose final cost is not finite has failed, whatever Powell said:
// -1 with RuntimeError, and the caller writes nothing back.
int check_final_cost(const FitReport& report);

// The kit's fatal conditions as Python exceptions: MemoryError for an
// allocation, RuntimeError with the kit's message otherwise.
void raise_kit_failure(const KitFailure& failure);

// --- The linear solve (linear_entry.cpp) -------------------------------------

// ValueError saying why a problem of `count` rows that solve_linear did not
// solve does not determine the tensor. Always returns -1.
struct LinearSolution;
int refuse_unsolved(const LinearSolution& solution, Py_ssize_t count);

// Observed values (over sigma, where given) whose squares could overflow
// the solve's sums: -1 with kelfit.InputError (argument observed) naming
// the first, else 0.
int check_weighted_observed(const double* observed, const double* sigma, Py_ssize_t count,
                            Py_ssize_t numbered_from = 0);

// --- Ctrl-C during a computation (signals.cpp) --------------------------------

// Asks the interpreter whether a signal is pending, at most every
// signal_poll_interval; its handlers run then, and an exception they raise
// stops the computation. Without the lock (signal_check_unlocked) the poll
// takes it back for the moment: release and reacquire it through the poll.
// With the lock held (signal_check_locked, the original entries) it asks
// directly.
constexpr auto signal_poll_interval = std::chrono::milliseconds(10);
struct SignalPoll {
    PyThreadState* thread;  // this thread's state while the lock is given up
    std::chrono::steady_clock::time_point last;
};
SignalPoll signal_poll_start();
void signal_poll_release(SignalPoll& poll);    // gives up the lock
void signal_poll_reacquire(SignalPoll& poll);  // takes it back
InterruptCheck signal_check_unlocked(SignalPoll& poll);
InterruptCheck signal_check_locked(SignalPoll& poll);

// A loop over many rows that holds the lock (copying or checking an
// argument): run(first, n) over consecutive runs of at most
// interrupt_check_vectors rows that cover [0, count), check asked after
// each, so that Ctrl-C stops it within one run and one poll; the runs see
// the rows in order, as one loop over them all would. 0; -1 when a run
// fails (its exception set); polled_interrupted when check stopped the
// loop (the signal handler's exception set).
constexpr int polled_interrupted = -2;
template <typename Run>
int polled_runs(Py_ssize_t count, InterruptCheck& check, Run run)
{
    const Py_ssize_t most = interrupt_check_vectors;
    for (Py_ssize_t first = 0; first < count; first += most) {
        const Py_ssize_t n = count - first < most ? count - first : most;
        if (run(first, n) != 0) {
            return -1;
        }
        if (interrupt_requested(check, static_cast<int>(n))) {
            return polled_interrupted;
        }
    }
    return 0;
}

// --- Entries ------------------------------------------------------------------

PyObject* c_kel_fit(PyObject* self, PyObject* args);
PyObject* c_kf_fdc(PyObject* self, PyObject* args);
PyObject* c_solve(PyObject* self, PyObject* args);
PyObject* kelfit_fit(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kelfit_solve(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kelfit_linear(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kelfit_tensor_rows(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kelfit_linear_rows(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kelfit_steric(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kelfit_wall_potential(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kelfit_replicates(PyObject* self, PyObject* args, PyObject* kwargs);

// The type of kelfit.fit's result, made when the module is executed.
int fit_result_type_ready(PyObject* module);
// The type of kelfit.linear's result, likewise.
int linear_result_type_ready(PyObject* module);
// The type of kelfit.replicates' result, likewise.
int replicates_result_type_ready(PyObject* module);

// kelfit.steric_max_orientations: the most orientations kelfit.steric
// takes, so that a caller can refuse more before it reads a structure.
int steric_constants_ready(PyObject* module);

#endif
