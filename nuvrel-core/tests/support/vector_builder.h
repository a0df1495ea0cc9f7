// Byte builders for a segment's ".vectors" file and the vector side files
// (coarse centroids, PQ codebook). Every field is settable, so tests can write
// any valid or damaged layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "structures/vector/ivf/coarse_centroids.h"
#include "structures/vector/quantization/pq_codebook.h"

namespace nuvrel_test {

struct CentroidsFileLayout {
    std::uint32_t magic = nuvrel_core::CENTROIDS_MAGIC;
    std::uint32_t format = 1;
    std::uint64_t version = 0;
    std::uint32_t first_count = 0;
    std::uint32_t second_count = 0;
    // Format 2 and later: the flag byte is 0x80 when an extra block is given,
    // else 0; a true switch is written as 2. Neither is 1, so that a reader
    // must take any non-zero byte as set.
    std::optional<nuvrel_core::CoarseCentroidsExtra> extra;
    std::vector<float> data;
};

std::vector<std::uint8_t> centroids_file(const CentroidsFileLayout& f);

struct PQCodebookLayout {
    std::uint32_t magic = nuvrel_core::CODEBOOK_MAGIC;
    std::uint32_t format = 2;
    std::uint64_t version = 0;
    std::uint32_t dim = 0;
    std::uint32_t num_subspaces = 0;
    std::uint32_t subspace_dim = 0;  // written for format 2 and later only
    std::uint32_t num_centroids = 0;
    std::uint8_t first_switch = 0;
    float first_factor = 0.0f;      // format 2 and later only
    float second_factor = 0.0f;
    std::uint8_t second_switch = 0;  // format 2 and later only
    std::uint32_t extra_value = 0;   // format 2 and later only
    std::optional<std::vector<float>> rotation;  // format 2 and later only
    std::vector<float> centroids;
    std::optional<std::vector<float>> centroid_values;
    bool write_values_flag = true;  // false ends the file after the centroids
};

std::vector<std::uint8_t> pq_codebook_file(const PQCodebookLayout& f);

// One row of a ".vectors" table. The blobs follow the table in entry order;
// `offset` and `length` replace the computed position when given.
struct VectorEntrySpec {
    VectorEntrySpec(std::uint32_t field_id, std::uint8_t type_byte, std::string json,
                    std::optional<std::uint64_t> at = {}, std::optional<std::uint64_t> len = {})
        : field(field_id), type(type_byte), blob(std::move(json)), offset(at), length(len) {}

    std::uint32_t field = 0;
    std::uint8_t type = 0;
    std::string blob;
    std::optional<std::uint64_t> offset;
    std::optional<std::uint64_t> length;
};

std::vector<std::uint8_t> vectors_file(const std::vector<VectorEntrySpec>& entries);

// Small valid descriptions: a flat RaBitQ index and an inverted-file index
// (the same text serves both code types when it holds no clusters).
std::string rabitq_index_json(std::uint64_t dim);
std::string ivf_index_json(std::uint64_t dim);

// n floats start, start + 1, ...
std::vector<float> float_run(std::size_t n, float start = 0.0f);

}  // namespace nuvrel_test
