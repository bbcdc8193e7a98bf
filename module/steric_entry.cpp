// kelfit.steric: the order matrix of a molecule in a steric medium, charged
// or not; kelfit.wall_potential: the charged surface's potential. The
// caller's coordinates and radii are copied into memory of our own; the
// average over orientations runs without the interpreter's lock, on as many
// threads as asked for (every core by default), while this thread polls for
// Ctrl-C: a signal handler that raises stops the workers and the call raises
// its exception.
#include <cmath>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "module/bridge.h"
#include "steric/steric.h"

namespace {

constexpr int coordinate_columns = 3;
// More orientations than this would take minutes and gain nothing.
constexpr Py_ssize_t max_orientations = 100000000;
constexpr Py_ssize_t default_orientations = 20000;
// The longest shape name a refusal repeats.
constexpr std::size_t max_echoed_shape = 40;

// The molecule as runs of our own.
struct Molecule {
    std::vector<double> x, y, z, radius;
};

// `object` as a C-ordered float64 array of `dims` dimensions: a new
// reference, or NULL with ValueError naming the argument and what it must be
// (any exception that is not the argument's fault as it was raised).
PyObject* float_array(PyObject* object, int dims, const char* name, const char* expected)
{
    PyObject* array = PyArray_FROMANY(object, NPY_DOUBLE, dims, dims, NPY_ARRAY_IN_ARRAY);
    if (array == nullptr && conversion_refused()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be %s", name, expected);
    }
    return array;
}

// Reads coordinates (N x 3) and radii (N) into `molecule`; 0, or -1 with
// ValueError naming the argument.
int read_molecule(PyObject* coordinates, PyObject* radii, Molecule* molecule)
{
    PyRef xyz(float_array(coordinates, 2, "coordinates", "an N x 3 array of numbers"));
    if (!xyz) {
        return -1;
    }
    const npy_intp count = PyArray_DIM(xyz.array(), 0);
    if (PyArray_DIM(xyz.array(), 1) != coordinate_columns || count < 1) {
        PyErr_Format(PyExc_ValueError,
                     "coordinates must be an N x 3 array with N >= 1, got %zd x %zd",
                     static_cast<Py_ssize_t>(count),
                     static_cast<Py_ssize_t>(PyArray_DIM(xyz.array(), 1)));
        return -1;
    }
    PyRef r(float_array(radii, 1, "radii", "a 1-D array of numbers"));
    if (!r) {
        return -1;
    }
    if (PyArray_DIM(r.array(), 0) != count) {
        PyErr_Format(PyExc_ValueError, "radii must hold one value per atom (%zd), got %zd",
                     static_cast<Py_ssize_t>(count),
                     static_cast<Py_ssize_t>(PyArray_DIM(r.array(), 0)));
        return -1;
    }
    const double* p = static_cast<const double*>(PyArray_DATA(xyz.array()));
    const double* q = static_cast<const double*>(PyArray_DATA(r.array()));
    const size_t n = static_cast<size_t>(count);
    molecule->x.resize(n);
    molecule->y.resize(n);
    molecule->z.resize(n);
    molecule->radius.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const double* row = p + coordinate_columns * i;
        if (!(std::isfinite(row[0]) && std::isfinite(row[1]) && std::isfinite(row[2]))) {
            PyErr_Format(PyExc_ValueError, "coordinates[%zd] must be finite",
                         static_cast<Py_ssize_t>(i));
            return -1;
        }
        if (!(std::isfinite(q[i]) && q[i] >= 0.0)) {
            PyErr_Format(PyExc_ValueError, "radii[%zd] must be finite and not negative",
                         static_cast<Py_ssize_t>(i));
            return -1;
        }
        molecule->x[i] = row[0];
        molecule->y[i] = row[1];
        molecule->z[i] = row[2];
        molecule->radius[i] = q[i];
    }
    return 0;
}

// The medium from its keywords; 0, or -1 with ValueError naming the argument.
int read_medium(const char* shape, double spacing, double cylinder_radius,
                StericMedium* medium)
{
    if (std::strcmp(shape, "wall") == 0) {
        medium->shape = StericShape::wall;
    } else if (std::strcmp(shape, "cylinder") == 0) {
        medium->shape = StericShape::cylinder;
    } else {
        // A long name is not echoed whole: the message stays one short line.
        if (std::strlen(shape) > max_echoed_shape) {
            PyErr_Format(PyExc_ValueError,
                         "shape must be 'wall' or 'cylinder', got a name of %zu characters",
                         std::strlen(shape));
        } else {
            PyErr_Format(PyExc_ValueError, "shape must be 'wall' or 'cylinder', got '%s'", shape);
        }
        return -1;
    }
    if (!(std::isfinite(spacing) && spacing > 0.0)) {
        PyErr_SetString(PyExc_ValueError,
                        "spacing must be given, finite and positive (angstrom between "
                        "walls, angstrom^2 of cross-section per cylinder)");
        return -1;
    }
    if (medium->shape == StericShape::cylinder &&
        !(std::isfinite(cylinder_radius) && cylinder_radius > 0.0)) {
        PyErr_SetString(PyExc_ValueError,
                        "cylinder_radius must be finite and positive for shape 'cylinder'");
        return -1;
    }
    medium->spacing = spacing;
    medium->cylinder_radius = cylinder_radius;
    return 0;
}

// Each atom's charge (e) into `charge`; 0, or -1 with ValueError naming the
// argument.
int read_charges(PyObject* charges, std::size_t count, std::vector<double>* charge)
{
    PyRef q(float_array(charges, 1, "charges", "a 1-D array of numbers"));
    if (!q) {
        return -1;
    }
    if (static_cast<std::size_t>(PyArray_DIM(q.array(), 0)) != count) {
        PyErr_Format(PyExc_ValueError, "charges must hold one value per atom (%zd), got %zd",
                     static_cast<Py_ssize_t>(count),
                     static_cast<Py_ssize_t>(PyArray_DIM(q.array(), 0)));
        return -1;
    }
    const double* p = static_cast<const double*>(PyArray_DATA(q.array()));
    charge->resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(p[i])) {
            PyErr_Format(PyExc_ValueError, "charges[%zd] must be finite",
                         static_cast<Py_ssize_t>(i));
            return -1;
        }
        (*charge)[i] = p[i];
    }
    return 0;
}

// The field from its keywords (every one needed once there are charges);
// 0, or -1 with ValueError naming the argument.
int read_field(const StericField& field)
{
    if (!std::isfinite(field.charge_density)) {
        PyErr_SetString(PyExc_ValueError, "charge_density must be finite (e/nm^2)");
        return -1;
    }
    const struct {
        double value;
        const char* message;
    } positive[] = {
        {field.ionic_strength, "ionic_strength must be given, finite and positive (mM)"},
        {field.temperature, "temperature must be given, finite and positive (K)"},
        {field.permittivity, "permittivity must be given, finite and positive (relative)"},
    };
    for (const auto& p : positive) {
        if (!(std::isfinite(p.value) && p.value > 0.0)) {
            PyErr_SetString(PyExc_ValueError, p.message);
            return -1;
        }
    }
    return 0;
}

int worker_count(Py_ssize_t workers)
{
    if (workers > 0) {
        return static_cast<int>(workers);
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

PyObject* order_array(const StericOrder& result)
{
    npy_intp dims[2] = {coordinate_columns, coordinate_columns};
    PyRef out(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    if (!out) {
        return nullptr;
    }
    double* data = static_cast<double*>(PyArray_DATA(out.array()));
    for (int i = 0; i < coordinate_columns; ++i) {
        for (int j = 0; j < coordinate_columns; ++j) {
            data[coordinate_columns * i + j] = result.order[i][j];
        }
    }
    return out.release();
}

}  // namespace

PyObject* kelfit_steric(PyObject* /*self*/, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {
        "coordinates",    "radii",       "shape",        "spacing",
        "cylinder_radius", "orientations", "workers",      "charges",
        "charge_density", "ionic_strength", "temperature", "permittivity",
        nullptr};
    PyObject* coordinates = nullptr;
    PyObject* radii = nullptr;
    const char* shape = "wall";
    double spacing = NAN;
    double cylinder_radius = 0.0;
    Py_ssize_t orientations = default_orientations;
    Py_ssize_t workers = 0;
    PyObject* charges = Py_None;
    StericField field = {0.0, NAN, NAN, NAN};
    PyObject* given[3] = {Py_None, Py_None, Py_None};  // ionic strength, temperature, permittivity
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$sddnnOdOOO",
                                     const_cast<char**>(keywords), &coordinates, &radii,
                                     &shape, &spacing, &cylinder_radius, &orientations,
                                     &workers, &charges, &field.charge_density, &given[0],
                                     &given[1], &given[2])) {
        return nullptr;
    }
    double* slots[3] = {&field.ionic_strength, &field.temperature, &field.permittivity};
    static const char* const slot_names[3] = {"ionic_strength", "temperature",
                                              "permittivity"};
    for (int k = 0; k < 3; ++k) {
        if (given[k] == Py_None) {
            continue;  // NAN: refused below if there are charges
        }
        *slots[k] = PyFloat_AsDouble(given[k]);
        if (*slots[k] == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
                return nullptr;
            }
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s must be a number or None", slot_names[k]);
            return nullptr;
        }
    }
    if (orientations < 1 || orientations > max_orientations) {
        PyErr_Format(PyExc_ValueError, "orientations must be between 1 and %zd, got %zd",
                     max_orientations, orientations);
        return nullptr;
    }
    if (workers < 0 || workers > max_steric_workers) {
        PyErr_Format(PyExc_ValueError,
                     "workers must be between 0 (every core) and %d, got %zd",
                     max_steric_workers, workers);
        return nullptr;
    }
    StericMedium medium{};
    if (read_medium(shape, spacing, cylinder_radius, &medium) != 0) {
        return nullptr;
    }
    const bool charged = charges != Py_None;
    if (!charged && field.charge_density != 0.0) {
        PyErr_SetString(PyExc_ValueError, "charge_density needs charges (one per atom)");
        return nullptr;
    }
    if (charged && read_field(field) != 0) {
        return nullptr;
    }
    StericOrder result{};
    try {
        Molecule molecule;
        if (read_molecule(coordinates, radii, &molecule) != 0) {
            return nullptr;
        }
        std::vector<double> charge;
        if (charged && read_charges(charges, molecule.x.size(), &charge) != 0) {
            return nullptr;
        }
        const StericAtoms atoms = {molecule.x.data(), molecule.y.data(), molecule.z.data(),
                                   molecule.radius.data(), molecule.x.size()};
        const int threads = worker_count(workers);
        bool failed = false;
        bool interrupted = false;
        SignalPoll poll = signal_poll_start();
        const InterruptCheck check = signal_check_unlocked(poll);
        const StericStop stop = {check.stop, check.context, signal_poll_interval};
        signal_poll_release(poll);
        try {
            const size_t count = static_cast<size_t>(orientations);
            result = charged ? charged_order(atoms, charge.data(), field, medium, count,
                                             threads, stop)
                             : steric_order(atoms, medium, count, threads, stop);
        } catch (const std::bad_alloc&) {
            failed = true;
        } catch (const StericInterrupted&) {
            interrupted = true;
        }
        signal_poll_reacquire(poll);
        if (interrupted) {
            return nullptr;  // the signal handler's exception is set
        }
        if (failed) {
            return PyErr_NoMemory();
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!std::isfinite(result.allowed)) {
        PyErr_SetString(PyExc_ValueError,
                        "the charges bind the molecule to the medium: its Boltzmann "
                        "factor overflows (lower charge_density or raise ionic_strength)");
        return nullptr;
    }
    if (!(result.allowed > 0.0)) {
        PyErr_SetString(PyExc_ValueError,
                        "spacing leaves the molecule no room: no orientation fits the medium");
        return nullptr;
    }
    PyRef order(order_array(result));
    if (!order) {
        return nullptr;
    }
    return Py_BuildValue("(Od)", order.get(), result.allowed);
}

PyObject* kelfit_wall_potential(PyObject* /*self*/, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"distances",      "charge_density", "ionic_strength",
                                     "temperature",    "permittivity",   nullptr};
    PyObject* distances = nullptr;
    StericField field = {NAN, NAN, NAN, NAN};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$dddd", const_cast<char**>(keywords),
                                     &distances, &field.charge_density,
                                     &field.ionic_strength, &field.temperature,
                                     &field.permittivity)) {
        return nullptr;
    }
    if (read_field(field) != 0) {
        return nullptr;
    }
    PyRef s(float_array(distances, 1, "distances", "a 1-D array of numbers"));
    if (!s) {
        return nullptr;
    }
    const npy_intp count = PyArray_DIM(s.array(), 0);
    const double* d = static_cast<const double*>(PyArray_DATA(s.array()));
    for (npy_intp i = 0; i < count; ++i) {
        if (!(std::isfinite(d[i]) && d[i] >= 0.0)) {
            PyErr_Format(PyExc_ValueError, "distances[%zd] must be finite and not negative",
                         static_cast<Py_ssize_t>(i));
            return nullptr;
        }
    }
    PyRef out(PyArray_SimpleNew(1, &count, NPY_DOUBLE));
    if (!out) {
        return nullptr;
    }
    double* y = static_cast<double*>(PyArray_DATA(out.array()));
    const Screening screen = screening(field);
    for (npy_intp i = 0; i < count; ++i) {
        y[i] = reduced_potential(screen, d[i]);
    }
    return Py_BuildValue("(Odd)", out.get(), debye_length(field), surface_potential(field));
}

int steric_constants_ready(PyObject* module)
{
    return PyModule_AddIntConstant(module, "steric_max_orientations",
                                   static_cast<long>(max_orientations));
}
