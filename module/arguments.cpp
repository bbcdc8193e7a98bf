// Checks that every fit makes before it starts, and the reports of a fit
// that failed.
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "module/bridge.h"

namespace {

bool finite_in_float(double value)
{
    return std::isfinite(static_cast<double>(sfloat(value)));
}

PyObject* input_error_type = nullptr;

// Row and parameter as Python values: counted from 1 as users count rows,
// None where the fault has none.
PyObject* row_value(Py_ssize_t row)
{
    if (row < 0) {
        Py_RETURN_NONE;
    }
    return PyLong_FromSsize_t(row + 1);
}
PyObject* parameter_value(int parameter)
{
    if (parameter < 0) {
        Py_RETURN_NONE;
    }
    return PyLong_FromLong(parameter);
}

// An InputError of message with the fault's attributes; null on failure.
PyObject* input_error(PyObject* message, PyObject* reason, const InputFault& fault)
{
    PyRef error(PyObject_CallOneArg(input_error_type, message));
    PyRef argument(error ? PyUnicode_FromString(fault.argument) : nullptr);
    PyRef row(argument ? row_value(fault.row) : nullptr);
    PyRef parameter(row ? parameter_value(fault.parameter) : nullptr);
    if (!parameter || PyObject_SetAttrString(error.get(), "argument", argument.get()) != 0 ||
        PyObject_SetAttrString(error.get(), "row", row.get()) != 0 ||
        PyObject_SetAttrString(error.get(), "parameter", parameter.get()) != 0 ||
        PyObject_SetAttrString(error.get(), "reason", reason) != 0) {
        return nullptr;
    }
    return error.release();
}

}  // namespace

NumberText number_text(double value, int digits)
{
    NumberText out;
    std::snprintf(out.text, sizeof out.text, "%.*g", digits, value);
    return out;
}

int refuse(Refusal how, const InputFault& fault, const char* subject,
           const char* reason_format, ...)
{
    va_list arguments;
    va_start(arguments, reason_format);
    PyRef reason(PyUnicode_FromFormatV(reason_format, arguments));
    va_end(arguments);
    PyRef message(reason ? PyUnicode_FromFormat("%s %U", subject, reason.get()) : nullptr);
    if (!message) {
        return -1;  // the failure to make the message stands
    }
    if (how == Refusal::plain) {
        PyErr_SetObject(PyExc_ValueError, message.get());
        return -1;
    }
    PyRef error(input_error(message.get(), reason.get(), fault));
    if (error) {
        PyErr_SetObject(input_error_type, error.get());
    }
    return -1;
}

int input_error_type_ready(PyObject* module)
{
    if (input_error_type == nullptr) {
        // Class-level defaults, so that an InputError made without a fault
        // still answers every attribute.
        PyRef defaults(Py_BuildValue("{sOsOsOsOsO}", "argument", Py_None, "row", Py_None,
                                     "parameter", Py_None, "reason", Py_None, "problem",
                                     Py_None));
        if (!defaults) {
            return -1;
        }
        input_error_type = PyErr_NewExceptionWithDoc(
            "kelfit.InputError",
            "Input that kelfit.fit or kelfit.solve cannot use. Besides the message it\n"
            "names the argument (argument), the row counted from 1 (row, or None),\n"
            "the parameter's index 0..5 (parameter, or None), what is wrong with\n"
            "it (reason: the message without its subject) and, in a stack of\n"
            "kelfit.linear, the problem counted from 0 (problem, or None).",
            PyExc_ValueError, defaults.get());
        if (input_error_type == nullptr) {
            return -1;
        }
    }
    Py_INCREF(input_error_type);
    if (PyModule_AddObject(module, "InputError", input_error_type) < 0) {
        Py_DECREF(input_error_type);
        return -1;
    }
    return 0;
}

void name_problem(Py_ssize_t problem)
{
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
        return;  // MemoryError and the like say nothing about the problem
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyRef raised(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef type_ref(type), traceback_ref(traceback);
    PyRef raised(value);
#endif
    PyRef text(raised ? PyObject_Str(raised.get()) : nullptr);
    PyRef message(text ? PyUnicode_FromFormat("problem %zd: %U", problem, text.get()) : nullptr);
    PyRef error(message ? PyObject_CallOneArg(input_error_type, message.get()) : nullptr);
    if (!error) {
        return;
    }
    // A refusal of the rows keeps its fault; one of the whole problem (its
    // directions) is about the vectors, and its reason is its message.
    const bool structured = PyObject_TypeCheck(raised.get(),
                                               reinterpret_cast<PyTypeObject*>(input_error_type));
    static const char* const copied[] = {"argument", "row", "parameter", "reason"};
    for (const char* name : copied) {
        PyRef value_of(structured ? PyObject_GetAttrString(raised.get(), name) : nullptr);
        if (structured && !value_of) {
            return;
        }
        if (value_of && PyObject_SetAttrString(error.get(), name, value_of.get()) != 0) {
            return;
        }
    }
    if (!structured) {
        PyRef vectors(PyUnicode_FromString("vectors"));
        if (!vectors || PyObject_SetAttrString(error.get(), "argument", vectors.get()) != 0 ||
            PyObject_SetAttrString(error.get(), "reason", text.get()) != 0) {
            return;
        }
    }
    PyRef index(PyLong_FromSsize_t(problem));
    if (!index || PyObject_SetAttrString(error.get(), "problem", index.get()) != 0) {
        return;
    }
    PyErr_SetObject(input_error_type, error.get());
}

int check_row_factors(const double* values, Py_ssize_t count, const char* name, bool positive,
                      Refusal how, Py_ssize_t numbered_from)
{
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!row_factor_usable(values[i], positive)) {
            const Py_ssize_t row = numbered_from + i;
            char subject[64];
            std::snprintf(subject, sizeof subject, "%s[%zd]", name, row);
            return refuse(how, {name, row, -1}, subject, "must be finite and %s in single precision",
                          positive ? "positive" : "non-zero");
        }
    }
    return 0;
}

namespace {

// Refuses row i of the vectors. The row's name is written only here: a
// formatted name for every row that passes cost more than the whole linear
// solve of a problem.
int refuse_row(Refusal how, Py_ssize_t i, const char* reason)
{
    char subject[48];
    std::snprintf(subject, sizeof subject, "vectors row %zd", i);
    return refuse(how, {"vectors", i, -1}, subject, "%s", reason);
}

const char* row_fault_reason(RowFault fault)
{
    switch (fault) {
    case RowFault::not_finite:
        return "must be finite in single precision";
    case RowFault::zero:
        return "has zero length in single precision";
    case RowFault::too_short:
        return "is too short: its length is below the smallest normal single-precision number";
    case RowFault::too_long:
    default:
        return "is too long: its length overflows single precision";
    }
}

}  // namespace

int narrow_fit_rows(const double* const* rows, Py_ssize_t count, float* narrowed,
                    Refusal how, Py_ssize_t numbered_from)
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
        const RowFault fault = row_fault(x, y, z);
        if (fault != RowFault::none) {
            return refuse_row(how, numbered_from + i, row_fault_reason(fault));
        }
    }
    return 0;
}

int check_finite_values(const double* values, Py_ssize_t count, const char* name,
                        Refusal how, Py_ssize_t numbered_from)
{
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!std::isfinite(values[i])) {
            const Py_ssize_t row = numbered_from + i;
            char subject[64];
            std::snprintf(subject, sizeof subject, "%s[%zd]", name, row);
            return refuse(how, {name, row, -1}, subject, "must be finite");
        }
    }
    return 0;
}

int check_start(const double* start, bool offset_in_cost, const char* name, Refusal how)
{
    char subject[96];
    const int read = offset_in_cost ? param_count : param_count - 1;
    for (int i = 0; i < read; ++i) {
        if (!finite_in_float(start[i])) {
            std::snprintf(subject, sizeof subject, "%s[%d]", name, i);
            return refuse(how, {name, -1, i}, subject, "must be finite in single precision");
        }
    }
    if (!finite_in_float(dr_from_r(start[4], start[3]))) {
        std::snprintf(subject, sizeof subject, "%s[4] (R) and %s[3] (Da)", name, name);
        return refuse(how, {name, -1, 4}, subject,
                      "give a rhombic magnitude 1.5 * Da * R that "
                      "is not finite in single precision");
    }
    return 0;
}

int check_start_values(const FitProblem& problem, Refusal how)
{
    double largest = 0.0;
    if (start_values_fit(problem, &largest)) {
        return 0;
    }
    const bool scaled = problem.scale != nullptr;
    return refuse(how, {scaled ? "scale" : "start", -1, -1},
                  scaled ? "start parameters and scale" : "start parameters",
                  "give model values too large for single precision: "
                  "%s reaches %s, beyond the largest float %s",
                  scaled ? "|scale| (3|Da| + |Dr|) + |offset|" : "3|Da| + |Dr| + |offset|",
                  number_text(largest, exact_digits).text,
                  number_text(start_values_limit, exact_digits).text);
}

int check_start_residuals(const FitProblem& problem, Refusal how)
{
    double largest = 0.0;
    if (start_residuals_fit(problem, &largest)) {
        return check_start_values(problem, how);
    }
    return refuse(how, {"observed", -1, -1}, "observed values and start parameters",
                  "too large for a single-precision fit: "
                  "a residual at the start can reach %s (|observed| + 3|Da| + |Dr| + |offset|%s) "
                  "and %d squared residuals must sum to at most %s",
                  number_text(largest, exact_digits).text, problem.sigma != nullptr ? ", over sigma" : "",
                  problem.count, number_text(start_squares_limit, exact_digits).text);
}

int check_final_cost(const FitReport& report)
{
    if (std::isfinite(report.cost)) {
        return 0;
    }
    PyErr_Format(PyExc_RuntimeError,
                 "the fit ended with a cost that is not finite (%s); parameters left unchanged",
                 number_text(report.cost, exact_digits).text);
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
