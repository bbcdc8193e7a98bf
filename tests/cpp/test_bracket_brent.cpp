// Bracketing and Brent's minimizer. Evaluation counts are part of the
// result: a wrong comparison sense or a missed narrowing changes them.
#include "numkit/numkit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

int evaluations = 0;            // calls of the function under test
std::vector<float> abscissae;   // where it was called, in order
double bump_height = 0.0;       // value of bumped_v between 2.1 and 2.3

sfloat record(sfloat x) {
    ++evaluations;
    abscissae.push_back(x.as_float());
    return x;
}
sfloat square_at_2(sfloat x) { record(x); return (x - 2.0) * (x - 2.0); }
sfloat square_at_10(sfloat x) { record(x); return (x - 10.0) * (x - 10.0); }
sfloat square(sfloat x) { record(x); return x * x; }
sfloat falling_line(sfloat x) { return -record(x); }
sfloat constant(sfloat x) { record(x); return 3.0; }
sfloat bumped_v(sfloat x) {
    record(x);
    return x > 2.1 && x < 2.3 ? bump_height : std::fabs(x - 2.0);
}

struct Triple {
    float a, b, c, fa, fb, fc;
};

Triple bracket(LineFunction f, float start_a, float start_b) {
    evaluations = 0;
    abscissae.clear();
    sfloat a = start_a, b = start_b, c, fa, fb, fc;
    bracket_min(a, b, c, fa, fb, fc, f);
    return {a.as_float(), b.as_float(), c.as_float(),
            fa.as_float(), fb.as_float(), fc.as_float()};
}

// Brent's result and abscissa, after evaluations is reset.
std::pair<float, float> minimize(LineFunction f, float ax, float bx, float cx,
                                 float tol = 0.0002f) {
    evaluations = 0;
    sfloat xmin = 0.0;
    const sfloat value = brent(ax, bx, cx, f, tol, xmin);
    return {value.as_float(), xmin.as_float()};
}

}  // namespace

TEST(BracketMin, QuadraticsFromEitherStartingOrder) {
    for (float start : {0.0f, 1.0f}) {
        // The parabola through the first three points is (x - 2)^2 itself.
        Triple t = bracket(square_at_2, start, 1.0f - start);
        EXPECT_EQ(t.a, 1.0f); EXPECT_EQ(t.b, 2.0f); EXPECT_EQ(t.c, 2.618034f);
        EXPECT_EQ(t.fb, 0.0f);
        EXPECT_EQ(evaluations, 4);
        // Uphill from the start: turn round, and the first step already rises.
        t = bracket(square, start, 1.0f - start);
        EXPECT_EQ(t.a, 1.0f); EXPECT_EQ(t.b, 0.0f); EXPECT_EQ(t.c, -1.618034f);
        EXPECT_EQ(evaluations, 3);
    }
}

TEST(BracketMin, VertexBeyondCIsTakenAndSteppedPast) {
    const Triple t = bracket(square_at_10, 0.0f, 1.0f);
    EXPECT_EQ(t.a, 2.618034f);
    EXPECT_NEAR(t.b, 10.0f, 1e-5f);
    EXPECT_EQ(t.c, 21.9442768f);
    EXPECT_EQ(evaluations, 5);
}

TEST(BracketMin, VertexBetweenBAndCThatIsNoImprovement) {
    // Higher than b: the vertex closes the bracket.
    bump_height = 5.0;
    Triple t = bracket(bumped_v, 0.0f, 1.0f);
    EXPECT_EQ(t.a, 0.0f); EXPECT_EQ(t.b, 1.0f); EXPECT_EQ(t.c, 2.21352553f);
    EXPECT_EQ(evaluations, 4);
    // Exactly as high as c: not an improvement, so a golden step follows.
    bump_height = std::fabs(2.618034f - 2.0f);
    t = bracket(bumped_v, 0.0f, 1.0f);
    EXPECT_EQ(t.a, 1.0f); EXPECT_EQ(t.b, 2.618034f); EXPECT_EQ(t.c, 5.23606777f);
    EXPECT_EQ(evaluations, 5);
}

TEST(BracketMin, StraightLineStopsAtEachLimitUntilOverflow) {
    const Triple t = bracket(falling_line, 0.0f, 1.0f);
    ASSERT_GE(abscissae.size(), 5u);
    EXPECT_EQ(abscissae[3], 162.80339f);
    EXPECT_EQ(abscissae[4], 16021.153f);
    EXPECT_TRUE(std::isinf(t.c));
    EXPECT_EQ(t.fb, -std::numeric_limits<float>::infinity());
}

TEST(BracketMin, FlatOrDegenerateStartNeedsNoWalk) {
    Triple t = bracket(constant, 0.0f, 1.0f);
    EXPECT_EQ(t.c, 2.618034f);
    EXPECT_EQ(evaluations, 3);
    t = bracket(square_at_2, 1.0f, 1.0f);
    EXPECT_EQ(t.a, 1.0f); EXPECT_EQ(t.b, 1.0f); EXPECT_EQ(t.c, 1.0f);
    EXPECT_EQ(evaluations, 3);
}

TEST(Brent, QuadraticsFromTheirBrackets) {
    EXPECT_EQ(minimize(square_at_2, 1.0f, 2.0f, 2.618034f), std::make_pair(0.0f, 2.0f));
    EXPECT_EQ(evaluations, 5);
    // ax above cx: the interval is ordered first.
    EXPECT_EQ(minimize(square, 1.0f, 0.0f, -1.618034f), std::make_pair(0.0f, 0.0f));
    EXPECT_EQ(evaluations, 6);
}

TEST(Brent, ConstantFunctionFollowsEveryTieUpward) {
    // Each trial ties with x and so replaces it; all steps are golden.
    EXPECT_EQ(minimize(constant, 0.0f, 1.0f, 2.618034f), std::make_pair(3.0f, 2.6173708f));
    EXPECT_EQ(evaluations, 17);
}

TEST(Brent, BracketWithinToleranceCostsOneEvaluation) {
    EXPECT_EQ(minimize(square_at_2, 1.9999f, 2.0f, 2.0001f).second, 2.0f);
    EXPECT_EQ(evaluations, 1);
    EXPECT_EQ(minimize(square_at_2, 2.0f, 2.0f, 2.0f).second, 2.0f);
    EXPECT_EQ(evaluations, 1);
}

TEST(Brent, NonQuadraticMinimaWithinTolerance) {
    const auto cosine = [](sfloat x) -> sfloat { return std::cos(double(record(x))); };
    const auto exp_tilted = [](sfloat x) -> sfloat { return std::exp(double(record(x))) - 2.0 * x; };
    EXPECT_NEAR(minimize(cosine, 2.0f, 3.0f, 5.0f).second, std::acos(-1.0), 2e-3);
    EXPECT_NEAR(minimize(exp_tilted, -1.0f, 0.0f, 2.0f).second, std::log(2.0), 2e-3);
}

TEST(BrentDeathTest, GivesUpAfter101Evaluations) {
    // tol = 0 leaves t = 1e-10, far below the float spacing near 2.
    const auto noisy = [](sfloat x) -> sfloat {
        if (++evaluations > 100) std::fprintf(stderr, "evaluation %d\n", evaluations);
        return (x - 2.0) * (x - 2.0);
    };
    EXPECT_EXIT(minimize(noisy, 1.0f, 2.5f, 3.0f, 0.0f), testing::ExitedWithCode(1),
                "^evaluation 101\nQuorvel run-time error\\.\\.\\.\nToo many iterations in brent\n"
                "\\.\\.\\.now exiting to system\\.\\.\\.\n$");
}
