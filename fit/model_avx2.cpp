// The certified fast model value, four vectors at a time with AVX2.
//
// Every operation here is one IEEE-754 operation on each lane, exactly as
// the scalar code performs it: products, sums, quotients and square roots
// are correctly rounded in double, and narrowing rounds to nearest like a
// scalar conversion. No fused multiply-add is enabled or written, so the
// lanes compute what model_value_certified computes, bit for bit.
#include "fit/fit.h"

#if KELFIT_HAVE_AVX2_KERNEL

#include <cfloat>

#include <immintrin.h>

namespace {

#define KELFIT_AVX2 __attribute__((target("avx2")))

// Rounds each lane to float and widens it back: a stored float.
KELFIT_AVX2 inline __m256d narrowed(__m256d v)
{
    return _mm256_cvtps_pd(_mm256_cvtpd_ps(v));
}

// One rotated component: the float accumulator takes its x, y, z terms in turn.
KELFIT_AVX2 inline __m256d rotated(const double* coefficient, __m256d x, __m256d y, __m256d z)
{
    __m256d component = narrowed(_mm256_mul_pd(_mm256_set1_pd(coefficient[0]), x));
    component = narrowed(_mm256_add_pd(component, _mm256_mul_pd(_mm256_set1_pd(coefficient[1]), y)));
    return narrowed(_mm256_add_pd(component, _mm256_mul_pd(_mm256_set1_pd(coefficient[2]), z)));
}

// Scaled rows: each lane's Da and Dr times its row's scale (exact products
// of floats), and the bound of those magnitudes, formed in the order
// fast_value_bound forms it.
struct LaneTerms {
    __m256d da, dr, bound;
};

KELFIT_AVX2 inline LaneTerms scaled_terms(const float* scale, __m256d da4, __m256d dr4,
                                          __m256d offset4, __m256d sign)
{
    const __m256d s = _mm256_cvtps_pd(_mm_loadu_ps(scale));
    const __m256d da = _mm256_mul_pd(da4, s);
    const __m256d dr = _mm256_mul_pd(dr4, s);
    const __m256d magnitude = _mm256_add_pd(
        _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(fast_value_da_weight),
                                    _mm256_andnot_pd(sign, da)),
                      _mm256_andnot_pd(sign, dr)),
        _mm256_andnot_pd(sign, offset4));
    return {da, dr, _mm256_mul_pd(_mm256_set1_pd(fast_value_margin), magnitude)};
}

template <bool scaled>
KELFIT_AVX2 int certified_values_avx2_by(const Rotation& rot, const float* x, const float* y,
                                         const float* z, int count, double da, double dr,
                                         double offset, double bound, const float* scale,
                                         sfloat* values, int* declined, int& declined_count,
                                         PendingSum pending)
{
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m128 sign_f = _mm_set1_ps(-0.0f);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d three = _mm256_set1_pd(3.0);
    const __m256d da_all = _mm256_set1_pd(da), dr_all = _mm256_set1_pd(dr);
    const __m256d offset4 = _mm256_set1_pd(offset), bound_all = _mm256_set1_pd(bound);
    const __m128 float_max = _mm_set1_ps(FLT_MAX);

    // The running sum: one serial chain of narrowed additions. A few of its
    // links go with each step below, so its latency hides behind the
    // independent lanes.
    sfloat sum = pending.count > 0 ? *pending.sum : sfloat(0.0);
    int added = 0;

    declined_count = 0;
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        if (added + 4 <= pending.count) {
            add_squares(sum, pending.squares, added, added + 4);
            added += 4;
        }
        LaneTerms terms = {da_all, dr_all, bound_all};
        if (scaled) {
            terms = scaled_terms(scale + k, da_all, dr_all, offset4, sign);
        }
        const __m256d da4 = terms.da, dr4 = terms.dr, bound4 = terms.bound;

        const __m256d xk = _mm256_cvtps_pd(_mm_loadu_ps(x + k));
        const __m256d yk = _mm256_cvtps_pd(_mm_loadu_ps(y + k));
        const __m256d zk = _mm256_cvtps_pd(_mm_loadu_ps(z + k));
        const __m256d xr = rotated(rot.m[0], xk, yk, zk);
        const __m256d yr = rotated(rot.m[1], xk, yk, zk);
        const __m256d zr = rotated(rot.m[2], xk, yk, zk);

        const __m256d xx = _mm256_mul_pd(xr, xr);
        const __m256d yy = _mm256_mul_pd(yr, yr);
        const __m256d zz = _mm256_mul_pd(zr, zr);
        const __m256d planar = _mm256_add_pd(xx, yy);
        const __m256d length = narrowed(_mm256_sqrt_pd(_mm256_add_pd(planar, zz)));
        const __m256d length2 = _mm256_mul_pd(length, length);
        const __m256d axial = _mm256_mul_pd(
            da4, _mm256_sub_pd(_mm256_mul_pd(_mm256_mul_pd(three, zz), planar),
                               _mm256_mul_pd(length2, planar)));
        const __m256d rhombic = _mm256_mul_pd(
            dr4, _mm256_mul_pd(_mm256_sub_pd(length2, zz), _mm256_sub_pd(xx, yy)));
        const __m256d value = _mm256_add_pd(
            _mm256_div_pd(_mm256_add_pd(axial, rhombic), _mm256_mul_pd(length2, planar)),
            offset4);

        const __m128 low = _mm256_cvtpd_ps(_mm256_sub_pd(value, bound4));
        const __m128 high = _mm256_cvtpd_ps(_mm256_add_pd(value, bound4));
        // sfloat is a float, so the lanes go straight into place.
        _mm_storeu_ps(reinterpret_cast<float*>(values + k), low);

        // Ordered comparisons: a NaN anywhere declines the lane.
        const __m256d wide_ok =
            _mm256_and_pd(_mm256_cmp_pd(planar, zero, _CMP_GT_OQ),
                          _mm256_cmp_pd(_mm256_andnot_pd(sign, value), bound4, _CMP_GT_OQ));
        const __m128 narrow_ok =
            _mm_and_ps(_mm_cmp_ps(low, high, _CMP_EQ_OQ),
                       _mm_cmp_ps(_mm_andnot_ps(sign_f, low), float_max, _CMP_LE_OQ));
        const int lanes = _mm256_movemask_pd(wide_ok) & _mm_movemask_ps(narrow_ok);
        if (lanes != 0xF) {
            for (int lane = 0; lane < 4; ++lane) {
                if (!((lanes >> lane) & 1)) declined[declined_count++] = k + lane;
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

KELFIT_AVX2 int certified_values_avx2(const Rotation& rot, const float* x, const float* y,
                                      const float* z, int count, double da, double dr,
                                      double offset, double bound, const float* scale,
                                      sfloat* values, int* declined, int& declined_count,
                                      PendingSum pending)
{
    if (scale != nullptr) {
        return certified_values_avx2_by<true>(rot, x, y, z, count, da, dr, offset, bound, scale,
                                              values, declined, declined_count, pending);
    }
    return certified_values_avx2_by<false>(rot, x, y, z, count, da, dr, offset, bound, scale,
                                           values, declined, declined_count, pending);
}

bool avx2_available()
{
    return __builtin_cpu_supports("avx2");
}

#endif
