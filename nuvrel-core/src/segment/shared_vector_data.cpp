#include "segment/shared_vector_data.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace nuvrel_core {

namespace {

// Bit equality: two files that differ only in a float's sign of zero or in a
// NaN's payload parse to different data, and are not merged.
bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}
bool same_bits(const std::optional<std::vector<float>>& a, const std::optional<std::vector<float>>& b) {
    return a.has_value() == b.has_value() && (!a || same_bits(*a, *b));
}

bool same_bits(const CoarseCentroids& a, const CoarseCentroids& b) {
    const bool extras = a.extra.has_value() == b.extra.has_value() &&
                        (!a.extra || (a.extra->value == b.extra->value && a.extra->enabled == b.extra->enabled &&
                                      same_bits(a.extra->factor, b.extra->factor)));
    return a.first_count == b.first_count && a.second_count == b.second_count && a.version == b.version && extras &&
           same_bits(a.centroids, b.centroids);
}

bool same_bits(const PQCodebook& a, const PQCodebook& b) {
    return a.dim == b.dim && a.num_subspaces == b.num_subspaces && a.subspace_dim == b.subspace_dim &&
           a.num_centroids == b.num_centroids && a.constant == b.constant && a.extra_value == b.extra_value &&
           same_bits(a.first_factor, b.first_factor) && same_bits(a.second_factor, b.second_factor) &&
           a.first_switch == b.first_switch && a.second_switch == b.second_switch && a.version == b.version &&
           same_bits(a.centroids, b.centroids) && same_bits(a.rotation_matrix, b.rotation_matrix) &&
           same_bits(a.centroid_values, b.centroid_values);
}

}  // namespace

template <class T>
std::shared_ptr<const T> SharedVectorData::share(std::vector<std::weak_ptr<const T>>& held, T parsed) {
    std::lock_guard lock(lock_);
    std::erase_if(held, [](const std::weak_ptr<const T>& w) { return w.expired(); });
    for (const auto& w : held) {
        // Counts and sizes differ first, so a mismatch costs little.
        if (std::shared_ptr<const T> kept = w.lock(); kept && same_bits(*kept, parsed)) return kept;
    }
    auto fresh = std::make_shared<const T>(std::move(parsed));
    held.push_back(fresh);
    return fresh;
}

std::shared_ptr<const CoarseCentroids> SharedVectorData::centroids(CoarseCentroids parsed) {
    return share(centroids_, std::move(parsed));
}

std::shared_ptr<const PQCodebook> SharedVectorData::pq_codebook(PQCodebook parsed) {
    return share(pq_codebooks_, std::move(parsed));
}

std::uint64_t SharedVectorData::codebook_dims() {
    std::lock_guard lock(lock_);
    return held_codebook_dims();
}

std::uint64_t SharedVectorData::held_codebook_dims() {
    std::uint64_t dims = 0;
    std::erase_if(codebooks_, [&](const auto& kv) {
        if (kv.second.expired()) return true;
        dims += kv.first.first;
        return false;
    });
    return dims;
}

std::shared_ptr<const RaBitQCodebook> SharedVectorData::rabitq_codebook(std::uint64_t dim, std::uint64_t seed) {
    std::lock_guard lock(lock_);
    const std::uint64_t held = held_codebook_dims();
    auto& slot = codebooks_[{dim, seed}];
    if (std::shared_ptr<const RaBitQCodebook> kept = slot.lock()) return kept;
    if (dim > kMaxCodebookDimsPerIndex - std::min(held, kMaxCodebookDimsPerIndex)) return nullptr;
    IoResult<RaBitQCodebook> made = RaBitQCodebook::create(RaBitQConfig{dim, 4, seed});
    if (!made) return nullptr;
    auto fresh = std::make_shared<const RaBitQCodebook>(std::move(*made));
    slot = fresh;
    return fresh;
}

}  // namespace nuvrel_core
