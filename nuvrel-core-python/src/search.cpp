#include "search.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "errors.h"
#include "query/boolean.h"
#include "util/try.h"

namespace nuvrel_python {

using nuvrel_core::SearchResult;

namespace {

// The merge's order. Unlike the engine's order within a segment, equal
// scores are not broken by document number: they keep the order in which
// the segments delivered them. NaN scores have no place among numbers, so
// they all go after every numeric score, equal among themselves: a strict
// weak order that agrees with plain score-descending order whenever no NaN is
// involved.
bool scores_higher(const SearchResult& a, const SearchResult& b) noexcept {
    const bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
    if (a_nan || b_nan) return !a_nan && b_nan;
    return a.score > b.score;
}

// Stable: equal scores keep their order of arrival (earlier segments first,
// then the segment's own order). Nothing is reserved from `limit`, so any
// limit up to 2^64-1 is safe.
void merge_hits(std::vector<SearchResult>& hits, std::uint64_t limit) {
    std::stable_sort(hits.begin(), hits.end(), scores_higher);
    if (limit < hits.size()) hits.resize(static_cast<std::size_t>(limit));
}

}  // namespace

std::unique_ptr<nuvrel_core::TermQuery> term_query(const nuvrel_core::Schema& schema, std::string_view field,
                                                   std::string_view term) {
    std::optional<nuvrel_core::Field> id = schema.get_field(field);
    if (!id) raise_with(PyExc_ValueError, fmt::format("Field '{}' not found", field));
    return std::make_unique<nuvrel_core::TermQuery>(nuvrel_core::TermQuery::text(*id, term));
}

QueryPtr boolean_query(const nuvrel_core::Schema& schema, const std::optional<std::vector<StrPair>>& must,
                       const std::optional<std::vector<StrPair>>& should,
                       const std::optional<std::vector<StrPair>>& must_not) {
    auto query = std::make_unique<nuvrel_core::BooleanQuery>();
    auto add = [&](const std::optional<std::vector<StrPair>>& pairs, auto add_clause) {
        if (!pairs) return;
        for (const auto& [field, term] : *pairs) (query.get()->*add_clause)(term_query(schema, field, term));
    };
    add(must, &nuvrel_core::BooleanQuery::add_must);
    add(should, &nuvrel_core::BooleanQuery::add_should);
    add(must_not, &nuvrel_core::BooleanQuery::add_must_not);
    return query;
}

nuvrel_core::Task<nuvrel_core::Result<std::vector<SearchResult>>> search_all(std::shared_ptr<nuvrel_core::Index> index,
                                                                            QueryPtr query, std::uint64_t limit) {
    const nuvrel_core::SegmentList readers = index->segment_readers();
    std::vector<SearchResult> merged;
    for (const auto& reader : readers) {
        NUVREL_CO_TRY(std::vector<SearchResult> hits,
                      co_await nuvrel_core::search_segment(reader, *query, static_cast<std::size_t>(limit)));
        const std::uint32_t base = reader->doc_id_offset();
        for (SearchResult& h : hits) h.doc_id += base;  // modulo 2^32
        // The list grows geometrically: reserving exactly each segment's
        // share would copy everything gathered so far once per segment.
        merged.insert(merged.end(), hits.begin(), hits.end());
    }
    merge_hits(merged, limit);
    co_return merged;
}

}  // namespace nuvrel_python
