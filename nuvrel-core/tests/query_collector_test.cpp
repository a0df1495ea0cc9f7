#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "query/collector.h"
#include "support/query_mocks.h"
#include "support/test_util.h"

using namespace nuvrel_core;
using nuvrel_test::Hit;
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

}  // namespace

TEST(TopKCollector, KeepsBestAndSortsTiesByDocument) {
    TopKCollector c(3);
    c.collect(0, 1.0f);
    c.collect(1, 3.0f);
    c.collect(2, 2.0f);
    c.collect(3, 2.0f);  // equal to the worst kept: never displaces it
    c.collect(4, 0.5f);
    c.collect(5, 2.5f);  // displaces doc 0, the worst kept
    c.collect(6, 2.0f);
    auto r = std::move(c).into_sorted_results();
    EXPECT_EQ(r, (std::vector<SearchResult>{{1, 3.0f}, {5, 2.5f}, {2, 2.0f}}));

    TopKCollector ties(4);
    for (std::uint32_t d : {7u, 3u, 9u, 1u}) ties.collect(d, 1.0f);
    EXPECT_EQ(docs(std::move(ties).into_sorted_results()), (std::vector<std::uint32_t>{1, 3, 7, 9}));
}

TEST(TopKCollector, LimitZeroAndHugeLimits) {
    TopKCollector zero(0);
    zero.collect(1, 5.0f);
    EXPECT_TRUE(std::move(zero).into_sorted_results().empty());

    // No reservation for the whole limit: a huge limit must not abort.
    for (std::size_t k : {std::numeric_limits<std::size_t>::max(), std::numeric_limits<std::size_t>::max() - 1,
                          std::size_t{1} << 60}) {
        TopKCollector big(k);
        big.collect(2, 1.0f);
        big.collect(1, 1.0f);
        EXPECT_EQ(docs(std::move(big).into_sorted_results()), (std::vector<std::uint32_t>{1, 2}));
    }
}

TEST(TopKCollector, NanScores) {
    // A NaN enters while there is room. Against a NaN only document numbers
    // order results, so (2, 1.0) is the worse of the two and a higher score
    // displaces it; the NaN then sorts before the higher score by its number.
    TopKCollector c(2);
    c.collect(1, nan_score);
    c.collect(2, 1.0f);
    c.collect(3, 100.0f);
    auto r = std::move(c).into_sorted_results();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].doc_id, 1u);
    EXPECT_TRUE(std::isnan(r[0].score));
    EXPECT_EQ(r[1], (SearchResult{3, 100.0f}));

    // While a NaN is on top, nothing else enters.
    TopKCollector blocked(2);
    blocked.collect(5, 1.0f);
    blocked.collect(9, nan_score);
    blocked.collect(3, 100.0f);
    auto b = std::move(blocked).into_sorted_results();
    ASSERT_EQ(docs(b), (std::vector<std::uint32_t>{5, 9}));

    // A NaN is never admitted against a full heap.
    TopKCollector full(1);
    full.collect(1, 1.0f);
    full.collect(2, nan_score);
    EXPECT_EQ(std::move(full).into_sorted_results(), (std::vector<SearchResult>{{1, 1.0f}}));
}

TEST(TopKCollector, LongListsSortStablyBestFirst) {
    auto collect = [](std::size_t k) {
        TopKCollector c(k);
        for (std::uint32_t d = 0; d < 500; ++d) c.collect(d, static_cast<float>((d * 37) % 11));
        return std::move(c).into_sorted_results();
    };
    auto all = collect(1000);
    ASSERT_EQ(all.size(), 500u);
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_TRUE(ranks_before(all[i - 1], all[i])) << i;
    // The cut keeps the best: scores 10 down, lower numbers first among ties.
    EXPECT_EQ(collect(30), std::vector<SearchResult>(all.begin(), all.begin() + 30));
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
    auto e = run(search_segment(unused_reader_handle(), bad, 10));
    ASSERT_FALSE(e.has_value());
    EXPECT_EQ(e.error().to_string(), "Index corruption: Posting offset out of bounds");
}
