#include "index/config.h"

#include "runtime/thread_pool.h"
#include "util/block_cache.h"

#include <algorithm>
#include <thread>

namespace nuvrel_core {

IndexConfig::IndexConfig(std::size_t cpus)
    : merge_policy(std::make_unique<TieredMergePolicy>()),
      num_threads(cpus),
      num_indexing_threads(1),
      num_compression_threads(cpus),
      cache_blocks(256),
      cache_bytes(kIndexBlockCacheBytes),
      max_indexing_memory_mb(32),
      max_docs_per_segment(100000),
      optimize_after_commit(false) {}

IndexConfig IndexConfig::default_config() {
    return IndexConfig(available_cpus());
}

IndexConfig::IndexConfig() : IndexConfig(default_config()) {}

IndexConfig::IndexConfig(const IndexConfig& other)
    : merge_policy(other.merge_policy ? other.merge_policy->clone_box() : nullptr),
      num_threads(other.num_threads),
      num_indexing_threads(other.num_indexing_threads),
      num_compression_threads(other.num_compression_threads),
      cache_blocks(other.cache_blocks),
      cache_bytes(other.cache_bytes),
      max_indexing_memory_mb(other.max_indexing_memory_mb),
      max_docs_per_segment(other.max_docs_per_segment),
      optimize_after_commit(other.optimize_after_commit) {}

IndexConfig& IndexConfig::operator=(const IndexConfig& other) {
    if (this != &other) *this = IndexConfig(other);
    return *this;
}

}  // namespace nuvrel_core
