// The two searches: their engine query built from field names and terms, the
// run over every segment of one snapshot and the merge of the per-segment
// lists into one ranked list.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "arguments.h"
#include "dsl/schema.h"
#include "error.h"
#include "index/index.h"
#include "query/collector.h"
#include "query/term.h"
#include "runtime/runtime.h"

namespace nuvrel_python {

using QueryPtr = std::unique_ptr<const nuvrel_core::Query>;

// A term query on the field of that name in the schema copy; ValueError
// "Field '{}' not found" when there is none. The engine lower-cases the term.
std::unique_ptr<nuvrel_core::TermQuery> term_query(const nuvrel_core::Schema& schema, std::string_view field,
                                                   std::string_view term);

// A boolean query of term clauses added by must, should, must_not in that
// order; the first unknown field name raises as term_query does, before any
// search.
QueryPtr boolean_query(const nuvrel_core::Schema& schema, const std::optional<std::vector<StrPair>>& must,
                       const std::optional<std::vector<StrPair>>& should,
                       const std::optional<std::vector<StrPair>>& must_not);

// Searches every segment of one snapshot in order and merges their hits into
// the best `limit`, with global document numbers. Stops at the first
// segment that fails.
nuvrel_core::Task<nuvrel_core::Result<std::vector<nuvrel_core::SearchResult>>> search_all(
    std::shared_ptr<nuvrel_core::Index> index, QueryPtr query, std::uint64_t limit);

}  // namespace nuvrel_python
