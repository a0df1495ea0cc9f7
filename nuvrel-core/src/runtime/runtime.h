// The asynchronous runtime: a worker pool, a blocking pool for file-system
// work, and block_on, which drives a coroutine to completion on the calling
// thread. Engine coroutines reach the blocking pool of the runtime that is
// driving them through Runtime::current().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include <asio/any_io_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/dispatch.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "io_error.h"
#include "runtime/hand_off.h"
#include "runtime/thread_pool.h"

namespace nuvrel_core {

template <class T>
using Task = asio::awaitable<T>;

class Runtime {
public:
    // Worker threads: TOKIO_WORKER_THREADS when set (a positive integer),
    // else the CPU count. A bad setting or a thread that cannot start is an
    // error returned to the caller.
    // `options` sets how callers and the blocking pool wait for each other
    // (hand_off.h); a spin of 0 makes every wait park.
    static std::expected<std::unique_ptr<Runtime>, std::string> create(HandOffOptions options = {});
    static std::expected<std::unique_ptr<Runtime>, std::string> create(std::size_t workers, std::size_t blocking,
                                                                       HandOffOptions options = {});

    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    std::size_t worker_threads() const noexcept { return workers_->size(); }
    ThreadPool& blocking_pool() noexcept { return *blocking_; }
    const HandOff& hand_off() const noexcept { return *hand_off_; }

    // The runtime driving the coroutine on this thread, if any.
    static Runtime* current() noexcept;

    // A calling thread's side of the hand-off (hand_off.h, invariant 2): the
    // jobs it started (only it touches this) and those that have counted
    // themselves done (the word it spins on); and whether its latest job went
    // straight to a spinning pool worker (else a worker had to be woken, and
    // spinning through that wake-up would cost more CPU than sleeping).
    struct Waiter {
        std::atomic<std::uint32_t> done{0};
        std::uint32_t started = 0;
        bool job_taken_at_once = false;
    };
    static Waiter& waiter() noexcept;

    // Runs the coroutine to completion on the calling thread. Blocking work it
    // starts runs on the blocking pool and completes back on this thread.
    template <class T>
    T block_on(Task<T> task);

private:
    Runtime(std::unique_ptr<HandOff> hand_off, std::unique_ptr<ThreadPool> workers,
            std::unique_ptr<ThreadPool> blocking);

    class Enter;  // marks this runtime as current for the calling thread
    static asio::io_context& thread_context();
    // Runs the thread's context until the coroutine is done.
    void drive(asio::io_context& ctx);

    std::unique_ptr<HandOff> hand_off_;  // outlives the pools
    std::unique_ptr<ThreadPool> workers_;
    std::unique_ptr<ThreadPool> blocking_;
};

class Runtime::Enter {
public:
    explicit Enter(Runtime* rt);
    ~Enter();
    Enter(const Enter&) = delete;
    Enter& operator=(const Enter&) = delete;

private:
    Runtime* prev_;
};

template <class T>
T Runtime::block_on(Task<T> task) {
    Enter enter(this);
    asio::io_context& ctx = thread_context();
    std::optional<T> out;
    std::exception_ptr failure;
    asio::co_spawn(ctx, std::move(task), [&](std::exception_ptr e, T value) {
        if (e) failure = e;
        else out.emplace(std::move(value));
    });
    drive(ctx);
    if (failure) std::rethrow_exception(failure);
    return std::move(*out);
}

namespace detail {

template <class R, class F>
IoResult<R> invoke_catching(F& f) noexcept {
    try {
        return f();
    } catch (...) {
        return std::unexpected(IoError::other("background task failed"));
    }
}

}  // namespace detail

// Runs a blocking function (returning IoResult<R>) off the calling thread, on
// the blocking pool of the runtime driving this coroutine, and resumes the
// coroutine on its own executor. A function that throws becomes "background
// task failed". Without a runtime the function runs in place.
template <class F, class R = typename std::invoke_result_t<F&>::value_type>
Task<IoResult<R>> spawn_blocking(F fn) {
    auto initiate = [](auto handler, F f) {
        Runtime* rt = Runtime::current();
        auto work = asio::make_work_guard(handler);
        Runtime::Waiter& waiter = Runtime::waiter();
        auto job = [handler = std::move(handler), work = std::move(work), f = std::move(f), &waiter]() mutable {
            IoResult<R> result = detail::invoke_catching<R>(f);
            asio::post(work.get_executor(), [handler = std::move(handler), result = std::move(result)]() mutable {
                std::move(handler)(std::move(result));
            });
            // Letting go of the work may stop the caller's context. The
            // count that follows is the job's last touch of the caller's
            // state (hand_off.h, invariant 2).
            work.reset();
            waiter.done.fetch_add(1, std::memory_order_release);
        };
        ++waiter.started;
        if (rt == nullptr) {
            job();
            return;
        }
        waiter.job_taken_at_once = rt->blocking_pool().submit(std::move(job));
    };
    return asio::async_initiate<const asio::use_awaitable_t<>&, void(IoResult<R>)>(
        std::move(initiate), asio::use_awaitable, std::move(fn));
}

}  // namespace nuvrel_core
