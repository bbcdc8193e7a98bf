// Householder QR of a tall weighted design and the triangular solve after
// it. Orthogonal reflections keep the solve's error proportional to the
// design's condition number, where normal equations would square it.
//
// Each row holds qr_stride values (the unknowns' columns, the right-hand
// side, zeros), so that neighbouring columns sit side by side in vector
// registers. Every sum down a column is split in two fixed chains, the
// rows j+1, j+3, ... and the rows j+2, j+4, ..., added together at the
// end: a fixed order (the same bits everywhere) whose two halves the
// processor can overlap.
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

// Squares of column c below row c, in the two chains.
double squares_below(const double* matrix, int rows, int c)
{
    double first = 0.0, second = 0.0;
    int i = c + 1;
    for (; i + 1 < rows; i += 2) {
        const double x = row_of(matrix, i)[c], y = row_of(matrix, i + 1)[c];
        first += x * x;
        second += y * y;
    }
    if (i < rows) {
        const double x = row_of(matrix, i)[c];
        first += x * x;
    }
    return first + second;
}

// Applies the reflection I - 2 v v^T / (v^T v), with v = (head, column j
// below row j), to the columns from the pair holding j up to the
// right-hand side (those before are already zero from row j down: their
// factor would be exactly zero), and returns the squares of column j+1
// below its diagonal. Column j itself comes out meaningless: the caller
// writes its reduced form.
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

// Pairs first..last-1, unrolled so that every chain lives in a register.
template <int first, int last>
double reflect_pairs(double* matrix, int rows, int j, double head, double vtv)
{
    Pair a[last], b[last], factors[last];
    const Pair zero = {0.0, 0.0};
    const double* pivot = row_of(matrix, j);
#pragma GCC unroll 4
    for (int k = first; k < last; ++k) {
        a[k] = head * load_pair(pivot + 2 * k);
        b[k] = zero;
    }
    int i = j + 1;
    for (; i + 1 < rows; i += 2) {
        const double* row = row_of(matrix, i);
        const double* below = row_of(matrix, i + 1);
        const double v = row[j], w = below[j];
#pragma GCC unroll 4
        for (int k = first; k < last; ++k) {
            a[k] += v * load_pair(row + 2 * k);
            b[k] += w * load_pair(below + 2 * k);
        }
    }
    if (i < rows) {
        const double* row = row_of(matrix, i);
        const double v = row[j];
#pragma GCC unroll 4
        for (int k = first; k < last; ++k) {
            a[k] += v * load_pair(row + 2 * k);
        }
    }
    double* top = row_of(matrix, j);
#pragma GCC unroll 4
    for (int k = first; k < last; ++k) {
        factors[k] = 2.0 * (a[k] + b[k]) / vtv;
        store_pair(top + 2 * k, load_pair(top + 2 * k) - factors[k] * head);
    }
    const int next = j + 1;
    double first_half = 0.0, second_half = 0.0;
    for (i = j + 1; i < rows; ++i) {
        double* row = row_of(matrix, i);
        const double v = row[j];
#pragma GCC unroll 4
        for (int k = first; k < last; ++k) {
            store_pair(row + 2 * k, load_pair(row + 2 * k) - factors[k] * v);
        }
        if (i > next) {
            const double x = row[next];
            if ((i - next) % 2 == 1) {
                first_half += x * x;
            } else {
                second_half += x * x;
            }
        }
    }
    return first_half + second_half;
}

template <int last>
double reflect_to(double* matrix, int rows, int j, double head, double vtv)
{
    switch (j / 2) {
    case 0:
        return reflect_pairs<0, last>(matrix, rows, j, head, vtv);
    case 1:
        return reflect_pairs<1, last>(matrix, rows, j, head, vtv);
    case 2:
        return reflect_pairs<2, last>(matrix, rows, j, head, vtv);
    default:
        return reflect_pairs<3, last>(matrix, rows, j, head, vtv);
    }
}

double reflect(double* matrix, int rows, int unknowns, int j, double head, double vtv)
{
    static_assert(qr_stride == 8, "four pairs of columns a row");
    // The pairs up to the one holding the right-hand side, column unknowns.
    switch (unknowns / 2) {
    case 0:
        return reflect_to<1>(matrix, rows, j, head, vtv);
    case 1:
        return reflect_to<2>(matrix, rows, j, head, vtv);
    case 2:
        return reflect_to<3>(matrix, rows, j, head, vtv);
    default:
        return reflect_to<4>(matrix, rows, j, head, vtv);
    }
}
#else
double reflect(double* matrix, int rows, int unknowns, int j, double head, double vtv)
{
    double a[qr_stride], b[qr_stride], factors[qr_stride];
    const int from = j - j % 2, to = unknowns - unknowns % 2 + 2;
    const double* pivot = row_of(matrix, j);
    for (int t = from; t < to; ++t) {
        a[t] = head * pivot[t];
        b[t] = 0.0;
    }
    int i = j + 1;
    for (; i + 1 < rows; i += 2) {
        const double* row = row_of(matrix, i);
        const double* below = row_of(matrix, i + 1);
        for (int t = from; t < to; ++t) {
            a[t] += row[j] * row[t];
            b[t] += below[j] * below[t];
        }
    }
    if (i < rows) {
        const double* row = row_of(matrix, i);
        for (int t = from; t < to; ++t) {
            a[t] += row[j] * row[t];
        }
    }
    double* top = row_of(matrix, j);
    for (int t = from; t < to; ++t) {
        factors[t] = 2.0 * (a[t] + b[t]) / vtv;
        top[t] -= factors[t] * head;
    }
    const int next = j + 1;
    double first_half = 0.0, second_half = 0.0;
    for (i = j + 1; i < rows; ++i) {
        double* row = row_of(matrix, i);
        const double v = row[j];
        for (int t = from; t < to; ++t) {
            row[t] -= factors[t] * v;
        }
        if (i > next) {
            const double x = row[next];
            if ((i - next) % 2 == 1) {
                first_half += x * x;
            } else {
                second_half += x * x;
            }
        }
    }
    return first_half + second_half;
}
#endif

}  // namespace

bool householder_qr(double* matrix, int rows, int unknowns, const LinearStop& stop)
{
    double below = unknowns > 0 ? squares_below(matrix, rows, 0) : 0.0;
    for (int j = 0; j < unknowns && j < rows; ++j) {
        if (j > 0 && stop.requested != nullptr && stop.requested(stop.context)) {
            return false;
        }
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
        below = reflect(matrix, rows, unknowns, j, head, vtv);
        top[j] = alpha;
        for (int i = j + 1; i < rows; ++i) {
            row_of(matrix, i)[j] = 0.0;
        }
    }
    return true;
}

void back_substitute(const double* matrix, int unknowns, double* x)
{
    for (int k = unknowns - 1; k >= 0; --k) {
        const double* row = row_of(matrix, k);
        double sum = row[unknowns];
        for (int c = k + 1; c < unknowns; ++c) {
            sum -= row[c] * x[c];
        }
        x[k] = sum / row[k];
    }
}
