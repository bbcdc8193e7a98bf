// The orientation model and the two cost functions.
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "fit/fit.h"

namespace {

const double pi = std::acos(-1.0);
constexpr double tolerance = 1e-6;  // single-precision rounding of the model

double value_of(double a1, double a2, double a3, double x, double y, double z,
                double da = 1.0, double dr = 0.5)
{
    const Rotation rot = rotation_from_angles(a1, a2, a3);
    const double row[3] = {x, y, z};
    return model_value(rot, row, da, dr, 0.0);
}

uint32_t bits(sfloat value)
{
    const float f = value.as_float();
    uint32_t out;
    std::memcpy(&out, &f, sizeof out);
    return out;
}

}  // namespace

TEST(Model, PrincipalAxesOfTheUnturnedFrame)
{
    EXPECT_EQ(value_of(0, 0, 0, 0, 0, 1), 2.0);
    EXPECT_EQ(value_of(0, 0, 0, 1, 0, 0), -0.5);
    EXPECT_EQ(value_of(0, 0, 0, 0, 1, 0), -1.5);
}

TEST(Model, TurnedFramesFollowTheZxzConvention)
{
    // About x by 45 degrees: (0, 1, 1) lies in the turned x'-y' plane.
    EXPECT_NEAR(value_of(0, pi / 4, 0, 0, 1, 1, 1.0, 0.0), -1.0, tolerance);
    // (pi/2, pi/2, 0): r' = (y, z, x).
    EXPECT_NEAR(value_of(pi / 2, pi / 2, 0, 1, 0, 0), 2.0, tolerance);
    EXPECT_NEAR(value_of(pi / 2, pi / 2, 0, 0, 1, 0), -0.5, tolerance);
    EXPECT_NEAR(value_of(pi / 2, pi / 2, 0, 0, 0, 1), -1.5, tolerance);
    // (0, pi/2, pi/2): r' = (z, -x, -y).
    EXPECT_NEAR(value_of(0, pi / 2, pi / 2, 1, 0, 0), -1.5, tolerance);
    EXPECT_NEAR(value_of(0, pi / 2, pi / 2, 0, 0, 1), -0.5, tolerance);
}

TEST(Model, RotationIsTheProductOfItsThreeTurns)
{
    const sfloat a1 = 0.7, a2 = -1.3, a3 = 2.9;
    auto rz = [](double a, double out[3][3]) {
        const double m[3][3] = {{std::cos(a), std::sin(a), 0}, {-std::sin(a), std::cos(a), 0}, {0, 0, 1}};
        std::memcpy(out, m, sizeof m);
    };
    double z1[3][3], z3[3][3];
    rz(a1, z1);
    rz(a3, z3);
    const double x2[3][3] = {{1, 0, 0}, {0, std::cos(a2), std::sin(a2)}, {0, -std::sin(a2), std::cos(a2)}};
    double inner[3][3] = {}, product[3][3] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) inner[i][j] += x2[i][k] * z1[k][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) product[i][j] += z3[i][k] * inner[k][j];

    const Rotation rot = rotation_from_angles(a1, a2, a3);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(rot.m[i][j], product[i][j], 1e-15) << i << j;
}

TEST(Model, LengthDropsOutAndZeroLengthIsNaN)
{
    const double one = value_of(0.4, 0.9, -2.0, 0.3, -0.8, 0.52, 7.0, 3.0);
    const double ten = value_of(0.4, 0.9, -2.0, 3.0, -8.0, 5.2, 7.0, 3.0);
    EXPECT_NEAR(one, ten, 4 * std::numeric_limits<float>::epsilon() * 10.0);
    EXPECT_TRUE(std::isnan(value_of(0.4, 0.9, -2.0, 0, 0, 0)));
}

TEST(Model, ValueIsPinnedToTheBit)
{
    // Guards the precision rules: float accumulators for the rotated
    // components, double for everything between them, one narrowing at the end.
    const Rotation rot = rotation_from_angles(0.3, 1.1, -0.4);
    const double row[3] = {0.123456789, -0.987654321, 0.5};
    const sfloat value = model_value(rot, row, 10.0, 6.0, 0.25);
    EXPECT_EQ(bits(value), 0x419cf941u) << std::hexfloat << double(value);
}

class Costs : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < count; ++i) row_pointers[i] = rows[i];
        fit_state().rows = row_pointers;
        fit_state().count = count;
        fit_state().observed = observed;
        fit_state().error = 1.0;
        p[1] = 0.3;
        p[2] = 1.1;
        p[3] = -0.4;
        p[4] = 10.0;
        p[5] = 6.0;
        p[6] = 0.0;
    }
    void TearDown() override { fit_state() = FitState{}; }

    static constexpr int count = 4;
    double rows[count][3] = {{0.1, 0.2, 0.9}, {1.0, 0.0, 0.0}, {-0.3, 0.7, 0.2}, {0.5, 0.5, -0.5}};
    const double* row_pointers[count];
    double observed[count] = {4.0, -3.0, 1.5, 0.25};
    sfloat p[7];
};

TEST_F(Costs, OffsetZeroMatchesTheCostWithoutOffset)
{
    EXPECT_EQ(bits(cost_with_offset(p)), bits(cost_no_offset(p)));
    p[6] = 1.0;
    EXPECT_NE(bits(cost_with_offset(p)), bits(cost_no_offset(p)));
}

TEST_F(Costs, OnlyTheMagnitudeOfTheErrorCounts)
{
    fit_state().error = 2.0;
    const sfloat positive = cost_with_offset(p);
    fit_state().error = -2.0;
    EXPECT_EQ(bits(cost_with_offset(p)), bits(positive));
    fit_state().error = 1.0;
    // Halving every residual scales the float sum by an exact power of two.
    EXPECT_EQ(double(positive) * 4.0, double(cost_with_offset(p)));
}

TEST_F(Costs, ExactModelGivesZeroAndAResidualOfThreeGivesNine)
{
    const Rotation rot = rotation_from_angles(p[1], p[2], p[3]);
    for (int i = 0; i < count; ++i) observed[i] = model_value(rot, rows[i], p[4], p[5], 0.0);
    EXPECT_EQ(double(cost_no_offset(p)), 0.0);

    fit_state().count = 1;
    observed[0] += 3.0;
    EXPECT_EQ(double(cost_no_offset(p)), 9.0);
}

TEST_F(Costs, NoVectorsOrAZeroVectorGiveNaN)
{
    fit_state().count = 0;
    EXPECT_TRUE(std::isnan(double(cost_no_offset(p))));
    fit_state().count = count;
    rows[2][0] = rows[2][1] = rows[2][2] = 0.0;
    EXPECT_TRUE(std::isnan(double(cost_with_offset(p))));
}

TEST_F(Costs, CostIsPinnedToTheBit)
{
    p[6] = 0.125;
    EXPECT_EQ(bits(cost_with_offset(p)), 0x42988872u) << std::hexfloat << double(cost_with_offset(p));
}
