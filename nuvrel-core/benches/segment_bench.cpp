// Term lookup in a cached dictionary block, posting-list decoding per
// posting, and document fetch from a cached store block.
#include <benchmark/benchmark.h>

#include <random>

#include <fmt/format.h>

#include "query/term_scorer.h"
#include "segment/store.h"
#include "structures/postings/posting.h"
#include "structures/sstable/sstable.h"
// The benchmark programs are built from one source each: take the builders in.
#include "support/segment_builder.cpp"
#include "support/test_util.cpp"

using namespace nuvrel_core;

namespace {

std::vector<std::string> dictionary_keys() {
    std::vector<std::string> keys;
    for (int i = 0; i < 20000; ++i) keys.push_back(nuvrel_test::term_key(static_cast<std::uint32_t>(i % 4), fmt::format("term{:06}", i)));
    return keys;
}

std::shared_ptr<AsyncSSTableReader> open_dictionary(const std::vector<std::string>& keys) {
    nuvrel_test::TermDictOptions o;
    o.entries_per_block = 64;
    nuvrel_test::TermDictBuilder b(o);
    std::uint32_t i = 0;
    for (const auto& k : keys) b.add(k, TermInfo::External{i, i * 100ull, 100}), ++i;
    auto r = nuvrel_test::run(AsyncSSTableReader::open(LazyFileHandle::from_bytes(OwnedBytes::from_vec(b.build())), 1024));
    return *r;
}

void BM_TermLookupCachedBlock(benchmark::State& state) {
    auto keys = dictionary_keys();
    auto reader = open_dictionary(keys);
    const std::string& key = keys[12345];
    (void)nuvrel_test::run(reader->get(key));  // the block is now cached
    for (auto _ : state) {
        auto v = nuvrel_test::run(reader->get(key));
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_TermLookupCachedBlock);

// The lookup without the runtime round trip: bloom, both searches, the cache
// hit and the block walk, driven on this thread.
void BM_TermLookupCachedBlockInline(benchmark::State& state) {
    auto keys = dictionary_keys();
    auto reader = open_dictionary(keys);
    const std::string& key = keys[12345];
    (void)nuvrel_test::run(reader->get(key));
    asio::io_context ctx;
    for (auto _ : state) {
        std::optional<TermInfo> out;
        asio::co_spawn(ctx, reader->get(key), [&](std::exception_ptr, IoResult<std::optional<TermInfo>> v) {
            if (v) out = *v;
        });
        ctx.restart();
        ctx.run();
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_TermLookupCachedBlockInline);

BlockPostingList big_list(std::uint32_t n, std::uint32_t max_gap) {
    std::mt19937 rng(1);
    std::vector<Posting> p;
    std::uint32_t d = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        d += 1 + rng() % max_gap;
        p.push_back({d, static_cast<std::uint32_t>(1 + rng() % 8)});
    }
    return BlockPostingList::from_posting_list(p);
}

// Walks every posting with the term scorer's advance(): block decode plus the cursor.
void BM_PostingDecodeAdvance(benchmark::State& state) {
    const auto list = big_list(1 << 20, static_cast<std::uint32_t>(state.range(0)));
    Bm25Weight weight;
    weight.idf = 1.0f;
    weight.avg_field_length = 1.0f;
    std::uint64_t total = 0;
    for (auto _ : state) {
        BasicTermScorer<BlockPostingIterator> s(BlockPostingIterator(list), weight);
        float sum = 0;
        for (auto d = s.doc(); d != TERMINATED; d = s.advance()) sum += s.score();
        benchmark::DoNotOptimize(sum);
        total += list.doc_count;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(total));
    state.counters["ns_per_posting"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PostingDecodeAdvance)->Arg(100)->Arg(100000);

// Block decode alone.
void BM_PostingDecodeBlocks(benchmark::State& state) {
    const auto list = big_list(1 << 20, static_cast<std::uint32_t>(state.range(0)));
    BlockPostingIterator it(list);
    std::uint64_t total = 0;
    for (auto _ : state) {
        for (std::size_t b = 0; b < it.list.skip_list.size(); ++b) {
            it.load_block(b);
            benchmark::DoNotOptimize(it.block.data());
        }
        total += list.doc_count;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(total));
    state.counters["ns_per_posting"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PostingDecodeBlocks)->Arg(100)->Arg(100000);

std::shared_ptr<AsyncStoreReader> open_store() {
    nuvrel_test::StoreBuilder b(nuvrel_test::StoreOptions{16, {}});
    for (int i = 0; i < 1024; ++i)
        b.add(fmt::format(R"({{"field_values": [[0, {{"text": "document number {} with some body text"}}], [1, {{"u64": {}}}]]}})", i, i));
    return *nuvrel_test::run(AsyncStoreReader::open(LazyFileHandle::from_bytes(OwnedBytes::from_vec(b.build())), 256));
}

// Fetch and cut the last record of a cached 16-document block.
void BM_StoreFetchRecordCached(benchmark::State& state) {
    auto store = open_store();
    (void)nuvrel_test::run(store->get_record(31));
    for (auto _ : state) {
        auto rec = nuvrel_test::run(store->get_record(31));
        benchmark::DoNotOptimize(rec);
    }
}
BENCHMARK(BM_StoreFetchRecordCached);

// The same with the document parsed (the whole fetch of a document).
void BM_StoreGetDocumentCached(benchmark::State& state) {
    auto store = open_store();
    auto first = nuvrel_test::run(store->get(31));
    if (!first) {
        state.SkipWithError(first.error().to_string().c_str());
        return;
    }
    for (auto _ : state) {
        auto doc = nuvrel_test::run(store->get(31));
        benchmark::DoNotOptimize(doc);
    }
}
BENCHMARK(BM_StoreGetDocumentCached);

}  // namespace

BENCHMARK_MAIN();
