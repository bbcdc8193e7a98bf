// The module kelfit: its method table and initialiser.
#define KELFIT_DEFINES_NUMPY_API
#include "module/bridge.h"

#include "fit/fit.h"

namespace {

const char* const numpy_import_message = "numpy.core.multiarray failed to import";

// Binds NumPy's API. On failure the underlying error is printed and the
// import fails with our own ImportError. value_kernel names the model kernel
// in use, so a forced one (KELFIT_KERNEL) can be seen to have taken.
int kelfit_exec(PyObject* module)
{
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, numpy_import_message);
        return -1;
    }
    if (PyModule_AddStringConstant(module, "value_kernel",
                                   value_kernel_name(active_value_kernel())) != 0) {
        return -1;
    }
    if (input_error_type_ready(module) != 0) {
        return -1;
    }
    if (linear_result_type_ready(module) != 0 || replicates_result_type_ready(module) != 0 ||
        steric_constants_ready(module) != 0) {
        return -1;
    }
    return fit_result_type_ready(module);
}

PyDoc_STRVAR(module_doc,
"Fit a second-rank orientation tensor to one observed value per vector.\n"
"\n"
"The model, for a vector at polar angle theta and azimuth phi in the tensor's\n"
"frame (z-x-z rotation by three angles):\n"
"\n"
"    value = Da (3 cos^2 theta - 1) + Dr sin^2 theta cos 2 phi [+ offset]\n"
"\n"
"with Dr = 1.5 Da R. Parameters travel as six float64 values: three angles\n"
"(radians), Da, R and the offset. Fits run Powell's method in single\n"
"precision and give the same bits for the same input on every run.\n"
"\n"
"fit, solve and steric take any arrays, never write them, release the GIL\n"
"while they compute, and can be interrupted. c_kel_fit, c_kf_fdc and c_solve\n"
"are the original entries: they hold the GIL and fit in place.");

PyDoc_STRVAR(fit_doc,
"fit(vectors, observed, start, *, sigma=None, scale=None, offset=False, fixed=())\n"
"--\n"
"\n"
"Fit the tensor to observed values; returns a FitResult.\n"
"\n"
"vectors: N x 3 (or wider) array; observed: N values; start: six values\n"
"(a1, a2, a3, Da, R, offset). sigma: N uncertainties (> 0); row i's residual\n"
"is divided by sigma[i] as a float, and the cost is chi^2 / N. scale: N\n"
"non-zero factors; row i's Da and Dr are multiplied by scale[i] as a float\n"
"(the offset is not). offset: also fit the offset (six parameters).\n"
"fixed: indices (0 to 5) of parameters held at their start values, which\n"
"come back rounded to single precision; Powell varies the others in index\n"
"order. A fixed R with a free Da keeps R, not Dr, fixed.\n"
"\n"
"Without sigma and scale, the fitted params are the same bits as c_kf_fdc\n"
"(n=5) or, with offset=True, c_kel_fit; fixed=(3, 4) gives c_kf_fdc(3, ...)\n"
"and fixed=(4,) c_kf_fdc(4, ...). The result holds params (new float64\n"
"array, R in params[4]), cost, evaluations, runs, values (the model at\n"
"params, as solve(vectors, params, scale=scale) gives it) and converged\n"
"(False when Powell stopped at its iteration limit).\n"
"Raises InputError (a ValueError) for input a fit cannot use,\n"
"RuntimeError when the fit fails numerically, KeyboardInterrupt on Ctrl-C.");

PyDoc_STRVAR(solve_doc,
"solve(vectors, params, *, scale=None)\n"
"--\n"
"\n"
"The model's value for every vector as a new float64 array: the offset\n"
"params[5] included and row i's Da and Dr times scale[i]. With params[5] = 0\n"
"and no scale it is c_solve's values, to the bit. A vector of zero length,\n"
"or too long for single precision, gives NaN. Raises InputError (a\n"
"ValueError) for input it cannot use.");

PyDoc_STRVAR(linear_doc,
"linear(vectors, observed, *, sigma=None, scale=None, offset=False, workers=1)\n"
"--\n"
"\n"
"The global least-squares optimum of fit's cost, by one linear solve;\n"
"returns a LinearResult (params, order_matrix, values, cost).\n"
"\n"
"The model is value = scale u^T A u [+ offset] for the unit vector u and a\n"
"traceless symmetric A: linear in A's five independent elements, solved by\n"
"Householder QR and diagonalised by Jacobi rotations, in double precision\n"
"and the same bits everywhere. sigma, scale and offset mean what they mean\n"
"for fit (here in double). params is canonical: a1 in [0, 2 pi), a2 in\n"
"[0, pi/2], a3 in [0, pi), 0 <= R <= 2/3; solve(vectors, params,\n"
"scale=scale) gives back the values to single precision.\n"
"\n"
"A stack: vectors F x N x 3 with observed (and sigma, scale) F x N solves F\n"
"problems; every field gains a leading axis of F. workers threads share\n"
"them, each checking a problem's rows just before it solves it; each\n"
"problem's bits are those of solving it alone. float64 arrays in C order\n"
"(vectors of exactly 3 columns) are read in place, others copied first.\n"
"Raises ValueError for what fit refuses and for directions that do not\n"
"determine the tensor (rank too low, or condition number over 1e10); in a\n"
"stack, InputError \"problem f: ...\" for the lowest such problem f (from 0,\n"
"in its problem attribute), a refused row before a failed direction.");

PyDoc_STRVAR(steric_doc,
"steric(coordinates, radii, *, shape='wall', spacing, cylinder_radius=0.0,\n"
"       orientations=20000, workers=0, charges=None, charge_density=0.0,\n"
"       ionic_strength=None, temperature=None, permittivity=None)\n"
"--\n"
"\n"
"The order matrix of a molecule in a dilute steric medium; returns\n"
"(order, allowed): the 3x3 average of 3/2 n n^T - 1/2 I over the medium's\n"
"axis n (a wall's normal, a cylinder's axis) in the coordinates' frame, each\n"
"of `orientations` evenly spread directions weighted by the share of\n"
"positions where no atom (a sphere of its radius, angstrom) crosses the\n"
"medium, and allowed, the mean of those shares. Walls stand `spacing`\n"
"angstrom apart; cylinders of `cylinder_radius` angstrom each have `spacing`\n"
"angstrom^2 of the plane across them. Runs without the GIL on `workers`\n"
"threads (0: every core); the same bits for any number.\n"
"With charges (e, one per atom) the medium's surface carries charge_density\n"
"(e/nm^2) in a 1:1 salt of ionic_strength (mM) at temperature (K) and\n"
"relative permittivity: each position also counts by the Boltzmann factor\n"
"of the charges in the Gouy-Chapman potential (wall_potential). A zero\n"
"density or no charge gives the uncharged bits.\n"
"Raises ValueError for unusable input, for a medium too tight for the\n"
"molecule and for charges bound to it (a factor that overflows),\n"
"KeyboardInterrupt on Ctrl-C (every thread stopped and joined).");

PyDoc_STRVAR(wall_potential_doc,
"wall_potential(distances, *, charge_density, ionic_strength, temperature,\n"
"               permittivity)\n"
"--\n"
"\n"
"The Gouy-Chapman potential of a charged plane, as kelfit.steric uses it:\n"
"returns (y, debye_length, y0), y = e psi / kT at each distance (angstrom)\n"
"from the surface, the Debye length (angstrom) and y0 at the surface\n"
"(Grahame's equation), for a surface of charge_density e/nm^2 in a 1:1 salt\n"
"of ionic_strength mM at temperature K and relative permittivity.");

PyDoc_STRVAR(replicates_doc,
"replicates(vectors, observed, *, seed, first=0, count=1, perturbation='noise',\n"
"           noise=None, sigma=None, scale=None, offset=False, vector_sets=None,\n"
"           structure_noise=0.0, draws=1, workers=1, drawn=False)\n"
"--\n"
"\n"
"Replicates first .. first + count - 1 of a Monte Carlo or bootstrap run of\n"
"linear fits; returns a ReplicatesResult (params, order_matrix, axes, draws).\n"
"\n"
"Replicate k draws from its own Philox4x32-10 stream, keyed by seed (an\n"
"integer below 2^64) with k in its counter, so its bits never depend on\n"
"first, count or workers. With vector_sets (M x N x 3) it first draws one\n"
"model's vectors; with structure_noise (rms degrees) it tilts every vector\n"
"at random, lengths kept. Then 'noise' adds noise[i] times a normal deviate\n"
"to observed[i]; 'bootstrap' draws N rows with replacement (their sigma and\n"
"scale with them), again up to draws times while the rows do not determine\n"
"the tensor. Each replicate is solved exactly as linear solves its data.\n"
"Runs without the GIL on workers threads. drawn=True (count 1) returns the\n"
"data replicate first solved instead: (vectors, observed, sigma, scale).\n"
"Raises ValueError for what linear refuses; for a replicate that fails,\n"
"InputError \"problem k: ...\" for the lowest such k (its problem attribute);\n"
"KeyboardInterrupt on Ctrl-C (every thread stopped and joined).");

PyDoc_STRVAR(c_kel_fit_doc,
"c_kel_fit(n, vectors, observed, params) -> 1.0\n"
"\n"
"Fit all six parameters, the offset included (n must be 6), and write them\n"
"back into params (float64, six values) in place. Holds the GIL.");

PyDoc_STRVAR(c_kf_fdc_doc,
"c_kf_fdc(n, vectors, observed, params) -> 1.0\n"
"\n"
"Fit without the offset in the model (n is 5, or 6 to also vary the unused\n"
"offset; 4 holds R and 3 holds Da and R at their start values) and write\n"
"the parameters back into params in place. Holds the GIL.");

PyDoc_STRVAR(tensor_rows_doc,
"tensor_rows(vectors)\n"
"--\n"
"\n"
"The design rows linear builds from vectors (N x 3) as a new N x 5 float64\n"
"array: the unit vector u's x^2 - z^2, y^2 - z^2, 2xy, 2xz, 2yz, to the bit.\n"
"Raises InputError (a ValueError) for a vector the fits refuse.");

PyDoc_STRVAR(linear_rows_doc,
"linear_rows(rows, observed, *, sigma=None, scale=None, offset=False)\n"
"--\n"
"\n"
"linear from design rows (N x 5, such as the means over an ensemble of\n"
"tensor_rows of each model's vectors) in place of vectors: value =\n"
"scale rows[i] . (Axx, Ayy, Axy, Axz, Ayz) [+ offset]. Returns a\n"
"LinearResult; where rows are tensor_rows(vectors), linear's bits. One\n"
"problem, solved holding the interpreter's lock.");

PyDoc_STRVAR(c_solve_doc,
"c_solve(n, vectors, params) -> tuple of floats\n"
"\n"
"The model's value for every vector, without the offset; n is not used.");

PyMethodDef kelfit_methods[] = {
    {"c_kel_fit", c_kel_fit, METH_VARARGS, c_kel_fit_doc},
    {"c_kf_fdc", c_kf_fdc, METH_VARARGS, c_kf_fdc_doc},
    {"c_solve", c_solve, METH_VARARGS, c_solve_doc},
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kelfit_fit)),
     METH_VARARGS | METH_KEYWORDS, fit_doc},
    {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kelfit_solve)),
     METH_VARARGS | METH_KEYWORDS, solve_doc},
    {"linear", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kelfit_linear)),
     METH_VARARGS | METH_KEYWORDS, linear_doc},
    {"tensor_rows",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kelfit_tensor_rows)),
     METH_VARARGS | METH_KEYWORDS, tensor_rows_doc},
    {"linear_rows",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kelfit_linear_rows)),
     METH_VARARGS | METH_KEYWORDS, linear_rows_doc},
    {"steric", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kelfit_steric)),
     METH_VARARGS | METH_KEYWORDS, steric_doc},
    {"wall_potential",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kelfit_wall_potential)),
     METH_VARARGS | METH_KEYWORDS, wall_potential_doc},
    {"replicates",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kelfit_replicates)),
     METH_VARARGS | METH_KEYWORDS, replicates_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kelfit_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(kelfit_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // The result type is process-wide: one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // The original entries rely on the global interpreter lock: they read
    // and rewrite the caller's arrays in place.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef kelfit_module = {
    PyModuleDef_HEAD_INIT,
    "kelfit",        // name
    module_doc,      // documentation
    0,               // no per-module state: fit state is per thread
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
