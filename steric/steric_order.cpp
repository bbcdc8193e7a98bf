// The weighted average over orientations, block by block over threads.
// Every block's sums are kept apart and added in block order at the end, so
// the result does not depend on which thread took which block. Given a stop
// check, the caller's thread asks it while worker threads do the work, and a
// yes stops every worker before its next orientation.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "steric/steric.h"

namespace {

// n n^T as xx, yy, zz, xy, xz, yz.
constexpr int pair_terms = 6;
const int pair_first[pair_terms] = {0, 1, 2, 0, 0, 1};
const int pair_second[pair_terms] = {0, 1, 2, 1, 2, 2};

// One block's sums: of the weights, of w n n^T and of n n^T.
struct BlockSums {
    double weight = 0.0;
    double weighted[pair_terms] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    double plain[pair_terms] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
};

struct Shared {
    StericAtoms atoms;
    StericMedium medium;
    const StericCharges* charges = nullptr;  // null: an uncharged medium
    Screening screen{};
    std::size_t orientations;
    std::vector<BlockSums>* blocks;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stopped{false};
    std::mutex mutex;  // guards ended
    std::condition_variable worker_ended;
    std::size_t ended = 0;  // worker threads that have finished
};

// The stop check as the caller asks it when it works alone: between its own
// orientations, at most once an interval.
struct Asking {
    const StericStop* stop;
    std::chrono::steady_clock::time_point last;
};

bool asked_to_stop(Asking& asking)
{
    const auto now = std::chrono::steady_clock::now();
    if (now - asking.last < asking.stop->interval) {
        return false;
    }
    asking.last = now;
    return asking.stop->requested(asking.stop->context);
}

// Whether to stop before the next orientation; `asking` is null on the
// threads that only read the flag.
bool stopping(Shared& shared, Asking* asking)
{
    if (shared.stopped.load(std::memory_order_relaxed)) {
        return true;
    }
    if (asking != nullptr && asked_to_stop(*asking)) {
        shared.stopped.store(true, std::memory_order_relaxed);
        return true;
    }
    return false;
}

double weight_of(const Shared& shared, const double n[3])
{
    if (shared.charges != nullptr) {
        if (shared.medium.shape == StericShape::wall) {
            return charged_wall_weight(shared.atoms, *shared.charges, shared.screen, n,
                                       shared.medium.spacing);
        }
        return charged_cylinder_weight(shared.atoms, *shared.charges, shared.screen, n,
                                       shared.medium);
    }
    if (shared.medium.shape == StericShape::wall) {
        return wall_weight(shared.atoms, n, shared.medium.spacing);
    }
    return cylinder_weight(shared.atoms, n, shared.medium);
}

void sum_block(Shared& shared, std::size_t block, Asking* asking)
{
    BlockSums sums;
    const std::size_t first = block * steric_block;
    const std::size_t last = std::min(first + steric_block, shared.orientations);
    for (std::size_t k = first; k < last; ++k) {
        if (stopping(shared, asking)) {
            return;  // a stopped average's sums are never read
        }
        double n[3];
        sphere_point(k, shared.orientations, n);
        const double w = weight_of(shared, n);
        sums.weight += w;
        for (int t = 0; t < pair_terms; ++t) {
            const double nn = n[pair_first[t]] * n[pair_second[t]];
            sums.weighted[t] += w * nn;
            sums.plain[t] += nn;
        }
    }
    (*shared.blocks)[block] = sums;
}

void take_blocks(Shared* shared, Asking* asking)
{
    const std::size_t count = shared->blocks->size();
    while (!shared->stopped.load(std::memory_order_relaxed)) {
        const std::size_t block = shared->next.fetch_add(1);
        if (block >= count) {
            return;
        }
        sum_block(*shared, block, asking);
    }
}

void work(Shared* shared)
{
    take_blocks(shared, nullptr);
    const std::lock_guard<std::mutex> lock(shared->mutex);
    ++shared->ended;
    shared->worker_ended.notify_one();
}

// The worker threads of one average, joined on any exit; an exit before
// they have finished stops them first rather than wait out the average.
struct Crew {
    Shared* shared;
    std::vector<std::thread> threads;
    Crew(Shared* work_shared, int count) : shared(work_shared)
    {
        threads.reserve(static_cast<std::size_t>(count));
        for (int t = 0; t < count; ++t) {
            try {
                threads.emplace_back(work, shared);
            } catch (const std::system_error&) {
                break;  // no thread to be had: the others take its share
            }
        }
    }
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;
    ~Crew()
    {
        shared->stopped.store(true, std::memory_order_relaxed);
        join();
    }
    void join()
    {
        for (std::thread& thread : threads) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }
};

// The caller's part while `workers` threads work: ask the stop check every
// interval until they have all finished, and stop them when it says so. The
// check runs without the lock, so a slow one never holds up a worker.
void watch(Shared& shared, const StericStop& stop, std::size_t workers)
{
    std::unique_lock<std::mutex> lock(shared.mutex);
    for (;;) {
        if (shared.worker_ended.wait_for(lock, stop.interval,
                                         [&] { return shared.ended == workers; })) {
            return;
        }
        lock.unlock();
        const bool requested = stop.requested(stop.context);
        lock.lock();
        if (requested) {
            shared.stopped.store(true, std::memory_order_relaxed);
            return;
        }
    }
}

// The uniform average of 3/2 n n^T - 1/2 I is zero, so subtracting the mean
// weight from every weight changes nothing but the sampling error: a
// molecule whose weights are all alike then gets exactly zero, not the
// small anisotropy of a finite set of directions.
StericOrder ordered_total(const std::vector<BlockSums>& blocks, std::size_t orientations)
{
    BlockSums total;
    for (const BlockSums& b : blocks) {
        total.weight += b.weight;
        for (int t = 0; t < pair_terms; ++t) {
            total.weighted[t] += b.weighted[t];
            total.plain[t] += b.plain[t];
        }
    }
    StericOrder out{};
    if (!(total.weight > 0.0)) {
        return out;  // nothing fits: zero order and nothing allowed
    }
    const double mean = total.weight / static_cast<double>(orientations);
    out.allowed = mean;
    for (int t = 0; t < pair_terms; ++t) {
        const double term = 1.5 * (total.weighted[t] - mean * total.plain[t]) / total.weight;
        out.order[pair_first[t]][pair_second[t]] = term;
        out.order[pair_second[t]][pair_first[t]] = term;
    }
    return out;
}

}  // namespace

namespace {

// The average over the centred atoms, with charges or without.
StericOrder average(const StericAtoms& atoms, const StericMedium& medium,
                    const StericCharges* charges, const Screening& screen,
                    std::size_t orientations, int workers, const StericStop& stop)
{
    std::vector<BlockSums> blocks((orientations + steric_block - 1) / steric_block);
    Shared shared;
    shared.atoms = atoms;
    shared.medium = medium;
    shared.charges = charges;
    shared.screen = screen;
    shared.orientations = orientations;
    shared.blocks = &blocks;
    const bool polled = stop.requested != nullptr;
    // A caller that polls does no orientation itself, so that no orientation
    // ever delays a poll.
    const int wanted = std::min(std::max(workers, 1), max_steric_workers) - (polled ? 0 : 1);
    Crew crew(&shared, wanted);
    if (polled && !crew.threads.empty()) {
        watch(shared, stop, crew.threads.size());
    } else {
        Asking asking = {&stop, std::chrono::steady_clock::now()};
        take_blocks(&shared, polled ? &asking : nullptr);
    }
    crew.join();
    if (shared.stopped.load(std::memory_order_relaxed)) {
        throw StericInterrupted{};
    }
    return ordered_total(blocks, orientations);
}

}  // namespace

StericOrder steric_order(const StericAtoms& atoms, const StericMedium& medium,
                         std::size_t orientations, int workers, const StericStop& stop)
{
    std::vector<double> x(atoms.count);
    std::vector<double> y(atoms.count);
    std::vector<double> z(atoms.count);
    centred(atoms, x.data(), y.data(), z.data());
    const StericAtoms moved = {x.data(), y.data(), z.data(), atoms.radius, atoms.count};
    return average(moved, medium, nullptr, Screening{}, orientations, workers, stop);
}

StericOrder charged_order(const StericAtoms& atoms, const double* charge,
                          const StericField& field, const StericMedium& medium,
                          std::size_t orientations, int workers, const StericStop& stop)
{
    // The charged atoms, by charge (then by index, so the order is fixed).
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < atoms.count; ++i) {
        if (charge[i] != 0.0) {
            order.push_back(i);
        }
    }
    if (field.charge_density == 0.0 || order.empty()) {
        return steric_order(atoms, medium, orientations, workers, stop);
    }
    std::stable_sort(order.begin(), order.end(),
                     [charge](std::size_t a, std::size_t b) { return charge[a] < charge[b]; });
    std::vector<double> x(atoms.count);
    std::vector<double> y(atoms.count);
    std::vector<double> z(atoms.count);
    centred(atoms, x.data(), y.data(), z.data());
    const std::size_t count = order.size();
    std::vector<double> cx(count);
    std::vector<double> cy(count);
    std::vector<double> cz(count);
    std::vector<double> q(count);
    for (std::size_t c = 0; c < count; ++c) {
        cx[c] = x[order[c]];
        cy[c] = y[order[c]];
        cz[c] = z[order[c]];
        q[c] = charge[order[c]];
    }
    const StericAtoms moved = {x.data(), y.data(), z.data(), atoms.radius, atoms.count};
    const StericCharges charges = {cx.data(), cy.data(), cz.data(), q.data(), count};
    return average(moved, medium, &charges, screening(field), orientations, workers, stop);
}
