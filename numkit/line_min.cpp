// Minimization of a cost along one line through its parameter space.
#include "numkit/numkit.h"

namespace {

constexpr float line_start_near = 0.0f;  // the bracketing walk starts at the point itself
constexpr float line_start_far = 1.0f;   // and one full direction away
constexpr float line_tolerance = 0.0002f;  // fractional tolerance handed to brent

}  // namespace

namespace {
thread_local LineState this_thread_line_state = {};
}  // namespace

LineState& line_state() {
    return this_thread_line_state;
}

sfloat line_eval(sfloat x) {
    const LineState& line = line_state();
    const int n = line.line_count;
    // A fresh trial point of exactly n elements: a cost that reads past n
    // reads past the block.
    OwnedVector trial(1, n);
    sfloat* point = trial.data();
    for (int j = 1; j <= n; ++j)
        // Formed in double and rounded once, when stored.
        point[j] = line.line_origin[j] + x * line.line_direction[j];
    return line.line_target(point);
}

void line_min(sfloat* p, sfloat* d, int n, sfloat& final_cost,
              CostFunction cost) {
    // line_eval sees the line only through line_state, and only through
    // copies: p and d change after the search, not during it.
    // Released direction first, then origin, on return or on a failure
    // thrown through the search.
    OwnedVector origin(1, n);
    OwnedVector direction(1, n);
    LineState& line = line_state();
    line.line_count = n;
    line.line_origin = origin.data();
    line.line_direction = direction.data();
    line.line_target = cost;
    for (int j = 1; j <= n; ++j) {
        line.line_origin[j] = p[j];
        line.line_direction[j] = d[j];
    }

    sfloat a = line_start_near;
    sfloat b = line_start_far;
    sfloat c, fa, fb, fc;  // fa, fb, fc are not needed: brent evaluates anew
    bracket_min(a, b, c, fa, fb, fc, line_eval);
    sfloat xmin;  // written by brent, which returns only after writing it
    final_cost = brent(a, b, c, line_eval, line_tolerance, xmin);

    // Move by the step actually taken: the step is rounded when stored in d,
    // and p moves by that rounded step.
    for (int j = 1; j <= n; ++j) {
        d[j] = d[j] * xmin;
        p[j] = p[j] + d[j];
    }
}
