#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "index/index.h"
#include "query/collector.h"
#include "query/term.h"
#include "support/outcome.h"
#include "support/segment_builder.h"
#include "support/walk_check.h"

using namespace nuvrel_core;
using nuvrel_test::run;
using nuvrel_test::SegmentBuilder;
using nuvrel_test::TempDir;

namespace {

const char* kSchema =
    R"({"fields": [{"name": "title", "field_type": "text", "indexed": true, "stored": true}],)"
    R"( "name_to_field": {"title": 0}})";

// A segment of n documents whose stored title is "<tag><local number>"; every
// document holds the term "all" once.
SegmentBuilder segment_of(std::uint32_t n, const std::string& tag) {
    SegmentBuilder b;
    std::vector<Posting> all;
    for (std::uint32_t i = 0; i < n; ++i) {
        b.add_document(fmt::format(R"({{"field_values": [[0, {{"text": "{}{}"}}]]}})", tag, i));
        all.push_back({i, 1});
    }
    if (n > 0) b.add_term(0, "all", all);
    return b;
}

void write_list(const TempDir& dir, const std::vector<std::string>& ids) {
    std::string json = "[";
    for (std::size_t i = 0; i < ids.size(); ++i) json += fmt::format("{}\"{}\"", i ? "," : "", ids[i]);
    dir.write("segments.json", json + "]");
}

Result<std::shared_ptr<Index>> open_index(const TempDir& dir) {
    return run(Index::open(FsDirectory(dir.path()), IndexConfig::default_config()));
}

std::shared_ptr<Index> open_ok(const TempDir& dir) {
    auto index = open_index(dir);
    EXPECT_TRUE(index) << index.error().to_string();
    return index ? *index : nullptr;
}

// The stored title of a global document number; "none" when there is none.
std::string title(const Index& index, std::uint32_t doc) {
    auto d = run(index.doc(doc));
    if (!d) return "error: " + d.error().to_string();
    if (!*d) return "none";
    return std::get<std::string>((*d)->field_values.at(0).second);
}

// An index of the one segment the builder describes.
std::shared_ptr<Index> open_single(const TempDir& dir, const SegmentBuilder& b) {
    dir.write("schema.json", kSchema);
    b.write(dir, SegmentId{1});
    write_list(dir, {SegmentId{1}.to_hex()});
    return open_ok(dir);
}


}  // namespace

// A metadata count beyond the store still moves the next segment's base.
TEST(IndexOpen, RoutesGlobalNumbersOverSegmentBases) {
    TempDir dir;
    dir.write("schema.json", kSchema);
    SegmentBuilder claims_more = segment_of(3, "a");
    claims_more.set_num_docs(5);
    claims_more.write(dir, SegmentId{1});
    segment_of(0, "b").write(dir, SegmentId{2});
    segment_of(2, "c").write(dir, SegmentId{3});
    write_list(dir, {SegmentId{1}.to_hex(), SegmentId{2}.to_hex(), SegmentId{3}.to_hex()});
    auto index = open_ok(dir);
    ASSERT_TRUE(index);

    std::vector<std::uint32_t> bases;
    for (const auto& segment : index->segment_readers()) bases.push_back(segment->doc_id_offset());
    EXPECT_EQ(bases, (std::vector<std::uint32_t>{0, 5, 5}));
    EXPECT_EQ(index->num_docs(), 7u);
    std::vector<std::string> titles;
    for (std::uint32_t g = 0; g <= 7; ++g) titles.push_back(title(*index, g));
    EXPECT_EQ(titles, (std::vector<std::string>{"a0", "a1", "a2", "none", "none", "c0", "c1", "none"}));
}

TEST(IndexOpen, SchemaIsReadBeforeTheSegmentList) {
    TempDir dir;
    dir.write("segments.json", "not json");  // would fail as Serialization if it were read first
    // No schema: an I/O error; a bad schema, then a bad list: Serialization.
    for (const char* schema : {static_cast<const char*>(nullptr), "{", kSchema}) {
        if (schema) dir.write("schema.json", schema);
        auto r = open_index(dir);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().is<Error::Io>(), schema == nullptr) << r.error().to_string();
        EXPECT_EQ(r.error().is<Error::Serialization>(), schema != nullptr) << r.error().to_string();
    }
}

TEST(IndexOpen, SegmentIdsAreCheckedOneByOneAsSegmentsOpen) {
    TempDir dir;
    dir.write("schema.json", kSchema);
    segment_of(1, "a").write(dir, SegmentId{1});
    // The first segment opens before the second id is parsed: a missing first
    // segment is the error, not the bad id after it.
    write_list(dir, {SegmentId{9}.to_hex(), "zz"});
    auto r = open_index(dir);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is<Error::Io>()) << r.error().to_string();

    write_list(dir, {SegmentId{1}.to_hex(), "zz"});
    EXPECT_EQ(nuvrel_test::error_text(open_index(dir)), "Index corruption: Invalid segment ID: zz");
}

// Defaults are derived from the indexed text fields, or kept as listed,
// duplicates and unknown ids too.
TEST(IndexOpen, NoSegmentListOrAnEmptyOneMeansNoSegmentsAndDefaultFields) {
    TempDir dir;
    dir.write("schema.json",
              R"({"fields": [{"name": "a", "field_type": "text", "indexed": true, "stored": true},)"
              R"( {"name": "b", "field_type": "text", "indexed": false, "stored": true},)"
              R"( {"name": "c", "field_type": "u64", "indexed": true, "stored": true}],)"
              R"( "name_to_field": {"a": 0, "b": 1, "c": 2}})");
    auto derived = open_ok(dir);
    ASSERT_TRUE(derived);
    EXPECT_EQ(derived->default_fields(), std::vector<Field>{0});
    dir.write("schema.json", R"({"fields": [], "name_to_field": {}, "default_fields": [5, 5]})");
    write_list(dir, {});
    auto listed = open_ok(dir);
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->default_fields(), (std::vector<Field>{5, 5}));
    for (const auto& index : {derived, listed}) {
        EXPECT_EQ(index->num_segments(), 0u);
        EXPECT_EQ(index->num_docs(), 0u);
        EXPECT_EQ(title(*index, 0), "none");
    }
}

TEST(IndexReload, NewSegmentsAppearFailuresKeepTheOldListSnapshotsLive) {
    TempDir dir;
    dir.write("schema.json", kSchema);
    segment_of(2, "a").write(dir, SegmentId{1});
    write_list(dir, {SegmentId{1}.to_hex()});
    auto index = open_ok(dir);
    ASSERT_TRUE(index);

    segment_of(3, "b").write(dir, SegmentId{2});
    write_list(dir, {SegmentId{1}.to_hex(), SegmentId{2}.to_hex()});
    EXPECT_EQ(index->num_segments(), 1u);  // nothing changes before a reload
    ASSERT_TRUE(run(index->reload()));
    EXPECT_EQ(index->num_docs(), 5u);
    EXPECT_EQ(title(*index, 2), "b0");

    for (const char* broken : {"[\"zz\"]", "{"}) {
        dir.write("segments.json", broken);
        EXPECT_FALSE(run(index->reload()));
        EXPECT_EQ(index->num_segments(), 2u);
        EXPECT_EQ(title(*index, 4), "b2");
    }

    // A snapshot keeps its readers after the list was replaced.
    SegmentList before = index->segment_readers();
    write_list(dir, {SegmentId{2}.to_hex()});
    ASSERT_TRUE(run(index->reload()));
    EXPECT_EQ(title(*index, 0), "b0");
    ASSERT_EQ(before.size(), 2u);
    auto old = run(before[0]->doc(1));
    ASSERT_TRUE(old && *old);
    EXPECT_EQ(std::get<std::string>((*old)->field_values.at(0).second), "a1");
    auto hits = run(search_segment(before[1], TermQuery::text(0, "ALL"), 10));
    ASSERT_TRUE(hits);
    EXPECT_EQ(hits->size(), 3u);
}

TEST(IndexSearch, WorkedExampleScoresBitExact) {
    SegmentBuilder b;
    b.set_num_docs(100);
    b.add_field_stats(0, FieldStats{500, 100});
    std::vector<Posting> postings;
    for (std::uint32_t d = 0; d < 10; ++d) postings.push_back({d * 10, d == 3 ? 5u : d == 7 ? 2u : 1u});
    b.add_term(0, "cat", postings);  // 10 documents: external list
    TempDir dir;
    auto index = open_single(dir, b);
    ASSERT_TRUE(index);

    const TermQuery query = TermQuery::text(0, "Cat");
    auto hits = run(search_segment(index->segment_readers()[0], query, 3));
    ASSERT_TRUE(hits) << hits.error().to_string();
    // tf 5, tf 2, then of the equal scores of tf 1 the lowest document
    EXPECT_EQ(nuvrel_test::matches(*hits),
              (std::vector<nuvrel_test::Match>{{30, 0x408085b7u}, {70, 0x406fa690u}, {0, 0x40575c9au}}));
    // A term the segment lacks matches nothing and is no error.
    auto none = run(search_segment(index->segment_readers()[0], TermQuery::text(0, "dog"), 3));
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());

    // A segment without statistics for the field scores as if every document had length 1.
    auto top_with = [&](std::optional<FieldStats> stats) {
        SegmentBuilder s;
        s.set_num_docs(100);
        if (stats) s.add_field_stats(0, *stats);
        s.add_term(0, "cat", postings);
        TempDir d;
        auto i = open_single(d, s);
        return nuvrel_test::matches(run(search_segment(i->segment_readers()[0], query, 3)).value());
    };
    EXPECT_EQ(top_with(std::nullopt), top_with(FieldStats{100, 100}));
    EXPECT_NE(top_with(std::nullopt), top_with(FieldStats{500, 100}));
}

TEST(IndexSearch, TermWalkMatchesTheScorersOwnSteps) {
    // collect_top_k walks a term scorer in a loop of its own; it must give
    // what doc()/score()/advance() give, for frequencies in and beyond the
    // scorer's small score table and across many blocks.
    // Short lists fill the table as frequencies appear, long ones up front.
    for (std::uint32_t n : {300u, 1500u}) {
        SegmentBuilder b;
        b.set_num_docs(8000);
        b.add_field_stats(0, FieldStats{30000, 4000});
        std::vector<Posting> postings;
        for (std::uint32_t d = 0; d < n; ++d) postings.push_back({d * 5 + d % 3, 1 + (d * 37) % 150});
        b.add_term(0, "t", postings);
        TempDir dir;
        auto index = open_single(dir, b);
        ASSERT_TRUE(index);
        auto reader = index->segment_readers()[0];
        const TermQuery query = TermQuery::text(0, "t");

        auto scorer = run(query.scorer(*reader));
        ASSERT_TRUE(scorer);
        const auto steps = nuvrel_test::stepped(**scorer);
        ASSERT_EQ(steps.size(), n);
        for (std::size_t limit : {0u, 1u, 7u, 1500u, 5000u}) {
            auto hits = run(search_segment(reader, query, limit));
            ASSERT_TRUE(hits);
            EXPECT_EQ(nuvrel_test::matches(*hits), nuvrel_test::best(steps, limit)) << n << " " << limit;
        }
    }
}
