#include "dsl/schema.h"

#include "dsl/json/record.h"

namespace nuvrel_core {
namespace json {

template <> struct JsonEnum<FieldType> {
    static constexpr std::array<std::string_view, 8> names{"text",  "u64",           "i64",          "f64",
                                                           "bytes", "sparse_vector", "dense_vector", "json"};
};
template <> struct JsonEnum<VectorIndexType> {
    static constexpr std::array<std::string_view, 3> names{"ra_bit_q", "ivf_ra_bit_q", "sca_n_n"};
};
// The sparse-vector settings are the only capitalised names of the formats.
template <> struct JsonEnum<IndexSize> {
    static constexpr std::array<std::string_view, 2> names{"U16", "U32"};
};
template <> struct JsonEnum<WeightQuantization> {
    static constexpr std::array<std::string_view, 4> names{"Float32", "Float16", "UInt8", "UInt4"};
};
template <> struct JsonEnum<RoutingMode> {
    static constexpr std::array<std::string_view, 2> names{"exclusive", "additional"};
};

template <> struct JsonRecord<SparseVectorConfig> {
    static constexpr auto table = record<SparseVectorConfig>(
        "struct SparseVectorConfig", 2,
        member<&SparseVectorConfig::index_size>("index_size", Required),
        member<&SparseVectorConfig::weight_quantization>("weight_quantization", Required),
        member<&SparseVectorConfig::weight_threshold>("weight_threshold", Default));
};

template <> struct JsonRecord<DenseVectorConfig> {
    static constexpr auto table = record<DenseVectorConfig>(
        "struct DenseVectorConfig", 1,
        member<&DenseVectorConfig::dim, Usize>("dim", Required),
        member<&DenseVectorConfig::index_type>("index_type", Default),
        member<&DenseVectorConfig::store_raw>("store_raw", Default),
        member<&DenseVectorConfig::coarse_centroids_path>("coarse_centroids_path", Optional),
        member<&DenseVectorConfig::pq_codebook_path>("pq_codebook_path", Optional),
        member<&DenseVectorConfig::nprobe, Usize>("nprobe", Default),
        member<&DenseVectorConfig::mrl_dim, Opt<Usize>>("mrl_dim", Optional));
};

template <> struct JsonRecord<FieldEntry> {
    static constexpr auto table = record<FieldEntry>(
        "struct FieldEntry", 5,
        member<&FieldEntry::name>("name", Required), member<&FieldEntry::field_type>("field_type", Required),
        member<&FieldEntry::indexed>("indexed", Required), member<&FieldEntry::stored>("stored", Required),
        member<&FieldEntry::tokenizer>("tokenizer", Optional), member<&FieldEntry::multi>("multi", Default),
        member<&FieldEntry::sparse_vector_config>("sparse_vector_config", Optional),
        member<&FieldEntry::dense_vector_config>("dense_vector_config", Optional));
};

template <> struct JsonRecord<QueryRouterRule> {
    static constexpr auto table = record<QueryRouterRule>(
        "struct QueryRouterRule", 3,
        member<&QueryRouterRule::pattern>("pattern", Required),
        member<&QueryRouterRule::substitution>("substitution", Required),
        member<&QueryRouterRule::target_field>("target_field", Required),
        member<&QueryRouterRule::mode>("mode", Default));
};

template <> struct JsonRecord<Schema> {
    static constexpr auto table = record<Schema>(
        "struct Schema", 2, member<&Schema::fields>("fields", Required),
        member<&Schema::name_to_field, MapOf<std::unordered_map<std::string, Field>, StrKey, U32>>("name_to_field",
                                                                                                    Required),
        member<&Schema::default_fields>("default_fields", Default),
        member<&Schema::query_routers>("query_routers", Default));
};

}  // namespace json

std::optional<Field> Schema::get_field(std::string_view name) const {
    if (name_to_field.empty()) return std::nullopt;
    auto it = name_to_field.find(std::string(name));
    if (it == name_to_field.end()) return std::nullopt;
    return it->second;
}

std::vector<std::pair<Field, const FieldEntry*>> Schema::field_list() const {
    std::vector<std::pair<Field, const FieldEntry*>> out;
    out.reserve(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) out.emplace_back(static_cast<Field>(i), &fields[i]);
    return out;
}

JsonResult<Schema> Schema::from_slice(ByteView json) { return json::parse_whole<json::Rec<Schema>>(json); }

}  // namespace nuvrel_core
