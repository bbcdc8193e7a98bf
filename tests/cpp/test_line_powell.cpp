// Line minimization and Powell's direction-set method.
#include "numkit/numkit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

int cost_calls = 0;           // calls of the cost under test
int expected_count = 0;       // every trial point must hold this many coordinates
const sfloat* caller_point;   // p of the current Powell run, seen once at entry
std::vector<float> target;    // minimum of sum_of_squares, 0-based
double far_change = 0.0;      // terraces: added where x1 >= 3 and x2 >= 3
double second_step = 1.0;     // terraces: drop where x2 >= 0.5

// Counts a call and reads every coordinate (ASan traps a short trial point).
double coordinate_sum(const sfloat* x) {
    ++cost_calls;
    if (x != caller_point) {
        EXPECT_EQ(line_state.line_count, expected_count);
    }
    double sum = 0.0;
    for (int j = 1; j <= expected_count; ++j) sum += x[j];
    return sum;
}

sfloat sum_of_squares(const sfloat* x) {
    coordinate_sum(x);
    double sum = 0.0;
    for (int j = 1; j <= expected_count; ++j)
        sum += (x[j] - target[j - 1]) * (x[j] - target[j - 1]);
    return sum;
}
sfloat flat(const sfloat* x) { return 0.0 * coordinate_sum(x) + 7.0; }
sfloat not_a_number(const sfloat* x) {
    return coordinate_sum(x) * std::numeric_limits<double>::quiet_NaN();
}

// Flat steps, so each line search lands on a terrace with an exact value:
// 2 near the origin, 1 lower for x1 >= 0.5, second_step lower for x2 >= 0.5,
// and far_change more where both reach 3.
sfloat terraces(const sfloat* x) {
    coordinate_sum(x);
    double value = 2.0;
    if (x[1] >= 0.5) value -= 1.0;
    if (x[2] >= 0.5) value -= second_step;
    if (x[1] >= 3.0 && x[2] >= 3.0) value += far_change;
    return value;
}

// A starting point and the unit direction set, owned for one test.
struct Problem {
    int n;
    sfloat* p;
    sfloat** directions;
    int iterations = 0;
    sfloat cost = 0.0;

    Problem(std::vector<float> start) : n(static_cast<int>(start.size())) {
        expected_count = n;
        cost_calls = 0;
        p = vector(1, n);
        caller_point = p;
        directions = matrix(1, n > 0 ? n : 1, 1, n > 0 ? n : 1);
        for (int i = 1; i <= n; ++i) {
            p[i] = start[i - 1];
            for (int j = 1; j <= n; ++j) directions[i][j] = i == j ? 1.0 : 0.0;
        }
    }
    ~Problem() {
        vector_release(p, 1, n);
        matrix_release(directions, 1, n > 0 ? n : 1, 1, n > 0 ? n : 1);
    }
    int powell(CostFunction f, double ftol) {
        return powell_min(p, directions, n, ftol, iterations, cost, f);
    }
    float column(int j, int i) const { return directions[i][j].as_float(); }
};

}  // namespace

TEST(LineMin, StepOfZeroKeepsThePointAndZeroesTheDirection) {
    target = {0.5f, 0.0f, -1.5f, 0.0f};
    Problem line({0.5f, 0.0f, -1.5f, 0.0f});
    const float d_start[] = {0.0f, 1.0f, 0.0f, -2.0f};
    sfloat* d = vector(1, 4);
    for (int j = 1; j <= 4; ++j) d[j] = d_start[j - 1];
    line_min(line.p, d, 4, line.cost, sum_of_squares);
    for (int j = 1; j <= 4; ++j) {
        EXPECT_EQ(line.p[j].as_float(), target[j - 1]);
        EXPECT_EQ(d[j].as_float(), 0.0f);
    }
    EXPECT_EQ(line.cost.as_float(), 0.0f);
    vector_release(d, 1, 4);
}

TEST(LineMin, StepOfOneMovesByTheWholeDirection) {
    target = {1.5f, -0.5f, 1.0f};  // start + direction, exactly
    Problem line({0.5f, 0.25f, -1.5f});
    const float d_start[] = {1.0f, -0.75f, 2.5f};
    sfloat* d = vector(1, 3);
    for (int j = 1; j <= 3; ++j) d[j] = d_start[j - 1];
    line_min(line.p, d, 3, line.cost, sum_of_squares);
    for (int j = 1; j <= 3; ++j) {
        EXPECT_EQ(line.p[j].as_float(), target[j - 1]);
        EXPECT_EQ(d[j].as_float(), d_start[j - 1]);
    }
    vector_release(d, 1, 3);
}

TEST(LineMin, PointMovesByTheRoundedStep) {
    // On a flat cost the search ends at x = 2.6173708 (every trial ties).
    const float p_start = 0.1f, d_start = 1.1f, xmin = 2.6173708f;
    Problem line({p_start});
    sfloat* d = vector(1, 1);
    d[1] = d_start;
    line_min(line.p, d, 1, line.cost, flat);
    const float step = static_cast<float>(double(d_start) * xmin);
    const float rounded_once = static_cast<float>(p_start + double(d_start) * xmin);
    const float rounded_twice = static_cast<float>(double(p_start) + step);
    ASSERT_NE(rounded_once, rounded_twice);  // else the test shows nothing
    EXPECT_EQ(d[1].as_float(), step);
    EXPECT_EQ(line.p[1].as_float(), rounded_twice);
    EXPECT_EQ(line.cost.as_float(), 7.0f);
    vector_release(d, 1, 1);
}

TEST(LineMin, TrialPointIsRoundedOnceFromTheLine) {
    // line_eval reads the line from line_state alone.
    static float seen;
    const auto first_coordinate = [](const sfloat* x) -> sfloat { return seen = x[1].as_float(); };
    sfloat* origin = vector(1, 1);
    sfloat* direction = vector(1, 1);
    origin[1] = 0.1f;
    direction[1] = 1.1f;
    line_state = {1, origin, direction, first_coordinate};
    const float x = 2.6173708f;
    const float once = static_cast<float>(0.1f + double(x) * 1.1f);
    ASSERT_NE(once, static_cast<float>(0.1f + double(static_cast<float>(double(x) * 1.1f))));
    EXPECT_EQ(line_eval(x).as_float(), once);
    EXPECT_EQ(seen, once);
    EXPECT_EQ(line_eval(0.0).as_float(), 0.1f);
    vector_release(direction, 1, 1);
    vector_release(origin, 1, 1);
}

TEST(Powell, NoProgressConvergesInTheFirstIteration) {
    target = {1.0f, -1.0f, 0.5f};
    Problem start_at_minimum({1.0f, -1.0f, 0.5f});  // cost 0, and 0 <= 0
    EXPECT_EQ(start_at_minimum.powell(sum_of_squares, 0.0), 1);
    EXPECT_EQ(start_at_minimum.iterations, 1);
    Problem flat_everywhere({0.25f, 4.0f});  // no line search changes the cost
    EXPECT_EQ(flat_everywhere.powell(flat, 0.1), 1);
    EXPECT_EQ(flat_everywhere.iterations, 1);
    for (int i = 1; i <= 2; ++i)
        for (int j = 1; j <= 2; ++j) EXPECT_EQ(flat_everywhere.column(i, j), i == j ? 1.0f : 0.0f);
    Problem empty({});  // nothing to search: one evaluation, at p
    EXPECT_EQ(empty.powell(flat, 0.1), 1);
    EXPECT_EQ(empty.iterations, 1);
    EXPECT_EQ(cost_calls, 1);
}

TEST(Powell, ConvergenceTestIsNotStrict) {
    // The terraces drop the cost from 2 to 0 in the first iteration:
    // 2 * |2 - 0| <= ftol * (2 + 0) holds exactly at ftol = 2.
    far_change = 0.0;
    second_step = 1.0;
    for (double ftol : {2.0, 1.99, 0.0}) {
        Problem terrace({0.0f, 0.0f});
        EXPECT_EQ(terrace.powell(terraces, ftol), 1);
        EXPECT_EQ(terrace.iterations, ftol == 2.0 ? 1 : 2) << "ftol " << ftol;
        EXPECT_EQ(terrace.cost.as_float(), 0.0f);
    }
}

// The first iteration drops the cost by 1 along e1 and by second_step along
// e2, to 2 - 1 - second_step; the extrapolated point lies on the far terrace.
TEST(Powell, DirectionReplacement) {
    struct Case {
        double far_change, second_step;
        bool column_1_takes_e2, column_2_is_new;
    };
    const Case cases[] = {
        {-1.0, 1.0, true, true},    // equal drops: the first direction is replaced
        {-3.0, 2.0, false, true},   // largest drop along the last direction
        {0.0, 1.0, false, false},   // fE < f0 but t = 0
        {2.0, 1.0, false, false},   // fE = f0
    };
    for (const Case& c : cases) {
        far_change = c.far_change;
        second_step = c.second_step;
        Problem terrace({0.0f, 0.0f});
        EXPECT_EQ(terrace.powell(terraces, 0.1), 1);
        EXPECT_EQ(terrace.iterations, 2);
        EXPECT_EQ(terrace.column(1, 1), c.column_1_takes_e2 ? 0.0f : 1.0f);
        EXPECT_EQ(terrace.column(1, 2), c.column_1_takes_e2 ? 1.0f : 0.0f);
        if (c.column_2_is_new) {
            // The average move of the first iteration went along (1, 1).
            EXPECT_GT(terrace.column(2, 1), 0.0f);
            EXPECT_EQ(terrace.column(2, 1), terrace.column(2, 2));
        } else {
            EXPECT_EQ(terrace.column(2, 1), 0.0f);
            EXPECT_EQ(terrace.column(2, 2), 1.0f);
        }
    }
}

TEST(Powell, CostThatNeverMeetsTheToleranceStopsAtTheLimit) {
    Problem undefined({0.0f, 0.0f});  // NaN never compares as converged
    EXPECT_EQ(undefined.powell(not_a_number, 0.1), 0);
    EXPECT_EQ(undefined.iterations, powell_iteration_limit);
    EXPECT_TRUE(std::isnan(undefined.cost));
    Problem flat_negative({1.0f, 2.0f});  // a negative ftol cannot be met
    EXPECT_EQ(flat_negative.powell(flat, -1.0), 0);
    EXPECT_EQ(flat_negative.iterations, powell_iteration_limit);
}

TEST(Powell, ReplacementWithoutALargestDecreaseWritesNothing) {
    // NaN at (1, 0), where the first search ends, hides both decreases (no
    // direction k), yet the extrapolated point passes the replacement test.
    const auto valley = [](const sfloat* x) -> sfloat {
        coordinate_sum(x);
        if (x[1] == 1.0 && x[2] == 0.0) return std::numeric_limits<double>::quiet_NaN();
        const double off = x[2] - 2.0 * x[1];
        return -x[1] * x[1] + x[1] * x[1] * x[1] * x[1] / 16.0 + off * off;
    };
    Problem problem({0.0f, 0.0f});
    sfloat& spare = problem.directions[1][0];  // where column 0 would begin
    spare = -7.0;
    EXPECT_EQ(problem.powell(valley, -1.0), 0);
    EXPECT_EQ(spare.as_float(), -7.0f);
    EXPECT_EQ(problem.column(2, 1), 0.0f);
    EXPECT_EQ(problem.column(2, 2), 1.0f);
}

TEST(Powell, ReachesTheMinimaOfRealProblems) {
    target = {1.0f, -2.0f, 0.5f};
    const auto correlated_bowl = [](const sfloat* x) -> sfloat {
        coordinate_sum(x);
        const double u = x[1] - 1.0, v = x[2] + 2.0, w = x[3] - 0.5;
        return u * u + 4.0 * v * v + 9.0 * w * w + 2.0 * u * v + 3.0 * v * w;
    };
    Problem bowl({3.0f, 3.0f, 3.0f});
    EXPECT_EQ(bowl.powell(correlated_bowl, 1e-6), 1);
    for (int j = 1; j <= 3; ++j) EXPECT_NEAR(bowl.p[j], target[j - 1], 1e-3);

    const auto rosenbrock = [](const sfloat* x) -> sfloat {
        coordinate_sum(x);
        const double a = 1.0 - x[1], b = x[2] - x[1] * x[1];
        return a * a + 100.0 * b * b;
    };
    Problem banana({-1.2f, 1.0f});
    EXPECT_EQ(banana.powell(rosenbrock, 1e-6), 1);
    EXPECT_NEAR(banana.p[1], 1.0, 1e-3);
    EXPECT_NEAR(banana.p[2], 1.0, 1e-3);
}
