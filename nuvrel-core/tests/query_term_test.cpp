#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "query/bm25.h"
#include "query/term.h"
#include "query/term_scorer.h"
#include "support/fake_postings.h"
#include "support/walk_check.h"
#include "wand/wand_data.h"

using namespace nuvrel_core;
using nuvrel_test::FakeCursor;
using nuvrel_test::FakeList;
using nuvrel_test::list_of;

namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

using FakeTermScorer = BasicTermScorer<FakeCursor>;
static_assert(PostingCursor<FakeCursor> && !DecodingPostingCursor<FakeCursor>);

FakeTermScorer scorer_over(FakeList l, float idf = 1.0f, float avg = 1.0f) {
    Bm25Weight w;
    w.idf = idf;
    w.avg_field_length = avg;
    return FakeTermScorer(FakeCursor(std::move(l)), w);
}

}  // namespace

TEST(Bm25, WorkedExampleAndEdgeStatisticsBitExact) {
    const float idf = bm25_idf(100, 10);
    EXPECT_EQ(bits(idf), 0x4010e134u);  // 2.2637453
    EXPECT_EQ(average_field_length(500, 100), 5.0f);
    Bm25Weight w;
    w.idf = idf;
    w.avg_field_length = 5.0f;
    EXPECT_EQ(bits(w.score(1.0f)), 0x40575c9au);  // 3.3650270
    EXPECT_EQ(bits(w.score(2.0f)), 0x406fa690u);  // 3.7445412
    EXPECT_EQ(bits(w.score(5.0f)), 0x408085b7u);  // 4.0163226

    // More documents holding the term than the segment counts: negative idf, not clamped.
    EXPECT_EQ(bits(bm25_idf(0, 1)), 0xbecf9921u);  // -0.4054652
    EXPECT_EQ(average_field_length(500, 0), 0.0f);
    // An average below 1, or NaN, is taken as 1.
    for (float avg : {0.0f, std::numeric_limits<float>::quiet_NaN()}) {
        Bm25Weight e;
        e.idf = 1.0f;
        e.avg_field_length = avg;
        EXPECT_EQ(e.score(1.0f), 1.0f);
        EXPECT_EQ(e.score(0.0f), 0.0f);
    }
}

TEST(TermQueryText, FullLowerCaseMapping) {
    const std::pair<const char*, const char*> cases[] = {
        {"New York", "new york"},
        {"ΣΑΣ ΣΑΣ", "σας σας"},
        {"Σ", "σ"},        // no cased letter before it
        {"ΑΣ'", "ας'"},    // apostrophe is case-ignorable
        {"ΑΣ'Α", "ασ'α"},  // a cased letter follows
        {"İstanbul", "i\u0307stanbul"},
        {"STRAẞE", "straße"},
        {"  Ǆ  ", "  ǆ  "},  // no trimming
        {"\xFF" "A", "\xEF\xBF\xBD" "a"},  // a bad byte reads as U+FFFD
    };
    for (auto [text, term] : cases) EXPECT_EQ(TermQuery::text(7, text).term(), term) << text;
    // U+0130 lower-cases to two units: from 17 of them on, the lower case
    // outgrows the first buffer and needs ICU's second call.
    for (std::size_t n : {16u, 17u, 100u}) {
        std::string text, term;
        for (std::size_t i = 0; i < n; ++i) text += "\u0130", term += "i\u0307";
        EXPECT_EQ(lowercase_full(text), term) << n;
    }
    // ASCII text takes a path of its own, which must agree with the full mapping.
    std::string ascii(128, '\0');
    for (int c = 0; c < 128; ++c) ascii[static_cast<std::size_t>(c)] = static_cast<char>(c);
    EXPECT_EQ(lowercase_full(ascii + "\xC3\x89"), lowercase_full(ascii) + "\xC3\xA9");
    EXPECT_EQ(TermQuery::text(7, "ABC").field(), 7u);
}

TEST(TermQueryStatistics, SharedStatisticsOnlyWhenComplete) {
    auto wand = std::make_shared<WandData>();
    wand->avg_field_length = 7.0f;
    wand->term_info["title:rust"] = TermWandInfo{3.5f, 0.0f};
    EXPECT_FALSE(wand->get_idf("title", "Rust").has_value());
    const float segment_idf = bm25_idf(100, 10);
    auto weight = [&](const char* term, const char* field_name, bool shared) {
        auto q = TermQuery::text(0, term);
        if (field_name) q.with_field_name(field_name);
        if (shared) q.with_wand_data(wand);
        auto w = q.bm25_weight(100, 10, 5.0f);
        return std::pair{w.idf, w.avg_field_length};
    };
    EXPECT_EQ(weight("Rust", nullptr, false), std::pair(segment_idf, 5.0f));
    // Statistics without a field name: the segment's idf, the shared average.
    EXPECT_EQ(weight("Rust", nullptr, true), std::pair(segment_idf, 7.0f));
    EXPECT_EQ(weight("Rust", "title", true), std::pair(3.5f, 7.0f));
    EXPECT_EQ(weight("Go", "title", true).first, segment_idf);
}

TEST(TermScorer, WalksBlocksAndScoresFrequencies) {
    auto s = scorer_over(list_of({{{1, 1}, {4, 2}}, {{9, 5}}}), bm25_idf(100, 10), 5.0f);
    EXPECT_EQ(nuvrel_test::stepped(s),
              (std::vector<nuvrel_test::Match>{{1, 0x40575c9au}, {4, 0x406fa690u}, {9, 0x408085b7u}}));
    EXPECT_EQ(s.score(), 0.0f);
    EXPECT_EQ(s.seek(0), TERMINATED);

    // No blocks: exhausted from the start. A block that decoded to nothing ends advance.
    auto none = scorer_over(FakeList{});
    EXPECT_EQ(none.doc(), TERMINATED);
    EXPECT_EQ(none.seek(3), TERMINATED);
    auto gap = scorer_over(list_of({{{1, 1}}, {}, {{9, 1}}}));
    EXPECT_EQ(gap.advance(), TERMINATED);
    EXPECT_EQ(gap.score(), 0.0f);
}

TEST(TermScorer, SeekBySkipEntries) {
    auto s = scorer_over(list_of({{{1, 1}, {4, 1}, {6, 1}}, {{10, 1}, {12, 1}}, {{20, 1}}}));
    EXPECT_EQ(s.seek(5), 6u);
    EXPECT_EQ(s.seek(2), 6u);    // within the current block never backwards
    EXPECT_EQ(s.seek(11), 12u);  // skips to block 1
    EXPECT_EQ(s.seek(3), 4u);    // an earlier block's last_doc reaches 3: block 0 again
    EXPECT_EQ(s.seek(7), 10u);   // block 0 runs out: on to block 1
    EXPECT_EQ(s.seek(21), TERMINATED);
    EXPECT_EQ(s.advance(), TERMINATED);

    // Block 0 claims a last document of 100 but holds only 1 and 2: every
    // pass for target 50 would name block 0 again.
    FakeList l = list_of({{{1, 1}, {2, 1}}, {{60, 1}}});
    l.skip_list[0].last_doc = 100;
    auto lying = scorer_over(std::move(l));
    EXPECT_EQ(lying.seek(50), TERMINATED);
    EXPECT_EQ(lying.advance(), TERMINATED);
    // Out-of-order documents inside the block: a second pass from the start
    // of the block still finds what the first pass stepped over.
    FakeList m = list_of({{{70, 1}, {1, 1}, {2, 1}}, {{80, 1}}});
    m.skip_list[0].last_doc = 100;
    auto t = scorer_over(std::move(m));
    EXPECT_EQ(t.advance(), 1u);
    EXPECT_EQ(t.seek(50), 70u);
}
