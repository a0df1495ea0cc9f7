#include <gtest/gtest.h>

#include <fmt/format.h>

#include "segment/store.h"
#include "support/segment_builder.h"

using namespace nuvrel_core;
using nuvrel_test::Bytes;
using nuvrel_test::run;
using nuvrel_test::StoreBuilder;
using nuvrel_test::StoreOptions;

namespace {

IoResult<std::shared_ptr<AsyncStoreReader>> open_store(const std::vector<std::uint8_t>& file) {
    return run(AsyncStoreReader::open(LazyFileHandle::from_bytes(OwnedBytes::from_vec(file)), 256));
}

std::shared_ptr<AsyncStoreReader> must_open(const std::vector<std::uint8_t>& file) {
    auto r = open_store(file);
    EXPECT_TRUE(r) << r.error().to_string();
    return r ? *r : nullptr;
}

std::string record(const AsyncStoreReader& s, std::uint32_t doc) {
    auto r = run(s.get_record(doc));
    return r ? nuvrel_test::to_string(*r) : "ERR " + r.error().to_string();
}

Bytes footer(std::uint64_t data_end, std::uint64_t dict_offset, std::uint32_t num_docs, std::uint32_t has_dict,
             std::uint32_t version = 2, std::uint32_t magic = kStoreMagic) {
    return std::move(Bytes().u64(data_end).u64(dict_offset).u32(num_docs).u32(has_dict).u32(version).u32(magic));
}

}  // namespace

TEST(StoreOpen, DamagedFootersAndIndexesFail) {
    using K = IoErrorKind;
    const struct {
        Bytes file;
        const char* text;
        IoErrorKind kind;
    } cases[] = {
        {Bytes().raw(std::string(31, '\0')), "Store too small", K::InvalidData},
        {footer(0, 0, 0, 0, 1, 0x1234), "Invalid store magic", K::InvalidData},  // magic before version
        {footer(0, 0, 0, 0, 1), "Unsupported store version: 1", K::InvalidData},
        {footer(0, 0, 0, 0), "failed to fill whole buffer", K::UnexpectedEof},  // no room for the count
        {Bytes().u32(3).u32(0).raw(footer(0, 0, 0, 0).vec()), "failed to fill whole buffer", K::UnexpectedEof},
        {Bytes().u32(0xFFFFFFFF).raw(footer(0, 0, 0, 0).vec()), "failed to fill whole buffer", K::UnexpectedEof},
        {Bytes().u32(0).raw(footer(0, 100, 0, 1).vec()), "Range 100..104 out of bounds (file size: 36)", K::InvalidInput},
        {Bytes().u32(0).raw(footer(30, 0, 0, 0).vec()), "Store index start 30 lies past its footer at 4", K::InvalidData},
        {Bytes().u32(0).u32(40).raw(footer(0, 4, 0, 1).vec()), "Range 8..48 out of bounds (file size: 40)", K::InvalidInput},
        {Bytes().u32(0).raw(footer(0, ~0ull - 1, 0, 1).vec()),
         "Range 18446744073709551614..18446744073709551618 out of bounds (file size: 36)", K::InvalidInput},
    };
    for (const auto& c : cases) {
        auto r = open_store(c.file.vec());
        ASSERT_FALSE(r) << c.text;
        EXPECT_EQ(r.error().to_string(), c.text);
        EXPECT_EQ(r.error().kind(), c.kind) << c.text;
    }
}

TEST(StoreOpen, EmptyIndexAndDictionaryFlags) {
    // 36 bytes: no blocks; every number is "not found". A dictionary needs
    // both the flag and the offset.
    for (auto [has, off] : {std::pair{0u, 0ull}, std::pair{1u, 0ull}, std::pair{0u, 4ull}}) {
        auto s = must_open(Bytes().u32(0).raw(footer(0, off, 5, has).vec()).vec());
        ASSERT_TRUE(s);
        EXPECT_FALSE(s->dict().has_value());
        EXPECT_EQ(s->num_docs(), 5u);
        for (std::uint32_t d : {0u, 4u, 0xFFFFFFFFu}) EXPECT_EQ(record(*s, d), "ERR Doc not found in index");
    }
}

TEST(StoreGet, FindsBlocksAndFailsInGaps) {
    for (std::string dict : {std::string(), std::string("{\"field_values\": [[0, {\"text\": \"") + std::string(50, 'd')}) {
        StoreBuilder b(StoreOptions{3, dict});
        for (int i = 0; i < 3; ++i) b.add(fmt::format("doc{}", i));
        b.start_block(10);
        for (int i = 10; i < 12; ++i) b.add(fmt::format("doc{}", i));
        auto s = must_open(b.build());
        ASSERT_TRUE(s);
        EXPECT_EQ(s->dict().has_value(), !dict.empty());
        EXPECT_EQ(s->index().size(), 2u);
        for (std::uint32_t d : {0u, 2u, 10u, 11u}) EXPECT_EQ(record(*s, d), fmt::format("doc{}", d));
        for (std::uint32_t d : {3u, 9u, 12u}) EXPECT_EQ(record(*s, d), "ERR Doc not found in index");
    }
}

TEST(StoreGet, RecordWalks) {
    StoreBuilder b;
    b.add_raw_block(0, 4, nuvrel_test::to_string(Bytes().u32(1).raw("a").u32(0).u32(2).raw("cc").vec()));
    // The second record claims more bytes than remain.
    b.add_raw_block(4, 3, nuvrel_test::to_string(Bytes().u32(1).raw("x").u32(50).raw("yy").vec()));
    // Two bytes where a length is due.
    b.add_raw_block(7, 2, nuvrel_test::to_string(Bytes().u32(1).raw("z").u8(1).u8(0).vec()));
    auto s = must_open(b.build());
    ASSERT_TRUE(s);
    // Document 3 is claimed, but not in its block.
    const char* want[] = {"a", "", "cc", "ERR failed to fill whole buffer", "x", "ERR Invalid doc length",
                          "ERR Invalid doc length", "z", "ERR failed to fill whole buffer"};
    for (std::uint32_t d = 0; d < 9; ++d) EXPECT_EQ(record(*s, d), want[d]) << d;
    EXPECT_EQ(run(s->get_record(5)).error().kind(), IoErrorKind::InvalidData);
}

TEST(StoreGet, BadBlocksFailEachTimeAndAreNotCached) {
    Bytes file;
    file.raw("garbage!");
    file.u32(2).u32(0).u64(0).u32(8).u32(1).u32(1).u64(4).u32(100).u32(1);
    auto s = must_open(file.raw(footer(8, 0, 2, 0).vec()).vec());
    ASSERT_TRUE(s);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(record(*s, 0), "ERR Unknown frame descriptor");
    EXPECT_EQ(record(*s, 1), "ERR Range 4..104 out of bounds (slice len: 8)");
    EXPECT_TRUE(s->blocks().cache_order().empty());
}

TEST(StoreGet, ParsesDocumentsAndReportsBadOnesAsInvalidData) {
    StoreBuilder b;
    b.add(R"({"field_values": [[2, {"u64": 7}]]})");
    b.add("{}");
    auto s = must_open(b.build());
    ASSERT_TRUE(s);
    auto doc = run(s->get(0));
    ASSERT_TRUE(doc) << doc.error().to_string();
    EXPECT_EQ(std::get<std::uint64_t>(doc->field_values.at(0).second), 7u);
    auto missing = run(s->get(1));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind(), IoErrorKind::InvalidData);
    EXPECT_TRUE(missing.error().to_string().starts_with("missing field `field_values`"));
}
