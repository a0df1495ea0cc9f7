#include "runtime/thread_pool.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <sched.h>

#include <cstdio>
#include <new>
#include <system_error>

#include "io_error.h"
#include "runtime/spin.h"

namespace nuvrel_core {

std::size_t available_cpus() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

namespace {

std::atomic<bool> contended{false};
std::atomic<std::int64_t> contention_sampled_at{0};

}  // namespace

bool cpus_contended() noexcept { return contended.load(std::memory_order_relaxed); }

// /proc/loadavg's fourth field is "runnable/total" threads of the system
// (the reader among the runnable). Unreadable: never contended.
void sample_cpu_contention() noexcept {
    const std::int64_t now = spin_clock_ns();
    std::int64_t last = contention_sampled_at.load(std::memory_order_relaxed);
    if (now - last < std::chrono::nanoseconds(kContentionSample).count() ||
        !contention_sampled_at.compare_exchange_strong(last, now, std::memory_order_relaxed))
        return;
    const int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[128];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return;
    buf[n] = 0;
    unsigned long runnable = 0;
    if (std::sscanf(buf, "%*s %*s %*s %lu/", &runnable) != 1) return;
    contended.store(runnable > available_cpus(), std::memory_order_relaxed);
}

struct ThreadPool::State {
    std::mutex mu;
    std::condition_variable wake;
    std::deque<Job> queue;           // under mu
    std::size_t idle = 0;            // workers asleep on `wake`; under mu
    bool spinner = false;            // a worker is spinning for work; under mu
    bool stopping = false;           // under mu
    std::atomic<std::size_t> queued{0};  // queue.size(), for the spinner to watch without the lock
    std::atomic<bool> stop_seen{false};  // stopping, likewise
    std::atomic<std::int64_t> beat{0};   // when the spinner last looked at the clock
    SpinHistory spins;                   // under mu
    std::vector<std::thread> workers;

    void work() noexcept;
    void shut_down() noexcept;
};

void ThreadPool::State::work() noexcept {
    std::unique_lock lock(mu);
    // The spinner keeps its role while it runs a job it found, since it spins
    // again right after: a job queued meanwhile waits for it rather than
    // paying for a wake-up (a caller that tires of waiting nudges a sleeper).
    bool my_spin = false;
    for (;;) {
        if (!queue.empty()) {
            Job job = std::move(queue.front());
            queue.pop_front();
            queued.store(queue.size(), std::memory_order_relaxed);
            lock.unlock();
            job();
            job = nullptr;  // the job's captures go before the lock is taken again
            lock.lock();
            continue;
        }
        if (stopping) break;
        const bool may_spin = (my_spin || !spinner) && !cpus_contended() && spins.should_spin();
        if (!may_spin) {
            if (my_spin) spinner = my_spin = false;
        } else {
            // A job pushed while we spin is not signalled: we look at the
            // queue under the lock before sleeping, so none is lost.
            spinner = my_spin = true;
            lock.unlock();
            sample_cpu_contention();  // only here: a sample costs three system calls
            const bool found = !cpus_contended() && spin_until(
                [this] {
                    return queued.load(std::memory_order_relaxed) != 0 || stop_seen.load(std::memory_order_relaxed);
                },
                &beat);
            lock.lock();
            spins.record(found);
            if (!queue.empty() || stopping) continue;
            spinner = my_spin = false;
        }
        ++idle;
        wake.wait(lock);
        --idle;
    }
    if (my_spin) spinner = false;
}

void ThreadPool::State::shut_down() noexcept {
    {
        std::lock_guard lock(mu);
        stopping = true;
        stop_seen.store(true, std::memory_order_relaxed);
    }
    wake.notify_all();
    for (auto& t : workers)
        if (t.joinable()) t.join();
    workers.clear();
}

namespace {

// Every live pool, so that a forked child can reset each one.
std::mutex registry_mu;
ThreadPool* registry_head = nullptr;
std::once_flag fork_handlers_installed;

}  // namespace

ThreadPool::ThreadPool(std::size_t threads) : threads_(threads), state_(std::make_unique<State>()) {}

std::expected<std::unique_ptr<ThreadPool>, std::string> ThreadPool::create(std::size_t threads) {
    std::unique_ptr<ThreadPool> pool;
    try {
        std::call_once(fork_handlers_installed,
                       [] { pthread_atfork(&on_fork_prepare, &on_fork_parent, &on_fork_child); });
        pool.reset(new ThreadPool(threads));
    } catch (const std::exception& e) {
        return std::unexpected(std::string(e.what()));
    }
    {
        // On failure the pool's destructor stops and joins what did start.
        std::lock_guard lock(pool->state_->mu);
        if (auto started = pool->start_locked(*pool->state_); !started) return std::unexpected(started.error());
    }
    std::lock_guard lock(registry_mu);
    pool->next_ = registry_head;
    if (registry_head != nullptr) registry_head->prev_ = pool.get();
    registry_head = pool.get();
    return pool;
}

std::expected<void, std::string> ThreadPool::start_locked(State& s) {
    try {
        s.workers.reserve(threads_);
        while (s.workers.size() < threads_) s.workers.emplace_back([&s] { s.work(); });
    } catch (const std::system_error& e) {
        return std::unexpected(IoError::from_errno(e.code().value()).to_string());
    } catch (const std::exception& e) {
        return std::unexpected(std::string(e.what()));
    }
    return {};
}

bool ThreadPool::submit(Job job) noexcept {
    if (State* s = state_.get()) {
        std::unique_lock lock(s->mu);
        // In a forked child the threads start with the first job.
        if (!s->workers.empty() || (start_locked(*s), !s->workers.empty())) {
            try {
                s->queue.push_back(std::move(job));
            } catch (...) {
                lock.unlock();
                job();
                return false;
            }
            s->queued.store(s->queue.size(), std::memory_order_relaxed);
            // A spinner that is running takes one job without being woken; one
            // that has lost its CPU (or is busy with a job) would only delay it.
            const bool spinner_runs =
                s->spinner && spin_clock_ns() - s->beat.load(std::memory_order_relaxed) <
                                  std::chrono::nanoseconds(kLostCpu).count();
            if (spinner_runs && s->queue.size() == 1) return true;
            const bool wake = s->idle > 0;
            lock.unlock();  // the woken thread would only block on the lock
            if (wake) s->wake.notify_one();
            return false;
        }
    }
    job();
    return false;
}

void ThreadPool::nudge() noexcept {
    State* s = state_.get();
    if (s == nullptr || s->queued.load(std::memory_order_relaxed) == 0) return;
    std::unique_lock lock(s->mu);
    const bool wake = !s->queue.empty() && s->idle > 0;
    lock.unlock();
    if (wake) s->wake.notify_one();
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(registry_mu);
        if (prev_ != nullptr) prev_->next_ = next_;
        else if (registry_head == this) registry_head = next_;
        if (next_ != nullptr) next_->prev_ = prev_;
    }
    if (state_) state_->shut_down();
}

// The registry stays locked across the fork so that the child sees it whole.
void ThreadPool::on_fork_prepare() noexcept { registry_mu.lock(); }
void ThreadPool::on_fork_parent() noexcept { registry_mu.unlock(); }

// Only the forking thread exists in the child: the old state (its threads,
// and a lock one of them may hold) is left untouched and leaked; a fresh one
// starts threads at the first job.
void ThreadPool::on_fork_child() noexcept {
    for (ThreadPool* p = registry_head; p != nullptr; p = p->next_) {
        (void)p->state_.release();
        try {
            p->state_ = std::make_unique<State>();
        } catch (...) {  // no memory: the pool runs its jobs in place
        }
    }
    registry_mu.unlock();
}

}  // namespace nuvrel_core
