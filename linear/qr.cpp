// Householder QR of a tall weighted design and the triangular solve after
// it. Orthogonal reflections keep the solve's error proportional to the
// design's condition number, where normal equations would square it; every
// sum runs down its column in row order, so the bits never depend on where
// the code runs.
#include <cmath>
#include <cstddef>

#include "linear/linear.h"

namespace {

// Column c of a column-major matrix with `rows` rows.
double* column(double* matrix, int rows, int c)
{
    return matrix + static_cast<size_t>(rows) * static_cast<size_t>(c);
}
const double* column(const double* matrix, int rows, int c)
{
    return matrix + static_cast<size_t>(rows) * static_cast<size_t>(c);
}

// Applies the reflection I - 2 v v^T / (v^T v) to target[j..rows-1], where
// v is (head, tail[j+1..rows-1]).
void reflect(double head, const double* tail, double vtv, int j, int rows, double* target)
{
    double dot = head * target[j];
    for (int i = j + 1; i < rows; ++i) {
        dot += tail[i] * target[i];
    }
    const double factor = 2.0 * dot / vtv;
    target[j] -= factor * head;
    for (int i = j + 1; i < rows; ++i) {
        target[i] -= factor * tail[i];
    }
}

}  // namespace

void householder_qr(double* matrix, int rows, int columns, double* rhs)
{
    for (int j = 0; j < columns && j < rows; ++j) {
        double* col = column(matrix, rows, j);
        double below = 0.0;
        for (int i = j + 1; i < rows; ++i) {
            below += col[i] * col[i];
        }
        if (below == 0.0) {
            continue;  // already triangular in this column
        }
        const double diagonal = col[j];
        const double norm = std::sqrt(diagonal * diagonal + below);
        // The reflection's target takes the sign opposite to the diagonal,
        // so that head = diagonal - alpha adds magnitudes and never cancels.
        const double alpha = diagonal >= 0.0 ? -norm : norm;
        const double head = diagonal - alpha;
        const double vtv = head * head + below;
        for (int c = j + 1; c < columns; ++c) {
            reflect(head, col, vtv, j, rows, column(matrix, rows, c));
        }
        reflect(head, col, vtv, j, rows, rhs);
        col[j] = alpha;
        for (int i = j + 1; i < rows; ++i) {
            col[i] = 0.0;
        }
    }
}

void back_substitute(const double* matrix, int rows, int columns, const double* y, double* x)
{
    for (int k = columns - 1; k >= 0; --k) {
        double sum = y[k];
        for (int c = k + 1; c < columns; ++c) {
            sum -= column(matrix, rows, c)[k] * x[c];
        }
        x[k] = sum / column(matrix, rows, k)[k];
    }
}
