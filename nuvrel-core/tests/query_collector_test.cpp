#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "query/collector.h"
#include "support/outcome.h"
#include "support/query_mocks.h"
#include "support/test_util.h"

using namespace nuvrel_core;
using nuvrel_test::ListQuery;
using nuvrel_test::ListScorer;
using nuvrel_test::run;
using nuvrel_test::unused_reader_handle;

namespace {

constexpr float nan_score = std::numeric_limits<float>::quiet_NaN();

std::vector<std::uint32_t> docs(const std::vector<SearchResult>& r) {
    std::vector<std::uint32_t> out;
    for (auto& x : r) out.push_back(x.doc_id);
    return out;
}

// The sorted results of collecting these hits, in this order, with a limit of k.
std::vector<SearchResult> top(std::size_t k, std::initializer_list<SearchResult> hits) {
    TopKCollector c(k);
    for (const auto& h : hits) c.collect(h.doc_id, h.score);
    return std::move(c).into_sorted_results();
}

}  // namespace

TEST(TopKCollector, KeepsBestAndSortsTiesByDocument) {
    // (3, 2.0) equals the worst kept and never displaces it; (5, 2.5) displaces doc 0, the worst kept.
    EXPECT_EQ(top(3, {{0, 1.0f}, {1, 3.0f}, {2, 2.0f}, {3, 2.0f}, {4, 0.5f}, {5, 2.5f}, {6, 2.0f}}),
              (std::vector<SearchResult>{{1, 3.0f}, {5, 2.5f}, {2, 2.0f}}));
    EXPECT_EQ(docs(top(4, {{7, 1.0f}, {3, 1.0f}, {9, 1.0f}, {1, 1.0f}})), (std::vector<std::uint32_t>{1, 3, 7, 9}));
}

TEST(TopKCollector, LimitZeroAndHugeLimits) {
    EXPECT_TRUE(top(0, {{1, 5.0f}}).empty());
    // No reservation for the whole limit: a huge limit must not abort.
    for (std::size_t k : {std::numeric_limits<std::size_t>::max(), std::numeric_limits<std::size_t>::max() - 1,
                          std::size_t{1} << 60})
        EXPECT_EQ(docs(top(k, {{2, 1.0f}, {1, 1.0f}})), (std::vector<std::uint32_t>{1, 2}));
}

TEST(TopKCollector, NanScores) {
    // A NaN enters while there is room. Against a NaN only document numbers
    // order results, so (2, 1.0) is the worse of the two and a higher score
    // displaces it; the NaN then sorts before the higher score by its number.
    auto r = top(2, {{1, nan_score}, {2, 1.0f}, {3, 100.0f}});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].doc_id, 1u);
    EXPECT_TRUE(std::isnan(r[0].score));
    EXPECT_EQ(r[1], (SearchResult{3, 100.0f}));
    // While a NaN is on top, nothing else enters.
    EXPECT_EQ(docs(top(2, {{5, 1.0f}, {9, nan_score}, {3, 100.0f}})), (std::vector<std::uint32_t>{5, 9}));
    // A NaN is never admitted against a full heap.
    EXPECT_EQ(top(1, {{1, 1.0f}, {2, nan_score}}), (std::vector<SearchResult>{{1, 1.0f}}));
}

TEST(TopKCollector, LongListsSortStablyBestFirst) {
    auto collect = [](std::size_t k, bool with_nans) {
        TopKCollector c(k);
        for (std::uint32_t d = 0; d < 500; ++d)
            c.collect(d, with_nans && d % 3 == 0 ? nan_score : static_cast<float>((d * 37) % 11));
        return std::move(c).into_sorted_results();
    };
    auto all = collect(1000, false);
    ASSERT_EQ(all.size(), 500u);
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_TRUE(ranks_before(all[i - 1], all[i])) << i;
    // The cut keeps the best: scores 10 down, lower numbers first among ties.
    EXPECT_EQ(collect(30, false), std::vector<SearchResult>(all.begin(), all.begin() + 30));
    // NaN makes the order inconsistent; the sort must still keep every result
    // exactly once (a library sort may read out of bounds here).
    auto ids = docs(collect(1000, true));
    std::sort(ids.begin(), ids.end());
    std::vector<std::uint32_t> every(500);
    std::iota(every.begin(), every.end(), 0u);
    EXPECT_EQ(ids, every);
}

TEST(SearchSegment, WalksEveryMatchAndPropagatesErrors) {
    ListScorer s({{1, 0.5f}, {2, 2.0f}, {3, 1.0f}});
    EXPECT_EQ(collect_top_k(s, 2), (std::vector<SearchResult>{{2, 2.0f}, {3, 1.0f}}));

    ListScorer walked({{1, 0.5f}, {2, 2.0f}, {3, 1.0f}});
    EXPECT_TRUE(collect_top_k(walked, 0).empty());
    EXPECT_EQ(walked.advances, 3);  // a limit of 0 still walks every match

    ListQuery q({{4, 1.0f}, {6, 3.0f}});
    auto r = run(search_segment(unused_reader_handle(), q, 10));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, (std::vector<SearchResult>{{6, 3.0f}, {4, 1.0f}}));

    auto bad = ListQuery::failing("Posting offset out of bounds");
    EXPECT_EQ(nuvrel_test::error_text(run(search_segment(unused_reader_handle(), bad, 10))),
              "Index corruption: Posting offset out of bounds");
}

TEST(TopKCollector, RandomHitsMatchASortedReference) {
    // Hits arrive in document order, as every scorer yields them; a few
    // distinct scores make ties common, so heap moves on equal scores (ordered
    // by document number) are exercised as well as those on distinct ones.
    std::mt19937 rng(17);
    for (std::size_t k = 1; k <= 64; ++k) {
        for (int round = 0; round < 8; ++round) {
            const std::size_t n = rng() % (4 * k + 40);
            std::vector<SearchResult> hits;
            std::uint32_t doc = 0;
            for (std::size_t i = 0; i < n; ++i) {
                doc += 1 + rng() % 3;
                hits.push_back({doc, static_cast<float>(rng() % (round % 2 ? 4 : 50)) / 4.0f});
            }
            TopKCollector c(k);
            for (const auto& h : hits) c.collect(h.doc_id, h.score);
            std::stable_sort(hits.begin(), hits.end(), ranks_before);
            hits.resize(std::min(hits.size(), k));
            ASSERT_EQ(std::move(c).into_sorted_results(), hits) << "k " << k << " round " << round;
        }
    }
}
