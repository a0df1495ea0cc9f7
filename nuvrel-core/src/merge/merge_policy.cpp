#include "merge/merge_policy.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>

#include <fmt/format.h>

namespace nuvrel_core {

namespace {

// Float to unsigned with saturation: NaN and negatives give 0, values past
// the range give the largest count. Only settings the defaults never take
// (a floor of 0, a factor of 1 or less) reach the ends.
std::size_t saturating_floor(double v) noexcept {
    if (!(v > 0.0)) return 0;
    constexpr double limit = 18446744073709551616.0;  // 2^64
    if (v >= limit) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(v);
}

}  // namespace

std::string float_debug_text(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    const double a = std::fabs(v);
    char buf[64];
    if (a != 0.0 && (a < 1e-4 || a >= 1e16)) {
        auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
        std::string s(buf, r.ptr);
        // to_chars writes "1.5e-05" / "1e+16"; the debug form is "1.5e-5" / "1e16".
        auto e = s.find('e');
        std::string mant = s.substr(0, e);
        std::string exp = s.substr(e + 1);
        bool neg = exp[0] == '-';
        std::size_t i = (exp[0] == '-' || exp[0] == '+') ? 1 : 0;
        while (i + 1 < exp.size() && exp[i] == '0') ++i;
        return mant + "e" + (neg ? "-" : "") + exp.substr(i);
    }
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    std::string s(buf, r.ptr);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
}

std::size_t TieredMergePolicy::tier_of(std::uint32_t num_docs) const noexcept {
    if (num_docs <= tier_floor) return 0;
    const double ratio = static_cast<double>(num_docs) / static_cast<double>(tier_floor);
    const std::size_t t = saturating_floor(std::log(ratio) / std::log(tier_factor));
    return t == std::numeric_limits<std::size_t>::max() ? t : t + 1;
}

std::string TieredMergePolicy::debug_string() const {
    return fmt::format(
        "TieredMergePolicy {{ segments_per_tier: {}, max_merge_at_once: {}, tier_factor: {}, tier_floor: {}, "
        "max_merged_docs: {} }}",
        segments_per_tier, max_merge_at_once, float_debug_text(tier_factor), tier_floor, max_merged_docs);
}

std::vector<MergeCandidate> TieredMergePolicy::find_merges(std::span<const SegmentInfo> segments) const {
    std::vector<MergeCandidate> out;
    if (segments.size() < 2) return out;

    // Tiers are visited in ascending order, so the proposals come out in the
    // same order on every run.
    std::map<std::size_t, std::vector<const SegmentInfo*>> tiers;
    for (const SegmentInfo& s : segments) tiers[tier_of(s.num_docs)].push_back(&s);

    for (auto& [tier, group] : tiers) {
        if (group.size() < segments_per_tier) continue;
        std::stable_sort(group.begin(), group.end(),
                         [](const SegmentInfo* a, const SegmentInfo* b) { return a->num_docs < b->num_docs; });
        const std::size_t take = std::min(group.size(), max_merge_at_once);
        if (take == 0) continue;
        // Summed wide: a total past 32 bits must not wrap into an acceptable one.
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < take; ++i) total += group[i]->num_docs;
        if (total > max_merged_docs || take < 2) continue;
        MergeCandidate c;
        c.segment_ids.reserve(take);
        for (std::size_t i = 0; i < take; ++i) c.segment_ids.push_back(group[i]->id);
        out.push_back(std::move(c));
    }
    return out;
}

std::unique_ptr<MergePolicy> TieredMergePolicy::clone_box() const {
    return std::make_unique<TieredMergePolicy>(*this);
}

}  // namespace nuvrel_core
