// Jacobi rotations: the singular values of the small triangular factor (for
// the rank and the condition number) and the eigen-decomposition of the 3x3
// order matrix. Both sweep their pairs in a fixed order and take no library
// call but sqrt, so they give the same bits everywhere.
#include <cmath>
#include <cstddef>

#include "linear/linear.h"

namespace {

// An off-diagonal element at most this fraction of its two diagonal
// elements' magnitudes moves the eigenvalues by less than a double's
// rounding: it is set to zero instead of rotated away.
constexpr double jacobi_negligible = 0x1p-64;

// Columns whose cosine is below this count as orthogonal. The rank and
// the condition number need the singular values to a few digits only; and
// the column norms are off by at most about this fraction of themselves.
constexpr double singular_cosine_limit = 1e-8;

// Beyond this ratio the square of the rotation's cotangent would overflow;
// the tangent is then 1 / (2 ratio) to within rounding.
constexpr double jacobi_large_ratio = 1e150;

// The tangent of the rotation angle that zeroes the off-diagonal element,
// the smaller of the two roots of t^2 + 2 ratio t - 1 = 0.
double rotation_tangent(double ratio)
{
    const double size = std::fabs(ratio);
    if (size > jacobi_large_ratio) {
        return 0.5 / ratio;
    }
    const double t = 1.0 / (size + std::sqrt(size * size + 1.0));
    return ratio < 0.0 ? -t : t;
}

struct Turn {
    double c, s;
};
Turn turn_of(double t)
{
    const double c = 1.0 / std::sqrt(t * t + 1.0);
    return {c, t * c};
}

double squares(const double* a, int count)
{
    double sum = 0.0;
    for (int i = 0; i < count; ++i) {
        sum += a[i] * a[i];
    }
    return sum;
}

// Turns columns p and q (of qr_stride values, zeros beyond the matrix's
// order, which stay zero and add nothing) to make them orthogonal; false
// when they already are, to working precision.
bool orthogonalise(double* p, double* q)
{
    constexpr int order = qr_stride;
    // Three sums, each in index order, in one pass.
    double alpha = 0.0, beta = 0.0, gamma = 0.0;
    for (int i = 0; i < order; ++i) {
        alpha += p[i] * p[i];
        beta += q[i] * q[i];
        gamma += p[i] * q[i];
    }
    if (gamma == 0.0 || std::fabs(gamma) <= singular_cosine_limit * std::sqrt(alpha) * std::sqrt(beta)) {
        return false;
    }
    const Turn turn = turn_of(rotation_tangent((beta - alpha) / (2.0 * gamma)));
    for (int i = 0; i < order; ++i) {
        const double x = p[i], y = q[i];
        p[i] = turn.c * x - turn.s * y;
        q[i] = turn.s * x + turn.c * y;
    }
    return true;
}

// One rotation of the symmetric a in the (p, q) plane, zeroing a[p][q],
// accumulated into the eigenvector columns v.
void rotate_pair(double (&a)[3][3], double (&v)[3][3], int p, int q)
{
    const double apq = a[p][q];
    const double t = rotation_tangent((a[q][q] - a[p][p]) / (2.0 * apq));
    const Turn turn = turn_of(t);
    a[p][p] -= t * apq;
    a[q][q] += t * apq;
    a[p][q] = 0.0;
    a[q][p] = 0.0;
    const int r = 3 - p - q;  // the third index
    const double arp = a[r][p], arq = a[r][q];
    a[r][p] = turn.c * arp - turn.s * arq;
    a[p][r] = a[r][p];
    a[r][q] = turn.s * arp + turn.c * arq;
    a[q][r] = a[r][q];
    for (int k = 0; k < 3; ++k) {
        const double vp = v[k][p], vq = v[k][q];
        v[k][p] = turn.c * vp - turn.s * vq;
        v[k][q] = turn.s * vp + turn.c * vq;
    }
}

bool diagonal(const double (&a)[3][3])
{
    return a[0][1] == 0.0 && a[0][2] == 0.0 && a[1][2] == 0.0;
}

}  // namespace

void singular_values(double* matrix, int order, double* values)
{
    bool turned = true;
    for (int sweep = 0; turned && sweep < jacobi_sweep_limit; ++sweep) {
        turned = false;
        for (int p = 0; p < order; ++p) {
            for (int q = p + 1; q < order; ++q) {
                turned |= orthogonalise(matrix + qr_stride * p, matrix + qr_stride * q);
            }
        }
    }
    for (int k = 0; k < order; ++k) {
        values[k] = std::sqrt(squares(matrix + qr_stride * k, qr_stride));
    }
}

void symmetric_eigen3(const double (&matrix)[3][3], double (&values)[3],
                      double (&vectors)[3][3])
{
    double a[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            a[i][j] = matrix[i][j];
            vectors[i][j] = i == j ? 1.0 : 0.0;
        }
    }
    static const int pairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    for (int sweep = 0; sweep < jacobi_sweep_limit && !diagonal(a); ++sweep) {
        for (const auto& pair : pairs) {
            const int p = pair[0], q = pair[1];
            if (a[p][q] == 0.0) {
                continue;
            }
            if (std::fabs(a[p][q]) <=
                jacobi_negligible * (std::fabs(a[p][p]) + std::fabs(a[q][q]))) {
                a[p][q] = 0.0;
                a[q][p] = 0.0;
                continue;
            }
            rotate_pair(a, vectors, p, q);
        }
    }
    for (int k = 0; k < 3; ++k) {
        values[k] = a[k][k];
    }
}
