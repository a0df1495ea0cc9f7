// Decoding of the parts of a term dictionary that open reads whole: the
// block and sparse indexes and the bloom filter.
#include <algorithm>
#include <cstring>
#include <new>

#include <fmt/format.h>

#include "compression/zstd.h"
#include "structures/sstable/sstable.h"
#include "util/byte_reader.h"
#include "util/fast_vint.h"
#include "util/try.h"

namespace nuvrel_core {

int compare_keys(ByteView a, ByteView b) noexcept {
    const std::size_t n = std::min(a.size(), b.size());
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c < 0 ? -1 : 1;
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

void KeyColumn::push_shared(std::size_t keep, ByteView suffix) {
    const std::size_t last = ends_.size() < 2 ? 0 : ends_[ends_.size() - 2];
    const std::size_t at = bytes_.size();
    bytes_.resize(at + keep + suffix.size());
    if (keep != 0) std::memcpy(bytes_.data() + at, bytes_.data() + last, keep);
    if (!suffix.empty()) std::memcpy(bytes_.data() + at + keep, suffix.data(), suffix.size());
    ends_.push_back(bytes_.size());
}

namespace {

// The fewest bytes an entry can take: four one-byte varints for a block
// entry, a u16 length and a u32 block number for a sparse entry. A count
// only sizes what is reserved, never beyond what the remaining bytes can
// hold; the entries themselves are decoded one after another, so a damaged
// index reports the first entry that does not decode, wherever its count
// points.
constexpr std::size_t kMinBlockEntry = 4;
constexpr std::size_t kMinSparseEntry = 6;

std::size_t room_for(const ByteReader& in, std::uint32_t count, std::size_t min_entry) {
    return std::min<std::size_t>(count, in.remaining() / min_entry);
}

// Prefix sharing lets a few index bytes stand for long keys; a damaged index
// could so ask for far more memory than the file holds. Legitimate indexes
// stay well inside this budget.
std::uint64_t key_budget(std::size_t region_len) { return 64ull * region_len + (1ull << 20); }

// The exact error of a block entry that the fast walk could not decode:
// the entry is read again field by field from its start.
IoError block_entry_error(ByteView entry) {
    ByteReader in(entry);
    in.vint();
    in.take(in.vint());
    in.vint();
    in.vint();
    return in.failed() ? in.status().error() : IoError::fill_whole_buffer();
}

// Keys past the budget are no longer kept, but the entries are still
// decoded to their end: a fault in them, or in the sparse index after them,
// comes first, and the caller reports the budget only for indexes that
// decode.
IoResult<BlockIndex> parse_block_index(ByteReader& in, bool& over_budget) {
    BlockIndex out;
    const std::uint32_t num_blocks = in.u32();
    NUVREL_TRY_VOID(in.status());
    const std::uint64_t budget = key_budget(in.remaining() + sizeof(num_blocks));
    const std::size_t room = room_for(in, num_blocks, kMinBlockEntry);
    out.blocks.reserve(room);
    out.first_keys.reserve(room);
    std::uint64_t key_bytes = 0;
    std::size_t prev_len = 0;
    // Plain pointer decoding: opening a large dictionary is mostly this loop.
    // Every entry that decodes takes at least kMinBlockEntry bytes, so the
    // loop ends within the region whatever the count says.
    const std::uint8_t* p = in.rest().data();
    const std::uint8_t* const end = p + in.remaining();
    for (std::uint32_t i = 0; i < num_blocks; ++i) {
        const std::uint8_t* const entry = p;
        const auto fail = [&] { return std::unexpected(block_entry_error({entry, end})); };
        std::uint64_t shared, suffix_len, offset, length;
        if (!fast_vint(p, end, shared) || !fast_vint(p, end, suffix_len) ||
            suffix_len > static_cast<std::uint64_t>(end - p))
            return fail();
        const ByteView suffix(p, static_cast<std::size_t>(suffix_len));
        p += suffix_len;
        if (!fast_vint(p, end, offset) || !fast_vint(p, end, length)) return fail();
        const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(shared, prev_len));
        prev_len = keep + suffix.size();
        out.blocks.push_back({offset, static_cast<std::uint32_t>(length)});
        if (over_budget) continue;
        key_bytes += prev_len;
        over_budget = key_bytes > budget;
        if (!over_budget) out.first_keys.push_shared(keep, suffix);
    }
    in.take(static_cast<std::size_t>(p - in.rest().data()));
    out.first_keys.shrink_to_fit();
    return out;
}

IoResult<SparseIndex> parse_sparse_index(ByteReader& in, std::size_t num_blocks) {
    SparseIndex out;
    const std::uint32_t num_sparse = in.u32();
    NUVREL_TRY_VOID(in.status());
    const std::size_t room = room_for(in, num_sparse, kMinSparseEntry);
    out.block_idx.reserve(room);
    out.first_keys.reserve(room);
    for (std::uint32_t i = 0; i < num_sparse; ++i) {
        const ByteView key = in.take(in.u16());
        const std::uint32_t block_idx = in.u32();
        NUVREL_TRY_VOID(in.status());
        if (block_idx >= num_blocks)
            return std::unexpected(IoError::invalid_data(
                fmt::format("SSTable sparse entry {} names block {} of {}", i, block_idx, num_blocks)));
        out.first_keys.push(key);
        out.block_idx.push_back(block_idx);
    }
    out.first_keys.shrink_to_fit();
    return out;
}

}  // namespace

IoResult<std::pair<BlockIndex, SparseIndex>> parse_sstable_indexes(ByteView region) try {
    ByteReader in(region);
    bool over_budget = false;
    NUVREL_TRY(BlockIndex blocks, parse_block_index(in, over_budget));
    NUVREL_TRY(SparseIndex sparse, parse_sparse_index(in, blocks.size()));
    if (over_budget)
        return std::unexpected(IoError::invalid_data("SSTable block index keys exceed the index size"));
    return std::pair{std::move(blocks), std::move(sparse)};
} catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
}

IoResult<BloomFilter> BloomFilter::from_bytes(const OwnedBytes& bytes) {
    if (bytes.size() < 12) return std::unexpected(IoError::invalid_data("Bloom filter data too short"));
    BloomFilter f;
    f.num_bits = load_le<std::uint32_t>(bytes.data());
    f.num_hashes = load_le<std::uint32_t>(bytes.data() + 4);
    const std::uint32_t num_words = load_le<std::uint32_t>(bytes.data() + 8);
    if (static_cast<std::uint64_t>(num_words) * 8 > bytes.size() - 12)
        return std::unexpected(IoError::invalid_data("Bloom filter data truncated"));
    // A probe is taken modulo num_bits: with no bits no probe can be made.
    if (f.num_bits == 0 && f.num_hashes > 0)
        return std::unexpected(
            IoError::invalid_data(fmt::format("Bloom filter has no bits but {} hashes", f.num_hashes)));
    if (f.num_hashes > kMaxBloomHashes)
        return std::unexpected(IoError::invalid_data(
            fmt::format("Bloom filter declares {} hashes; a sound filter uses at most {}", f.num_hashes, kMaxBloomHashes)));
    // The words stay where they were read: the open reads the filter alone,
    // so the buffer holds nothing else, and copying it out would cost the
    // open a second pass over the largest thing it reads.
    f.words = bytes.slice(12, 12 + std::size_t{num_words} * 8);
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
        const std::uint64_t pos = (h1 + i * h2) % num_bits;
        const std::uint64_t word = pos / 64;
        if (word >= num_words() || ((load_le<std::uint64_t>(words.data() + word * 8) >> (pos % 64)) & 1) == 0)
            return false;
    }
    return true;
}

}  // namespace nuvrel_core
