#include "segment/store.h"

#include <algorithm>
#include <mutex>

#include <fmt/format.h>

#include "compression/zstd.h"
#include "util/byte_cursor.h"
#include "util/file_range.h"

namespace nuvrel_core {

// ---- records ----

IoResult<Document> deserialize_document(ByteView record) {
    JsonResult<Document> doc = parse_document(record);
    if (!doc) return std::unexpected(IoError::invalid_data(doc.error().to_string()));
    return std::move(*doc);
}

namespace {

// Steps over `skip` records and returns the next one, as a window of `block`.
IoResult<OwnedBytes> cut_record(const OwnedBytes& block, std::uint32_t skip) {
    std::size_t pos = 0;
    const std::size_t size = block.size();
    for (std::uint64_t k = 0;; ++k) {
        if (size - pos < 4) return std::unexpected(IoError::fill_whole_buffer());
        const std::uint32_t len = static_cast<std::uint32_t>(block[pos]) | static_cast<std::uint32_t>(block[pos + 1]) << 8 |
                                  static_cast<std::uint32_t>(block[pos + 2]) << 16 |
                                  static_cast<std::uint32_t>(block[pos + 3]) << 24;
        pos += 4;
        if (len > size - pos) return std::unexpected(IoError::invalid_data("Invalid doc length"));
        if (k == skip) return block.slice(pos, pos + len);
        pos += len;
    }
}

IoError index_start_past_footer(std::uint64_t start, std::uint64_t footer) {
    return IoError::invalid_data(fmt::format("Store index start {} lies past its footer at {}", start, footer));
}

}  // namespace

// ---- AsyncStoreReader ----

// Outside the coroutine: GCC 12 misreads a new-expression inside one.
std::shared_ptr<AsyncStoreReader> AsyncStoreReader::make(std::size_t cache_blocks) {
    return std::shared_ptr<AsyncStoreReader>(new AsyncStoreReader(cache_blocks));
}

Task<IoResult<std::shared_ptr<AsyncStoreReader>>> AsyncStoreReader::open(LazyFileHandle file,
                                                                          std::size_t cache_blocks) {
    using R = IoResult<std::shared_ptr<AsyncStoreReader>>;
    const std::uint64_t size = file.file_size();
    if (size < kStoreFooterLen) co_return R(std::unexpected(IoError::invalid_data("Store too small")));
    const std::uint64_t footer_at = size - kStoreFooterLen;
    IoResult<OwnedBytes> footer = co_await file.read_bytes_range({footer_at, size});
    if (!footer) co_return R(std::unexpected(footer.error()));
    ByteCursor f(*footer);
    const std::uint64_t data_end = *f.u64();
    const std::uint64_t dict_offset = *f.u64();
    const std::uint32_t num_docs = *f.u32();
    const std::uint32_t has_dict = *f.u32();
    const std::uint32_t version = *f.u32();
    const std::uint32_t magic = *f.u32();
    if (magic != kStoreMagic) co_return R(std::unexpected(IoError::invalid_data("Invalid store magic")));
    if (version != kStoreVersion)
        co_return R(std::unexpected(IoError::invalid_data(fmt::format("Unsupported store version: {}", version))));

    std::shared_ptr<AsyncStoreReader> reader = make(cache_blocks);
    std::uint64_t index_start = data_end;
    if (has_dict != 0 && dict_offset != 0) {
        auto len_range = range_of(dict_offset, 4, size, "file size");
        if (!len_range) co_return R(std::unexpected(len_range.error()));
        IoResult<OwnedBytes> len_bytes = co_await file.read_bytes_range(*len_range);
        if (!len_bytes) co_return R(std::unexpected(len_bytes.error()));
        const std::uint32_t n = *ByteCursor(*len_bytes).u32();
        IoResult<OwnedBytes> dict = co_await file.read_bytes_range({dict_offset + 4, dict_offset + 4 + n});
        if (!dict) co_return R(std::unexpected(dict.error()));
        reader->dict_ = dict->to_vec();
        index_start = dict_offset + 4 + n;
    }
    // A damaged footer can place the index after the footer itself.
    if (index_start > footer_at) co_return R(std::unexpected(index_start_past_footer(index_start, footer_at)));
    IoResult<OwnedBytes> region = co_await file.read_bytes_range({index_start, footer_at});
    if (!region) co_return R(std::unexpected(region.error()));
    ByteCursor in(*region);
    auto count = in.u32();
    if (!count) co_return R(std::unexpected(count.error()));
    // Reserve only what the region can hold; a short region then fails below.
    reader->index_.reserve(std::min<std::uint64_t>(*count, in.remaining() / 20));
    for (std::uint32_t i = 0; i < *count; ++i) {
        auto first = in.u32();
        auto offset = in.u64();
        auto length = in.u32();
        auto docs = in.u32();
        if (!first || !offset || !length || !docs) co_return R(std::unexpected(IoError::fill_whole_buffer()));
        reader->index_.push_back({*first, *offset, *length, *docs});
    }
    reader->data_ = LazyFileSlice(std::move(file), 0, data_end);
    reader->num_docs_ = num_docs;
    co_return R(std::move(reader));
}

Task<IoResult<OwnedBytes>> AsyncStoreReader::load_block(StoreIndexEntry entry) const {
    using R = IoResult<OwnedBytes>;
    {
        std::unique_lock lock(cache_lock_);
        if (auto hit = cache_.get(entry.first_doc_id)) co_return R(std::move(*hit));
    }
    auto range = range_of(entry.offset, entry.length, data_.len(), "slice len");
    if (!range) co_return R(std::unexpected(range.error()));
    IoResult<OwnedBytes> raw = co_await data_.read_bytes_range(*range);
    if (!raw) co_return R(std::unexpected(raw.error()));
    IoResult<OwnedBytes> plain = decompress_block(*raw, dict_);
    if (!plain) co_return R(std::unexpected(plain.error()));
    OwnedBytes block = std::move(*plain);
    {
        std::unique_lock lock(cache_lock_);
        cache_.insert(entry.first_doc_id, block);
    }
    co_return R(std::move(block));
}

Task<IoResult<OwnedBytes>> AsyncStoreReader::get_record(std::uint32_t doc) const {
    using R = IoResult<OwnedBytes>;
    auto cmp = [&](std::size_t i) {
        std::uint32_t k = index_[i].first_doc_id;
        return k < doc ? -1 : (k == doc ? 0 : 1);
    };
    SearchOutcome s = bisect(index_.size(), [&](std::size_t i) { return cmp(i) <= 0; }, cmp);
    if (!s.found && s.index == 0) co_return R(std::unexpected(IoError::invalid_data("Doc not found in index")));
    const StoreIndexEntry entry = index_[s.found ? s.index : s.index - 1];
    if (doc >= static_cast<std::uint32_t>(entry.first_doc_id + entry.num_docs))
        co_return R(std::unexpected(IoError::invalid_data("Doc not found in index")));
    IoResult<OwnedBytes> block = co_await load_block(entry);
    if (!block) co_return R(std::unexpected(block.error()));
    co_return cut_record(*block, doc - entry.first_doc_id);
}

Task<IoResult<Document>> AsyncStoreReader::get(std::uint32_t doc) const {
    using R = IoResult<Document>;
    IoResult<OwnedBytes> record = co_await get_record(doc);
    if (!record) co_return R(std::unexpected(record.error()));
    co_return deserialize_document(*record);
}

std::vector<std::uint32_t> AsyncStoreReader::cache_order() const {
    std::unique_lock lock(cache_lock_);
    return cache_.order();
}

}  // namespace nuvrel_core
