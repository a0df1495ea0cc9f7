// Term statistics shared across segments: when a term query carries them,
// its idf and average field length come from here instead of the segment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nuvrel_core {

struct TermEntry {
    std::string term;
    std::uint32_t doc_freq = 0;
};

struct TermWandInfo {
    float idf = 0.0f;
    float max_score = 0.0f;
};

struct WandData {
    std::vector<TermEntry> terms;
    // Keyed by "{field}:{term}"; keys compare byte for byte.
    std::unordered_map<std::string, TermWandInfo> term_info;
    float avg_field_length = 0.0f;

    std::optional<float> get_idf(std::string_view field, std::string_view term) const;
};

}  // namespace nuvrel_core
