#include <gtest/gtest.h>

#include <vector>

#include "index/config.h"
#include "merge/merge_policy.h"

using namespace nuvrel_core;

namespace {

std::vector<SegmentInfo> segments(std::initializer_list<std::uint32_t> counts, std::string prefix = "s") {
    std::vector<SegmentInfo> out;
    int i = 0;
    for (auto n : counts) out.push_back(SegmentInfo{prefix + std::to_string(i++), n});
    return out;
}

std::vector<SegmentInfo> repeat(std::size_t n, std::uint32_t docs, std::string prefix = "s") {
    std::vector<SegmentInfo> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(SegmentInfo{prefix + std::to_string(i), docs});
    return out;
}

}  // namespace

TEST(TieredMergePolicy, TierBoundaries) {
    TieredMergePolicy p;
    EXPECT_EQ(p.tier_of(0), 0u);
    EXPECT_EQ(p.tier_of(1000), 0u);
    EXPECT_EQ(p.tier_of(1001), 1u);
    EXPECT_EQ(p.tier_of(9999), 1u);
    EXPECT_EQ(p.tier_of(10000), 2u);
    EXPECT_EQ(p.tier_of(99999), 2u);
    EXPECT_EQ(p.tier_of(100000), 3u);
    // ln(1000) / ln(10) is just below 3 in double precision; ln(10000) / ln(10) is exactly 4.
    EXPECT_EQ(p.tier_of(1000000), 3u);
    EXPECT_EQ(p.tier_of(10000000), 5u);
    EXPECT_EQ(p.tier_of(4294967295u), 7u);
}

TEST(TieredMergePolicy, DefaultsAndDebugText) {
    TieredMergePolicy p;
    EXPECT_EQ(p.debug_string(),
              "TieredMergePolicy { segments_per_tier: 10, max_merge_at_once: 10, tier_factor: 10.0, tier_floor: 1000, "
              "max_merged_docs: 5000000 }");
    p.tier_factor = 2.5;
    auto copy = p.clone_box();
    EXPECT_NE(copy.get(), static_cast<MergePolicy*>(&p));
    EXPECT_NE(copy->debug_string().find("tier_factor: 2.5,"), std::string::npos);

    EXPECT_EQ(float_debug_text(0.1), "0.1");
    EXPECT_EQ(float_debug_text(-0.0), "-0.0");
    EXPECT_EQ(float_debug_text(1e16), "1e16");
    EXPECT_EQ(float_debug_text(1.5e-5), "1.5e-5");
    EXPECT_EQ(float_debug_text(123456789.0), "123456789.0");
    EXPECT_EQ(float_debug_text(1.0 / 0.0), "inf");
}

TEST(TieredMergePolicy, TooFewSegmentsOrTooFewPerTier) {
    TieredMergePolicy p;
    EXPECT_TRUE(p.find_merges({}).empty());
    EXPECT_TRUE(p.find_merges(segments({500})).empty());
    EXPECT_TRUE(p.find_merges(repeat(9, 500)).empty());
}

TEST(TieredMergePolicy, EqualCountsKeepInputOrder) {
    TieredMergePolicy p;
    auto segs = repeat(10, 500);
    auto merges = p.find_merges(segs);
    ASSERT_EQ(merges.size(), 1u);
    std::vector<std::string> expected;
    for (auto& s : segs) expected.push_back(s.id);
    EXPECT_EQ(merges[0].segment_ids, expected);
}

TEST(TieredMergePolicy, LargeTierTakesItsSmallestSegments) {
    TieredMergePolicy p;
    auto segs = segments({900, 100, 800, 200, 700, 300, 600, 400, 500, 1000, 50, 950});
    auto merges = p.find_merges(segs);
    ASSERT_EQ(merges.size(), 1u);
    EXPECT_EQ(merges[0].segment_ids,
              (std::vector<std::string>{"s10", "s1", "s3", "s5", "s7", "s8", "s6", "s4", "s2", "s0"}));
}

TEST(TieredMergePolicy, TotalOverLimitOrTooSmallBatchGivesNothing) {
    TieredMergePolicy p;
    EXPECT_TRUE(p.find_merges(repeat(10, 999999)).empty());  // 9999990 > 5000000

    p.max_merge_at_once = 1;
    EXPECT_TRUE(p.find_merges(repeat(10, 500)).empty());
    p.max_merge_at_once = 0;
    EXPECT_TRUE(p.find_merges(repeat(10, 500)).empty());
}

TEST(TieredMergePolicy, OneCandidatePerTierAndNoWrappingTotal) {
    TieredMergePolicy p;
    auto segs = repeat(10, 500, "a");
    auto tier2 = repeat(10, 20000, "b");
    segs.insert(segs.begin() + 3, tier2.begin(), tier2.end());
    auto merges = p.find_merges(segs);
    ASSERT_EQ(merges.size(), 2u);
    EXPECT_EQ(merges[0].segment_ids.front(), "a0");
    EXPECT_EQ(merges[1].segment_ids.front(), "b0");

    // Two segments whose total passes 2^32 must not wrap into an acceptable total.
    p.segments_per_tier = 2;
    p.max_merged_docs = 4294967295u;
    EXPECT_TRUE(p.find_merges(segments({4294967295u, 4294967295u})).empty());
}

TEST(IndexConfig, DefaultsAndCopies) {
    IndexConfig c = IndexConfig::default_config();
    EXPECT_GE(c.num_threads, 1u);
    EXPECT_EQ(c.num_compression_threads, c.num_threads);
    EXPECT_EQ(c.num_indexing_threads, 1u);
    EXPECT_EQ(c.cache_blocks, 256u);
    EXPECT_EQ(c.max_indexing_memory_mb, 32u);
    EXPECT_EQ(c.max_docs_per_segment, 100000u);
    EXPECT_FALSE(c.optimize_after_commit);
    ASSERT_NE(c.merge_policy, nullptr);
    EXPECT_EQ(c.merge_policy->debug_string(), TieredMergePolicy().debug_string());

    IndexConfig d;  // the default constructor gives the same
    EXPECT_EQ(d.cache_blocks, 256u);
    EXPECT_EQ(d.num_threads, c.num_threads);

    IndexConfig copy = c;  // deep copy of the policy
    ASSERT_NE(copy.merge_policy, nullptr);
    EXPECT_NE(copy.merge_policy.get(), c.merge_policy.get());
    copy = d;
    EXPECT_NE(copy.merge_policy.get(), d.merge_policy.get());
}
