// The module's six parameters of an order matrix: principal values in
// canonical order, Da and R, and the z-x-z angles of the principal frame.
// The angles are the one place that needs atan2; the matrix, the values and
// the cost never depend on them.
#include <cmath>

#include "fit/fit.h"
#include "linear/linear.h"

namespace {

const double pi = std::acos(-1.0);
const double two_pi = 2.0 * pi;
constexpr double canonical_r_limit = 2.0 / 3.0;

struct Principal {
    double value[3];       // Axx, Ayy, Azz with |Axx| <= |Ayy| <= |Azz|
    double axes[3][3];     // rows: the x, y, z axes (a proper rotation M)
};

// Eigenvalues sorted by magnitude, ties kept in the solver's order, with
// their eigenvectors as rows.
Principal principal_frame(const double (&matrix)[3][3])
{
    double values[3], vectors[3][3];
    symmetric_eigen3(matrix, values, vectors);
    int order[3] = {0, 1, 2};
    for (int i = 1; i < 3; ++i) {  // insertion sort: stable
        for (int j = i; j > 0 && std::fabs(values[order[j]]) < std::fabs(values[order[j - 1]]);
             --j) {
            const int swap = order[j];
            order[j] = order[j - 1];
            order[j - 1] = swap;
        }
    }
    Principal out;
    for (int k = 0; k < 3; ++k) {
        out.value[k] = values[order[k]];
        for (int c = 0; c < 3; ++c) {
            out.axes[k][c] = vectors[c][order[k]];
        }
    }
    return out;
}

double determinant(const double (&m)[3][3])
{
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

void negate_row(double (&m)[3][3], int row)
{
    for (int c = 0; c < 3; ++c) {
        m[row][c] = -m[row][c];
    }
}

// Flips the signs of two axes at a time (which keeps the frame proper and
// the tensor as it is) so that cos a2 = M[2][2] >= 0 and sin a3 >= 0.
void canonical_signs(double (&m)[3][3])
{
    if (determinant(m) < 0.0) {
        negate_row(m, 0);
    }
    if (m[2][2] < 0.0) {  // a2 -> pi - a2
        negate_row(m, 1);
        negate_row(m, 2);
    }
    // M[0][2] = sin a2 sin a3 and M[1][2] = sin a2 cos a3.
    if (m[0][2] < 0.0 || (m[0][2] == 0.0 && m[1][2] < 0.0)) {  // a3 -> a3 + pi
        negate_row(m, 0);
        negate_row(m, 1);
    }
}

// The z-x-z angles of M (rows: the tensor's axes in molecular coordinates):
// M[2] = (sin a1 sin a2, -cos a1 sin a2, cos a2), M[.][2] = sin a2 (sin a3,
// cos a3). +0.0 turns a negative zero into zero.
void angles_of(const double (&m)[3][3], double* angles)
{
    const double sine = std::sqrt(m[2][0] * m[2][0] + m[2][1] * m[2][1]);
    double a1, a3;
    if (sine > gimbal_sine) {
        a1 = std::atan2(m[2][0], -m[2][1]);
        a3 = std::atan2(m[0][2], m[1][2]) + 0.0;
    } else {
        a1 = std::atan2(m[0][1], m[0][0]);
        a3 = 0.0;
    }
    if (a1 < 0.0) {
        a1 += two_pi;
    }
    angles[0] = a1 < two_pi ? a1 + 0.0 : 0.0;
    angles[1] = std::atan2(sine, m[2][2]);
    angles[2] = a3;
}

}  // namespace

void params_from_order_matrix(const double (&matrix)[3][3], double* params,
                              double (&axes)[3][3])
{
    Principal frame = principal_frame(matrix);
    canonical_signs(frame.axes);
    angles_of(frame.axes, params);
    for (int k = 0; k < 3; ++k) {
        for (int c = 0; c < 3; ++c) {
            axes[k][c] = frame.axes[k][c];
        }
    }
    const double da = 0.5 * frame.value[2];
    const double dr = 0.5 * (frame.value[0] - frame.value[1]);
    double r = da != 0.0 ? r_from_dr(dr, da) : 0.0;
    // The principal values sum to zero only to rounding: keep R canonical.
    r = r < 0.0 ? 0.0 : (r > canonical_r_limit ? canonical_r_limit : r);
    params[3] = da;
    params[4] = r;
}

void params_from_order_matrix(const double (&matrix)[3][3], double* params)
{
    double axes[3][3];
    params_from_order_matrix(matrix, params, axes);
}
