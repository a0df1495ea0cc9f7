// An inverted-file index whose vectors are RaBitQ codes. Its text carries no
// codebook: the loader generates one from config.dim.
#pragma once

#include <cstdint>

#include "structures/vector/ivf/cluster.h"
#include "structures/vector/quantization/rabitq.h"

namespace nuvrel_core {

struct IVFRaBitQConfig {
    std::uint64_t dim = 0;
    std::uint64_t default_nprobe = 0;
    bool store_raw = false;
    std::uint64_t rerank_factor = 0;

    friend bool operator==(const IVFRaBitQConfig&, const IVFRaBitQConfig&) = default;
};

struct IVFRaBitQIndex {
    IVFRaBitQConfig config;
    std::uint64_t centroids_version = 0;
    std::uint64_t codebook_version = 0;
    ClusterStorage<QuantizedVector> clusters;

    friend bool operator==(const IVFRaBitQIndex&, const IVFRaBitQIndex&) = default;
};

}  // namespace nuvrel_core
