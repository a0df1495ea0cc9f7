// The hand-off between callers waiting in block_on and the blocking pool,
// under many concurrent waiters, a saturated pool, and calls paced so that
// both sides keep passing between spinning and sleeping, and in a forked
// child. A lost wake-up shows as a hang: a deadline ends the process
// instead of letting it stall.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <ostream>
#include <thread>
#include <vector>

#include "runtime/runtime.h"

using namespace nuvrel_core;
using namespace std::chrono_literals;

namespace {

// Runs fn on a thread of its own; one that has not ended in time has lost a
// wake-up, and the process aborts rather than hang.
void within(std::chrono::seconds limit, std::function<void()> fn) {
    auto run = std::async(std::launch::async, std::move(fn));
    if (run.wait_for(limit) == std::future_status::ready) return run.get();
    std::fprintf(stderr, "hand-off stress: no progress within %llds\n", static_cast<long long>(limit.count()));
    std::abort();
}

// Awaits `jobs` blocking jobs one after another, each taking `work`; the
// sum of their results.
Task<int> chain(int jobs, std::chrono::microseconds work) {
    int sum = 0;
    for (int i = 0; i < jobs; ++i) {
        auto r = co_await spawn_blocking([i, work]() -> IoResult<int> {
            if (work.count() > 0) std::this_thread::sleep_for(work);
            return i;
        });
        sum += r ? *r : -1000;
    }
    co_return sum;
}

struct HandOffCase {
    const char* name;
    std::size_t pool_threads;
    int callers;
    int calls;
    std::chrono::microseconds work;   // time each blocking job takes
    std::chrono::microseconds pause;  // between one caller's calls (0: back to back)
};

// Rows print as their names in test listings and failures, not as bytes.
void PrintTo(const HandOffCase& c, std::ostream* os) { *os << c.name; }

class RuntimeHandOff : public testing::TestWithParam<HandOffCase> {};

TEST_P(RuntimeHandOff, EveryWaiterIsWokenWithItsResult) {
    const HandOffCase& c = GetParam();
    auto rt = Runtime::create(1, c.pool_threads);
    ASSERT_TRUE(rt.has_value()) << rt.error();
    constexpr int kJobs = 4;
    within(120s, [&] {
        std::vector<std::thread> callers;
        for (int t = 0; t < c.callers; ++t)
            callers.emplace_back([&, t] {
                for (int n = 0; n < c.calls; ++n) {
                    if (c.pause.count() > 0) std::this_thread::sleep_for(c.pause * ((n + t) % 3));
                    const int got = (*rt)->block_on(chain(kJobs, c.work));
                    if (got != kJobs * (kJobs - 1) / 2) ADD_FAILURE() << "caller " << t << ", call " << n << ": " << got;
                }
            });
        for (auto& th : callers) th.join();
    });
}

INSTANTIATE_TEST_SUITE_P(
    Concurrency, RuntimeHandOff,
    testing::Values(HandOffCase{"ManyWaitersBackToBack", 4, 16, 400, 0us, 0us},
                    HandOffCase{"PoolSaturated", 1, 12, 60, 50us, 0us},
                    HandOffCase{"PacedAcrossSpinAndSleep", 2, 8, 150, 0us, 40us},
                    HandOffCase{"OneWaiterPaced", 4, 1, 300, 0us, 60us}),
    [](const testing::TestParamInfo<HandOffCase>& i) { return std::string(i.param.name); });

// A forked child has none of the pools' threads; its blocking jobs must run
// all the same, on threads the child starts. alarm() ends a hung child.
TEST(RuntimeFork, ChildRunsBlockingJobs) {
    auto rt = Runtime::create(1, 2);
    ASSERT_TRUE(rt.has_value()) << rt.error();
    ASSERT_EQ((*rt)->block_on(chain(4, 0us)), 6);  // the pool's threads are running
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(60);
        ::_exit((*rt)->block_on(chain(4, 0us)) == 6 && (*rt)->block_on(chain(8, 10us)) == 28 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ((*rt)->block_on(chain(4, 0us)), 6);  // and the parent's pool is untouched
}

}  // namespace
