// The model's value without the C library's trigonometry, certified equal
// to the exact path's float.
//
// Both paths start from the same float components x', y', z' and the same
// float length L. The exact path takes q = z'/L, theta = acos(q),
// phi = atan2(y', x') and evaluates Da (3 cos^2 theta - 1) +
// Dr sin^2 theta cos 2 phi + offset. In exact arithmetic that is
//   Da (3 z'^2 / L^2 - 1) + Dr ((L^2 - z'^2) / L^2) ((x'^2 - y'^2) / P) + offset
// with P = x'^2 + y'^2; the fast path evaluates it over one common
// denominator L^2 P. Squares of floats are exact in double.
//
// Why the bound holds. Let u = 2^-53 and let the C library's acos, sin, cos
// and atan2 be within k ulp (glibc documents k = 1 for all four on x86-64
// and aarch64; we allow several).
// - q carries one rounding; acos adds at most 2 pi k u to theta, cos and sin
//   k ulp more, so cos^2 theta and sin^2 theta each lie within
//   (4 pi k + 8) u of z'^2/L^2 and 1 - z'^2/L^2.
// - atan2 is off by at most 2 pi k u; 2 phi is exact, so cos 2 phi is within
//   (4 pi k + 2) u of (x'^2 - y'^2)/P.
// - The exact expression rounds seven times, the fast one ten times, each
//   by at most u times a partial value bounded by S = 4|Da| + |Dr| + |offset|
//   (every quotient above is at most 1 in magnitude, 3 z'^2/L^2 at most 3).
// So |exact - fast| < (16 pi k + 40) u S, which for k = 4 is below 2^-44 S.
// We take B = 2^-40 S, sixteen times more; forming v - B and v + B rounds
// twice more by at most u S, far inside that margin. Narrowing is
// monotonic, so when v - B and v + B narrow to the same float bits, every
// double between them does, the exact one included.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "fit/fit.h"

namespace {

constexpr int value_block = 64;          // vectors narrowed side by side for a kernel

uint32_t float_bits(sfloat value)
{
    const float f = value.as_float();
    uint32_t out;
    std::memcpy(&out, &f, sizeof out);
    return out;
}

void add_pending(PendingSum pending)
{
    if (pending.count > 0) {  // an empty one has no sum to add to
        add_squares(*pending.sum, pending.squares, 0, pending.count);
    }
}

// One vector's value: certified fast where possible, else exact.
void value_of(const Rotation& rot, const double* row, double da, double dr, double offset,
              double bound, sfloat& out)
{
    if (!model_value_certified(rot, row, da, dr, offset, bound, out)) {
        out = model_value(rot, row, da, dr, offset);
    }
}

// Row i's value where the rows may carry their own scale: Da and Dr are
// multiplied by it (each product of two floats is exact in double), the
// offset is not, and the bound follows the scaled magnitudes.
void row_value_of(const Rotation& rot, const double* row, double da, double dr, double offset,
                  double bound, const float* scale, int i, sfloat& out)
{
    if (scale == nullptr) {
        value_of(rot, row, da, dr, offset, bound, out);
        return;
    }
    const double s = scale[i];
    value_of(rot, row, da * s, dr * s, offset, fast_value_bound(da * s, dr * s, offset), out);
}

}  // namespace

double fast_value_bound(double da, double dr, double offset)
{
    return fast_value_margin *
           (fast_value_da_weight * std::fabs(da) + std::fabs(dr) + std::fabs(offset));
}

// Declines on the tensor frame's z axis (phi undefined), near a float
// rounding boundary, near zero, and where anything is not finite.
bool model_value_certified(const Rotation& rot, const double* row, double da, double dr,
                           double offset, double bound, sfloat& out)
{
    const Rotated r = rotate(rot, row);
    const double xx = r.x * r.x;
    const double yy = r.y * r.y;
    const double zz = r.z * r.z;
    const double planar = xx + yy;
    const sfloat length = std::sqrt(planar + zz);  // the exact path's L
    const double length2 = length * length;
    const double numerator =
        da * (3.0 * zz * planar - length2 * planar) + dr * ((length2 - zz) * (xx - yy));
    const double value = numerator / (length2 * planar) + offset;

    const sfloat low = value - bound;
    const sfloat high = value + bound;
    // Written so that a NaN anywhere fails the test. Beyond |value| > bound,
    // low and high share value's sign, so equal floats have equal bits.
    if (planar > 0.0 && std::fabs(value) > bound && float_bits(low) == float_bits(high) &&
        std::isfinite(double(low))) {
        out = low;
        return true;
    }
    return false;
}

sfloat model_value_fast(const Rotation& rot, const double* row, double da, double dr,
                        double offset)
{
    sfloat value;
    value_of(rot, row, da, dr, offset, fast_value_bound(da, dr, offset), value);
    return value;
}

namespace {

// A kernel that takes the narrowed components side by side (AVX2, pairs).
using SideBySideKernel = int (*)(const Rotation& rot, const float* x, const float* y,
                                 const float* z, int count, double da, double dr,
                                 double offset, double bound, const float* scale,
                                 sfloat* values, int* declined, int& declined_count,
                                 PendingSum pending);

#if KELFIT_HAVE_AVX2_KERNEL || KELFIT_HAVE_PAIRS_KERNEL
void model_values_side_by_side(SideBySideKernel kernel, const Rotation& rot,
                               const double* const* rows, int count, double da, double dr,
                               double offset, double bound, sfloat* values,
                               PendingSum pending, NarrowedRows narrowed, const float* scale)
{
    float x[value_block], y[value_block], z[value_block];
    int declined[value_block];
    for (int start = 0; start < count; start += value_block) {
        const int n = count - start < value_block ? count - start : value_block;
        const double* const* block = rows + start;
        NarrowedRows side_by_side = {x, y, z};
        if (narrowed.x != nullptr) {
            side_by_side = {narrowed.x + start, narrowed.y + start, narrowed.z + start};
        } else {
            for (int k = 0; k < n; ++k) {
                x[k] = static_cast<float>(block[k][0]);
                y[k] = static_cast<float>(block[k][1]);
                z[k] = static_cast<float>(block[k][2]);
            }
        }
        // The pending squares go with the first block.
        int declined_count = 0;
        const float* block_scale = scale != nullptr ? scale + start : nullptr;
        const int done = kernel(rot, side_by_side.x, side_by_side.y, side_by_side.z, n, da,
                                dr, offset, bound, block_scale, values + start, declined,
                                declined_count, pending);
        pending.count = 0;
        // The kernel's refusals and leftovers: the scalar path, else the exact one.
        for (int d = 0; d < declined_count; ++d) {
            const int k = declined[d];
            row_value_of(rot, block[k], da, dr, offset, bound, block_scale, k, values[start + k]);
        }
        for (int k = done; k < n; ++k) {
            row_value_of(rot, block[k], da, dr, offset, bound, block_scale, k, values[start + k]);
        }
    }
    add_pending(pending);
}
#endif

void model_values_scalar(const Rotation& rot, const double* const* rows, int count,
                         double da, double dr, double offset, double bound,
                         const float* scale, sfloat* values)
{
    for (int i = 0; i < count; ++i) {
        row_value_of(rot, rows[i], da, dr, offset, bound, scale, i, values[i]);
    }
}

// The fastest kernel this processor runs, unless KELFIT_KERNEL names another
// one it can run: so a machine proves the kernels it would not pick itself.
ValueKernel initial_kernel()
{
#ifdef KELFIT_EXACT_ONLY
    return ValueKernel::exact;
#else
    ValueKernel fastest = ValueKernel::scalar;
    if (value_kernel_available(ValueKernel::avx2)) {
        fastest = ValueKernel::avx2;
    } else if (value_kernel_available(ValueKernel::pairs)) {
        fastest = ValueKernel::pairs;
    }
    return value_kernel_requested(std::getenv("KELFIT_KERNEL"), fastest);
#endif
}

ValueKernel active_kernel = initial_kernel();

}  // namespace

bool value_kernel_available(ValueKernel kernel)
{
    switch (kernel) {
    case ValueKernel::exact:
    case ValueKernel::scalar:
        return true;
    case ValueKernel::pairs:
        return KELFIT_HAVE_PAIRS_KERNEL != 0;
    case ValueKernel::avx2:
#if KELFIT_HAVE_AVX2_KERNEL
        return avx2_available();
#else
        return false;
#endif
    }
    return false;
}

const char* value_kernel_name(ValueKernel kernel)
{
    switch (kernel) {
    case ValueKernel::exact:
        return "exact";
    case ValueKernel::scalar:
        return "scalar";
    case ValueKernel::pairs:
        return "pairs";
    case ValueKernel::avx2:
        return "avx2";
    }
    return "unknown";
}

ValueKernel value_kernel_requested(const char* name, ValueKernel fallback)
{
    if (name == nullptr) {
        return fallback;
    }
    for (ValueKernel kernel : {ValueKernel::exact, ValueKernel::scalar, ValueKernel::pairs,
                               ValueKernel::avx2}) {
        if (std::strcmp(name, value_kernel_name(kernel)) == 0) {
            return value_kernel_available(kernel) ? kernel : fallback;
        }
    }
    return fallback;
}

ValueKernel active_value_kernel()
{
    return active_kernel;
}

void use_value_kernel(ValueKernel kernel)
{
    if (value_kernel_available(kernel)) {
        active_kernel = kernel;
    }
}

void model_values(const Rotation& rot, const double* const* rows, int count, double da,
                  double dr, double offset, sfloat* values, PendingSum pending,
                  NarrowedRows narrowed, const float* scale)
{
    model_values_by(active_kernel, rot, rows, count, da, dr, offset, values, pending, narrowed,
                    scale);
}

void model_values_by(ValueKernel kernel, const Rotation& rot, const double* const* rows,
                     int count, double da, double dr, double offset, sfloat* values,
                     PendingSum pending, NarrowedRows narrowed, const float* scale)
{
    const double bound = fast_value_bound(da, dr, offset);
    switch (kernel) {
    case ValueKernel::exact:
        add_pending(pending);
        for (int i = 0; i < count; ++i) {
            // Multiplying by one is exact: unscaled rows compute what they always did.
            const double s = scale != nullptr ? double(scale[i]) : 1.0;
            values[i] = model_value(rot, rows[i], da * s, dr * s, offset);
        }
        return;
    case ValueKernel::avx2:
#if KELFIT_HAVE_AVX2_KERNEL
        model_values_side_by_side(certified_values_avx2, rot, rows, count, da, dr, offset,
                                  bound, values, pending, narrowed, scale);
        return;
#else
        [[fallthrough]];
#endif
    case ValueKernel::pairs:
#if KELFIT_HAVE_PAIRS_KERNEL
        model_values_side_by_side(certified_values_pairs, rot, rows, count, da, dr, offset,
                                  bound, values, pending, narrowed, scale);
        return;
#else
        (void)narrowed;
        [[fallthrough]];
#endif
    case ValueKernel::scalar:
        break;
    }
    add_pending(pending);
    model_values_scalar(rot, rows, count, da, dr, offset, bound, scale, values);
}
