// One opened segment: its metadata, term dictionary, postings file, document
// store, vector data and document base. Immutable once opened, apart from the
// block caches inside the dictionary and store readers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "directories/directory.h"
#include "dsl/document.h"
#include "dsl/schema.h"
#include "error.h"
#include "runtime/runtime.h"
#include "segment/store.h"
#include "segment/types.h"
#include "segment/vector_loading.h"
#include "util/fx_hash.h"
#include "util/make_private.h"
#include "structures/postings/posting.h"
#include "structures/sstable/sstable.h"

namespace nuvrel_core {

// What the segments of one index share for the index's whole life, reloads
// included: the byte budget of all their block caches and their vector data.
// Null members give the segment its own.
struct SegmentSharing {
    std::shared_ptr<BlockCacheBudget> cache_budget;
    std::shared_ptr<SharedVectorData> vectors;

    static SegmentSharing for_index(std::size_t cache_bytes);
};

class AsyncSegmentReader {
public:
    // Opens ".meta", ".terms", ".post", ".store", then the vector data, one
    // file operation at a time; the first failure is returned.
    static Task<Result<std::shared_ptr<AsyncSegmentReader>>> open(FsDirectory dir, SegmentId segment_id,
                                                                   std::shared_ptr<const Schema> schema,
                                                                   std::uint32_t doc_id_offset,
                                                                   std::size_t cache_blocks,
                                                                   SegmentSharing sharing = {});

    const SegmentMeta& meta() const noexcept { return meta_; }
    std::uint32_t num_docs() const noexcept { return meta_.num_docs; }
    std::uint32_t doc_id_offset() const noexcept { return doc_id_offset_; }
    const std::shared_ptr<AsyncSSTableReader>& term_dict() const noexcept { return term_dict_; }
    const LazyFileHandle& postings_handle() const noexcept { return postings_handle_; }
    const std::shared_ptr<AsyncStoreReader>& store() const noexcept { return store_; }
    const std::shared_ptr<const Schema>& schema() const noexcept { return schema_; }
    const VectorIndexMap& vector_indexes() const noexcept { return vector_indexes_; }
    const std::shared_ptr<const CoarseCentroids>& coarse_centroids() const noexcept { return coarse_centroids_; }

    // The stored document with this segment-local id; none at or past the
    // store's own document count (no file is touched then).
    Task<Result<std::optional<Document>>> doc(std::uint32_t local_doc_id) const;

    // The posting list of (field, term): inline terms decode without a read,
    // external ones read exactly their range of ".post". None when the
    // segment does not hold the term.
    Task<Result<std::optional<BlockPostingList>>> get_postings(Field field, std::string term) const;

private:
    AsyncSegmentReader() = default;
    template <class T, class... Args>
    friend std::shared_ptr<T> make_private_shared(Args...);

    SegmentMeta meta_;
    VectorIndexMap vector_indexes_;
    std::shared_ptr<AsyncSSTableReader> term_dict_;
    LazyFileHandle postings_handle_;
    std::shared_ptr<AsyncStoreReader> store_;
    std::shared_ptr<const Schema> schema_;
    std::shared_ptr<const CoarseCentroids> coarse_centroids_;
    std::uint32_t doc_id_offset_ = 0;
};

}  // namespace nuvrel_core
