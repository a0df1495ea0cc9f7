// Merge policies: which segments a writer could merge into one. This engine
// only reads indexes; the policy travels in the configuration for a writer
// and no read path calls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace nuvrel_core {

// What a policy sees of one segment. Only `id` and `num_docs` are read.
struct SegmentInfo {
    std::string id;
    std::uint32_t num_docs = 0;
    std::uint64_t size_bytes = 0;
    std::uint32_t num_deleted_docs = 0;
};

// One proposed merge: the ids of the segments to merge, in merge order.
struct MergeCandidate {
    std::vector<std::string> segment_ids;

    bool operator==(const MergeCandidate&) const = default;
};

class MergePolicy {
public:
    virtual ~MergePolicy() = default;

    // The debug text of the policy and its settings.
    virtual std::string debug_string() const = 0;
    virtual std::vector<MergeCandidate> find_merges(std::span<const SegmentInfo> segments) const = 0;
    virtual std::unique_ptr<MergePolicy> clone_box() const = 0;
};

// Groups segments into tiers of document counts growing by `tier_factor` and
// proposes, per tier with at least `segments_per_tier` segments, one merge of
// its smallest segments.
struct TieredMergePolicy final : MergePolicy {
    std::size_t segments_per_tier = 10;
    std::size_t max_merge_at_once = 10;
    double tier_factor = 10.0;
    std::uint32_t tier_floor = 1000;
    std::uint32_t max_merged_docs = 5000000;

    // 0 for at most `tier_floor` documents, else floor(ln(n / floor) / ln(factor)) + 1.
    std::size_t tier_of(std::uint32_t num_docs) const noexcept;

    std::string debug_string() const override;
    std::vector<MergeCandidate> find_merges(std::span<const SegmentInfo> segments) const override;
    std::unique_ptr<MergePolicy> clone_box() const override;
};

// Debug text of a 64-bit float: shortest round-trip digits, always with a
// fraction or an exponent ("10.0", "0.1", "1e16", "1.5e-5", "inf", "NaN").
std::string float_debug_text(double v);

}  // namespace nuvrel_core
