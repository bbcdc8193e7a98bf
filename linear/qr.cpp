// Householder QR of a tall weighted design and the triangular solve after
// it. Orthogonal reflections keep the solve's error proportional to the
// design's condition number, where normal equations would square it.
//
// Each row holds qr_stride values (the unknowns' columns, zeros, the
// right-hand side, zeros), so that neighbouring columns sit side by side
// in vector registers. Each column's sums still run down its rows in
// order, one chain per column, so the bits are those of a
// column-at-a-time loop everywhere.
#include <cmath>
#include <cstddef>
#include <cstring>

#include "linear/linear.h"

namespace {

double* row_of(double* matrix, int i)
{
    return matrix + static_cast<size_t>(i) * qr_stride;
}
const double* row_of(const double* matrix, int i)
{
    return matrix + static_cast<size_t>(i) * qr_stride;
}

double squares_below(const double* matrix, int rows, int j)
{
    double below = 0.0;
    for (int i = j + 1; i < rows; ++i) {
        const double x = row_of(matrix, i)[j];
        below += x * x;
    }
    return below;
}

// Applies the reflection I - 2 v v^T / (v^T v), with v = (head, column j
// below row j), to the columns from `first` on (those before are already
// zero from row j down: their factor would be exactly zero), and returns
// the squares of column j+1 below its diagonal. Column j itself comes out
// meaningless: the caller writes its reduced form.
#if defined(__GNUC__)
// Two columns to a vector register (SSE2 on x86-64, NEON on arm64): each
// lane does what the scalar code below does, bit for bit.
typedef double Pair __attribute__((vector_size(16)));
Pair load_pair(const double* at)
{
    Pair pair;
    std::memcpy(&pair, at, sizeof pair);
    return pair;
}
void store_pair(double* at, Pair pair)
{
    std::memcpy(at, &pair, sizeof pair);
}

// The columns of pairs first_pair..3, each pair's sums in a register of
// its own (an array indexed in a loop would keep them in memory).
template <int first_pair>
double reflect_pairs(double* matrix, int rows, int j, double head, double vtv)
{
    static_assert(qr_stride == 8, "four pairs of columns a row");
    const Pair zero = {0.0, 0.0};
    Pair d0 = zero, d1 = zero, d2 = zero, d3 = zero;
    const double* pivot = row_of(matrix, j);
    if constexpr (first_pair <= 0) d0 = head * load_pair(pivot);
    if constexpr (first_pair <= 1) d1 = head * load_pair(pivot + 2);
    if constexpr (first_pair <= 2) d2 = head * load_pair(pivot + 4);
    d3 = head * load_pair(pivot + 6);
    for (int i = j + 1; i < rows; ++i) {
        const double* row = row_of(matrix, i);
        const double v = row[j];
        if constexpr (first_pair <= 0) d0 += v * load_pair(row);
        if constexpr (first_pair <= 1) d1 += v * load_pair(row + 2);
        if constexpr (first_pair <= 2) d2 += v * load_pair(row + 4);
        d3 += v * load_pair(row + 6);
    }
    const Pair f0 = 2.0 * d0 / vtv, f1 = 2.0 * d1 / vtv, f2 = 2.0 * d2 / vtv,
               f3 = 2.0 * d3 / vtv;
    double* top = row_of(matrix, j);
    if constexpr (first_pair <= 0) store_pair(top, load_pair(top) - f0 * head);
    if constexpr (first_pair <= 1) store_pair(top + 2, load_pair(top + 2) - f1 * head);
    if constexpr (first_pair <= 2) store_pair(top + 4, load_pair(top + 4) - f2 * head);
    store_pair(top + 6, load_pair(top + 6) - f3 * head);
    const int next = j + 1;
    double next_below = 0.0;
    for (int i = j + 1; i < rows; ++i) {
        double* row = row_of(matrix, i);
        const double v = row[j];
        if constexpr (first_pair <= 0) store_pair(row, load_pair(row) - f0 * v);
        if constexpr (first_pair <= 1) store_pair(row + 2, load_pair(row + 2) - f1 * v);
        if constexpr (first_pair <= 2) store_pair(row + 4, load_pair(row + 4) - f2 * v);
        store_pair(row + 6, load_pair(row + 6) - f3 * v);
        if (i > next) {
            next_below += row[next] * row[next];
        }
    }
    return next_below;
}

double reflect(double* matrix, int rows, int j, double head, double vtv)
{
    switch (j / 2) {
    case 0:
        return reflect_pairs<0>(matrix, rows, j, head, vtv);
    case 1:
        return reflect_pairs<1>(matrix, rows, j, head, vtv);
    default:
        return reflect_pairs<2>(matrix, rows, j, head, vtv);
    }
}
#else
double reflect(double* matrix, int rows, int j, double head, double vtv)
{
    double dots[qr_stride];
    const double* pivot = row_of(matrix, j);
    for (int t = j; t < qr_stride; ++t) {
        dots[t] = head * pivot[t];
    }
    for (int i = j + 1; i < rows; ++i) {
        const double* row = row_of(matrix, i);
        const double v = row[j];
        for (int t = j; t < qr_stride; ++t) {
            dots[t] += v * row[t];
        }
    }
    double factors[qr_stride];
    double* top = row_of(matrix, j);
    for (int t = j; t < qr_stride; ++t) {
        factors[t] = 2.0 * dots[t] / vtv;
        top[t] -= factors[t] * head;
    }
    const int next = j + 1;
    double next_below = 0.0;
    for (int i = j + 1; i < rows; ++i) {
        double* row = row_of(matrix, i);
        const double v = row[j];
        for (int t = j; t < qr_stride; ++t) {
            row[t] -= factors[t] * v;
        }
        if (i > next) {
            next_below += row[next] * row[next];
        }
    }
    return next_below;
}
#endif

}  // namespace

void householder_qr(double* matrix, int rows, int unknowns)
{
    double below = unknowns > 0 ? squares_below(matrix, rows, 0) : 0.0;
    for (int j = 0; j < unknowns && j < rows; ++j) {
        double* top = row_of(matrix, j);
        if (below == 0.0) {
            // Already triangular in this column: on to the next one's squares.
            below = squares_below(matrix, rows, j + 1);
            continue;
        }
        const double diagonal = top[j];
        const double norm = std::sqrt(diagonal * diagonal + below);
        // The reflection's target takes the sign opposite to the diagonal,
        // so that head = diagonal - alpha adds magnitudes and never cancels.
        const double alpha = diagonal >= 0.0 ? -norm : norm;
        const double head = diagonal - alpha;
        const double vtv = head * head + below;
        below = reflect(matrix, rows, j, head, vtv);
        top[j] = alpha;
        for (int i = j + 1; i < rows; ++i) {
            row_of(matrix, i)[j] = 0.0;
        }
    }
}

void back_substitute(const double* matrix, int unknowns, double* x)
{
    for (int k = unknowns - 1; k >= 0; --k) {
        const double* row = row_of(matrix, k);
        double sum = row[qr_rhs_column];
        for (int c = k + 1; c < unknowns; ++c) {
            sum -= row[c] * x[c];
        }
        x[k] = sum / row[k];
    }
}
