#include "structures/sstable/sstable.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include <fmt/format.h>

#include "compression/zstd.h"
#include "log.h"
#include "util/byte_cursor.h"
#include "util/fast_vint.h"
#include "util/file_range.h"

namespace nuvrel_core {

namespace {

constexpr const char* kTarget = "nuvrel_core::structures::sstable";

ByteView view_of(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

// Unsigned byte order; on an equal prefix the shorter key comes first.
int compare_keys(ByteView a, ByteView b) {
    std::size_t n = std::min(a.size(), b.size());
    int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c < 0 ? -1 : 1;
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

// The next key of a prefix-shared run: keep min(shared, len) bytes of the
// previous key and append the suffix.
IoResult<void> next_key(ByteCursor& in, std::string& key) {
    auto shared = in.vint();
    if (!shared) return std::unexpected(shared.error());
    auto suffix_len = in.vint();
    if (!suffix_len) return std::unexpected(suffix_len.error());
    auto suffix = in.take(*suffix_len);
    if (!suffix) return std::unexpected(suffix.error());
    key.resize(static_cast<std::size_t>(std::min<std::uint64_t>(*shared, key.size())));
    key.append(reinterpret_cast<const char*>(suffix->data()), suffix->size());
    return {};
}

// Prefix sharing lets a few index bytes stand for long keys; a damaged index
// could so ask for far more memory than the file holds. Legitimate indexes
// stay well inside this budget.
std::uint64_t key_budget(std::size_t region_len) { return 64ull * region_len + (1ull << 20); }

struct Indexes {
    std::vector<BlockIndexEntry> blocks;
    std::vector<SparseIndexEntry> sparse;
};

IoResult<Indexes> parse_indexes(ByteView region) {
    ByteCursor in(region);
    Indexes out;
    auto num_blocks = in.u32();
    if (!num_blocks) return std::unexpected(num_blocks.error());
    // Every entry takes at least four bytes: never reserve beyond them.
    out.blocks.reserve(std::min<std::uint64_t>(*num_blocks, in.remaining() / 4));
    std::string key;
    std::uint64_t key_bytes = 0;
    const std::uint64_t budget = key_budget(region.size());
    for (std::uint32_t i = 0; i < *num_blocks; ++i) {
        if (auto r = next_key(in, key); !r) return std::unexpected(r.error());
        key_bytes += key.size();
        if (key_bytes > budget)
            return std::unexpected(IoError::invalid_data("SSTable block index keys exceed the index size"));
        auto offset = in.vint();
        if (!offset) return std::unexpected(offset.error());
        auto length = in.vint();
        if (!length) return std::unexpected(length.error());
        out.blocks.push_back({key, *offset, static_cast<std::uint32_t>(*length)});
    }
    auto num_sparse = in.u32();
    if (!num_sparse) return std::unexpected(num_sparse.error());
    out.sparse.reserve(std::min<std::uint64_t>(*num_sparse, in.remaining() / 6));
    for (std::uint32_t i = 0; i < *num_sparse; ++i) {
        auto key_len = in.u16();
        if (!key_len) return std::unexpected(key_len.error());
        auto k = in.take(*key_len);
        if (!k) return std::unexpected(k.error());
        auto block_idx = in.u32();
        if (!block_idx) return std::unexpected(block_idx.error());
        if (*block_idx >= *num_blocks)
            return std::unexpected(IoError::invalid_data(
                fmt::format("SSTable sparse entry {} names block {} of {}", i, *block_idx, *num_blocks)));
        out.sparse.push_back({std::string(k->begin(), k->end()), *block_idx});
    }
    return out;
}

}  // namespace

// ---- BloomFilter ----

IoResult<BloomFilter> BloomFilter::from_bytes(ByteView bytes) {
    if (bytes.size() < 12) return std::unexpected(IoError::invalid_data("Bloom filter data too short"));
    ByteCursor in(bytes);
    BloomFilter f;
    f.num_bits = *in.u32();
    f.num_hashes = *in.u32();
    std::uint32_t num_words = *in.u32();
    if (static_cast<std::uint64_t>(num_words) * 8 > in.remaining())
        return std::unexpected(IoError::invalid_data("Bloom filter data truncated"));
    // A probe is taken modulo num_bits: with no bits no probe can be made.
    if (f.num_bits == 0 && f.num_hashes > 0)
        return std::unexpected(
            IoError::invalid_data(fmt::format("Bloom filter has no bits but {} hashes", f.num_hashes)));
    f.bits.resize(num_words);
    for (auto& w : f.bits) w = *in.u64();
    return f;
}

bool BloomFilter::may_contain(ByteView key) const noexcept {
    if (num_hashes == 0) return true;
    if (num_bits == 0) return false;  // from_bytes never builds this; no probe can land
    constexpr std::uint64_t kPrime = 0x100000001b3ull;
    std::uint64_t h1 = 0xcbf29ce484222325ull;
    for (std::uint8_t c : key) h1 = (h1 ^ c) * kPrime;
    std::uint64_t h2 = 0x84222325cbf29ce4ull;
    for (std::uint8_t c : key) h2 = (h2 * kPrime) ^ c;
    for (std::uint64_t i = 0; i < num_hashes; ++i) {
        std::uint64_t pos = (h1 + i * h2) % num_bits;
        std::uint64_t word = pos / 64;
        if (word >= bits.size() || ((bits[word] >> (pos % 64)) & 1) == 0) return false;
    }
    return true;
}

// ---- AsyncSSTableReader ----

// Outside the coroutine: GCC 12 misreads a new-expression inside one.
std::shared_ptr<AsyncSSTableReader> AsyncSSTableReader::make(std::size_t cache_blocks) {
    return std::shared_ptr<AsyncSSTableReader>(new AsyncSSTableReader(cache_blocks));
}

Task<IoResult<std::shared_ptr<AsyncSSTableReader>>> AsyncSSTableReader::open(LazyFileHandle file,
                                                                              std::size_t cache_blocks) {
    using R = IoResult<std::shared_ptr<AsyncSSTableReader>>;
    const std::uint64_t size = file.file_size();
    if (size < kSSTableFooterLen) co_return R(std::unexpected(IoError::invalid_data("SSTable too small")));

    IoResult<OwnedBytes> footer = co_await file.read_bytes_range({size - kSSTableFooterLen, size});
    if (!footer) co_return R(std::unexpected(footer.error()));
    ByteCursor f(*footer);
    const std::uint64_t index_offset = *f.u64();
    const std::uint64_t reserved_u64 = *f.u64();
    const std::uint64_t bloom_offset = *f.u64();
    const std::uint64_t dict_offset = *f.u64();
    const std::uint8_t reserved_u8 = *f.u8();
    const std::uint32_t magic = *f.u32();
    if (magic != kSSTableMagic)
        co_return R(std::unexpected(IoError::invalid_data(fmt::format("Invalid SSTable magic: 0x{:08X}", magic))));

    IoResult<OwnedBytes> region = co_await file.read_bytes_range({index_offset, size - kSSTableFooterLen});
    if (!region) co_return R(std::unexpected(region.error()));
    IoResult<Indexes> indexes = parse_indexes(*region);
    if (!indexes) co_return R(std::unexpected(indexes.error()));

    std::shared_ptr<AsyncSSTableReader> reader = make(cache_blocks);
    if (bloom_offset != 0) {
        auto head_range = range_of(bloom_offset, 12, size, "file size");
        if (!head_range) co_return R(std::unexpected(head_range.error()));
        IoResult<OwnedBytes> head = co_await file.read_bytes_range(*head_range);
        if (!head) co_return R(std::unexpected(head.error()));
        ByteCursor h(head->as_slice().subspan(8));
        const std::uint64_t num_words = *h.u32();
        auto range = range_of(bloom_offset, 12 + 8 * num_words, size, "file size");
        if (!range) co_return R(std::unexpected(range.error()));
        IoResult<OwnedBytes> bytes = co_await file.read_bytes_range(*range);
        if (!bytes) co_return R(std::unexpected(bytes.error()));
        auto bloom = BloomFilter::from_bytes(*bytes);
        if (!bloom) co_return R(std::unexpected(bloom.error()));
        reader->bloom_ = std::move(*bloom);
    }
    if (dict_offset != 0) {
        auto len_range = range_of(dict_offset, 4, size, "file size");
        if (!len_range) co_return R(std::unexpected(len_range.error()));
        IoResult<OwnedBytes> len_bytes = co_await file.read_bytes_range(*len_range);
        if (!len_bytes) co_return R(std::unexpected(len_bytes.error()));
        const std::uint32_t dict_len = *ByteCursor(*len_bytes).u32();
        auto range = range_of(len_range->end, dict_len, size, "file size");
        if (!range) co_return R(std::unexpected(range.error()));
        IoResult<OwnedBytes> dict = co_await file.read_bytes_range(*range);
        if (!dict) co_return R(std::unexpected(dict.error()));
        reader->dictionary_ = dict->to_vec();
    }
    reader->block_index_ = std::move(indexes->blocks);
    reader->sparse_index_ = std::move(indexes->sparse);
    reader->data_ = LazyFileSlice(std::move(file), 0, index_offset);
    reader->reserved_u64_ = reserved_u64;
    reader->reserved_u8_ = reserved_u8;
    co_return R(std::move(reader));
}

std::pair<std::size_t, std::size_t> AsyncSSTableReader::find_block_range(ByteView key) const {
    const std::size_t num_blocks = block_index_.size();
    if (sparse_index_.empty()) return {0, num_blocks == 0 ? 0 : num_blocks - 1};
    auto cmp = [&](std::size_t i) { return compare_keys(view_of(sparse_index_[i].first_key), key); };
    SearchOutcome s = bisect(sparse_index_.size(), [&](std::size_t i) { return cmp(i) <= 0; }, cmp);
    std::size_t i = s.found ? s.index : (s.index == 0 ? 0 : s.index - 1);
    std::size_t start = sparse_index_[i].block_idx;
    std::size_t next = i + 1 < sparse_index_.size() ? sparse_index_[i + 1].block_idx : num_blocks;
    std::size_t end = std::max(next == 0 ? 0 : next - 1, start);
    return {start, end};
}

Task<IoResult<std::optional<TermInfo>>> AsyncSSTableReader::get(std::string key) const {
    using R = IoResult<std::optional<TermInfo>>;
    const ByteView k = view_of(key);
    NUVREL_DEBUG(kTarget, "SSTable::get called, key_len={}, total_blocks={}, sparse_entries={}", key.size(),
                 block_index_.size(), sparse_index_.size());
    if (bloom_ && !bloom_->may_contain(k)) {
        NUVREL_DEBUG(kTarget, "SSTable::get bloom filter negative");
        co_return R(std::nullopt);
    }
    auto [start, end] = find_block_range(k);
    NUVREL_DEBUG(kTarget, "SSTable::get sparse_range=[{}, {}]", start, end);
    if (block_index_.empty()) co_return R(std::nullopt);

    auto cmp = [&](std::size_t j) { return compare_keys(view_of(block_index_[start + j].first_key), k); };
    SearchOutcome s = bisect(end - start + 1, [&](std::size_t j) { return cmp(j) <= 0; }, cmp);
    std::size_t block_idx;
    if (s.found) {
        block_idx = start + s.index;
    } else if (s.index > 0) {
        block_idx = start + s.index - 1;
    } else if (start == 0) {
        NUVREL_DEBUG(kTarget, "SSTable::get key not found (before first block)");
        co_return R(std::nullopt);
    } else {
        block_idx = start;
    }
    NUVREL_DEBUG(kTarget, "SSTable::get loading block_idx={}", block_idx);
    IoResult<OwnedBytes> block = co_await load_block(block_idx);
    if (!block) co_return R(std::unexpected(block.error()));
    co_return search_block(*block, k);
}

Task<IoResult<OwnedBytes>> AsyncSSTableReader::load_block(std::size_t n) const {
    using R = IoResult<OwnedBytes>;
    if (n >= block_index_.size())
        co_return R(std::unexpected(
            IoError::invalid_input(fmt::format("SSTable block {} out of range ({} blocks)", n, block_index_.size()))));
    const BlockIndexEntry& e = block_index_[n];
    {
        std::unique_lock lock(cache_lock_);
        if (auto hit = cache_.get(e.offset)) {
            NUVREL_DEBUG(kTarget, "SSTable::load_block idx={} CACHE HIT", n);
            co_return R(std::move(*hit));
        }
    }
    auto range = range_of(e.offset, e.length, data_.len(), "slice len");
    if (!range) co_return R(std::unexpected(range.error()));
    NUVREL_DEBUG(kTarget, "SSTable::load_block idx={} CACHE MISS, reading bytes [{}-{}]", n, range->start,
                 range->end);
    IoResult<OwnedBytes> raw = co_await data_.read_bytes_range(*range);
    if (!raw) co_return R(std::unexpected(raw.error()));
    IoResult<OwnedBytes> plain = decompress_block(*raw, dictionary_);
    if (!plain) co_return R(std::unexpected(plain.error()));
    OwnedBytes block = std::move(*plain);
    {
        std::unique_lock lock(cache_lock_);
        cache_.insert(e.offset, block);
    }
    co_return R(std::move(block));
}

namespace {

// The walk with full error reporting: every read says why it failed.
IoResult<std::optional<TermInfo>> search_block_checked(ByteView block, ByteView key) {
    ByteCursor in(block);
    std::string current;
    while (!in.empty()) {
        if (auto r = next_key(in, current); !r) return std::unexpected(r.error());
        ByteView rest = in.rest();
        auto info = TermInfo::decode(rest);
        if (!info) return std::unexpected(info.error());
        in = ByteCursor(rest);
        int c = compare_keys(view_of(current), key);
        if (c == 0) return std::optional<TermInfo>(*info);
        if (c > 0) return std::optional<TermInfo>();
    }
    return std::optional<TermInfo>();
}

// Steps over one value, checking it as TermInfo::decode would; false on any
// fault (the checked walk then names it).
inline bool skip_term_info(const std::uint8_t*& p, const std::uint8_t* end) noexcept {
    if (p >= end) return false;
    const std::uint8_t tag = *p++;
    if (tag == TermInfo::kExternalTag) {
        std::uint64_t v;
        return fast_vint(p, end, v) && fast_vint(p, end, v) && fast_vint(p, end, v);
    }
    if (tag != TermInfo::kInlineTag || end - p < 2) return false;
    const std::size_t len = p[1];
    if (len > TermInfo::kMaxInlineLen || static_cast<std::size_t>(end - p) - 2 < len) return false;
    p += 2 + len;
    return true;
}

}  // namespace

IoResult<std::optional<TermInfo>> AsyncSSTableReader::search_block(ByteView block, ByteView key) {
    // A sound block is walked with plain pointer reads and the one value
    // wanted decoded at the end; anything odd reruns the checked walk, which
    // reports the first fault exactly as it lies in the block.
    const std::uint8_t* p = block.data();
    const std::uint8_t* const end = p + block.size();
    thread_local std::string current;
    current.clear();
    // The keys of a run share prefixes with each other, and so with the
    // target: carry the length that the current key has in common with the
    // target, and compare each new key only from where it can differ.
    std::size_t match = 0;
    while (p < end) {
        std::uint64_t shared, suffix_len;
        if (!fast_vint(p, end, shared) || !fast_vint(p, end, suffix_len) ||
            suffix_len > static_cast<std::uint64_t>(end - p))
            return search_block_checked(block, key);
        const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(shared, current.size()));
        current.resize(keep);
        current.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(suffix_len));
        p += suffix_len;
        const std::uint8_t* value = p;
        if (!skip_term_info(p, end)) return search_block_checked(block, key);
        std::size_t i = std::min(keep, match);
        const std::size_t n = std::min(current.size(), key.size());
        while (i < n && static_cast<std::uint8_t>(current[i]) == key[i]) ++i;
        match = i;
        int c;
        if (i < n) c = static_cast<std::uint8_t>(current[i]) < key[i] ? -1 : 1;
        else c = current.size() == key.size() ? 0 : (current.size() < key.size() ? -1 : 1);
        if (c < 0) continue;
        if (c > 0) return std::optional<TermInfo>();
        ByteView rest(value, static_cast<std::size_t>(end - value));
        auto info = TermInfo::decode(rest);
        if (!info) return std::unexpected(info.error());
        return std::optional<TermInfo>(*info);
    }
    return std::optional<TermInfo>();
}

std::vector<std::uint64_t> AsyncSSTableReader::cache_order() const {
    std::unique_lock lock(cache_lock_);
    return cache_.order();
}

}  // namespace nuvrel_core
