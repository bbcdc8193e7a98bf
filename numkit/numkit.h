// The numerical minimization kit: one-based single-precision storage, a fatal
// error report, downhill bracketing, Brent's one-dimensional minimizer, line
// minimization and Powell's direction-set method.
//
// Plain C++ with no interpreter in sight: the fit entries drive it, and the
// C++ tests drive it directly.
#ifndef KELFIT_NUMKIT_H
#define KELFIT_NUMKIT_H

#include <cfloat>

// Every result must be reproducible to the bit, so the build must neither
// evaluate float expressions in a wider type behind our back nor let the
// compiler reassociate or contract them.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "kelfit needs FLT_EVAL_METHOD == 0 (SSE2 or equivalent floating point)"
#endif
#if defined(__FAST_MATH__)
#error "kelfit must not be built with -ffast-math: it changes results"
#endif

// A stored single-precision value. Reading it yields a double, so every
// expression built from stored values is evaluated in double precision;
// assigning a double narrows it to float exactly once, at the store. This
// makes "compute in double, store in float" the only thing the code can say.
class sfloat {
public:
    sfloat() = default;  // like a float: uninitialised until written
    constexpr sfloat(double value) : value_(static_cast<float>(value)) {}
    constexpr operator double() const { return value_; }
    constexpr float as_float() const { return value_; }

private:
    float value_;
};
static_assert(sizeof(sfloat) == sizeof(float), "sfloat is stored as a float");

// --- One-based storage -----------------------------------------------------
//
// vector(lo, hi) is one heap block of hi - lo + 2 floats: a spare element,
// then elements lo..hi, addressed directly as v[lo]..v[hi]. matrix(...) is a
// row table (spare entry first) over one contiguous row-major element block
// (spare element first). Neither records its bounds; callers pass them.

sfloat* vector(int lo, int hi);
void vector_release(sfloat* v, int lo, int hi);
sfloat** matrix(int rlo, int rhi, int clo, int chi);
void matrix_release(sfloat** m, int rlo, int rhi, int clo, int chi);

// A vector(lo, hi) released when it goes out of scope, so that a failure
// thrown through the kit (see KitFailure) leaves nothing behind. Work
// vectors declared in turn are released last first.
class OwnedVector {
public:
    OwnedVector(int lo, int hi) : data_(vector(lo, hi)), lo_(lo), hi_(hi) {}
    ~OwnedVector() { vector_release(data_, lo_, hi_); }
    OwnedVector(const OwnedVector&) = delete;
    OwnedVector& operator=(const OwnedVector&) = delete;
    sfloat* data() const { return data_; }

private:
    sfloat* data_;
    int lo_, hi_;
};

// --- Fatal conditions ---------------------------------------------------------

enum class KitFailureKind {
    memory,   // a vector or matrix could not be allocated
    numeric,  // a search exceeded its iteration limit
};

// What run_error throws on a thread that asked for failures to be thrown.
struct KitFailure {
    KitFailureKind kind;
    const char* message;  // the report's message line, a string literal
};

// By default the kit's fatal conditions end the process (run_error). While
// one of these lives on a thread, they throw KitFailure on that thread
// instead, for a caller that can report them and carry on.
class KitFailuresThrow {
public:
    KitFailuresThrow();
    ~KitFailuresThrow();
    KitFailuresThrow(const KitFailuresThrow&) = delete;
    KitFailuresThrow& operator=(const KitFailuresThrow&) = delete;

private:
    bool previous_;
};

// Writes the kit's three-line report to standard error and ends the process
// with status 1; throws KitFailure instead under KitFailuresThrow.
[[noreturn]] void run_error(const char* message,
                            KitFailureKind kind = KitFailureKind::numeric);

// --- One-dimensional minimization -------------------------------------------

// A function of one abscissa, as bracketing and Brent's method see it.
using LineFunction = sfloat (*)(sfloat x);

// Walks downhill from a and b until a, b, c bracket a minimum of f
// (f(b) <= f(a) and f(b) <= f(c)); fa, fb, fc receive the values there.
void bracket_min(sfloat& a, sfloat& b, sfloat& c, sfloat& fa, sfloat& fb,
                 sfloat& fc, LineFunction f);

// Isolates the minimum inside the bracket (ax, bx, cx) to the fractional
// tolerance tol; writes its abscissa to xmin and returns the value there.
// Ends the process after 100 iterations without success.
sfloat brent(sfloat ax, sfloat bx, sfloat cx, LineFunction f, sfloat tol,
             sfloat& xmin);

// --- Line and direction-set minimization ------------------------------------

// A cost of the one-based parameters x[1..n]; reads nothing else.
using CostFunction = sfloat (*)(const sfloat* x);

// The line being searched, read by line_eval: the kit's one-dimensional
// routines call their function with the abscissa alone. One per thread, so
// that fits on different threads never share it.
struct LineState {
    int line_count;              // n, the coordinates of the line
    sfloat* line_origin;         // copy of the starting point, 1..n
    sfloat* line_direction;      // copy of the direction, 1..n
    CostFunction line_target;    // the cost minimized along the line
};
// This thread's instance, reached through a function for the reason given
// at fit_state().
LineState& line_state();

// The cost at line_origin + x * line_direction.
sfloat line_eval(sfloat x);

// Moves p to the minimum of cost along d, replaces d by the displacement
// taken and writes the cost there to final_cost.
void line_min(sfloat* p, sfloat* d, int n, sfloat& final_cost,
              CostFunction cost);

// Powell's direction-set method over p[1..n]; direction i is column i of
// directions. Returns 1 when the fractional tolerance ftol is met, 0 when
// the iteration limit ends the search.
int powell_min(sfloat* p, sfloat** directions, int n, double ftol,
               int& iterations, sfloat& final_cost, CostFunction cost);

constexpr int powell_iteration_limit = 200;
constexpr int brent_iteration_limit = 100;

#endif
