// Stacks of problems over threads. Each thread takes the next problem from
// a shared counter, so the share of work follows the machine's load; which
// thread solves a problem never changes its bits.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "linear/linear.h"

struct LinearStackRun::Shared {
    const LinearProblem* problems;
    int count;
    double* values;
    LinearSolution* solutions;
    std::vector<size_t> value_starts;  // where each problem's values begin
    size_t work_size;                  // doubles of work space a problem needs at most
    std::vector<std::unique_ptr<double[]>> work;  // one space per thread, uninitialised
    std::atomic<int> next{0};      // the next problem to take
    std::atomic<int> released{0};  // problems [0, released) may be solved
    std::atomic<bool> stop{false};
};

namespace {

// Takes problems until none is left (or the run is stopped), waiting for
// the caller to release those it has not checked yet.
void solve_taken(LinearStackRun::Shared* shared, double* work)
{
    for (;;) {
        const int f = shared->next.fetch_add(1);
        if (f >= shared->count) {
            return;
        }
        while (f >= shared->released.load(std::memory_order_acquire)) {
            if (shared->stop.load(std::memory_order_acquire)) {
                return;
            }
            std::this_thread::yield();
        }
        if (shared->stop.load(std::memory_order_acquire)) {
            return;
        }
        const size_t first_value = shared->value_starts[static_cast<size_t>(f)];
        shared->solutions[f] = solve_linear(shared->problems[f], work, shared->values + first_value);
    }
}

}  // namespace

LinearStackRun::LinearStackRun(const LinearProblem* problems, int count, int workers,
                               double* values, LinearSolution* solutions)
{
    workers = std::max(1, std::min(workers, count));
    std::unique_ptr<Shared> shared(new Shared);
    shared->problems = problems;
    shared->count = count;
    shared->values = values;
    shared->solutions = solutions;
    shared->value_starts.resize(static_cast<size_t>(std::max(count, 0)));
    size_t largest = 0, start = 0;
    for (int f = 0; f < count; ++f) {
        shared->value_starts[static_cast<size_t>(f)] = start;
        start += static_cast<size_t>(problems[f].count);
        largest = std::max(largest, linear_work_size(problems[f].count));
    }
    shared->work_size = largest;
    shared->work.resize(static_cast<size_t>(workers));
    for (auto& space : shared->work) {
        space.reset(new double[largest]);
    }
    threads_.reserve(static_cast<size_t>(workers - 1));
    shared_ = shared.release();
    // Thread 0 is the caller's, in finish().
    for (int w = 1; w < workers; ++w) {
        try {
            double* work = shared_->work[static_cast<size_t>(w)].get();
            threads_.emplace_back(solve_taken, shared_, work);
        } catch (const std::exception&) {
            break;  // no thread, or no memory for one: the others take its share
        }
    }
}

LinearStackRun::~LinearStackRun()
{
    abandon();
    delete shared_;
}

void LinearStackRun::release(int count)
{
    shared_->released.store(std::min(count, shared_->count), std::memory_order_release);
}

void LinearStackRun::finish()
{
    release(shared_->count);
    solve_taken(shared_, shared_->work[0].get());
    join();
}

void LinearStackRun::abandon()
{
    shared_->stop.store(true, std::memory_order_release);
    join();
}

void LinearStackRun::join()
{
    for (auto& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

void solve_linear_stack(const LinearProblem* problems, int count, int workers,
                        double* values, LinearSolution* solutions)
{
    if (count <= 0) {
        return;
    }
    LinearStackRun run(problems, count, workers, values, solutions);
    run.finish();
}
