// Throughput of the scoring hot paths over in-memory postings: BM25 term
// scoring, a boolean intersection and top-k collection.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "query/boolean.h"
#include "query/collector.h"
#include "query/term_scorer.h"
#include "support/query_mocks.h"

using namespace nuvrel_core;

namespace {

using Pair = std::pair<std::uint32_t, std::uint32_t>;

struct Skip {
    std::uint32_t first_doc, last_doc, offset;
};
struct List {
    std::uint32_t doc_count = 0;
    std::vector<Skip> skip_list;
    std::vector<std::vector<Pair>> blocks;
};
// A cursor over pre-decoded blocks of 128 postings, so the figures measure
// the scorer, not block decoding.
struct Cursor {
    std::vector<Pair> block;
    List list;
    std::size_t current_block = 0;
    std::size_t position = 0;
    bool exhausted = false;

    explicit Cursor(List l) : list(std::move(l)) {
        if (list.skip_list.empty()) exhausted = true;
        else load_block(0);
    }
    void load_block(std::size_t i) {
        if (i >= list.skip_list.size()) {
            exhausted = true;
            return;
        }
        current_block = i;
        position = 0;
        block.assign(list.blocks[i].begin(), list.blocks[i].end());
    }
};

List make_list(std::uint32_t n, std::uint32_t step) {
    List l;
    std::vector<Pair> cur;
    for (std::uint32_t i = 0; i < n; ++i) {
        cur.push_back({i * step, 1 + i % 7});
        if (cur.size() == 128 || i + 1 == n) {
            l.skip_list.push_back(Skip{cur.front().first, cur.back().first, 0});
            l.blocks.push_back(std::move(cur));
            cur.clear();
        }
    }
    l.doc_count = n;
    return l;
}

std::unique_ptr<Scorer> term(const List& l) {
    auto q = TermQuery::text(0, "t");
    return make_term_scorer<Cursor>(q, std::optional<List>(l), 10'000'000, 12.5f);
}

void BM_TermScoreTop10(benchmark::State& state) {
    const List l = make_list(static_cast<std::uint32_t>(state.range(0)), 3);
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
    const List a = make_list(n, 2);
    const List b = make_list(n, 3);
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
