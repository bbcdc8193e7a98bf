// The certified fast model value, two vectors at a time, in the compiler's
// portable vector types: SSE2 on any x86-64, NEON on arm64. It serves where
// the AVX2 kernel cannot run.
//
// Each lane performs the scalar path's IEEE-754 operations in the same
// order (no fused multiply-add: the build forbids contraction), so each
// lane's result is model_value_certified's, bit for bit.
#include "fit/fit.h"

#if KELFIT_HAVE_PAIRS_KERNEL

#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

typedef double pair_d __attribute__((vector_size(16)));
typedef float pair_f __attribute__((vector_size(8)));

// Rounds each lane to float and widens it back: a stored float.
inline pair_d narrowed(pair_d v)
{
    return __builtin_convertvector(__builtin_convertvector(v, pair_f), pair_d);
}

inline pair_d widened(const float* values)
{
    pair_f pair;
    std::memcpy(&pair, values, sizeof pair);
    return __builtin_convertvector(pair, pair_d);
}

// One rotated component: the float accumulator takes its x, y, z terms in turn.
inline pair_d rotated(const double* coefficient, pair_d x, pair_d y, pair_d z)
{
    pair_d component = narrowed(coefficient[0] * x);
    component = narrowed(component + coefficient[1] * y);
    return narrowed(component + coefficient[2] * z);
}

bool certified_lane(double planar, double value, double bound, float low, float high)
{
    return planar > 0.0 && std::fabs(value) > bound && low == high &&
           std::fabs(low) <= FLT_MAX;
}

template <bool scaled>
int certified_values_pairs_by(const Rotation& rot, const float* x, const float* y,
                              const float* z, int count, double da_all, double dr_all,
                              double offset, double bound_all, const float* scale,
                              sfloat* values, int* declined, int& declined_count,
                              PendingSum pending)
{
    // The running sum, a few links per step, as in the AVX2 kernel.
    sfloat sum = pending.count > 0 ? *pending.sum : sfloat(0.0);
    int added = 0;

    declined_count = 0;
    int k = 0;
    for (; k + 2 <= count; k += 2) {
        if (added + 2 <= pending.count) {
            add_squares(sum, pending.squares, added, added + 2);
            added += 2;
        }
        // Scaled rows: Da and Dr times the row's scale (exact products of
        // floats), and the bound of those magnitudes.
        pair_d da = {da_all, da_all}, dr = {dr_all, dr_all}, bound = {bound_all, bound_all};
        if (scaled) {
            const pair_d s = widened(scale + k);
            da = da * s;
            dr = dr * s;
            bound = pair_d{fast_value_bound(da[0], dr[0], offset),
                           fast_value_bound(da[1], dr[1], offset)};
        }

        const pair_d xk = widened(x + k), yk = widened(y + k), zk = widened(z + k);
        const pair_d xr = rotated(rot.m[0], xk, yk, zk);
        const pair_d yr = rotated(rot.m[1], xk, yk, zk);
        const pair_d zr = rotated(rot.m[2], xk, yk, zk);

        const pair_d xx = xr * xr, yy = yr * yr, zz = zr * zr;
        const pair_d planar = xx + yy;
        const pair_d squared_length = planar + zz;
        const pair_d length =
            narrowed(pair_d{std::sqrt(squared_length[0]), std::sqrt(squared_length[1])});
        const pair_d length2 = length * length;
        const pair_d numerator = da * (3.0 * zz * planar - length2 * planar) +
                                 dr * ((length2 - zz) * (xx - yy));
        const pair_d value = numerator / (length2 * planar) + offset;

        const pair_f low = __builtin_convertvector(value - bound, pair_f);
        const pair_f high = __builtin_convertvector(value + bound, pair_f);
        for (int lane = 0; lane < 2; ++lane) {
            values[k + lane] = low[lane];
            if (!certified_lane(planar[lane], value[lane], bound[lane], low[lane], high[lane])) {
                declined[declined_count++] = k + lane;
            }
        }
    }

    add_squares(sum, pending.squares, added, pending.count);
    if (pending.count > 0) {
        *pending.sum = sum;
    }
    return k;
}

}  // namespace

int certified_values_pairs(const Rotation& rot, const float* x, const float* y, const float* z,
                           int count, double da, double dr, double offset, double bound,
                           const float* scale, sfloat* values, int* declined,
                           int& declined_count, PendingSum pending)
{
    if (scale != nullptr) {
        return certified_values_pairs_by<true>(rot, x, y, z, count, da, dr, offset, bound,
                                               scale, values, declined, declined_count,
                                               pending);
    }
    return certified_values_pairs_by<false>(rot, x, y, z, count, da, dr, offset, bound, scale,
                                            values, declined, declined_count, pending);
}

#endif
