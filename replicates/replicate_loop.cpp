// The replicates: one replicate's draws and solve, and a run of them over
// threads, each thread taking the next replicate from a shared counter.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "crew/crew.h"
#include "replicates/replicates.h"

namespace {

constexpr int coordinates = 3;

// A unit vector perpendicular to the unit vector u: u x e_c for the axis c
// along which u is shortest (the first such), normalised.
void perpendicular(const double (&u)[3], double (&e)[3])
{
    int c = 0;
    for (int k = 1; k < coordinates; ++k) {
        if (std::fabs(u[k]) < std::fabs(u[c])) {
            c = k;
        }
    }
    // u x e_c, written out for each c.
    const int next = (c + 1) % coordinates, last = (c + 2) % coordinates;
    e[c] = 0.0;
    e[next] = u[last];
    e[last] = -u[next];
    const double length = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
    for (double& x : e) {
        x /= length;
    }
}

// v turned away from its direction by a two-dimensional Gaussian
// displacement (per-axis sd `sd`, radians) in the plane perpendicular to it:
// a tilt of uniform azimuth and Rayleigh-distributed size; the length kept.
void tilt(const double* v, double sd, ReplicateStream& stream, double* out)
{
    const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    const double u[3] = {v[0] / length, v[1] / length, v[2] / length};
    double e1[3], e2[3];
    perpendicular(u, e1);
    e2[0] = u[1] * e1[2] - u[2] * e1[1];
    e2[1] = u[2] * e1[0] - u[0] * e1[2];
    e2[2] = u[0] * e1[1] - u[1] * e1[0];
    const double g1 = sd * stream.normal();
    const double g2 = sd * stream.normal();
    const double angle = std::sqrt(g1 * g1 + g2 * g2);
    // sin(t) / t -> 1 as t -> 0: the displacement itself is the direction.
    const double factor = angle > 0.0 ? portable_sin(angle) / angle : 1.0;
    const double cosine = portable_cos(angle);
    for (int c = 0; c < coordinates; ++c) {
        out[c] = (cosine * u[c] + factor * (g1 * e1[c] + g2 * e2[c])) * length;
    }
}

bool finite_vector(const double* v)
{
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// A drawn observed value the linear solve takes: as kelfit.linear checks.
bool usable_observed(double value, const double* sigma, int row)
{
    const double weighted = sigma != nullptr ? value / sigma[row] : value;
    return std::fabs(weighted) <= linear_weighted_value_limit;
}

size_t rows_of(const ReplicateSetup& setup)
{
    return static_cast<size_t>(setup.count);
}

ReplicateOutcome solved(const LinearSolution& solution, int draws)
{
    const ReplicateFault fault =
        solution.status == LinearStatus::solved ? ReplicateFault::none : ReplicateFault::undetermined;
    return {solution, draws, fault, -1};
}

ReplicateOutcome noise_replicate(const ReplicateSetup& setup, ReplicateStream& stream,
                                 ReplicateWork& work, const double* vectors)
{
    double* observed = work.observed.get();
    for (int i = 0; i < setup.count; ++i) {
        observed[i] = setup.observed[i] + setup.noise[i] * stream.normal();
    }
    for (int i = 0; i < setup.count; ++i) {
        if (!usable_observed(observed[i], setup.sigma, i)) {
            return {LinearSolution{}, 1, ReplicateFault::observed_value, i};
        }
    }
    work.problem = {vectors, observed, setup.sigma, setup.scale, setup.count, setup.offset};
    return solved(solve_linear(work.problem, work.solve.get(), work.values.get()), 1);
}

ReplicateOutcome bootstrap_replicate(const ReplicateSetup& setup, ReplicateStream& stream,
                                     ReplicateWork& work, const double* vectors)
{
    const auto count = static_cast<std::uint32_t>(setup.count);
    work.problem = {work.vectors.get(),
                    work.observed.get(),
                    setup.sigma != nullptr ? work.sigma.get() : nullptr,
                    setup.scale != nullptr ? work.scale.get() : nullptr,
                    setup.count,
                    setup.offset};
    LinearSolution solution{};
    for (int draw = 1; draw <= setup.draws; ++draw) {
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t row = stream.below(count);
            std::memcpy(work.vectors.get() + coordinates * i, vectors + coordinates * row,
                        coordinates * sizeof(double));
            work.observed[i] = setup.observed[row];
            if (setup.sigma != nullptr) {
                work.sigma[i] = setup.sigma[row];
            }
            if (setup.scale != nullptr) {
                work.scale[i] = setup.scale[row];
            }
        }
        solution = solve_linear(work.problem, work.solve.get(), work.values.get());
        if (solution.status == LinearStatus::solved) {
            return solved(solution, draw);
        }
    }
    return solved(solution, setup.draws);
}

}  // namespace

double tilt_sd_of(double rms_degrees)
{
    return rms_degrees * radians_per_degree / std::sqrt(2.0);
}

ReplicateWork::ReplicateWork(const ReplicateSetup& setup)
{
    const size_t rows = rows_of(setup);
    vectors.reset(new double[coordinates * rows]);
    tilted.reset(new double[coordinates * rows]);
    observed.reset(new double[rows]);
    sigma.reset(new double[rows]);
    scale.reset(new double[rows]);
    values.reset(new double[rows]);
    solve.reset(new double[linear_work_size(setup.count)]);
}

ReplicateOutcome run_replicate(const ReplicateSetup& setup, std::uint64_t k,
                               ReplicateWork& work)
{
    ReplicateStream stream(setup.key, k);
    const double* vectors = setup.vectors;
    if (setup.vector_sets != nullptr) {
        const std::uint32_t model = stream.below(static_cast<std::uint32_t>(setup.models));
        vectors = setup.vector_sets + coordinates * rows_of(setup) * model;
    }
    if (setup.tilt_sd > 0.0) {
        double* tilted = work.tilted.get();
        for (int i = 0; i < setup.count; ++i) {
            tilt(vectors + coordinates * i, setup.tilt_sd, stream, tilted + coordinates * i);
        }
        for (int i = 0; i < setup.count; ++i) {
            if (!finite_vector(tilted + coordinates * i)) {
                return {LinearSolution{}, 1, ReplicateFault::tilted_vector, i};
            }
        }
        vectors = tilted;
    }
    if (setup.perturbation == Perturbation::noise) {
        return noise_replicate(setup, stream, work, vectors);
    }
    return bootstrap_replicate(setup, stream, work, vectors);
}

// --- A run over threads -----------------------------------------------------------

namespace {

struct Shared {
    const ReplicateSetup* setup;
    std::uint64_t first;
    std::int64_t count;
    ReplicateOutputs out;
    std::atomic<std::int64_t> next{0};
    std::atomic<bool> stopped{false};      // by a failure or the stop check
    std::atomic<bool> interrupted{false};  // by the stop check
    std::mutex mutex;                      // guards failure
    ReplicateFailure failure = {-1, {}};
};

// The stop check as a lone caller asks it: between its own replicates, at
// most once an interval.
struct Asking {
    const ReplicateStop* stop;
    std::chrono::steady_clock::time_point last;
};

bool asked_to_stop(Asking* asking)
{
    if (asking == nullptr) {
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - asking->last < asking->stop->interval) {
        return false;
    }
    asking->last = now;
    return asking->stop->requested(asking->stop->context);
}

void store(const ReplicateOutputs& out, std::int64_t j, const ReplicateOutcome& outcome)
{
    const auto at = static_cast<size_t>(j);
    const LinearSolution& s = outcome.solution;
    static_assert(sizeof s.params == replicate_params * sizeof(double), "six parameters");
    static_assert(sizeof s.axes == replicate_matrix * sizeof(double), "a 3x3 matrix");
    std::memcpy(out.params + replicate_params * at, s.params, sizeof s.params);
    std::memcpy(out.matrices + replicate_matrix * at, s.order_matrix, sizeof s.order_matrix);
    std::memcpy(out.axes + replicate_matrix * at, s.axes, sizeof s.axes);
    out.draws[at] = outcome.draws;
}

// Takes replicates until none is left or the run stops. A failure stops
// the run only after every replicate below it has been taken (the counter
// hands them out in order), and the lowest failure is kept.
void take_replicates(Shared* shared, ReplicateWork* work, Asking* asking)
{
    while (!shared->stopped.load(std::memory_order_relaxed)) {
        if (asked_to_stop(asking)) {
            shared->interrupted.store(true, std::memory_order_relaxed);
            shared->stopped.store(true, std::memory_order_relaxed);
            return;
        }
        const std::int64_t j = shared->next.fetch_add(1);
        if (j >= shared->count) {
            return;
        }
        const std::uint64_t k = shared->first + static_cast<std::uint64_t>(j);
        const ReplicateOutcome outcome = run_replicate(*shared->setup, k, *work);
        if (outcome.fault == ReplicateFault::none) {
            store(shared->out, j, outcome);
            continue;
        }
        const std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->failure.index < 0 || static_cast<std::int64_t>(k) < shared->failure.index) {
            shared->failure = {static_cast<std::int64_t>(k), outcome};
        }
        shared->stopped.store(true, std::memory_order_relaxed);
    }
}

}  // namespace

ReplicateFailure run_replicates(const ReplicateSetup& setup, std::uint64_t first,
                                std::int64_t count, int workers,
                                const ReplicateOutputs& out, const ReplicateStop& stop)
{
    const std::int64_t wanted = std::max<std::int64_t>(1, std::min<std::int64_t>(workers, count));
    std::vector<std::unique_ptr<ReplicateWork>> works(static_cast<size_t>(wanted));
    for (auto& work : works) {
        work.reset(new ReplicateWork(setup));
    }
    Shared shared;
    shared.setup = &setup;
    shared.first = first;
    shared.count = count;
    shared.out = out;
    const bool polled = stop.requested != nullptr;
    // A caller that polls takes no replicate itself, so that none delays a
    // poll; otherwise it is the first worker.
    {
        const size_t first_worker = polled ? 0 : 1;
        Crew crew(shared.stopped, works.size() - first_worker, [&](size_t t) {
            take_replicates(&shared, works[first_worker + t].get(), nullptr);
        });
        // The caller's part while the crew works: the stop check every
        // interval until every worker has ended.
        if (polled && crew.size() > 0) {
            if (!crew.watch(stop.interval, [&stop] { return stop.requested(stop.context); })) {
                shared.interrupted.store(true, std::memory_order_relaxed);
                shared.stopped.store(true, std::memory_order_relaxed);
            }
        } else {
            Asking asking = {&stop, std::chrono::steady_clock::now()};
            take_replicates(&shared, works[0].get(), polled ? &asking : nullptr);
        }
        if (shared.interrupted.load(std::memory_order_relaxed)) {
            shared.stopped.store(true, std::memory_order_relaxed);
        }
        crew.join();
    }
    if (shared.interrupted.load(std::memory_order_relaxed)) {
        throw ReplicatesInterrupted{};
    }
    return shared.failure;
}
