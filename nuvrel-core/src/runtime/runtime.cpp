#include "runtime/runtime.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "runtime/hand_off.h"

namespace nuvrel_core {

namespace {
thread_local Runtime* current_runtime = nullptr;

// The blocking pool serves file reads; callers hold it for one read at a
// time, so a modest fixed size suffices.
constexpr std::size_t kBlockingThreads = 8;
}  // namespace

Runtime::Enter::Enter(Runtime* rt) : prev_(current_runtime) { current_runtime = rt; }
Runtime::Enter::~Enter() { current_runtime = prev_; }

Runtime* Runtime::current() noexcept { return current_runtime; }

Runtime::Waiter& Runtime::waiter() noexcept {
    thread_local Waiter w;
    return w;
}

asio::io_context& Runtime::thread_context() {
    thread_local asio::io_context ctx(1);
    return ctx;
}

// How the caller waits, not what it does: the coroutine runs here until it
// awaits a blocking job, and the job runs on the blocking pool. The caller
// does no file-system work itself, and in the Python module it holds the
// interpreter lock throughout, spinning or asleep alike. When a spinning
// worker took its job, it first spins on the completion (hand_off.h,
// invariants 5-7), since a read usually completes within the budget and
// sleeping would cost a wake-up; otherwise, or when the spin fails, it sleeps
// in the context until the completion is posted, first waking a pool worker
// if the job has not even been taken (invariant 3).
void Runtime::drive(asio::io_context& ctx) {
    Waiter& w = waiter();
    ctx.restart();
    for (;;) {
        const std::uint32_t seen = w.done.load(std::memory_order_acquire);
        ctx.poll();
        if (ctx.stopped()) {
            // Invariant 2: no work left, the coroutine is done, but the job
            // that counted the context down may still be on its way to say so.
            for (unsigned i = 1; w.done.load(std::memory_order_acquire) != w.started; ++i)
                if (i % kPausesPerYield == 0) sched_yield();
                else cpu_relax();
            return;
        }
        const bool counted_on_spinner = w.job_taken_at_once;
        thread_local SpinHistory history;
        if (counted_on_spinner && hand_off_->spin_allowed() && history.should_spin()) {
            hand_off_->count_spin();
            const bool ok = spin_until(hand_off_->budget(),
                                       [&] { return w.done.load(std::memory_order_acquire) != seen; });
            history.record(ok);
            if (ok) continue;
        }
        if (counted_on_spinner) blocking_->nudge();
        ctx.run_one();
    }
}

Runtime::Runtime(std::unique_ptr<HandOff> hand_off, std::unique_ptr<ThreadPool> workers,
                 std::unique_ptr<ThreadPool> blocking)
    : hand_off_(std::move(hand_off)), workers_(std::move(workers)), blocking_(std::move(blocking)) {}

// Pools stop in reverse order of need: no blocking job outlives its pool.
Runtime::~Runtime() {
    blocking_.reset();
    workers_.reset();
}

std::expected<std::unique_ptr<Runtime>, std::string> Runtime::create(std::size_t workers, std::size_t blocking,
                                                                     HandOffOptions options) {
    std::unique_ptr<HandOff> hand_off;
    try {
        hand_off = std::make_unique<HandOff>(std::move(options));
    } catch (const std::exception& e) {
        return std::unexpected(std::string(e.what()));
    }
    auto worker_pool = ThreadPool::create(workers);
    if (!worker_pool) return std::unexpected(worker_pool.error());
    auto blocking_pool = ThreadPool::create(blocking, hand_off.get());
    if (!blocking_pool) return std::unexpected(blocking_pool.error());
    return std::unique_ptr<Runtime>(
        new Runtime(std::move(hand_off), std::move(*worker_pool), std::move(*blocking_pool)));
}
namespace {

// The worker count as an unsigned integer in the usual textual form: one
// optional "+", then decimal digits; the texts name what went wrong.
std::expected<std::size_t, std::string> parse_count(std::string_view s) {
    if (s.empty()) return std::unexpected(std::string("cannot parse integer from empty string"));
    std::string_view digits = s.front() == '+' ? s.substr(1) : s;
    if (digits.empty()) return std::unexpected(std::string("invalid digit found in string"));
    std::size_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::unexpected(std::string("invalid digit found in string"));
        std::size_t d = static_cast<std::size_t>(c - '0');
        if (n > (SIZE_MAX - d) / 10) return std::unexpected(std::string("number too large to fit in target type"));
        n = n * 10 + d;
    }
    return n;
}

}  // namespace

std::expected<std::unique_ptr<Runtime>, std::string> Runtime::create(HandOffOptions options) {
    std::size_t workers = available_cpus();
    if (const char* env = std::getenv("TOKIO_WORKER_THREADS")) {
        auto n = parse_count(env);
        if (!n)
            return std::unexpected(
                fmt::format("\"TOKIO_WORKER_THREADS\" must be usize, error: {}, value: {}", n.error(), env));
        if (*n == 0) return std::unexpected(std::string("\"TOKIO_WORKER_THREADS\" cannot be set to 0"));
        workers = *n;
    }
    return create(workers, kBlockingThreads, std::move(options));
}

}  // namespace nuvrel_core
