// kelfit.replicates: Monte Carlo and bootstrap replicates of a linear fit.
// The caller's arrays are copied and checked once; the replicates run
// without the interpreter's lock on the threads asked for, and write into
// arrays made before the lock is given up.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "module/bridge.h"
#include "replicates/replicates.h"

namespace {

constexpr int coordinates = 3;
// More threads than this would only queue for the processor's cores.
constexpr Py_ssize_t max_replicate_workers = 1024;
// The largest rms tilt taken, in degrees. A tilt is a pair of normal
// deviates times rms / sqrt 2 (radians), so below normal_pair_radius_bound
// rms radians: for 10^6 degrees, 2.1e5 radians, well inside the range of
// portable_sin and portable_cos. Larger angles only wrap around.
constexpr double max_structure_noise_degrees = 1e6;
static_assert(normal_pair_radius_bound * max_structure_noise_degrees * radians_per_degree <
                  max_reduced_argument,
              "every tilt within the range of the portable sine");

PyTypeObject* replicates_result_type = nullptr;

PyStructSequence_Field replicates_result_fields[] = {
    {"params", "each replicate's optimum as kelfit.linear gives it (count x 6)"},
    {"order_matrix", "each replicate's traceless symmetric A (count x 3 x 3)"},
    {"axes", "each replicate's principal axes x, y, z as rows, the frame of its params "
             "(count x 3 x 3)"},
    {"draws", "the draws each replicate made (bootstrap: 1 unless a draw did not "
              "determine the tensor)"},
    {nullptr, nullptr},
};

PyStructSequence_Desc replicates_result_desc = {
    "kelfit.ReplicatesResult",
    "Result of kelfit.replicates: (params, order_matrix, axes, draws), one entry per "
    "replicate.",
    replicates_result_fields,
    4,
};

// An argument as a private C-contiguous float64 copy of `dims` dimensions
// (any when dims is 0): a new reference, or NULL with an exception naming it.
PyObject* owned_doubles(PyObject* object, const char* name, int dims)
{
    PyObject* array = reinterpret_cast<PyObject*>(
        real_array(object, name, NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY));
    if (array == nullptr) {
        return nullptr;
    }
    const int got = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array));
    if (got != dims) {
        Py_DECREF(array);
        PyErr_Format(PyExc_ValueError, "%s must be %d-dimensional, got %d dimensions", name,
                     dims, got);
        return nullptr;
    }
    return array;
}

// One value per row: a private copy, or NULL with an exception.
PyObject* owned_rows(PyObject* object, const char* name, Py_ssize_t count)
{
    PyRef array(owned_doubles(object, name, 1));
    if (array && PyArray_DIM(array.array(), 0) != count) {
        PyErr_Format(PyExc_ValueError, "%s must hold %zd values (one per vector), got %zd",
                     name, count, static_cast<Py_ssize_t>(PyArray_DIM(array.array(), 0)));
        return nullptr;
    }
    return array.release();
}

// The rows of `count` vectors (x, y, z side by side) as a fit takes them.
int check_vectors(const double* vectors, Py_ssize_t count)
{
    std::vector<const double*> rows(static_cast<size_t>(count));
    std::vector<float> narrowed(coordinates * static_cast<size_t>(count));
    for (size_t i = 0; i < rows.size(); ++i) {
        rows[i] = vectors + coordinates * i;
    }
    return narrow_fit_rows(rows.data(), count, narrowed.data(), Refusal::structured);
}

int check_noise(const double* noise, Py_ssize_t count)
{
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!(std::isfinite(noise[i]) && noise[i] >= 0.0)) {
            PyErr_Format(PyExc_ValueError,
                         "noise[%zd] must be a finite standard deviation >= 0", i);
            return -1;
        }
    }
    return 0;
}

// Everything kelfit.replicates reads: the arrays held for the call.
struct ReplicatesCall {
    PyRef vectors, observed, noise, sigma, scale, vector_sets;
    ReplicateSetup setup = {};
    std::uint64_t first = 0;
    std::int64_t count = 0;
    int workers = 1;
    bool drawn = false;
};

const double* data_of(const PyRef& array)
{
    return array ? static_cast<const double*>(PyArray_DATA(array.array())) : nullptr;
}

int accept_arrays(PyObject* vectors, PyObject* observed, PyObject* noise, PyObject* sigma,
                  PyObject* scale, PyObject* vector_sets, ReplicatesCall& call)
{
    call.vectors.reset(owned_doubles(vectors, "vectors", 2));
    if (!call.vectors) {
        return -1;
    }
    const Py_ssize_t count = PyArray_DIM(call.vectors.array(), 0);
    if (PyArray_DIM(call.vectors.array(), 1) != coordinates || count < 1 ||
        count > INT32_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "vectors must be N x 3 with 1 <= N <= %d, got %zd x %zd", INT32_MAX, count,
                     static_cast<Py_ssize_t>(PyArray_DIM(call.vectors.array(), 1)));
        return -1;
    }
    // An optional argument: held when given; false when given but refused.
    auto take = [count](PyObject* object, const char* name, PyRef& out) {
        if (object != Py_None) {
            out.reset(owned_rows(object, name, count));
            return static_cast<bool>(out);
        }
        return true;
    };
    call.observed.reset(owned_rows(observed, "observed", count));
    if (!call.observed || !take(noise, "noise", call.noise) ||
        !take(sigma, "sigma", call.sigma) || !take(scale, "scale", call.scale)) {
        return -1;
    }
    ReplicateSetup& setup = call.setup;
    setup.count = static_cast<int>(count);
    setup.vectors = data_of(call.vectors);
    setup.observed = data_of(call.observed);
    setup.noise = data_of(call.noise);
    setup.sigma = data_of(call.sigma);
    setup.scale = data_of(call.scale);
    if (check_vectors(setup.vectors, count) != 0 ||
        check_finite_values(setup.observed, count, "observed", Refusal::structured) != 0 ||
        (setup.sigma != nullptr &&
         check_row_factors(setup.sigma, count, "sigma", true, Refusal::structured) != 0) ||
        (setup.scale != nullptr &&
         check_row_factors(setup.scale, count, "scale", false, Refusal::structured) != 0) ||
        check_weighted_observed(setup.observed, setup.sigma, count) != 0 ||
        (setup.noise != nullptr && check_noise(setup.noise, count) != 0)) {
        return -1;
    }
    if (vector_sets == Py_None) {
        return 0;
    }
    call.vector_sets.reset(owned_doubles(vector_sets, "vector_sets", 3));
    if (!call.vector_sets) {
        return -1;
    }
    PyArrayObject* sets = call.vector_sets.array();
    const Py_ssize_t models = PyArray_DIM(sets, 0);
    if (models < 1 || models > INT32_MAX || PyArray_DIM(sets, 1) != count ||
        PyArray_DIM(sets, 2) != coordinates) {
        PyErr_Format(PyExc_ValueError, "vector_sets must be M x %zd x 3 with M >= 1", count);
        return -1;
    }
    setup.vector_sets = data_of(call.vector_sets);
    setup.models = static_cast<int>(models);
    for (Py_ssize_t m = 0; m < models; ++m) {
        if (check_vectors(setup.vector_sets + coordinates * count * m, count) != 0) {
            return -1;
        }
    }
    return 0;
}

int accept_replicates(PyObject* args, PyObject* kwargs, ReplicatesCall& call)
{
    static const char* keywords[] = {
        "vectors", "observed", "seed",     "first",        "count",           "perturbation",
        "noise",   "sigma",    "scale",    "offset",       "vector_sets",     "structure_noise",
        "draws",   "workers",  "drawn",    nullptr};
    PyObject *vectors, *observed, *seed = nullptr;
    PyObject *noise = Py_None, *sigma = Py_None, *scale = Py_None, *vector_sets = Py_None;
    long long first = 0, count = 1;
    const char* perturbation = "noise";
    int offset = 0, drawn = 0;
    double structure_noise = 0.0;
    int draws = 1;
    Py_ssize_t workers = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OLLsOOOpOdinp:replicates",
                                     const_cast<char**>(keywords), &vectors, &observed, &seed,
                                     &first, &count, &perturbation, &noise, &sigma, &scale,
                                     &offset, &vector_sets, &structure_noise, &draws, &workers,
                                     &drawn)) {
        return -1;
    }
    if (seed == nullptr) {
        PyErr_SetString(PyExc_TypeError, "replicates() needs the keyword argument seed");
        return -1;
    }
    ReplicateSetup& setup = call.setup;
    if (std::strcmp(perturbation, "noise") == 0) {
        setup.perturbation = Perturbation::noise;
        if (noise == Py_None) {
            PyErr_SetString(PyExc_ValueError, "perturbation 'noise' needs noise (one sd per row)");
            return -1;
        }
    } else if (std::strcmp(perturbation, "bootstrap") == 0) {
        setup.perturbation = Perturbation::bootstrap;
    } else {
        PyErr_Format(PyExc_ValueError,
                     "perturbation must be 'noise' or 'bootstrap', got '%s'", perturbation);
        return -1;
    }
    const unsigned long long key = PyLong_AsUnsignedLongLong(seed);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "seed must be an integer from 0 to 2^64 - 1");
        return -1;
    }
    setup.key[0] = static_cast<std::uint32_t>(key);
    setup.key[1] = static_cast<std::uint32_t>(key >> 32);
    if (first < 0 || count < 0 || count > std::numeric_limits<long long>::max() - first) {
        PyErr_Format(PyExc_ValueError,
                     "first and count must be >= 0 with first + count < 2^63, got %lld and %lld",
                     first, count);
        return -1;
    }
    if (!(structure_noise >= 0.0 && structure_noise <= max_structure_noise_degrees)) {
        PyErr_Format(PyExc_ValueError,
                     "structure_noise must be a finite angle from 0 to %s degrees",
                     number_text(max_structure_noise_degrees, rough_digits).text);
        return -1;
    }
    if (draws < 1) {
        PyErr_Format(PyExc_ValueError, "draws must be at least 1, got %d", draws);
        return -1;
    }
    if (workers < 1 || workers > max_replicate_workers) {
        PyErr_Format(PyExc_ValueError, "workers must be between 1 and %zd, got %zd",
                     max_replicate_workers, workers);
        return -1;
    }
    if (drawn != 0 && count != 1) {
        PyErr_Format(PyExc_ValueError, "drawn=True gives one replicate's data: count must be 1, "
                     "got %lld", count);
        return -1;
    }
    setup.offset = offset != 0;
    setup.tilt_sd = tilt_sd_of(structure_noise);
    setup.draws = draws;
    call.first = static_cast<std::uint64_t>(first);
    call.count = count;
    call.workers = static_cast<int>(workers);
    call.drawn = drawn != 0;
    return accept_arrays(vectors, observed, noise, sigma, scale, vector_sets, call);
}

// The exception of a failed replicate, naming it as a problem of a stack.
void refuse_replicate(const ReplicatesCall& call, std::int64_t index,
                      const ReplicateOutcome& outcome)
{
    switch (outcome.fault) {
    case ReplicateFault::observed_value:
        PyErr_Format(PyExc_ValueError,
                     "observed[%d] plus its noise%s is too large for the linear solve: at most "
                     "2^480 in magnitude",
                     outcome.row, call.setup.sigma != nullptr ? ", over sigma," : "");
        break;
    case ReplicateFault::tilted_vector:
        PyErr_Format(PyExc_ValueError, "vectors[%d] tilted by the structure noise is not finite",
                     outcome.row);
        break;
    default:
        refuse_unsolved(outcome.solution, call.setup.count);
        break;
    }
    name_problem(static_cast<Py_ssize_t>(index));
}

PyObject* new_doubles(std::int64_t count, int dims, npy_intp inner)
{
    npy_intp extent[3] = {static_cast<npy_intp>(count), inner, inner};
    return PyArray_SimpleNew(dims, extent, NPY_DOUBLE);
}

PyObject* copied(const double* data, int dims, const npy_intp* extent)
{
    if (data == nullptr) {
        Py_RETURN_NONE;
    }
    PyRef out(PyArray_SimpleNew(dims, const_cast<npy_intp*>(extent), NPY_DOUBLE));
    if (out) {
        std::memcpy(PyArray_DATA(out.array()), data,
                    static_cast<size_t>(PyArray_SIZE(out.array())) * sizeof(double));
    }
    return out.release();
}

// drawn=True: the data replicate `first` solved, as
// (vectors, observed, sigma, scale), the last two None where not given.
PyObject* drawn_data(const ReplicatesCall& call)
{
    ReplicateWork work(call.setup);
    const ReplicateOutcome outcome = run_replicate(call.setup, call.first, work);
    if (outcome.fault != ReplicateFault::none) {
        refuse_replicate(call, static_cast<std::int64_t>(call.first), outcome);
        return nullptr;
    }
    const LinearProblem& p = work.problem;
    const npy_intp rows[2] = {p.count, coordinates};
    PyRef vectors(copied(p.vectors, 2, rows));
    PyRef observed(vectors ? copied(p.observed, 1, rows) : nullptr);
    PyRef sigma(observed ? copied(p.sigma, 1, rows) : nullptr);
    PyRef scale(sigma ? copied(p.scale, 1, rows) : nullptr);
    if (!scale) {
        return nullptr;
    }
    return PyTuple_Pack(4, vectors.get(), observed.get(), sigma.get(), scale.get());
}

}  // namespace

int replicates_result_type_ready(PyObject* module)
{
    if (replicates_result_type == nullptr) {
        replicates_result_type = PyStructSequence_NewType(&replicates_result_desc);
        if (replicates_result_type == nullptr) {
            return -1;
        }
    }
    Py_INCREF(replicates_result_type);
    if (PyModule_AddObject(module, "ReplicatesResult",
                           reinterpret_cast<PyObject*>(replicates_result_type)) < 0) {
        Py_DECREF(replicates_result_type);
        return -1;
    }
    return 0;
}

PyObject* kelfit_replicates(PyObject* /*self*/, PyObject* args, PyObject* kwargs)
{
    try {
        ReplicatesCall call;
        if (accept_replicates(args, kwargs, call) != 0) {
            return nullptr;
        }
        if (call.drawn) {
            return drawn_data(call);
        }
        const npy_intp count = static_cast<npy_intp>(call.count);
        PyRef params(new_doubles(call.count, 2, replicate_params));
        PyRef matrices(params ? new_doubles(call.count, 3, coordinates) : nullptr);
        PyRef axes(matrices ? new_doubles(call.count, 3, coordinates) : nullptr);
        PyRef draws(axes ? PyArray_SimpleNew(1, const_cast<npy_intp*>(&count), NPY_INT32)
                         : nullptr);
        PyRef result(draws ? PyStructSequence_New(replicates_result_type) : nullptr);
        if (!result) {
            return nullptr;
        }
        const ReplicateOutputs out = {
            static_cast<double*>(PyArray_DATA(params.array())),
            static_cast<double*>(PyArray_DATA(matrices.array())),
            static_cast<double*>(PyArray_DATA(axes.array())),
            static_cast<std::int32_t*>(PyArray_DATA(draws.array())),
        };
        ReplicateFailure failure = {-1, {}};
        if (call.count > 0) {
            bool failed = false, interrupted = false;
            SignalPoll poll = signal_poll_start();
            const InterruptCheck check = signal_check_unlocked(poll);
            const ReplicateStop stop = {check.stop, check.context, signal_poll_interval};
            signal_poll_release(poll);
            try {
                failure = run_replicates(call.setup, call.first, call.count, call.workers, out,
                                         stop);
            } catch (const std::bad_alloc&) {
                failed = true;
            } catch (const ReplicatesInterrupted&) {
                interrupted = true;
            }
            signal_poll_reacquire(poll);
            if (interrupted) {
                return nullptr;  // the signal handler's exception is set
            }
            if (failed) {
                return PyErr_NoMemory();
            }
        }
        if (failure.index >= 0) {
            refuse_replicate(call, failure.index, failure.outcome);
            return nullptr;
        }
        PyStructSequence_SetItem(result.get(), 0, params.release());
        PyStructSequence_SetItem(result.get(), 1, matrices.release());
        PyStructSequence_SetItem(result.get(), 2, axes.release());
        PyStructSequence_SetItem(result.get(), 3, draws.release());
        return result.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
