// Powell's direction-set minimizer.
#include "numkit/numkit.h"

#include <cmath>

int powell_min(sfloat* p, sfloat** directions, int n, double ftol,
               int& iterations, sfloat& final_cost, CostFunction cost) {
    // Released D, PE, P0 (last allocated first) at either exit, and when a
    // failure is thrown through the search.
    OwnedVector origin_store(1, n), extrapolated_store(1, n), direction_store(1, n);
    sfloat* origin = origin_store.data();              // P0: where the last direction loop began
    sfloat* extrapolated = extrapolated_store.data();  // PE: 2 p - P0, one more average move ahead
    sfloat* direction = direction_store.data();        // D: the direction searched, later the average move

    final_cost = cost(p);  // f: the current cost, kept up to date by line_min
    for (int j = 1; j <= n; ++j) origin[j] = p[j];

    // Invariant: final_cost is the cost at p, as the entry evaluation or the
    // last line_min reported it.
    for (iterations = 1;; ++iterations) {
        sfloat start_cost = final_cost;  // f0: the cost when this iteration began
        int largest = 0;                 // k: the direction of largest decrease, 0 for none yet
        sfloat largest_drop = 0.0;       // delta: the decrease along direction k

        for (int i = 1; i <= n; ++i) {
            for (int j = 1; j <= n; ++j) direction[j] = directions[j][i];
            sfloat before = final_cost;  // fs: the cost before this line search
            line_min(p, direction, n, final_cost, cost);
            // Strictly larger: among equal decreases the first direction wins.
            if (std::fabs(before - final_cost) > largest_drop) {
                largest_drop = std::fabs(before - final_cost);
                largest = i;
            }
        }

        // Converged when the iteration gained too little; wholly in double.
        if (2.0 * std::fabs(start_cost - final_cost) <=
            ftol * (std::fabs(start_cost) + std::fabs(final_cost)))
            return 1;
        // Checked after convergence: a last iteration that converges counts.
        if (iterations == powell_iteration_limit) return 0;

        // The iteration's average move, and the point one such move further.
        for (int j = 1; j <= n; ++j) {
            extrapolated[j] = 2.0 * p[j] - origin[j];
            direction[j] = p[j] - origin[j];
            origin[j] = p[j];
        }
        sfloat extrapolated_cost = cost(extrapolated);  // fE

        // Replace a direction only if the extrapolated point is better and
        // the average move looks worth keeping (t < 0).
        if (extrapolated_cost < start_cost) {
            // Each difference is rounded before it is squared; t is rounded
            // before its sign is tested.
            sfloat shortfall = start_cost - final_cost - largest_drop;
            sfloat gain = start_cost - extrapolated_cost;
            sfloat t = 2.0 * (start_cost - 2.0 * final_cost + extrapolated_cost) *
                           (shortfall * shortfall) -
                       largest_drop * (gain * gain);
            if (t < 0.0) {
                line_min(p, direction, n, final_cost, cost);
                // The average move replaces direction k; the last direction
                // takes k's place. Without a direction k (every decrease was
                // zero or not a number) there is no column to replace.
                if (largest > 0) {
                    for (int j = 1; j <= n; ++j) {
                        directions[j][largest] = directions[j][n];
                        directions[j][n] = direction[j];
                    }
                }
            }
        }
    }
}
