// Decompressed blocks and their caches: exact-size blocks from the per-thread
// scratch buffer, and caches that stay bounded in blocks and in bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "compression/zstd.h"
#include "segment/store.h"
#include "structures/sstable/sstable.h"
#include "support/segment_builder.h"

using namespace nuvrel_core;
using nuvrel_test::run;

namespace {

// Bytes of a prime period that no buffer size divides, so a block copied out
// of the wrong part of the scratch buffer shows; repeats keep large ones cheap
// to compress.
std::string pattern(std::size_t n, std::uint32_t seed) {
    constexpr std::size_t kPeriod = 100003;
    std::string base(std::min(n, kPeriod), '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : base) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    std::string s;
    s.reserve(n);
    while (s.size() < n) s.append(base, 0, std::min(base.size(), n - s.size()));
    return s;
}

// Frames of the given sizes, concatenated, and the bytes they decode to.
std::pair<std::vector<std::uint8_t>, std::string> frames_of(const std::vector<std::size_t>& sizes) {
    std::pair<std::vector<std::uint8_t>, std::string> out;
    for (std::size_t n : sizes) {
        const std::string part = pattern(n, static_cast<std::uint32_t>(out.second.size() + n));
        const auto f = nuvrel_test::zstd_frame(part, false, 1);
        out.first.insert(out.first.end(), f.begin(), f.end());
        out.second += part;
    }
    return out;
}

bool decodes_to(const std::vector<std::uint8_t>& frames, const std::string& want) {
    auto block = decompress_block(frames, std::nullopt);
    return block && block->size() == want.size() && std::memcmp(want.data(), block->data(), want.size()) == 0;
}

// The sizes cross the scratch buffer's first size (the decoder's output
// step), its doublings, the size it keeps between calls, and the cap.
constexpr std::size_t kOut = 131072;
class ScratchSizes : public ::testing::TestWithParam<std::vector<std::size_t>> {};

TEST_P(ScratchSizes, BlocksComeOutWholeAndExactlySized) {
    const auto [frames, want] = frames_of(GetParam());
    EXPECT_TRUE(decodes_to(frames, want));
    EXPECT_TRUE(decodes_to(frames, want));  // again, into the kept buffer
}

INSTANTIATE_TEST_SUITE_P(Blocks, ScratchSizes,
                         ::testing::Values(std::vector<std::size_t>{0}, std::vector<std::size_t>{1},
                                           std::vector<std::size_t>{kOut - 1}, std::vector<std::size_t>{kOut},
                                           std::vector<std::size_t>{kOut + 1},
                                           std::vector<std::size_t>{kOut, 1, kOut * 3 + 7},
                                           std::vector<std::size_t>{(3u << 20) + 5},
                                           std::vector<std::size_t>{kMaxDecompressedBlock - 3, 3}),
                         [](const auto& info) {  // the block's part sizes: "131072_1_393223"
                             std::string name;
                             for (std::size_t part : info.param) name += (name.empty() ? "" : "_") + std::to_string(part);
                             return name;
                         });

TEST(Scratch, OneByteOverTheCapFailsAndTheNextBlockIsWhole) {
    auto big = decompress_block(nuvrel_test::zstd_frame(std::string(kMaxDecompressedBlock + 1, 'z'), false, 1),
                                std::nullopt);
    ASSERT_FALSE(big);
    EXPECT_EQ(big.error().to_string(), "decompressed block exceeds 268435456 bytes");
    EXPECT_TRUE(decodes_to(nuvrel_test::zstd_frame("after"), "after"));
}

TEST(Scratch, ThreadsEachDecodeTheirOwnBlocks) {
    std::vector<std::pair<std::vector<std::uint8_t>, std::string>> blocks;
    for (std::size_t n : {std::size_t{0}, std::size_t{10}, kOut + 3, std::size_t{3} << 20, std::size_t{700000}})
        blocks.push_back(frames_of({n}));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < 40; ++i)
                if (!decodes_to(blocks[(i + t) % blocks.size()].first, blocks[(i + t) % blocks.size()].second)) ++wrong;
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

OwnedBytes blk(std::size_t n) { return OwnedBytes::copy_of(std::vector<std::uint8_t>(n, 1)); }

}  // namespace

TEST(BlockCache, EvictsLeastRecentlyUsedByCountThenByBytes) {
    BlockCache c(2);
    c.insert(0, blk(4));
    c.insert(100, blk(4));
    EXPECT_TRUE(c.get(0));
    c.insert(200, blk(4));
    EXPECT_EQ(c.order(), (std::vector<std::uint64_t>{0, 200}));
    EXPECT_FALSE(c.contains(100));
    // The same key inserted twice stands twice in the order; its first copy
    // evicts it, the later one evicts nothing.
    BlockCache d(2);
    for (std::uint64_t k : {5, 5, 7, 8}) d.insert(k, blk(1));
    EXPECT_EQ(d.order(), (std::vector<std::uint64_t>{5, 7, 8}));
    d.insert(9, blk(1));  // the second 5 removes nothing, so 7 goes too
    EXPECT_EQ(d.order(), (std::vector<std::uint64_t>{8, 9}));
    EXPECT_EQ(d.bytes(), 2u);
    // A bound of 0 still keeps the latest block; an evicted block stays
    // valid while a caller holds it.
    BlockCache z(0);
    z.insert(1, blk(1));
    z.insert(2, blk(2));
    EXPECT_FALSE(z.get(1));
    auto held = *z.get(2);
    z.insert(3, blk(3));
    EXPECT_EQ(held.size(), 2u);
    // Bytes: 100 at most, blocks over 40 not kept at all.
    BlockCache b(256, 100, 40);
    for (std::uint64_t k = 0; k < 5; ++k) b.insert(k, blk(30));
    EXPECT_EQ(b.order(), (std::vector<std::uint64_t>{2, 3, 4}));
    EXPECT_EQ(b.bytes(), 90u);
    b.insert(9, blk(41));
    EXPECT_EQ(b.order(), (std::vector<std::uint64_t>{2, 3, 4}));
    b.insert(3, blk(5));  // replaced: its bytes are counted once
    EXPECT_EQ(b.bytes(), 65u);
}

// Hostile files whose small frames decode to many MiB of zeros: the bytes a
// reader's cache pins stay under its bound, and a block too large to keep is
// still served.
TEST(BlockCache, HostileFramesPinNoMoreThanTheBound) {
    const std::size_t kept = kMaxCachedBlockBytes - 8;
    nuvrel_test::StoreBuilder sb;
    sb.add_raw_block(0, 1, std::string(kMaxCachedBlockBytes + 1, '\0'));
    for (std::uint32_t d = 1; d <= 8; ++d) sb.add_raw_block(d, 1, std::string(kept, '\0'));
    auto store = *run(AsyncStoreReader::open(LazyFileHandle::from_bytes(OwnedBytes::from_vec(sb.build())), 256));
    EXPECT_EQ(nuvrel_test::to_string(*run(store->get_record(0))), "");  // served, not kept
    EXPECT_EQ(store->blocks().cached_bytes(), 0u);
    for (std::uint32_t d = 1; d <= 8; ++d) (void)run(store->get(d));
    EXPECT_LE(store->blocks().cached_bytes(), kBlockCacheMaxBytes);
    EXPECT_EQ(store->blocks().cache_order().size(), kBlockCacheMaxBytes / kept);

    nuvrel_test::TermDictBuilder tb({.entries_per_block = 1, .dictionary = ""});
    for (char k = 'a'; k < 'i'; ++k) tb.add_raw(std::string(1, k), std::vector<std::uint8_t>(kept - 3, 0));
    auto terms = *run(AsyncSSTableReader::open(LazyFileHandle::from_bytes(OwnedBytes::from_vec(tb.build())), 256));
    for (char k = 'a'; k < 'i'; ++k) EXPECT_TRUE(*run(terms->get(std::string(1, k))));
    EXPECT_LE(terms->blocks().cached_bytes(), kBlockCacheMaxBytes);
    EXPECT_EQ(terms->blocks().cache_order().size(), kBlockCacheMaxBytes / kept);
}
