// Normalized dumps of parsed schemas and documents, in the shape of the
// reference outcomes in tests/data/json/cases.jsonl: floats as {"bits"}
// only, 64-bit integers as decimal strings, free-form values as tagged trees.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dsl/document.h"
#include "dsl/schema.h"
#include "structures/vector/vector_json.h"

namespace nuvrel_test {

nuvrel_core::JsonValue dump_schema(const nuvrel_core::Schema& s);
nuvrel_core::JsonValue dump_document(const nuvrel_core::Document& d);
nuvrel_core::JsonValue dump_strings(const std::vector<std::string>& v);
nuvrel_core::JsonValue dump_index(const nuvrel_core::RaBitQIndex& v);
nuvrel_core::JsonValue dump_index(const nuvrel_core::IVFRaBitQIndex& v);
nuvrel_core::JsonValue dump_index(const nuvrel_core::IVFPQIndex& v);

// Drops "repr" next to "bits" so that float comparisons go by bits alone.
nuvrel_core::JsonValue strip_repr(nuvrel_core::JsonValue v);

// Parses one JSON text into a free-form value (aborts the test on failure).
nuvrel_core::JsonValue parse_json_value(std::string_view text);

std::string base64_decode(std::string_view in);

// Compact text of a value, for failure messages.
std::string to_text(const nuvrel_core::JsonValue& v);

}  // namespace nuvrel_test
