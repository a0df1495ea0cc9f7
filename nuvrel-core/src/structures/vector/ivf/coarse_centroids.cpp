#include "structures/vector/ivf/coarse_centroids.h"

#include "structures/vector/side_file.h"

namespace nuvrel_core {

IoResult<CoarseCentroids> CoarseCentroids::load(const std::string& path) { return load_side_file<CoarseCentroids>(path); }

IoResult<CoarseCentroids> CoarseCentroids::parse(ByteView bytes) {
    ByteReader r(bytes);
    NUVREL_TRY_VOID(expect_magic(r, CENTROIDS_MAGIC, "Invalid centroids file magic"));
    CoarseCentroids out;
    const std::uint32_t format = r.u32();
    out.version = r.u64();
    out.first_count = r.u32();
    const std::uint32_t second = r.u32();
    out.second_count = second;
    if (format >= 2 && read_flag(r)) {
        CoarseCentroidsExtra extra;
        extra.value = r.u32();
        extra.enabled = read_flag(r);
        extra.factor = r.f32();
        out.extra = extra;
    }
    out.centroids = read_floats(r, count_product(out.first_count, second));
    NUVREL_TRY_VOID(r.status());
    return out;
}

}  // namespace nuvrel_core
