// The weight of one orientation in a charged medium: each allowed position
// counted by the Boltzmann factor of the molecule's charges in the surface's
// potential. Only the difference from the uncharged count is integrated
// (exp(-U) - 1, which vanishes far from the surface), so the steric share is
// kept exactly and the quadrature carries only the correction.
#include <algorithm>
#include <cmath>

#include "steric/steric.h"

namespace {

// Gauss-Legendre nodes and weights on [-1, 1].
constexpr double legendre_nodes[wall_nodes] = {
    -0.9602898564975362, -0.7966664774136267, -0.525532409916329, -0.18343464249564978,
    0.18343464249564978, 0.525532409916329,   0.7966664774136267, 0.9602898564975362};
constexpr double legendre_weights[wall_nodes] = {
    0.10122853629037706, 0.22238103445337443, 0.3137066458778869,  0.36268378337836166,
    0.36268378337836166, 0.3137066458778869,  0.22238103445337443, 0.10122853629037706};
// Gauss-Laguerre nodes, and their weights times e^x: the integrand is taken
// whole, not divided by the e^-x it decays like.
constexpr double laguerre_nodes[cylinder_nodes] = {
    0.17027963230510093, 0.90370177679938,   2.251086629866131,  4.266700170287659,
    7.0459054023934655,  10.758516010180996, 15.740678641278004, 22.863131736889265};
constexpr double laguerre_scaled_weights[cylinder_nodes] = {
    0.43772341049290825, 1.033869347665602, 1.6697097656587836, 2.3769247017586097,
    3.2085409133479383,  4.2685755108251,   5.818083368671945,  8.906226215292264};
// Charges of equal value share one logarithm of their multiplied ratios; a
// product is logged early once it strays this far from one, long before a
// double overflows or underflows (each factor lies between 0 and 2).
constexpr double product_limit = 1.0e100;

// Below this, exp(-x) and its reciprocal are both normal doubles.
constexpr double max_exponent = 600.0;

double dot(const StericCharges& charges, std::size_t i, const double v[3])
{
    return charges.x[i] * v[0] + charges.y[i] * v[1] + charges.z[i] * v[2];
}

// The energy (kT) of the charges at each of N positions: sum over the
// charges of q 2 ln((1 + g) / (1 - g)), g = gamma exp(-kappa s). Over a run
// of equal charges the numerators and denominators are multiplied apart and
// logged once, at the run's end, or early where a product strays too far
// from one.
template <int N>
struct Energies {
    double energy[N];
    double above[N];
    double below[N];
    Energies()
    {
        std::fill(energy, energy + N, 0.0);
        std::fill(above, above + N, 1.0);
        std::fill(below, below + N, 1.0);
    }
    void add(int k, double g)
    {
        above[k] *= 1.0 + g;
        below[k] *= 1.0 - g;
    }
    bool strayed(int k) const
    {
        return above[k] > product_limit || below[k] > product_limit ||
               above[k] < 1.0 / product_limit || below[k] < 1.0 / product_limit;
    }
    // After charge i. Where every charge's |g| is largest at node `extreme`
    // (|ln(1 +- g)| grows with |g|), its products stray furthest from one,
    // and only they are watched; -1 watches every node. When one strays too
    // far, every node is logged early.
    void settle(const StericCharges& charges, std::size_t i, int extreme)
    {
        const double q = charges.charge[i];
        bool log_now = i + 1 == charges.count || charges.charge[i + 1] != q;
        for (int k = extreme < 0 ? 0 : extreme; !log_now && k < N; ++k) {
            log_now = strayed(k);
            if (extreme >= 0) {
                break;
            }
        }
        if (!log_now) {
            return;
        }
        for (int k = 0; k < N; ++k) {
            energy[k] += 2.0 * q * std::log(above[k] / below[k]);
            above[k] = 1.0;
            below[k] = 1.0;
        }
    }
};

}  // namespace

// With t = exp(-kappa u) for the distance u of the molecule from its
// contact with a wall, a charge d from the wall at contact has
// exp(-kappa s) = t exp(-kappa d), and the integral over u is
// (1/kappa) times that of (exp(-U(t)) - 1) / t over t in [0, 1]: smooth,
// since U vanishes like t.
double charged_wall_weight(const StericAtoms& atoms, const StericCharges& charges,
                           const Screening& screen, const double normal[3], double spacing)
{
    double bottom = 0.0;
    double top = 0.0;
    wall_span(atoms, normal, &bottom, &top);
    const double gap = spacing - (top - bottom);
    if (!(gap > 0.0)) {
        return 0.0;
    }
    double t[wall_nodes];
    for (int k = 0; k < wall_nodes; ++k) {
        t[k] = 0.5 * (1.0 + legendre_nodes[k]);
    }
    // exp(-kappa (top - h)) = exp(-kappa extent) / exp(-kappa (h - bottom)):
    // one exponential a charge, where the span cannot underflow.
    const double reach = screen.kappa * (top - bottom);
    const bool one_exponential = reach < max_exponent;
    const double span = std::exp(-reach);
    Energies<wall_nodes> low;
    Energies<wall_nodes> high;
    for (std::size_t i = 0; i < charges.count; ++i) {
        const double h = dot(charges, i, normal);
        const double from_low = std::exp(-screen.kappa * (h - bottom));
        const double from_high =
            one_exponential ? span / from_low : std::exp(-screen.kappa * (top - h));
        const double g_low = screen.gamma * from_low;
        const double g_high = screen.gamma * from_high;
        for (int k = 0; k < wall_nodes; ++k) {
            low.add(k, g_low * t[k]);
            high.add(k, g_high * t[k]);
        }
        low.settle(charges, i, wall_nodes - 1);
        high.settle(charges, i, wall_nodes - 1);
    }
    double gained = 0.0;
    for (int k = 0; k < wall_nodes; ++k) {
        const double change = std::expm1(-low.energy[k]) + std::expm1(-high.energy[k]);
        gained += 0.5 * legendre_weights[k] * change / t[k];
    }
    return std::max(0.0, (gap + gained / screen.kappa) / spacing);
}

// From direction k around the axis the centroid stands at rho >= closest[k];
// a charge at (a, b) across the axis from it is at
// sqrt(rho^2 + 2 rho (a cos + b sin) + a^2 + b^2) from the axis. The area
// integral of exp(-U) - 1 over rho from closest[k] is taken in
// x = kappa (rho - closest[k]) by Gauss-Laguerre.
double charged_cylinder_weight(const StericAtoms& atoms, const StericCharges& charges,
                               const Screening& screen, const double axis[3],
                               const StericMedium& medium)
{
    CylinderReach reach;
    cylinder_reach(atoms, axis, medium, &reach);
    const double excluded = excluded_area(reach);
    const double step = azimuth_step();
    double gained = 0.0;
    for (int k = 0; k < cylinder_azimuths; ++k) {
        double rho[cylinder_nodes];
        for (int j = 0; j < cylinder_nodes; ++j) {
            rho[j] = reach.closest[k] + laguerre_nodes[j] / screen.kappa;
        }
        Energies<cylinder_nodes> near;
        for (std::size_t i = 0; i < charges.count; ++i) {
            const double a = dot(charges, i, reach.e1);
            const double b = dot(charges, i, reach.e2);
            const double along = a * reach.cosine[k] + b * reach.sine[k];
            const double square = a * a + b * b;
            for (int j = 0; j < cylinder_nodes; ++j) {
                const double from_axis =
                    std::sqrt(rho[j] * rho[j] + 2.0 * rho[j] * along + square);
                const double surface = from_axis - medium.cylinder_radius;
                near.add(j, screen.gamma * std::exp(-screen.kappa * surface));
            }
            // A charge beyond the axis from the centroid may come nearer the
            // surface as the centroid moves out: no node is surely extreme.
            near.settle(charges, i, -1);
        }
        double sum = 0.0;
        for (int j = 0; j < cylinder_nodes; ++j) {
            sum += laguerre_scaled_weights[j] * rho[j] * std::expm1(-near.energy[j]);
        }
        gained += sum / screen.kappa * step;
    }
    return std::max(0.0, 1.0 - (excluded - gained) / medium.spacing);
}
