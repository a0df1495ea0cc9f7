// Vector data the segments of one index share. Every segment still reads its
// own side files and parses them; when the parse is bit for bit the data
// another segment of the index already holds, the segment takes that copy
// and drops its own, so one 256 MiB centroids file named by every segment is
// held once, not once per segment (or per listing of a segment). Generated
// RaBitQ codebooks depend on dimension and seed alone and are shared the same
// way. Thread-safe: a reload may open segments while queries run.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "structures/vector/ivf/coarse_centroids.h"
#include "structures/vector/quantization/pq_codebook.h"
#include "structures/vector/quantization/rabitq.h"

namespace nuvrel_core {

// The most dimensions the RaBitQ codebooks one index holds may have in all
// (2^20, some 5 MiB). A codebook takes 5 bytes per dimension however short
// the text that asks for it; codebooks are shared between every field and
// segment with the same dimension, so only distinct dimensions count, and a
// codebook no segment holds any more (after a reload) counts no longer. Real
// embeddings use a few thousand dimensions, and an index a handful of them.
inline constexpr std::uint64_t kMaxCodebookDimsPerIndex = std::uint64_t{1} << 20;

class SharedVectorData {
public:
    // The index's copy of data bit for bit equal to `parsed`, or `parsed`
    // itself, kept from now on for the segments that follow.
    std::shared_ptr<const CoarseCentroids> centroids(CoarseCentroids parsed);
    std::shared_ptr<const PQCodebook> pq_codebook(PQCodebook parsed);

    // The codebook of (dim, seed), generated on first use; null when the
    // index's codebooks would pass kMaxCodebookDimsPerIndex, or when the
    // dimension is beyond what a codebook is generated for.
    std::shared_ptr<const RaBitQCodebook> rabitq_codebook(std::uint64_t dim, std::uint64_t seed);

    // The dimensions the codebooks still held have in all.
    std::uint64_t codebook_dims();

private:
    std::uint64_t held_codebook_dims();  // under lock_; forgets codebooks no longer held
    template <class T>
    std::shared_ptr<const T> share(std::vector<std::weak_ptr<const T>>& held, T parsed);

    std::mutex lock_;
    std::vector<std::weak_ptr<const CoarseCentroids>> centroids_;
    std::vector<std::weak_ptr<const PQCodebook>> pq_codebooks_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::weak_ptr<const RaBitQCodebook>> codebooks_;
};

}  // namespace nuvrel_core
