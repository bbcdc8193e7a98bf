// The orientation model, its two cost functions, the module-wide fit state
// and the steps of a fit that need no interpreter. The entry functions that
// Python calls (solve_entry.cpp, fit_entries.cpp) build on these.
#ifndef KELFIT_FIT_H
#define KELFIT_FIT_H

#include <cfloat>
#include <cmath>
#include <cstddef>

#include "numkit/numkit.h"

// Asked now and then during a fit whether to stop (the interpreter has a
// pending signal, say). stop(context) returning true ends the fit by
// throwing FitInterrupted out of the cost function.
struct InterruptCheck {
    bool (*stop)(void* context);  // null: never asked
    void* context;
    long long budget;  // vector-evaluations left before the next question
};
struct FitInterrupted {};

// Vector-evaluations between two questions: about a tenth of a millisecond
// of work, so that the question costs nothing next to it.
constexpr long long interrupt_check_vectors = 1 << 15;

// Counts vectors done (at least one) against check's budget and, when it
// runs out, asks afresh: true when the computation is to stop.
bool interrupt_requested(InterruptCheck& check, int vectors);

// What a fit that holds some parameters needs to make the full p[1..6] from
// the free ones its minimizer varies: Powell runs over x[1..free_count],
// and x[k] is p[free[k-1]]. The held values are those loaded from the
// start; a held R whose Da is free keeps R (not Dr) fixed, so its Dr is
// formed from R and each trial Da.
struct HeldParameters {
    int free[6];              // one-based indices into p, increasing
    int free_count;
    const sfloat* full;       // p[1..6] as loaded from the start
    double r;                 // the caller's R, for a Dr made from a free Da
    bool dr_from_free_da;     // Dr follows the trial Da (R held, Da free)
    sfloat (*target)(const sfloat* p);  // the cost of the full p[1..6]
};

// Everything the cost functions need besides the parameter vector: the
// minimizers hand a cost function p alone, so the data of the current call
// lives here. One instance per thread; every fit writes it afresh.
struct FitState {
    const double* const* rows;  // rows[i] -> x, y, z of vector i
    int count;                  // N, the number of vectors
    const double* observed;     // observed[i] belongs to rows[i]
    const float* narrowed;      // optional: rows' x, then y, then z, narrowed to float
                                // (3 runs of count values); null where not made
    const float* scale;         // optional: row i's Da and Dr times scale[i]; null: 1
    const float* sigma;         // optional: row i's residual divided by sigma[i] (> 0)
                                // instead of |error|
    sfloat error;               // every residual is divided by |error|
    sfloat offset;              // added to every back-calculated value
    sfloat* params;             // p[1..6]: a1, a2, a3, Da, Dr, offset; in a fit with
                                // held parameters, the free ones alone (free_cost)
    sfloat** directions;        // 6x6 Powell direction set, direction j = column j
    int iterations;             // iteration count of the last Powell run
    sfloat best_cost;           // cost where the last Powell run ended
    sfloat cost_limit;          // a fit repeats Powell while the cost stays above it
    long long evaluations;      // cost evaluations since the fit began
    InterruptCheck interrupt;   // optional: asked whether to stop, between evaluations
    bool converged;             // the last Powell run met its tolerance (not its limit)
    HeldParameters held;        // a fit that varies some parameters only: see free_cost
};
// This thread's instance. Reached through a function rather than an extern
// thread_local object: GCC's undefined-behaviour sanitizer misreads direct
// access to such an object from another file as a null pointer.
FitState& fit_state();

// This thread's fit and line state, put back as they were when it goes out
// of scope: whatever runs in between (a nested fit started by a signal
// handler, say) cannot disturb a fit in progress.
class SavedFitState {
public:
    SavedFitState() : fit_(fit_state()), line_(line_state()) {}
    ~SavedFitState()
    {
        fit_state() = fit_;
        line_state() = line_;
    }
    SavedFitState(const SavedFitState&) = delete;
    SavedFitState& operator=(const SavedFitState&) = delete;

private:
    FitState fit_;
    LineState line_;
};

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

// The length of an unrotated row as the model forms it: the narrowed
// components squared and summed in double, the square root narrowed.
sfloat row_length(float x, float y, float z);

// A row whose length is below the smallest normal float has lost the
// precision its direction needs (a subnormal length carries fewer bits than
// its components), so the model has no value for it.
constexpr double shortest_row_length = FLT_MIN;
bool row_too_short(const double* row);

// Why a fit cannot use a row whose components narrow to x, y, z: the
// first of these that applies, in this order.
enum class RowFault {
    none,
    not_finite,  // a component is not finite in single precision
    zero,        // all three components are zero in single precision
    too_short,   // its length is below the smallest normal float
    too_long,    // its length overflows single precision
};

inline RowFault row_fault(float x, float y, float z)
{
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) {
        return RowFault::not_finite;
    }
    if (x == 0.0f && y == 0.0f && z == 0.0f) {
        return RowFault::zero;
    }
    const double length = row_length(x, y, z);
    if (length < shortest_row_length) {
        return RowFault::too_short;
    }
    if (!std::isfinite(length)) {
        return RowFault::too_long;
    }
    return RowFault::none;
}

// A fit narrows each row's sigma (which must be positive) or scale (which
// must be non-zero): true when the narrowed value is finite and so.
inline bool row_factor_usable(double value, bool positive)
{
    const float narrowed = static_cast<float>(value);
    return std::isfinite(narrowed) && (positive ? narrowed > 0.0f : narrowed != 0.0f);
}

// NaN for every row of rows[0..count-1] that is too short, in values; the
// back-calculations give no value for what a fit would refuse.
void void_short_rows(const double* const* rows, int count, sfloat* values);

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

// The one serial chain every cost is built on: squares[from..to-1] added to
// sum in order, the sum narrowed after every addition.
inline void add_squares(sfloat& sum, const double* squares, int from, int to)
{
    for (int k = from; k < to; ++k) {
        sum = sum + squares[k];
    }
}

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
// sum on the way. Where scale is given, row i's Da and Dr are
// da * scale[i] and dr * scale[i] (the offset is not scaled), and so is the
// bound the fast path keeps to.
void model_values(const Rotation& rot, const double* const* rows, int count, double da,
                  double dr, double offset, sfloat* values, PendingSum pending = {},
                  NarrowedRows narrowed = {}, const float* scale = nullptr);

// The kernels model_values chooses from. The fastest one this processor runs
// is active (or the one KELFIT_KERNEL names), or the exact path in a build
// with KELFIT_EXACT_ONLY; tests make each one active in turn.
enum class ValueKernel {
    exact,   // the C library's trigonometry for every vector
    scalar,  // certified fast values one vector at a time
    pairs,   // certified fast values two at a time, in portable vector types
    avx2,    // certified fast values four at a time, where the processor has AVX2
};
bool value_kernel_available(ValueKernel kernel);
const char* value_kernel_name(ValueKernel kernel);  // "exact", "scalar", "pairs", "avx2"
// The kernel called name, where this processor runs it; else fallback (also
// for a null or unknown name). The environment variable KELFIT_KERNEL picks
// the first active kernel this way.
ValueKernel value_kernel_requested(const char* name, ValueKernel fallback);
ValueKernel active_value_kernel();
void use_value_kernel(ValueKernel kernel);  // ignored unless available

// model_values by the given kernel, which must be available.
void model_values_by(ValueKernel kernel, const Rotation& rot, const double* const* rows,
                     int count, double da, double dr, double offset, sfloat* values,
                     PendingSum pending = {}, NarrowedRows narrowed = {},
                     const float* scale = nullptr);

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
                          const float* scale, sfloat* values, int* declined,
                          int& declined_count, PendingSum pending);
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
                           const float* scale, sfloat* values, int* declined,
                           int& declined_count, PendingSum pending);
#else
#define KELFIT_HAVE_PAIRS_KERNEL 0
#endif

// How far apart the fast and the exact double may be, at most, for these
// magnitudes: a wide margin over the rounding of both paths and the error
// bounds of the C library's functions. It is fast_value_margin * S with
// S = 4|Da| + |Dr| + |offset|.
double fast_value_bound(double da, double dr, double offset);
constexpr double fast_value_margin = 0x1p-40;
constexpr double fast_value_da_weight = 4.0;

// Mean squared deviation between FitState.observed and the model, without
// (p[1..5]) and with (p[1..6]) the offset.
sfloat cost_no_offset(const sfloat* p);
sfloat cost_with_offset(const sfloat* p);

// The cost of the free parameters x[1..free_count] of FitState.held: the
// full p[1..6] made from them and the held values, handed to held.target.
sfloat free_cost(const sfloat* x);

// The full p[1..6] of the free parameters x under held (see HeldParameters).
void full_params(const HeldParameters& held, const sfloat* x, sfloat* p);

// Starting values of a fit.
constexpr float angle_start_step = 0.017453292f;  // one degree, in radians
constexpr float magnitude_start_step = 1.0f;      // Da, Dr and offset
constexpr float fit_tolerance = 0.1f;             // handed to Powell widened
constexpr float fit_cost_limit = 8000.0f;
constexpr int fit_max_runs = 11;
constexpr double dr_factor_three = 3.0;           // Dr = R Da 3 0.5, in that order
constexpr double dr_factor_half = 0.5;
constexpr double dr_to_r_factor = 2.0 / 3.0;      // R = Dr (2/3) / Da

// The rhombicity R (as callers hold it) and the rhombic magnitude
// Dr = 1.5 Da R (as the model uses it), each formed in double in this order.
inline double dr_from_r(double r, double da)
{
    return r * da * dr_factor_three * dr_factor_half;
}
inline double r_from_dr(double dr, double da)
{
    return dr * dr_to_r_factor / da;
}

// A fit as the entries run it: the data (valid for the call), which
// parameters vary and against which cost, and the caller's six start values
// (R in start[4]). The parameters varied are p[1..n] less those of held:
// every other one keeps its start value, and comes back as that value
// rounded to single precision.
struct FitProblem {
    const double* const* rows;
    int count;
    const float* narrowed;  // optional, as in FitState
    const double* observed;
    const float* sigma;     // optional, as in FitState
    const float* scale;     // optional, as in FitState
    int n;                  // parameters varied, p[1..n] (less those held)
    bool offset_in_cost;    // cost_with_offset, else cost_no_offset
    const double* start;
    InterruptCheck interrupt;
    unsigned held;          // bit i: the caller's params[i] keeps its start value
};

struct FitReport {
    double params[param_count];  // the caller's layout: R in params[4]
    double cost;                 // the cost where the last Powell run ended
    long long evaluations;       // cost evaluations, all runs together
    int runs;                    // Powell runs made
    bool converged;              // false when the last run stopped at Powell's limit
};

// Runs the fit on this thread's state and leaves that state as it found it.
// Throws FitInterrupted when the interrupt check says so, and KitFailure
// under KitFailuresThrow; the work storage is released either way.
FitReport fit_problem(const FitProblem& problem);

// The largest magnitude a row's value can reach at the start of a fit, from
// the model: |value| <= 3|Da| + |Dr| + |offset| (times the row's |scale|
// for Da and Dr).
double start_value_bound(const double* start, bool offset_in_cost, double scale);

// Whether every row's model value at the start is sure to be a float:
// start_value_bound with the row's scale at most start_values_limit. The
// largest bound goes to *largest.
bool start_values_fit(const FitProblem& problem, double* largest);
constexpr double start_values_limit = FLT_MAX;

// Whether the squared residuals of a fit are sure to sum to a finite single
// precision cost at its start: N r^2 <= start_squares_limit, with r the
// largest residual the model allows there. A float running sum of
// non-negative terms is at most twice their exact sum (an addition rounds up
// by at most the term added), hence half the largest float. The largest
// possible residual goes to *largest.
bool start_residuals_fit(const FitProblem& problem, double* largest);
constexpr double start_squares_limit = FLT_MAX / 2.0;

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
// Returns the number of runs made; FitState.converged says how the last
// one ended.
int run_fit(int n, CostFunction cost);

// Diagnostics for the developer; no entry calls them.
void print_directions(sfloat** directions);
void print_params(const sfloat* p, const char* label);

#endif
