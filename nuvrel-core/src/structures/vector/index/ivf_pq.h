// An inverted-file index whose vectors are product-quantization codes. Its
// codebook is a separate file (PQCodebook).
#pragma once

#include <cstdint>

#include "directories/owned_bytes.h"
#include "io_error.h"

#include "structures/vector/ivf/cluster.h"
#include "structures/vector/quantization/pq.h"

namespace nuvrel_core {

// The same settings as IVFRaBitQConfig, kept a distinct type as the two index
// kinds evolve separately.
struct IVFPQConfig {
    std::uint64_t dim = 0;
    std::uint64_t default_nprobe = 0;
    bool store_raw = false;
    std::uint64_t rerank_factor = 0;

    friend bool operator==(const IVFPQConfig&, const IVFPQConfig&) = default;
};

struct IVFPQIndex {
    IVFPQConfig config;
    std::uint64_t centroids_version = 0;
    std::uint64_t codebook_version = 0;
    ClusterStorage<PQVector> clusters;

    // One whole JSON text; a failure is an I/O error of kind invalid data
    // whose message is the JSON error's text. Defined with the JSON tables.
    static IoResult<IVFPQIndex> from_bytes(ByteView json);

    friend bool operator==(const IVFPQIndex&, const IVFPQIndex&) = default;
};

}  // namespace nuvrel_core
