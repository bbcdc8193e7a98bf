// The steps of a fit around Powell: starting directions, loading and storing
// the parameters, and the repeat rule of the runs.
#include <cmath>

#include <gtest/gtest.h>

#include "fit/fit.h"

namespace {

int evaluations = 0;
double constant_cost = 0.0;

sfloat counting_constant(const sfloat* /*p*/)
{
    ++evaluations;
    return constant_cost;
}

class FitRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        alloc_fit_work();
        start_directions(fit_state().directions);
        for (int i = 1; i <= param_count; ++i) fit_state().params[i] = 0.5;
        fit_state().cost_limit = fit_cost_limit;
        evaluations = 0;
    }
    void TearDown() override
    {
        fit_work_release();
        fit_state() = FitState{};
    }
};

// On a constant cost every Powell run converges in its first iteration: one
// entry evaluation, then per direction 3 bracketing and 17 Brent evaluations.
constexpr int evaluations_per_run = 1 + param_count * (3 + 17);

}  // namespace

TEST_F(FitRun, OneRunWhenTheFirstEndsAtOrBelowTheLimit)
{
    constant_cost = 8000.0;
    EXPECT_EQ(run_fit(param_count, counting_constant), 1);
    EXPECT_EQ(evaluations, evaluations_per_run);
    EXPECT_EQ(fit_state().iterations, 1);
    EXPECT_EQ(double(fit_state().best_cost), 8000.0);
}

TEST_F(FitRun, ElevenRunsWhileEveryRunConvergesAboveTheLimit)
{
    constant_cost = 8000.5;
    EXPECT_EQ(run_fit(param_count, counting_constant), fit_max_runs);
    EXPECT_EQ(evaluations, fit_max_runs * evaluations_per_run);
}

// A bowl whose every value is a little lower than the last: each Powell
// iteration then gains more than the tolerance allows, until its limit.
long long decaying_calls = 0;
sfloat decaying_bowl(const sfloat* p)
{
    double bowl = 1.0;
    for (int i = 1; i <= param_count; ++i) {
        bowl += (p[i] - 0.25) * (p[i] - 0.25);
    }
    return bowl * std::pow(0.999, static_cast<double>(decaying_calls++));
}

TEST_F(FitRun, SaysWhetherTheLastRunConverged)
{
    constant_cost = 8000.0;
    run_fit(param_count, counting_constant);
    EXPECT_TRUE(fit_state().converged);

    decaying_calls = 0;
    EXPECT_EQ(run_fit(param_count, decaying_bowl), 1);
    EXPECT_EQ(fit_state().iterations, powell_iteration_limit);
    EXPECT_FALSE(fit_state().converged);
}

TEST_F(FitRun, StartingDirectionsAreADiagonalOfStartSteps)
{
    for (int i = 1; i <= param_count; ++i) {
        for (int j = 1; j <= param_count; ++j) {
            const double expected = i != j ? 0.0 : i <= 3 ? double(angle_start_step) : 1.0;
            EXPECT_EQ(double(fit_state().directions[i][j]), expected) << i << "," << j;
        }
    }
    EXPECT_EQ(double(fit_state().directions[1][1]), double(0.017453292f));
}

TEST_F(FitRun, RhombicityBecomesDrAndComesBack)
{
    const double params[6] = {0.1, 0.2, 0.3, -7.3, 0.41, 0.1};
    load_start(fit_state().params, params);
    EXPECT_EQ(fit_state().params[6].as_float(), 0.1f);
    EXPECT_EQ(fit_state().params[5].as_float(), static_cast<float>(0.41 * -7.3 * 3.0 * 0.5));

    double out[6];
    store_result(fit_state().params, out);
    EXPECT_EQ(out[5], 0.10000000149011612);
    EXPECT_EQ(out[3], double(-7.3f));
    EXPECT_EQ(out[4], double(fit_state().params[5]) * (2.0 / 3.0) / double(-7.3f));

    fit_state().params[4] = 0.0;
    store_result(fit_state().params, out);
    EXPECT_TRUE(std::isinf(out[4]));
    fit_state().params[5] = 0.0;
    store_result(fit_state().params, out);
    EXPECT_TRUE(std::isnan(out[4]));
}

TEST_F(FitRun, DiagnosticsPrintInTheirFixedFormats)
{
    testing::internal::CaptureStdout();
    print_params(fit_state().params, "start");
    print_directions(fit_state().directions);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string params_line = " start:   0.5000   0.5000   0.5000    0.5000   0.5000   0.5000\n";
    const std::string first_row = "  0.0175   0.0000   0.0000   0.0000   0.0000   0.0000 \n";
    ASSERT_GE(out.size(), params_line.size() + first_row.size());
    EXPECT_EQ(out.substr(0, params_line.size()), params_line);
    EXPECT_EQ(out.substr(params_line.size(), first_row.size()), first_row);
    EXPECT_EQ(out.size(), params_line.size() + 6 * first_row.size());
}
