// The hand-off between callers waiting in block_on and the blocking pool,
// under many concurrent waiters, a saturated pool, calls paced so that both
// sides keep passing between spinning and sleeping, a contention verdict
// that flips meanwhile, and in a forked child; each both with spinning (the
// CPUs said free, so the spin runs however busy the machine is) and parking
// only. A lost wake-up shows as a hang: a deadline ends the process instead
// of letting it stall. And the contention verdict: it follows the machine
// from free to busy and back, and stays sane when it cannot be sampled.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "runtime/runtime.h"
#include "support/test_util.h"

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

// What an injected contention source reports, settable while it is used.
enum class Cpus { Free, Busy, OneCpu, Fails, Throws };

struct FakeSource {
    std::shared_ptr<std::atomic<Cpus>> state = std::make_shared<std::atomic<Cpus>>(Cpus::Free);

    CpuSource source() const {
        return [state = state]() -> std::optional<CpuSample> {
            switch (state->load()) {
                case Cpus::Free: return CpuSample{8, 6.0};
                case Cpus::Busy: return CpuSample{8, 0.5};
                // Idle time comes in clock ticks and can overshoot a short
                // interval: one CPU is never two free.
                case Cpus::OneCpu: return CpuSample{1, 2.5};
                case Cpus::Fails: return std::nullopt;
                case Cpus::Throws: throw std::runtime_error("unreadable");
            }
            return std::nullopt;
        };
    }
};

struct HandOffCase {
    const char* name;
    std::size_t pool_threads;
    int callers;
    int calls;
    std::chrono::microseconds work;   // time each blocking job takes
    std::chrono::microseconds pause;  // between one caller's calls (0: back to back)
    bool flip = false;                // the contention verdict flips all along
};

enum class Waits { Spin, ParkOnly };

void PrintTo(const HandOffCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(Waits w, std::ostream* os) { *os << (w == Waits::Spin ? "spin" : "park only"); }

class RuntimeHandOff : public testing::TestWithParam<std::tuple<HandOffCase, Waits>> {};

TEST_P(RuntimeHandOff, EveryWaiterIsWokenWithItsResult) {
    const auto& [c, waits] = GetParam();
    FakeSource cpus;
    HandOffOptions options{.spin = waits == Waits::Spin ? kDefaultSpin : 0us,
                           .sample_every = std::chrono::milliseconds(c.flip ? 0 : 20),
                           .cpu_source = cpus.source()};
    auto rt = Runtime::create(1, c.pool_threads, options);
    ASSERT_TRUE(rt.has_value()) << rt.error();
    constexpr int kJobs = 4;
    within(120s, [&] {
        std::atomic<bool> done{false};
        std::thread flipper;
        if (c.flip)
            flipper = std::thread([&] {
                for (int i = 0; !done.load(); ++i) {
                    cpus.state->store(i % 2 == 0 ? Cpus::Busy : Cpus::Free);
                    std::this_thread::sleep_for(100us);
                }
            });
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
        done = true;
        if (flipper.joinable()) flipper.join();
    });
    // The spin path ran (or, parking only, never did).
    if (waits == Waits::Spin) EXPECT_GT((*rt)->hand_off().spins_started(), 0u);
    else EXPECT_EQ((*rt)->hand_off().spins_started(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Concurrency, RuntimeHandOff,
    testing::Combine(testing::Values(HandOffCase{"ManyWaitersBackToBack", 4, 16, 400, 0us, 0us},
                                     HandOffCase{"PoolSaturated", 1, 12, 60, 50us, 0us},
                                     HandOffCase{"PacedAcrossSpinAndSleep", 2, 8, 150, 0us, 40us},
                                     HandOffCase{"OneWaiterPaced", 4, 1, 300, 0us, 60us},
                                     HandOffCase{"VerdictFlipsMeanwhile", 2, 8, 300, 0us, 0us, true}),
                     testing::Values(Waits::Spin, Waits::ParkOnly)),
    [](const testing::TestParamInfo<std::tuple<HandOffCase, Waits>>& i) {
        return std::string(std::get<0>(i.param).name) + (std::get<1>(i.param) == Waits::Spin ? "_Spin" : "_ParkOnly");
    });

// Whether spins start once the verdict has followed the source: two calls
// make the pool take the new sample, and a pause lets spins begun on the old
// verdict end.
// Then, with spinning allowed, hand-offs until a spin starts (a spinner may
// be kept off its CPU for a while on a busy machine; every waiter's back-off
// skips at most 255 waits); else enough of them to be sure none does.
bool spins_start(Runtime& rt) {
    std::this_thread::sleep_for(2ms);  // the last sample is now stale
    (void)rt.block_on(chain(1, 0us));
    (void)rt.block_on(chain(1, 0us));
    std::this_thread::sleep_for(5ms);
    const bool allowed = rt.hand_off().spin_allowed();
    const std::uint64_t before = rt.hand_off().spins_started();
    for (int round = 0; round < (allowed ? 100 : 1); ++round) {
        for (int i = 0; i < 75; ++i) EXPECT_EQ(rt.block_on(chain(4, 0us)), 6);
        if (rt.hand_off().spins_started() != before) return true;
    }
    EXPECT_FALSE(allowed) << "allowed, yet no spin started";
    return false;
}

struct ContentionCase {
    const char* name;
    std::vector<std::pair<Cpus, bool>> phases;  // what the source says; whether the spin runs
};

void PrintTo(const ContentionCase& c, std::ostream* os) { *os << c.name; }

class RuntimeContention : public testing::TestWithParam<ContentionCase> {};

TEST_P(RuntimeContention, SpinFollowsTheLatestSample) {
    FakeSource cpus;
    auto rt = Runtime::create(1, 2, {.spin = 1ms, .sample_every = 1ms, .cpu_source = cpus.source()});
    ASSERT_TRUE(rt.has_value()) << rt.error();
    for (std::size_t i = 0; i < GetParam().phases.size(); ++i) {
        const auto [said, spins] = GetParam().phases[i];
        cpus.state->store(said);
        EXPECT_EQ(spins_start(**rt), spins) << "phase " << i;
    }
}

// A sample that cannot be taken counts as free (each spin still stops when
// it loses its CPU); one CPU never spins: the thread waited for would wait
// for the spinner's CPU.
INSTANTIATE_TEST_SUITE_P(
    Verdicts, RuntimeContention,
    testing::Values(ContentionCase{"FreeBusyFree", {{Cpus::Free, true}, {Cpus::Busy, false}, {Cpus::Free, true}}},
                    ContentionCase{"BusyFromTheStart", {{Cpus::Busy, false}, {Cpus::Free, true}}},
                    ContentionCase{"SourceFails", {{Cpus::Busy, false}, {Cpus::Fails, true}, {Cpus::Busy, false}}},
                    ContentionCase{"SourceThrows", {{Cpus::Busy, false}, {Cpus::Throws, true}}},
                    ContentionCase{"OneCpu", {{Cpus::OneCpu, false}, {Cpus::Free, true}, {Cpus::OneCpu, false}}}),
    [](const testing::TestParamInfo<ContentionCase>& i) { return std::string(i.param.name); });

// The system's source counts only the CPUs of the affinity mask, and fails
// on a file it cannot read or parse.
TEST(RuntimeContention, SystemSourceReadsOnlyTheCpusThisProcessMayUse) {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    ASSERT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
    nuvrel_test::TempDir dir;
    // Idle ticks of the allowed CPUs, and of one outside the mask that has
    // been idle all along (a whole-machine count would see it free).
    auto stat = [&](long allowed_idle) {
        std::string text = "cpu  1 2 3 4 5 6 7\n";
        for (int c = 0; c < CPU_SETSIZE; ++c)
            if (CPU_ISSET(c, &mask)) text += fmt::format("cpu{} 10 0 10 {} 0 0 0 0 0 0\n", c, allowed_idle);
        text += fmt::format("cpu{} 0 0 0 {} 0 0 0 0 0 0\nintr 1 2 3\n", CPU_SETSIZE - 1, allowed_idle * 1000000 + 5);
        dir.write("stat", text);
    };
    ASSERT_FALSE(CPU_ISSET(CPU_SETSIZE - 1, &mask));
    const std::string path = (dir.path() / "stat").string();
    CpuSource source = system_cpu_source(path);
    stat(100);
    EXPECT_FALSE(source().has_value());  // a first reading has nothing to compare with
    std::this_thread::sleep_for(5ms);
    auto busy = source();  // no idle time on any allowed CPU
    ASSERT_TRUE(busy.has_value());
    EXPECT_EQ(busy->cpus, static_cast<unsigned>(CPU_COUNT(&mask)));
    EXPECT_LT(busy->free_cpus, 1.0);
    stat(100 + 1000000);  // far more idle than the time elapsed
    auto idle = source();
    ASSERT_TRUE(idle.has_value());
    EXPECT_GT(idle->free_cpus, 2.0);

    for (const char* text : {"", "cpu  1 2 3\n", "cpu0 1 2\nintr 1\n", "cpu0 1 2 3 4 x 6\n"}) {
        dir.write("stat", text);
        CpuSource bad = system_cpu_source(path);
        (void)bad();
        EXPECT_FALSE(bad().has_value()) << "'" << text << "'";
    }
    CpuSource missing = system_cpu_source((dir.path() / "absent").string());
    (void)missing();
    EXPECT_FALSE(missing().has_value());
    CpuSource real = system_cpu_source();
    (void)real();
    std::this_thread::sleep_for(30ms);
    auto now = real();
    ASSERT_TRUE(now.has_value());
    EXPECT_EQ(now->cpus, static_cast<unsigned>(CPU_COUNT(&mask)));
}

// A process restricted to one CPU never spins, with the system's source.
TEST(RuntimeContention, ProcessOnOneCpuNeverSpins) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(60);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) ::_exit(2);
        auto rt = Runtime::create(1, 2, {.spin = 1ms, .sample_every = 1ms, .cpu_source = {}});
        if (!rt) ::_exit(3);
        bool spun = false;
        for (int round = 0; round < 3; ++round) spun = spun || spins_start(**rt);
        ::_exit(spun ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// A forked child has none of the pools' threads; its blocking jobs must run
// all the same, on threads the child starts, also when the parent's pool was
// busy at the fork: a pool thread inside the allocator at that moment would
// leave the allocator's lock held in the child (the sanitizers' allocator
// has no fork handler of its own). The pool is kept busy by jobs queued from
// this thread, not by other threads of the test: a thread of the program's
// own that allocates during a fork is not the pool's to quiet. alarm() ends a
// hung child.
struct ForkCase {
    const char* name;
    bool busy;  // the pool's threads are running jobs that allocate at the fork
    Waits waits;
};

void PrintTo(const ForkCase& c, std::ostream* os) { *os << c.name; }

class RuntimeFork : public testing::TestWithParam<ForkCase> {};

TEST_P(RuntimeFork, ChildRunsBlockingJobs) {
    const ForkCase& c = GetParam();
    FakeSource cpus;
    auto rt = Runtime::create(1, 2, {.spin = c.waits == Waits::Spin ? kDefaultSpin : 0us, .cpu_source = cpus.source()});
    ASSERT_TRUE(rt.has_value()) << rt.error();
    ASSERT_EQ((*rt)->block_on(chain(4, 0us)), 6);  // the pool's threads are running
    constexpr int kBusyJobs = 8;
    std::atomic<int> busy_done{0};
    for (int i = 0; c.busy && i < kBusyJobs; ++i)
        (*rt)->blocking_pool().submit([&busy_done] {
            const auto until = std::chrono::steady_clock::now() + 2ms;
            for (std::size_t n = 1; std::chrono::steady_clock::now() < until; ++n)
                std::vector<char>(64 + n % 4096).swap(*std::make_unique<std::vector<char>>());
            busy_done.fetch_add(1);
        });
    if (c.busy) std::this_thread::sleep_for(1ms);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(20);
        ::_exit((*rt)->block_on(chain(4, 0us)) == 6 && (*rt)->block_on(chain(8, 10us)) == 28 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    while (c.busy && busy_done.load() < kBusyJobs) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ((*rt)->block_on(chain(4, 0us)), 6);  // and the parent's pool is untouched
}

INSTANTIATE_TEST_SUITE_P(Fork, RuntimeFork,
                         testing::Values(ForkCase{"Idle", false, Waits::Spin}, ForkCase{"Busy", true, Waits::Spin},
                                         ForkCase{"BusyParkOnly", true, Waits::ParkOnly}),
                         [](const testing::TestParamInfo<ForkCase>& i) { return std::string(i.param.name); });

}  // namespace
