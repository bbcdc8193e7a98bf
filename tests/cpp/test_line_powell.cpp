// Line minimization and Powell's direction-set method.
#include "numkit/numkit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

int cost_calls = 0;          // calls of the cost under test
int n_expected = 0;          // coordinates in every point the cost receives
std::vector<float> target;   // where squares is 0
double far_change = 0.0;     // terraces: added where x1 >= 3 and x2 >= 3
double second_step = 1.0;    // terraces: drop where x2 >= 0.5

// Counts the call and reads every coordinate: ASan traps a point that holds
// fewer than n.
double read_all(const sfloat* x) {
    ++cost_calls;
    double sum = 0.0;
    for (int j = 1; j <= n_expected; ++j) sum += x[j];
    return sum;
}
sfloat squares(const sfloat* x) {
    double sum = 0.0 * read_all(x);
    for (int j = 1; j <= n_expected; ++j) sum += (x[j] - target[j - 1]) * (x[j] - target[j - 1]);
    return sum;
}
sfloat flat(const sfloat* x) { return 0.0 * read_all(x) + 7.0; }
sfloat not_a_number(const sfloat* x) {
    return read_all(x) * std::numeric_limits<double>::quiet_NaN();
}
// Flat steps, so every line search ends on a terrace with an exact value:
// 2 at the origin, 1 lower where x1 >= 0.5, second_step lower where
// x2 >= 0.5, and far_change more where both reach 3.
sfloat terraces(const sfloat* x) {
    read_all(x);
    double value = 2.0;
    if (x[1] >= 0.5) value -= 1.0;
    if (x[2] >= 0.5) value -= second_step;
    if (x[1] >= 3.0 && x[2] >= 3.0) value += far_change;
    return value;
}

sfloat* one_based(const std::vector<float>& values) {
    sfloat* v = vector(1, static_cast<int>(values.size()));
    for (std::size_t j = 0; j < values.size(); ++j) v[j + 1] = values[j];
    return v;
}

// A starting point and the unit direction set, owned for one run.
struct Problem {
    int n;
    sfloat* p;
    sfloat** directions;
    int iterations = 0;
    sfloat cost = 0.0;

    explicit Problem(const std::vector<float>& start)
        : n(static_cast<int>(start.size())), p(one_based(start)),
          directions(matrix(1, n, 1, n)) {
        n_expected = n;
        cost_calls = 0;
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) directions[i][j] = i == j ? 1.0 : 0.0;
    }
    ~Problem() {
        matrix_release(directions, 1, n, 1, n);
        vector_release(p, 1, n);
    }
    int run(CostFunction f, double ftol) {
        return powell_min(p, directions, n, ftol, iterations, cost, f);
    }
    float at(int row, int column) const { return directions[row][column].as_float(); }
};

}  // namespace

TEST(LineMin, MovesByTheRoundedStepToTheLineMinimum) {
    struct Case {
        CostFunction cost;
        std::vector<float> p, d, target, p_after, d_after;
        float final_cost;
    };
    const Case cases[] = {
        // Minimum at the start: p stays, d becomes zeros.
        {squares, {0.5f, 0, -1.5f, 0}, {0, 1, 0, -2}, {0.5f, 0, -1.5f, 0},
         {0.5f, 0, -1.5f, 0}, {0, 0, 0, 0}, 0},
        // Minimum one whole direction on: p becomes p + d, d stays.
        {squares, {0.5f, 0.25f, -1.5f}, {1, -0.75f, 2.5f}, {1.5f, -0.5f, 1},
         {1.5f, -0.5f, 1}, {1, -0.75f, 2.5f}, 0},
        // Flat: the search ends at 2.6173708. p moves by the step as rounded
        // into d; rounding p + 2.6173708 d once would give 2.979108.
        {flat, {0.1f}, {1.1f}, {}, {2.9791079f}, {2.879108f}, 7},
    };
    for (const Case& c : cases) {
        target = c.target;
        n_expected = static_cast<int>(c.p.size());
        sfloat* p = one_based(c.p);
        sfloat* d = one_based(c.d);
        sfloat cost;
        line_min(p, d, n_expected, cost, c.cost);
        for (int j = 1; j <= n_expected; ++j) {
            EXPECT_EQ(p[j].as_float(), c.p_after[j - 1]);
            EXPECT_EQ(d[j].as_float(), c.d_after[j - 1]);
        }
        EXPECT_EQ(cost.as_float(), c.final_cost);
        vector_release(d, 1, n_expected);
        vector_release(p, 1, n_expected);
    }
}

TEST(LineMin, TrialPointIsRoundedOnceFromTheLine) {
    static float seen;  // the coordinate the cost received
    const auto first = [](const sfloat* x) -> sfloat { return seen = x[1].as_float(); };
    sfloat* origin = one_based({0.1f});
    sfloat* direction = one_based({1.1f});
    line_state() = {1, origin, direction, first};
    line_eval(2.6173708f);
    EXPECT_EQ(seen, 2.979108f);  // rounding the product first would give 2.9791079
    line_eval(0.0);
    EXPECT_EQ(seen, 0.1f);
    vector_release(direction, 1, 1);
    vector_release(origin, 1, 1);
}

TEST(Powell, NoProgressConvergesInTheFirstIteration) {
    target = {1.0f, -1.0f, 0.5f};
    Problem at_zero(target);  // cost 0, and 0 <= 0 even with ftol = 0
    EXPECT_EQ(at_zero.run(squares, 0.0), 1);
    EXPECT_EQ(at_zero.iterations, 1);
    Problem flat_start({0.25f, 4.0f});
    EXPECT_EQ(flat_start.run(flat, 0.1), 1);
    EXPECT_EQ(flat_start.iterations, 1);
    for (int i = 1; i <= 2; ++i)
        for (int j = 1; j <= 2; ++j) EXPECT_EQ(flat_start.at(i, j), i == j ? 1.0f : 0.0f);
    Problem empty({});  // nothing to search: the one evaluation is at p
    EXPECT_EQ(empty.run(flat, 0.1), 1);
    EXPECT_EQ(empty.iterations, 1);
    EXPECT_EQ(cost_calls, 1);
}

TEST(Powell, ConvergenceTestIsNotStrict) {
    // The first iteration takes the terraces from 2 to 0, and
    // 2 |2 - 0| <= ftol (2 + 0) holds exactly at ftol = 2.
    far_change = 0.0;
    second_step = 1.0;
    for (double ftol : {2.0, 1.99, 0.0}) {
        Problem terrace({0.0f, 0.0f});
        EXPECT_EQ(terrace.run(terraces, ftol), 1);
        EXPECT_EQ(terrace.iterations, ftol == 2.0 ? 1 : 2) << "ftol " << ftol;
    }
}

TEST(Powell, DirectionReplacement) {
    // The first iteration drops the cost by 1 along e1 and by second_step
    // along e2; the extrapolated point lies where both coordinates exceed 3.
    struct Case {
        double far_change, second_step;
        bool column_1_takes_e2, column_2_is_new;
    };
    const Case cases[] = {
        {-1.0, 1.0, true, true},   // equal drops: the first direction is replaced
        {-3.0, 2.0, false, true},  // largest drop along the last direction
        {0.0, 1.0, false, false},  // fE < f0 but t = 0
        {2.0, 1.0, false, false},  // fE = f0
    };
    for (const Case& c : cases) {
        far_change = c.far_change;
        second_step = c.second_step;
        Problem terrace({0.0f, 0.0f});
        EXPECT_EQ(terrace.run(terraces, 0.1), 1);
        EXPECT_EQ(terrace.iterations, 2);
        EXPECT_EQ(terrace.at(1, 1), c.column_1_takes_e2 ? 0.0f : 1.0f);
        EXPECT_EQ(terrace.at(2, 1), c.column_1_takes_e2 ? 1.0f : 0.0f);
        // The average move of the first iteration was along (1, 1).
        EXPECT_EQ(terrace.at(1, 2), c.column_2_is_new ? terrace.at(2, 2) : 0.0f);
        EXPECT_GT(terrace.at(2, 2), 0.0f);
    }
}

TEST(Powell, ToleranceNeverMetStopsAtTheLimit) {
    Problem undefined({0.0f, 0.0f});  // a NaN cost never compares as converged
    EXPECT_EQ(undefined.run(not_a_number, 0.1), 0);
    EXPECT_EQ(undefined.iterations, powell_iteration_limit);
    Problem negative({1.0f, 2.0f});  // nor does a negative ftol
    EXPECT_EQ(negative.run(flat, -1.0), 0);
    EXPECT_EQ(negative.iterations, powell_iteration_limit);
}

TEST(Powell, ReplacementWithoutALargestDecreaseWritesNothing) {
    // NaN at (1, 0), where the first search ends, hides both decreases, so
    // there is no direction of largest decrease; yet the extrapolated point
    // passes the replacement test.
    const auto valley = [](const sfloat* x) -> sfloat {
        read_all(x);
        if (x[1] == 1.0 && x[2] == 0.0) return std::numeric_limits<double>::quiet_NaN();
        const double off = x[2] - 2.0 * x[1];
        return -x[1] * x[1] + x[1] * x[1] * x[1] * x[1] / 16.0 + off * off;
    };
    Problem problem({0.0f, 0.0f});
    sfloat& spare = problem.directions[1][0];  // where a column 0 would begin
    spare = -7.0;
    EXPECT_EQ(problem.run(valley, -1.0), 0);
    EXPECT_EQ(spare.as_float(), -7.0f);
    EXPECT_EQ(problem.at(1, 2), 0.0f);
    EXPECT_EQ(problem.at(2, 2), 1.0f);
}

TEST(Powell, ReachesTheMinimaOfRealProblems) {
    const auto correlated_bowl = [](const sfloat* x) -> sfloat {
        read_all(x);
        const double u = x[1] - 1.0, v = x[2] + 2.0, w = x[3] - 0.5;
        return u * u + 4.0 * v * v + 9.0 * w * w + 2.0 * u * v + 3.0 * v * w;
    };
    Problem bowl({3.0f, 3.0f, 3.0f});
    EXPECT_EQ(bowl.run(correlated_bowl, 1e-6), 1);
    EXPECT_NEAR(bowl.p[1], 1.0, 1e-3);
    EXPECT_NEAR(bowl.p[2], -2.0, 1e-3);
    EXPECT_NEAR(bowl.p[3], 0.5, 1e-3);

    const auto rosenbrock = [](const sfloat* x) -> sfloat {
        read_all(x);
        const double a = 1.0 - x[1], b = x[2] - x[1] * x[1];
        return a * a + 100.0 * b * b;
    };
    Problem banana({-1.2f, 1.0f});
    EXPECT_EQ(banana.run(rosenbrock, 1e-6), 1);
    EXPECT_NEAR(banana.p[1], 1.0, 1e-3);
    EXPECT_NEAR(banana.p[2], 1.0, 1e-3);
}
