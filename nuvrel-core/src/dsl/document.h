// Stored documents: ordered (field, value) pairs, as the document store keeps
// them, and free-form JSON values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "directories/owned_bytes.h"
#include "dsl/json/json_error.h"
#include "dsl/schema.h"

namespace nuvrel_core {

// A free-form JSON value. Numbers stay u64 (unsigned integer literal that
// fits), i64 (negative integer literal that fits) or f64 (anything else);
// object keys are unique and in ascending byte order.
struct JsonValue {
    struct Null {
        friend bool operator==(Null, Null) = default;
    };
    using Array = std::vector<JsonValue>;
    using Object = std::vector<std::pair<std::string, JsonValue>>;

    std::variant<Null, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object> value;

    friend bool operator==(const JsonValue&, const JsonValue&) = default;
};

struct SparseVectorValue {
    std::vector<std::uint32_t> indices;
    std::vector<float> values;
    friend bool operator==(const SparseVectorValue&, const SparseVectorValue&) = default;
};

// One stored value; the alternative's index is the variant number
// (text 0, u64 1, i64 2, f64 3, bytes 4, sparse_vector 5, dense_vector 6, json 7).
using FieldValue = std::variant<std::string, std::uint64_t, std::int64_t, double, std::vector<std::uint8_t>,
                                SparseVectorValue, std::vector<float>, JsonValue>;

struct Document {
    std::vector<std::pair<Field, FieldValue>> field_values;
};

// Parses one stored record (the whole slice) into a Document.
JsonResult<Document> parse_document(ByteView record);

}  // namespace nuvrel_core
