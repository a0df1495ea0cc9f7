// An opened index directory: schema, configuration, the list of open
// segments, default search fields, tokenizer registry and worker pool.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "directories/directory.h"
#include "dsl/document.h"
#include "dsl/schema.h"
#include "error.h"
#include "index/config.h"
#include "runtime/runtime.h"
#include "runtime/thread_pool.h"
#include "segment/reader.h"
#include "tokenizer/tokenizer_registry.h"

namespace nuvrel_core {

using SegmentList = std::vector<std::shared_ptr<AsyncSegmentReader>>;

class Index {
public:
    // Reads "schema.json", then the segments "segments.json" lists, one
    // after another; then starts the worker pool, computes the default search
    // fields and builds the tokenizer registry.
    static Task<Result<std::shared_ptr<Index>>> open(FsDirectory directory, IndexConfig config);

    // The readers of the segments "segments.json" lists, in its order, each
    // with its document base. A missing list means no segments. The readers
    // share `sharing` (one made for this load when it has null members).
    // Open and reload run it as one job of the blocking pool
    // (run_on_blocking_pool): its dozens of short reads then cost one
    // hand-off in all.
    static Task<Result<SegmentList>> load_segments(std::shared_ptr<const FsDirectory> directory,
                                                   std::shared_ptr<const Schema> schema, IndexConfig config,
                                                   SegmentSharing sharing = {});

    // A snapshot of the segment list; the lock is held only for the copy.
    SegmentList segment_readers() const;

    // Loads the segment list afresh and swaps it in; on failure the current
    // list stays.
    Task<Result<void>> reload();

    // The stored document with this global number; none past the last one.
    Task<Result<std::optional<Document>>> doc(std::uint32_t doc_id) const;

    // The sum of the segments' document counts, modulo 2^32.
    std::uint32_t num_docs() const;
    std::size_t num_segments() const;

    const FsDirectory& directory() const noexcept { return *directory_; }
    const std::shared_ptr<const Schema>& schema() const noexcept { return schema_; }
    const IndexConfig& config() const noexcept { return config_; }
    const std::vector<Field>& default_fields() const noexcept { return default_fields_; }
    const std::shared_ptr<TokenizerRegistry>& tokenizers() const noexcept { return tokenizers_; }
    std::size_t worker_threads() const noexcept { return config_.num_threads; }
    // The byte budget all block caches of the index share, and its vector data.
    const SegmentSharing& sharing() const noexcept { return sharing_; }
    // Empties every block cache of the index. A call that ran out of memory
    // does this before it fails (decoding a block does it itself), so that
    // the next call has what the caches pinned.
    void release_block_caches() const noexcept { sharing_.cache_budget->release_all(); }

    Index(std::shared_ptr<const FsDirectory> directory, std::shared_ptr<const Schema> schema, IndexConfig config,
          SegmentList segments, std::vector<Field> default_fields, std::shared_ptr<TokenizerRegistry> tokenizers,
          std::shared_ptr<ThreadPool> thread_pool, SegmentSharing sharing = {});

private:
    std::shared_ptr<const FsDirectory> directory_;
    std::shared_ptr<const Schema> schema_;
    IndexConfig config_;
    mutable std::shared_mutex segments_lock_;
    SegmentList segments_;
    std::vector<Field> default_fields_;
    std::shared_ptr<TokenizerRegistry> tokenizers_;
    // Started at open and kept for the index's life; nothing is given to it.
    std::shared_ptr<ThreadPool> thread_pool_;
    // Kept across reloads: a reload's readers draw on the same budget and
    // share vector data with the readers they replace.
    SegmentSharing sharing_;
};

// The fields a query without a field searches: the schema's own list when it
// has one, else every indexed text field in id order.
std::vector<Field> compute_default_fields(const Schema& schema);

}  // namespace nuvrel_core
