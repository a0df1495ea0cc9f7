// Term lookup in a cached dictionary block, posting-list decoding per
// posting, and document fetch from a cached store block.
#include <benchmark/benchmark.h>

#include <malloc.h>

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

// A store of 65,536 documents of ~250 bytes, 16 to a block (4,096 blocks),
// optionally compressed with a dictionary of 16 KB of such text.
std::vector<std::uint8_t> big_store_bytes(bool with_dictionary = false) {
    std::string dictionary;
    std::mt19937 dict_rng(11);
    while (with_dictionary && dictionary.size() < 16384) dictionary += fmt::format("w{} ", dict_rng() % 5000);
    nuvrel_test::StoreBuilder b(nuvrel_test::StoreOptions{16, dictionary});
    std::mt19937 rng(7);
    for (int i = 0; i < 65536; ++i) {
        std::string body;
        for (int w = 0; w < 30; ++w) body += fmt::format("w{} ", rng() % 5000);
        b.add(fmt::format(R"({{"field_values": [[0, {{"text": "{}"}}], [1, {{"u64": {}}}]]}})", body, i));
    }
    return b.build();
}

// A fetch from a block that is not cached: read, decompress, cut, parse;
// without and with a dictionary.
void BM_StoreGetDocumentUncached(benchmark::State& state) {
    auto store = *nuvrel_test::run(AsyncStoreReader::open(
        LazyFileHandle::from_bytes(OwnedBytes::from_vec(big_store_bytes(state.range(0) != 0))), 0));
    std::uint32_t doc = 0;
    for (auto _ : state) {
        auto d = nuvrel_test::run(store->get(doc));
        benchmark::DoNotOptimize(d);
        doc = (doc + 16 * 37 + 5) % 65536;  // another block every time
    }
}
BENCHMARK(BM_StoreGetDocumentUncached)->ArgName("dictionary")->Arg(0)->Arg(1);

// heap_per_block: the heap that one cached ~4 KB store block holds.
void BM_StoreCachedBlockHeap(benchmark::State& state) {
    const auto bytes = big_store_bytes();
    double per_block = 0;
    for (auto _ : state) {
        auto store = *nuvrel_test::run(AsyncStoreReader::open(LazyFileHandle::from_bytes(OwnedBytes::copy_of(bytes)), 256));
        const std::size_t before = mallinfo2().uordblks;
        for (std::uint32_t b = 0; b < 256; ++b) (void)nuvrel_test::run(store->get_record(b * 16));
        per_block = static_cast<double>(mallinfo2().uordblks - before) / 256;
    }
    state.counters["heap_per_block"] = per_block;
}
BENCHMARK(BM_StoreCachedBlockHeap)->Unit(benchmark::kMillisecond);

void BM_StoreOpen(benchmark::State& state) {
    const auto file = LazyFileHandle::from_bytes(OwnedBytes::from_vec(big_store_bytes()));
    for (auto _ : state) {
        auto s = nuvrel_test::run(AsyncStoreReader::open(file, 256));
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_StoreOpen);

// 200,000 keys of 13 bytes, 64 to a block, a sparse entry every 4 blocks, a bloom filter.
void BM_TermDictionaryOpen(benchmark::State& state) {
    nuvrel_test::TermDictOptions o;
    o.entries_per_block = 64;
    nuvrel_test::TermDictBuilder b(o);
    for (std::uint32_t i = 0; i < 200000; ++i)
        b.add(nuvrel_test::term_key(i % 4, fmt::format("term{:07}", i)), TermInfo::External{i, i * 100ull, 100});
    const auto file = LazyFileHandle::from_bytes(OwnedBytes::from_vec(b.build()));
    double heap = 0;
    for (auto _ : state) {
        const std::size_t before = mallinfo2().uordblks;
        auto r = nuvrel_test::run(AsyncSSTableReader::open(file, 256));
        heap = static_cast<double>(mallinfo2().uordblks - before);
        benchmark::DoNotOptimize(r);
    }
    state.counters["heap_bytes"] = heap;  // what the opened reader holds
}
BENCHMARK(BM_TermDictionaryOpen);

}  // namespace

BENCHMARK_MAIN();
