// RaBitQ quantizer records: the quantizer's parameters, one coded vector, and
// the codebook (random signs and a permutation of the dimensions).
#pragma once

#include <cstdint>
#include <vector>

#include "io_error.h"

namespace nuvrel_core {

struct RaBitQConfig {
    std::uint64_t dim = 0;
    std::uint8_t query_bits = 0;
    std::uint64_t seed = 0;

    friend bool operator==(const RaBitQConfig&, const RaBitQConfig&) = default;
};

struct QuantizedVector {
    std::vector<std::uint8_t> bits;
    float dist_to_centroid = 0.0f;
    float self_dot = 0.0f;
    std::uint32_t popcount = 0;

    friend bool operator==(const QuantizedVector&, const QuantizedVector&) = default;
};

struct RaBitQCodebook {
    RaBitQConfig config;
    std::vector<std::int8_t> random_signs;
    std::vector<std::uint32_t> random_perm;
    std::uint64_t version = 0;

    // The largest dimension a codebook is generated for. The dimension comes
    // from index files, and a damaged one must not make a segment open reserve
    // gigabytes; real embeddings stay far below this.
    static constexpr std::uint64_t kMaxGeneratedDim = std::uint64_t{1} << 24;

    // Generates the codebook of `config` from its seed, stamped with the
    // current time. The signs and the permutation depend on dim and seed
    // alone. Fails (invalid data) only when dim exceeds kMaxGeneratedDim.
    static IoResult<RaBitQCodebook> create(const RaBitQConfig& config);
    // The same with a given version stamp.
    static IoResult<RaBitQCodebook> create(const RaBitQConfig& config, std::uint64_t version);

    friend bool operator==(const RaBitQCodebook&, const RaBitQCodebook&) = default;
};

// Milliseconds since the Unix epoch, rounded down; 0 before the epoch.
std::uint64_t unix_millis_now() noexcept;

}  // namespace nuvrel_core
