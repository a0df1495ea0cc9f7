#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "index/config.h"
#include "merge/merge_policy.h"

using namespace nuvrel_core;

namespace {

std::vector<SegmentInfo> segments(std::vector<std::uint32_t> counts, std::string prefix = "s") {
    std::vector<SegmentInfo> out;
    for (auto n : counts) out.push_back(SegmentInfo{prefix + std::to_string(out.size()), n});
    return out;
}

std::vector<SegmentInfo> repeat(std::size_t n, std::uint32_t docs, std::string prefix = "s") {
    return segments(std::vector<std::uint32_t>(n, docs), std::move(prefix));
}

}  // namespace

TEST(TieredMergePolicy, TierBoundaries) {
    // ln(1000) / ln(10) is just below 3 in double precision; ln(10000) / ln(10) is exactly 4.
    const std::pair<std::uint32_t, std::size_t> cases[] = {
        {0, 0}, {1000, 0}, {1001, 1}, {9999, 1}, {10000, 2}, {99999, 2},
        {100000, 3}, {1000000, 3}, {10000000, 5}, {4294967295u, 7},
    };
    for (auto [docs, tier] : cases) EXPECT_EQ(TieredMergePolicy().tier_of(docs), tier) << docs;
}

TEST(TieredMergePolicy, NoMergeCases) {
    TieredMergePolicy p;
    EXPECT_TRUE(p.find_merges({}).empty());
    EXPECT_TRUE(p.find_merges(repeat(9, 500)).empty());      // too few in the tier
    EXPECT_TRUE(p.find_merges(repeat(10, 999999)).empty());  // 9999990 > 5000000
    for (std::size_t at_once : {0u, 1u}) {
        p.max_merge_at_once = at_once;
        EXPECT_TRUE(p.find_merges(repeat(10, 500)).empty()) << at_once;
    }
    // Two segments whose total passes 2^32 must not wrap into an acceptable total.
    TieredMergePolicy q;
    q.segments_per_tier = 2;
    q.max_merged_docs = 4294967295u;
    EXPECT_TRUE(q.find_merges(segments({4294967295u, 4294967295u})).empty());
}

TEST(TieredMergePolicy, CandidatesInOrder) {
    TieredMergePolicy p;
    // Equal counts keep the input order.
    auto equal = p.find_merges(repeat(10, 500));
    ASSERT_EQ(equal.size(), 1u);
    EXPECT_EQ(equal[0].segment_ids.front(), "s0");
    EXPECT_EQ(equal[0].segment_ids.back(), "s9");
    // A large tier takes its smallest segments.
    auto merges = p.find_merges(segments({900, 100, 800, 200, 700, 300, 600, 400, 500, 1000, 50, 950}));
    ASSERT_EQ(merges.size(), 1u);
    EXPECT_EQ(merges[0].segment_ids,
              (std::vector<std::string>{"s10", "s1", "s3", "s5", "s7", "s8", "s6", "s4", "s2", "s0"}));
    // One candidate per tier, in tier order.
    auto segs = repeat(10, 500, "a");
    auto tier2 = repeat(10, 20000, "b");
    segs.insert(segs.begin() + 3, tier2.begin(), tier2.end());
    auto two = p.find_merges(segs);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].segment_ids.front(), "a0");
    EXPECT_EQ(two[1].segment_ids.front(), "b0");
}

TEST(IndexConfig, CopiesOwnTheirPolicy) {
    IndexConfig c = IndexConfig::default_config();
    EXPECT_EQ(c.num_compression_threads, c.num_threads);
    dynamic_cast<TieredMergePolicy&>(*c.merge_policy).tier_factor = 2.5;
    IndexConfig copy = c;
    ASSERT_NE(copy.merge_policy, nullptr);
    EXPECT_NE(copy.merge_policy.get(), c.merge_policy.get());
    EXPECT_EQ(dynamic_cast<TieredMergePolicy&>(*copy.merge_policy).tier_factor, 2.5);  // a clone, not a default
    IndexConfig d;
    copy = d;
    EXPECT_NE(copy.merge_policy.get(), d.merge_policy.get());
}

TEST(TieredMergePolicy, DebugText) {
    TieredMergePolicy p;
    EXPECT_EQ(p.debug_string(),
              "TieredMergePolicy { segments_per_tier: 10, max_merge_at_once: 10, tier_factor: 10.0, "
              "tier_floor: 1000, max_merged_docs: 5000000 }");
    p = {};
    p.segments_per_tier = 3;
    p.max_merge_at_once = 7;
    p.tier_factor = 2.5;
    p.tier_floor = 0;
    p.max_merged_docs = 4294967295u;
    EXPECT_EQ(p.debug_string(),
              "TieredMergePolicy { segments_per_tier: 3, max_merge_at_once: 7, tier_factor: 2.5, "
              "tier_floor: 0, max_merged_docs: 4294967295 }");
    EXPECT_EQ(IndexConfig::default_config().merge_policy->debug_string(), TieredMergePolicy().debug_string());
}

TEST(TieredMergePolicy, FloatDebugText) {
    // Shortest round-trip digits, always with a fraction or an exponent;
    // scientific below 1e-4 and from 1e16 on.
    const std::pair<double, const char*> cases[] = {
        {10.0, "10.0"}, {0.0, "0.0"}, {-0.0, "-0.0"}, {1.0, "1.0"}, {-2.0, "-2.0"}, {0.1, "0.1"},
        {2.5, "2.5"}, {1e-4, "0.0001"}, {9.9e-5, "9.9e-5"}, {1.5e-5, "1.5e-5"}, {1e15, "1000000000000000.0"},
        {1e16, "1e16"}, {1.25e17, "1.25e17"}, {-1e16, "-1e16"}, {1e300, "1e300"}, {5e-324, "5e-324"},
        {0.30000000000000004, "0.30000000000000004"}, {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"}, {std::numeric_limits<double>::quiet_NaN(), "NaN"},
    };
    for (auto [v, text] : cases) EXPECT_EQ(float_debug_text(v), text) << text;
}
