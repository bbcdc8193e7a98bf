// The model's value without the C library's trigonometry, certified equal
// to the exact path's float.
//
// Why the bound holds. Both paths start from the same float components
// x', y', z' and the same float length, so q = z'/|r'| is the same double in
// both. Let u = 2^-53. With the C library's acos, sin, cos and atan2 within
// k ulp (glibc documents k = 1 for all four on x86-64 and aarch64; we allow
// several):
// - theta = acos(q) is off by at most 2 k u pi, so cos(theta) differs from q,
//   and sin^2(theta) from 1 - q^2, by at most about 2 (2 pi k + 2) u, and the
//   squares by twice that plus their own rounding: below 20 k u + 4 u each.
// - phi = atan2(y', x') is off by at most 2 k u pi; 2 phi is exact, so
//   cos(2 phi) is off by at most (4 pi k + 2) u; the algebraic
//   (x'^2 - y'^2) / (x'^2 + y'^2) is off by at most 3 u (the squares of
//   floats are exact in double).
// - the model expression rounds at most six times in either path, each time
//   by u times a partial sum bounded by S = 4|Da| + |Dr| + |offset|.
// So |exact - fast| < (80 k + 20) u S, which for k = 4 is below 2^-44 S.
// We take 2^-40 S, sixteen times more. The double interval [v - B, v + B]
// is formed with two more roundings of at most u S each, far inside that
// margin. Narrowing is monotonic, so when both ends narrow to the same float
// bits, every double between them does, the exact one included.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "fit/fit.h"

namespace {

constexpr double fast_margin = 0x1p-40;  // relative to S = 4|Da| + |Dr| + |offset|

uint32_t float_bits(sfloat value)
{
    const float f = value.as_float();
    uint32_t out;
    std::memcpy(&out, &f, sizeof out);
    return out;
}

}  // namespace

// Declines on the tensor frame's z axis (phi undefined), near a float
// rounding boundary, near zero, and where anything is not finite.
bool model_value_certified(const Rotation& rot, const double* row, double da, double dr,
                           double offset, double bound, sfloat& out)
{
    const Rotated r = rotate(rot, row);
    const double xx = r.x * r.x;  // exact: a float squared fits in a double
    const double yy = r.y * r.y;
    const sfloat length = std::sqrt(xx + yy + r.z * r.z);

    const double q = r.z / length;  // cos theta, the same double the exact path takes acos of
    const double cos2_theta = q * q;
    const double sin2_theta = 1.0 - cos2_theta;
    const double planar = xx + yy;
    const double cos_2phi = (xx - yy) / planar;
    const double value = da * (3.0 * cos2_theta - 1.0) + dr * sin2_theta * cos_2phi + offset;

    const sfloat low = value - bound;
    const sfloat high = value + bound;
    // The comparisons are written so that NaN anywhere fails them.
    if (planar > 0.0 && std::fabs(value) > bound && float_bits(low) == float_bits(high) &&
        std::isfinite(double(low))) {
        out = low;
        return true;
    }
    return false;
}

double fast_value_bound(double da, double dr, double offset)
{
    return fast_margin * (4.0 * std::fabs(da) + std::fabs(dr) + std::fabs(offset));
}

sfloat model_value_fast(const Rotation& rot, const double* row, double da, double dr,
                        double offset)
{
    sfloat value;
    if (model_value_certified(rot, row, da, dr, offset, fast_value_bound(da, dr, offset), value)) {
        return value;
    }
    return model_value(rot, row, da, dr, offset);
}

void model_values(const Rotation& rot, const double* const* rows, int count, double da,
                  double dr, double offset, sfloat* values)
{
#ifdef KELFIT_EXACT_ONLY
    for (int i = 0; i < count; ++i) {
        values[i] = model_value(rot, rows[i], da, dr, offset);
    }
#else
    const double bound = fast_value_bound(da, dr, offset);
    for (int i = 0; i < count; ++i) {
        if (!model_value_certified(rot, rows[i], da, dr, offset, bound, values[i])) {
            values[i] = model_value(rot, rows[i], da, dr, offset);
        }
    }
#endif
}
