// The orientation model: rotate a vector into the tensor frame and evaluate
// Da (3 cos^2 theta - 1) + Dr sin^2 theta cos 2 phi + offset.
#include <cmath>
#include <limits>

#include "fit/fit.h"

Rotation rotation_from_angles(sfloat a1, sfloat a2, sfloat a3)
{
    // The angles are stored floats; their sines and cosines, and so every
    // coefficient, are double.
    const double c1 = std::cos(a1), s1 = std::sin(a1);
    const double c2 = std::cos(a2), s2 = std::sin(a2);
    const double c3 = std::cos(a3), s3 = std::sin(a3);
    Rotation rot;
    rot.m[0][0] = c1 * c3 - s1 * c2 * s3;
    rot.m[0][1] = s1 * c3 + c1 * c2 * s3;
    rot.m[0][2] = s2 * s3;
    rot.m[1][0] = -c1 * s3 - s1 * c2 * c3;
    rot.m[1][1] = c1 * c2 * c3 - s1 * s3;
    rot.m[1][2] = s2 * c3;
    rot.m[2][0] = s1 * s2;
    rot.m[2][1] = -c1 * s2;
    rot.m[2][2] = c2;
    return rot;
}

sfloat row_length(float x, float y, float z)
{
    const double xd = x, yd = y, zd = z;
    return std::sqrt(xd * xd + yd * yd + zd * zd);
}

bool row_too_short(const double* row)
{
    const float x = static_cast<float>(row[0]);
    const float y = static_cast<float>(row[1]);
    const float z = static_cast<float>(row[2]);
    // The length is at least each component's magnitude: one of normal size
    // settles it without the square root.
    if (std::fabs(x) >= shortest_row_length || std::fabs(y) >= shortest_row_length ||
        std::fabs(z) >= shortest_row_length) {
        return false;
    }
    return double(row_length(x, y, z)) < shortest_row_length;
}

void void_short_rows(const double* const* rows, int count, sfloat* values)
{
    for (int i = 0; i < count; ++i) {
        if (row_too_short(rows[i])) {
            values[i] = std::numeric_limits<double>::quiet_NaN();
        }
    }
}

sfloat model_value(const Rotation& rot, const double* row, double da, double dr,
                   double offset)
{
    const Rotated r = rotate(rot, row);
    const sfloat length = std::sqrt(r.x * r.x + r.y * r.y + r.z * r.z);
    // A vector too long for its length to be a float has no direction the
    // model can see: NaN, as for a vector of no length.
    if (!std::isfinite(double(length))) {
        return std::numeric_limits<double>::quiet_NaN();
    }

    // theta and phi stay double; sin and cos are taken of theta itself.
    // A zero-length vector gives 0/0 here, and the value is NaN.
    const double theta = std::acos(r.z / length);
    const double phi = std::atan2(r.y, r.x);
    return da * (3.0 * std::cos(theta) * std::cos(theta) - 1.0) +
           dr * std::sin(theta) * std::sin(theta) * std::cos(2.0 * phi) + offset;
}
