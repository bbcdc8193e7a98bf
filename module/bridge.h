// The interpreter boundary: NumPy's API, the array bridge that turns checked
// arrays into plain pointers for the numeric code, and the entry functions
// that the method table registers.
#ifndef KELFIT_BRIDGE_H
#define KELFIT_BRIDGE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// One table of NumPy's API for the whole module; only the module
// initialiser's translation unit defines and fills it.
#define PY_ARRAY_UNIQUE_SYMBOL kelfit_ARRAY_API
#ifndef KELFIT_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

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

// --- Entries ------------------------------------------------------------------

PyObject* c_kel_fit(PyObject* self, PyObject* args);
PyObject* c_kf_fdc(PyObject* self, PyObject* args);
PyObject* c_solve(PyObject* self, PyObject* args);

#endif
