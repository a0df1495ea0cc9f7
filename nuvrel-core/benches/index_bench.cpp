// Whole-path figures over segments on disk: a term and a two-term boolean
// query through search_segment (lookup, posting read, decode, BM25, top-k)
// on a warm page cache, and opening an index of 100 segments.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "count_allocations.h"
#include "index/index.h"
#include "query/boolean.h"
#include "query/collector.h"
#include "query/term.h"
// The benchmark programs are built from one source each: take the builders in.
#include "support/segment_builder.cpp"
#include "support/test_util.cpp"

using namespace nuvrel_core;
using nuvrel_test::run;

namespace {

const char* kSchema =
    R"({"fields": [{"name": "body", "field_type": "text", "indexed": true, "stored": true}],)"
    R"( "name_to_field": {"body": 0}})";

std::vector<Posting> every(std::uint32_t step, std::uint32_t n_docs) {
    std::vector<Posting> p;
    for (std::uint32_t d = 0; d < n_docs; d += step) p.push_back({d, 1 + d % 7});
    return p;
}

void write_list(const nuvrel_test::TempDir& dir, std::uint32_t segments) {
    std::string json = "[";
    for (std::uint32_t i = 0; i < segments; ++i) json += fmt::format("{}\"{}\"", i ? "," : "", SegmentId{i + 1}.to_hex());
    dir.write("segments.json", json + "]");
}

// One segment of a million documents: "all" in every one, "even" in every
// second, "third" in every third; "tenth" (100,000 postings) and "ninety7"
// (10,310) for the heavy classes of the module benchmark, a ~100k term and
// AND/OR of a ~10k and a ~100k term.
struct BigSegment {
    static constexpr std::uint32_t kDocs = 1'000'000;
    nuvrel_test::TempDir dir;
    std::shared_ptr<Index> index;

    BigSegment() {
        dir.write("schema.json", kSchema);
        nuvrel_test::SegmentBuilder b;
        b.set_num_docs(kDocs);
        b.add_field_stats(0, FieldStats{12ull * kDocs, kDocs});
        b.add_term(0, "all", every(1, kDocs));
        b.add_term(0, "even", every(2, kDocs));
        b.add_term(0, "third", every(3, kDocs));
        b.add_term(0, "tenth", every(10, kDocs));
        b.add_term(0, "ninety7", every(97, kDocs));
        b.write(dir, SegmentId{1});
        write_list(dir, 1);
        index = *run(Index::open(FsDirectory(dir.path()), IndexConfig::default_config()));
    }
};

BigSegment& big() {
    static BigSegment s;
    return s;
}

void search(benchmark::State& state, const Query& query, std::int64_t postings) {
    auto reader = big().index->segment_readers().at(0);
    auto warm = run(search_segment(reader, query, 10));  // page cache and dictionary block warm
    if (!warm) state.SkipWithError(warm.error().to_string().c_str());
    for (auto _ : state) {
        auto r = run(search_segment(reader, query, 10));
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * postings);
    state.counters["ns_per_posting"] = benchmark::Counter(
        static_cast<double>(state.iterations() * postings), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_SearchTerm1M(benchmark::State& state) {
    const TermQuery q = TermQuery::text(0, "all");
    search(state, q, BigSegment::kDocs);
}
BENCHMARK(BM_SearchTerm1M)->Unit(benchmark::kMillisecond)->UseRealTime();

// Two terms, both must or both should; `postings`: what both lists hold.
void search_pair(benchmark::State& state, bool must, const char* a, const char* b, std::int64_t postings) {
    BooleanQuery q;
    for (const char* t : {a, b}) {
        auto clause = std::make_unique<TermQuery>(TermQuery::text(0, t));
        if (must) q.add_must(std::move(clause));
        else q.add_should(std::move(clause));
    }
    search(state, q, postings);
}

// 500,000 + 333,334 postings.
void BM_SearchBooleanShould(benchmark::State& state) { search_pair(state, false, "even", "third", 833'334); }
BENCHMARK(BM_SearchBooleanShould)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_SearchBooleanMust(benchmark::State& state) { search_pair(state, true, "even", "third", 833'334); }
BENCHMARK(BM_SearchBooleanMust)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SearchTerm100k(benchmark::State& state) {
    const TermQuery q = TermQuery::text(0, "tenth");
    search(state, q, 100'000);
}
BENCHMARK(BM_SearchTerm100k)->Unit(benchmark::kMicrosecond)->UseRealTime();

// 100,000 + 10,310 postings.
void BM_SearchMust10k100k(benchmark::State& state) { search_pair(state, true, "tenth", "ninety7", 110'310); }
BENCHMARK(BM_SearchMust10k100k)->Unit(benchmark::kMicrosecond)->UseRealTime();
void BM_SearchShould10k100k(benchmark::State& state) { search_pair(state, false, "tenth", "ninety7", 110'310); }
BENCHMARK(BM_SearchShould10k100k)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The engine's side of one small search and one document fetch, to set
// against the same calls through the Python module (bench_module.py builds
// the same shape: 1,000 documents, a term in 10 of them).
struct SmallIndex {
    nuvrel_test::TempDir dir;
    std::shared_ptr<Index> index;

    SmallIndex() {
        dir.write("schema.json", kSchema);
        nuvrel_test::SegmentBuilder b;
        for (std::uint32_t d = 0; d < 1000; ++d)
            b.add_document(fmt::format(R"({{"field_values": [[0, {{"text": "document {} common"}}]]}})", d));
        b.add_term(0, "rare", every(100, 1000));
        b.add_term(0, "few", every(400, 1000));  // 3 documents: kept inline in the dictionary
        b.add_term(0, "common", every(1, 1000));
        b.add_field_stats(0, FieldStats{3000, 1000});
        b.write(dir, SegmentId{1});
        write_list(dir, 1);
        index = *run(Index::open(FsDirectory(dir.path()), IndexConfig::default_config()));
    }
};

// A rare term, its list read from ".post" (10 documents) or kept inline (3).
void BM_EngineSearchSmallResult(benchmark::State& state, const char* term) {
    SmallIndex s;
    const std::size_t before = g_allocations.load();
    for (auto _ : state) {
        const TermQuery q = TermQuery::text(0, term);
        for (const auto& reader : s.index->segment_readers()) {
            auto r = run(search_segment(reader, q, 10));
            benchmark::DoNotOptimize(r);
        }
    }
    state.counters["allocs_per_query"] =
        static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations());
}
BENCHMARK_CAPTURE(BM_EngineSearchSmallResult, external, "rare")->UseRealTime();
BENCHMARK_CAPTURE(BM_EngineSearchSmallResult, inline, "few")->UseRealTime();

void BM_EngineDocWarm(benchmark::State& state) {
    SmallIndex s;
    (void)run(s.index->doc(500));
    for (auto _ : state) {
        auto d = run(s.index->doc(500));
        benchmark::DoNotOptimize(d);
    }
}
BENCHMARK(BM_EngineDocWarm)->UseRealTime();

// 100 segments of 1,000 documents, 50 terms each. heap_bytes: the heap the
// opened index holds.
void BM_Open100Segments(benchmark::State& state) {
    nuvrel_test::TempDir dir;
    dir.write("schema.json", kSchema);
    for (std::uint32_t s = 0; s < 100; ++s) {
        nuvrel_test::SegmentBuilder b;
        for (std::uint32_t t = 0; t < 50; ++t) b.add_term(0, fmt::format("term{}", t), every(t + 1, 1000));
        for (std::uint32_t d = 0; d < 1000; ++d)
            b.add_document(fmt::format(R"({{"field_values": [[0, {{"text": "document {} of {}"}}]]}})", d, s));
        b.add_field_stats(0, FieldStats{12'000, 1000});
        b.write(dir, SegmentId{s + 1});
    }
    write_list(dir, 100);
    double heap = 0;
    for (auto _ : state) {
        const std::size_t before = mallinfo2().uordblks;
        auto index = run(Index::open(FsDirectory(dir.path()), IndexConfig::default_config()));
        if (!index) state.SkipWithError(index.error().to_string().c_str());
        heap = static_cast<double>(mallinfo2().uordblks - before);
        benchmark::DoNotOptimize(index);
    }
    state.counters["heap_bytes"] = heap;
}
BENCHMARK(BM_Open100Segments)->Unit(benchmark::kMillisecond)->UseRealTime();

// The module benchmark's corpus of 1,000,000 documents in 8 segments
// (scripts/bench.sh keeps it under build/bench/zipf-1000000-8/index), when
// NUVREL_BENCH_INDEX names its index directory: opening it, and fetching
// documents at random, back to back or with a pause between calls.
const char* corpus_index() { return std::getenv("NUVREL_BENCH_INDEX"); }

void BM_CorpusOpen(benchmark::State& state) {
    if (corpus_index() == nullptr) return state.SkipWithError("NUVREL_BENCH_INDEX is not set");
    for (auto _ : state) {
        auto index = run(Index::open(FsDirectory(corpus_index()), IndexConfig::default_config()));
        if (!index) return state.SkipWithError(index.error().to_string().c_str());
    }
}
BENCHMARK(BM_CorpusOpen)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CorpusRandomDoc(benchmark::State& state) {
    if (corpus_index() == nullptr) return state.SkipWithError("NUVREL_BENCH_INDEX is not set");
    auto index = run(Index::open(FsDirectory(corpus_index()), IndexConfig::default_config()));
    if (!index) return state.SkipWithError(index.error().to_string().c_str());
    std::uint32_t total = 0;
    for (const auto& reader : (*index)->segment_readers()) total += reader->num_docs();
    std::mt19937 rng(1);
    const auto pause = std::chrono::microseconds(state.range(0));
    for (auto _ : state) {
        if (pause.count() != 0) {
            state.PauseTiming();
            std::this_thread::sleep_for(pause);
            state.ResumeTiming();
        }
        auto d = run((*index)->doc(static_cast<std::uint32_t>(rng() % total)));
        if (!d || !*d) return state.SkipWithError("document missing");
        benchmark::DoNotOptimize(d);
    }
}
BENCHMARK(BM_CorpusRandomDoc)->ArgName("pause_us")->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
