// The weight of one orientation: the share of positions where the molecule
// does not cross the medium.
#include <algorithm>
#include <cmath>
#include <limits>

#include "steric/steric.h"

namespace {

constexpr double two_pi = 6.283185307179586477;

// Two unit vectors that make a right-handed frame with the unit `axis`.
void across(const double axis[3], double e1[3], double e2[3])
{
    // Start from the coordinate axis least along `axis`, so the cross
    // product never nears zero.
    const double ax = std::fabs(axis[0]);
    const double ay = std::fabs(axis[1]);
    const double az = std::fabs(axis[2]);
    double seed[3] = {0.0, 0.0, 0.0};
    if (ax <= ay && ax <= az) {
        seed[0] = 1.0;
    } else if (ay <= az) {
        seed[1] = 1.0;
    } else {
        seed[2] = 1.0;
    }
    e1[0] = axis[1] * seed[2] - axis[2] * seed[1];
    e1[1] = axis[2] * seed[0] - axis[0] * seed[2];
    e1[2] = axis[0] * seed[1] - axis[1] * seed[0];
    const double length = std::sqrt(e1[0] * e1[0] + e1[1] * e1[1] + e1[2] * e1[2]);
    for (int c = 0; c < 3; ++c) {
        e1[c] /= length;
    }
    e2[0] = axis[1] * e1[2] - axis[2] * e1[1];
    e2[1] = axis[2] * e1[0] - axis[0] * e1[2];
    e2[2] = axis[0] * e1[1] - axis[1] * e1[0];
}

double dot(const StericAtoms& atoms, std::size_t i, const double v[3])
{
    return atoms.x[i] * v[0] + atoms.y[i] * v[1] + atoms.z[i] * v[2];
}

}  // namespace

void wall_span(const StericAtoms& atoms, const double normal[3], double* bottom, double* top)
{
    double high = -std::numeric_limits<double>::infinity();
    double low = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < atoms.count; ++i) {
        const double h = dot(atoms, i, normal);
        high = std::max(high, h + atoms.radius[i]);
        low = std::min(low, h - atoms.radius[i]);
    }
    *bottom = low;
    *top = high;
}

double wall_weight(const StericAtoms& atoms, const double normal[3], double spacing)
{
    double bottom = 0.0;
    double top = 0.0;
    wall_span(atoms, normal, &bottom, &top);
    const double extent = top - bottom;
    return std::max(0.0, (spacing - extent) / spacing);
}

// With the centroid at rho e from the cylinder's axis (e across the axis),
// atom i at p_i from the centroid (projected across the axis) overlaps the
// cylinder while |rho e + p_i| < R + r_i: between the roots of
// rho^2 + 2 rho (e.p_i) + |p_i|^2 - (R + r_i)^2. The larger root is how
// close the centroid may come from direction e; the excluded area is
// half the integral of its square over the directions.
void cylinder_reach(const StericAtoms& atoms, const double axis[3],
                    const StericMedium& medium, CylinderReach* reach)
{
    across(axis, reach->e1, reach->e2);
    std::fill(reach->closest, reach->closest + cylinder_azimuths, 0.0);
    const double step = two_pi / static_cast<double>(cylinder_azimuths);
    for (int k = 0; k < cylinder_azimuths; ++k) {
        const double psi = step * (static_cast<double>(k) + 0.5);
        reach->cosine[k] = std::cos(psi);
        reach->sine[k] = std::sin(psi);
    }
    for (std::size_t i = 0; i < atoms.count; ++i) {
        const double a = dot(atoms, i, reach->e1);
        const double b = dot(atoms, i, reach->e2);
        const double radius = medium.cylinder_radius + atoms.radius[i];
        const double margin = radius * radius - a * a - b * b;
        for (int k = 0; k < cylinder_azimuths; ++k) {
            const double t = a * reach->cosine[k] + b * reach->sine[k];
            const double discriminant = t * t + margin;
            if (discriminant > 0.0) {
                reach->closest[k] = std::max(reach->closest[k], std::sqrt(discriminant) - t);
            }
        }
    }
}

double azimuth_step()
{
    return two_pi / static_cast<double>(cylinder_azimuths);
}

double excluded_area(const CylinderReach& reach)
{
    const double step = azimuth_step();
    double excluded = 0.0;
    for (int k = 0; k < cylinder_azimuths; ++k) {
        excluded += 0.5 * reach.closest[k] * reach.closest[k] * step;
    }
    return excluded;
}

double cylinder_weight(const StericAtoms& atoms, const double axis[3],
                       const StericMedium& medium)
{
    CylinderReach reach;
    cylinder_reach(atoms, axis, medium, &reach);
    return std::max(0.0, 1.0 - excluded_area(reach) / medium.spacing);
}
