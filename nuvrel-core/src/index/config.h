// Index settings. There is no configuration file: an index is always opened
// with the defaults. Only `num_threads`, `cache_blocks` and `cache_bytes` are read when an
// index opens; the rest are carried for a writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "merge/merge_policy.h"

namespace nuvrel_core {

struct IndexConfig {
    std::unique_ptr<MergePolicy> merge_policy;  // a default TieredMergePolicy
    std::size_t num_threads;                    // size of the index's worker pool
    std::size_t num_indexing_threads;           // 1
    std::size_t num_compression_threads;        // the CPU count, like num_threads
    std::size_t cache_blocks;                   // block bound of each segment's dictionary and store caches
    std::size_t cache_bytes;                    // byte budget all block caches of the index share
    std::size_t max_indexing_memory_mb;         // 32
    std::uint32_t max_docs_per_segment;         // 100000
    bool optimize_after_commit;                 // false

    // The defaults; the CPU count (at least 1) is asked of the system once.
    static IndexConfig default_config();

    // Same as default_config().
    IndexConfig();
    IndexConfig(const IndexConfig& other);
    IndexConfig& operator=(const IndexConfig& other);
    IndexConfig(IndexConfig&&) noexcept = default;
    IndexConfig& operator=(IndexConfig&&) noexcept = default;
    ~IndexConfig() = default;

private:
    explicit IndexConfig(std::size_t cpus);
};

}  // namespace nuvrel_core
