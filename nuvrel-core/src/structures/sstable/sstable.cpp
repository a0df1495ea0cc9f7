// The term-dictionary reader: open reads the footer, the indexes, the bloom
// filter and the dictionary; a lookup narrows the blocks by the sparse and
// block indexes and walks the one block that can hold the key.
#include "structures/sstable/sstable.h"

#include <algorithm>

#include <fmt/format.h>

#include "log.h"
#include "util/bisect.h"
#include "util/byte_reader.h"
#include "util/file_range.h"
#include "util/make_private.h"
#include "util/try.h"

namespace nuvrel_core {

namespace {

constexpr const char* kTarget = "nuvrel_core::structures::sstable";

struct Footer {
    std::uint64_t index_offset, reserved_u64, bloom_offset, dict_offset;
    std::uint8_t reserved_u8;
    std::uint32_t magic;
};

// The footer read is exactly kSSTableFooterLen bytes.
Footer decode_footer(const std::uint8_t* p) {
    return {load_le<std::uint64_t>(p), load_le<std::uint64_t>(p + 8), load_le<std::uint64_t>(p + 16),
            load_le<std::uint64_t>(p + 24), p[32], load_le<std::uint32_t>(p + 33)};
}

Task<IoResult<BloomFilter>> read_bloom(const LazyFileHandle& file, std::uint64_t offset) {
    const std::uint64_t size = file.file_size();
    NUVREL_CO_TRY(ByteRange head_range, range_of(offset, 12, size, "file size"));
    NUVREL_CO_TRY(OwnedBytes head, co_await file.read_bytes_range(head_range));
    const std::uint64_t num_words = load_le<std::uint32_t>(head.data() + 8);
    NUVREL_CO_TRY(ByteRange range, range_of(offset, 12 + 8 * num_words, size, "file size"));
    NUVREL_CO_TRY(OwnedBytes bytes, co_await file.read_bytes_range(range));
    co_return BloomFilter::from_bytes(bytes);
}

}  // namespace

Task<IoResult<std::shared_ptr<AsyncSSTableReader>>> AsyncSSTableReader::open(LazyFileHandle file,
                                                                              BlockCacheSettings cache) {
    cache.max_block_bytes = kMaxTermBlock;
    const std::uint64_t size = file.file_size();
    if (size < kSSTableFooterLen) co_return std::unexpected(IoError::invalid_data("SSTable too small"));

    NUVREL_CO_TRY(OwnedBytes footer_bytes, co_await file.read_bytes_range({size - kSSTableFooterLen, size}));
    const Footer footer = decode_footer(footer_bytes.data());
    if (footer.magic != kSSTableMagic)
        co_return std::unexpected(
            IoError::invalid_data(fmt::format("Invalid SSTable magic: 0x{:08X}", footer.magic)));

    NUVREL_CO_TRY(OwnedBytes region, co_await file.read_bytes_range({footer.index_offset, size - kSSTableFooterLen}));
    NUVREL_CO_TRY(auto indexes, parse_sstable_indexes(region));

    std::shared_ptr<AsyncSSTableReader> reader = make_private_shared<AsyncSSTableReader>(std::move(cache));
    if (footer.bloom_offset != 0) {
        NUVREL_CO_TRY(BloomFilter bloom, co_await read_bloom(file, footer.bloom_offset));
        reader->bloom_ = std::move(bloom);
    }
    std::optional<std::vector<std::uint8_t>> dictionary;
    if (footer.dict_offset != 0) {
        NUVREL_CO_TRY(StoredDictionary dict, co_await read_stored_dictionary(file, footer.dict_offset));
        dictionary = std::move(dict.bytes);
    }
    reader->block_index_ = std::move(indexes.first);
    reader->sparse_index_ = std::move(indexes.second);
    reader->blocks_.attach(LazyFileSlice(std::move(file), 0, footer.index_offset), std::move(dictionary));
    reader->reserved_u64_ = footer.reserved_u64;
    reader->reserved_u8_ = footer.reserved_u8;
    co_return std::move(reader);
}

std::pair<std::size_t, std::size_t> AsyncSSTableReader::find_block_range(ByteView key) const {
    const std::size_t num_blocks = block_index_.size();
    const std::size_t num_sparse = sparse_index_.size();
    if (num_sparse == 0) return {0, num_blocks == 0 ? 0 : num_blocks - 1};
    const SearchOutcome s =
        bisect(num_sparse, [&](std::size_t i) { return compare_keys(sparse_index_.first_keys[i], key); });
    const std::size_t i = s.found ? s.index : (s.index == 0 ? 0 : s.index - 1);
    const std::size_t start = sparse_index_.block_idx[i];
    const std::size_t next = i + 1 < num_sparse ? sparse_index_.block_idx[i + 1] : num_blocks;
    const std::size_t end = std::max(next == 0 ? 0 : next - 1, start);
    return {start, end};
}

Task<IoResult<std::optional<TermInfo>>> AsyncSSTableReader::get(std::string key) const {
    const ByteView k(reinterpret_cast<const std::uint8_t*>(key.data()), key.size());
    NUVREL_DEBUG(kTarget, "SSTable::get called, key_len={}, total_blocks={}, sparse_entries={}", key.size(),
                 block_index_.size(), sparse_index_.size());
    if (bloom_ && !bloom_->may_contain(k)) {
        NUVREL_DEBUG(kTarget, "SSTable::get bloom filter negative");
        co_return std::nullopt;
    }
    auto [start, end] = find_block_range(k);
    NUVREL_DEBUG(kTarget, "SSTable::get sparse_range=[{}, {}]", start, end);
    if (block_index_.size() == 0) co_return std::nullopt;

    const SearchOutcome s = bisect(
        end - start + 1, [&](std::size_t j) { return compare_keys(block_index_.first_keys[start + j], k); });
    std::size_t block_idx;
    if (s.found) {
        block_idx = start + s.index;
    } else if (s.index > 0) {
        block_idx = start + s.index - 1;
    } else if (start == 0) {
        NUVREL_DEBUG(kTarget, "SSTable::get key not found (before first block)");
        co_return std::nullopt;
    } else {
        block_idx = start;
    }
    NUVREL_DEBUG(kTarget, "SSTable::get loading block_idx={}", block_idx);
    NUVREL_CO_TRY(OwnedBytes block, co_await load_block(block_idx));
    co_return search_block(block, k);
}

Task<IoResult<OwnedBytes>> AsyncSSTableReader::load_block(std::size_t n) const {
    if (n >= block_index_.size())
        co_return std::unexpected(
            IoError::invalid_input(fmt::format("SSTable block {} out of range ({} blocks)", n, block_index_.size())));
    const BlockLocation e = block_index_.blocks[n];
    if (auto hit = blocks_.cached(e.offset)) {
        NUVREL_DEBUG(kTarget, "SSTable::load_block idx={} CACHE HIT", n);
        co_return std::move(*hit);
    }
    NUVREL_CO_TRY(ByteRange range, blocks_.block_range(e.offset, e.length));
    NUVREL_DEBUG(kTarget, "SSTable::load_block idx={} CACHE MISS, reading bytes [{}-{}]", n, range.start, range.end);
    co_return co_await blocks_.read(e.offset, range);
}

}  // namespace nuvrel_core
