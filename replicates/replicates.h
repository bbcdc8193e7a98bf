// Monte Carlo and bootstrap replicates of a linear fit: each replicate
// perturbs the data (noise on the observed values, or rows drawn with
// replacement; optionally a model drawn from an ensemble and every vector
// tilted at random), solves it exactly as solve_linear solves any problem,
// and keeps the canonical tensor. Plain C++ whose draws, solve and tensor
// take no library call but sqrt (only the parameters' angles take atan2,
// as kelfit.linear's do): replicate k has the same bits on every thread
// count, batch, build and C library.
//
// The random stream. Philox4x32-10 (Salmon et al., "Parallel random
// numbers: as easy as 1, 2, 3", SC 2011) is a bijection of a 128-bit counter
// under a 64-bit key. The key is the run's 64-bit seed (low word first); the
// counter is (block, replicate), each 64 bits as two words, low word first:
// counter = (block low, block high, replicate low, replicate high). So every
// (seed, replicate) has its own stream of 2^64 blocks of four 32-bit words,
// taken in order from block 0, and replicate k's draws never depend on
// which thread runs it, nor on which others run at all.
//
// What a replicate takes from its stream, in this order:
//   1. with an ensemble, the model: one index below M (`below`);
//   2. with structural noise, two normal deviates per row, row by row;
//   3. noise: one normal deviate per row; bootstrap: N row indices below N,
//      again N more for every draw that does not determine the tensor.
//
// Deviates. A uniform double takes two words (the first the high half) and
// keeps their top 53 bits. Normal deviates come in pairs by Marsaglia's
// polar method from pairs of uniforms (on average 1.27 pairs); the second
// of a pair is kept for the next call. Indices below n take one word each
// by Lemire's multiply-and-reject, so every index is equally likely.
//
// Why no libm: glibc picks FMA or plain variants of log, sin and cos at run
// time, and other C libraries round differently again, so a deviate (log)
// or a tilt (sin, cos) made with them could differ by an ulp between
// machines and move a seeded estimate. portable_log, portable_sin and
// portable_cos use + - * / and sqrt alone, in a fixed order (the build has
// -ffp-contract=off).
#ifndef KELFIT_REPLICATES_H
#define KELFIT_REPLICATES_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "linear/linear.h"

// --- The stream (stream.cpp) ----------------------------------------------------

// One Philox4x32-10 block: the four words of `counter` under `key`.
struct PhiloxBlock {
    std::uint32_t word[4];
};
PhiloxBlock philox4x32_10(const PhiloxBlock& counter, const std::uint32_t (&key)[2]);

// pi / 180, rounded: the tilt's angle is given in degrees.
constexpr double radians_per_degree = 0x1.921fb54442d18p+1 / 180.0;

// Every pair of the stream's normal deviates has a radius sqrt(x^2 + y^2)
// below this (see ReplicateStream::normal).
constexpr double normal_pair_radius_bound = 12.1;

// Blocks made at a time (the processor overlaps their rounds); the words
// come out in block order all the same.
constexpr int stream_buffer_blocks = 4;
constexpr int stream_buffer_words = 4 * stream_buffer_blocks;

// A stream of one (seed, replicate), as above.
class ReplicateStream {
public:
    ReplicateStream(const std::uint32_t (&key)[2], std::uint64_t replicate);
    std::uint32_t word();           // the next 32 bits
    double uniform();               // in [0, 1), a multiple of 2^-53
    double normal();                // standard normal, below 12.1 in magnitude
    std::uint32_t below(std::uint32_t n);  // uniform in [0, n), n >= 1

private:
    std::uint32_t key_[2];
    std::uint64_t replicate_;
    std::uint64_t block_ = 0;  // the next block to make
    std::uint32_t words_[stream_buffer_words] = {};  // blocks made ahead, in order
    int used_ = stream_buffer_words;                 // words of words_ already taken
    double spare_ = 0.0;       // the second deviate of the last pair
    bool has_spare_ = false;
};

// --- Elementary functions (elementary.cpp) --------------------------------------

// log x for a positive normal double x: x = m 2^e with m in [sqrt 1/2,
// sqrt 2), log m = 2 atanh((m - 1) / (m + 1)) by its series through the
// 21st power (the rest below 1e-18 relative), plus e ln 2 in two parts.
// Within 5e-16 relative of the true value (4.0e-16 the worst measured
// against std::log over 10^6 arguments); the GoogleTest holds it to that.
double portable_log(double x);

// sin x and cos x for |x| <= max_reduced_argument, NaN beyond. On |x| <=
// pi/4 their Taylor series through x^15 and x^16 (the rest below 7e-17
// relative), by Horner's rule: within 3e-16 relative (2.3e-16 measured).
// Beyond, x = q pi/2 + r by a three-part pi/2 (33, 33 and 53 bits), whose
// first two products are exact for these x: within 5e-16 absolute (2.3e-16
// measured up to |x| = 10^5).
constexpr double max_reduced_argument = 0x1p20;
double portable_sin(double x);
double portable_cos(double x);

// --- Replicates (replicate_loop.cpp) --------------------------------------------

enum class Perturbation { noise, bootstrap };

// Everything a replicate reads, valid for the run. Rows as LinearProblem
// has them.
struct ReplicateSetup {
    const double* vectors;      // count x 3: the fit's vectors
    const double* observed;     // count
    const double* noise;        // count standard deviations (noise only)
    const double* sigma;        // optional weights, as LinearProblem
    const double* scale;        // optional factors, as LinearProblem
    int count;                  // N
    bool offset;
    Perturbation perturbation;
    const double* vector_sets;  // optional: models x count x 3
    int models;                 // M (0 without vector_sets)
    double tilt_sd;             // per-axis sd (radians) of the structural tilt; 0: none
    int draws;                  // bootstrap: draws before a replicate gives up (>= 1)
    std::uint32_t key[2];       // the seed
};

// The per-axis sd of the tilt of an rms angle in degrees: rms / sqrt(2).
double tilt_sd_of(double rms_degrees);

// Why a replicate failed: its last draw did not determine the tensor
// (solution says how), or a drawn observed value (row) or tilted vector
// (row) was not one a linear solve takes.
enum class ReplicateFault { none, undetermined, observed_value, tilted_vector };

// Work space of one thread, sized for one setup.
struct ReplicateWork {
    explicit ReplicateWork(const ReplicateSetup& setup);
    std::unique_ptr<double[]> vectors, tilted, observed, sigma, scale, values, solve;
    LinearProblem problem = {};  // the last problem solved
};

struct ReplicateOutcome {
    LinearSolution solution;  // solved unless fault says otherwise
    int draws;                // bootstrap draws made (1 for noise)
    ReplicateFault fault;
    int row;                  // the row of an observed_value or tilted_vector fault
};

// Replicate k: its draws, then the solve. Afterwards the work's problem is
// the last draw's data as solve_linear was given it (where the outcome has
// no fault).
ReplicateOutcome run_replicate(const ReplicateSetup& setup, std::uint64_t k,
                               ReplicateWork& work);

// Asked on the calling thread every `interval` while workers run: true
// stops every worker before its next replicate.
struct ReplicateStop {
    bool (*requested)(void* context);  // null: never asked
    void* context;
    std::chrono::nanoseconds interval;
};
struct ReplicatesInterrupted {};

// Where replicate first + j goes: params[6 j ..], matrices[9 j ..] (the order
// matrix), axes[9 j ..] (principal axes as rows) and draws[j].
constexpr int replicate_params = 6;
constexpr int replicate_matrix = 9;
struct ReplicateOutputs {
    double* params;
    double* matrices;
    double* axes;
    std::int32_t* draws;
};

// The first failure of a run (index -1: none), with its outcome.
struct ReplicateFailure {
    std::int64_t index;
    ReplicateOutcome outcome;
};

// Replicates first .. first + count - 1 on `workers` threads. A failed
// replicate stops the run: replicates of higher index are not started, so
// the failure reported is the lowest-numbered one on any thread count.
// Throws std::bad_alloc before any thread starts, ReplicatesInterrupted
// when stopped.
ReplicateFailure run_replicates(const ReplicateSetup& setup, std::uint64_t first,
                                std::int64_t count, int workers,
                                const ReplicateOutputs& out, const ReplicateStop& stop);

#endif
