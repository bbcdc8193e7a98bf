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

#endif
