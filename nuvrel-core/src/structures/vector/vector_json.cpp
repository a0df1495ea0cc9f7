#include "structures/vector/vector_json.h"

#include "dsl/json/record.h"

namespace nuvrel_core {
namespace json {

template <> struct JsonRecord<RaBitQConfig> {
    static constexpr auto table = record<RaBitQConfig>(
        "struct RaBitQConfig", "struct RaBitQConfig with 3 elements", 3,
        member<&RaBitQConfig::dim, Usize>("dim", Required), member<&RaBitQConfig::query_bits>("query_bits", Required),
        member<&RaBitQConfig::seed>("seed", Required));
};

template <> struct JsonRecord<RaBitQCodebook> {
    static constexpr auto table = record<RaBitQCodebook>(
        "struct RaBitQCodebook", "struct RaBitQCodebook with 4 elements", 4,
        member<&RaBitQCodebook::config>("config", Required),
        member<&RaBitQCodebook::random_signs>("random_signs", Required),
        member<&RaBitQCodebook::random_perm>("random_perm", Required),
        member<&RaBitQCodebook::version>("version", Required));
};

template <> struct JsonRecord<QuantizedVector> {
    static constexpr auto table = record<QuantizedVector>(
        "struct QuantizedVector", "struct QuantizedVector with 4 elements", 4,
        member<&QuantizedVector::bits>("bits", Required),
        member<&QuantizedVector::dist_to_centroid>("dist_to_centroid", Required),
        member<&QuantizedVector::self_dot>("self_dot", Required),
        member<&QuantizedVector::popcount>("popcount", Required));
};

template <> struct JsonRecord<PQVector> {
    static constexpr auto table =
        record<PQVector>("struct PQVector", "struct PQVector with 2 elements", 2,
                         member<&PQVector::codes>("codes", Required), member<&PQVector::norm>("norm", Required));
};

template <class C> struct JsonRecord<ClusterData<C>> {
    static constexpr auto table = record<ClusterData<C>>(
        "struct ClusterData", "struct ClusterData with 3 elements", 3,
        member<&ClusterData<C>::doc_ids>("doc_ids", Required), member<&ClusterData<C>::codes>("codes", Required),
        member<&ClusterData<C>::raw_vectors>("raw_vectors", Optional));
};

// Cluster ids are numbers written in quotes.
template <class C> struct JsonRecord<ClusterStorage<C>> {
    using Clusters = MapOf<std::unordered_map<std::uint32_t, ClusterData<C>>, NumKey<U32>, Rec<ClusterData<C>>>;
    static constexpr auto table = record<ClusterStorage<C>>(
        "struct ClusterStorage", "struct ClusterStorage with 2 elements", 2,
        member<&ClusterStorage<C>::clusters, Clusters>("clusters", Required),
        member<&ClusterStorage<C>::total_vectors, Usize>("total_vectors", Required));
};

template <> struct JsonRecord<RaBitQIndex> {
    static constexpr auto table = record<RaBitQIndex>(
        "struct RaBitQIndex", "struct RaBitQIndex with 4 elements", 4,
        member<&RaBitQIndex::codebook>("codebook", Required), member<&RaBitQIndex::centroid>("centroid", Required),
        member<&RaBitQIndex::vectors>("vectors", Required), member<&RaBitQIndex::raw_vectors>("raw_vectors", Optional));
};

// The two inverted-file kinds share their members; only the names in
// messages tell them apart.
template <class Config>
constexpr auto ivf_config_table(std::string_view name, std::string_view length_text) {
    return record<Config>(name, length_text, 4, member<&Config::dim, Usize>("dim", Required),
                          member<&Config::default_nprobe, Usize>("default_nprobe", Required),
                          member<&Config::store_raw>("store_raw", Required),
                          member<&Config::rerank_factor, Usize>("rerank_factor", Required));
}
template <class Index>
constexpr auto ivf_index_table(std::string_view name, std::string_view length_text) {
    return record<Index>(name, length_text, 4, member<&Index::config>("config", Required),
                         member<&Index::centroids_version>("centroids_version", Required),
                         member<&Index::codebook_version>("codebook_version", Required),
                         member<&Index::clusters>("clusters", Required));
}

template <> struct JsonRecord<IVFRaBitQConfig> {
    static constexpr auto table =
        ivf_config_table<IVFRaBitQConfig>("struct IVFRaBitQConfig", "struct IVFRaBitQConfig with 4 elements");
};
template <> struct JsonRecord<IVFPQConfig> {
    static constexpr auto table =
        ivf_config_table<IVFPQConfig>("struct IVFPQConfig", "struct IVFPQConfig with 4 elements");
};
template <> struct JsonRecord<IVFRaBitQIndex> {
    static constexpr auto table =
        ivf_index_table<IVFRaBitQIndex>("struct IVFRaBitQIndex", "struct IVFRaBitQIndex with 4 elements");
};
template <> struct JsonRecord<IVFPQIndex> {
    static constexpr auto table =
        ivf_index_table<IVFPQIndex>("struct IVFPQIndex", "struct IVFPQIndex with 4 elements");
};

}  // namespace json

JsonResult<RaBitQIndex> parse_rabitq_index(ByteView json) { return json::parse_whole<json::Rec<RaBitQIndex>>(json); }

JsonResult<IVFRaBitQIndex> parse_ivf_rabitq_index(ByteView json) {
    return json::parse_whole<json::Rec<IVFRaBitQIndex>>(json);
}

JsonResult<IVFPQIndex> parse_ivf_pq_index(ByteView json) { return json::parse_whole<json::Rec<IVFPQIndex>>(json); }

IoResult<IVFPQIndex> IVFPQIndex::from_bytes(ByteView json) {
    auto r = parse_ivf_pq_index(json);
    if (!r) return std::unexpected(IoError::invalid_data(r.error().to_string()));
    return std::move(*r);
}

}  // namespace nuvrel_core
