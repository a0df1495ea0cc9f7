// The product-quantization codebook of an IVF-PQ index, from its own binary
// file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "directories/owned_bytes.h"
#include "io_error.h"

namespace nuvrel_core {

inline constexpr std::uint32_t CODEBOOK_MAGIC = 0x5343424B;  // "KBCS"

struct PQCodebook {
    // num_subspaces x num_centroids x subspace_dim floats, flat, in file order.
    std::vector<float> centroids;
    // dim x dim floats, flat; format 2 and later, when the file has one.
    std::optional<std::vector<float>> rotation_matrix;
    // One float per centroid (num_subspaces x num_centroids), when present.
    std::optional<std::vector<float>> centroid_values;
    std::size_t dim = 0;
    std::size_t num_subspaces = 0;  // M
    std::size_t subspace_dim = 0;
    std::size_t num_centroids = 0;  // K per subspace
    // A constant every loaded codebook carries; no file supplies it.
    std::size_t constant = kConstant;
    std::size_t extra_value = 0;
    float first_factor = 0.0f;
    float second_factor = 0.0f;
    bool first_switch = false;
    bool second_switch = false;
    std::uint64_t version = 0;

    static constexpr std::size_t kConstant = 42;
    // Formats 0 and 1 store neither of these; they read as this.
    static constexpr float kLegacyFirstFactor = 10.0f;

    // Reads the file at `path` whole, synchronously. Errors: the read's own
    // error; "failed to fill whole buffer" (unexpected end of data) for a
    // file cut short; "Invalid codebook file magic" (invalid data); a format
    // 0 or 1 file with no subspaces (invalid data).
    static IoResult<PQCodebook> load(const std::string& path);
    // The same over bytes already in memory.
    static IoResult<PQCodebook> parse(ByteView bytes);

    friend bool operator==(const PQCodebook&, const PQCodebook&) = default;
};

}  // namespace nuvrel_core
