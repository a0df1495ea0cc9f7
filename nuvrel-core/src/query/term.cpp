#include "query/term.h"

#include "query/term_scorer.h"
#include "segment/reader.h"
#include "util/try.h"

#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <vector>

namespace nuvrel_core {

namespace {

// ICU takes lengths as int32_t; longer texts are processed in no other way,
// so they are refused rather than cut.
constexpr std::size_t max_icu_length = 0x3FFFFFFF;

}  // namespace

std::string lowercase_full(std::string_view text) {
    // ASCII text, the common query, lower-cases byte by byte: the full
    // mapping of an ASCII character is its ASCII lower case, and sigma
    // context involves none of them.
    if (text.size() > max_icu_length) return std::string(text);
    if (std::ranges::all_of(text, [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        std::string out(text);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return out;
    }
    const auto in_len = static_cast<int32_t>(text.size());

    // UTF-8 to UTF-16: never more units than bytes.
    std::vector<UChar> utf16(text.size());
    int32_t u16_len = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(utf16.data(), static_cast<int32_t>(utf16.size()), &u16_len, text.data(), in_len,
                         0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) return std::string(text);

    // Full lower-casing in the root locale (no language rules), with the
    // final-sigma context. A string can grow, so retry with the size asked for.
    std::vector<UChar> lower(static_cast<std::size_t>(u16_len) + 16);
    status = U_ZERO_ERROR;
    int32_t lower_len = u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), utf16.data(), u16_len, "",
                                     &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        lower.resize(static_cast<std::size_t>(lower_len));
        status = U_ZERO_ERROR;
        lower_len = u_strToLower(lower.data(), lower_len, utf16.data(), u16_len, "", &status);
    }
    if (U_FAILURE(status)) return std::string(text);

    // UTF-16 to UTF-8: at most 3 bytes per unit.
    std::string out(static_cast<std::size_t>(lower_len) * 3, '\0');
    int32_t out_len = 0;
    status = U_ZERO_ERROR;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &out_len, lower.data(), lower_len, &status);
    if (U_FAILURE(status)) return std::string(text);
    out.resize(static_cast<std::size_t>(out_len));
    return out;
}

TermQuery TermQuery::text(Field field, std::string_view text) {
    return TermQuery(lowercase_full(text), field);
}

Bm25Weight TermQuery::bm25_weight(std::uint32_t num_docs, std::uint32_t doc_freq,
                                  float segment_avg_field_length) const {
    Bm25Weight w;
    std::optional<float> shared_idf;
    // The term is always valid UTF-8 (it comes out of lowercase_full), so it
    // serves as the text of the lookup key as it is.
    if (field_name_ && wand_) shared_idf = wand_->get_idf(*field_name_, term_);
    w.idf = shared_idf ? *shared_idf : bm25_idf(num_docs, doc_freq);
    w.avg_field_length = wand_ ? wand_->avg_field_length : segment_avg_field_length;
    return w;
}

static_assert(DecodingPostingCursor<BlockPostingIterator>);

namespace {

// The segment's average length of the field; 0.0 without statistics for it.
float segment_average(const AsyncSegmentReader& reader, Field field) {
    const auto& stats = reader.meta().field_stats;
    auto it = stats.find(field);
    if (it == stats.end()) return 0.0f;
    return average_field_length(it->second.total_tokens, it->second.doc_count);
}

}  // namespace

Task<Result<std::unique_ptr<Scorer>>> TermQuery::scorer(const AsyncSegmentReader& reader) const {
    NUVREL_CO_TRY(std::optional<BlockPostingList> postings, co_await reader.get_postings(field_, term_));
    std::unique_ptr<Scorer> scorer = make_term_scorer<BlockPostingIterator>(
        *this, std::move(postings), reader.meta().num_docs, segment_average(reader, field_));
    co_return scorer;
}

Task<Result<std::uint32_t>> TermQuery::count_estimate(const AsyncSegmentReader& reader) const {
    NUVREL_CO_TRY(std::optional<BlockPostingList> postings, co_await reader.get_postings(field_, term_));
    co_return postings ? postings->doc_count : 0u;
}

}  // namespace nuvrel_core
