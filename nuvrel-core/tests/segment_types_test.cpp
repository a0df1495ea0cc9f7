#include <gtest/gtest.h>

#include "segment/types.h"
#include "support/segment_builder.h"

using namespace nuvrel_core;
using nuvrel_test::Bytes;

namespace {
u128 max_id() { return ~static_cast<u128>(0); }
}  // namespace

TEST(SegmentId, ParsesHexLikeTheStandardParse) {
    for (std::string_view one : {"00000000000000000000000000000001", "1", "+1", "0001"}) {
        auto id = SegmentId::from_hex(one);
        ASSERT_TRUE(id) << one;
        EXPECT_TRUE(id->value == 1) << one;
    }
    EXPECT_EQ(SegmentId::from_hex("ABCDEF"), SegmentId::from_hex("abcdef"));
    EXPECT_TRUE(SegmentId::from_hex("abcdef")->value == 0xabcdef);
    for (std::string_view bad : {"", "+", "-", "-1", "0x1", " 1", "1 ", "g", "++1", "1\xc3\xa9"})
        EXPECT_FALSE(SegmentId::from_hex(bad)) << bad;
    EXPECT_TRUE(SegmentId::from_hex(std::string(32, 'f'))->value == max_id());
    EXPECT_FALSE(SegmentId::from_hex("1" + std::string(32, '0')));
    EXPECT_TRUE(SegmentId::from_hex("0" + std::string(32, 'f'))->value == max_id());
    EXPECT_TRUE(SegmentId::from_hex(std::string(40, '0') + "12")->value == 0x12);
}

TEST(SegmentFiles, NamesFromId) {
    auto f = SegmentFiles::from_id(SegmentId{255});
    const std::string base = "seg_" + std::string(30, '0') + "ff";
    EXPECT_EQ(f.terms, base + ".terms");
    EXPECT_EQ(f.postings, base + ".post");
    EXPECT_EQ(f.store, base + ".store");
    EXPECT_EQ(f.meta, base + ".meta");
    EXPECT_EQ(f.vectors, base + ".vectors");
    EXPECT_EQ(SegmentFiles::from_id(SegmentId{max_id()}).meta, "seg_" + std::string(32, 'f') + ".meta");
}

TEST(SegmentMeta, DecodesIdCountAndStats) {
    SegmentId id{(static_cast<u128>(0x0102030405060708ull) << 64) | 0x1112131415161718ull};
    auto bytes = nuvrel_test::meta_bytes(id, 42, {{3, {1, 1}}, {5, {500, 100}}, {3, {7, 2}}});
    auto meta = SegmentMeta::deserialize(bytes);
    ASSERT_TRUE(meta);
    EXPECT_EQ(meta->id, id);
    EXPECT_EQ(meta->num_docs, 42u);
    ASSERT_EQ(meta->field_stats.size(), 2u);
    EXPECT_EQ(meta->field_stats.at(3), (FieldStats{7, 2}));  // the later entry wins
    EXPECT_EQ(meta->field_stats.at(5), (FieldStats{500, 100}));
}

TEST(SegmentMeta, TruncationsFailAndTwentyBytesIsComplete) {
    std::vector<std::uint8_t> base = Bytes().u64(1).u64(0).u32(9).vec();
    auto twenty = SegmentMeta::deserialize(base);
    ASSERT_TRUE(twenty);
    EXPECT_TRUE(twenty->field_stats.empty());
    EXPECT_EQ(twenty->num_docs, 9u);
    for (std::size_t len : {0u, 19u, 21u, 22u, 23u}) {
        auto v = Bytes().u64(1).u64(0).u32(9).u32(0).vec();
        v.resize(len);
        auto r = SegmentMeta::deserialize(v);
        ASSERT_FALSE(r) << len;
        EXPECT_EQ(r.error().to_string(), "failed to fill whole buffer");
        EXPECT_EQ(r.error().kind(), IoErrorKind::UnexpectedEof);
    }
    auto two = nuvrel_test::meta_bytes(SegmentId{1}, 3, {{1, {2, 3}}, {2, {4, 5}}});
    two.pop_back();
    EXPECT_FALSE(SegmentMeta::deserialize(two));
    auto zero_extra = Bytes().raw(nuvrel_test::meta_bytes(SegmentId{1}, 3)).u32(0xFFFFFFFF).vec();
    auto z = SegmentMeta::deserialize(zero_extra);
    ASSERT_TRUE(z);
    EXPECT_TRUE(z->field_stats.empty());
    // A huge count with few bytes fails without reserving for it.
    EXPECT_FALSE(SegmentMeta::deserialize(Bytes().u64(1).u64(0).u32(9).u32(0xFFFFFFFF).u32(1).vec()));
}
