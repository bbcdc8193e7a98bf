// The module kelfit: its method table and initialiser.
#define KELFIT_DEFINES_NUMPY_API
#include "module/bridge.h"

namespace {

const char* const numpy_import_message = "numpy.core.multiarray failed to import";

// Binds NumPy's API. On failure the underlying error is printed and the
// import fails with our own ImportError.
int kelfit_exec(PyObject* /*module*/)
{
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, numpy_import_message);
        return -1;
    }
    return 0;
}

PyMethodDef kelfit_methods[] = {
    {"c_kel_fit", c_kel_fit, METH_VARARGS, nullptr},
    {"c_kf_fdc", c_kf_fdc, METH_VARARGS, nullptr},
    {"c_solve", c_solve, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kelfit_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(kelfit_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // The fit state is process-wide: one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Calls rely on the global interpreter lock to run one at a time.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef kelfit_module = {
    PyModuleDef_HEAD_INIT,
    "kelfit",        // name
    nullptr,         // no documentation string
    0,               // no per-module state: the fit state is process-wide
    kelfit_methods,  // methods
    kelfit_slots,    // slots
    nullptr,         // traverse
    nullptr,         // clear
    nullptr,         // free
};

}  // namespace

PyMODINIT_FUNC PyInit_kelfit(void)
{
    return PyModuleDef_Init(&kelfit_module);
}
