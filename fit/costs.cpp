// The two cost functions: the mean squared deviation between the observed
// values and the model, over every vector of FitState.
#include <cmath>
#include <cstddef>

#include "fit/fit.h"

namespace {

// Vectors per block. The values and squared residuals of a block are
// independent of each other; only the running sum is serial, and it is
// added while the next block's values are computed.
constexpr int cost_block = 64;

// Squared residuals of one block: (observed - value) / s, with s the row's
// sigma where the fit has them and |error| otherwise.
void block_squares(const double* observed, const sfloat* values, const float* sigma,
                   sfloat error, int count, double* square)
{
    if (sigma != nullptr) {
        for (int k = 0; k < count; ++k) {
            const double residual = (observed[k] - values[k]) / double(sigma[k]);
            square[k] = residual * residual;
        }
    } else if (error == 1.0) {
        // Division by 1 is exact: skip it.
        for (int k = 0; k < count; ++k) {
            const double residual = observed[k] - values[k];
            square[k] = residual * residual;
        }
    } else {
        for (int k = 0; k < count; ++k) {
            const double residual = (observed[k] - values[k]) / error;
            square[k] = residual * residual;
        }
    }
}

// Counts the evaluation and, every so many vectors, asks whether to stop.
void count_evaluation(int vectors)
{
    FitState& state = fit_state();
    ++state.evaluations;
    if (interrupt_requested(state.interrupt, vectors)) {
        throw FitInterrupted{};
    }
}

// Both costs share this loop; they differ only in the offset added to each
// prediction before it is narrowed.
sfloat mean_squared_deviation(const sfloat* p, double offset)
{
    const FitState& state = fit_state();
    const int n = state.count;
    sfloat sum = 0.0;  // narrowed after every addition, in row order
    if (n >= 1) {
        const Rotation rot = rotation_from_angles(p[param_a1], p[param_a2], p[param_a3]);
        const sfloat error = std::sqrt(state.error * state.error);
        const double da = p[param_da], dr = p[param_dr];
        sfloat values[cost_block];
        double squares[2][cost_block];  // this block's, and the previous block's still to add
        PendingSum pending = {squares[1], 0, &sum};
        const float* narrowed = state.narrowed;
        for (int start = 0, current = 0; start < n; start += cost_block, current ^= 1) {
            const int count = n - start < cost_block ? n - start : cost_block;
            NarrowedRows block = {};
            if (narrowed != nullptr) {
                const size_t run = static_cast<size_t>(n);
                block = {narrowed + start, narrowed + run + start, narrowed + 2 * run + start};
            }
            const float* scale = state.scale != nullptr ? state.scale + start : nullptr;
            const float* sigma = state.sigma != nullptr ? state.sigma + start : nullptr;
            model_values(rot, state.rows + start, count, da, dr, offset, values, pending,
                         block, scale);
            block_squares(state.observed + start, values, sigma, error, count,
                          squares[current]);
            pending = {squares[current], count, &sum};
        }
        add_squares(sum, pending.squares, 0, pending.count);
    }
    count_evaluation(n);
    // With no vectors this is 0/0: the cost of nothing is NaN.
    return sum / static_cast<double>(n);
}

}  // namespace

sfloat cost_no_offset(const sfloat* p)
{
    return mean_squared_deviation(p, 0.0);
}

sfloat cost_with_offset(const sfloat* p)
{
    return mean_squared_deviation(p, p[param_offset]);
}
