// The term dictionary: a sorted string table of zstd-compressed blocks with a
// block index, a sparse index over it, an optional bloom filter and an
// optional shared compression dictionary, ending in a 37-byte footer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "directories/directory.h"
#include "directories/owned_bytes.h"
#include "io_error.h"
#include "runtime/runtime.h"
#include "util/block_cache.h"
#include "structures/sstable/term_info.h"

namespace nuvrel_core {

inline constexpr std::uint32_t kSSTableMagic = 0x53544233;
inline constexpr std::uint64_t kSSTableFooterLen = 37;

struct BloomFilter {
    std::vector<std::uint64_t> bits;
    std::uint64_t num_bits = 0;
    std::uint32_t num_hashes = 0;

    // Header (num_bits, num_hashes, num_words) then the words.
    static IoResult<BloomFilter> from_bytes(ByteView bytes);
    // False only when the key is certainly absent. A probe beyond the stored
    // words reads as a clear bit.
    bool may_contain(ByteView key) const noexcept;
};

struct BlockIndexEntry {
    std::string first_key;
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
};

struct SparseIndexEntry {
    std::string first_key;
    std::uint32_t block_idx = 0;
};

// Decompressed blocks keyed by the block's file offset.
using BlockCache = LruBlockCache<std::uint64_t>;

class AsyncSSTableReader {
public:
    // Reads the footer, the block and sparse indexes, the bloom filter and the
    // dictionary, one range at a time.
    static Task<IoResult<std::shared_ptr<AsyncSSTableReader>>> open(LazyFileHandle file, std::size_t cache_blocks);

    // The value stored under the key, or absent. Takes the key by value: the
    // coroutine outlives the caller's temporaries.
    Task<IoResult<std::optional<TermInfo>>> get(std::string key) const;

    // The decompressed block n (n below num_blocks), from the cache or read.
    Task<IoResult<OwnedBytes>> load_block(std::size_t n) const;

    // The blocks, both ends inclusive, that the sparse index leaves for the key.
    std::pair<std::size_t, std::size_t> find_block_range(ByteView key) const;

    // Walks a decompressed block for the key.
    static IoResult<std::optional<TermInfo>> search_block(ByteView block, ByteView key);

    const std::vector<BlockIndexEntry>& block_index() const noexcept { return block_index_; }
    const std::vector<SparseIndexEntry>& sparse_index() const noexcept { return sparse_index_; }
    const std::optional<BloomFilter>& bloom() const noexcept { return bloom_; }
    const std::optional<std::vector<std::uint8_t>>& dictionary() const noexcept { return dictionary_; }
    std::uint64_t index_offset() const noexcept { return data_.len(); }
    // For tests and diagnostics: the cached block offsets, least recent first.
    std::vector<std::uint64_t> cache_order() const;

private:
    explicit AsyncSSTableReader(std::size_t cache_blocks) : cache_(cache_blocks) {}
    static std::shared_ptr<AsyncSSTableReader> make(std::size_t cache_blocks);

    std::vector<BlockIndexEntry> block_index_;
    std::vector<SparseIndexEntry> sparse_index_;
    std::optional<BloomFilter> bloom_;
    std::optional<std::vector<std::uint8_t>> dictionary_;
    LazyFileSlice data_;
    std::uint64_t reserved_u64_ = 0;  // kept as written, never interpreted
    mutable std::shared_mutex cache_lock_;
    mutable BlockCache cache_;
    std::uint32_t reserved_u8_ = 0;   // kept as written, never interpreted
};

}  // namespace nuvrel_core
