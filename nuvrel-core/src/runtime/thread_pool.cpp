#include "runtime/thread_pool.h"

#include <pthread.h>
#include <sched.h>

#include <new>
#include <system_error>

#include "io_error.h"
#include "runtime/hand_off.h"

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

struct ThreadPool::State {
    explicit State(HandOff* h) : hand_off(h) {}

    HandOff* const hand_off;  // null: park only
    std::mutex mu;
    std::condition_variable wake;
    std::condition_variable quiet;  // a worker went to sleep while the pool is paused
    std::deque<Job> queue;          // under mu
    std::size_t idle = 0;           // workers asleep on `wake`; under mu
    bool spinner = false;           // a worker is spinning for work; under mu
    bool stopping = false;          // under mu
    bool paused = false;            // a fork is under way: take no job; under mu
    // Bumped under mu by every push, stop and pause: what a spinner watches.
    std::atomic<std::uint32_t> epoch{0};
    std::atomic<std::int64_t> beat{0};  // when the spinner last looked at the clock
    SpinHistory spins;                  // under mu
    std::vector<std::thread> workers;

    void work() noexcept;
    void shut_down() noexcept;
};

namespace {
// The pool state whose worker this thread is, if any (a job may fork).
thread_local const void* current_pool = nullptr;
}  // namespace

void ThreadPool::State::work() noexcept {
    current_pool = this;
    std::unique_lock lock(mu);
    // The spinner keeps its role while it runs a job it found, since it spins
    // again right after: a job queued meanwhile waits for it rather than
    // paying for a wake-up (a caller that tires of waiting nudges a sleeper).
    bool my_spin = false;
    for (;;) {
        if (!queue.empty() && !paused) {
            Job job = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            job();
            job = nullptr;  // the job's captures go before the lock is taken again
            if (hand_off != nullptr) hand_off->refresh();  // invariant 6
            lock.lock();
            continue;
        }
        if (stopping) break;
        const bool may_spin = !paused && hand_off != nullptr && (my_spin || !spinner) &&
                              hand_off->spin_allowed() && spins.should_spin();
        if (!may_spin) {
            if (my_spin) spinner = my_spin = false;
        } else {
            // Invariant 3: a job pushed while we spin is not signalled; we
            // look at the queue under the lock before sleeping.
            spinner = my_spin = true;
            hand_off->count_spin();
            const std::uint32_t seen = epoch.load(std::memory_order_relaxed);
            lock.unlock();
            const bool found = spin_until(
                hand_off->budget(), [this, seen] { return epoch.load(std::memory_order_relaxed) != seen; }, &beat);
            lock.lock();
            spins.record(found);
            if ((!queue.empty() && !paused) || stopping) continue;
            spinner = my_spin = false;
        }
        ++idle;
        if (paused) quiet.notify_all();
        wake.wait(lock);
        --idle;
    }
    if (my_spin) spinner = false;
}

void ThreadPool::State::shut_down() noexcept {
    {
        std::lock_guard lock(mu);
        stopping = true;
        epoch.fetch_add(1, std::memory_order_relaxed);
    }
    wake.notify_all();
    for (auto& t : workers)
        if (t.joinable()) t.join();
    workers.clear();
}

namespace {

// Every live pool, so that a fork can quiet each one and a forked child reset
// each one.
std::mutex registry_mu;
ThreadPool* registry_head = nullptr;
std::once_flag fork_handlers_installed;

// How long a fork waits for a pool's running jobs to end. A job that blocks
// for longer (on something the forking thread holds, say) is left running:
// the fork then goes ahead as it would without the wait.
constexpr std::chrono::seconds kForkQuietLimit{2};

}  // namespace

ThreadPool::ThreadPool(std::size_t threads, HandOff* hand_off)
    : threads_(threads), hand_off_(hand_off), state_(std::make_unique<State>(hand_off)) {}

std::expected<std::unique_ptr<ThreadPool>, std::string> ThreadPool::create(std::size_t threads, HandOff* hand_off) {
    std::unique_ptr<ThreadPool> pool;
    try {
        std::call_once(fork_handlers_installed,
                       [] { pthread_atfork(&on_fork_prepare, &on_fork_parent, &on_fork_child); });
        pool.reset(new ThreadPool(threads, hand_off));
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
            s->epoch.fetch_add(1, std::memory_order_relaxed);
            // Invariant 3: a spinner that is running takes one job without
            // being woken; one that has lost its CPU (or is busy with a job)
            // would only delay it.
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
    if (s == nullptr) return;
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

// Invariant 8. The registry and each pool's lock stay held across the fork,
// so that the child sees them whole and no worker starts a job meanwhile;
// before that, every worker (but the forking thread, when a job forks) is
// let finish its job and fall asleep, so none is inside the allocator or any
// other lock when the child is made.
void ThreadPool::on_fork_prepare() noexcept {
    registry_mu.lock();
    const auto limit = std::chrono::steady_clock::now() + kForkQuietLimit;
    for (ThreadPool* p = registry_head; p != nullptr; p = p->next_) {
        State* s = p->state_.get();
        if (s == nullptr) continue;
        std::unique_lock lock(s->mu);
        s->paused = true;
        s->epoch.fetch_add(1, std::memory_order_relaxed);  // a spinner stops and sleeps
        const std::size_t awake_ok = current_pool == s ? 1 : 0;
        s->quiet.wait_until(lock, limit, [&] { return s->idle + awake_ok >= s->workers.size(); });
        (void)lock.release();  // unlocked after the fork, on both sides
    }
}

void ThreadPool::on_fork_parent() noexcept {
    for (ThreadPool* p = registry_head; p != nullptr; p = p->next_) {
        State* s = p->state_.get();
        if (s == nullptr) continue;
        s->paused = false;
        s->mu.unlock();
        s->wake.notify_all();  // jobs queued while paused
    }
    registry_mu.unlock();
}

// Only the forking thread exists in the child: the old state (its threads,
// its lock, held by this thread) is left untouched and leaked; a fresh one
// starts threads at the first job.
void ThreadPool::on_fork_child() noexcept {
    for (ThreadPool* p = registry_head; p != nullptr; p = p->next_) {
        (void)p->state_.release();
        try {
            p->state_ = std::make_unique<State>(p->hand_off_);
        } catch (...) {  // no memory: the pool runs its jobs in place
        }
    }
    current_pool = nullptr;
    registry_mu.unlock();
}

}  // namespace nuvrel_core
