// Downhill bracketing of a one-dimensional minimum.
#include "numkit/numkit.h"

#include <cmath>
#include <utility>

namespace {

constexpr double golden_ratio = 1.618034;    // default step: this many last intervals beyond the end
constexpr double parabolic_limit = 100.0;    // a parabolic step reaches at most this many c - b beyond b
constexpr float tiny_denominator = 1e-20f;   // floor of |q - r|, keeps the vertex finite

// The default step: from the interval behind -> end, go golden_ratio times
// its length further beyond end.
sfloat golden_step(double behind, double end) {
    return end + golden_ratio * (end - behind);
}

}  // namespace

void bracket_min(sfloat& a, sfloat& b, sfloat& c, sfloat& fa, sfloat& fb,
                 sfloat& fc, LineFunction f) {
    fa = f(a);
    fb = f(b);
    // Walk from a toward b; if b is higher, turn round so the walk goes downhill.
    if (fb > fa) {
        std::swap(a, b);
        std::swap(fa, fb);
    }
    c = golden_step(a, b);
    fc = f(c);

    // Invariant: a, b, c lie in this order along the walk and fb <= fa; the
    // walk goes on while c is still below b.
    while (fb > fc) {
        // Vertex u of the parabola through (a, fa), (b, fb), (c, fc).
        sfloat r = (b - a) * (fb - fc);
        sfloat q = (b - c) * (fb - fa);
        sfloat denominator = tiny_denominator;  // |q - r|, floored, signed like q - r
        sfloat magnitude = std::fabs(q - r);
        if (magnitude > tiny_denominator) denominator = magnitude;
        if (q - r < 0.0) denominator = -denominator;  // a zero difference counts as positive
        sfloat u = b - ((b - c) * q - (b - a) * r) / (2.0 * denominator);
        sfloat limit = b + parabolic_limit * (c - b);  // farthest point a parabolic step may reach
        sfloat fu;                                     // f(u) for the u that joins the triple

        // The products below are only compared, never stored.
        if ((b - u) * (u - c) > 0.0) {
            // Vertex strictly between b and c.
            fu = f(u);
            if (fu < fc) {
                // The minimum lies between b and c: (b, u, c) brackets it.
                a = b;
                b = u;
                fa = fb;
                fb = fu;
                return;
            }
            if (fu > fb) {
                // The minimum lies between a and u: (a, b, u) brackets it.
                c = u;
                fc = fu;
                return;
            }
            // The vertex was of no use: drop it and take the default step.
            u = golden_step(b, c);
            fu = f(u);
        } else if ((c - u) * (u - limit) > 0.0) {
            // Vertex between c and the limit.
            fu = f(u);
            if (fu < fc) {
                // Still falling at the vertex: move on to it and step beyond.
                b = c;
                c = u;
                u = golden_step(b, c);
                fb = fc;
                fc = fu;
                fu = f(u);
            }
        } else if ((u - limit) * (limit - c) >= 0.0) {
            // Vertex at or beyond the limit: go no further than the limit.
            u = limit;
            fu = f(u);
        } else {
            // Vertex behind b or exactly at c: the default step.
            u = golden_step(b, c);
            fu = f(u);
        }
        // Drop the oldest point.
        a = b;
        b = c;
        c = u;
        fa = fb;
        fb = fc;
        fc = fu;
    }
}
