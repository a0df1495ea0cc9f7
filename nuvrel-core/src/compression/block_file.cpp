#include "compression/block_file.h"

#include "compression/zstd.h"
#include "util/byte_reader.h"
#include "util/file_range.h"
#include "util/try.h"

namespace nuvrel_core {

Task<IoResult<StoredDictionary>> read_stored_dictionary(const LazyFileHandle& file, std::uint64_t offset) {
    using R = IoResult<StoredDictionary>;
    const std::uint64_t size = file.file_size();
    NUVREL_CO_TRY(ByteRange len_range, range_of(offset, 4, size, "file size"));
    NUVREL_CO_TRY(OwnedBytes len_bytes, co_await file.read_bytes_range(len_range));
    const std::uint32_t len = load_le<std::uint32_t>(len_bytes.data());
    NUVREL_CO_TRY(ByteRange range, range_of(len_range.end, len, size, "file size"));
    NUVREL_CO_TRY(OwnedBytes bytes, co_await file.read_bytes_range(range));
    co_return R(StoredDictionary{bytes.to_vec(), range.end});
}

CachedBlockFile::CachedBlockFile(BlockCacheSettings settings)
    : budget_(settings.budget ? std::move(settings.budget) : std::make_shared<BlockCacheBudget>()),
      max_block_bytes_(settings.max_block_bytes),
      cache_(settings.blocks, kBlockCacheMaxBytes, kMaxCachedBlockBytes, budget_.get()) {
    budget_->enroll(*this);
}

// Withdrawn first, so that an index-wide release never meets a half-gone cache.
CachedBlockFile::~CachedBlockFile() { budget_->withdraw(*this); }

void CachedBlockFile::release() {
    std::lock_guard lock(lock_);
    cache_.clear();
}

std::optional<OwnedBytes> CachedBlockFile::cached(std::uint64_t key) const {
    std::lock_guard lock(lock_);
    return cache_.get(key);
}

IoResult<ByteRange> CachedBlockFile::block_range(std::uint64_t offset, std::uint64_t length) const {
    return range_of(offset, length, data_.len(), "slice len");
}

Task<IoResult<OwnedBytes>> CachedBlockFile::read(std::uint64_t key, ByteRange range) const {
    using R = IoResult<OwnedBytes>;
    NUVREL_CO_TRY(OwnedBytes raw, co_await data_.read_bytes_range(range));
    IoResult<OwnedBytes> decoded = decompress_block(raw, dictionary_, &digested_, max_block_bytes_);
    // Out of memory: what the index's caches pin goes first, so that the next
    // call has that memory back; this call still fails.
    if (!decoded && decoded.error() == out_of_memory()) budget_->release_all();
    NUVREL_CO_TRY(OwnedBytes block, std::move(decoded));
    {
        std::lock_guard lock(lock_);
        cache_.insert(key, block);
    }
    co_return R(std::move(block));
}

Task<IoResult<OwnedBytes>> CachedBlockFile::load(std::uint64_t key, std::uint64_t offset, std::uint64_t length) const {
    using R = IoResult<OwnedBytes>;
    if (auto hit = cached(key)) co_return R(std::move(*hit));
    NUVREL_CO_TRY(ByteRange range, block_range(offset, length));
    co_return co_await read(key, range);
}

std::vector<std::uint64_t> CachedBlockFile::cache_order() const {
    std::lock_guard lock(lock_);
    return cache_.order();
}

std::size_t CachedBlockFile::cached_bytes() const {
    std::lock_guard lock(lock_);
    return cache_.bytes();
}

}  // namespace nuvrel_core
