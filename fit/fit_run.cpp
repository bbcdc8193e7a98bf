// The steps of a fit between accepting the caller's arrays and writing the
// result back: starting directions, loading the start, the Powell runs.
#include <cfloat>
#include <cmath>

#include "fit/fit.h"

void start_directions(sfloat** directions)
{
    for (int i = 1; i <= param_count; ++i) {
        for (int j = 1; j <= param_count; ++j) {
            directions[i][j] = 0.0;
        }
    }
    directions[param_a1][param_a1] = angle_start_step;
    directions[param_a2][param_a2] = angle_start_step;
    directions[param_a3][param_a3] = angle_start_step;
    directions[param_da][param_da] = magnitude_start_step;
    directions[param_dr][param_dr] = magnitude_start_step;
    directions[param_offset][param_offset] = magnitude_start_step;
}

void load_start(sfloat* p, const double* params)
{
    for (int i = 0; i < param_count; ++i) {
        p[i + 1] = params[i];
    }
    // The minimizer varies Dr, not R: formed in double from the caller's
    // values, narrowed once.
    p[param_dr] = dr_from_r(params[4], params[3]);
}

void store_result(const sfloat* p, double* params)
{
    for (int i = 0; i < param_count; ++i) {
        params[i] = p[i + 1];
    }
    // Back to R, in double from the stored Dr and Da. A fitted Da of exactly
    // zero gives an infinity (or NaN when Dr is zero too).
    params[4] = r_from_dr(p[param_dr], p[param_da]);
}

int run_fit(int n, CostFunction cost)
{
    const double tolerance = fit_tolerance;
    FitState& state = fit_state();
    int runs = 0;
    for (;;) {
        const int converged = powell_min(state.params, state.directions, n,
                                         tolerance, state.iterations,
                                         state.best_cost, cost);
        ++runs;
        // Repeat while each run converges and the cost stays above the limit;
        // a run that stops at Powell's iteration limit ends the repetition.
        if (converged != 1 || !(state.best_cost > state.cost_limit) ||
            runs >= fit_max_runs) {
            return runs;
        }
    }
}

namespace {

// The work storage of one fit, released however the fit ends.
struct FitWork {
    FitWork() { alloc_fit_work(); }
    ~FitWork() { fit_work_release(); }
    FitWork(const FitWork&) = delete;
    FitWork& operator=(const FitWork&) = delete;
};

}  // namespace

FitReport fit_problem(const FitProblem& problem)
{
    SavedFitState saved;
    FitState& state = fit_state();
    state = FitState{};
    state.rows = problem.rows;
    state.count = problem.count;
    state.observed = problem.observed;
    state.narrowed = problem.narrowed;
    state.sigma = problem.sigma;
    state.scale = problem.scale;
    state.interrupt = problem.interrupt;
    FitWork work;
    state.offset = 0.0;
    state.error = 1.0;
    state.cost_limit = fit_cost_limit;
    start_directions(state.directions);
    load_start(state.params, problem.start);

    FitReport report;
    report.runs = run_fit(problem.n, problem.offset_in_cost ? cost_with_offset : cost_no_offset);
    store_result(state.params, report.params);
    report.cost = state.best_cost;
    report.evaluations = state.evaluations;
    return report;
}

namespace {

// The start's magnitudes as the fit stores them: 3|Da| + |Dr|, which a
// row's scale multiplies, and |offset| (0 where it is not in the cost).
struct StartMagnitudes {
    double tensor;
    double offset;
};

StartMagnitudes start_magnitudes(const double* start, bool offset_in_cost)
{
    const double da = sfloat(start[3]);
    const double dr = sfloat(dr_from_r(start[4], start[3]));
    const double offset = offset_in_cost ? double(sfloat(start[5])) : 0.0;
    return {3.0 * std::fabs(da) + std::fabs(dr), std::fabs(offset)};
}

}  // namespace

double start_value_bound(const double* start, bool offset_in_cost, double scale)
{
    const StartMagnitudes m = start_magnitudes(start, offset_in_cost);
    return std::fabs(scale) * m.tensor + m.offset;
}

bool start_residuals_fit(const FitProblem& problem, double* largest)
{
    const StartMagnitudes m = start_magnitudes(problem.start, problem.offset_in_cost);
    double worst = 0.0;
    for (int i = 0; i < problem.count; ++i) {
        const double scale = problem.scale != nullptr ? double(problem.scale[i]) : 1.0;
        const double sigma = problem.sigma != nullptr ? double(problem.sigma[i]) : 1.0;
        const double value = std::fabs(scale) * m.tensor + m.offset;
        const double residual = (std::fabs(problem.observed[i]) + value) / sigma;
        if (!std::isfinite(residual)) {
            *largest = residual;
            return false;
        }
        worst = residual > worst ? residual : worst;
    }
    *largest = worst;
    return worst * worst * static_cast<double>(problem.count) <= start_squares_limit;
}
