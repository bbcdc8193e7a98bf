// Rows with a scale of their own: every kernel keeps to the bound of the
// scaled magnitudes, the offset counted by its size whatever its sign.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "fit/fit.h"

namespace {

uint32_t bits(sfloat value)
{
    const float f = value.as_float();
    uint32_t out;
    std::memcpy(&out, &f, sizeof out);
    return out;
}

// Rows of float values side by side, as the vector kernels read them, and
// as row pointers, as the scalar path reads them.
struct Rows {
    std::vector<float> x, y, z;
    std::vector<double> flat;
    std::vector<const double*> pointers;

    void add(float xv, float yv, float zv)
    {
        x.push_back(xv);
        y.push_back(yv);
        z.push_back(zv);
        flat.insert(flat.end(), {double(xv), double(yv), double(zv)});
    }
    int count() const { return static_cast<int>(x.size()); }
    const double* const* rows()
    {
        pointers.clear();
        for (int i = 0; i < count(); ++i) pointers.push_back(&flat[3 * static_cast<size_t>(i)]);
        return pointers.data();
    }
};

// Directions along x, turned off it by a little: at Da = 0 their value
// Dr s cos 2 phi + offset with offset = -Dr s is about -2 eps^2, far below
// the bound of the scaled magnitudes, so no kernel may vouch for it; mixed
// with ordinary directions that every kernel takes.
Rows rows_near_a_cancelling_offset()
{
    Rows rows;
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const float eps[] = {1e-7f, 2e-7f, 3e-7f, 5e-7f, 7e-7f, 9e-7f};
    for (int k = 0; k < 64; ++k) {
        if (k % 3 == 0) {
            rows.add(1.0f, eps[(k / 3) % 6], 0.0f);
        } else {
            rows.add(float(unit(rng)), float(unit(rng)), float(unit(rng)));
        }
    }
    return rows;
}

// Lanes the scalar path sends to the exact path, row by row with the row's
// scaled Da, Dr and their bound.
std::vector<int> scalar_declines(const Rotation& rot, Rows& rows, double da, double dr,
                                 double offset, const std::vector<float>& scale)
{
    std::vector<int> declined;
    const double* const* pointers = rows.rows();
    for (int i = 0; i < rows.count(); ++i) {
        const double s = scale[static_cast<size_t>(i)];
        sfloat unused;
        if (!model_value_certified(rot, pointers[i], da * s, dr * s, offset,
                                   fast_value_bound(da * s, dr * s, offset), unused)) {
            declined.push_back(i);
        }
    }
    return declined;
}

using SideBySide = int (*)(const Rotation&, const float*, const float*, const float*, int,
                           double, double, double, double, const float*, sfloat*, int*, int&,
                           PendingSum);

// A vector kernel's declines, the leftover rows it did not take counted as
// declined.
std::vector<int> kernel_declines(SideBySide kernel, const Rotation& rot, Rows& rows, double da,
                                 double dr, double offset, const std::vector<float>& scale)
{
    const int count = rows.count();
    std::vector<sfloat> values(static_cast<size_t>(count));
    std::vector<int> declined(static_cast<size_t>(count));
    int declined_count = 0;
    const int done = kernel(rot, rows.x.data(), rows.y.data(), rows.z.data(), count, da, dr,
                            offset, fast_value_bound(da, dr, offset), scale.data(),
                            values.data(), declined.data(), declined_count, {});
    declined.resize(static_cast<size_t>(declined_count));
    for (int k = done; k < count; ++k) declined.push_back(k);
    return declined;
}

std::vector<SideBySide> vector_kernels()
{
    std::vector<SideBySide> kernels;
#if KELFIT_HAVE_PAIRS_KERNEL
    kernels.push_back(certified_values_pairs);
#endif
#if KELFIT_HAVE_AVX2_KERNEL
    if (avx2_available()) kernels.push_back(certified_values_avx2);
#endif
    return kernels;
}

TEST(ScaledBounds, VectorKernelsDeclineWhatTheScalarPathDeclinesUnderANegativeOffset)
{
    const Rotation rot = rotation_from_angles(0.0, 0.0, 0.0);
    Rows rows = rows_near_a_cancelling_offset();
    // Dr s = 1 on every row; the offset cancels it along x. Counted with its
    // sign, the offset would shrink the bound to nothing.
    const std::vector<float> scale(static_cast<size_t>(rows.count()), 2.0f);
    for (const double offset : {-1.0, 1.0}) {
        const std::vector<int> expected = scalar_declines(rot, rows, 0.0, 0.5, offset, scale);
        if (offset < 0.0) {
            // Every near-x row is among them (and the others are not).
            ASSERT_EQ(expected.size(), 22u);
        }
        for (SideBySide kernel : vector_kernels()) {
            EXPECT_EQ(kernel_declines(kernel, rot, rows, 0.0, 0.5, offset, scale), expected)
                << "offset " << offset;
        }
    }
}

TEST(ScaledBounds, EveryKernelGivesTheExactBitsOfANegativeOffsetsCancellation)
{
    const Rotation rot = rotation_from_angles(0.0, 0.0, 0.0);
    Rows rows = rows_near_a_cancelling_offset();
    const std::vector<float> scale(static_cast<size_t>(rows.count()), 2.0f);
    const int count = rows.count();
    std::vector<sfloat> exact(static_cast<size_t>(count)), fast(static_cast<size_t>(count));
    model_values_by(ValueKernel::exact, rot, rows.rows(), count, 0.0, 0.5, -1.0, exact.data(),
                    {}, {}, scale.data());
    for (ValueKernel kernel : {ValueKernel::scalar, ValueKernel::pairs, ValueKernel::avx2}) {
        if (!value_kernel_available(kernel)) continue;
        model_values_by(kernel, rot, rows.rows(), count, 0.0, 0.5, -1.0, fast.data(), {}, {},
                        scale.data());
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(bits(fast[static_cast<size_t>(i)]), bits(exact[static_cast<size_t>(i)]))
                << value_kernel_name(kernel) << " row " << i;
        }
    }
}

// The scalar path with a large scale: Da s near 1 while Da itself is near
// 2^-30, so a bound formed from the unscaled Da would be a billion times
// too small. Each direction's Da is stepped, one double at a time, across
// the point where its value crosses a float's rounding boundary; there the
// fast and the exact double may round to different floats, and only a
// bound of the scaled magnitude sends those rows to the exact path.
TEST(ScaledBounds, ScalarPathKeepsToTheScaledBoundAcrossRoundingBoundaries)
{
    const Rotation rot = rotation_from_angles(0.0, 0.0, 0.0);
    constexpr float scale = 0x1p30f;
    constexpr int steps = 64;  // doubles of Da on either side of the crossing
    const float target = 1.3f;
    const double boundary = 0.5 * (double(target) + double(std::nextafter(target, 2.0f)));
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    int directions = 0, mismatched = 0;
    while (directions < 40) {
        const float x = float(unit(rng)), y = float(unit(rng)), z = float(unit(rng));
        // The model's 3 cos^2 theta - 1 for this direction, with its float length.
        const double xd = x, yd = y, zd = z;
        const double length = float(std::sqrt(xd * xd + yd * yd + zd * zd));
        const double shape = 3.0 * (zd / length) * (zd / length) - 1.0;
        if (std::fabs(shape) < 0.3) continue;
        ++directions;
        const double row[3] = {xd, yd, zd};
        const double* rows[1] = {row};
        double da = boundary / (double(scale) * shape);
        for (int k = 0; k < steps; ++k) da = std::nextafter(da, 0.0);
        for (int k = 0; k < 2 * steps; ++k, da = std::nextafter(da, 2.0 * da)) {
            sfloat exact, fast;
            model_values_by(ValueKernel::exact, rot, rows, 1, da, 0.0, 0.0, &exact, {}, {},
                            &scale);
            model_values_by(ValueKernel::scalar, rot, rows, 1, da, 0.0, 0.0, &fast, {}, {},
                            &scale);
            if (bits(fast) != bits(exact)) ++mismatched;
        }
    }
    EXPECT_EQ(mismatched, 0);
}

}  // namespace
