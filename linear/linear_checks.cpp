// The checks of a problem's rows, made by the thread that solves it, just
// before it solves it: the rows are read once, for every check at a time.
#include <algorithm>
#include <cmath>

#include "fit/fit.h"
#include "linear/linear.h"

namespace {

// One past the last check, for arrays indexed by LinearCheck.
constexpr int check_slots = static_cast<int>(LinearCheck::weighted) + 1;

// The first row each check refuses, as far as it still matters: once a
// check has refused a row, a later check's faults can no longer be the one
// reported, so they are not looked for.
struct Found {
    int row[check_slots] = {};
    int earliest = check_slots;  // the earliest check with a fault (check_slots: none)

    bool wanted(LinearCheck check) const { return static_cast<int>(check) < earliest; }
    void refuse(LinearCheck check, int at)
    {
        const int k = static_cast<int>(check);
        if (k < earliest) {
            earliest = k;
            row[k] = at;
        }
    }
};

// Rows [first, last) of the problem through every check still wanted.
void check_rows(const LinearProblem& problem, int first, int last, Found& found)
{
    const double* sigma = problem.sigma;
    const double* scale = problem.scale;
    for (int i = first; i < last; ++i) {
        const double* v = problem.vectors + 3 * static_cast<size_t>(i);
        if (row_fault(static_cast<float>(v[0]), static_cast<float>(v[1]),
                      static_cast<float>(v[2])) != RowFault::none) {
            found.refuse(LinearCheck::vectors, i);
            return;  // the first check: nothing can come before it
        }
        const double observed = problem.observed[i];
        if (found.wanted(LinearCheck::observed) && !std::isfinite(observed)) {
            found.refuse(LinearCheck::observed, i);
        }
        if (sigma != nullptr && found.wanted(LinearCheck::sigma) &&
            !row_factor_usable(sigma[i], true)) {
            found.refuse(LinearCheck::sigma, i);
        }
        if (scale != nullptr && found.wanted(LinearCheck::scale) &&
            !row_factor_usable(scale[i], false)) {
            found.refuse(LinearCheck::scale, i);
        }
        if (found.wanted(LinearCheck::weighted) &&
            !weighted_observed_usable(observed, sigma != nullptr ? sigma + i : nullptr)) {
            found.refuse(LinearCheck::weighted, i);
        }
    }
}

}  // namespace

LinearStatus check_linear_problem(const LinearProblem& problem, LinearFault& fault,
                                  const LinearStop& stop)
{
    Found found;
    const bool asks = problem.count >= linear_stop_rows && stop.requested != nullptr;
    for (int first = 0; first < problem.count; first += linear_stop_rows) {
        if (first > 0 && asks && stop.requested(stop.context)) {
            return LinearStatus::stopped;
        }
        const int last = first + std::min(linear_stop_rows, problem.count - first);
        check_rows(problem, first, last, found);
        if (found.earliest == static_cast<int>(LinearCheck::vectors)) {
            break;
        }
    }
    if (found.earliest == check_slots) {
        return LinearStatus::solved;
    }
    fault = {static_cast<LinearCheck>(found.earliest), found.row[found.earliest]};
    return LinearStatus::refused;
}
