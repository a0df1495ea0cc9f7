// The coarse centroids of an inverted-file index, from their own binary file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "directories/owned_bytes.h"
#include "io_error.h"

namespace nuvrel_core {

inline constexpr std::uint32_t CENTROIDS_MAGIC = 0x48435643;  // "CVCH"

// The optional block that format versions 2 and later may carry.
struct CoarseCentroidsExtra {
    std::uint32_t value = 0;
    bool enabled = false;
    float factor = 0.0f;

    friend bool operator==(const CoarseCentroidsExtra&, const CoarseCentroidsExtra&) = default;
};

struct CoarseCentroids {
    // first_count x second_count floats, in file order.
    std::vector<float> centroids;
    std::optional<CoarseCentroidsExtra> extra;
    std::size_t second_count = 0;
    std::uint64_t version = 0;
    std::uint32_t first_count = 0;

    // Reads the file at `path` whole, synchronously. Errors: the read's own
    // error; "failed to fill whole buffer" (unexpected end of data) for a
    // file cut short; "Invalid centroids file magic" (invalid data).
    static IoResult<CoarseCentroids> load(const std::string& path);
    // The same over bytes already in memory.
    static IoResult<CoarseCentroids> parse(ByteView bytes);

    friend bool operator==(const CoarseCentroids&, const CoarseCentroids&) = default;
};

}  // namespace nuvrel_core
