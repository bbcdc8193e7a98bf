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
        state.converged = converged == 1;
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

namespace {

// The caller's index of each one-based parameter p[i] is i - 1.
bool is_held(unsigned held, int p_index)
{
    return (held >> (p_index - 1) & 1u) != 0;
}

// The parameters the cost reads: p[1..5], or p[1..6] with the offset.
int cost_reads(bool offset_in_cost)
{
    return offset_in_cost ? param_count : param_count - 1;
}

bool is_free(const HeldParameters& held, int p_index)
{
    for (int k = 0; k < held.free_count; ++k) {
        if (held.free[k] == p_index) {
            return true;
        }
    }
    return false;
}

// The free parameters of a problem, in index order.
HeldParameters free_parameters(const FitProblem& problem)
{
    HeldParameters held = {};
    for (int i = 1; i <= problem.n && i <= param_count; ++i) {
        if (!is_held(problem.held, i)) {
            held.free[held.free_count++] = i;
        }
    }
    held.r = problem.start[4];
    held.dr_from_free_da = is_free(held, param_da) && !is_free(held, param_dr);
    held.target = problem.offset_in_cost ? cost_with_offset : cost_no_offset;
    return held;
}

// Whether Powell can run over p itself: the free parameters are p[1..k]
// and cover everything the cost reads.
bool varies_a_prefix(const HeldParameters& held, int reads)
{
    for (int k = 0; k < held.free_count; ++k) {
        if (held.free[k] != k + 1) {
            return false;
        }
    }
    return held.free_count >= reads;
}

// Powell over the free parameters alone, each starting with its own step;
// p[1..6] then holds the point reached.
int run_free_fit(FitState& state, HeldParameters& held)
{
    OwnedVector full_store(1, param_count);
    sfloat* full = full_store.data();
    for (int i = 1; i <= param_count; ++i) {
        full[i] = state.params[i];
    }
    held.full = full;
    state.held = held;
    // Each free parameter starts with the step it has in a fit of all six.
    sfloat steps[param_count + 1];
    for (int i = 1; i <= param_count; ++i) {
        steps[i] = state.directions[i][i];
    }
    for (int k = 1; k <= held.free_count; ++k) {
        state.params[k] = full[held.free[k - 1]];
        for (int j = 1; j <= param_count; ++j) {
            state.directions[j][k] = j == k ? steps[held.free[k - 1]] : sfloat(0.0);
        }
    }
    const int runs = run_fit(held.free_count, free_cost);
    OwnedVector point_store(1, param_count);
    full_params(held, state.params, point_store.data());
    for (int i = 1; i <= param_count; ++i) {
        state.params[i] = point_store.data()[i];
    }
    state.held = HeldParameters{};
    return runs;
}

}  // namespace

void full_params(const HeldParameters& held, const sfloat* x, sfloat* p)
{
    for (int i = 1; i <= param_count; ++i) {
        p[i] = held.full[i];
    }
    for (int k = 1; k <= held.free_count; ++k) {
        p[held.free[k - 1]] = x[k];
    }
    if (held.dr_from_free_da) {
        p[param_dr] = dr_from_r(held.r, p[param_da]);
    }
}

sfloat free_cost(const sfloat* x)
{
    const HeldParameters& held = fit_state().held;
    sfloat p[param_count + 1];
    full_params(held, x, p);
    return held.target(p);
}

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
    HeldParameters held = free_parameters(problem);
    if (varies_a_prefix(held, cost_reads(problem.offset_in_cost))) {
        report.runs = run_fit(problem.n, held.target);
    } else {
        report.runs = run_free_fit(state, held);
    }
    store_result(state.params, report.params);
    // A parameter the fit did not vary comes back as its start value, rounded
    // to single precision like every stored parameter; R too, rather than
    // its round trip through Dr.
    for (int i = 1; i <= param_count; ++i) {
        if (!is_free(held, i)) {
            report.params[i - 1] = sfloat(problem.start[i - 1]);
        }
    }
    report.cost = state.best_cost;
    report.evaluations = state.evaluations;
    report.converged = state.converged;
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

bool start_values_fit(const FitProblem& problem, double* largest)
{
    double worst = 0.0;
    for (int i = 0; i < problem.count; ++i) {
        const double scale = problem.scale != nullptr ? double(problem.scale[i]) : 1.0;
        const double bound = start_value_bound(problem.start, problem.offset_in_cost, scale);
        worst = bound > worst ? bound : worst;
    }
    *largest = worst;
    return worst <= start_values_limit;
}
