// A coroutine run as one job of the blocking pool: its blocking work runs in
// place on one pool thread, never on the caller's, nested runs included and
// on a pool of one thread; values, errors and exceptions come back as if the
// coroutine had been awaited directly.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "error.h"
#include "runtime/on_blocking_pool.h"
#include "runtime/runtime.h"

using namespace nuvrel_core;

namespace {

using Threads = std::vector<std::thread::id>;

// The threads that `jobs` blocking jobs ran on, then those of a nested run.
Task<Threads> where_jobs_run(int jobs, int nested_jobs) {
    Threads seen;
    for (int i = 0; i < jobs; ++i) {
        auto r = co_await spawn_blocking([]() -> IoResult<std::thread::id> { return std::this_thread::get_id(); });
        seen.push_back(r ? *r : std::thread::id());
    }
    if (nested_jobs > 0) {
        Task<Threads> nested = run_on_blocking_pool(where_jobs_run(nested_jobs, 0));
        Threads inner = co_await std::move(nested);
        seen.insert(seen.end(), inner.begin(), inner.end());
    }
    co_return seen;
}

// A wait on a pool thread that waits for the pool shows as a hang: a
// deadline ends the process instead.
template <class F>
auto within_a_minute(F fn) {
    auto run = std::async(std::launch::async, std::move(fn));
    if (run.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        std::fprintf(stderr, "blocking-pool job: no progress within 60s\n");
        std::abort();
    }
    return run.get();
}

TEST(BlockingPoolJobConcurrency, BlockingWorkRunsInPlaceOnOnePoolThread) {
    for (std::size_t pool : {1u, 4u}) {
        auto rt = Runtime::create(1, pool);
        ASSERT_TRUE(rt.has_value()) << rt.error();
        for (int round = 0; round < 20; ++round) {
            const auto [caller, seen] = within_a_minute([&] {
                return std::pair((std::this_thread::get_id()),
                                 (*rt)->block_on(run_on_blocking_pool(where_jobs_run(3, 2))));
            });
            ASSERT_EQ(seen.size(), 5u);
            EXPECT_NE(seen[0], caller) << "pool of " << pool;
            EXPECT_NE(seen[0], std::thread::id()) << "pool of " << pool;
            for (const std::thread::id& t : seen) EXPECT_EQ(t, seen[0]) << "pool of " << pool;
        }
    }
}

Task<Result<int>> outcome_of(int kind) {
    co_await spawn_blocking([]() -> IoResult<int> { return 0; });
    switch (kind) {
        case 0: co_return 42;
        case 1: co_return std::unexpected(Error::corruption("Invalid segment ID: zz"));
        case 2: throw std::bad_alloc();
        default: throw std::runtime_error("thrown inside");
    }
}

// What block_on gives back: the value or error text, or the exception's type
// and message.
std::string awaited(Runtime& rt, Task<Result<int>> task) {
    try {
        Result<int> r = rt.block_on(std::move(task));
        return r ? std::to_string(*r) : r.error().to_string();
    } catch (const std::exception& e) {
        return std::string(typeid(e).name()) + ": " + e.what();
    }
}

TEST(BlockingPoolJobConcurrency, OutcomesAreThoseOfTheTaskAwaitedDirectly) {
    auto rt = Runtime::create(1, 2);
    ASSERT_TRUE(rt.has_value()) << rt.error();
    const std::vector<std::string> expected = {
        "42",
        "Index corruption: Invalid segment ID: zz",
        std::string(typeid(std::bad_alloc).name()) + ": " + std::bad_alloc().what(),
        std::string(typeid(std::runtime_error).name()) + ": thrown inside",
    };
    for (int kind = 0; kind < 4; ++kind) {
        EXPECT_EQ(awaited(**rt, outcome_of(kind)), expected[kind]) << kind;
        EXPECT_EQ(awaited(**rt, run_on_blocking_pool(outcome_of(kind))), expected[kind]) << kind;
    }
}

}  // namespace
