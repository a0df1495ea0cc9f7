// Throughput of the scoring hot paths over in-memory, pre-decoded postings
// (so the figures measure the scorers, not block decoding): BM25 term
// scoring, a boolean intersection and top-k collection.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "query/boolean.h"
#include "query/collector.h"
#include "query/term_scorer.h"
#include "support/fake_postings.h"

using namespace nuvrel_core;

namespace {

using nuvrel_test::FakeCursor;
using nuvrel_test::FakeList;
using nuvrel_test::FakeSkip;
using nuvrel_test::PostingPair;

FakeList make_list(std::uint32_t n, std::uint32_t step) {
    FakeList l;
    std::vector<PostingPair> cur;
    for (std::uint32_t i = 0; i < n; ++i) {
        cur.push_back({i * step, 1 + i % 7});
        if (cur.size() == 128 || i + 1 == n) {
            l.skip_list.push_back(FakeSkip{cur.front().first, cur.back().first, 0});
            l.blocks.push_back(std::move(cur));
            cur.clear();
        }
    }
    l.doc_count = n;
    return l;
}

std::unique_ptr<Scorer> term(const FakeList& l) {
    auto q = TermQuery::text(0, "t");
    return make_term_scorer<FakeCursor>(q, std::optional<FakeList>(l), 10'000'000, 12.5f);
}

void BM_TermScoreTop10(benchmark::State& state) {
    const FakeList l = make_list(static_cast<std::uint32_t>(state.range(0)), 3);
    for (auto _ : state) {
        auto s = term(l);
        auto r = collect_top_k(*s, 10);
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TermScoreTop10)->Arg(100'000)->Arg(1'000'000);

void BM_BooleanMustTop10(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    const FakeList a = make_list(n, 2);
    const FakeList b = make_list(n, 3);
    for (auto _ : state) {
        BooleanScorer::Scorers must;
        must.push_back(term(a));
        must.push_back(term(b));
        BooleanScorer s(std::move(must), {}, {});
        auto r = collect_top_k(s, 10);
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * 2);
}
BENCHMARK(BM_BooleanMustTop10)->Arg(100'000);

void BM_CollectTop1000(benchmark::State& state) {
    for (auto _ : state) {
        TopKCollector c(1000);
        for (std::uint32_t d = 0; d < 1'000'000; ++d) c.collect(d, static_cast<float>((d * 2654435761u) >> 8));
        auto r = std::move(c).into_sorted_results();
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * 1'000'000);
}
BENCHMARK(BM_CollectTop1000);

}  // namespace

BENCHMARK_MAIN();
