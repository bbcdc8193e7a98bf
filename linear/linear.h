// The exact least-squares tensor: the five independent elements of the
// traceless order matrix A (value = scale u^T A u [+ offset] for the unit
// vector u) solved from the weighted design by Householder QR, A
// diagonalised by cyclic Jacobi rotations and written as the module's six
// parameters. Plain C++ in double precision whose only library call in the
// solve is sqrt, every sum in a fixed order: the same bits on every thread,
// build and processor. Only the angles of the parameters take atan2.
#ifndef KELFIT_LINEAR_H
#define KELFIT_LINEAR_H

#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

class Crew;

// The unknowns, in the order of the design's columns: Axx, Ayy, Axy, Axz,
// Ayz (Azz = -Axx - Ayy), then the offset where it is solved for.
constexpr int tensor_unknowns = 5;
constexpr int max_linear_unknowns = tensor_unknowns + 1;

// Directions whose weighted design has a condition number (largest over
// smallest singular value) above this do not determine the tensor: its
// elements would carry the observed values' noise magnified beyond use.
constexpr double linear_condition_limit = 1e10;

// A singular value at most max(N, unknowns) * DBL_EPSILON times the largest
// is rounding noise of an exactly dependent column: it does not count
// towards the rank (the usual numerical-rank tolerance).
constexpr double linear_rank_epsilon = DBL_EPSILON;

// Observed values over sigma beyond this magnitude could make the sums of
// squares overflow even a double (N up to 2^31 rows); larger ones are refused.
constexpr double linear_weighted_value_limit = 0x1p+480;

// Below this, sin(a2) counts as zero: the tensor's z axis lies along the
// molecular z axis, a1 and a3 turn about the same axis, and a3 is set to 0.
constexpr double gimbal_sine = 1e-12;

// Sweeps of Jacobi rotations before giving up on smaller off-diagonal
// elements; both solvers converge quadratically, in far fewer.
constexpr int jacobi_sweep_limit = 60;

// One problem, as the caller's arrays hold it (valid for the call).
struct LinearProblem {
    const double* vectors;   // x, y, z of each of count rows, side by side
    const double* observed;  // count values
    const double* sigma;     // optional: row i's residual is divided by sigma[i]
    const double* scale;     // optional: row i's tensor is multiplied by scale[i]
    int count;               // N
    bool offset;             // also solve for a constant added to every value
};

enum class LinearStatus {
    solved,
    rank_deficient,   // fewer independent columns than unknowns
    ill_conditioned,  // independent, but the condition number is over the limit
    stopped,          // abandoned when its stop check said so, or left unsolved because
                      // a problem of its stack was refused: nothing else is set
    refused,          // a row the checks refuse (LinearSolution::fault): nothing else set
};

// The checks a problem passes before it is solved, in the order they run:
// each over all the rows before the next, as the fits make them.
enum class LinearCheck {
    none,
    vectors,   // components finite in single precision, a length a fit can use
    observed,  // finite
    sigma,     // finite and positive in single precision
    scale,     // finite and non-zero in single precision
    weighted,  // observed (over sigma) within linear_weighted_value_limit
};

// The first fault of a problem: the earliest check that refuses any row,
// and the first row it refuses (from 0).
struct LinearFault {
    LinearCheck check;
    int row;
};

// Whether observed (over sigma, when sigma is not null) is small enough for
// the solve's sums of squares.
inline bool weighted_observed_usable(double observed, const double* sigma)
{
    const double weighted = sigma != nullptr ? observed / *sigma : observed;
    return std::fabs(weighted) <= linear_weighted_value_limit;
}

// A question a long computation asks now and then (the caller's check for
// Ctrl-C): true gives the computation up. The caller's function decides how
// often it really looks; asking must be cheap when it does not.
struct LinearStop {
    bool (*requested)(void* context);  // null: never asked
    void* context;
    std::chrono::nanoseconds interval;  // a stack's caller, done with its share, asks
                                        // this often while the other threads finish
};

// A problem of at least this many rows asks its stop check between its
// passes over the rows (each pass a few milliseconds of work or more); a
// smaller one is only asked about between the problems of a stack, once
// this many rows have been solved since the last question.
constexpr int linear_stop_rows = 1 << 15;

struct LinearSolution {
    LinearStatus status;
    int unknowns;              // 5, or 6 with the offset
    int rank;                  // numerical rank of the weighted design
    double condition;          // its largest over its smallest singular value; for a
                               // solved problem possibly an upper bound of that
    double order_matrix[3][3];
    double offset;             // 0 unless solved for
    double params[6];          // a1, a2, a3 (z-x-z, radians), Da, R, offset
    double axes[3][3];         // rows: the principal axes x, y, z of params' frame
    double cost;               // mean squared weighted residual
    LinearFault fault;         // what was refused, when the status is refused
};

// --- Factorisation and eigensolvers (qr.cpp, jacobi.cpp) ---------------------

// The factorisation works on rows of qr_stride values: the unknowns'
// columns, the right-hand side in the column after them, zeros after it.
constexpr int qr_stride = 8;
static_assert(max_linear_unknowns < qr_stride, "a row holds the unknowns and the right-hand side");

// Householder QR of rows x unknowns (plus the right-hand side) in place:
// afterwards the upper triangle of the first unknowns rows holds R, and
// the right-hand side column holds Q^T rhs. A column already zero below
// its diagonal is left as it is. stop is asked before every column after
// the first: false, the factorisation unfinished, when it said so.
bool householder_qr(double* matrix, int rows, int unknowns, const LinearStop& stop = {});

// Solves R x = (Q^T rhs)[0..unknowns-1] after householder_qr; every
// diagonal of R must be non-zero.
void back_substitute(const double* matrix, int unknowns, double* x);

// The singular values of the order x order matrix whose column k is
// matrix[qr_stride k .. qr_stride k + order - 1], the rest of each column
// zero (overwritten), by one-sided Jacobi rotations; into values[0..order-1]
// in no set order.
void singular_values(double* matrix, int order, double* values);

// Eigenvalues and eigenvectors of a symmetric 3x3 matrix by cyclic Jacobi
// rotations: values[k] belongs to column k of vectors, an orthonormal basis.
void symmetric_eigen3(const double (&matrix)[3][3], double (&values)[3],
                      double (&vectors)[3][3]);

// --- The tensor and its parameters (tensor_params.cpp) -----------------------

// The module's parameters of a traceless symmetric A, in canonical form:
// principal values ordered |Axx| <= |Ayy| <= |Azz|, Da = Azz / 2,
// Dr = (Axx - Ayy) / 2 and 0 <= R <= 2/3; of the four angle triples of the
// principal frame, the one with a1 in [0, 2 pi), a2 in [0, pi/2] and a3 in
// [0, pi) (a3 = 0 where the frame's z axis is the molecular z axis).
// params[5] is left to the caller. axes receives the frame's x, y, z as
// rows (a proper rotation, the one the angles describe).
void params_from_order_matrix(const double (&matrix)[3][3], double* params,
                              double (&axes)[3][3]);
void params_from_order_matrix(const double (&matrix)[3][3], double* params);

// --- Whole problems (linear_solve.cpp) -----------------------------------------

// Building the rows and solving from them are separate steps, so that a
// problem can be given rows that are no one vector's: the mean of each
// coupling's rows over the models or frames of an ensemble.

// The tensor columns of each of count unit vectors u = v / |v| (vectors: x,
// y, z side by side), five a row into terms: u^T A u = Axx (x^2 - z^2) +
// Ayy (y^2 - z^2) + Axy 2xy + Axz 2xz + Ayz 2yz. Every vector must have a
// non-zero finite length.
void linear_terms(const double* vectors, int count, double* terms);

// Doubles of work space solve_linear (or solve_linear_terms) needs for a
// problem of `count` rows.
size_t linear_work_size(int count);

// Solves one problem. values receives the count model values at the
// optimum, scale u^T A u [+ offset]; work holds linear_work_size doubles.
// When the status is not solved, only status, unknowns, rank and condition
// are set. A problem of linear_stop_rows rows or more asks stop between its
// passes over the rows, and a yes ends it at once with status stopped;
// asking changes no bit of a problem that is not stopped.
LinearSolution solve_linear(const LinearProblem& problem, double* work, double* values,
                            const LinearStop& stop = {});

// solve_linear from given tensor columns, five a row (the rows of
// linear_terms, or their means), in place of problem.vectors, which is not
// read: value = scale row . A [+ offset]. Where terms are linear_terms of
// problem.vectors, the same bits as solve_linear.
LinearSolution solve_linear_terms(const LinearProblem& problem, const double* terms,
                                  double* work, double* values, const LinearStop& stop = {});

// --- Checks of a problem's rows (linear_checks.cpp) ----------------------------

// Runs the checks of LinearCheck over the problem's rows in one pass, and
// says which fault the checks run one after another would have found first
// (so a message names the same row either way): solved when every row
// passes, refused with fault set, or stopped when stop said so. A problem
// of linear_stop_rows rows or more asks stop between runs of that many rows.
LinearStatus check_linear_problem(const LinearProblem& problem, LinearFault& fault,
                                  const LinearStop& stop = {});

// --- Stacks of problems (linear_stack.cpp) ----------------------------------

// Solves a stack of problems on `workers` threads (the calling thread one
// of them, once it calls finish), each problem exactly as solve_linear
// alone would, whichever thread takes it; the values of each problem follow
// those of the one before it in values. A problem is started only once the
// caller has released it, so the caller can check problem f + 1 while
// others solve problem f. Everything is allocated in the constructor,
// before any thread starts (std::bad_alloc escapes from there, nothing from
// a worker); a worker that cannot be started leaves its share to the
// others. The caller's thread keeps its share of the work (a small stack
// then costs no thread) and asks finish's stop check, only from that
// thread: between problems once linear_stop_rows rows have been solved
// since the last question, between the passes of a long problem, and every
// stop interval once it has no problem left while others solve. A yes
// sets a flag that every thread reads before its next problem and between
// the passes of its own long problem, so all stop within one pass.
//
// With check_rows, each problem is checked (check_linear_problem) by the
// thread that takes it, just before it solves it. A refused problem has
// the status refused; once one is refused, no problem after it is started
// and no problem is solved any more (those left have the status stopped),
// while those before it are still checked, so the lowest refused problem
// is found, and its fault is the same whatever the threads' timing.
class LinearStackRun {
public:
    LinearStackRun(const LinearProblem* problems, int count, int workers, double* values,
                   LinearSolution* solutions, bool check_rows = false);
    ~LinearStackRun();  // abandon(), unless finished
    LinearStackRun(const LinearStackRun&) = delete;
    LinearStackRun& operator=(const LinearStackRun&) = delete;

    // Problems [0, count) may now be solved.
    void release(int count);
    // Releases every problem, solves on this thread too, and returns once
    // all are solved (true), or once every thread has stopped because stop
    // said so (false: the solutions are not to be read).
    bool finish(const LinearStop& stop = {});
    // No further problem is started; returns once the workers have stopped.
    void abandon();

    struct Shared;  // the counters the threads share (linear_stack.cpp)

private:
    Shared* shared_;
    std::unique_ptr<Crew> crew_;  // the worker threads besides the caller's
};

// All of a stack at once: LinearStackRun, every problem released.
void solve_linear_stack(const LinearProblem* problems, int count, int workers,
                        double* values, LinearSolution* solutions);

#endif
