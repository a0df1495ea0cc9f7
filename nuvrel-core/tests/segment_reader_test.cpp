#include <gtest/gtest.h>

#include <fmt/format.h>

#include "segment/reader.h"
#include "support/outcome.h"
#include "support/segment_builder.h"

using namespace nuvrel_core;
using nuvrel_test::Bytes;
using nuvrel_test::error_text;
using nuvrel_test::run;
using nuvrel_test::SegmentBuilder;
using nuvrel_test::TempDir;

namespace {

const SegmentId kId{0xabcdef};

std::vector<Posting> docs(std::initializer_list<std::uint32_t> ids) {
    std::vector<Posting> p;
    for (auto d : ids) p.push_back({d, d % 5 + 1});
    return p;
}

std::vector<Posting> many(std::uint32_t n) {
    std::vector<Posting> p;
    for (std::uint32_t i = 0; i < n; ++i) p.push_back({i * 2, i % 3 + 1});
    return p;
}

Result<std::shared_ptr<AsyncSegmentReader>> open_segment(const TempDir& dir, SegmentId id = kId,
                                                          std::uint32_t base = 0) {
    auto schema = std::make_shared<const Schema>();
    return run(AsyncSegmentReader::open(FsDirectory(dir.path()), id, schema, base, 256));
}

std::vector<Posting> postings_of(const AsyncSegmentReader& r, Field f, std::string term) {
    auto list = run(r.get_postings(f, std::move(term)));
    EXPECT_TRUE(list) << list.error().to_string();
    if (!list || !*list) return {};
    return nuvrel_test::decode_all(std::move(**list));
}

std::string postings_error(const AsyncSegmentReader& r, Field f, std::string term) {
    return error_text(run(r.get_postings(f, std::move(term))));
}

SegmentBuilder sample() {
    SegmentBuilder b;
    b.add_term(2, "ab", docs({1, 4}));          // inline
    b.add_term(2, "big", many(300));            // external, three blocks
    b.add_term(0, "hello", docs({0, 1, 2, 3}));
    b.add_term(1, "ab", many(20));
    for (int i = 0; i < 6; ++i) b.add_document(fmt::format(R"({{"field_values": [[0, {{"text": "d{}"}}]]}})", i));
    b.add_field_stats(0, {500, 100});
    return b;
}

}  // namespace

TEST(SegmentReader, LooksTermsUpAndFetchesDocuments) {
    TempDir dir;
    auto b = sample();
    b.set_num_docs(99);  // the metadata count does not bound doc()
    b.write(dir, kId);
    auto r = open_segment(dir, kId, 1000);
    ASSERT_TRUE(r) << r.error().to_string();
    const auto& seg = **r;
    EXPECT_EQ(seg.num_docs(), 99u);
    EXPECT_EQ(seg.meta().field_stats.at(0), (FieldStats{500, 100}));
    // The key is the field id (little-endian) followed by the term.
    EXPECT_EQ(postings_of(seg, 2, "ab"), docs({1, 4}));
    EXPECT_EQ(postings_of(seg, 1, "ab"), many(20));
    EXPECT_EQ(postings_of(seg, 2, "big"), many(300));
    EXPECT_EQ(postings_of(seg, 0, "hello"), docs({0, 1, 2, 3}));
    auto absent = run(seg.get_postings(3, "ab"));
    ASSERT_TRUE(absent);
    EXPECT_FALSE(absent->has_value());

    auto last = run(seg.doc(5));
    ASSERT_TRUE(last && last->has_value()) << error_text(last);
    EXPECT_EQ(std::get<std::string>((*last)->field_values.at(0).second), "d5");
    auto past = run(seg.doc(6));
    ASSERT_TRUE(past);
    EXPECT_FALSE(past->has_value());
}

TEST(SegmentReader, PostingRangesAreCheckedBeforeAnyRead) {
    TempDir dir;
    auto files = sample().files(kId);
    auto names = SegmentFiles::from_id(kId);
    const auto post_len = files[names.postings].size();
    nuvrel_test::TermDictBuilder t;
    auto list = nuvrel_test::encode_posting_list(docs({7}));
    auto post = files[names.postings];
    post.insert(post.end(), list.begin(), list.end());
    const std::uint32_t len = static_cast<std::uint32_t>(list.size());
    t.add(nuvrel_test::term_key(0, "edge"), TermInfo::External{1, post_len, len});
    t.add(nuvrel_test::term_key(0, "over"), TermInfo::External{1, post_len, len + 1});
    t.add(nuvrel_test::term_key(0, "wrap"), TermInfo::External{1, ~0ull - 2, 10});
    t.add(nuvrel_test::term_key(0, "short"), TermInfo::External{1, 0, 7});
    t.add(nuvrel_test::term_key(0, "noinline"), TermInfo::make_inline(3, Bytes().u8(3).u8(1).u8(4).u8(2).vec()));
    files[names.terms] = t.build();
    files[names.postings] = post;
    for (const auto& [n, bytes] : files) dir.write(n, bytes);
    auto r = open_segment(dir);
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(postings_of(**r, 0, "edge"), docs({7}));
    EXPECT_EQ(postings_error(**r, 0, "over"), "Index corruption: Posting offset out of bounds");
    EXPECT_EQ(postings_error(**r, 0, "wrap"), "Index corruption: Posting offset out of bounds");
    EXPECT_EQ(postings_error(**r, 0, "short"), "IO error: failed to fill whole buffer");
    EXPECT_EQ(postings_error(**r, 0, "noinline"), "Index corruption: TermInfo has neither inline nor external data");

    // An empty ".post" file fails only the terms that need it.
    files = sample().files(kId);
    files[names.postings].clear();
    for (const auto& [n, bytes] : files) dir.write(n, bytes);
    auto empty = open_segment(dir);
    ASSERT_TRUE(empty) << empty.error().to_string();
    EXPECT_EQ(postings_of(**empty, 2, "ab"), docs({1, 4}));
    EXPECT_EQ(postings_error(**empty, 2, "big"), "Index corruption: Posting offset out of bounds");
}

TEST(SegmentReader, OpenFailures) {
    auto names = SegmentFiles::from_id(kId);
    for (const std::string& missing : {names.meta, names.terms, names.postings, names.store}) {
        TempDir dir;
        sample().write(dir, kId);
        std::filesystem::remove(dir.path() / missing);
        auto r = open_segment(dir);
        ASSERT_FALSE(r) << missing;
        EXPECT_EQ(r.error().to_string(), "IO error: No such file or directory (os error 2)") << missing;
    }
    {
        TempDir dir;
        sample().write(dir, kId);
        dir.write(names.meta, std::vector<std::uint8_t>(19));
        EXPECT_EQ(open_segment(dir).error().to_string(), "IO error: failed to fill whole buffer");
        dir.write(names.meta, std::vector<std::uint8_t>(20));
        dir.write(names.store, std::vector<std::uint8_t>(10));
        EXPECT_EQ(open_segment(dir).error().to_string(), "IO error: Store too small");
        dir.write(names.terms, std::vector<std::uint8_t>(10));
        EXPECT_EQ(open_segment(dir).error().to_string(), "IO error: SSTable too small");
    }
}

TEST(SegmentReader, ForeignMetaIdAndCorruptVectorsAreAccepted) {
    TempDir dir;
    sample().write(dir, kId);
    auto names = SegmentFiles::from_id(kId);
    dir.write(names.meta, nuvrel_test::meta_bytes(SegmentId{77}, 6));
    dir.write(names.vectors, std::string("garbage"));
    auto r = open_segment(dir);
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_TRUE((*r)->meta().id == SegmentId{77});
    EXPECT_TRUE((*r)->vector_indexes().empty());
}
