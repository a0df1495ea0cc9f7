// The index schema, read once from "schema.json" and shared read-only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "directories/owned_bytes.h"
#include "dsl/json/json_error.h"
#include "dsl/query_field_router.h"
#include "structures/postings/sparse_vector.h"

namespace nuvrel_core {

// A field id: the position of the field's entry in Schema::fields.
using Field = std::uint32_t;

enum class FieldType : std::uint8_t { Text, U64, I64, F64, Bytes, SparseVector, DenseVector, Json };

enum class VectorIndexType : std::uint8_t { RaBitQ, IvfRaBitQ, ScaNN };

struct DenseVectorConfig {
    std::uint64_t dim = 0;
    VectorIndexType index_type = VectorIndexType::RaBitQ;
    bool store_raw = true;
    std::optional<std::string> coarse_centroids_path;
    std::optional<std::string> pq_codebook_path;
    std::uint64_t nprobe = 32;
    std::optional<std::uint64_t> mrl_dim;
};

struct FieldEntry {
    std::string name;
    FieldType field_type = FieldType::Text;
    bool indexed = false;
    bool stored = false;
    std::optional<std::string> tokenizer;
    bool multi = false;
    std::optional<SparseVectorConfig> sparse_vector_config;
    std::optional<DenseVectorConfig> dense_vector_config;
};

struct Schema {
    std::vector<FieldEntry> fields;
    std::unordered_map<std::string, Field> name_to_field;
    std::vector<Field> default_fields;
    std::vector<QueryRouterRule> query_routers;

    // The id name_to_field gives for exactly this name, unchecked.
    std::optional<Field> get_field(std::string_view name) const;

    // The entries in order, each with its id.
    std::vector<std::pair<Field, const FieldEntry*>> field_list() const;

    // Parses the whole content of "schema.json".
    static JsonResult<Schema> from_slice(ByteView json);
};

}  // namespace nuvrel_core
