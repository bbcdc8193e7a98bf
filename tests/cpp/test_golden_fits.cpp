// Whole fits pinned to the bit, the same three the Python suite pins
// (tests/test_fit.py), here without the interpreter so that every build
// (a cross-built one under emulation included) checks them, under every
// kernel it has.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include <gtest/gtest.h>

#include "fit/fit.h"

namespace {

// The Python suite's generator: uniform values in [0, 1), the same everywhere.
std::vector<double> lcg(uint64_t seed, int count)
{
    std::vector<double> out(static_cast<size_t>(count));
    uint64_t state = seed;
    for (double& value : out) {
        state = 6364136223846793005ULL * state + 1442695040888963407ULL;
        value = static_cast<double>(state >> 11) / 0x1p53;
    }
    return out;
}

constexpr double true_params[6] = {0.4, 1.2, -0.7, 12.0, 0.35, 0.0};
constexpr double start_shift[6] = {0.05, -0.04, 0.06, 0.8, -0.05, 0.0};

struct Golden {
    bool offset_in_cost;  // c_kel_fit, else c_kf_fdc
    int n;
    int count;
    uint64_t seed;
    double noise;
    double offset;
    double expected[6];
};

const Golden goldens[] = {
    {false, 5, 30, 101, 1.0, 0.0,
     {0x1.9816d80000000p-2, 0x1.3309520000000p+0, -0x1.634c900000000p-1,
      0x1.800bbc0000000p+3, 0x1.71759787330d7p-2, 0x0.0p+0}},
    {true, 6, 120, 202, 2.0, 1.5,
     {0x1.9665de0000000p-2, 0x1.3146540000000p+0, -0x1.5f66360000000p-1,
      0x1.81ea7e0000000p+3, 0x1.59686d68ca621p-2, 0x1.6ddf200000000p+0}},
    {false, 6, 300, 303, 0.5, 0.0,
     {0x1.9923ee0000000p-2, 0x1.33543e0000000p+0, -0x1.65bb9c0000000p-1,
      0x1.801e5c0000000p+3, 0x1.63e73200b3f72p-2, 0x1.f689040000000p+2}},
};

uint64_t bits(double value)
{
    uint64_t out;
    std::memcpy(&out, &value, sizeof out);
    return out;
}

// One golden fit as the entries run it: observed values back-calculated
// from the true tensor as c_solve gives them, plus noise and offset; the
// start near the truth; the fitted parameters as the entries return them.
std::vector<double> fit_golden(const Golden& golden, bool unit_weights)
{
    const int count = golden.count;
    const size_t run = static_cast<size_t>(count);
    std::vector<double> data = lcg(golden.seed, 3 * count);
    for (double& value : data) value = value * 2.0 - 1.0;
    std::vector<const double*> rows(run);
    std::vector<float> narrowed(3 * run);
    for (size_t i = 0; i < run; ++i) {
        rows[i] = &data[3 * i];
        for (size_t c = 0; c < 3; ++c) narrowed[c * run + i] = static_cast<float>(data[3 * i + c]);
    }

    const Rotation rot = rotation_from_angles(true_params[0], true_params[1], true_params[2]);
    const double dr = dr_from_r(true_params[4], true_params[3]);
    std::vector<sfloat> values(run);
    model_values(rot, rows.data(), count, true_params[3], dr, 0.0, values.data());
    const std::vector<double> noise = lcg(golden.seed + 1, count);
    std::vector<double> observed(run);
    for (size_t i = 0; i < run; ++i) {
        observed[i] = values[i] + (golden.offset + golden.noise * (noise[i] - 0.5));
    }

    double start[6];
    for (int i = 0; i < 6; ++i) start[i] = true_params[i] + start_shift[i];
    FitProblem problem = {};
    problem.rows = rows.data();
    problem.count = count;
    problem.narrowed = narrowed.data();
    problem.observed = observed.data();
    problem.n = golden.n;
    problem.offset_in_cost = golden.offset_in_cost;
    problem.start = start;
    // A sigma and a scale of one everywhere take the weighted and scaled
    // paths, and must change nothing.
    const std::vector<float> ones(run, 1.0f);
    if (unit_weights) {
        problem.sigma = ones.data();
        problem.scale = ones.data();
    }
    const FitReport report = fit_problem(problem);
    return std::vector<double>(report.params, report.params + 6);
}

}  // namespace

TEST(GoldenFits, EveryKernelGivesThePinnedBits)
{
    const ValueKernel before = active_value_kernel();
    for (ValueKernel kernel : {ValueKernel::exact, ValueKernel::scalar, ValueKernel::pairs,
                               ValueKernel::avx2}) {
        if (!value_kernel_available(kernel)) continue;
        use_value_kernel(kernel);
        for (const Golden& golden : goldens) {
            for (bool unit_weights : {false, true}) {
                const std::vector<double> fitted = fit_golden(golden, unit_weights);
                for (int i = 0; i < 6; ++i) {
                    EXPECT_EQ(bits(fitted[static_cast<size_t>(i)]), bits(golden.expected[i]))
                        << "kernel " << value_kernel_name(kernel) << ", fit of "
                        << golden.count << " vectors" << (unit_weights ? " (unit weights)" : "")
                        << ", parameter " << i << ": " << std::hexfloat
                        << fitted[static_cast<size_t>(i)];
                }
            }
        }
    }
    use_value_kernel(before);
}

TEST(KernelChoice, NamesPickAvailableKernelsOnly)
{
    for (ValueKernel kernel : {ValueKernel::exact, ValueKernel::scalar, ValueKernel::pairs,
                               ValueKernel::avx2}) {
        const ValueKernel expected = value_kernel_available(kernel) ? kernel : ValueKernel::scalar;
        EXPECT_EQ(value_kernel_requested(value_kernel_name(kernel), ValueKernel::scalar), expected);
    }
    EXPECT_EQ(value_kernel_requested(nullptr, ValueKernel::pairs), ValueKernel::pairs);
    EXPECT_EQ(value_kernel_requested("AVX2", ValueKernel::exact), ValueKernel::exact);
    EXPECT_EQ(value_kernel_requested("", ValueKernel::exact), ValueKernel::exact);
}

// Under `KELFIT_KERNEL=name` the process starts with that kernel active,
// where it is available; the Makefile runs the suite so for every kernel.
TEST(KernelChoice, TheEnvironmentPicksTheFirstKernel)
{
    const char* name = std::getenv("KELFIT_KERNEL");
    if (name == nullptr) GTEST_SKIP() << "KELFIT_KERNEL is not set";
    const ValueKernel requested = value_kernel_requested(name, ValueKernel::exact);
    if (!value_kernel_available(requested) || std::strcmp(value_kernel_name(requested), name) != 0) {
        GTEST_SKIP() << name << " is not available here";
    }
    EXPECT_STREQ(value_kernel_name(active_value_kernel()), name);
}
