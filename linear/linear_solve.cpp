// One least-squares problem from the rows to the parameters, and stacks of
// them over threads.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

#include "linear/linear.h"

namespace {

int unknowns_of(bool offset)
{
    return offset ? tensor_unknowns + 1 : tensor_unknowns;
}

// The tensor columns of one unit vector: u^T A u = Axx (x^2 - z^2) +
// Ayy (y^2 - z^2) + Axy 2xy + Axz 2xz + Ayz 2yz, as A is traceless.
struct TensorRow {
    double term[tensor_unknowns];
};
TensorRow tensor_row(const double* vector)
{
    const double length =
        std::sqrt(vector[0] * vector[0] + vector[1] * vector[1] + vector[2] * vector[2]);
    const double x = vector[0] / length, y = vector[1] / length, z = vector[2] / length;
    return {{x * x - z * z, y * y - z * z, 2.0 * x * y, 2.0 * x * z, 2.0 * y * z}};
}

// The weighted design, column-major, and the weighted observed values.
void fill_design(const LinearProblem& problem, int unknowns, double* design, double* rhs)
{
    const auto rows = static_cast<size_t>(problem.count);
    for (size_t i = 0; i < rows; ++i) {
        const TensorRow row = tensor_row(problem.vectors + 3 * i);
        const double scale = problem.scale != nullptr ? problem.scale[i] : 1.0;
        const double sigma = problem.sigma != nullptr ? problem.sigma[i] : 1.0;
        for (int c = 0; c < tensor_unknowns; ++c) {
            design[static_cast<size_t>(c) * rows + i] = scale * row.term[c] / sigma;
        }
        if (unknowns > tensor_unknowns) {
            design[tensor_unknowns * rows + i] = 1.0 / sigma;
        }
        rhs[i] = problem.observed[i] / sigma;
    }
}

// The square triangular factor (zero below the design's rows when it has
// fewer rows than unknowns), column-major, for its singular values.
void triangular_factor(const double* design, int rows, int unknowns, double* factor)
{
    for (int c = 0; c < unknowns; ++c) {
        for (int r = 0; r < unknowns; ++r) {
            const bool upper = r <= c && r < rows;
            factor[c * unknowns + r] =
                upper ? design[static_cast<size_t>(c) * static_cast<size_t>(rows) +
                               static_cast<size_t>(r)]
                      : 0.0;
        }
    }
}

// Rank and condition number of the weighted design, from the singular
// values of its triangular factor (the same as the design's).
void classify(const double* design, int rows, int unknowns, LinearSolution& out)
{
    double factor[max_linear_unknowns * max_linear_unknowns];
    double sv[max_linear_unknowns];
    triangular_factor(design, rows, unknowns, factor);
    singular_values(factor, unknowns, sv);
    double largest = 0.0, smallest = sv[0];
    for (int k = 0; k < unknowns; ++k) {
        largest = std::max(largest, sv[k]);
        smallest = std::min(smallest, sv[k]);
    }
    const double noise =
        largest * static_cast<double>(std::max(rows, unknowns)) * linear_rank_epsilon;
    out.rank = 0;
    for (int k = 0; k < unknowns; ++k) {
        out.rank += sv[k] > noise ? 1 : 0;
    }
    out.condition = smallest > 0.0 ? largest / smallest : HUGE_VAL;
    if (out.rank < unknowns) {
        out.status = LinearStatus::rank_deficient;
    } else if (!(out.condition <= linear_condition_limit)) {
        out.status = LinearStatus::ill_conditioned;
    } else {
        out.status = LinearStatus::solved;
    }
}

void store_order_matrix(const double* x, double (&a)[3][3])
{
    const double axx = x[0], ayy = x[1], axy = x[2], axz = x[3], ayz = x[4];
    a[0][0] = axx;
    a[0][1] = axy;
    a[0][2] = axz;
    a[1][0] = axy;
    a[1][1] = ayy;
    a[1][2] = ayz;
    a[2][0] = axz;
    a[2][1] = ayz;
    a[2][2] = -axx - ayy;
}

// The model values at the solution and the mean squared weighted residual,
// summed in row order.
double values_and_cost(const LinearProblem& problem, const double* x, double offset,
                       double* values)
{
    double sum = 0.0;
    const auto rows = static_cast<size_t>(problem.count);
    for (size_t i = 0; i < rows; ++i) {
        const TensorRow row = tensor_row(problem.vectors + 3 * i);
        double tensor = 0.0;
        for (int c = 0; c < tensor_unknowns; ++c) {
            tensor += x[c] * row.term[c];
        }
        const double scale = problem.scale != nullptr ? problem.scale[i] : 1.0;
        values[i] = scale * tensor + offset;
        const double sigma = problem.sigma != nullptr ? problem.sigma[i] : 1.0;
        const double residual = (problem.observed[i] - values[i]) / sigma;
        sum += residual * residual;
    }
    return sum / static_cast<double>(problem.count);
}

// Problems [first, last) of a stack, with one work space.
void solve_range(const LinearProblem* problems, int first, int last,
                 const size_t* value_starts, double* values, LinearSolution* solutions,
                 double* work)
{
    for (int f = first; f < last; ++f) {
        solutions[f] = solve_linear(problems[f], work, values + value_starts[f]);
    }
}

}  // namespace

size_t linear_work_size(int count, bool offset)
{
    const auto rows = static_cast<size_t>(count);
    return rows * static_cast<size_t>(unknowns_of(offset)) + rows;
}

LinearSolution solve_linear(const LinearProblem& problem, double* work, double* values)
{
    LinearSolution out = {};
    const int rows = problem.count;
    const int unknowns = unknowns_of(problem.offset);
    out.unknowns = unknowns;
    double* design = work;
    double* rhs = work + static_cast<size_t>(rows) * static_cast<size_t>(unknowns);
    fill_design(problem, unknowns, design, rhs);
    householder_qr(design, rows, unknowns, rhs);
    classify(design, rows, unknowns, out);
    if (out.status != LinearStatus::solved) {
        return out;
    }
    double x[max_linear_unknowns];
    back_substitute(design, rows, unknowns, rhs, x);
    store_order_matrix(x, out.order_matrix);
    out.offset = problem.offset ? x[tensor_unknowns] : 0.0;
    out.cost = values_and_cost(problem, x, out.offset, values);
    params_from_order_matrix(out.order_matrix, out.params);
    out.params[5] = out.offset;
    return out;
}

void solve_linear_stack(const LinearProblem* problems, int count, int workers,
                        double* values, LinearSolution* solutions)
{
    if (count <= 0) {
        return;
    }
    workers = std::max(1, std::min(workers, count));
    std::vector<size_t> value_starts(static_cast<size_t>(count));
    size_t largest = 0, start = 0;
    for (int f = 0; f < count; ++f) {
        value_starts[static_cast<size_t>(f)] = start;
        start += static_cast<size_t>(problems[f].count);
        largest = std::max(largest, linear_work_size(problems[f].count, problems[f].offset));
    }
    std::vector<std::vector<double>> work(static_cast<size_t>(workers));
    for (auto& space : work) {
        space.resize(largest);
    }
    // Worker w takes the w-th contiguous share; the calling thread takes the
    // first, and any share whose thread could not be started.
    auto share_start = [count, workers](int w) {
        return static_cast<int>(static_cast<long long>(count) * w / workers);
    };
    std::vector<std::thread> threads;
    std::vector<int> unstarted;
    threads.reserve(static_cast<size_t>(workers));
    for (int w = 1; w < workers; ++w) {
        try {
            threads.emplace_back(solve_range, problems, share_start(w), share_start(w + 1),
                                 value_starts.data(), values, solutions,
                                 work[static_cast<size_t>(w)].data());
        } catch (const std::system_error&) {
            unstarted.push_back(w);
        }
    }
    solve_range(problems, 0, share_start(1), value_starts.data(), values, solutions,
                work[0].data());
    for (const int w : unstarted) {
        solve_range(problems, share_start(w), share_start(w + 1), value_starts.data(), values,
                    solutions, work[0].data());
    }
    for (auto& thread : threads) {
        thread.join();
    }
}
