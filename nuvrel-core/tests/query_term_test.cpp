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
#include "wand/wand_data.h"

using namespace nuvrel_core;
using nuvrel_test::FakeCursor;
using nuvrel_test::FakeList;
using nuvrel_test::list_of;

namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

using FakeTermScorer = BasicTermScorer<FakeCursor>;

FakeTermScorer scorer_over(FakeList l, float idf = 1.0f, float avg = 1.0f) {
    Bm25Weight w;
    w.idf = idf;
    w.avg_field_length = avg;
    return FakeTermScorer(FakeCursor(std::move(l)), w);
}

}  // namespace

TEST(Bm25, WorkedExampleBitExact) {
    const float idf = bm25_idf(100, 10);
    EXPECT_EQ(bits(idf), 0x4010e134u);  // 2.2637453
    const float avg = average_field_length(500, 100);
    EXPECT_EQ(avg, 5.0f);
    Bm25Weight w;
    w.idf = idf;
    w.avg_field_length = avg;
    EXPECT_EQ(bits(w.score(1.0f)), 0x40575c9au);  // 3.3650270
    EXPECT_EQ(bits(w.score(2.0f)), 0x406fa690u);  // 3.7445412
    EXPECT_EQ(bits(w.score(5.0f)), 0x408085b7u);  // 4.0163226

    Bm25Weight unit;
    unit.idf = 1.0f;
    unit.avg_field_length = 1.0f;
    EXPECT_EQ(unit.score(1.0f), 1.0f);
    EXPECT_EQ(bits(BM25_K1), 0x3F99999Au);
}

TEST(Bm25, EdgeStatistics) {
    // More documents holding the term than the segment counts: negative idf, not clamped.
    EXPECT_EQ(bits(bm25_idf(0, 1)), 0xbecf9921u);  // -0.4054652
    EXPECT_EQ(average_field_length(500, 0), 0.0f);

    // An average below 1, or NaN, is taken as 1.
    Bm25Weight w;
    w.idf = 1.0f;
    w.avg_field_length = 0.0f;
    EXPECT_EQ(w.score(1.0f), 1.0f);
    w.avg_field_length = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(w.score(1.0f), 1.0f);
    EXPECT_EQ(w.score(0.0f), 0.0f);
}

TEST(TermQueryText, FullLowerCaseMapping) {
    EXPECT_EQ(TermQuery::text(0, "New York").term(), "new york");
    EXPECT_EQ(TermQuery::text(3, "ΣΑΣ").term(), "σας");
    EXPECT_EQ(TermQuery::text(0, "ΣΑΣ ΣΑΣ").term(), "σας σας");
    EXPECT_EQ(TermQuery::text(0, "Σ").term(), "σ");             // no cased letter before it
    EXPECT_EQ(TermQuery::text(0, "ΑΣ'").term(), "ας'");         // apostrophe is case-ignorable
    EXPECT_EQ(TermQuery::text(0, "ΑΣ'Α").term(), "ασ'α");       // a cased letter follows
    EXPECT_EQ(TermQuery::text(0, "İstanbul").term(), "i\u0307stanbul");
    EXPECT_EQ(TermQuery::text(0, "STRAẞE").term(), "straße");
    EXPECT_EQ(TermQuery::text(0, "ΣΑΣ").field(), 0u);
    EXPECT_EQ(TermQuery::text(0, "  Ǆ  ").term(), "  ǆ  ");     // no trimming
    EXPECT_EQ(TermQuery::text(0, "").term(), "");
    EXPECT_EQ(TermQuery::text(0, "\xFF" "A").term(), "\xEF\xBF\xBD" "a");  // a bad byte reads as U+FFFD

    auto q = TermQuery::text(7, "ABC");
    EXPECT_EQ(q.field(), 7u);
    EXPECT_FALSE(q.field_name().has_value());
    EXPECT_EQ(q.wand_data(), nullptr);
}

TEST(TermQueryStatistics, SharedStatisticsOnlyWhenComplete) {
    auto wand = std::make_shared<WandData>();
    wand->avg_field_length = 7.0f;
    wand->term_info["title:rust"] = TermWandInfo{3.5f, 0.0f};
    EXPECT_EQ(wand->get_idf("title", "rust"), 3.5f);
    EXPECT_FALSE(wand->get_idf("title", "Rust").has_value());
    EXPECT_FALSE(WandData{}.get_idf("title", "rust").has_value());

    auto plain = TermQuery::text(0, "Rust");
    Bm25Weight w = plain.bm25_weight(100, 10, 5.0f);
    EXPECT_EQ(w.idf, bm25_idf(100, 10));
    EXPECT_EQ(w.avg_field_length, 5.0f);

    // Statistics without a field name: the segment's idf, the shared average.
    auto no_name = TermQuery::text(0, "Rust");
    no_name.with_wand_data(wand);
    w = no_name.bm25_weight(100, 10, 5.0f);
    EXPECT_EQ(w.idf, bm25_idf(100, 10));
    EXPECT_EQ(w.avg_field_length, 7.0f);

    auto both = TermQuery::text(0, "Rust");
    both.with_field_name("title").with_wand_data(wand);
    w = both.bm25_weight(100, 10, 5.0f);
    EXPECT_EQ(w.idf, 3.5f);
    EXPECT_EQ(w.avg_field_length, 7.0f);

    auto missing = TermQuery::text(0, "Go");
    missing.with_field_name("title").with_wand_data(wand);
    EXPECT_EQ(missing.bm25_weight(100, 10, 5.0f).idf, bm25_idf(100, 10));
}

TEST(TermScorer, WalksBlocksAndScoresFrequencies) {
    auto s = scorer_over(list_of({{{1, 1}, {4, 2}}, {{9, 5}}}), bm25_idf(100, 10), 5.0f);
    EXPECT_EQ(s.doc(), 1u);
    EXPECT_EQ(bits(s.score()), 0x40575c9au);
    EXPECT_EQ(s.advance(), 4u);
    EXPECT_EQ(bits(s.score()), 0x406fa690u);
    EXPECT_EQ(s.advance(), 9u);
    EXPECT_EQ(bits(s.score()), 0x408085b7u);
    EXPECT_EQ(s.advance(), TERMINATED);
    EXPECT_EQ(s.doc(), TERMINATED);
    EXPECT_EQ(s.score(), 0.0f);
    EXPECT_EQ(s.advance(), TERMINATED);
    EXPECT_EQ(s.seek(0), TERMINATED);
    EXPECT_EQ(s.size_hint(), 0u);
}

TEST(TermScorer, ListWithoutBlocksStartsExhausted) {
    auto s = scorer_over(FakeList{});
    EXPECT_EQ(s.doc(), TERMINATED);
    EXPECT_EQ(s.score(), 0.0f);
    EXPECT_EQ(s.advance(), TERMINATED);
    EXPECT_EQ(s.seek(3), TERMINATED);
}

TEST(TermScorer, SeekBySkipEntries) {
    auto s = scorer_over(list_of({{{1, 1}, {4, 1}, {6, 1}}, {{10, 1}, {12, 1}}, {{20, 1}}}));
    EXPECT_EQ(s.seek(5), 6u);
    EXPECT_EQ(s.seek(2), 6u);    // within the current block never backwards
    EXPECT_EQ(s.seek(11), 12u);  // skips to block 1
    EXPECT_EQ(s.seek(3), 4u);    // an earlier block's last_doc reaches 3: block 0 again
    EXPECT_EQ(s.seek(7), 10u);   // block 0 runs out: on to block 1
    EXPECT_EQ(s.seek(21), TERMINATED);
    EXPECT_EQ(s.doc(), TERMINATED);
    EXPECT_EQ(s.advance(), TERMINATED);
}

TEST(TermScorer, EmptyBlockEndsAdvance) {
    auto s = scorer_over(list_of({{{1, 1}}, {}, {{9, 1}}}));
    EXPECT_EQ(s.advance(), TERMINATED);  // a block that decoded to nothing
    EXPECT_EQ(s.doc(), TERMINATED);
    EXPECT_EQ(s.score(), 0.0f);
}

TEST(TermScorer, SeekEndsOnSkipEntryThatLies) {
    // Block 0 claims a last document of 100 but holds only 1 and 2: every
    // pass for target 50 would name block 0 again.
    FakeList l = list_of({{{1, 1}, {2, 1}}, {{60, 1}}});
    l.skip_list[0].last_doc = 100;
    auto s = scorer_over(std::move(l));
    EXPECT_EQ(s.seek(50), TERMINATED);
    EXPECT_EQ(s.doc(), TERMINATED);
    EXPECT_EQ(s.advance(), TERMINATED);

    // Out-of-order documents inside the block: a second pass from the start
    // of the block still finds what the first pass stepped over.
    FakeList m = list_of({{{70, 1}, {1, 1}, {2, 1}}, {{80, 1}}});
    m.skip_list[0].last_doc = 100;
    auto t = scorer_over(std::move(m));
    EXPECT_EQ(t.advance(), 1u);
    EXPECT_EQ(t.seek(50), 70u);
}

TEST(TermScorer, MadeFromLookupResult) {
    auto q = TermQuery::text(0, "Term");
    auto none = make_term_scorer<FakeCursor>(q, std::optional<FakeList>{}, 100, 5.0f);
    EXPECT_EQ(none->doc(), TERMINATED);
    EXPECT_EQ(none->score(), 0.0f);

    // 10 of 100 documents hold the term; the field averages 5 tokens.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    for (std::uint32_t d = 0; d < 10; ++d) pairs.push_back({d * 10, d == 0 ? 2u : 1u});
    auto s = make_term_scorer<FakeCursor>(q, std::optional<FakeList>(list_of({pairs})), 100, 5.0f);
    EXPECT_EQ(s->doc(), 0u);
    EXPECT_EQ(bits(s->score()), 0x406fa690u);
    EXPECT_EQ(s->advance(), 10u);
    EXPECT_EQ(bits(s->score()), 0x40575c9au);

    auto empty = make_term_scorer<FakeCursor>(q, std::optional<FakeList>(FakeList{}), 100, 5.0f);
    EXPECT_EQ(empty->doc(), TERMINATED);
}
