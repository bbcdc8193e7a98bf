// The certified fast model value, two vectors at a time, in the compiler's
// portable vector types: SSE2 on any x86-64, NEON on arm64. It serves where
// the AVX2 kernel cannot run.
//
// Each lane performs the scalar path's IEEE-754 operations in the same
// order (no fused multiply-add: the build forbids contraction), so each
// lane's result is model_value_certified's, bit for bit.
//
// The arithmetic is written in the portable types. The conversions between
// double and float, the square root, the lane tests and the stores are
// spelt out for SSE2 and NEON: the compiler's generic code for a vector of
// two floats costs a shuffle per conversion, and std::sqrt a branch for
// errno per lane, and conversions are what this kernel spends most on. Any
// other processor takes the generic forms, which compute the same.
#include "fit/fit.h"

#if KELFIT_HAVE_PAIRS_KERNEL

#include <cfloat>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#define KELFIT_PAIRS_SSE2 1
#include <emmintrin.h>
#elif defined(__aarch64__) && defined(__ARM_NEON)
#define KELFIT_PAIRS_NEON 1
#include <arm_neon.h>
#endif

namespace {

typedef double pair_d __attribute__((vector_size(16)));
typedef float pair_f __attribute__((vector_size(8)));

// Rounds each lane to float and widens it back: a stored float.
inline pair_d narrowed(pair_d v)
{
#if KELFIT_PAIRS_SSE2
    return (pair_d)_mm_cvtps_pd(_mm_cvtpd_ps((__m128d)v));
#elif KELFIT_PAIRS_NEON
    return (pair_d)vcvt_f64_f32(vcvt_f32_f64((float64x2_t)v));
#else
    return __builtin_convertvector(__builtin_convertvector(v, pair_f), pair_d);
#endif
}

// Two floats from memory, widened.
inline pair_d widened(const float* values)
{
#if KELFIT_PAIRS_SSE2
    // The two floats as one 8-byte load; they need not be aligned as a double.
    double both;
    std::memcpy(&both, values, sizeof both);
    return (pair_d)_mm_cvtps_pd(_mm_castpd_ps(_mm_set_sd(both)));
#elif KELFIT_PAIRS_NEON
    return (pair_d)vcvt_f64_f32(vld1_f32(values));
#else
    pair_f pair;
    std::memcpy(&pair, values, sizeof pair);
    return __builtin_convertvector(pair, pair_d);
#endif
}

// The correctly rounded square root of each lane, as std::sqrt gives it.
inline pair_d square_root(pair_d v)
{
#if KELFIT_PAIRS_SSE2
    return (pair_d)_mm_sqrt_pd((__m128d)v);
#elif KELFIT_PAIRS_NEON
    return (pair_d)vsqrtq_f64((float64x2_t)v);
#else
    return pair_d{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

inline pair_d magnitude(pair_d v)
{
    return pair_d{std::fabs(v[0]), std::fabs(v[1])};
}

// Narrows value - bound into values[0..1] and returns one bit per lane that
// may keep it: planar > 0, |value| > bound, value - bound and value + bound
// narrow to the same float, and that float is finite. Every comparison is
// ordered, so a NaN anywhere declines the lane, as in model_value_certified.
inline int store_certified(pair_d planar, pair_d value, pair_d bound, sfloat* values)
{
#if KELFIT_PAIRS_SSE2
    const __m128d v = (__m128d)value, b = (__m128d)bound;
    const __m128 low = _mm_cvtpd_ps(_mm_sub_pd(v, b));
    const __m128 high = _mm_cvtpd_ps(_mm_add_pd(v, b));
    // sfloat is a float, so the lanes go straight into place.
    _mm_storel_pi(reinterpret_cast<__m64*>(values), low);
    const __m128d wide_ok = _mm_and_pd(_mm_cmpgt_pd((__m128d)planar, _mm_setzero_pd()),
                                       _mm_cmpgt_pd(_mm_andnot_pd(_mm_set1_pd(-0.0), v), b));
    const __m128 narrow_ok =
        _mm_and_ps(_mm_cmpeq_ps(low, high),
                   _mm_cmple_ps(_mm_andnot_ps(_mm_set1_ps(-0.0f), low), _mm_set1_ps(FLT_MAX)));
    return _mm_movemask_pd(wide_ok) & _mm_movemask_ps(narrow_ok);
#elif KELFIT_PAIRS_NEON
    const float64x2_t v = (float64x2_t)value, b = (float64x2_t)bound;
    const float32x2_t low = vcvt_f32_f64(vsubq_f64(v, b));
    const float32x2_t high = vcvt_f32_f64(vaddq_f64(v, b));
    vst1_f32(reinterpret_cast<float*>(values), low);
    // vcagt and vcale compare magnitudes: |value| > |bound| (bound is
    // positive), |low| <= FLT_MAX.
    const uint64x2_t wide_ok =
        vandq_u64(vcgtq_f64((float64x2_t)planar, vdupq_n_f64(0.0)), vcagtq_f64(v, b));
    const uint32x2_t narrow_ok =
        vand_u32(vceq_f32(low, high), vcale_f32(low, vdup_n_f32(FLT_MAX)));
    const uint64x2_t ok = vandq_u64(wide_ok, vmovl_u32(narrow_ok));
    return (vgetq_lane_u64(ok, 0) != 0 ? 1 : 0) | (vgetq_lane_u64(ok, 1) != 0 ? 2 : 0);
#else
    const pair_f low = __builtin_convertvector(value - bound, pair_f);
    const pair_f high = __builtin_convertvector(value + bound, pair_f);
    int ok = 0;
    for (int lane = 0; lane < 2; ++lane) {
        values[lane] = low[lane];
        if (planar[lane] > 0.0 && std::fabs(value[lane]) > bound[lane] &&
            low[lane] == high[lane] && std::fabs(low[lane]) <= FLT_MAX) {
            ok |= 1 << lane;
        }
    }
    return ok;
#endif
}

// The rotation and the magnitudes as lanes, made once per call: locals that
// the stores into values cannot alias, so they stay in registers.
struct PairTerms {
    pair_d m[3][3];
    pair_d da, dr, offset, bound;
};

// One rotated component: the float accumulator takes its x, y, z terms in turn.
inline pair_d rotated(const pair_d* coefficient, pair_d x, pair_d y, pair_d z)
{
    pair_d component = narrowed(coefficient[0] * x);
    component = narrowed(component + coefficient[1] * y);
    return narrowed(component + coefficient[2] * z);
}

// Values of the two vectors at x, y, z into values; one bit per lane kept.
// Scaled rows: each lane's Da and Dr times its row's scale (exact products
// of floats), and the bound of those magnitudes, formed in the order
// fast_value_bound forms it.
template <bool scaled>
__attribute__((always_inline)) inline int evaluate(const PairTerms& t, const float* x,
                                                   const float* y, const float* z,
                                                   const float* scale, sfloat* values)
{
    pair_d da = t.da, dr = t.dr, bound = t.bound;
    if (scaled) {
        const pair_d s = widened(scale);
        da = da * s;
        dr = dr * s;
        bound = fast_value_margin *
                (fast_value_da_weight * magnitude(da) + magnitude(dr) + magnitude(t.offset));
    }

    const pair_d xk = widened(x), yk = widened(y), zk = widened(z);
    const pair_d xr = rotated(t.m[0], xk, yk, zk);
    const pair_d yr = rotated(t.m[1], xk, yk, zk);
    const pair_d zr = rotated(t.m[2], xk, yk, zk);

    const pair_d xx = xr * xr, yy = yr * yr, zz = zr * zr;
    const pair_d planar = xx + yy;
    const pair_d length = narrowed(square_root(planar + zz));
    const pair_d length2 = length * length;
    const pair_d numerator =
        da * (3.0 * zz * planar - length2 * planar) + dr * ((length2 - zz) * (xx - yy));
    const pair_d value = numerator / (length2 * planar) + t.offset;
    return store_certified(planar, value, bound, values);
}

template <bool scaled>
int certified_values_pairs_by(const Rotation& rot, const float* x, const float* y,
                              const float* z, int count, double da, double dr, double offset,
                              double bound, const float* scale, sfloat* values, int* declined,
                              int& declined_count, PendingSum pending)
{
    PairTerms t;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) t.m[i][j] = pair_d{rot.m[i][j], rot.m[i][j]};
    }
    t.da = pair_d{da, da};
    t.dr = pair_d{dr, dr};
    t.offset = pair_d{offset, offset};
    t.bound = pair_d{bound, bound};

    // The running sum, as in the AVX2 kernel: its links go with the steps
    // below, so their latency hides behind the independent lanes. A step's
    // work hides about eight; it takes four, or eight while more are
    // pending than vectors remain.
    sfloat sum = pending.count > 0 ? *pending.sum : sfloat(0.0);
    int added = 0;

    int refused = 0;
    int k = 0;
    // Two pairs a step.
    for (; k + 4 <= count; k += 4) {
        if (added + 4 <= pending.count) {
            const int backlog = pending.count - added;
            const int links = backlog >= 8 && backlog > count - k ? 8 : 4;
            add_squares(sum, pending.squares, added, added + links);
            added += links;
        }
        const float* row_scale = scaled ? scale + k : nullptr;
        const int first = evaluate<scaled>(t, x + k, y + k, z + k, row_scale, values + k);
        const int second = evaluate<scaled>(t, x + k + 2, y + k + 2, z + k + 2,
                                            scaled ? row_scale + 2 : nullptr, values + k + 2);
        const int kept = first | second << 2;
        if (kept != 0xF) {
            for (int lane = 0; lane < 4; ++lane) {
                if (!((kept >> lane) & 1)) declined[refused++] = k + lane;
            }
        }
    }
    if (k + 2 <= count) {
        const int kept =
            evaluate<scaled>(t, x + k, y + k, z + k, scaled ? scale + k : nullptr, values + k);
        for (int lane = 0; lane < 2; ++lane) {
            if (!((kept >> lane) & 1)) declined[refused++] = k + lane;
        }
        k += 2;
    }

    add_squares(sum, pending.squares, added, pending.count);
    if (pending.count > 0) {
        *pending.sum = sum;
    }
    declined_count = refused;
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
