// The hand-off between a thread waiting in block_on (the caller) and the
// blocking pool that runs its file-system work, and how both sides wait. The
// whole protocol is stated here; thread_pool.cpp (the pool's side),
// runtime.h (the job) and runtime.cpp (the caller's side) each cite the
// invariant they keep.
//
// A file read on the pool takes ~2 µs, but when both sides sleep between
// hand-offs each read costs two futex wake-ups, ~20 µs in all (far more on a
// virtual machine whose idle CPUs must be woken). So a waiter may spin a
// little before it parks: the caller on its job's completion, one pool
// worker on new work. A spin pays only while the thread waited for has a CPU
// of its own, and only when the wait is short.
//
// Invariants:
//  1. Every job submitted runs exactly once, on a pool thread (on the
//     submitter only when it cannot be queued or no thread can start), and
//     its completion is posted to the caller's context, which a parked
//     caller sleeps in: a completion always wakes its caller.
//  2. A job's last act is to count itself done on its caller's Waiter (after
//     posting its completion and letting go of the caller's context). The
//     caller leaves block_on only when every job it started has counted
//     itself done: no pool thread touches a caller's state after that.
//  3. A pool worker sleeps only after it has seen the queue empty under the
//     pool's lock; submit queues under that lock and wakes a sleeper unless
//     a spinning worker whose beat is fresh (it has its CPU) will take the
//     job. A spinner looks at the queue under the lock before it sleeps, and
//     a caller that gives up spinning nudges a sleeper. So no job is left in
//     the queue while every worker sleeps.
//  4. At most one worker of a pool spins for new work at a time.
//  5. Every spin lasts at most the runtime's spin budget and ends early
//     when the spinner loses its CPU (a yield that keeps it off the CPU for
//     kLostCpu). A budget of 0 means nobody spins: every wait parks.
//  6. Nobody starts a spin while the latest contention sample says the CPUs
//     this process may use are contended. A pool worker that has just run a
//     job takes a new sample, outside the pool's lock, when the last is
//     older than the sample period (one thread at a time), whether it then
//     spins or parks; callers only read the verdict. Every hand-off runs a
//     job, so the verdict follows the machine whether or not anyone spins,
//     and a busy one clears with the first job after the machine is free
//     again. The sample (a read of /proc/stat, ~15 µs) is thus never on a
//     caller's path: its result is already posted. A sample that cannot be
//     taken counts as free, except on a process that may use only one CPU;
//     the lost-CPU exit of 5 still bounds what a spin can waste.
//  7. A wait that spins in vain makes its side park at once for the next 1,
//     3, 7, ... up to 2^kMaxBackoff - 1 waits; a spin that succeeds resets
//     this, so paced or slow work costs at most one budget per that many
//     waits.
//  8. At a fork every pool thread is asleep (the prepare handler waits,
//     bounded, for running jobs to end), so no lock of the allocator or of
//     the pool is held by a thread that the child will not have; the child
//     leaks the pools' old state and starts fresh threads at its next job.
#pragma once

#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace nuvrel_core {

// The default spin budget of a runtime (invariant 5).
inline constexpr std::chrono::microseconds kDefaultSpin{60};
// A spinner yields its CPU every so many pauses, so that the thread it waits
// for can run on a busy CPU (without the yield, spinning made paced calls
// slower than parking).
inline constexpr unsigned kPausesPerYield = 32;
// A yield that keeps the spinner off the CPU this long means the CPUs are
// contended (invariant 5); a pool spinner that has not looked at the clock
// for this long is not counted on to take a job (invariant 3).
inline constexpr std::chrono::microseconds kLostCpu{20};
inline constexpr unsigned kMaxBackoff = 8;  // invariant 7

// What a contention sample sees: the CPUs this process may run on (its
// affinity mask), and how many of them, averaged over the time since the
// previous sample, were free for it: idle, or running this process itself.
// A spin needs two CPUs free, one for the spinner and one for the thread it
// waits for; fewer means the waited-for thread queues behind others.
struct CpuSample {
    unsigned cpus = 1;
    double free_cpus = 0;
};
// Nothing when the sample cannot be taken (say /proc is not mounted).
using CpuSource = std::function<std::optional<CpuSample>()>;

// The system's: the idle time of this process's CPUs in /proc/stat and the
// process's own CPU time, between one call and the next. A whole-machine
// count of runnable threads would not do: under an affinity mask of 2 CPUs
// on an 8-CPU machine, the threads on the other 6 do not compete with us.
// `stat` is the file to read in place of /proc/stat (tests).
CpuSource system_cpu_source(std::string stat = "/proc/stat");

struct HandOffOptions {
    std::chrono::microseconds spin = kDefaultSpin;  // 0: park only
    std::chrono::milliseconds sample_every{50};
    CpuSource cpu_source;  // empty: system_cpu_source()
};

// The shared part of one runtime's hand-off: its budget and the contention
// verdict (invariants 5 and 6).
class HandOff {
public:
    explicit HandOff(HandOffOptions options);

    // Takes a new sample when the last is older than the period (invariant
    // 6). Called by a pool worker after each job, outside the pool's lock.
    void refresh() noexcept;
    // Whether a waiter may start a spin, from the latest verdict.
    bool spin_allowed() const noexcept {
        return options_.spin.count() > 0 && !contended_.load(std::memory_order_relaxed);
    }
    std::chrono::microseconds budget() const noexcept { return options_.spin; }

    // Spins started, on either side: for tests that must know the spin ran.
    std::uint64_t spins_started() const noexcept { return spins_.load(std::memory_order_relaxed); }
    void count_spin() noexcept { spins_.fetch_add(1, std::memory_order_relaxed); }

private:
    void sample(std::int64_t now) noexcept;

    HandOffOptions options_;
    std::mutex sampling_;                      // one sampler at a time
    std::atomic<std::int64_t> next_sample_{0};  // steady-clock ns
    std::atomic<bool> contended_{false};
    std::atomic<std::uint64_t> spins_{0};
};

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

inline std::int64_t spin_clock_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Spins until ready() holds (true), the budget is spent (ready()'s last
// answer) or the CPU was lost (false: the waiter parks, or takes what is
// ready, without counting the spin a success). `beat`, when given, receives
// the time of each look at the clock, so that submitters can tell a spinner
// that is running from one that has lost its CPU.
template <class Ready>
bool spin_until(std::chrono::microseconds budget, Ready&& ready,
                std::atomic<std::int64_t>* beat = nullptr) noexcept(noexcept(ready())) {
    using std::chrono::nanoseconds;
    std::int64_t now = spin_clock_ns();
    const std::int64_t deadline = now + nanoseconds(budget).count();
    if (beat != nullptr) beat->store(now, std::memory_order_relaxed);
    for (unsigned i = 1;; ++i) {
        if (ready()) return true;
        cpu_relax();
        if (i % kPausesPerYield == 0) {
            // A yield that finds no other thread runnable returns within a
            // microsecond: the beat stays fresh. One that loses the CPU leaves
            // the beat to go stale, and submitters stop counting on us.
            sched_yield();
            const std::int64_t before = now;
            now = spin_clock_ns();
            if (now - before > nanoseconds(kLostCpu).count()) return false;
            if (beat != nullptr) beat->store(now, std::memory_order_relaxed);
            if (now >= deadline) return ready();
        }
    }
}

// One waiter's recent spins (invariant 7).
class SpinHistory {
public:
    bool should_spin() noexcept {
        if (skip_ == 0) return true;
        --skip_;
        return false;
    }
    void record(bool succeeded) noexcept {
        if (succeeded) {
            failures_ = 0;
            return;
        }
        if (failures_ < kMaxBackoff) ++failures_;
        skip_ = (1u << failures_) - 1;
    }

private:
    unsigned failures_ = 0;
    unsigned skip_ = 0;
};

}  // namespace nuvrel_core
