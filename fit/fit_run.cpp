// The steps of a fit between accepting the caller's arrays and writing the
// result back: starting directions, loading the start, the Powell runs.
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
    p[param_dr] = params[4] * params[3] * dr_factor_three * dr_factor_half;
}

void store_result(const sfloat* p, double* params)
{
    for (int i = 0; i < param_count; ++i) {
        params[i] = p[i + 1];
    }
    // Back to R, in double from the stored Dr and Da. A fitted Da of exactly
    // zero gives an infinity (or NaN when Dr is zero too).
    params[4] = p[param_dr] * dr_to_r_factor / p[param_da];
}

int run_fit(int n, CostFunction cost)
{
    const double tolerance = fit_tolerance;
    int runs = 0;
    for (;;) {
        const int converged = powell_min(fit_state.params, fit_state.directions, n,
                                         tolerance, fit_state.iterations,
                                         fit_state.best_cost, cost);
        ++runs;
        // Repeat while each run converges and the cost stays above the limit;
        // a run that stops at Powell's iteration limit ends the repetition.
        if (converged != 1 || !(fit_state.best_cost > fit_state.cost_limit) ||
            runs >= fit_max_runs) {
            return runs;
        }
    }
}
