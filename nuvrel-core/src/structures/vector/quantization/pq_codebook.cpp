#include "structures/vector/quantization/pq_codebook.h"

#include "structures/vector/side_file.h"

namespace nuvrel_core {

namespace {

// Format versions from which the header spells out every value and may carry
// a rotation matrix.
constexpr std::uint32_t kFullHeaderFormat = 2;

IoResult<void> read_legacy_header(ByteReader& r, PQCodebook& cb) {
    cb.num_centroids = r.u32();
    cb.first_switch = read_flag(r);
    cb.second_factor = r.f32();
    NUVREL_TRY_VOID(r.status());
    // The subspace dimension is derived; a file without subspaces has none.
    if (cb.num_subspaces == 0)
        return std::unexpected(IoError::invalid_data("Invalid codebook: zero subspaces"));
    cb.subspace_dim = static_cast<std::uint32_t>(cb.dim) / static_cast<std::uint32_t>(cb.num_subspaces);
    cb.first_factor = PQCodebook::kLegacyFirstFactor;
    cb.second_switch = false;
    cb.extra_value = 0;
    return {};
}

void read_full_header(ByteReader& r, PQCodebook& cb) {
    cb.subspace_dim = r.u32();
    cb.num_centroids = r.u32();
    cb.first_switch = read_flag(r);
    cb.first_factor = r.f32();
    cb.second_factor = r.f32();
    cb.second_switch = read_flag(r);
    cb.extra_value = r.u32();
    if (read_flag(r)) cb.rotation_matrix = read_floats(r, count_product(cb.dim, cb.dim));
}

}  // namespace

IoResult<PQCodebook> PQCodebook::load(const std::string& path) { return load_side_file<PQCodebook>(path); }

IoResult<PQCodebook> PQCodebook::parse(ByteView bytes) {
    ByteReader r(bytes);
    NUVREL_TRY_VOID(expect_magic(r, CODEBOOK_MAGIC, "Invalid codebook file magic"));
    PQCodebook cb;
    const std::uint32_t format = r.u32();
    cb.version = r.u64();
    cb.dim = r.u32();
    cb.num_subspaces = r.u32();
    if (format >= kFullHeaderFormat) {
        read_full_header(r, cb);
    } else {
        NUVREL_TRY_VOID(read_legacy_header(r, cb));
    }

    const std::uint64_t codes = count_product(cb.num_subspaces, cb.num_centroids);
    cb.centroids = read_floats(r, count_product(codes, cb.subspace_dim));
    if (read_flag(r)) cb.centroid_values = read_floats(r, codes);
    NUVREL_TRY_VOID(r.status());
    return cb;
}

}  // namespace nuvrel_core
