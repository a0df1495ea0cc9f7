// Bounds that hold per index and per call, whatever the number of segments
// or how often "segments.json" lists one: the bytes the block caches pin,
// the bytes one lookup decompresses, and the vector data segments hold.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "index/index.h"
#include "support/segment_builder.h"
#include "support/vector_builder.h"

using namespace nuvrel_core;
using nuvrel_test::run;
using nuvrel_test::TempDir;

namespace {

const char* kTextSchema =
    R"({"fields": [{"name": "title", "field_type": "text", "indexed": true, "stored": true}],)"
    R"( "name_to_field": {"title": 0}})";

// "segments.json" listing segments 1 .. distinct in turn, `listings` entries in all.
void write_list(const TempDir& dir, std::uint32_t listings, std::uint32_t distinct = 1) {
    std::string json = "[";
    for (std::uint32_t i = 0; i < listings; ++i)
        json += fmt::format("{}\"{}\"", i ? "," : "", SegmentId{i % distinct + 1}.to_hex());
    dir.write("segments.json", json + "]");
}

// A store block of one document whose record is followed by `padding` bytes
// the fetch never looks at: the block decompresses to that much.
std::string padded_record(std::size_t padding) {
    const std::string json = R"({"field_values": [[0, {"text": "x"}]]})";
    std::string block(4, '\0');
    const auto len = static_cast<std::uint32_t>(json.size());
    std::memcpy(block.data(), &len, 4);
    return block + json + std::string(padding, ' ');
}

// Segment `id` with `docs` documents, one per store block of `block_bytes`,
// and a term dictionary whose one block decodes to `term_block_bytes`.
void write_segment(const TempDir& dir, SegmentId id, std::uint32_t docs, std::size_t block_bytes,
                   std::size_t term_block_bytes = 64) {
    nuvrel_test::StoreBuilder store;
    for (std::uint32_t d = 0; d < docs; ++d) store.add_raw_block(d, 1, padded_record(block_bytes));
    nuvrel_test::TermDictBuilder terms({.entries_per_block = 1, .bloom = false, .dictionary = ""});
    // An inline entry for "a"; bytes after it in its block are never walked.
    std::vector<std::uint8_t> value{0xFF, 1, 2, 0, 1};
    value.resize(std::max(value.size(), term_block_bytes - 7), 0);  // after 7 bytes of key
    terms.add_raw(nuvrel_test::term_key(0, "a"), value);
    const SegmentFiles files = SegmentFiles::from_id(id);
    dir.write(files.store, store.build());
    dir.write(files.terms, terms.build());
    dir.write(files.postings, std::string_view());
    dir.write(files.meta, nuvrel_test::meta_bytes(id, docs));
}

std::shared_ptr<Index> open_with(const TempDir& dir, std::size_t cache_bytes = kIndexBlockCacheBytes) {
    IndexConfig config = IndexConfig::default_config();
    config.cache_bytes = cache_bytes;
    auto index = run(Index::open(FsDirectory(dir.path()), std::move(config)));
    EXPECT_TRUE(index) << index.error().to_string();
    return index ? *index : nullptr;
}

std::string fetch(const Index& index, std::uint32_t doc) {
    auto d = run(index.doc(doc));
    if (!d) return d.error().to_string();
    return *d ? "doc" : "none";
}

// A figure of /proc/self/status, in KiB.
long status_kib(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    return -1;
}

OwnedBytes blk(std::size_t n) { return OwnedBytes::copy_of(std::vector<std::uint8_t>(n, 1)); }

}  // namespace

// --- Bytes the block caches pin -------------------------------------------

// Caches that share a budget give up their own oldest blocks for a new one
// once it is spent, serve without keeping what still does not fit, give
// their bytes back when they go, and are all emptied by one release.
TEST(CacheBudget, CachesOfOneIndexShareOneByteBudget) {
    BlockCacheBudget budget(100);
    struct Cache final : BlockCacheBudget::Member {
        explicit Cache(BlockCacheBudget& b) : lru(256, 1000, 1000, &b), budget(b) { b.enroll(*this); }
        ~Cache() { budget.withdraw(*this); }
        void release() override { lru.clear(); }
        LruBlockCache<std::uint64_t> lru;
        BlockCacheBudget& budget;
    };
    {
        Cache a(budget), b(budget);
        a.lru.insert(1, blk(40));
        a.lru.insert(2, blk(40));
        b.lru.insert(1, blk(30));  // 110 > 100: b has nothing to give up
        EXPECT_EQ(b.lru.size(), 0u);
        EXPECT_EQ(budget.used(), 80u);
        a.lru.insert(3, blk(30));  // a gives up its oldest block
        EXPECT_EQ(a.lru.order(), (std::vector<std::uint64_t>{2, 3}));
        b.lru.insert(1, blk(30));
        EXPECT_EQ(budget.used(), 100u);
        budget.release_all();
        EXPECT_EQ(a.lru.size() + b.lru.size(), 0u);
        EXPECT_EQ(budget.used(), 0u);
        a.lru.insert(4, blk(60));
    }
    EXPECT_EQ(budget.used(), 0u);
}

// One segment listed 16 times, each store block 1 MiB: the blocks all
// listings cache stay within the index's budget, and a reload draws on the
// same budget while a snapshot still holds the old readers and their blocks.
TEST(CacheBudget, SegmentListedManyTimesStaysWithinTheIndexBudget) {
    TempDir dir;
    dir.write("schema.json", kTextSchema);
    write_segment(dir, SegmentId{1}, 4, std::size_t{1} << 20);
    write_list(dir, 16);
    constexpr std::size_t kBudget = std::size_t{6} << 20;
    auto index = open_with(dir, kBudget);
    ASSERT_TRUE(index);
    const BlockCacheBudget& budget = *index->sharing().cache_budget;
    for (std::uint32_t d = 0; d < 64; ++d) ASSERT_EQ(fetch(*index, d), "doc");
    EXPECT_LE(budget.used(), kBudget);
    EXPECT_GE(budget.used(), kBudget - (std::size_t{2} << 20));  // it is used, not bypassed

    const SegmentList old = index->segment_readers();
    ASSERT_TRUE(run(index->reload()));
    for (std::uint32_t d = 0; d < 64; ++d) ASSERT_EQ(fetch(*index, d), "doc");
    std::size_t pinned = 0;
    for (const SegmentList& list : {old, index->segment_readers()})
        for (const auto& segment : list) pinned += segment->store()->blocks().cached_bytes();
    EXPECT_LE(pinned, kBudget);
    EXPECT_EQ(pinned, budget.used());
}

// Fetches on several threads, reloads and index-wide releases at once: the
// budget's count stays exact and every fetch is served.
TEST(CacheBudget, ConcurrentFetchesReloadsAndReleases) {
    TempDir dir;
    dir.write("schema.json", kTextSchema);
    write_segment(dir, SegmentId{1}, 4, 4096);
    write_list(dir, 6);
    auto index = open_with(dir, 5 * 4200);  // a few blocks: constant eviction
    ASSERT_TRUE(index);
    std::atomic<int> wrong{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < 200; ++n)
                if (fetch(*index, static_cast<std::uint32_t>(n * 7 + t) % 24) != "doc") ++wrong;
        });
    threads.emplace_back([&] {
        for (int n = 0; n < 20; ++n) {
            if (!run(index->reload())) ++wrong;
            index->release_block_caches();
        }
    });
    threads.clear();  // joins
    EXPECT_EQ(wrong.load(), 0);
    std::size_t pinned = 0;
    for (const auto& segment : index->segment_readers()) pinned += segment->store()->blocks().cached_bytes();
    EXPECT_EQ(pinned, index->sharing().cache_budget->used());
}

// When memory runs out, the index's caches are emptied before the call
// fails, so that the next call that fits in what is left succeeds. The case
// runs in a fresh process (this program, asked for the case below) whose
// threads share one heap, under a cap on its address space just above what
// it holds; the sanitizers reserve address space of their own and cannot
// run so.
TEST(CacheBudget, FailedAllocationEmptiesTheIndexCaches) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "address-space limits do not mix with the sanitizers";
#endif
    TempDir dir;
    dir.write("schema.json", kTextSchema);
    write_segment(dir, SegmentId{1}, 1, std::size_t{6} << 20);
    write_list(dir, 8);
    const std::string command = fmt::format(
        "MALLOC_ARENA_MAX=1 NUVREL_CAPPED_INDEX='{}' /proc/{}/exe --gtest_filter=CacheBudget.CappedChild 2>&1",
        dir.path().string(), getpid());
    FILE* child = popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, child)) > 0;) out.append(buf, n);
    EXPECT_EQ(pclose(child), 0) << out;
    EXPECT_NE(out.find("[       OK ] CacheBudget.CappedChild"), std::string::npos) << out;
}

// The capped process of the case above; skipped when run on its own.
TEST(CacheBudget, CappedChild) {
    const char* path = std::getenv("NUVREL_CAPPED_INDEX");
    if (path == nullptr) GTEST_SKIP() << "run by FailedAllocationEmptiesTheIndexCaches";
    auto index = run(Index::open(FsDirectory(path), IndexConfig::default_config()));
    ASSERT_TRUE(index);
    // Seven listings pin 6 MiB each; the eighth needs a decoding buffer and
    // its block beyond the cap, which is what the process holds now.
    for (std::uint32_t d = 0; d < 7; ++d) ASSERT_EQ(fetch(**index, d), "doc");
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    const rlimit limit{cap, cap};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
    EXPECT_EQ(fetch(**index, 7), "IO error: " + out_of_memory().to_string());
    EXPECT_EQ((*index)->sharing().cache_budget->used(), 0u);
    EXPECT_EQ(fetch(**index, 7), "doc");
}

// --- Bytes one call decompresses --------------------------------------------

// A term-dictionary block is refused as soon as it decodes past its bound,
// so a lookup over 160 listings of a segment whose block claims 255 MiB
// decodes at most 1 MiB per listing, and a block at the bound still loads.
TEST(DecompressedPerCall, TermBlocksStopAtTheirBound) {
    TempDir dir;
    dir.write("schema.json", kTextSchema);
    const std::string too_large = fmt::format("IO error: decompressed block exceeds {} bytes", kMaxTermBlock);
    const struct {
        std::size_t block_bytes;
        std::uint32_t listings;
        std::string expected;
    } rows[] = {
        {kMaxTermBlock, 2, "found"},
        {kMaxTermBlock + 1, 2, too_large},
        {std::size_t{255} << 20, 160, too_large},
    };
    for (const auto& row : rows) {
        write_segment(dir, SegmentId{1}, 0, 0, row.block_bytes);
        write_list(dir, row.listings);
        auto index = open_with(dir);
        ASSERT_TRUE(index);
        for (const auto& segment : index->segment_readers()) {
            { std::ofstream("/proc/self/clear_refs") << "5"; }  // the peak restarts from here
            const long resident = status_kib("VmRSS:");
            auto r = run(segment->get_postings(0, "a"));
            EXPECT_EQ(r ? (*r ? "found" : "absent") : r.error().to_string(), row.expected) << row.block_bytes;
            // Decoding 255 MiB would show here; 1 MiB does not.
            ASSERT_LT(status_kib("VmHWM:") - resident, 64 << 10) << row.block_bytes;
        }
    }
}

// --- Vector data the segments hold ------------------------------------------

namespace {

std::string vector_schema(const std::string& centroids, const std::string& pq) {
    std::string config = R"("dim": 8)";
    if (!centroids.empty()) config += fmt::format(R"(, "coarse_centroids_path": "{}")", centroids);
    if (!pq.empty()) config += fmt::format(R"(, "pq_codebook_path": "{}")", pq);
    return fmt::format(R"({{"fields": [{{"name": "v", "field_type": "dense_vector", "indexed": true, "stored": false,)"
                       R"( "dense_vector_config": {{{}}}}}], "name_to_field": {{"v": 0}}}})",
                       config);
}

void write_vector_segment(const TempDir& dir, SegmentId id, const std::vector<nuvrel_test::VectorEntrySpec>& entries) {
    write_segment(dir, id, 0, 0);
    dir.write(SegmentFiles::from_id(id).vectors, nuvrel_test::vectors_file(entries));
}

}  // namespace

// Segments that read bit-identical side files hold one copy of each, across
// listings, files and a reload; a file that differs by one bit has its own.
TEST(SharedVectorData, IdenticalSideFilesAreHeldOnce) {
    TempDir dir;
    nuvrel_test::CentroidsFileLayout c;
    c.first_count = c.second_count = 2;
    c.data = {1, 2, 3, 4};
    dir.write("a.cent", nuvrel_test::centroids_file(c));
    dir.write("b.cent", nuvrel_test::centroids_file(c));  // same bytes, another file
    c.data[3] = -0.0f;
    c.data[2] = 0.0f;
    dir.write("c.cent", nuvrel_test::centroids_file(c));
    c.data[2] = -0.0f;  // differs from c.cent in one sign bit only
    dir.write("d.cent", nuvrel_test::centroids_file(c));
    nuvrel_test::PQCodebookLayout pq;
    pq.dim = pq.subspace_dim = 2;
    pq.num_subspaces = pq.num_centroids = 1;
    pq.centroids = {5, 6};
    dir.write("a.pq", nuvrel_test::pq_codebook_file(pq));
    const std::string names[] = {"a.cent", "b.cent", "c.cent", "d.cent"};
    for (std::uint32_t s = 0; s < 4; ++s) {
        // Each segment's field names its own files through its own schema
        // field; field s of the schema below.
        write_vector_segment(dir, SegmentId{s + 1}, {{s, 2, nuvrel_test::ivf_index_json(8)}});
    }
    std::string fields;
    for (std::uint32_t s = 0; s < 4; ++s) {
        fields += fmt::format(R"({}{{"name": "v{}", "field_type": "dense_vector", "indexed": true, "stored": false,)"
                              R"( "dense_vector_config": {{"dim": 8, "coarse_centroids_path": "{}",)"
                              R"( "pq_codebook_path": "{}"}}}})",
                              s ? ", " : "", s, (dir.path() / names[s]).string(), (dir.path() / "a.pq").string());
    }
    dir.write("schema.json", fmt::format(R"({{"fields": [{}], "name_to_field": {{}}}})", fields));
    write_list(dir, 8, 4);
    auto index = open_with(dir);
    ASSERT_TRUE(index);
    const auto held = [&] {
        std::vector<const void*> out;
        for (const auto& seg : index->segment_readers()) {
            out.push_back(seg->coarse_centroids().get());
            const VectorIndex& v = seg->vector_indexes().begin()->second;
            out.push_back(v.get_if<VectorIndex::ScaNN>()->codebook.get());
        }
        return out;
    };
    const std::vector<const void*> first = held();
    ASSERT_EQ(first.size(), 16u);
    for (std::size_t i = 0; i < 16; ++i) ASSERT_NE(first[i], nullptr);
    // Centroids: a == b (same bytes), c and d apart; listings 5-8 repeat 1-4.
    EXPECT_EQ(first[0], first[2]);
    EXPECT_NE(first[0], first[4]);
    EXPECT_NE(first[4], first[6]);
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(first[i], first[i + 8]) << i;
    for (std::size_t i = 1; i < 16; i += 2) EXPECT_EQ(first[i], first[1]) << i;  // one PQ codebook
    ASSERT_TRUE(run(index->reload()));
    EXPECT_EQ(held(), first);
}

// Generated codebooks are shared by dimension, and the index's codebooks may
// have 2^20 dimensions in all: exactly that loads every field with its
// index, one more leaves the field that passes it without one.
TEST(SharedVectorData, CodebookBudgetIsPerIndex) {
    constexpr std::uint64_t kHalf = kMaxCodebookDimsPerIndex / 2;
    const struct {
        std::vector<std::uint64_t> dims;  // one segment each, listed twice
        std::vector<bool> loads;
    } rows[] = {
        {{kMaxCodebookDimsPerIndex}, {true}},
        {{kMaxCodebookDimsPerIndex + 1}, {false}},
        {{kHalf, kHalf}, {true, true}},
        {{kHalf, kHalf + 1}, {true, false}},
        {{kHalf, kHalf, kHalf}, {true, true, true}},  // one codebook, shared
    };
    for (const auto& row : rows) {
        TempDir dir;
        dir.write("schema.json", vector_schema("", ""));
        const auto n = static_cast<std::uint32_t>(row.dims.size());
        for (std::uint32_t s = 0; s < n; ++s)
            write_vector_segment(dir, SegmentId{s + 1}, {{0, 1, nuvrel_test::ivf_index_json(row.dims[s])}});
        write_list(dir, 2 * n, n);
        auto index = open_with(dir);
        ASSERT_TRUE(index);
        const SegmentList segments = index->segment_readers();
        for (std::uint32_t i = 0; i < 2 * n; ++i) {
            const auto& indexes = segments[i]->vector_indexes();
            EXPECT_EQ(indexes.contains(0), row.loads[i % n]) << row.dims[i % n] << " listing " << i;
            if (i >= n && indexes.contains(0)) {
                EXPECT_EQ(indexes.at(0).get_if<VectorIndex::IvfRaBitQ>()->codebook,
                          segments[i - n]->vector_indexes().at(0).get_if<VectorIndex::IvfRaBitQ>()->codebook);
            }
        }
        EXPECT_LE(index->sharing().vectors->codebook_dims(), kMaxCodebookDimsPerIndex);
    }
}
