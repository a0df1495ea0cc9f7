#include "structures/vector/ivf/coarse_centroids.h"

#include "structures/vector/side_file.h"

namespace nuvrel_core {

IoResult<CoarseCentroids> CoarseCentroids::load(const std::string& path) { return load_side_file<CoarseCentroids>(path); }

IoResult<CoarseCentroids> CoarseCentroids::parse(const std::vector<std::uint8_t>& bytes) {
    SideFileReader r(bytes);
    if (auto m = r.expect_magic(CENTROIDS_MAGIC, "Invalid centroids file magic"); !m)
        return std::unexpected(m.error());
    CoarseCentroids out;
    const std::uint32_t format = r.u32();
    out.version = r.u64();
    out.first_count = r.u32();
    const std::uint32_t second = r.u32();
    out.second_count = second;
    if (format >= 2 && r.flag()) {
        CoarseCentroidsExtra extra;
        extra.value = r.u32();
        extra.enabled = r.flag();
        extra.factor = r.f32();
        out.extra = extra;
    }
    out.centroids = r.floats(count_product(out.first_count, second));
    if (auto s = r.status(); !s) return std::unexpected(s.error());
    return out;
}

}  // namespace nuvrel_core
