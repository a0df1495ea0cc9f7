#include <gtest/gtest.h>

#include "directories/directory.h"
#include "segment/types.h"
#include "support/segment_builder.h"
#include "support/test_util.h"

using namespace nuvrel_core;
using nuvrel_test::Bytes;

namespace {
u128 max_id() { return ~static_cast<u128>(0); }
}  // namespace

TEST(SegmentId, ParsesHexLikeTheStandardParse) {
    const std::pair<std::string, u128> good[] = {
        {"00000000000000000000000000000001", 1}, {"1", 1}, {"+1", 1}, {"ABCDEF", 0xabcdef},
        {std::string(32, 'f'), max_id()}, {"0" + std::string(32, 'f'), max_id()}, {std::string(40, '0') + "12", 0x12},
    };
    for (const auto& [text, value] : good) EXPECT_TRUE(SegmentId::from_hex(text) == SegmentId{value}) << text;
    const std::string bad_ids[] = {"", "+", "-", "-1", "0x1", " 1", "1 ", "g", "++1", "1\xc3\xa9", "1" + std::string(32, '0')};
    for (const auto& bad : bad_ids) EXPECT_FALSE(SegmentId::from_hex(bad)) << bad;
    // File names carry the id as 32 lower-case hex digits.
    const auto f = SegmentFiles::from_id(SegmentId{255});
    const std::string base = "seg_" + std::string(30, '0') + "ff";
    EXPECT_EQ((std::vector{f.terms, f.postings, f.store, f.meta, f.vectors}),
              (std::vector{base + ".terms", base + ".post", base + ".store", base + ".meta", base + ".vectors"}));
}

TEST(SegmentMeta, DecodesIdCountAndStats) {
    SegmentId id{(static_cast<u128>(0x0102030405060708ull) << 64) | 0x1112131415161718ull};
    auto meta = SegmentMeta::deserialize(nuvrel_test::meta_bytes(id, 42, {{3, {1, 1}}, {5, {500, 100}}, {3, {7, 2}}}));
    ASSERT_TRUE(meta);
    EXPECT_EQ(meta->id, id);
    EXPECT_EQ(meta->num_docs, 42u);
    ASSERT_EQ(meta->field_stats.size(), 2u);
    EXPECT_EQ(meta->field_stats.at(3), (FieldStats{7, 2}));  // the later entry wins
}

// Each record decodes to its number of statistics, or fails short.
TEST(SegmentMeta, ShortAndLongRecords) {
    const std::string kShort = "failed to fill whole buffer";
    auto cut = [](std::vector<std::uint8_t> v, std::size_t len) { v.resize(len); return v; };
    const auto empty = Bytes().u64(1).u64(0).u32(9).u32(0).vec();
    const auto two = nuvrel_test::meta_bytes(SegmentId{1}, 3, {{1, {2, 3}}, {2, {4, 5}}});
    const std::pair<std::vector<std::uint8_t>, std::string> cases[] = {
        {cut(empty, 20), "0"},  // twenty bytes are a whole record
        {Bytes().raw(two).u32(0xFFFFFFFF).vec(), "2"},  // bytes after the stats are ignored
        {cut(empty, 0), kShort}, {cut(empty, 19), kShort}, {cut(empty, 21), kShort}, {cut(empty, 23), kShort},
        {cut(two, two.size() - 1), kShort},
        // A huge count with few bytes fails without reserving for it.
        {Bytes().u64(1).u64(0).u32(9).u32(0xFFFFFFFF).u32(1).vec(), kShort},
    };
    for (const auto& [bytes, want] : cases) {
        auto r = SegmentMeta::deserialize(bytes);
        EXPECT_EQ(r ? std::to_string(r->field_stats.size()) : r.error().to_string(), want) << bytes.size();
    }
    EXPECT_EQ(SegmentMeta::deserialize(cut(empty, 19)).error().kind(), IoErrorKind::UnexpectedEof);
}

// A .meta is read no further than its most entries: the read of a longer file
// stops there, so a count past the ceiling is a file cut short however many
// bytes follow, while the ceiling's own count decodes.
TEST(SegmentMeta, ReadStopsAtTheCeiling) {
    nuvrel_test::TempDir dir;
    const std::uint64_t most = SegmentMeta::kMaxStatsEntries;
    auto file = Bytes().u64(1).u64(0).u32(9).u32(static_cast<std::uint32_t>(most + 1)).vec();
    file.resize(24 + 16 * (most + 1), 0);
    dir.write("m", file);
    auto bytes = nuvrel_test::run(FsDirectory(dir.path()).open_read("m", SegmentMeta::kFileCeiling));
    ASSERT_TRUE(bytes);
    ASSERT_EQ(bytes->size(), 24 + 16 * most);
    EXPECT_EQ(SegmentMeta::deserialize(*bytes).error(), IoError::fill_whole_buffer());
    auto at_ceiling = bytes->to_vec();
    at_ceiling[20] = 0;  // most = 2^20: the count's low bytes are zero
    at_ceiling[22] = 0x10;
    auto meta = SegmentMeta::deserialize(at_ceiling);
    ASSERT_TRUE(meta) << meta.error().to_string();
    EXPECT_EQ(meta->field_stats.size(), 1u);
}
