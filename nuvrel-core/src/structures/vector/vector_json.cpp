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

// Only the names in messages tell the two inverted-file kinds apart.
template <class Code>
struct IvfNames;
template <> struct IvfNames<QuantizedVector> {
    static constexpr std::string_view config = "struct IVFRaBitQConfig";
    static constexpr std::string_view config_length = "struct IVFRaBitQConfig with 4 elements";
    static constexpr std::string_view index = "struct IVFRaBitQIndex";
    static constexpr std::string_view index_length = "struct IVFRaBitQIndex with 4 elements";
};
template <> struct IvfNames<PQVector> {
    static constexpr std::string_view config = "struct IVFPQConfig";
    static constexpr std::string_view config_length = "struct IVFPQConfig with 4 elements";
    static constexpr std::string_view index = "struct IVFPQIndex";
    static constexpr std::string_view index_length = "struct IVFPQIndex with 4 elements";
};

template <class C> struct JsonRecord<IvfConfig<C>> {
    using R = IvfConfig<C>;
    static constexpr auto table =
        record<R>(IvfNames<C>::config, IvfNames<C>::config_length, 4, member<&R::dim, Usize>("dim", Required),
                  member<&R::default_nprobe, Usize>("default_nprobe", Required),
                  member<&R::store_raw>("store_raw", Required),
                  member<&R::rerank_factor, Usize>("rerank_factor", Required));
};

template <class C> struct JsonRecord<IvfIndex<C>> {
    using R = IvfIndex<C>;
    static constexpr auto table = record<R>(
        IvfNames<C>::index, IvfNames<C>::index_length, 4, member<&R::config>("config", Required),
        member<&R::centroids_version>("centroids_version", Required),
        member<&R::codebook_version>("codebook_version", Required), member<&R::clusters>("clusters", Required));
};

}  // namespace json

JsonResult<RaBitQIndex> parse_rabitq_index(ByteView json) { return json::parse_whole<json::Rec<RaBitQIndex>>(json); }

JsonResult<IVFRaBitQIndex> parse_ivf_rabitq_index(ByteView json) {
    return json::parse_whole<json::Rec<IVFRaBitQIndex>>(json);
}

JsonResult<IVFPQIndex> parse_ivf_pq_index(ByteView json) { return json::parse_whole<json::Rec<IVFPQIndex>>(json); }

template <class Code>
IoResult<IvfIndex<Code>> IvfIndex<Code>::from_bytes(ByteView json) {
    auto r = json::parse_whole<json::Rec<IvfIndex>>(json);
    if (!r) return std::unexpected(IoError::invalid_data(r.error().to_string()));
    return std::move(*r);
}
template struct IvfIndex<QuantizedVector>;
template struct IvfIndex<PQVector>;

}  // namespace nuvrel_core
