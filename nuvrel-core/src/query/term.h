// The leaf query: one term of one field, scored with BM25.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "dsl/schema.h"
#include "query/bm25.h"
#include "query/traits.h"
#include "wand/wand_data.h"

namespace nuvrel_core {

// The whole text lower-cased with the Unicode default full mapping (one
// character may become several; capital sigma becomes final sigma at the end
// of a word). Nothing else: no splitting, trimming or normalisation. Invalid
// UTF-8 is read with U+FFFD in place of each bad sequence.
std::string lowercase_full(std::string_view text);

class TermQuery final : public Query {
public:
    // The term is `text` lower-cased whole; no field name, no shared statistics.
    static TermQuery text(Field field, std::string_view text);

    // Shared statistics to score with instead of the segment's own.
    TermQuery& with_field_name(std::string name) { field_name_ = std::move(name); return *this; }
    TermQuery& with_wand_data(std::shared_ptr<const WandData> wand) { wand_ = std::move(wand); return *this; }

    const std::string& term() const noexcept { return term_; }
    Field field() const noexcept { return field_; }
    const std::optional<std::string>& field_name() const noexcept { return field_name_; }
    const std::shared_ptr<const WandData>& wand_data() const noexcept { return wand_; }

    // The BM25 statistics for a segment of `num_docs` documents in which the
    // term's list holds `doc_freq` documents; `segment_avg_field_length` is the
    // segment's average for the field (average_field_length, or 0.0 when the
    // segment has no statistics for it).
    Bm25Weight bm25_weight(std::uint32_t num_docs, std::uint32_t doc_freq, float segment_avg_field_length) const;

    Task<Result<std::unique_ptr<Scorer>>> scorer(const AsyncSegmentReader& reader) const override;
    Task<Result<std::uint32_t>> count_estimate(const AsyncSegmentReader& reader) const override;

private:
    TermQuery(std::string term, Field field) : term_(std::move(term)), field_(field) {}

    std::string term_;  // UTF-8 bytes, looked up whole
    std::optional<std::string> field_name_;
    std::shared_ptr<const WandData> wand_;
    Field field_;
};

}  // namespace nuvrel_core
