// Vector-index descriptions kept in a segment's ".vectors" file: a flat
// RaBitQ index, an inverted-file index of RaBitQ codes and one of
// product-quantization codes, each one JSON text. Parsed and kept as read;
// nothing here checks one member against another.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "directories/owned_bytes.h"
#include "dsl/json/json_error.h"
#include "io_error.h"

namespace nuvrel_core {

struct RaBitQConfig {
    std::uint64_t dim = 0;
    std::uint8_t query_bits = 0;
    std::uint64_t seed = 0;
};

struct RaBitQCodebook {
    RaBitQConfig config;
    std::vector<std::int8_t> random_signs;
    std::vector<std::uint32_t> random_perm;
    std::uint64_t version = 0;
};

struct QuantizedVector {
    std::vector<std::uint8_t> bits;
    float dist_to_centroid = 0.0f;
    float self_dot = 0.0f;
    std::uint32_t popcount = 0;
};

struct PQVector {
    std::vector<std::uint8_t> codes;
    float norm = 0.0f;
};

template <class C>
struct ClusterData {
    std::vector<std::uint32_t> doc_ids;
    std::vector<C> codes;
    std::optional<std::vector<std::vector<float>>> raw_vectors;
};

template <class C>
struct ClusterStorage {
    std::unordered_map<std::uint32_t, ClusterData<C>> clusters;
    std::uint64_t total_vectors = 0;
};

struct RaBitQIndex {
    RaBitQCodebook codebook;
    std::vector<float> centroid;
    std::vector<QuantizedVector> vectors;
    std::optional<std::vector<std::vector<float>>> raw_vectors;
};

// The settings of an inverted-file index, the same for both code types.
template <class Code>
struct IvfConfig {
    std::uint64_t dim = 0;
    std::uint64_t default_nprobe = 0;
    bool store_raw = false;
    std::uint64_t rerank_factor = 0;
};

// An inverted-file index over codes of type Code.
template <class Code>
struct IvfIndex {
    IvfConfig<Code> config;
    std::uint64_t centroids_version = 0;
    std::uint64_t codebook_version = 0;
    ClusterStorage<Code> clusters;

    // One whole JSON text; a failure is an I/O error of kind invalid data
    // carrying the JSON error's text.
    static IoResult<IvfIndex> from_bytes(ByteView json);
};

using IVFRaBitQConfig = IvfConfig<QuantizedVector>;
using IVFRaBitQIndex = IvfIndex<QuantizedVector>;
using IVFPQConfig = IvfConfig<PQVector>;
using IVFPQIndex = IvfIndex<PQVector>;

// One whole JSON text each, or the JSON error.
JsonResult<RaBitQIndex> parse_rabitq_index(ByteView json);
JsonResult<IVFRaBitQIndex> parse_ivf_rabitq_index(ByteView json);
JsonResult<IVFPQIndex> parse_ivf_pq_index(ByteView json);

}  // namespace nuvrel_core
