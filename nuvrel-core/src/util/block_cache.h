// A least-recently-used cache of decompressed blocks, bounded by a number of
// blocks and by the bytes they hold. The term dictionary keys it by file
// offset, the document store by first document number. Callers serialize
// access (get reorders).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <mutex>
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

// The bytes all block caches of one index may pin together, whatever the
// number of its segments or how often "segments.json" lists one of them.
// Sound indexes stay far below it: 2 caches x 256 blocks of tens of KiB per
// segment is some 10 to 20 MiB per segment, so even 20 segments never reach
// it and every cache evicts by its own count bound as before.
inline constexpr std::size_t kIndexBlockCacheBytes = std::size_t{512} << 20;

// One index's byte budget, shared by the block caches of all its segments
// (and of the segments a reload opens). Thread-safe: queries on pool threads
// insert while another thread reloads. Each cache enrolls itself so that,
// when memory runs out, all of them can be emptied at once and the next call
// that fits in what remains succeeds.
class BlockCacheBudget {
public:
    // A cache that can be told to drop all it holds.
    class Member {
    public:
        virtual void release() = 0;

    protected:
        ~Member() = default;

    private:
        friend class BlockCacheBudget;
        Member* prev_ = nullptr;
        Member* next_ = nullptr;
    };

    explicit BlockCacheBudget(std::size_t max_bytes = kIndexBlockCacheBytes) : max_bytes_(max_bytes) {}
    BlockCacheBudget(const BlockCacheBudget&) = delete;
    BlockCacheBudget& operator=(const BlockCacheBudget&) = delete;

    // Charges n bytes if they fit.
    bool take(std::size_t n) noexcept {
        std::size_t used = used_.load(std::memory_order_relaxed);
        do {
            if (n > max_bytes_ - used) return false;
        } while (!used_.compare_exchange_weak(used, used + n, std::memory_order_relaxed));
        return true;
    }
    void give_back(std::size_t n) noexcept { used_.fetch_sub(n, std::memory_order_relaxed); }
    std::size_t used() const noexcept { return used_.load(std::memory_order_relaxed); }
    std::size_t max_bytes() const noexcept { return max_bytes_; }

    // Linked in place, so enrolling allocates nothing. A member withdraws
    // before anything of it is destroyed.
    void enroll(Member& m) noexcept {
        std::lock_guard lock(members_lock_);
        m.next_ = head_;
        if (head_ != nullptr) head_->prev_ = &m;
        head_ = &m;
    }
    void withdraw(Member& m) noexcept {
        std::lock_guard lock(members_lock_);
        if (m.prev_ != nullptr) m.prev_->next_ = m.next_;
        else if (head_ == &m) head_ = m.next_;
        if (m.next_ != nullptr) m.next_->prev_ = m.prev_;
        m.prev_ = m.next_ = nullptr;
    }
    // Empties every enrolled cache (blocks callers still hold stay valid).
    void release_all() noexcept {
        std::lock_guard lock(members_lock_);
        for (Member* m = head_; m != nullptr; m = m->next_) m->release();
    }

private:
    const std::size_t max_bytes_;
    std::atomic<std::size_t> used_{0};
    std::mutex members_lock_;
    Member* head_ = nullptr;
};

template <class Key>
class LruBlockCache {
public:
    // `budget`, when given, is charged for every block kept and must outlive
    // the cache.
    explicit LruBlockCache(std::size_t max_blocks, std::size_t max_bytes = kBlockCacheMaxBytes,
                           std::size_t max_block_bytes = kMaxCachedBlockBytes, BlockCacheBudget* budget = nullptr)
        : max_blocks_(max_blocks),
          max_bytes_(max_bytes),
          max_block_bytes_(std::min(max_block_bytes, max_bytes)),
          budget_(budget) {}
    LruBlockCache(const LruBlockCache&) = delete;
    LruBlockCache& operator=(const LruBlockCache&) = delete;
    ~LruBlockCache() { clear(); }

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
    // nothing. A block too large to keep changes nothing. When the index's
    // budget is spent, this cache gives up its own oldest blocks for the new
    // one; a block that still does not fit is served and not kept.
    void insert(Key key, OwnedBytes block) {
        if (block.size() > max_block_bytes_) return;
        std::size_t evicted = 0;
        while ((map_.size() >= max_blocks_ || bytes_ + block.size() > max_bytes_) && evicted < order_.size())
            drop(order_[evicted++]);
        drop(key);
        bool fits = budget_ == nullptr || budget_->take(block.size());
        while (!fits && evicted < order_.size()) {
            drop(order_[evicted++]);
            fits = budget_->take(block.size());
        }
        order_.erase(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(evicted));
        if (!fits) return;
        bytes_ += block.size();
        map_.emplace(key, std::move(block));
        order_.push_back(key);
    }

    // Drops every block.
    void clear() noexcept {
        if (budget_ != nullptr) budget_->give_back(bytes_);
        bytes_ = 0;
        map_.clear();
        order_.clear();
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
        if (budget_ != nullptr) budget_->give_back(it->second.size());
        map_.erase(it);
    }

    std::vector<Key> order_;
    std::unordered_map<Key, OwnedBytes, FxHash> map_;
    std::size_t bytes_ = 0;
    std::size_t max_blocks_;
    std::size_t max_bytes_;
    std::size_t max_block_bytes_;
    BlockCacheBudget* budget_;
};

}  // namespace nuvrel_core
