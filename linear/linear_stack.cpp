// Stacks of problems over threads. Each thread takes the next problem from
// a shared counter, so the share of work follows the machine's load; which
// thread solves a problem never changes its bits.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

#include "crew/crew.h"
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
    bool check_rows = false;       // each problem checked by the thread that takes it
    std::atomic<int> refused{0};   // the lowest problem refused so far (count: none)
};

namespace {

// How a thread asks whether to stop: every thread reads the shared flag;
// the caller's thread also asks the caller's stop check, and a yes sets the
// flag for all.
struct Asking {
    LinearStackRun::Shared* shared;
    LinearStop caller;  // requested is null on the worker threads
    long long rows;     // rows solved since the caller's check was last asked
};

bool stopping(void* context)
{
    auto* asking = static_cast<Asking*>(context);
    LinearStackRun::Shared* shared = asking->shared;
    if (shared->stop.load(std::memory_order_acquire)) {
        return true;
    }
    if (asking->caller.requested == nullptr || !asking->caller.requested(asking->caller.context)) {
        return false;
    }
    shared->stop.store(true, std::memory_order_release);
    return true;
}

// Checks problem f for solve_taken: solved when it is to be solved. A
// problem after the lowest refused one is not even checked, and none is
// solved once any is refused (both stopped): the call's answer is then the
// lowest refusal, and every problem before it is still checked, so the
// answer does not depend on which thread took which problem when.
LinearStatus check_taken(LinearStackRun::Shared* shared, int f, LinearSolution& solution,
                        const LinearStop& pass)
{
    solution.status = LinearStatus::stopped;
    if (f > shared->refused.load(std::memory_order_acquire)) {
        return LinearStatus::stopped;
    }
    const LinearStatus checked = check_linear_problem(shared->problems[f], solution.fault, pass);
    if (checked == LinearStatus::refused) {
        solution.status = LinearStatus::refused;
        int lowest = shared->refused.load(std::memory_order_acquire);
        while (f < lowest && !shared->refused.compare_exchange_weak(lowest, f)) {
        }
        return LinearStatus::refused;
    }
    if (checked == LinearStatus::solved &&
        shared->refused.load(std::memory_order_acquire) < shared->count) {
        return LinearStatus::stopped;
    }
    return checked;
}

// Takes problems until none is left (or the run is stopped), waiting for
// the caller to release those it has not checked yet.
void solve_taken(LinearStackRun::Shared* shared, double* work, Asking& asking)
{
    const LinearStop pass = {stopping, &asking, {}};
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
        const LinearProblem& problem = shared->problems[f];
        LinearSolution& solution = shared->solutions[f];
        if (shared->check_rows) {
            const LinearStatus checked = check_taken(shared, f, solution, pass);
            if (checked == LinearStatus::stopped && shared->stop.load(std::memory_order_acquire)) {
                return;
            }
            if (checked != LinearStatus::solved) {
                continue;  // refused, or left unsolved after another's refusal
            }
        }
        const size_t first_value = shared->value_starts[static_cast<size_t>(f)];
        solution = solve_linear(problem, work, shared->values + first_value, pass);
        if (solution.status == LinearStatus::stopped) {
            return;
        }
        asking.rows += problem.count;
        if (asking.caller.requested != nullptr && asking.rows >= linear_stop_rows) {
            asking.rows = 0;
            if (stopping(&asking)) {
                return;
            }
        }
    }
}

}  // namespace

LinearStackRun::LinearStackRun(const LinearProblem* problems, int count, int workers,
                               double* values, LinearSolution* solutions, bool check_rows)
{
    workers = std::max(1, std::min(workers, count));
    std::unique_ptr<Shared> shared(new Shared);
    shared->check_rows = check_rows;
    shared->refused.store(count);
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
    // Thread 0 is the caller's, in finish(); crew thread t uses space t + 1.
    Shared* run = shared.get();
    crew_.reset(new Crew(run->stop, static_cast<size_t>(workers - 1), [run](size_t t) {
        Asking asking = {run, {}, 0};
        solve_taken(run, run->work[t + 1].get(), asking);
    }));
    shared_ = shared.release();
}

LinearStackRun::~LinearStackRun()
{
    abandon();
    crew_.reset();
    delete shared_;
}

void LinearStackRun::release(int count)
{
    shared_->released.store(std::min(count, shared_->count), std::memory_order_release);
}

bool LinearStackRun::finish(const LinearStop& stop)
{
    release(shared_->count);
    Asking asking = {shared_, stop, 0};
    solve_taken(shared_, shared_->work[0].get(), asking);
    // The caller's part once it has no problem left: its stop check every
    // interval until the workers have all finished.
    if (stop.requested != nullptr && crew_->size() > 0) {
        crew_->watch(stop.interval, [&asking] { return stopping(&asking); });
    }
    crew_->join();
    return !shared_->stop.load(std::memory_order_acquire);
}

void LinearStackRun::abandon()
{
    shared_->stop.store(true, std::memory_order_release);
    crew_->join();
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
