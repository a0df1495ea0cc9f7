// The inverted lists of an inverted-file index, generic over the code type
// (QuantizedVector or PQVector).
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace nuvrel_core {

// Vectors kept uncompressed beside their codes, when the writer stored them.
using RawVectors = std::vector<std::vector<float>>;

// One inverted list. The three arrays are kept as read; their lengths are not
// compared with each other.
template <class C>
struct ClusterData {
    std::vector<std::uint32_t> doc_ids;
    std::vector<C> codes;
    std::optional<RawVectors> raw_vectors;

    friend bool operator==(const ClusterData&, const ClusterData&) = default;
};

// Nothing iterates or looks up the clusters after loading, so the map only
// has to keep the last cluster written under a repeated id.
template <class C>
struct ClusterStorage {
    std::unordered_map<std::uint32_t, ClusterData<C>> clusters;
    std::uint64_t total_vectors = 0;

    friend bool operator==(const ClusterStorage&, const ClusterStorage&) = default;
};

}  // namespace nuvrel_core
