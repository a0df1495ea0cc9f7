// Runs a whole coroutine as one job of the blocking pool.
//
// A coroutine that awaits many short blocking jobs one after another (the
// reads of an index open) pays a hand-off between its caller and the pool
// for each, and a hand-off to a parked thread costs far more than the read.
// Here the coroutine is driven to completion on one pool thread instead, on
// an io_context of the job's own, and the caller waits once. No runtime is
// current on a pool thread, so every spawn_blocking inside runs in place, on
// that same thread: the blocking work stays on the pool, in the same order,
// one step after another, and the job never waits for another pool thread
// (a pool of one thread suffices, and a nested call runs in place as well).
//
// The task's value comes back unchanged; what it throws is thrown again in
// the awaiting coroutine, as if it had run there.
#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "runtime/runtime.h"

namespace nuvrel_core {

template <class T>
Task<T> run_on_blocking_pool(Task<T> task) {
    struct Outcome {
        std::optional<T> value;
        std::exception_ptr failure;
    };
    // Catches everything itself: the job never fails on its own account.
    auto drive = [task = std::move(task)]() mutable -> IoResult<Outcome> {
        Outcome out;
        try {
            asio::io_context ctx(1);
            asio::co_spawn(ctx, std::move(task), [&out](std::exception_ptr e, T value) {
                if (e) out.failure = e;
                else out.value.emplace(std::move(value));
            });
            ctx.run();
            // Everything it awaits completes on this context; a task left
            // unfinished would be a fault here, not a value to make up.
            if (!out.value && !out.failure) throw std::logic_error("blocking-pool task did not finish");
        } catch (...) {
            out.failure = std::current_exception();
        }
        return out;
    };
    IoResult<Outcome> done = co_await spawn_blocking(std::move(drive));
    if (!done) throw std::runtime_error(done.error().to_string());
    if (done->failure) std::rethrow_exception(done->failure);
    co_return std::move(*done->value);
}

}  // namespace nuvrel_core
