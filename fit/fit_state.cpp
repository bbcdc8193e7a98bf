// The module-wide fit state and the work storage of one fit.
#include <cstdio>

#include "fit/fit.h"

namespace {
thread_local FitState this_thread_fit_state = {};
}  // namespace

FitState& fit_state()
{
    return this_thread_fit_state;
}

void alloc_fit_work()
{
    fit_state().params = vector(1, param_count);
    fit_state().directions = matrix(1, param_count, 1, param_count);
}

void fit_work_release()
{
    if (fit_state().directions != nullptr) {
        matrix_release(fit_state().directions, 1, param_count, 1, param_count);
        fit_state().directions = nullptr;
    }
    if (fit_state().params != nullptr) {
        vector_release(fit_state().params, 1, param_count);
        fit_state().params = nullptr;
    }
}

void print_directions(sfloat** directions)
{
    for (int i = 1; i <= param_count; ++i) {
        for (int j = 1; j <= param_count; ++j) {
            std::printf("%8.4f ", double(directions[i][j]));
        }
        std::printf("\n");
    }
}

void print_params(const sfloat* p, const char* label)
{
    std::printf(" %s: %8.4f %8.4f %8.4f  %8.4f %8.4f %8.4f\n", label, double(p[1]),
                double(p[2]), double(p[3]), double(p[4]), double(p[5]), double(p[6]));
}

bool interrupt_requested(InterruptCheck& check, int vectors)
{
    if (check.stop == nullptr) {
        return false;
    }
    check.budget -= vectors > 0 ? vectors : 1;
    if (check.budget > 0) {
        return false;
    }
    check.budget = interrupt_check_vectors;
    return check.stop(check.context);
}
