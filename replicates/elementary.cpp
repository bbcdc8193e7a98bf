// log, sin and cos from + - * / and sqrt alone, evaluated in a fixed order,
// so that they give the same bits under every C library and processor.
#include <cstdint>
#include <cstring>
#include <limits>

#include "replicates/replicates.h"

namespace {

// ln 2 in two parts: the first has 42 significant bits, so e ln2_high is
// exact for any exponent e of a double.
constexpr double ln2_high = 0x1.62e42fefa38p-1;
constexpr double ln2_low = 0x1.ef35793c7673p-45;
constexpr double sqrt_half = 0x1.6a09e667f3bcdp-1;  // the mantissa's split point

// 2 / (2k + 1), k = 1 .. 10: log m = 2 atanh s = 2 (s + s^3/3 + s^5/5 + ...)
// for s = (m - 1) / (m + 1), |s| <= 3 - 2 sqrt 2 < 0.1716; the first term
// left out, 2 s^23 / 23, is below 6e-19 of the sum.
constexpr int atanh_terms = 10;
constexpr double atanh_coefficient[atanh_terms] = {
    2.0 / 3.0,  2.0 / 5.0,  2.0 / 7.0,  2.0 / 9.0,  2.0 / 11.0,
    2.0 / 13.0, 2.0 / 15.0, 2.0 / 17.0, 2.0 / 19.0, 2.0 / 21.0,
};

constexpr int exponent_bias = 1023;
constexpr int mantissa_bits = 52;
constexpr std::uint64_t exponent_mask = 0x7ffu;
constexpr std::uint64_t mantissa_mask = (std::uint64_t{1} << mantissa_bits) - 1;

// pi / 2 in three parts of 33, 33 and 53 significant bits: for |x| below
// 2^20, k pi_half_1 and k pi_half_2 are exact for the k that reduces x.
constexpr double pi_half_1 = 0x1.921fb544p+0;
constexpr double pi_half_2 = 0x1.0b4611a6p-34;
constexpr double pi_half_3 = 0x1.3198a2e037073p-69;
constexpr double two_over_pi = 0x1.45f306dc9c883p-1;

// Taylor coefficients (-1)^k / (2k + 1)! for sin and (-1)^k / (2k)! for cos,
// k >= 1: on |x| <= pi/4 the first terms left out, x^17/17! and x^18/18!,
// are below 7e-17 of sin x and 3e-18 of cos x. Each is one correctly
// rounded division of exact integers.
constexpr int sin_terms = 7;
constexpr double sin_coefficient[sin_terms] = {
    -1.0 / 6.0,
    1.0 / 120.0,
    -1.0 / 5040.0,
    1.0 / 362880.0,
    -1.0 / 39916800.0,
    1.0 / 6227020800.0,
    -1.0 / 1307674368000.0,
};
constexpr int cos_terms = 8;
constexpr double cos_coefficient[cos_terms] = {
    -1.0 / 2.0,
    1.0 / 24.0,
    -1.0 / 720.0,
    1.0 / 40320.0,
    -1.0 / 3628800.0,
    1.0 / 479001600.0,
    -1.0 / 87178291200.0,
    1.0 / 20922789888000.0,
};

// sum_k c[k] z^k for k = 0 .. n - 1, by Horner's rule from the last.
template <int n>
double horner(const double (&c)[n], double z)
{
    double sum = c[n - 1];
    for (int k = n - 2; k >= 0; --k) {
        sum = sum * z + c[k];
    }
    return sum;
}

// The kernels, for |x| <= pi/4.
double sin_kernel(double x)
{
    const double z = x * x;
    return x + x * (z * horner(sin_coefficient, z));
}
double cos_kernel(double x)
{
    const double z = x * x;
    return 1.0 + z * horner(cos_coefficient, z);
}

struct Reduced {
    double r;      // in [-pi/4, pi/4], up to rounding
    unsigned q;    // quarter turns, modulo 4
};

// x = q pi/2 + r for 0 <= x <= max_reduced_argument.
Reduced reduce(double x)
{
    const auto k = static_cast<std::int64_t>(x * two_over_pi + 0.5);
    const auto turns = static_cast<double>(k);
    const double r = ((x - turns * pi_half_1) - turns * pi_half_2) - turns * pi_half_3;
    return {r, static_cast<unsigned>(k & 3)};
}

bool in_range(double x)
{
    return x >= -max_reduced_argument && x <= max_reduced_argument;
}

}  // namespace

double portable_log(double x)
{
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    int exponent = static_cast<int>((bits >> mantissa_bits) & exponent_mask) - exponent_bias;
    // The mantissa as a double in [1, 2), then in [sqrt 1/2, sqrt 2).
    bits = (bits & mantissa_mask) | (static_cast<std::uint64_t>(exponent_bias) << mantissa_bits);
    double m;
    std::memcpy(&m, &bits, sizeof m);
    if (m > 2.0 * sqrt_half) {
        m *= 0.5;
        ++exponent;
    }
    const double s = (m - 1.0) / (m + 1.0);
    const double z = s * s;
    const double log_m = 2.0 * s + s * (z * horner(atanh_coefficient, z));
    const auto e = static_cast<double>(exponent);
    return e * ln2_high + (e * ln2_low + log_m);
}

double portable_sin(double x)
{
    if (!in_range(x)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const bool negative = x < 0.0;
    const Reduced t = reduce(negative ? -x : x);
    double out;
    switch (t.q) {
    case 0: out = sin_kernel(t.r); break;
    case 1: out = cos_kernel(t.r); break;
    case 2: out = -sin_kernel(t.r); break;
    default: out = -cos_kernel(t.r); break;
    }
    return negative ? -out : out;
}

double portable_cos(double x)
{
    if (!in_range(x)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const Reduced t = reduce(x < 0.0 ? -x : x);
    switch (t.q) {
    case 0: return cos_kernel(t.r);
    case 1: return -sin_kernel(t.r);
    case 2: return -cos_kernel(t.r);
    default: return sin_kernel(t.r);
    }
}
