#include "support/vector_builder.h"

#include "support/test_util.h"

#include <fmt/format.h>

namespace nuvrel_test {

namespace {

void put_floats(Bytes& b, const std::vector<float>& v) {
    for (float x : v) b.f32(x);
}

}  // namespace

std::vector<std::uint8_t> centroids_file(const CentroidsFileLayout& f) {
    Bytes b;
    b.u32(f.magic).u32(f.format).u64(f.version).u32(f.first_count).u32(f.second_count);
    if (f.format >= 2) {
        if (f.extra) {
            b.u8(0x80).u32(f.extra->value).u8(f.extra->enabled ? 2 : 0);
            b.f32(f.extra->factor);
        } else {
            b.u8(0);
        }
    }
    put_floats(b, f.data);
    return b.vec();
}

std::vector<std::uint8_t> pq_codebook_file(const PQCodebookLayout& f) {
    Bytes b;
    b.u32(f.magic).u32(f.format).u64(f.version).u32(f.dim).u32(f.num_subspaces);
    if (f.format >= 2) {
        b.u32(f.subspace_dim).u32(f.num_centroids).u8(f.first_switch).f32(f.first_factor);
        b.f32(f.second_factor).u8(f.second_switch).u32(f.extra_value);
        b.u8(f.rotation ? 1 : 0);
        if (f.rotation) put_floats(b, *f.rotation);
    } else {
        b.u32(f.num_centroids).u8(f.first_switch).f32(f.second_factor);
    }
    put_floats(b, f.centroids);
    if (f.write_values_flag) b.u8(f.centroid_values ? 1 : 0);
    if (f.centroid_values) put_floats(b, *f.centroid_values);
    return b.vec();
}

std::vector<float> float_run(std::size_t n, float start) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = start + static_cast<float>(i);
    return v;
}

std::vector<std::uint8_t> vectors_file(const std::vector<VectorEntrySpec>& entries) {
    Bytes b;
    b.u32(static_cast<std::uint32_t>(entries.size()));
    std::uint64_t next = 4 + 21 * entries.size();
    for (const auto& e : entries) {
        b.u32(e.field).u8(e.type).u64(e.offset.value_or(next)).u64(e.length.value_or(e.blob.size()));
        next += e.blob.size();
    }
    for (const auto& e : entries) b.raw(e.blob);
    return b.vec();
}

std::string rabitq_index_json(std::uint64_t dim) {
    return fmt::format(R"({{"codebook":{{"config":{{"dim":{},"query_bits":1,"seed":7}},"random_signs":[1,-1],)"
                       R"("random_perm":[1,0],"version":3}},"centroid":[0.5,1],)"
                       R"("vectors":[{{"bits":[3],"dist_to_centroid":1.5,"self_dot":0.25,"popcount":2}}]}})",
                       dim);
}

std::string ivf_index_json(std::uint64_t dim) {
    return fmt::format(R"({{"config":{{"dim":{},"default_nprobe":4,"store_raw":false,"rerank_factor":2}},)"
                       R"("centroids_version":1,"codebook_version":1,"clusters":{{"clusters":{{}},"total_vectors":0}}}})",
                       dim);
}

}  // namespace nuvrel_test
