// The fixed cost of one search over a segment whose posting list is read
// from its .post file: the read goes to the blocking pool and its completion
// comes back to the waiting caller. Measured back to back (also with 5 µs of
// the caller's own work between calls, as a loop in Python has), paced 1 ms and
// 10 ms apart (the pool has gone idle between calls), and with every CPU
// kept busy by other threads; each with the runtime's spin budget in
// microseconds (spin_us; 0: both sides park only). The spin and park-only
// runs alternate in one process, so that a shared machine's load falls on
// both alike. cpu_us: CPU time of the whole process (caller and pool
// threads) per call, from getrusage (not with busy=1: it would count the
// burners); switches: context switches of the process per call.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "index/index.h"
#include "query/collector.h"
#include "query/term.h"
#include "runtime/runtime.h"
#include "runtime/thread_pool.h"
// The benchmark programs are built from one source each: take the builders in.
#include "support/segment_builder.cpp"
#include "support/test_util.cpp"

using namespace nuvrel_core;
using nuvrel_test::run;

namespace {

struct OneSegment {
    nuvrel_test::TempDir dir;
    std::shared_ptr<Index> index;

    OneSegment() {
        dir.write("schema.json",
                  R"({"fields": [{"name": "body", "field_type": "text", "indexed": true, "stored": true}],)"
                  R"( "name_to_field": {"body": 0}})");
        nuvrel_test::SegmentBuilder b;
        std::vector<Posting> postings;
        for (std::uint32_t d = 0; d < 1000; d += 10) postings.push_back({d, 1 + d % 3});
        b.set_num_docs(1000);
        b.add_term(0, "word", postings);  // 100 postings: never inline
        b.add_field_stats(0, FieldStats{3000, 1000});
        b.write(dir, SegmentId{1});
        dir.write("segments.json", fmt::format("[\"{}\"]", SegmentId{1}.to_hex()));
        index = *run(Index::open(FsDirectory(dir.path()), IndexConfig::default_config()));
    }
};

struct Usage {
    double cpu_seconds;
    double context_switches;
};

Usage usage() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto s = [](timeval t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
    return {s(u.ru_utime) + s(u.ru_stime), static_cast<double>(u.ru_nvcsw + u.ru_nivcsw)};
}

Runtime& runtime_with_spin(std::int64_t spin_us) {
    static std::unique_ptr<Runtime> spin = *Runtime::create(2, 8, {.spin = kDefaultSpin});
    static std::unique_ptr<Runtime> park = *Runtime::create(2, 8, {.spin = std::chrono::microseconds(0)});
    static std::unique_ptr<Runtime> other;
    if (spin_us == kDefaultSpin.count()) return *spin;
    if (spin_us == 0) return *park;
    other = *Runtime::create(2, 8, {.spin = std::chrono::microseconds(spin_us)});
    return *other;
}

// A pause shorter than this is the caller's own work between two calls (a
// loop in Python spends a few microseconds there), done on its CPU; a longer
// one is a sleep.
constexpr std::chrono::microseconds kSleptPause{100};

void work_for(std::chrono::microseconds d) {
    const auto until = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < until) {
    }
}

// Arguments: the pause between calls in microseconds, whether every CPU runs
// a busy thread meanwhile, and the spin budget.
void BM_OutOfLineSegment(benchmark::State& state) {
    static OneSegment seg;
    Runtime& rt = runtime_with_spin(state.range(2));
    const auto pause = std::chrono::microseconds(state.range(0));
    std::atomic<bool> stop{false};
    std::vector<std::thread> burners;
    if (state.range(1) != 0)
        for (std::size_t i = 0; i < available_cpus(); ++i)
            burners.emplace_back([&stop] {
                while (!stop.load(std::memory_order_relaxed)) {
                }
            });
    auto reader = seg.index->segment_readers().at(0);
    const TermQuery q = TermQuery::text(0, "word");
    (void)rt.block_on(search_segment(reader, q, 10));
    const Usage before = usage();
    for (auto _ : state) {
        if (pause >= kSleptPause) std::this_thread::sleep_for(pause);
        else work_for(pause);
        auto t0 = std::chrono::steady_clock::now();
        auto r = rt.block_on(search_segment(reader, q, 10));
        auto t1 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(r);
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    const Usage after = usage();
    stop = true;
    for (auto& t : burners) t.join();
    const auto n = static_cast<double>(state.iterations());
    if (state.range(1) == 0) state.counters["cpu_us"] = (after.cpu_seconds - before.cpu_seconds) * 1e6 / n;
    state.counters["switches"] = (after.context_switches - before.context_switches) / n;
}
// Iterations are fixed: the manual clock counts only the calls, so a time
// goal would make the paced runs sleep for minutes. Each case runs spin then
// park-only, three rounds in all (the medians are what to compare).
void cases(benchmark::internal::Benchmark* b) {
    b->ArgNames({"pause_us", "busy", "spin_us"});
    for (int round = 0; round < 3; ++round)
        for (std::int64_t spin : {static_cast<std::int64_t>(kDefaultSpin.count()), std::int64_t{0}})
            b->Args({0, 0, spin})->Args({5, 0, spin});
}
BENCHMARK(BM_OutOfLineSegment)->Apply(cases)->Iterations(20000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OutOfLineSegment)
    ->Apply([](benchmark::internal::Benchmark* b) {
        b->ArgNames({"pause_us", "busy", "spin_us"});
        for (int round = 0; round < 3; ++round)
            for (std::int64_t spin : {static_cast<std::int64_t>(kDefaultSpin.count()), std::int64_t{0}})
                b->Args({1000, 0, spin})->Args({10000, 0, spin})->Args({0, 1, spin});
    })
    ->Iterations(500)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
