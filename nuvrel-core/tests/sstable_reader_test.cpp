#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>

#include <fmt/format.h>

#include "structures/sstable/sstable.h"
#include "support/outcome.h"
#include "support/segment_builder.h"

using namespace nuvrel_core;
using nuvrel_test::Bytes;
using nuvrel_test::error_text;
using nuvrel_test::run;
using nuvrel_test::TermDictBuilder;

namespace {

std::shared_ptr<AsyncSSTableReader> open_bytes(const std::vector<std::uint8_t>& file, std::size_t cache = 256) {
    auto r = run(AsyncSSTableReader::open(LazyFileHandle::from_bytes(OwnedBytes::from_vec(file)), cache));
    EXPECT_TRUE(r) << r.error().to_string();
    return r ? *r : nullptr;
}

std::optional<TermInfo> lookup(const AsyncSSTableReader& r, std::string key) {
    auto v = run(r.get(std::move(key)));
    EXPECT_TRUE(v) << v.error().to_string();
    return v ? *v : std::nullopt;
}

TermInfo external(std::uint32_t i) { return TermInfo::External{i, 1000ull * i, i + 1}; }

std::string key_of(int i) { return nuvrel_test::term_key(1, fmt::format("term{:05}", i * 2)); }

Bytes footer(std::uint64_t index_offset, std::uint64_t bloom, std::uint64_t dict, std::uint32_t magic = kSSTableMagic) {
    return std::move(Bytes().u64(index_offset).u64(0).u64(bloom).u64(dict).u8(0).u32(magic));
}

}  // namespace

TEST(SSTableOpen, DamagedFootersAndIndexesFail) {
    using K = IoErrorKind;
    const Bytes empty = Bytes().u32(0).u32(0);
    // Prefix sharing that would blow a few bytes up into huge keys.
    Bytes blow;
    blow.u32(2000000).vint(0).vint(4000).raw(std::string(4000, 'k')).vint(0).vint(0);
    for (int i = 1; i < 2000000; ++i) blow.vint(4000).vint(0).vint(0).vint(0);
    const auto eof = "failed to fill whole buffer";
    const auto none = footer(0, 0, 0).vec();
    const struct {
        Bytes file;
        const char* text;  // empty: only the kind is fixed
        IoErrorKind kind;
    } cases[] = {
        {Bytes().raw(std::string(36, '\0')), "SSTable too small", K::InvalidData},
        {footer(0, 0, 0), eof, K::UnexpectedEof},  // no room for num_blocks
        {footer(0, 0, 0, 0xAB), "Invalid SSTable magic: 0x000000AB", K::InvalidData},
        // Counts beyond the bytes that follow: the first entry behind each
        // is itself bad, and its own fault is the one reported.
        {Bytes().u32(0xFFFFFFFF).raw(std::string(10, '\x80')).raw(none), "varint too long", K::InvalidData},
        {Bytes().u32(0).u32(0xFFFFFFFF).u16(0).u32(7).raw(none), "SSTable sparse entry 0 names block 7 of 0",
         K::InvalidData},
        {Bytes().u32(1).vint(0).vint(0).vint(0).vint(0).u32(2).u16(0).u32(9).raw(none),
         "SSTable sparse entry 0 names block 9 of 1", K::InvalidData},
        // A sparse entry naming a block that does not exist.
        {Bytes().u32(1).vint(0).vint(1).raw("a").vint(0).vint(0).u32(1).u16(1).raw("a").u32(1).raw(none), "", K::InvalidData},
        {Bytes(blow).u32(0).raw(none), "", K::InvalidData},
        // Bloom and dictionary ranges past the end of the file, or past 64 bits.
        {Bytes(empty).raw(footer(0, 9999, 0).vec()), "", K::InvalidInput},
        {Bytes(empty).raw(footer(0, 0, 9999).vec()), "", K::InvalidInput},
        {Bytes(empty).raw(footer(0, ~0ull - 3, 0).vec()),
         "Range 18446744073709551612..18446744073709551624 out of bounds (file size: 45)", K::InvalidInput},
    };
    for (const auto& c : cases) {
        auto r = run(AsyncSSTableReader::open(LazyFileHandle::from_bytes(c.file.owned()), 4));
        ASSERT_FALSE(r) << c.text;
        const IoError& e = r.error();
        if (*c.text) {
            EXPECT_EQ(e.to_string(), c.text);
        }
        EXPECT_EQ(e.kind(), c.kind) << e.to_string();
    }
    // An empty dictionary: no blocks, no sparse entries; nothing is found.
    auto r = open_bytes(Bytes(empty).raw(footer(0, 0, 0).vec()).vec());
    ASSERT_TRUE(r);
    EXPECT_FALSE(lookup(*r, "x"));
    EXPECT_EQ(r->find_block_range(ByteView()), (std::pair<std::size_t, std::size_t>(0, 0)));
}

TEST(SSTableLookup, EveryKeyOfEveryLayoutRoundTrips) {
    for (bool bloom : {false, true}) {
        for (std::string dict : {std::string(), std::string("term0 term1 term2 dictionary content ") + std::string(64, 'x')}) {
            for (std::size_t sparse_every : {0u, 1u, 3u}) {
                TermDictBuilder b({.entries_per_block = 7, .sparse_every = sparse_every, .bloom = bloom, .dictionary = dict});
                for (int i = 0; i < 150; ++i) b.add(key_of(i), external(static_cast<std::uint32_t>(i)));
                b.add(nuvrel_test::term_key(2, "inline"), TermInfo::make_inline(1, Bytes().vint(5).vint(9).vec()));
                auto r = open_bytes(b.build(), 8);
                ASSERT_TRUE(r);
                SCOPED_TRACE(fmt::format("bloom {} dict {} sparse {}", bloom, dict.size(), sparse_every));
                EXPECT_EQ(r->bloom().has_value(), bloom);
                EXPECT_EQ(r->dictionary().has_value(), !dict.empty());
                for (int i = 0; i < 150; ++i) EXPECT_EQ(lookup(*r, key_of(i)), external(static_cast<std::uint32_t>(i))) << i;
                auto in = lookup(*r, nuvrel_test::term_key(2, "inline"));
                ASSERT_TRUE(in && in->is_inline());
                EXPECT_EQ(in->as_inline()->doc_freq, 1);
                // Between keys, before the first, after the last, a prefix of a key.
                EXPECT_FALSE(lookup(*r, nuvrel_test::term_key(1, "term00001")));
                EXPECT_FALSE(lookup(*r, nuvrel_test::term_key(0, "a")));
                EXPECT_FALSE(lookup(*r, nuvrel_test::term_key(9, "z")));
                EXPECT_FALSE(lookup(*r, nuvrel_test::term_key(1, "term")));
                EXPECT_FALSE(lookup(*r, ""));
                EXPECT_LE(r->blocks().cache_order().size(), 8u);
            }
        }
    }
}

TEST(SSTableLookup, SparseRangesNarrowTheSearchToTheOneBlockThatCanHoldTheKey) {
    TermDictBuilder b({.entries_per_block = 1, .sparse_every = 4, .bloom = false, .dictionary = ""});  // sparse entries at blocks 0, 4, 8
    for (int i = 0; i < 12; ++i) b.add(key_of(i), external(static_cast<std::uint32_t>(i)));
    auto r = open_bytes(b.build());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->block_index().size(), 12u);
    auto range = [&](const std::string& k) { return r->find_block_range(ByteView(reinterpret_cast<const std::uint8_t*>(k.data()), k.size())); };
    using P = std::pair<std::size_t, std::size_t>;
    EXPECT_EQ(range(key_of(4)), P(4, 7));
    EXPECT_EQ(range(key_of(5)), P(4, 7));
    EXPECT_EQ(range(key_of(11) + "z"), P(8, 11));
    EXPECT_EQ(range(std::string("\x00", 1)), P(0, 3));
    const auto& blocks = b.blocks();
    // Before the first block: absent, nothing read.
    EXPECT_FALSE(lookup(*r, nuvrel_test::term_key(0, "zzz")));
    EXPECT_TRUE(r->blocks().cache_order().empty());
    // A block's first key loads that block.
    EXPECT_TRUE(lookup(*r, key_of(6)));
    EXPECT_EQ(r->blocks().cache_order(), std::vector<std::uint64_t>{blocks[6].first});
    // Past the last key of block 1: block 1 is scanned to its end.
    EXPECT_FALSE(lookup(*r, key_of(1) + "x"));
    EXPECT_EQ(r->blocks().cache_order(), (std::vector<std::uint64_t>{blocks[6].first, blocks[1].first}));
    // A second lookup in a cached block is a hit that moves it to the back.
    EXPECT_TRUE(lookup(*r, key_of(6)));
    EXPECT_EQ(r->blocks().cache_order(), (std::vector<std::uint64_t>{blocks[1].first, blocks[6].first}));
}

TEST(SSTableBlock, MalformedEntriesFailTheKeysAtAndAfterThem) {
    TermDictBuilder b({.bloom = false, .dictionary = ""});
    b.add("a", external(1));
    b.add_raw("b", {0x01, 0x00});
    b.add("c", external(3));
    auto r = open_bytes(b.build());
    ASSERT_TRUE(r);
    EXPECT_EQ(lookup(*r, "a"), external(1));
    for (const char* k : {"b", "c", "bb"}) EXPECT_EQ(error_text(run(r->get(k))), "Invalid TermInfo tag: 1") << k;
    EXPECT_EQ(run(r->get("b")).error().kind(), IoErrorKind::InvalidData);
    // An inline entry longer than 16 bytes, and entries cut short.
    const auto search = [](const Bytes& block) { return AsyncSSTableReader::search_block(block.vec(), Bytes().raw("k").vec()); };
    EXPECT_EQ(search(Bytes().vint(0).vint(1).raw("k").u8(0xFF).u8(1).u8(17).raw(std::string(17, '\1'))).error().kind(),
              IoErrorKind::InvalidData);
    EXPECT_EQ(error_text(search(Bytes().vint(0).vint(1).raw("k").u8(0xFF).u8(1).u8(4).raw("ab"))), "failed to fill whole buffer");
    EXPECT_EQ(error_text(search(Bytes().vint(0).vint(1).raw("k").u8(0x00).vint(1))), "failed to fill whole buffer");
    auto in_empty = search(Bytes());
    ASSERT_TRUE(in_empty);
    EXPECT_FALSE(in_empty->has_value());
}

TEST(BloomFilter, ProbesAndHeaderChecks) {
    EXPECT_EQ(error_text(BloomFilter::from_bytes(OwnedBytes::from_vec(std::vector<std::uint8_t>(11)))), "Bloom filter data too short");
    EXPECT_EQ(error_text(BloomFilter::from_bytes(Bytes().u32(64).u32(1).u32(2).u64(0).owned())), "Bloom filter data truncated");
    // No bits to probe, and more probes than any sound filter makes (the
    // best count is far lower for any bits per key).
    for (auto [bits, hashes] : {std::pair{0u, 3u}, std::pair{64u, kMaxBloomHashes + 1}, std::pair{64u, 0xFFFFFFFFu}})
        EXPECT_EQ(BloomFilter::from_bytes(Bytes().u32(bits).u32(hashes).u32(0).owned()).error().kind(), IoErrorKind::InvalidData);
    EXPECT_TRUE(BloomFilter::from_bytes(Bytes().u32(64).u32(kMaxBloomHashes).u32(0).owned()));
    // No hashes: every key passes, even with no bits at all.
    auto pass = BloomFilter::from_bytes(Bytes().u32(0).u32(0).u32(0).owned());
    ASSERT_TRUE(pass);
    EXPECT_TRUE(pass->may_contain(Bytes().raw("anything").vec()));
    // Set keys pass; extra bytes after the words are ignored.
    std::vector<std::string> keys{"alpha", "beta", "gamma"};
    auto f = BloomFilter::from_bytes(Bytes().raw(nuvrel_test::encode_bloom(keys, 640, 5)).u64(~0ull).owned());
    ASSERT_TRUE(f);
    for (const auto& k : keys) EXPECT_TRUE(f->may_contain(Bytes().raw(k).vec()));
    // A probe whose word lies beyond the stored words reads as clear.
    const BloomFilter none{{}, 128, 1}, all{OwnedBytes::from_vec(std::vector<std::uint8_t>(16, 0xFF)), 128, 1};
    for (const auto& k : keys) EXPECT_TRUE(!none.may_contain(Bytes().raw(k).vec()) && all.may_contain(Bytes().raw(k).vec()));
}

TEST(SSTableLookup, ConcurrentLookupsShareOneSmallCache) {
    TermDictBuilder b({.entries_per_block = 4, .dictionary = ""});
    for (int i = 0; i < 64; ++i) b.add(key_of(i), external(static_cast<std::uint32_t>(i)));
    auto r = open_bytes(b.build(), 2);  // constant eviction
    ASSERT_TRUE(r);
    std::atomic<int> wrong{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < 150; ++n) {
                const int i = (n * 7 + t * 13) % 64;
                if (run(r->get(key_of(i))) != external(static_cast<std::uint32_t>(i))) ++wrong;
            }
        });
    threads.clear();  // joins
    EXPECT_EQ(wrong.load(), 0);
}

TEST(SSTableBlock, WalkAgreesWithAnOrderedMapOnSharedPrefixes) {
    std::mt19937 rng(3);
    for (int round = 0; round < 30; ++round) {
        std::map<std::string, TermInfo> model;
        for (int i = 0; i < 60; ++i) {
            std::string k;
            for (std::size_t n = rng() % 7; n > 0; --n) k.push_back("ab\xff"[rng() % 3]);
            model.insert_or_assign(k, external(static_cast<std::uint32_t>(i)));
        }
        Bytes block;
        std::string prev;
        for (const auto& [k, v] : model) {
            std::size_t s = 0;
            while (s < prev.size() && s < k.size() && prev[s] == k[s]) ++s;
            // Sometimes claim more shared bytes than the previous key has.
            block.vint(s == prev.size() && rng() % 4 == 0 ? s + 5 : s).vint(k.size() - s).raw(k.substr(s));
            block.raw(nuvrel_test::encode_term_info(v));
            prev = k;
        }
        for (int probe = 0; probe < 200; ++probe) {
            std::string k;
            for (std::size_t n = rng() % 8; n > 0; --n) k.push_back("ab\xff"[rng() % 3]);
            auto got = AsyncSSTableReader::search_block(block.vec(), Bytes().raw(k).vec());
            ASSERT_TRUE(got);
            auto it = model.find(k);
            EXPECT_EQ(got->has_value(), it != model.end()) << k;
            if (it != model.end() && got->has_value()) {
                EXPECT_EQ(**got, it->second);
            }
        }
    }
}
