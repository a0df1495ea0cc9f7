// The document store: zstd-compressed blocks of length-prefixed JSON records,
// an optional shared dictionary, a block index and a 32-byte footer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "compression/block_file.h"
#include "directories/directory.h"
#include "directories/owned_bytes.h"
#include "dsl/document.h"
#include "io_error.h"
#include "runtime/runtime.h"

namespace nuvrel_core {

inline constexpr std::uint32_t kStoreMagic = 0x53544F52;
inline constexpr std::uint32_t kStoreVersion = 2;
inline constexpr std::uint64_t kStoreFooterLen = 32;

struct StoreIndexEntry {
    std::uint32_t first_doc_id = 0;
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    std::uint32_t num_docs = 0;
    friend bool operator==(const StoreIndexEntry&, const StoreIndexEntry&) = default;
};

// Decodes the block index region: a u32 count, then 20-byte entries.
IoResult<std::vector<StoreIndexEntry>> parse_store_index(ByteView region);

// Parses one stored record; a parse failure is InvalidData with the parser's text.
IoResult<Document> deserialize_document(ByteView record);

class AsyncStoreReader {
public:
    static Task<IoResult<std::shared_ptr<AsyncStoreReader>>> open(LazyFileHandle file, BlockCacheSettings cache);

    // The document `doc` of this store (below num_docs()).
    Task<IoResult<Document>> get(std::uint32_t doc) const;
    // The raw record of `doc`, cut out of its cached block without copying.
    Task<IoResult<OwnedBytes>> get_record(std::uint32_t doc) const;
    // The decompressed block of an index entry, from the cache or read.
    Task<IoResult<OwnedBytes>> load_block(StoreIndexEntry entry) const;

    std::uint32_t num_docs() const noexcept { return num_docs_; }
    const std::vector<StoreIndexEntry>& index() const noexcept { return index_; }
    const std::optional<std::vector<std::uint8_t>>& dict() const noexcept { return blocks_.dictionary(); }
    // The data blocks and their cache, keyed by first document number.
    const CachedBlockFile& blocks() const noexcept { return blocks_; }

private:
    explicit AsyncStoreReader(BlockCacheSettings cache) : blocks_(std::move(cache)) {}
    template <class T, class... Args>
    friend std::shared_ptr<T> make_private_shared(Args...);

    std::vector<StoreIndexEntry> index_;
    CachedBlockFile blocks_;
    std::uint32_t num_docs_ = 0;
};

}  // namespace nuvrel_core
