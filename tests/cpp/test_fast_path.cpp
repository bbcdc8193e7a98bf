// The fast model path gives the exact path's float, bit for bit.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <iostream>
#include <random>
#include <thread>
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

// How many vectors the sweep checks: 10^8 by default; a sanitized build
// sets fewer through the environment.
long long sweep_size()
{
    const char* text = std::getenv("KELFIT_EQUIVALENCE_VECTORS");
    return text != nullptr ? std::atoll(text) : 100000000LL;
}

// One kind of parameters and vectors the sweep draws from.
enum class Case {
    random,        // any angles, magnitudes and directions
    near_z_axis,   // vectors on and near the z axis of the tensor frame
    on_z_axis,     // unturned frame, vectors exactly on z: x' = y' = 0
    tiny_da,       // |Da| near 1e-30
    huge_da,       // |Da| near 1e30 (and values beyond float range)
    extreme_length,  // vector lengths 1e-30 and 1e30
    count
};

constexpr int case_count = static_cast<int>(Case::count);
const char* const case_names[case_count] = {"random", "near z axis", "on z axis",
                                            "tiny Da", "huge Da", "extreme length"};

struct Tally {
    long long checked[case_count] = {};
    long long declined[case_count] = {};  // sent by the fast path to the exact path
    long long mismatched = 0;
    long long scaled = 0;  // vectors checked with a scale of their own
};

// The kernels that must agree with the exact path on this processor.
std::vector<ValueKernel> fast_kernels()
{
    std::vector<ValueKernel> kernels = {ValueKernel::scalar};
    if (value_kernel_available(ValueKernel::pairs)) kernels.push_back(ValueKernel::pairs);
    if (value_kernel_available(ValueKernel::avx2)) kernels.push_back(ValueKernel::avx2);
    return kernels;
}

// Every kernel's values of one set of vectors against the exact path's.
// Where scale is given, row i's Da and Dr are scaled by it, as in a fit of
// mixed bond types.
void check(const Rotation& rot, const std::vector<double>& rows, double da, double dr,
           double offset, int kind, const float* scale, Tally& tally)
{
    const int count = static_cast<int>(rows.size() / 3);
    std::vector<const double*> pointers(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) pointers[static_cast<size_t>(i)] = &rows[3 * static_cast<size_t>(i)];
    std::vector<sfloat> exact(static_cast<size_t>(count)), fast(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const double s = scale != nullptr ? double(scale[i]) : 1.0;
        const double row_da = da * s, row_dr = dr * s;
        const double* row = pointers[static_cast<size_t>(i)];
        exact[static_cast<size_t>(i)] = model_value(rot, row, row_da, row_dr, offset);
        sfloat unused;
        if (!model_value_certified(rot, row, row_da, row_dr, offset,
                                   fast_value_bound(row_da, row_dr, offset), unused)) {
            ++tally.declined[kind];
        }
    }
    tally.checked[kind] += count;
    if (scale != nullptr) tally.scaled += count;

    for (ValueKernel kernel : fast_kernels()) {
        model_values_by(kernel, rot, pointers.data(), count, da, dr, offset, fast.data(), {}, {},
                        scale);
        for (int i = 0; i < count; ++i) {
            const size_t at = static_cast<size_t>(i);
            if (bits(fast[at]) == bits(exact[at])) continue;
            if (++tally.mismatched <= 5) {
                const double* row = pointers[at];
                std::cerr << std::hexfloat << "mismatch (kernel " << static_cast<int>(kernel)
                          << "): row " << row[0] << ' ' << row[1] << ' ' << row[2] << " Da " << da
                          << " Dr " << dr << " offset " << offset << " scale "
                          << (scale != nullptr ? double(scale[i]) : 1.0) << " exact "
                          << double(exact[at]) << " fast " << double(fast[at]) << '\n';
            }
        }
    }
}

void sweep(uint64_t seed, long long vectors, Tally& tally)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_real_distribution<double> angle(-7.0, 7.0);
    std::uniform_real_distribution<double> exponent(-3.0, 3.0);
    constexpr int vectors_per_set = 1000;
    const double pi = std::acos(-1.0);

    for (long long done = 0; done < vectors;) {
        const auto kind = static_cast<Case>(rng() % static_cast<uint64_t>(Case::count));
        sfloat a1 = angle(rng), a2 = angle(rng), a3 = angle(rng);
        if (kind == Case::on_z_axis) a1 = a2 = a3 = 0.0;
        if (rng() % 8 == 0) a2 = rng() % 2 == 0 ? 0.0 : pi / 2;  // special turns
        double da = unit(rng) * std::pow(10.0, exponent(rng));
        if (kind == Case::tiny_da) da *= 1e-30;
        if (kind == Case::huge_da) da *= 1e30;
        // Stored parameters of a fit are floats; c_solve's Da and Dr are not.
        const bool as_float = rng() % 2 == 0;
        double dr = da * 1.5 * std::fabs(unit(rng)) * (rng() % 4 == 0 ? 0.0 : 1.0);
        double offset = rng() % 2 == 0 ? 0.0 : unit(rng) * std::fabs(da) * 2.0;
        if (as_float) {
            da = sfloat(da);
            dr = sfloat(dr);
            offset = sfloat(offset);
        }
        const Rotation rot = rotation_from_angles(a1, a2, a3);

        const long long in_set = std::min<long long>(vectors_per_set, vectors - done);
        std::vector<double> rows(3 * static_cast<size_t>(in_set));
        for (long long i = 0; i < in_set; ++i) {
            double* row = &rows[3 * static_cast<size_t>(i)];
            for (int c = 0; c < 3; ++c) row[c] = unit(rng);
            if (kind == Case::near_z_axis || kind == Case::on_z_axis) {
                // The frame's z axis in caller coordinates is the third row
                // of the rotation; tilt it by a tiny amount, or not at all.
                const double tilt = i % 3 == 0 ? 0.0 : std::pow(10.0, -1.0 - 8.0 * std::fabs(unit(rng)));
                for (int c = 0; c < 3; ++c) row[c] = rot.m[2][c] + tilt * row[c];
            }
            if (kind == Case::extreme_length) {
                const double scale = i % 2 == 0 ? 1e-30 : 1e30;
                for (int c = 0; c < 3; ++c) row[c] *= scale;
            }
        }
        // Half the sets give every row a scale of its own: ordinary factors
        // of either sign, exact ones, and a few extreme ones.
        std::vector<float> scale;
        if (rng() % 2 == 0) {
            scale.resize(static_cast<size_t>(in_set));
            for (float& s : scale) {
                const uint64_t pick = rng() % 8;
                s = static_cast<float>(pick == 0 ? 1.0
                                       : pick == 1 ? std::pow(10.0, 30.0 * unit(rng))
                                                   : unit(rng) * std::pow(10.0, exponent(rng)));
                if (s == 0.0f) s = 1.0f;
            }
        }
        check(rot, rows, da, dr, offset, static_cast<int>(kind),
              scale.empty() ? nullptr : scale.data(), tally);
        done += in_set;
    }
}

}  // namespace

TEST(FastPath, EqualsTheExactPathBitForBit)
{
    const long long total = sweep_size();
    const unsigned workers = 2;
    std::vector<Tally> tallies(workers);
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back(sweep, 20261207u + w, total / workers, std::ref(tallies[w]));
    }
    for (auto& thread : threads) thread.join();

    long long checked = 0, declined = 0, mismatched = 0, scaled = 0;
    for (int c = 0; c < case_count; ++c) {
        long long case_checked = 0, case_declined = 0;
        for (const Tally& t : tallies) {
            case_checked += t.checked[c];
            case_declined += t.declined[c];
        }
        std::cout << "  " << case_names[c] << ": " << case_checked << " vectors, fallback rate "
                  << double(case_declined) / double(case_checked) << '\n';
        checked += case_checked;
        declined += case_declined;
    }
    for (const Tally& t : tallies) {
        mismatched += t.mismatched;
        scaled += t.scaled;
    }
    std::cout << "fast path: " << checked << " vectors (" << scaled << " scaled), " << mismatched
              << " mismatches, fallback rate " << double(declined) / double(checked) << '\n';
    EXPECT_EQ(mismatched, 0);
    EXPECT_EQ(checked, total / workers * workers);
}

TEST(FastPath, DeclinesWhereItCannotVouchForTheBits)
{
    const Rotation unturned = rotation_from_angles(0.0, 0.0, 0.0);
    const double on_axis[3] = {0.0, 0.0, 2.0};
    const double zero[3] = {0.0, 0.0, 0.0};
    const double general[3] = {0.3, -0.4, 0.5};
    sfloat out;
    // x' = y' = 0: phi is undefined.
    EXPECT_FALSE(model_value_certified(unturned, on_axis, 1.0, 0.5, 0.0,
                                       fast_value_bound(1.0, 0.5, 0.0), out));
    // A zero vector is NaN by either path.
    EXPECT_FALSE(model_value_certified(unturned, zero, 1.0, 0.5, 0.0,
                                       fast_value_bound(1.0, 0.5, 0.0), out));
    EXPECT_TRUE(std::isnan(double(model_value_fast(unturned, zero, 1.0, 0.5, 0.0))));
    // All magnitudes zero: the value is zero, whose sign only the exact path knows.
    EXPECT_FALSE(model_value_certified(unturned, general, 0.0, 0.0, -0.0,
                                       fast_value_bound(0.0, 0.0, 0.0), out));
    // Beyond float range.
    EXPECT_FALSE(model_value_certified(unturned, general, 1e300, 0.0, 0.0,
                                       fast_value_bound(1e300, 0.0, 0.0), out));
    // An ordinary vector is vouched for.
    EXPECT_TRUE(model_value_certified(unturned, general, 1.0, 0.5, 0.0,
                                      fast_value_bound(1.0, 0.5, 0.0), out));
    EXPECT_EQ(bits(out), bits(model_value(unturned, general, 1.0, 0.5, 0.0)));
}

TEST(FastPath, CostsAgreeAcrossKernelsAndLayouts)
{
    // 1003 vectors: not a multiple of the block or of the AVX2 step, so
    // every tail is taken; a few on the tensor frame's z axis force refusals.
    constexpr int count = 1003;
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> data(3 * count), observed(count);
    std::vector<const double*> rows(count);
    std::vector<float> narrowed(3 * count);
    sfloat p[7] = {0.0, 0.4, 1.2, -0.7, 12.0, 6.3, 0.75};
    const Rotation rot = rotation_from_angles(p[1], p[2], p[3]);
    for (int i = 0; i < count; ++i) {
        double* row = &data[3 * static_cast<size_t>(i)];
        for (int c = 0; c < 3; ++c) row[c] = i % 97 == 0 ? rot.m[2][c] : normal(rng);
        for (int c = 0; c < 3; ++c) narrowed[static_cast<size_t>(c * count + i)] = static_cast<float>(row[c]);
        rows[static_cast<size_t>(i)] = row;
        observed[static_cast<size_t>(i)] = 10.0 * normal(rng);
    }
    fit_state().rows = rows.data();
    fit_state().count = count;
    fit_state().observed = observed.data();
    fit_state().error = 1.0;

    const ValueKernel before = active_value_kernel();
    use_value_kernel(ValueKernel::exact);
    fit_state().narrowed = nullptr;
    const uint32_t expected_no_offset = bits(cost_no_offset(p));
    const uint32_t expected_with_offset = bits(cost_with_offset(p));
    for (ValueKernel kernel : fast_kernels()) {
        use_value_kernel(kernel);
        for (const float* layout : std::vector<const float*>{nullptr, narrowed.data()}) {
            fit_state().narrowed = layout;
            EXPECT_EQ(bits(cost_no_offset(p)), expected_no_offset) << static_cast<int>(kernel);
            EXPECT_EQ(bits(cost_with_offset(p)), expected_with_offset) << static_cast<int>(kernel);
        }
    }
    use_value_kernel(before);
    fit_state() = FitState{};
}
