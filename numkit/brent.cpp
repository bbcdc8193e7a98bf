// Brent's one-dimensional minimizer: parabolic steps where they can be
// trusted, golden-section steps otherwise.
#include "numkit/numkit.h"

#include <cmath>

namespace {

constexpr double golden_section = 0.381966;      // golden-section fraction of the larger segment
constexpr double abs_tolerance_floor = 1e-10;    // keeps the tolerance positive near x = 0

// magnitude, signed like direction; a zero direction counts as positive.
double toward(double magnitude, double direction) {
    return direction >= 0.0 ? magnitude : -magnitude;
}

}  // namespace

sfloat brent(sfloat ax, sfloat bx, sfloat cx, LineFunction f, sfloat tol,
             sfloat& xmin) {
    sfloat a = ax < cx ? ax : cx;  // lower end of the interval that holds the minimum
    sfloat b = ax > cx ? ax : cx;  // upper end
    sfloat x = bx;                 // lowest point so far (the latest, on a tie)
    sfloat w = bx;                 // second-lowest point
    sfloat v = bx;                 // previous w
    sfloat fx = f(bx);
    sfloat fw = fx;
    sfloat fv = fx;
    sfloat e = 0.0;  // the step before last: a parabolic step must beat half of it
    // The current step from x. Every step sets it before it is read, unless a
    // negative tolerance sends the first iteration to a parabolic attempt:
    // then it must not hold garbage.
    sfloat d = 0.0;

    // Invariant: a <= x <= b, and x is the lowest point evaluated so far.
    for (int iteration = 1; iteration <= brent_iteration_limit; ++iteration) {
        sfloat m = 0.5 * (a + b);                          // midpoint of the interval
        sfloat t = tol * std::fabs(x) + abs_tolerance_floor;  // absolute tolerance at x
        sfloat t2 = 2.0 * t;

        // Done when the interval around x is narrower than the tolerance allows.
        if (std::fabs(x - m) <= t2 - 0.5 * (b - a)) {
            xmin = x;
            return fx;
        }

        bool parabolic = false;  // true once a parabolic step has set d
        if (std::fabs(e) > t) {
            // Try the vertex of the parabola through x, w and v: x + p / q.
            sfloat r = (x - w) * (fx - fv);
            sfloat q = (x - v) * (fx - fw);
            sfloat p = (x - v) * q - (x - w) * r;
            q = 2.0 * (q - r);
            if (q > 0.0) p = -p;
            q = std::fabs(q);
            sfloat e_prev = e;
            e = d;
            // Reject it unless it moves less than half the step before last
            // and lands strictly inside (a, b). Compared in double, unnarrowed.
            const bool rejected = std::fabs(p) >= std::fabs(0.5 * q * e_prev) ||
                                  p <= q * (a - x) || p >= q * (b - x);
            if (!rejected) {
                d = p / q;
                sfloat s = x + d;
                // Too close to an end: step the tolerance toward the midpoint.
                if (s - a < t2 || b - s < t2) d = toward(t, m - x);
                parabolic = true;
            }
        }
        if (!parabolic) {
            // No parabolic step, or it was rejected: a golden-section step
            // into the larger segment.
            e = x >= m ? a - x : b - x;
            d = golden_section * e;
        }

        // Never evaluate closer to x than the tolerance.
        sfloat u = std::fabs(d) >= t ? x + d : x + toward(t, d);
        sfloat fu = f(u);

        if (fu <= fx) {
            // u is the new lowest point; x becomes an end of the interval.
            if (u >= x)
                a = x;
            else
                b = x;
            v = w;
            w = x;
            x = u;
            fv = fw;
            fw = fx;
            fx = fu;
        } else {
            // x stays; u becomes an end, and may replace w or v.
            if (u < x)
                a = u;
            else
                b = u;
            if (fu <= fw || w == x) {
                v = w;
                w = u;
                fv = fw;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    run_error("Too many iterations in brent");
}
