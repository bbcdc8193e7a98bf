// The engine under the fits: thrown kit failures, interruption, the state a
// fit leaves behind, and scaled, weighted costs.
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fit/fit.h"

namespace {

uint32_t bits(double value)
{
    const float f = static_cast<float>(value);
    uint32_t out;
    std::memcpy(&out, &f, sizeof out);
    return out;
}

// Synthetic couplings of a known tensor, with rows to own them.
struct Data {
    std::vector<double> coordinates;
    std::vector<const double*> rows;
    std::vector<double> observed;
    std::vector<float> scale, sigma;
};

Data make_data(int count, unsigned seed)
{
    Data data;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    data.coordinates.resize(3 * static_cast<size_t>(count));
    for (double& c : data.coordinates) c = normal(rng);
    for (int i = 0; i < count; ++i) data.rows.push_back(&data.coordinates[3 * static_cast<size_t>(i)]);
    const Rotation rot = rotation_from_angles(0.4, 1.2, -0.7);
    for (int i = 0; i < count; ++i) {
        data.scale.push_back(i % 3 == 0 ? 1.0f : i % 3 == 1 ? -0.1f : 2.5f);
        data.sigma.push_back(i % 2 == 0 ? 0.5f : 2.0f);
        const double s = data.scale.back();
        data.observed.push_back(double(model_value(rot, data.rows[static_cast<size_t>(i)], 12.0 * s,
                                                   6.3 * s, 0.0)) +
                                0.3 * normal(rng));
    }
    return data;
}

FitProblem problem_of(const Data& data, const double* start)
{
    FitProblem problem = {};
    problem.rows = data.rows.data();
    problem.count = static_cast<int>(data.rows.size());
    problem.observed = data.observed.data();
    problem.n = param_count - 1;
    problem.start = start;
    return problem;
}

const double start_values[param_count] = {0.45, 1.15, -0.65, 11.0, 0.3, 0.0};

}  // namespace

TEST(KitFailures, ThrowInsteadOfExitingWhileAsked)
{
    const auto parabola = [](sfloat x) -> sfloat { return (x - 2.0) * (x - 2.0); };
    sfloat xmin;
    {
        KitFailuresThrow failures_throw;
        try {
            brent(1.0, 2.5, 3.0, parabola, 0.0, xmin);
            FAIL() << "brent should have given up";
        } catch (const KitFailure& failure) {
            EXPECT_EQ(failure.kind, KitFailureKind::numeric);
            EXPECT_STREQ(failure.message, "Too many iterations in brent");
        }
        try {
            vector(5, 2);  // a range no block can hold
            FAIL() << "the allocation should have failed";
        } catch (const KitFailure& failure) {
            EXPECT_EQ(failure.kind, KitFailureKind::memory);
        }
        {
            KitFailuresThrow nested;  // leaving an inner scope keeps the outer one's wish
        }
        EXPECT_THROW(brent(1.0, 2.5, 3.0, parabola, 0.0, xmin), KitFailure);
    }
    // Only the thread that asked is affected.
    KitFailuresThrow failures_throw;
    std::thread other([&] {
        EXPECT_DEATH(brent(1.0, 2.5, 3.0, parabola, 0.0, xmin), "Too many iterations");
    });
    other.join();
}

TEST(FitProblem, WithoutScaleAndSigmaIsTheFitOfTheOriginalEntries)
{
    const Data data = make_data(80, 3);
    const FitReport report = fit_problem(problem_of(data, start_values));

    // The same fit by the steps the original entries take.
    fit_state().rows = data.rows.data();
    fit_state().count = 80;
    fit_state().observed = data.observed.data();
    alloc_fit_work();
    fit_state().error = 1.0;
    fit_state().cost_limit = fit_cost_limit;
    start_directions(fit_state().directions);
    load_start(fit_state().params, start_values);
    const int runs = run_fit(param_count - 1, cost_no_offset);
    double params[param_count];
    store_result(fit_state().params, params);
    EXPECT_EQ(report.runs, runs);
    EXPECT_EQ(report.cost, double(fit_state().best_cost));
    for (int i = 0; i < param_count; ++i) EXPECT_EQ(report.params[i], params[i]) << i;
    fit_work_release();
    fit_state() = FitState{};
}

TEST(FitProblem, UnitScaleAndSigmaChangeNoBit)
{
    const Data data = make_data(50, 4);
    const std::vector<float> ones(50, 1.0f);
    FitProblem plain = problem_of(data, start_values);
    FitProblem unit = plain;
    unit.scale = ones.data();
    unit.sigma = ones.data();
    const FitReport a = fit_problem(plain), b = fit_problem(unit);
    for (int i = 0; i < param_count; ++i) EXPECT_EQ(a.params[i], b.params[i]);
    EXPECT_EQ(a.evaluations, b.evaluations);
}

TEST(FitProblem, ScaledWeightedFitFindsTheTensor)
{
    const Data data = make_data(200, 5);
    FitProblem problem = problem_of(data, start_values);
    problem.scale = data.scale.data();
    problem.sigma = data.sigma.data();
    const FitReport report = fit_problem(problem);
    EXPECT_NEAR(report.params[3], 12.0, 0.3);
    EXPECT_NEAR(report.params[4], 6.3 / 12.0 / 1.5, 0.03);
    EXPECT_LT(report.cost, 0.3);  // noise of 0.3 over sigma 0.5 or 2: about 0.19
}

TEST(FitProblem, AnInterruptionReleasesEverythingAndRestoresTheState)
{
    const Data data = make_data(400, 6);
    int asked = 0;
    FitProblem problem = problem_of(data, start_values);
    // Asked after the first evaluation, then every interrupt_check_vectors.
    problem.interrupt = {[](void* context) { return ++*static_cast<int*>(context) == 2; },
                         &asked, 1};
    fit_state().count = 1234;  // whatever an outer caller had
    EXPECT_THROW(fit_problem(problem), FitInterrupted);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(fit_state().count, 1234);
    EXPECT_EQ(fit_state().params, nullptr);  // the work storage went (ASan checks the rest)
    fit_state() = FitState{};
}

TEST(FitProblem, EachThreadFitsWithItsOwnState)
{
    const Data data = make_data(60, 7);
    const FitReport alone = fit_problem(problem_of(data, start_values));
    std::vector<FitReport> reports(4);
    std::vector<std::thread> threads;
    for (auto& report : reports) {
        threads.emplace_back([&] {
            for (int k = 0; k < 5; ++k) report = fit_problem(problem_of(data, start_values));
        });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& report : reports) {
        for (int i = 0; i < param_count; ++i) EXPECT_EQ(report.params[i], alone.params[i]);
    }
}

TEST(StartBound, FollowsTheLargestValueTheModelAllows)
{
    const Data data = make_data(4, 8);
    double start[param_count] = {0.0, 0.0, 0.0, 2.0, 0.5, 7.0};  // Dr = 1.5
    FitProblem problem = problem_of(data, start);
    EXPECT_EQ(start_value_bound(start, false, 1.0), 3.0 * 2.0 + 1.5);
    EXPECT_EQ(start_value_bound(start, true, -2.0), 2.0 * (3.0 * 2.0 + 1.5) + 7.0);
    double largest = 0.0;
    EXPECT_TRUE(start_residuals_fit(problem, &largest));
    // Four squared residuals of at most r^2 each must stay within half the
    // largest float.
    const std::vector<double> huge(4, std::sqrt(start_squares_limit / 4.0) - 7.5 + 1e13);
    problem.observed = huge.data();
    EXPECT_FALSE(start_residuals_fit(problem, &largest));
    const std::vector<double> fits(4, std::sqrt(start_squares_limit / 4.0) * (1 - 1e-9) - 7.5);
    problem.observed = fits.data();
    EXPECT_TRUE(start_residuals_fit(problem, &largest));
    const std::vector<float> small_sigma(4, 1e-30f);
    problem.sigma = small_sigma.data();
    EXPECT_FALSE(start_residuals_fit(problem, &largest));
}

TEST(StartBound, EveryScaledModelValueMustBeAFloat)
{
    const Data data = make_data(3, 10);
    double start[param_count] = {0.0, 0.0, 0.0, 1e6, 0.0, 0.0};
    FitProblem problem = problem_of(data, start);
    // 3 |Da| |scale| = 3e41 on the middle row: beyond FLT_MAX = 3.4028235e38.
    const std::vector<float> scale = {1.0f, -1e35f, 1e32f};
    problem.scale = scale.data();
    double largest = 0.0;
    EXPECT_FALSE(start_values_fit(problem, &largest));
    EXPECT_EQ(largest, 3.0 * 1e6 * double(1e35f));
    // 3e38 < 3.4028235e38: a float.
    start[3] = 1e38 / double(1e35f);
    EXPECT_TRUE(start_values_fit(problem, &largest));
    problem.scale = nullptr;
    start[3] = 1.2e38;  // 3.6e38
    EXPECT_FALSE(start_values_fit(problem, &largest));
}

TEST(ShortRows, BelowTheSmallestNormalFloatTheRowHasNoDirection)
{
    const double smallest = 0x1p-126;  // FLT_MIN, worked out by hand
    const double rows[][3] = {
        {smallest, 0.0, 0.0},                        // length FLT_MIN: kept
        {0.0, -double(std::nextafter(0x1p-126f, 0.0f)), 0.0},  // the float below: short
        {0x1p-149, 0.0, 0.0},                        // the smallest subnormal
        {0.6 * smallest, 0.6 * smallest, 0.6 * smallest},  // each short, sum 1.04 FLT_MIN
        {0x1p-127, 0x1p-127, 0.0},  // each short, sum 0.71 FLT_MIN
        {0.0, 0.0, 0.0},
        {1e-300, 0.0, 1.0},  // a component narrowed to zero beside a normal one
    };
    const bool expected[] = {false, true, true, false, true, true, false};
    std::vector<const double*> pointers;
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(row_too_short(rows[i]), expected[i]) << "row " << i;
        pointers.push_back(rows[i]);
    }
    std::vector<sfloat> values(7, sfloat(1.0));
    void_short_rows(pointers.data(), 7, values.data());
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(std::isnan(double(values[static_cast<size_t>(i)])), expected[i]) << "row " << i;
    }
}

TEST(Interruption, AsksOncePerBudgetOfVectors)
{
    int asked = 0;
    InterruptCheck check = {[](void* context) { return ++*static_cast<int*>(context) == 3; },
                            &asked, 100};
    EXPECT_FALSE(interrupt_requested(check, 60));
    EXPECT_EQ(asked, 0);
    EXPECT_FALSE(interrupt_requested(check, 40));  // budget spent: asked, renewed
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(check.budget, interrupt_check_vectors);
    check.budget = 1;
    EXPECT_FALSE(interrupt_requested(check, 0));  // no vectors still counts one
    EXPECT_EQ(asked, 2);
    check.budget = 1;
    EXPECT_TRUE(interrupt_requested(check, 5));
    InterruptCheck never = {nullptr, nullptr, 0};
    EXPECT_FALSE(interrupt_requested(never, 1000));
}

TEST(ScaledCosts, AgreeAcrossKernelsAndWithTheSumByHand)
{
    const Data data = make_data(1003, 9);
    fit_state().rows = data.rows.data();
    fit_state().count = 1003;
    fit_state().observed = data.observed.data();
    fit_state().scale = data.scale.data();
    fit_state().sigma = data.sigma.data();
    fit_state().error = 1.0;
    sfloat p[7] = {0.0, 0.4, 1.2, -0.7, 12.0, 6.3, 0.75};
    const ValueKernel before = active_value_kernel();
    use_value_kernel(ValueKernel::exact);
    const uint32_t expected = bits(cost_with_offset(p));
    // By hand: each residual over its sigma, squares summed in float.
    const Rotation rot = rotation_from_angles(p[1], p[2], p[3]);
    sfloat sum = 0.0;
    for (int i = 0; i < 1003; ++i) {
        const double s = data.scale[static_cast<size_t>(i)];
        const sfloat value = model_value(rot, data.rows[static_cast<size_t>(i)], p[4] * s,
                                         p[5] * s, p[6]);
        const double residual = (data.observed[static_cast<size_t>(i)] - value) /
                                double(data.sigma[static_cast<size_t>(i)]);
        sum = sum + residual * residual;
    }
    EXPECT_EQ(expected, bits(sum / 1003.0));
    for (ValueKernel kernel : {ValueKernel::scalar, ValueKernel::pairs, ValueKernel::avx2}) {
        if (!value_kernel_available(kernel)) continue;
        use_value_kernel(kernel);
        EXPECT_EQ(bits(cost_with_offset(p)), expected) << static_cast<int>(kernel);
    }
    use_value_kernel(before);
    fit_state() = FitState{};
}
