// The term dictionary: a sorted string table of zstd-compressed blocks with a
// block index, a sparse index over it, an optional bloom filter and an
// optional shared compression dictionary, ending in a 37-byte footer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "compression/block_file.h"
#include "directories/directory.h"
#include "directories/owned_bytes.h"
#include "io_error.h"
#include "runtime/runtime.h"
#include "structures/sstable/term_info.h"
#include "util/block_cache.h"

namespace nuvrel_core {

inline constexpr std::uint32_t kSSTableMagic = 0x53544233;
inline constexpr std::uint64_t kSSTableFooterLen = 37;

// The best number of probes for m bits over n keys is (m/n)·ln 2: 7 for the
// usual 10 bits per key, and 64 only at 92 bits per key, where the false
// positive rate is already below 1e-19. A filter that asks for more probes is
// not a sound filter; it would only spend time (2^32 - 1 probes is seconds
// per lookup), so the open refuses it.
inline constexpr std::uint32_t kMaxBloomHashes = 64;

struct BloomFilter {
    // The bit words, little-endian u64 each, as they lie in the file.
    OwnedBytes words;
    std::uint64_t num_bits = 0;
    std::uint32_t num_hashes = 0;

    // Header (num_bits, num_hashes, num_words) then the words, which the
    // filter keeps in `bytes`' buffer.
    static IoResult<BloomFilter> from_bytes(const OwnedBytes& bytes);
    std::size_t num_words() const noexcept { return words.size() / 8; }
    // False only when the key is certainly absent. A probe beyond the stored
    // words reads as a clear bit.
    bool may_contain(ByteView key) const noexcept;
};

// The keys of an index held in one buffer, so that opening a dictionary
// allocates per index, not per key: key i is the bytes [end(i-1), end(i)).
class KeyColumn {
public:
    std::size_t size() const noexcept { return ends_.size(); }
    ByteView operator[](std::size_t i) const noexcept {
        const std::size_t from = i == 0 ? 0 : ends_[i - 1];
        return {bytes_.data() + from, ends_[i] - from};
    }
    void reserve(std::size_t keys) { ends_.reserve(keys); }
    // Drops the spare room that growing left behind: the column lives as
    // long as its reader.
    void shrink_to_fit() { bytes_.shrink_to_fit(); }
    // Appends the first `keep` bytes of the last key followed by `suffix`
    // (keep is at most the last key's length).
    void push_shared(std::size_t keep, ByteView suffix);
    void push(ByteView key) { push_shared(0, key); }

private:
    std::vector<std::uint8_t> bytes_;
    std::vector<std::size_t> ends_;
};

struct BlockLocation {
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
};

struct BlockIndex {
    KeyColumn first_keys;
    std::vector<BlockLocation> blocks;
    std::size_t size() const noexcept { return blocks.size(); }
};

struct SparseIndex {
    KeyColumn first_keys;
    std::vector<std::uint32_t> block_idx;
    std::size_t size() const noexcept { return block_idx.size(); }
};

// Unsigned byte order; on an equal prefix the shorter key comes first.
int compare_keys(ByteView a, ByteView b) noexcept;

// Decompressed blocks keyed by the block's file offset.
using BlockCache = LruBlockCache<std::uint64_t>;

// Decodes the index region: the block index, then the sparse index.
IoResult<std::pair<BlockIndex, SparseIndex>> parse_sstable_indexes(ByteView region);

class AsyncSSTableReader {
public:
    // Reads the footer, the block and sparse indexes, the bloom filter and the
    // dictionary, one range at a time.
    static Task<IoResult<std::shared_ptr<AsyncSSTableReader>>> open(LazyFileHandle file, BlockCacheSettings cache);

    // The value stored under the key, or absent. Takes the key by value: the
    // coroutine outlives the caller's temporaries.
    Task<IoResult<std::optional<TermInfo>>> get(std::string key) const;

    // The decompressed block n (n below num_blocks), from the cache or read.
    Task<IoResult<OwnedBytes>> load_block(std::size_t n) const;

    // The blocks, both ends inclusive, that the sparse index leaves for the key.
    std::pair<std::size_t, std::size_t> find_block_range(ByteView key) const;

    // Walks a decompressed block for the key.
    static IoResult<std::optional<TermInfo>> search_block(ByteView block, ByteView key);

    const BlockIndex& block_index() const noexcept { return block_index_; }
    const SparseIndex& sparse_index() const noexcept { return sparse_index_; }
    const std::optional<BloomFilter>& bloom() const noexcept { return bloom_; }
    const std::optional<std::vector<std::uint8_t>>& dictionary() const noexcept { return blocks_.dictionary(); }
    std::uint64_t index_offset() const noexcept { return blocks_.data_len(); }
    // The data blocks and their cache.
    const CachedBlockFile& blocks() const noexcept { return blocks_; }

private:
    explicit AsyncSSTableReader(BlockCacheSettings cache) : blocks_(std::move(cache)) {}
    template <class T, class... Args>
    friend std::shared_ptr<T> make_private_shared(Args...);

    BlockIndex block_index_;
    SparseIndex sparse_index_;
    std::optional<BloomFilter> bloom_;
    CachedBlockFile blocks_;
    std::uint64_t reserved_u64_ = 0;  // kept as written, never interpreted
    std::uint32_t reserved_u8_ = 0;   // kept as written, never interpreted
};

}  // namespace nuvrel_core
