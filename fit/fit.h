// The orientation model, its two cost functions, the module-wide fit state
// and the steps of a fit that need no interpreter. The entry functions that
// Python calls (solve_entry.cpp, fit_entries.cpp) build on these.
#ifndef KELFIT_FIT_H
#define KELFIT_FIT_H

#include <cstddef>

#include "numkit/numkit.h"

// Everything the cost functions need besides the parameter vector: the
// minimizers hand a cost function p alone, so the data of the current call
// lives here. One instance; every entry call writes it afresh.
struct FitState {
    const double* const* rows;  // rows[i] -> x, y, z of vector i (caller's data)
    int count;                  // N, the number of vectors
    const double* observed;     // observed[i] belongs to rows[i]
    const float* narrowed;      // optional: rows' x, then y, then z, narrowed to float
                                // (3 runs of count values); null where not made
    sfloat error;               // every residual is divided by |error|
    sfloat offset;              // added to every back-calculated value
    sfloat* params;             // p[1..6]: a1, a2, a3, Da, Dr, offset
    sfloat** directions;        // 6x6 Powell direction set, direction j = column j
    int iterations;             // iteration count of the last Powell run
    sfloat best_cost;           // cost where the last Powell run ended
    sfloat cost_limit;          // a fit repeats Powell while the cost stays above it
};
extern FitState fit_state;

// Layout of the parameter vector p[1..6].
enum ParamIndex : int {
    param_a1 = 1,
    param_a2 = 2,
    param_a3 = 3,
    param_da = 4,
    param_dr = 5,
    param_offset = 6,
    param_count = 6,
};

// The frame rotation r' = M r for the z-x-z angles a1, a2, a3 (taken as
// floats, computed in double): turn about z by a1, about the new x by a2,
// about the new z by a3.
struct Rotation {
    double m[3][3];
};
Rotation rotation_from_angles(sfloat a1, sfloat a2, sfloat a3);

// A vector in the tensor frame. Each component is a float accumulator that
// takes its x, y and z terms in turn, narrowed after each step; every
// product is formed in double. The row's values are narrowed when read.
struct Rotated {
    sfloat x, y, z;
};
inline sfloat rotated_component(const double* coefficient, sfloat x, sfloat y, sfloat z)
{
    sfloat component = coefficient[0] * x;
    component = component + coefficient[1] * y;
    component = component + coefficient[2] * z;
    return component;
}
inline Rotated rotate(const Rotation& rot, const double* row)
{
    const sfloat x = row[0], y = row[1], z = row[2];
    return {rotated_component(rot.m[0], x, y, z), rotated_component(rot.m[1], x, y, z),
            rotated_component(rot.m[2], x, y, z)};
}

// The model value of one vector, narrowed once:
// Da (3 cos^2 theta - 1) + Dr sin^2 theta cos 2 phi + offset.
sfloat model_value(const Rotation& rot, const double* row, double da, double dr,
                   double offset);

// The same value by algebra instead of the C library's acos, sin, cos and
// atan2: cos^2 theta = q^2 and sin^2 theta = 1 - q^2 with q = z'/|r'|, and
// cos 2 phi = (x'^2 - y'^2) / (x'^2 + y'^2). Both doubles differ by far less
// than fast_value_bound; where every double that close narrows to the same
// float, that float is the exact value. Elsewhere (rounding boundaries, the
// z axis of the tensor frame, values near zero or not finite) the vector
// takes the exact path, so the result is model_value's to the bit.
sfloat model_value_fast(const Rotation& rot, const double* row, double da, double dr,
                        double offset);

// The certified fast value into out, or false where the vector must take
// the exact path. bound is fast_value_bound(da, dr, offset).
bool model_value_certified(const Rotation& rot, const double* row, double da, double dr,
                           double offset, double bound, sfloat& out);

// Squares still to be added to a cost's running sum (a float, narrowed
// after every addition, in order). The value kernels add them while they
// compute the next block, so the processor overlaps the serial sum with
// the independent work.
struct PendingSum {
    const double* squares;  // squares[0..count-1], added in this order
    int count;
    sfloat* sum;
};

// The components of the same vectors as rows, narrowed to float and side by
// side. Every evaluation narrows them first, so a fit does it once; x is
// null where they have not been made.
struct NarrowedRows {
    const float* x;
    const float* y;
    const float* z;
};

// Values of rows[0..count-1], each bit-identical to model_value, into
// values[0..count-1], by the active kernel; adds pending's squares to its
// sum on the way.
void model_values(const Rotation& rot, const double* const* rows, int count, double da,
                  double dr, double offset, sfloat* values, PendingSum pending = {},
                  NarrowedRows narrowed = {});

// The kernels model_values chooses from. The fastest one this processor runs
// is active, or the exact path in a build with KELFIT_EXACT_ONLY; tests make
// each one active in turn.
enum class ValueKernel {
    exact,   // the C library's trigonometry for every vector
    scalar,  // certified fast values one vector at a time
    pairs,   // certified fast values two at a time, in portable vector types
    avx2,    // certified fast values four at a time, where the processor has AVX2
};
bool value_kernel_available(ValueKernel kernel);
ValueKernel active_value_kernel();
void use_value_kernel(ValueKernel kernel);  // ignored unless available

// model_values by the given kernel, which must be available.
void model_values_by(ValueKernel kernel, const Rotation& rot, const double* const* rows,
                     int count, double da, double dr, double offset, sfloat* values,
                     PendingSum pending = {}, NarrowedRows narrowed = {});

// The AVX2 kernel, built where the compiler can target it per function and
// run only where the processor has it: fast values of the narrowed
// components x, y, z[0..count-1] into values, and pending added on the way. The vectors it
// cannot vouch for are listed in declined[0..declined_count-1]. Returns how
// many leading vectors it handled (a multiple of four); the caller takes
// the rest.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define KELFIT_HAVE_AVX2_KERNEL 1
int certified_values_avx2(const Rotation& rot, const float* x, const float* y, const float* z,
                          int count, double da, double dr, double offset, double bound,
                          sfloat* values, int* declined, int& declined_count,
                          PendingSum pending);
bool avx2_available();
#else
#define KELFIT_HAVE_AVX2_KERNEL 0
#endif

// The same contract, two vectors a step, wherever the compiler has portable
// vector types (GCC and Clang on any processor).
#if defined(__GNUC__)
#define KELFIT_HAVE_PAIRS_KERNEL 1
int certified_values_pairs(const Rotation& rot, const float* x, const float* y, const float* z,
                           int count, double da, double dr, double offset, double bound,
                           sfloat* values, int* declined, int& declined_count,
                           PendingSum pending);
#else
#define KELFIT_HAVE_PAIRS_KERNEL 0
#endif

// How far apart the fast and the exact double may be, at most, for these
// magnitudes: a wide margin over the rounding of both paths and the error
// bounds of the C library's functions.
double fast_value_bound(double da, double dr, double offset);

// Mean squared deviation between FitState.observed and the model, without
// (p[1..5]) and with (p[1..6]) the offset.
sfloat cost_no_offset(const sfloat* p);
sfloat cost_with_offset(const sfloat* p);

// Starting values of a fit.
constexpr float angle_start_step = 0.017453292f;  // one degree, in radians
constexpr float magnitude_start_step = 1.0f;      // Da, Dr and offset
constexpr float fit_tolerance = 0.1f;             // handed to Powell widened
constexpr float fit_cost_limit = 8000.0f;
constexpr int fit_max_runs = 11;
constexpr double dr_factor_three = 3.0;           // Dr = R Da 3 0.5, in that order
constexpr double dr_factor_half = 0.5;
constexpr double dr_to_r_factor = 2.0 / 3.0;      // R = Dr (2/3) / Da

// Allocates FitState.params and FitState.directions; fit_work_release
// returns both.
void alloc_fit_work();
void fit_work_release();

// Sets the direction set to its starting diagonal.
void start_directions(sfloat** directions);

// Loads p[1..6] from the caller's six values (R converted to Dr) and writes
// them back (Dr converted to R).
void load_start(sfloat* p, const double* params);
void store_result(const sfloat* p, double* params);

// Runs Powell from FitState.params and FitState.directions, repeating while
// each run converges above the cost limit, at most fit_max_runs times.
// Returns the number of runs made.
int run_fit(int n, CostFunction cost);

// Diagnostics for the developer; no entry calls them.
void print_directions(sfloat** directions);
void print_params(const sfloat* p, const char* label);

#endif
