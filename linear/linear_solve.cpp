// One least-squares problem, from its rows to the order matrix, the values,
// the cost and the parameters.
#include <algorithm>
#include <cmath>
#include <cstddef>

#include "linear/linear.h"

namespace {

int unknowns_of(bool offset)
{
    return offset ? tensor_unknowns + 1 : tensor_unknowns;
}

// The weighted design and observed values, a row of qr_stride values each.
void fill_design(const LinearProblem& problem, int unknowns, const double* terms,
                 double* design)
{
    const auto rows = static_cast<size_t>(problem.count);
    for (size_t i = 0; i < rows; ++i) {
        const double* term = terms + tensor_unknowns * i;
        const double weight = problem.sigma != nullptr ? 1.0 / problem.sigma[i] : 1.0;
        const double factor = problem.scale != nullptr ? problem.scale[i] * weight : weight;
        double* row = design + qr_stride * i;
        for (int c = 0; c < qr_stride; ++c) {
            row[c] = 0.0;
        }
        for (int c = 0; c < tensor_unknowns; ++c) {
            row[c] = factor * term[c];
        }
        if (unknowns > tensor_unknowns) {
            row[tensor_unknowns] = weight;
        }
        row[unknowns] = problem.observed[i] * weight;
    }
}

// The transpose of the square triangular factor R (zero below the
// design's rows when it has fewer rows than unknowns), as columns of
// qr_stride values: R's rows as columns. It has R's singular values, and
// one-sided Jacobi rotations converge in fewer sweeps on it than on R.
void triangular_factor_rows(const double* design, int rows, int unknowns, double* factor)
{
    for (int k = 0; k < qr_stride; ++k) {
        for (int c = 0; c < qr_stride; ++c) {
            const bool upper = k <= c && k < rows && c < unknowns;
            factor[k * qr_stride + c] = upper ? design[qr_stride * k + c] : 0.0;
        }
    }
}

// ||R||_F ||R^-1||_F for the triangular factor R: at least the condition
// number and at most `unknowns` times it. Not finite (or NaN) where R is
// singular or nearly so.
double condition_bound(const double* design, int rows, int unknowns)
{
    if (rows < unknowns) {
        return HUGE_VAL;
    }
    auto r = [design](int i, int c) { return design[qr_stride * i + c]; };
    double squares = 0.0, inverse_squares = 0.0;
    for (int c = 0; c < unknowns; ++c) {
        // Column c of R^-1, by back substitution against the unit vector.
        double x[max_linear_unknowns];
        x[c] = 1.0 / r(c, c);
        inverse_squares += x[c] * x[c];
        for (int k = c - 1; k >= 0; --k) {
            double sum = 0.0;
            for (int m = k + 1; m <= c; ++m) {
                sum += r(k, m) * x[m];
            }
            x[k] = -sum / r(k, k);
            inverse_squares += x[k] * x[k];
        }
        for (int k = 0; k <= c; ++k) {
            squares += r(k, c) * r(k, c);
        }
    }
    return std::sqrt(squares) * std::sqrt(inverse_squares);
}

// Rank and condition number of the weighted design. Where the cheap bound
// already shows the condition number well inside both limits, that bound
// stands in for it; otherwise they come from the singular values of the
// triangular factor (the same as the design's).
void classify(const double* design, int rows, int unknowns, LinearSolution& out)
{
    const double noise_fraction =
        static_cast<double>(std::max(rows, unknowns)) * linear_rank_epsilon;
    const double bound = condition_bound(design, rows, unknowns);
    if (bound <= linear_condition_limit && bound * noise_fraction < 1.0) {
        out.rank = unknowns;
        out.condition = bound;
        out.status = LinearStatus::solved;
        return;
    }
    double factor[qr_stride * qr_stride];
    double sv[max_linear_unknowns];
    triangular_factor_rows(design, rows, unknowns, factor);
    singular_values(factor, unknowns, sv);
    double largest = 0.0, smallest = sv[0];
    for (int k = 0; k < unknowns; ++k) {
        largest = std::max(largest, sv[k]);
        smallest = std::min(smallest, sv[k]);
    }
    const double noise = largest * noise_fraction;
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
double values_and_cost(const LinearProblem& problem, const double* terms, const double* x,
                       double offset, double* values)
{
    double sum = 0.0;
    const auto rows = static_cast<size_t>(problem.count);
    for (size_t i = 0; i < rows; ++i) {
        const double* term = terms + tensor_unknowns * i;
        double tensor = 0.0;
        for (int c = 0; c < tensor_unknowns; ++c) {
            tensor += x[c] * term[c];
        }
        const double scale = problem.scale != nullptr ? problem.scale[i] : 1.0;
        values[i] = scale * tensor + offset;
        const double weight = problem.sigma != nullptr ? 1.0 / problem.sigma[i] : 1.0;
        const double residual = (problem.observed[i] - values[i]) * weight;
        sum += residual * residual;
    }
    return sum / static_cast<double>(problem.count);
}

// From the tensor columns on: the weighted design in `design` (count rows
// of qr_stride), its QR, the rank and condition, and the optimum.
LinearSolution solve_from_terms(const LinearProblem& problem, const double* terms,
                                double* design, double* values, const LinearStop& asked)
{
    LinearSolution out = {};
    const int rows = problem.count;
    const int unknowns = unknowns_of(problem.offset);
    out.unknowns = unknowns;
    auto stopped = [&asked, &out] {
        if (asked.requested == nullptr || !asked.requested(asked.context)) {
            return false;
        }
        out.status = LinearStatus::stopped;
        return true;
    };
    fill_design(problem, unknowns, terms, design);
    if (stopped()) {
        return out;
    }
    if (!householder_qr(design, rows, unknowns, asked) || stopped()) {
        out.status = LinearStatus::stopped;
        return out;
    }
    classify(design, rows, unknowns, out);
    if (out.status != LinearStatus::solved) {
        return out;
    }
    double x[max_linear_unknowns];
    back_substitute(design, unknowns, x);
    store_order_matrix(x, out.order_matrix);
    out.offset = problem.offset ? x[tensor_unknowns] : 0.0;
    out.cost = values_and_cost(problem, terms, x, out.offset, values);
    params_from_order_matrix(out.order_matrix, out.params, out.axes);
    out.params[5] = out.offset;
    return out;
}

// A short problem is never asked: the stack asks between problems.
LinearStop asked_of(const LinearProblem& problem, const LinearStop& stop)
{
    return problem.count >= linear_stop_rows ? stop : LinearStop{};
}

}  // namespace

// The tensor columns of each row's unit vector u = v / |v|, five a row:
// u^T A u = Axx (x^2 - z^2) + Ayy (y^2 - z^2) + Axy 2xy + Axz 2xz + Ayz 2yz
// (A is traceless), each a product of two components over |v|^2, so no
// square root is needed.
void linear_terms(const double* vectors, int count, double* terms)
{
    const auto rows = static_cast<size_t>(count);
    for (size_t i = 0; i < rows; ++i) {
        const double* v = vectors + 3 * i;
        const double x = v[0], y = v[1], z = v[2];
        const double inverse = 1.0 / (x * x + y * y + z * z);
        double* term = terms + tensor_unknowns * i;
        term[0] = (x * x - z * z) * inverse;
        term[1] = (y * y - z * z) * inverse;
        term[2] = 2.0 * x * y * inverse;
        term[3] = 2.0 * x * z * inverse;
        term[4] = 2.0 * y * z * inverse;
    }
}

size_t linear_work_size(int count)
{
    const auto rows = static_cast<size_t>(count);
    return rows * static_cast<size_t>(qr_stride + tensor_unknowns);
}

LinearSolution solve_linear(const LinearProblem& problem, double* work, double* values,
                            const LinearStop& stop)
{
    const LinearStop asked = asked_of(problem, stop);
    double* design = work;
    double* terms = work + static_cast<size_t>(problem.count) * qr_stride;
    linear_terms(problem.vectors, problem.count, terms);
    if (asked.requested != nullptr && asked.requested(asked.context)) {
        LinearSolution out = {};
        out.unknowns = unknowns_of(problem.offset);
        out.status = LinearStatus::stopped;
        return out;
    }
    return solve_from_terms(problem, terms, design, values, asked);
}

LinearSolution solve_linear_terms(const LinearProblem& problem, const double* terms,
                                  double* work, double* values, const LinearStop& stop)
{
    return solve_from_terms(problem, terms, work, values, asked_of(problem, stop));
}
