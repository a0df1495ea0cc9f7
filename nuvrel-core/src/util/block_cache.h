// A least-recently-used cache of decompressed blocks, bounded by a number of
// blocks. The term dictionary keys it by file offset, the document store by
// first document number. Callers serialize access (get reorders).
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <unordered_map>
#include <vector>

#include "directories/owned_bytes.h"
#include "util/fx_hash.h"

namespace nuvrel_core {

template <class Key>
class LruBlockCache {
public:
    explicit LruBlockCache(std::size_t max_blocks) : max_blocks_(max_blocks) {}

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

    // Evicts from the front of the order while the cache is full, then keeps
    // the block (even with a bound of 0) and appends its key. A key can stand
    // twice in the order after concurrent misses: its first copy evicts the
    // block, the later one then evicts nothing.
    void insert(Key key, OwnedBytes block) {
        std::size_t evicted = 0;
        while (map_.size() >= max_blocks_ && evicted < order_.size()) map_.erase(order_[evicted++]);
        order_.erase(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(evicted));
        map_.insert_or_assign(key, std::move(block));
        order_.push_back(key);
    }

    const std::vector<Key>& order() const noexcept { return order_; }
    std::size_t size() const noexcept { return map_.size(); }
    bool contains(Key key) const { return map_.contains(key); }

private:
    std::vector<Key> order_;
    std::unordered_map<Key, OwnedBytes, FxHash> map_;
    std::size_t max_blocks_;
};

}  // namespace nuvrel_core
