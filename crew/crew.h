// A crew of worker threads for a run that the calling thread shares out:
// each worker runs the run's work to its end, and the caller can wait for
// all of them while it asks a stop check now and then. Plain C++, header
// only: the linear stacks and the replicate loop both run on one.
#ifndef KELFIT_CREW_H
#define KELFIT_CREW_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

class Crew {
public:
    // Starts up to `count` threads, thread t running work(t). A thread the
    // system will not give leaves its share to the others (work must take
    // its tasks from a shared counter): no more are started. `stop` is the
    // run's flag that every worker reads before its next task; the crew
    // raises it before it joins on an early exit.
    template <typename Work>
    Crew(std::atomic<bool>& stop, std::size_t count, Work work) : stop_(stop)
    {
        threads_.reserve(count);
        for (std::size_t t = 0; t < count; ++t) {
            try {
                threads_.emplace_back([this, work, t] {
                    work(t);
                    const std::lock_guard<std::mutex> lock(mutex_);
                    ++ended_;
                    worker_ended_.notify_one();
                });
            } catch (const std::exception&) {
                break;  // no thread, or no memory for one: the others take its share
            }
        }
    }
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;
    ~Crew()
    {
        stop_.store(true, std::memory_order_release);
        join();
    }

    // Workers actually started.
    std::size_t size() const { return threads_.size(); }

    // Waits until every worker's work has returned (true), asking
    // requested() every interval meanwhile, without the crew's lock, so a
    // slow check never holds up a worker; false as soon as it says yes
    // (the workers are still to be stopped and joined).
    template <typename Requested>
    bool watch(std::chrono::nanoseconds interval, Requested requested)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::size_t workers = threads_.size();
        while (!worker_ended_.wait_for(lock, interval, [&] { return ended_ == workers; })) {
            lock.unlock();
            if (requested()) {
                return false;
            }
            lock.lock();
        }
        return true;
    }

    void join()
    {
        for (std::thread& thread : threads_) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

private:
    std::atomic<bool>& stop_;
    std::mutex mutex_;  // guards ended_
    std::condition_variable worker_ended_;
    std::size_t ended_ = 0;
    std::vector<std::thread> threads_;
};

#endif
