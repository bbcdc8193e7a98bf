// Bracketing and Brent's minimizer. Evaluation counts and exact bits are the
// result: a wrong comparison sense or a missed narrowing changes them.
#include "numkit/numkit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

int evaluations = 0;           // calls of the function under test
std::vector<float> abscissae;  // where it was called, in order
double bump_height = 0.0;      // value of bumped_v between 2.1 and 2.3

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
// Values chosen so that the first parabolic vertex is exactly the limit
// b + 100 (c - b).
sfloat vertex_at_limit(sfloat x) {
    record(x);
    if (x == 0.0) return 0.0;
    if (x == 1.0) return -0.9999998211860657;
    if (x == 2.618034f) return -2.6049835681915283;
    return std::fabs(x - 100.0) - 50.0;
}
// Flat steps give exact ties everywhere, so every tie rule shows.
sfloat terraced_exp(sfloat x) {
    record(x);
    return std::floor(16.0 * (std::exp(double(x)) - 2.0 * x)) / 16.0;
}
sfloat terraced_parabola(sfloat x) {
    record(x);
    return std::floor(4.0 * (x - 2.0) * (x - 2.0)) / 4.0;
}

}  // namespace

TEST(BracketMin, WalksToTheExpectedBracket) {
    struct Case {
        LineFunction f;
        double bump;
        float start_a, start_b, a, b, c;
        int evaluations;
    };
    const float v_at_c = std::fabs(2.618034f - 2.0f);
    const Case cases[] = {
        // The first parabola is f itself; from either order.
        {square_at_2, 0, 0, 1, 1, 2, 2.618034f, 4},
        {square_at_2, 0, 1, 0, 1, 2, 2.618034f, 4},
        // Uphill start: turn round; the first step already rises.
        {square, 0, 0, 1, 1, 0, -1.618034f, 3},
        {square, 0, 1, 0, 1, 0, -1.618034f, 3},
        // No walk: fb = fc, or a = b.
        {constant, 0, 0, 1, 0, 1, 2.618034f, 3},
        {square_at_2, 0, 1, 1, 1, 1, 1, 3},
        // Vertex beyond c: taken, then a golden step past it.
        {square_at_10, 0, 0, 1, 2.618034f, 10.0000019f, 21.9442768f, 5},
        // Vertex between b and c: above b it closes the bracket; as high as
        // c or as b it is of no use and a golden step follows.
        {bumped_v, 5.0, 0, 1, 0, 1, 2.21352553f, 4},
        {bumped_v, v_at_c, 0, 1, 1, 2.618034f, 5.23606777f, 5},
        {bumped_v, 1.0, 0, 1, 1, 2.618034f, 5.23606777f, 5},
        // Vertex exactly at the limit: evaluated there.
        {vertex_at_limit, 0, 0, 1, 1, 2.618034f, 162.80339f, 4},
        {terraced_parabola, 0, 0, 1, 1, 2.04823184f, 2.618034f, 4},
    };
    for (const Case& t : cases) {
        bump_height = t.bump;
        evaluations = 0;
        sfloat a = t.start_a, b = t.start_b, c, fa, fb, fc;
        bracket_min(a, b, c, fa, fb, fc, t.f);
        EXPECT_EQ(a.as_float(), t.a);
        EXPECT_EQ(b.as_float(), t.b);
        EXPECT_EQ(c.as_float(), t.c);
        EXPECT_EQ(evaluations, t.evaluations);
    }
}

TEST(BracketMin, StraightLineStopsAtEachLimitUntilOverflow) {
    abscissae.clear();
    sfloat a = 0.0, b = 1.0, c, fa, fb, fc;
    bracket_min(a, b, c, fa, fb, fc, falling_line);
    ASSERT_GE(abscissae.size(), 5u);
    EXPECT_EQ(abscissae[3], 162.80339f);
    EXPECT_EQ(abscissae[4], 16021.153f);
    EXPECT_EQ(fc.as_float(), -std::numeric_limits<float>::infinity());
}

TEST(Brent, FindsTheExpectedMinimum) {
    struct Case {
        LineFunction f;
        float ax, bx, cx, tol, value, xmin;
        int evaluations;
    };
    const float two_t = 2.0f * 1e-10f;  // t at x = 0 when tol = 0
    const Case cases[] = {
        {square_at_2, 1, 2, 2.618034f, 0.0002f, 0, 2, 5},
        {square, 1, 0, -1.618034f, 0.0002f, 0, 0, 6},  // ax above cx
        // Every trial ties with x and so replaces it; all steps golden.
        {constant, 0, 1, 2.618034f, 0.0002f, 3, 2.6173708f, 17},
        // Brackets that already meet the stopping test; the last with equality.
        {square_at_2, 1.9999f, 2, 2.0001f, 0.0002f, 0, 2, 1},
        {square_at_2, 2, 2, 2, 0.0002f, 0, 2, 1},
        {square, -two_t, 0, two_t, 0, 0, 0, 1},
        {terraced_exp, 4.76393223f, 0.527864397f, -6.3262372f, 1e-6f, 0.625f, 0.508859456f, 26},
        {terraced_exp, 3.38196611f, 0.763932288f, -3.47213554f, 1e-6f, 0.5625f, 0.752949595f, 24},
        {terraced_parabola, 1.34721351f, 1.8708204f, 2.71803427f, 0.1f, 0, 2.41386986f, 3},
    };
    for (const Case& t : cases) {
        evaluations = 0;
        sfloat xmin = 0.0;
        EXPECT_EQ(brent(t.ax, t.bx, t.cx, t.f, t.tol, xmin).as_float(), t.value);
        EXPECT_EQ(xmin.as_float(), t.xmin);
        EXPECT_EQ(evaluations, t.evaluations);
    }
}

TEST(BrentDeathTest, GivesUpAfter101Evaluations) {
    // tol = 0 leaves t = 1e-10, far below the float spacing near 2.
    const auto noisy = [](sfloat x) -> sfloat {
        if (++evaluations > 100) std::fprintf(stderr, "evaluation %d\n", evaluations);
        return (x - 2.0) * (x - 2.0);
    };
    sfloat xmin;
    evaluations = 0;
    EXPECT_EXIT(brent(1.0, 2.5, 3.0, noisy, 0.0, xmin), testing::ExitedWithCode(1),
                "^evaluation 101\nQuorvel run-time error\\.\\.\\.\nToo many iterations in brent\n"
                "\\.\\.\\.now exiting to system\\.\\.\\.\n$");
}
