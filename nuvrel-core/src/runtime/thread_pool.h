// A fixed set of threads taking jobs from one queue until the pool is
// dropped. A thread that cannot be started is an error value, and the
// threads already started are stopped and joined first.
//
// Waiting: a pool given a hand-off keeps at most one idle worker spinning
// briefly for new work; the others sleep, and a job wakes one only when no
// spinner is there to take it (hand_off.h states the protocol, invariants 3,
// 4 and 7). A pool without one only ever parks.
//
// fork(): the child has none of the pool's threads, and a lock held by one of
// them at the fork would stay held. Every pool is therefore recorded; before
// the fork each one is made quiet (invariant 8), and in the child each one
// drops (and leaks) its old state and starts fresh threads at its next job; a
// pool that gets no job in the child starts none.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nuvrel_core {

class HandOff;

// The number of CPUs this process may run on (its affinity mask), at least 1.
std::size_t available_cpus() noexcept;

class ThreadPool {
public:
    using Job = std::move_only_function<void()>;

    // The error is the display text of the system's error.
    // `hand_off`, when given, must outlive the pool.
    static std::expected<std::unique_ptr<ThreadPool>, std::string> create(std::size_t threads,
                                                                          HandOff* hand_off = nullptr);

    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Runs the job on one of the pool's threads. Only when the job cannot be
    // queued (no memory) or no thread can be started (in a forked child) does
    // it run on the calling thread instead, so that whoever waits for it is
    // never left waiting for ever. True when a spinning worker is there to
    // take the job at once: only then is it worth its waiter's spinning.
    bool submit(Job job) noexcept;

    // Wakes a sleeping worker if a job still waits in the queue. A caller
    // about to sleep on a job's completion calls this: the spinning worker
    // that was to take the job may have lost its CPU to other threads.
    void nudge() noexcept;

    std::size_t size() const noexcept { return threads_; }

private:
    struct State;
    ThreadPool(std::size_t threads, HandOff* hand_off);
    // Starts the missing threads (the pool's lock held); the error is the
    // first that stopped it.
    std::expected<void, std::string> start_locked(State& s);

    static void on_fork_prepare() noexcept;
    static void on_fork_parent() noexcept;
    static void on_fork_child() noexcept;

    std::size_t threads_;
    HandOff* hand_off_;
    std::unique_ptr<State> state_;
    ThreadPool* prev_ = nullptr;  // the registry of live pools, for fork
    ThreadPool* next_ = nullptr;
};

}  // namespace nuvrel_core
