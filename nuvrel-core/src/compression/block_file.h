// The part of a file of zstd blocks that the term dictionary and the
// document store share: the data area, the file's optional compression
// dictionary (read once at open) and a cache of decompressed blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "compression/zstd.h"
#include "directories/directory.h"
#include "directories/owned_bytes.h"
#include "io_error.h"
#include "runtime/runtime.h"
#include "util/block_cache.h"

namespace nuvrel_core {

// A dictionary stored as a u32 length and its bytes at `offset`, and the file
// position just after it.
struct StoredDictionary {
    std::vector<std::uint8_t> bytes;
    std::uint64_t end = 0;
};
Task<IoResult<StoredDictionary>> read_stored_dictionary(const LazyFileHandle& file, std::uint64_t offset);

// How a file's blocks are cached: the count bound of its own cache, the
// byte budget its index shares among all caches (a private one when none is
// given), and the most one block of this kind of file may decompress to.
struct BlockCacheSettings {
    std::size_t blocks = 256;
    std::shared_ptr<BlockCacheBudget> budget;
    std::size_t max_block_bytes = kMaxDecompressedBlock;

    BlockCacheSettings(std::size_t cache_blocks = 256, std::shared_ptr<BlockCacheBudget> shared = nullptr)  // NOLINT
        : blocks(cache_blocks), budget(std::move(shared)) {}
};

class CachedBlockFile final : private BlockCacheBudget::Member {
public:
    explicit CachedBlockFile(BlockCacheSettings settings);
    ~CachedBlockFile();
    CachedBlockFile(const CachedBlockFile&) = delete;
    CachedBlockFile& operator=(const CachedBlockFile&) = delete;

    // `data` is the window the blocks lie in; offsets are relative to it.
    void attach(LazyFileSlice data, std::optional<std::vector<std::uint8_t>> dictionary) {
        data_ = std::move(data);
        dictionary_ = std::move(dictionary);
    }

    // The block under `key`, if cached (a hit makes it the most recent).
    std::optional<OwnedBytes> cached(std::uint64_t key) const;
    // The range of a block inside the data area; a range whose end passes 64
    // bits fails as the window's own bound check would.
    IoResult<ByteRange> block_range(std::uint64_t offset, std::uint64_t length) const;
    // Reads and decompresses the block and caches it under `key`. The cache
    // lock is never held across the read or the decompression.
    Task<IoResult<OwnedBytes>> read(std::uint64_t key, ByteRange range) const;
    // cached(), or else read() of the block at [offset, offset + length).
    Task<IoResult<OwnedBytes>> load(std::uint64_t key, std::uint64_t offset, std::uint64_t length) const;

    const std::optional<std::vector<std::uint8_t>>& dictionary() const noexcept { return dictionary_; }
    std::uint64_t data_len() const noexcept { return data_.len(); }
    // For tests and diagnostics: the cached keys, least recent first, and the
    // bytes the cache pins.
    std::vector<std::uint64_t> cache_order() const;
    std::size_t cached_bytes() const;
    const BlockCacheBudget& budget() const noexcept { return *budget_; }

private:
    // Empties the cache; the index's budget calls it when memory runs out.
    void release() override;

    std::shared_ptr<BlockCacheBudget> budget_;  // outlives cache_
    std::size_t max_block_bytes_;
    LazyFileSlice data_;
    std::optional<std::vector<std::uint8_t>> dictionary_;
    DigestedDictionary digested_;  // of dictionary_, made at the first block read
    mutable std::mutex lock_;
    mutable LruBlockCache<std::uint64_t> cache_;
};

}  // namespace nuvrel_core
