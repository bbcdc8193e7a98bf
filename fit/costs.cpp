// The two cost functions: the mean squared deviation between the observed
// values and the model, over every vector of FitState.
#include <cmath>

#include "fit/fit.h"

// Both costs share this loop; they differ only in the offset added to each
// prediction before it is narrowed.
static sfloat mean_squared_deviation(const sfloat* p, double offset)
{
    const int n = fit_state.count;
    sfloat sum = 0.0;  // narrowed after every addition, in row order
    if (n >= 1) {
        const Rotation rot = rotation_from_angles(p[param_a1], p[param_a2], p[param_a3]);
        const sfloat error = std::sqrt(fit_state.error * fit_state.error);
        for (int i = 0; i < n; ++i) {
            const sfloat value =
                model_value(rot, fit_state.rows[i], p[param_da], p[param_dr], offset);
            const double residual = (fit_state.observed[i] - value) / error;
            sum = sum + residual * residual;
        }
    }
    // With no vectors this is 0/0: the cost of nothing is NaN.
    return sum / static_cast<double>(n);
}

sfloat cost_no_offset(const sfloat* p)
{
    return mean_squared_deviation(p, 0.0);
}

sfloat cost_with_offset(const sfloat* p)
{
    return mean_squared_deviation(p, p[param_offset]);
}
