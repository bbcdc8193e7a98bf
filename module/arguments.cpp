// Checks that every fit makes before it starts, and the reports of a fit
// that failed.
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "module/bridge.h"

namespace {

bool finite_in_float(double value)
{
    return std::isfinite(static_cast<double>(sfloat(value)));
}

// The length the model computes for an unrotated row: narrowed components,
// their squares summed in double, the square root narrowed.
sfloat single_length(float x, float y, float z)
{
    const double xd = x, yd = y, zd = z;
    return std::sqrt(xd * xd + yd * yd + zd * zd);
}

// A double as text for a message (PyErr_Format has no %g).
struct NumberText {
    char text[32];
};
NumberText number_text(double value)
{
    NumberText out;
    std::snprintf(out.text, sizeof out.text, "%.9g", value);
    return out;
}

}  // namespace

int narrow_fit_rows(const double* const* rows, Py_ssize_t count, float* narrowed)
{
    const auto run = static_cast<size_t>(count);
    for (Py_ssize_t i = 0; i < count; ++i) {
        const double* row = rows[i];
        const auto at = static_cast<size_t>(i);
        const float x = static_cast<float>(row[0]);
        const float y = static_cast<float>(row[1]);
        const float z = static_cast<float>(row[2]);
        narrowed[at] = x;
        narrowed[run + at] = y;
        narrowed[2 * run + at] = z;
        if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) {
            PyErr_Format(PyExc_ValueError,
                         "vectors row %zd must be finite in single precision", i);
            return -1;
        }
        if (x == 0.0f && y == 0.0f && z == 0.0f) {
            PyErr_Format(PyExc_ValueError,
                         "vectors row %zd has zero length in single precision", i);
            return -1;
        }
        if (!std::isfinite(double(single_length(x, y, z)))) {
            PyErr_Format(PyExc_ValueError,
                         "vectors row %zd is too long: its length overflows single precision",
                         i);
            return -1;
        }
    }
    return 0;
}

int check_finite_values(const double* values, Py_ssize_t count, const char* name)
{
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!std::isfinite(values[i])) {
            PyErr_Format(PyExc_ValueError, "%s[%zd] must be finite", name, i);
            return -1;
        }
    }
    return 0;
}

int check_start(const double* start, bool offset_in_cost, const char* name)
{
    const int read = offset_in_cost ? param_count : param_count - 1;
    for (int i = 0; i < read; ++i) {
        if (!finite_in_float(start[i])) {
            PyErr_Format(PyExc_ValueError, "%s[%d] must be finite in single precision", name,
                         i);
            return -1;
        }
    }
    if (!finite_in_float(dr_from_r(start[4], start[3]))) {
        PyErr_Format(PyExc_ValueError,
                     "%s[4] (R) and %s[3] (Da) give a rhombic magnitude 1.5 * Da * R that "
                     "is not finite in single precision",
                     name, name);
        return -1;
    }
    return 0;
}

int check_start_residuals(const FitProblem& problem)
{
    double largest = 0.0;
    if (start_residuals_fit(problem, &largest)) {
        return 0;
    }
    PyErr_Format(PyExc_ValueError,
                 "observed values and start parameters too large for a single-precision fit: "
                 "a residual at the start can reach %s (|observed| + 3|Da| + |Dr| + |offset|%s) "
                 "and %d squared residuals must sum to at most %s",
                 number_text(largest).text, problem.sigma != nullptr ? ", over sigma" : "",
                 problem.count, number_text(start_squares_limit).text);
    return -1;
}

int check_final_cost(const FitReport& report)
{
    if (std::isfinite(report.cost)) {
        return 0;
    }
    PyErr_Format(PyExc_RuntimeError,
                 "the fit ended with a cost that is not finite (%s); parameters left unchanged",
                 number_text(report.cost).text);
    return -1;
}

void raise_kit_failure(const KitFailure& failure)
{
    if (failure.kind == KitFailureKind::memory) {
        PyErr_SetString(PyExc_MemoryError, failure.message);
    } else {
        PyErr_SetString(PyExc_RuntimeError, failure.message);
    }
}
