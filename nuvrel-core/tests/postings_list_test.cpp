#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <tuple>

#include "query/bm25.h"
#include "query/term_scorer.h"
#include "structures/postings/posting.h"
#include "structures/sstable/term_info.h"
#include "support/query_mocks.h"
#include "support/segment_builder.h"
#include "support/walk_check.h"
#include "util/byte_reader.h"
#include "util/fast_vint.h"

using namespace nuvrel_core;
using nuvrel_test::Bytes;

namespace {

std::vector<Posting> ascending(std::size_t n, std::uint32_t step = 3) {
    std::vector<Posting> p;
    for (std::size_t i = 0; i < n; ++i) p.push_back({static_cast<std::uint32_t>(i * step + 1), static_cast<std::uint32_t>(i % 7 + 1)});
    return p;
}

BlockPostingList list_of(const std::vector<std::uint8_t>& serialized) {
    auto r = BlockPostingList::deserialize(OwnedBytes::from_vec(serialized));
    EXPECT_TRUE(r) << r.error().to_string();
    return r ? std::move(*r) : BlockPostingList{};
}

}  // namespace

// The engine's encoder agrees byte for byte with the independent one (blocks
// of 128, delta-coded), and what it writes reads back.
TEST(BlockPostingList, AgreesWithTheIndependentEncoderAndRoundTrips) {
    for (const auto& p : {ascending(300, 200), std::vector<Posting>{{3, 1}, {7, 2}}, std::vector<Posting>{}}) {
        const auto list = BlockPostingList::from_posting_list(p);
        auto back = list_of(nuvrel_test::encode_posting_list(p));
        EXPECT_EQ(back.skip_list, list.skip_list);
        EXPECT_EQ(back.data.to_vec(), list.data.to_vec());
        EXPECT_EQ(back.doc_count, p.size());
        EXPECT_EQ(nuvrel_test::decode_all(std::move(back)), p);
    }
    // Descending documents wrap in 32 bits and still round-trip.
    std::vector<Posting> down{{10, 1}, {5, 2}, {0xFFFFFFF0u, 3}, {2, 4}};
    BlockPostingIterator wrap(BlockPostingList::from_posting_list(down));
    std::vector<Posting> got;
    for (auto [d, f] : wrap.block) got.push_back({d, f});
    EXPECT_EQ(got, down);
}

// An inline entry decodes to its pairs (document deltas wrap in 32 bits and
// only their low 32 bits count), and its pairs become the block as they lie:
// the list must equal, byte for byte, the one built from those postings.
TEST(BlockPostingList, InlineEntriesDecodeAndEqualTheirPostingsEncoded) {
    using V = std::vector<std::uint8_t>;
    using P = std::vector<Posting>;
    const std::tuple<std::uint8_t, V, std::optional<P>> cases[] = {
        {2, {3, 1, 4, 2}, P{{3, 1}, {7, 2}}},
        {2, {0x83, 0x00, 1, 4, 2}, P{{3, 1}, {7, 2}}},                 // a varint longer than it needs
        {1, {0xFF, 0xFF, 0xFF, 0xFF, 0x1F, 1}, P{{0xFFFFFFFFu, 1}}},  // a document past 32 bits
        {2, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 1, 0x82, 0x80, 0x80, 0x80, 0x10, 7}, P{{0xFFFFFFFFu, 1}, {1, 7}}},
        {2, {5, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 1, 1}, P{{5, 0xFFFFFFFFu}, {6, 1}}},  // the largest frequency
        {0, {}, P{}},
        {1, {3, 1, 4, 2}, P{{3, 1}}},  // bytes after the pairs
        {3, {3, 1, 4, 2}, std::nullopt},  // fewer pairs than claimed
        {1, V(12, 0x80), std::nullopt},   // a varint that never ends
    };
    for (const auto& [doc_freq, bytes, want] : cases) {
        SCOPED_TRACE(::testing::PrintToString(bytes));
        const auto decoded = TermInfo::make_inline(doc_freq, bytes).decode_inline();
        const auto got = BlockPostingList::from_inline(doc_freq, bytes);
        ASSERT_EQ(decoded.has_value(), want.has_value());
        ASSERT_EQ(got.has_value(), want.has_value());
        if (!want) continue;
        P postings;
        for (std::size_t i = 0; i < decoded->first.size(); ++i) postings.push_back({decoded->first[i], decoded->second[i]});
        EXPECT_EQ(postings, *want);
        const auto list = BlockPostingList::from_posting_list(*want);
        EXPECT_EQ(got->skip_list, list.skip_list);
        EXPECT_EQ(got->data.to_vec(), list.data.to_vec());
        EXPECT_EQ(got->doc_count, list.doc_count);
    }
}

TEST(BlockPostingList, DeserializeChecksEveryLengthAgainstTheBytes) {
    auto good = nuvrel_test::encode_posting_list(ascending(5));
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        auto r = BlockPostingList::deserialize(OwnedBytes::from_vec({good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut)}));
        ASSERT_FALSE(r) << cut;
        EXPECT_EQ(r.error().to_string(), "failed to fill whole buffer");
    }
    auto trailing = good;
    trailing.push_back(0x99);
    EXPECT_EQ(list_of(trailing).data.size(), list_of(good).data.size());
    // Counts far beyond the bytes: no allocation for them, just the error.
    EXPECT_FALSE(BlockPostingList::deserialize(Bytes().u32(1).u32(0xFFFFFFFF).u32(0).owned()));
    EXPECT_FALSE(BlockPostingList::deserialize(Bytes().u32(1).u32(0).u32(0xFFFFFFFF).owned()));
    // data is a window of the bytes it came from, not a copy.
    OwnedBytes src = OwnedBytes::from_vec(good);
    auto shared = BlockPostingList::deserialize(src);
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->data.data(), src.data() + 8 + 12 + 4);
}

TEST(BlockPostingIterator, LoadBlockEdges) {
    EXPECT_TRUE(BlockPostingIterator(BlockPostingList{}).exhausted);
    BlockPostingIterator it(BlockPostingList::from_posting_list(ascending(200)));
    it.position = 1;
    it.load_block(2);  // == number of blocks
    EXPECT_TRUE(it.exhausted);
    EXPECT_EQ(it.current_block, 0u);
    EXPECT_EQ(it.position, 1u);
    EXPECT_EQ(it.block.size(), 128u);

    // A count of 5 over 3 pairs decodes the 3; a huge count over no bytes
    // decodes nothing and ends at once.
    BlockPostingList shortl;
    shortl.skip_list = {{1, 9, 0}, {0, 0, 7}, {0, 0, 1000}, {0, 0, 8}};
    shortl.data = Bytes().vint(5).vint(1).vint(1).vint(2).vint(1).vint(6).vint(1).vint(0xFFFFFFFFFFull).owned();
    BlockPostingIterator s(std::move(shortl));
    EXPECT_EQ(s.block, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 1}, {3, 1}, {9, 1}}));
    s.load_block(1);
    EXPECT_TRUE(s.block.empty());
    s.load_block(2);  // an offset past the data: an empty block
    EXPECT_TRUE(s.block.empty());
    EXPECT_FALSE(s.exhausted);
    s.load_block(3);  // the count's varint runs off the end
    EXPECT_TRUE(s.block.empty());
}

// Skip entries that all name the same bytes would have each block decode
// them again: the work would grow with the square of the file. The walk's
// decoding is bounded by the bytes present instead, and the first pass
// over the bytes is still walked whole.
TEST(BlockPostingIterator, DecodingIsBoundedByTheBytesPresent) {
    constexpr std::uint32_t kPairs = 5000, kEntries = 3000;
    Bytes data;
    data.vint(kPairs);
    for (std::uint32_t i = 0; i < kPairs; ++i) data.vint(1).vint(1);
    Bytes file;
    file.u32(kPairs * kEntries).u32(kEntries);
    for (std::uint32_t i = 0; i < kEntries; ++i) file.u32(1).u32(i + 1).u32(0);
    const std::vector<std::uint8_t> body = data.vec();
    file.u32(static_cast<std::uint32_t>(body.size())).raw(body);
    const std::uint64_t bound = BlockPostingIterator::kDecodesPerByte * file.vec().size();
    const BlockPostingList list = list_of(file.vec());

    using Walk = BasicTermScorer<BlockPostingIterator>;
    const Bm25Weight w{BM25_K1, BM25_B, 1.0f, 1.0f, 1.0f};
    std::uint64_t stepped = 0, fused = 0, sought = 0;
    Walk steps(BlockPostingIterator(list), w);
    for (auto d = steps.doc(); d != TERMINATED; d = steps.advance()) ++stepped;
    Walk(BlockPostingIterator(list), w).for_each_match([&](std::uint32_t, float) { ++fused; });
    // Each seek past the first names the next entry, which decodes all the pairs again.
    Walk seeks(BlockPostingIterator(list), w);
    for (std::uint32_t t = 1; seeks.seek(t) != TERMINATED; ++t) ++sought;
    for (std::uint64_t walked : {stepped, fused, sought * kPairs}) {
        EXPECT_GE(walked, kPairs);
        EXPECT_LE(walked, bound);
    }
    EXPECT_EQ(stepped, fused);
}

// The engine's walk (the term scorer) over real decoded blocks: seek and
// advance land where a plain list says, and the score is that of the
// posting's own frequency.
TEST(BlockPostingIterator, ScorerWalksAgreeWithAPlainList) {
    const Bm25Weight w{BM25_K1, BM25_B, 1.0f, 1.0f, 1.0f};
    std::mt19937 rng(7);
    for (std::uint32_t round = 0; round < 20; ++round) {
        std::vector<Posting> p;
        std::vector<nuvrel_test::Hit> plain;
        std::uint32_t d = static_cast<std::uint32_t>(rng() % 5);
        for (std::size_t i = 0, n = 1 + rng() % 700; i < n; ++i) {
            p.push_back({d, static_cast<std::uint32_t>(1 + rng() % 300)});
            plain.push_back({d, w.score(static_cast<float>(p.back().term_freq))});
            d += static_cast<std::uint32_t>(1 + rng() % (round % 2 ? 3 : 100000));
        }
        BasicTermScorer<BlockPostingIterator> s(BlockPostingIterator(list_of(nuvrel_test::encode_posting_list(p))), w);
        nuvrel_test::ListScorer list(std::move(plain));
        nuvrel_test::expect_same_moves(s, list, round, 2000, 0);
        if (HasFatalFailure()) FAIL() << round;
    }
}

namespace {

// 2^7k - 1, 2^7k and 2^7k + 1 for every varint length k, up to the widest.
std::vector<std::uint64_t> seven_bit_boundaries() {
    std::vector<std::uint64_t> v{0, 1};
    for (unsigned k = 1; k <= 9; ++k) {
        const std::uint64_t p = std::uint64_t{1} << (7 * k);
        v.insert(v.end(), {p - 1, p, p + 1});
    }
    v.push_back(~std::uint64_t{0});
    return v;
}

}  // namespace

// Each decoder of varints (the checked reader, the hot loops' bounded one and
// the unchecked one for ten bytes ahead) reads every length's edge values,
// whether or not more bytes follow.
TEST(Varint, SevenBitBoundariesRoundTrip) {
    for (std::uint64_t want : seven_bit_boundaries()) {
        SCOPED_TRACE(want);
        for (std::size_t pad : {0u, 1u, 2u, 10u}) {
            Bytes b;
            b.vint(want);
            const std::size_t len = b.size();
            for (std::size_t i = 0; i < pad; ++i) b.u8(0x81);
            const auto& bytes = b.vec();
            ByteReader r(ByteView(bytes.data(), bytes.size()));
            EXPECT_EQ(r.vint(), want);
            EXPECT_EQ(r.remaining(), pad);
            std::uint64_t got = 0;
            const std::uint8_t* p = bytes.data();
            ASSERT_TRUE(fast_vint(p, bytes.data() + bytes.size(), got));
            EXPECT_EQ(got, want);
            EXPECT_EQ(p, bytes.data() + len);
            if (pad < 10) continue;
            p = bytes.data();
            ASSERT_TRUE(unchecked_vint(p, got));
            EXPECT_EQ(got, want);
            EXPECT_EQ(p, bytes.data() + len);
        }
    }
}

// Gaps and frequencies at every edge that fits in 32 bits, spread over
// lists of several blocks so that each meets the bulk loop, its unchecked
// varints and the bounded tail. Only the low 32 bits of a gap count, so a
// gap of 2^28 stands beside those of 2^21 (bytes 80 80 80 01, whose third
// byte is exactly the continuation bit).
TEST(BlockPostingList, SevenBitBoundaryGapsAndFrequenciesRoundTrip) {
    std::vector<std::uint32_t> edges;
    for (std::uint64_t v : seven_bit_boundaries())
        if (v != 0 && v <= 0xFFFFFFFFu) edges.push_back(static_cast<std::uint32_t>(v));
    edges.push_back(0xFFFFFFFFu);
    for (std::uint32_t edge : edges) {
        for (std::uint32_t every : {1u, 5u}) {
            SCOPED_TRACE(::testing::Message() << edge << " every " << every);
            std::vector<Posting> p;
            std::uint64_t doc = 0;
            for (std::uint32_t i = 0; i < 300; ++i) {
                const bool at_edge = i % every == 0 && doc + edge + 300 <= 0xFFFFFFFFu;
                doc += at_edge ? edge : 1;
                p.push_back({static_cast<std::uint32_t>(doc), i % every == 1 % every ? edge : 1 + i % 3});
            }
            EXPECT_EQ(nuvrel_test::decode_all(list_of(nuvrel_test::encode_posting_list(p))), p);
        }
    }
}
