// A least-recently-used cache of decompressed blocks, bounded by a number of
// blocks and by the bytes they hold. The term dictionary keys it by file
// offset, the document store by first document number. Callers serialize
// access (get reorders).
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <unordered_map>
#include <vector>

#include "directories/owned_bytes.h"
#include "util/fx_hash.h"

namespace nuvrel_core {

// A block decompresses to at most 256 MiB, so a count of blocks alone lets a
// few hostile frames pin gigabytes. The byte bounds sit far above what a
// sound index caches: a store block of 16 documents or a dictionary block of
// 64 keys is tens of KiB, so 256 of them fill a few MiB and never meet the
// 64 MiB bound; eviction then goes by count exactly as it always has. A block
// above a quarter of the bound is handed to its caller and not kept, so that
// one such block cannot flush the whole cache.
inline constexpr std::size_t kBlockCacheMaxBytes = std::size_t{64} << 20;
inline constexpr std::size_t kMaxCachedBlockBytes = kBlockCacheMaxBytes / 4;

template <class Key>
class LruBlockCache {
public:
    explicit LruBlockCache(std::size_t max_blocks, std::size_t max_bytes = kBlockCacheMaxBytes,
                           std::size_t max_block_bytes = kMaxCachedBlockBytes)
        : max_blocks_(max_blocks), max_bytes_(max_bytes), max_block_bytes_(std::min(max_block_bytes, max_bytes)) {}

    // A hit moves the key's first occurrence in the order to the back.
    std::optional<OwnedBytes> get(Key key) {
        if (map_.empty()) return std::nullopt;
        auto it = map_.find(key);
        if (it == map_.end()) return std::nullopt;
        auto pos = std::find(order_.begin(), order_.end(), key);
        if (pos != order_.end()) {
            order_.erase(pos);
            order_.push_back(key);
        }
        return it->second;
    }

    // Evicts from the front of the order while the cache is full (in blocks
    // or in bytes), then keeps the block (even with a bound of 0 blocks) and
    // appends its key. A key can stand twice in the order after concurrent
    // misses: its first copy evicts the block, the later one then evicts
    // nothing. A block too large to keep changes nothing.
    void insert(Key key, OwnedBytes block) {
        if (block.size() > max_block_bytes_) return;
        std::size_t evicted = 0;
        while ((map_.size() >= max_blocks_ || bytes_ + block.size() > max_bytes_) && evicted < order_.size())
            drop(order_[evicted++]);
        order_.erase(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(evicted));
        drop(key);
        bytes_ += block.size();
        map_.emplace(key, std::move(block));
        order_.push_back(key);
    }

    const std::vector<Key>& order() const noexcept { return order_; }
    std::size_t size() const noexcept { return map_.size(); }
    std::size_t bytes() const noexcept { return bytes_; }
    bool contains(Key key) const { return map_.contains(key); }

private:
    void drop(Key key) {
        auto it = map_.find(key);
        if (it == map_.end()) return;
        bytes_ -= it->second.size();
        map_.erase(it);
    }

    std::vector<Key> order_;
    std::unordered_map<Key, OwnedBytes, FxHash> map_;
    std::size_t bytes_ = 0;
    std::size_t max_blocks_;
    std::size_t max_bytes_;
    std::size_t max_block_bytes_;
};

}  // namespace nuvrel_core
