#include "structures/vector/vector_json.h"

#include "dsl/json/record.h"

namespace nuvrel_core {
namespace json {

template <> struct JsonRecord<RaBitQConfig> {
    static constexpr auto table = record<RaBitQConfig>(
        "struct RaBitQConfig", 3,
        member<&RaBitQConfig::dim, Usize>("dim", Required), member<&RaBitQConfig::query_bits>("query_bits", Required),
        member<&RaBitQConfig::seed>("seed", Required));
};

template <> struct JsonRecord<RaBitQCodebook> {
    static constexpr auto table = record<RaBitQCodebook>(
        "struct RaBitQCodebook", 4,
        member<&RaBitQCodebook::config>("config", Required),
        member<&RaBitQCodebook::random_signs>("random_signs", Required),
        member<&RaBitQCodebook::random_perm>("random_perm", Required),
        member<&RaBitQCodebook::version>("version", Required));
};

template <> struct JsonRecord<QuantizedVector> {
    static constexpr auto table = record<QuantizedVector>(
        "struct QuantizedVector", 4,
        member<&QuantizedVector::bits>("bits", Required),
        member<&QuantizedVector::dist_to_centroid>("dist_to_centroid", Required),
        member<&QuantizedVector::self_dot>("self_dot", Required),
        member<&QuantizedVector::popcount>("popcount", Required));
};

template <> struct JsonRecord<PQVector> {
    static constexpr auto table =
        record<PQVector>("struct PQVector", 2,
                         member<&PQVector::codes>("codes", Required), member<&PQVector::norm>("norm", Required));
};

template <class C> struct JsonRecord<ClusterData<C>> {
    static constexpr auto table = record<ClusterData<C>>(
        "struct ClusterData", 3,
        member<&ClusterData<C>::doc_ids>("doc_ids", Required), member<&ClusterData<C>::codes>("codes", Required),
        member<&ClusterData<C>::raw_vectors>("raw_vectors", Optional));
};

// Cluster ids are numbers written in quotes.
template <class C> struct JsonRecord<ClusterStorage<C>> {
    using Clusters = MapOf<std::unordered_map<std::uint32_t, ClusterData<C>>, NumKey<U32>, Rec<ClusterData<C>>>;
    static constexpr auto table = record<ClusterStorage<C>>(
        "struct ClusterStorage", 2,
        member<&ClusterStorage<C>::clusters, Clusters>("clusters", Required),
        member<&ClusterStorage<C>::total_vectors, Usize>("total_vectors", Required));
};

template <> struct JsonRecord<RaBitQIndex> {
    static constexpr auto table = record<RaBitQIndex>(
        "struct RaBitQIndex", 4,
        member<&RaBitQIndex::codebook>("codebook", Required), member<&RaBitQIndex::centroid>("centroid", Required),
        member<&RaBitQIndex::vectors>("vectors", Required), member<&RaBitQIndex::raw_vectors>("raw_vectors", Optional));
};

// The two inverted-file kinds share their members; only the names in
// messages tell them apart.
template <class Config>
constexpr auto ivf_config_table(std::string_view name) {
    return record<Config>(name, 4, member<&Config::dim, Usize>("dim", Required),
                          member<&Config::default_nprobe, Usize>("default_nprobe", Required),
                          member<&Config::store_raw>("store_raw", Required),
                          member<&Config::rerank_factor, Usize>("rerank_factor", Required));
}
template <class Index>
constexpr auto ivf_index_table(std::string_view name) {
    return record<Index>(name, 4, member<&Index::config>("config", Required),
                         member<&Index::centroids_version>("centroids_version", Required),
                         member<&Index::codebook_version>("codebook_version", Required),
                         member<&Index::clusters>("clusters", Required));
}

template <> struct JsonRecord<IVFRaBitQConfig> {
    static constexpr auto table =
        ivf_config_table<IVFRaBitQConfig>("struct IVFRaBitQConfig");
};
template <> struct JsonRecord<IVFPQConfig> {
    static constexpr auto table =
        ivf_config_table<IVFPQConfig>("struct IVFPQConfig");
};
template <> struct JsonRecord<IVFRaBitQIndex> {
    static constexpr auto table =
        ivf_index_table<IVFRaBitQIndex>("struct IVFRaBitQIndex");
};
template <> struct JsonRecord<IVFPQIndex> {
    static constexpr auto table =
        ivf_index_table<IVFPQIndex>("struct IVFPQIndex");
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
