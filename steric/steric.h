// Alignment predicted from shape in the steric obstruction model: a
// molecule in a dilute medium of walls (bicelles) or cylinders (phage) may
// take any orientation, at any position where none of its atoms crosses the
// medium. An orientation's weight is the share of positions it allows; the
// order matrix of the medium's axis in the molecule's frame is the P2
// average over uniformly sampled orientations with those weights. Plain C++
// in double precision, every sum in a fixed order: the same bits for any
// number of threads.
#ifndef KELFIT_STERIC_H
#define KELFIT_STERIC_H

#include <chrono>
#include <cstddef>

// The atoms as runs of coordinates and radii (angstrom), count of each.
struct StericAtoms {
    const double* x;
    const double* y;
    const double* z;
    const double* radius;
    std::size_t count;
};

enum class StericShape { wall, cylinder };

// The medium. For walls, spacing is the distance between neighbouring walls
// (angstrom); for cylinders, the area (angstrom^2) of the plane across the
// cylinders that each one has to itself, and cylinder_radius their radius.
struct StericMedium {
    StericShape shape;
    double spacing;
    double cylinder_radius;
};

// What the average gives: order[i][j] = <w (3/2 n_i n_j - 1/2 delta_ij)> / <w>
// for the medium's axis n (the wall's normal, the cylinder's axis) in the
// molecule's frame, and <w>, the mean share of positions allowed.
struct StericOrder {
    double order[3][3];
    double allowed;
};

// Directions around a cylinder's axis at which the excluded area is summed.
constexpr int cylinder_azimuths = 90;
// Orientations are summed in blocks of this many; each block is one thread's
// unit of work and one term of the final, ordered sum.
constexpr std::size_t steric_block = 256;
// More threads than this would only queue for the processor's cores.
constexpr int max_steric_workers = 1024;

// Asked on the calling thread, every `interval` while the workers run,
// whether to stop (the interpreter has a pending signal, say): true ends the
// average, every worker within one orientation of the answer.
struct StericStop {
    bool (*requested)(void* context);  // null: never asked
    void* context;
    std::chrono::nanoseconds interval;
};
// Thrown by steric_order when the stop check said so, after every worker
// thread has ended.
struct StericInterrupted {};

// Point k of n on the unit sphere, spread evenly (the golden-angle spiral,
// each point at the centre of its band of equal area).
void sphere_point(std::size_t k, std::size_t n, double out[3]);

// The atoms moved so that their centroid is the origin; x, y, z are written
// into the given runs of count values.
void centred(const StericAtoms& atoms, double* x, double* y, double* z);

// The share of the gap between two walls, spacing apart, where a molecule
// with the wall normal along `normal` fits: (spacing - extent) / spacing,
// never below zero. The atoms must be centred.
double wall_weight(const StericAtoms& atoms, const double normal[3], double spacing);

// The lowest and highest reach of the atoms along `normal` (their centres'
// heights less and plus their radii).
void wall_span(const StericAtoms& atoms, const double normal[3], double* bottom, double* top);

// How close the centroid may come to a cylinder's axis from each of
// cylinder_azimuths directions around it (the atoms centred), with the two
// unit vectors across the axis those directions are taken in
// (cosine[k] e1 + sine[k] e2).
struct CylinderReach {
    double e1[3];
    double e2[3];
    double cosine[cylinder_azimuths];
    double sine[cylinder_azimuths];
    double closest[cylinder_azimuths];
};
void cylinder_reach(const StericAtoms& atoms, const double axis[3],
                    const StericMedium& medium, CylinderReach* reach);
// The angle between neighbouring directions, and the area across the axis
// the centroid cannot reach: half the integral of closest^2 over them.
double azimuth_step();
double excluded_area(const CylinderReach& reach);

// The share of a cylinder's cross-section area left to a molecule whose
// frame puts the cylinder's axis along `axis`: 1 - excluded / spacing, never
// below zero, the excluded area summed over cylinder_azimuths directions
// around the axis from the centroid (the atoms must be centred).
double cylinder_weight(const StericAtoms& atoms, const double axis[3],
                       const StericMedium& medium);

// The weighted P2 average over `orientations` sphere points on up to
// `workers` threads (at least one). Without a stop check the caller's thread
// is one of them; with one, the caller asks it while `workers` threads of
// their own do the work. The atoms need not be centred. Where no
// orientation fits, order and allowed are all zero. Stopping changes no bit
// of an average that is not stopped. Throws std::bad_alloc when memory runs
// out, StericInterrupted when stopped.
StericOrder steric_order(const StericAtoms& atoms, const StericMedium& medium,
                         std::size_t orientations, int workers,
                         const StericStop& stop = {nullptr, nullptr, {}});

// The medium's surface charge and the salt solution around it. A charged
// medium adds to each allowed position of an orientation the Boltzmann
// factor of the molecule's charges in the surface's Gouy-Chapman potential;
// the walls of a gap far wider than the Debye length act independently, and
// a cylinder's potential is taken as a plane's at the same distance from its
// surface.
struct StericField {
    double charge_density;  // e per nm^2 of the medium's surface (signed)
    double ionic_strength;  // mM of a 1:1 salt
    double temperature;     // K
    double permittivity;    // the solution's, relative to vacuum
};

// What the weights need of a field: the inverse Debye length kappa
// (1/angstrom) and gamma = tanh(y0/4) for the reduced surface potential
// y0 = e psi0 / kT (Grahame's equation).
struct Screening {
    double kappa;
    double gamma;
};

// The charged atoms, centred like the rest, in runs of `count`, sorted by
// charge so that equal charges are adjacent.
struct StericCharges {
    const double* x;
    const double* y;
    const double* z;
    const double* charge;  // e
    std::size_t count;
};

// Gauss-Legendre nodes of the integral over positions from a wall, taken in
// t = exp(-kappa s) on [0, 1], where the integrand is smooth.
constexpr int wall_nodes = 8;
// Gauss-Laguerre nodes of the integral over the distance from a cylinder,
// in x = kappa s on [0, infinity).
constexpr int cylinder_nodes = 8;

// Debye length (angstrom) and the reduced surface potential e psi0 / kT.
double debye_length(const StericField& field);
double surface_potential(const StericField& field);
Screening screening(const StericField& field);

// e psi(s) / kT at `distance` (angstrom) from the charged surface:
// 2 ln((1 + gamma e^(-kappa s)) / (1 - gamma e^(-kappa s))).
double reduced_potential(const Screening& screen, double distance);

// wall_weight with every allowed position weighted by exp(-sum q_i y(s_i)),
// s_i the distance of charge i from each wall, both walls of the same
// charge: (spacing - extent + J_low + J_high) / spacing, never below zero,
// where J = integral over the centre's distance u from the contact position
// of (exp(-U(u)) - 1).
double charged_wall_weight(const StericAtoms& atoms, const StericCharges& charges,
                           const Screening& screen, const double normal[3], double spacing);

// cylinder_weight likewise: 1 - (excluded - gained) / spacing, where gained
// sums, over the directions around the axis, the integral of
// rho (exp(-U(rho)) - 1) from the closest approach outwards.
double charged_cylinder_weight(const StericAtoms& atoms, const StericCharges& charges,
                               const Screening& screen, const double axis[3],
                               const StericMedium& medium);

// steric_order with a charged medium: `charge` holds each atom's charge (e).
// Where the density or every charge is zero this is steric_order, to the bit.
// Throws as steric_order does; a weight that is not finite (charges so
// strongly attracted that the Boltzmann factor overflows) gives a
// non-finite `allowed`, for the caller to refuse.
StericOrder charged_order(const StericAtoms& atoms, const double* charge,
                          const StericField& field, const StericMedium& medium,
                          std::size_t orientations, int workers,
                          const StericStop& stop = {nullptr, nullptr, {}});

#endif
