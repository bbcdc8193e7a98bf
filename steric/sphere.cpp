// Where the orientations come from, and the molecule's own origin.
#include <cmath>

#include "steric/steric.h"

namespace {

// pi (3 - sqrt 5): successive points turn by this much about z, so that no
// two lie near one meridian and the bands fill evenly.
constexpr double golden_angle = 2.3999632297286533222;

}  // namespace

void sphere_point(std::size_t k, std::size_t n, double out[3])
{
    const double count = static_cast<double>(n);
    const double index = static_cast<double>(k);
    const double z = 1.0 - (2.0 * index + 1.0) / count;
    const double ring = std::sqrt(1.0 - z * z);
    const double phi = golden_angle * index;
    out[0] = ring * std::cos(phi);
    out[1] = ring * std::sin(phi);
    out[2] = z;
}

void centred(const StericAtoms& atoms, double* x, double* y, double* z)
{
    double sx = 0.0;
    double sy = 0.0;
    double sz = 0.0;
    for (std::size_t i = 0; i < atoms.count; ++i) {
        sx += atoms.x[i];
        sy += atoms.y[i];
        sz += atoms.z[i];
    }
    const double count = static_cast<double>(atoms.count);
    const double cx = sx / count;
    const double cy = sy / count;
    const double cz = sz / count;
    for (std::size_t i = 0; i < atoms.count; ++i) {
        x[i] = atoms.x[i] - cx;
        y[i] = atoms.y[i] - cy;
        z[i] = atoms.z[i] - cz;
    }
}
