// How a thread waits on both sides of the hand-off between a caller and the
// blocking pool: it spins briefly before it sleeps. All bounds of that
// spinning are here.
//
// A file read on the pool takes ~2 µs, but when both sides sleep between
// hand-offs each read costs two futex wake-ups, ~20 µs in all (far more on
// a virtual machine whose idle CPUs must be woken). The budget covers the
// gap between two calls of a caller that does a little work of its own in
// between, and stays in the tens of microseconds. So an idle
// pool keeps at most one worker spinning for new work, and a caller spins on
// its completion, each for at most kSpinBudget before it parks.
//  - kPausesPerYield: the spinner yields its CPU every so many pauses, so
//    that the thread it waits for can run on a busy CPU (without the yield,
//    spinning made paced calls slower than parking).
//  - kLostCpu: a yield that keeps the spinner off the CPU this long means the
//    CPUs are contended; spinning then only delays the thread waited for, so
//    the spinner parks at once, and a pool spinner that has not looked at the
//    clock for this long is not counted on to take a job.
//  - kMaxBackoff: after a spin that found nothing (paced calls) or lost the
//    CPU, the next 1, 3, 7, ... up to 2^kMaxBackoff - 1 waits park at once;
//    a spin that succeeds resets this. A waiter that spins in vain thus costs
//    at most one budget per that many waits, and paced or contended callers
//    behave as if they always parked.
//  - kContentionSample: spinning pays only while a CPU is free for the
//    spinner; with more runnable threads than CPUs every yield hands the CPU
//    away and both sides would do better asleep. Pool workers (never a
//    waiting caller: it does no file-system work) read the system's count of
//    runnable threads at most this often, and nobody spins while it exceeds
//    the CPUs this process may use.
#pragma once

#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace nuvrel_core {

inline constexpr std::chrono::microseconds kSpinBudget{60};
inline constexpr unsigned kPausesPerYield = 32;
inline constexpr std::chrono::microseconds kLostCpu{20};
inline constexpr unsigned kMaxBackoff = 8;
inline constexpr std::chrono::milliseconds kContentionSample{10};

// The latest sample: more runnable threads than CPUs.
bool cpus_contended() noexcept;
// Takes a new sample if the last is older than kContentionSample.
void sample_cpu_contention() noexcept;

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
// the time of each look at the clock, so that others can
// tell a spinner that is running from one that has lost its CPU.
template <class Ready>
bool spin_until(Ready&& ready, std::atomic<std::int64_t>* beat = nullptr) noexcept(noexcept(ready())) {
    using std::chrono::nanoseconds;
    std::int64_t now = spin_clock_ns();
    const std::int64_t deadline = now + nanoseconds(kSpinBudget).count();
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

// Whether a waiter should spin, from how its recent spins went (kMaxBackoff).
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
