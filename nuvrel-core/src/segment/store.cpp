// The document-store reader: open reads the footer, the optional dictionary
// and the block index; a fetch finds the document's block by halving and
// cuts its record out of the decompressed block.
#include "segment/store.h"

#include <new>

#include <fmt/format.h>

#include "compression/zstd.h"
#include "util/bisect.h"
#include "util/byte_reader.h"
#include "util/make_private.h"
#include "util/try.h"

namespace nuvrel_core {

IoResult<Document> deserialize_document(ByteView record) {
    JsonResult<Document> doc = parse_document(record);
    if (!doc) return std::unexpected(IoError::invalid_data(doc.error().to_string()));
    return std::move(*doc);
}

IoResult<std::vector<StoreIndexEntry>> parse_store_index(ByteView region) try {
    constexpr std::size_t kEntryLen = 20;
    ByteReader in(region);
    const std::uint32_t count = in.u32();
    // A count the region cannot hold fails before anything is reserved.
    if (in.ok() && count > in.remaining() / kEntryLen) in.fail(IoError::fill_whole_buffer());
    NUVREL_TRY_VOID(in.status());
    std::vector<StoreIndexEntry> index;
    index.reserve(count);
    for (const std::uint8_t* p = in.rest().data(); index.size() < count; p += kEntryLen)
        index.push_back({load_le<std::uint32_t>(p), load_le<std::uint64_t>(p + 4), load_le<std::uint32_t>(p + 12),
                         load_le<std::uint32_t>(p + 16)});
    return index;
} catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
}

namespace {

// Steps over `skip` records and returns the next one, as a window of `block`.
IoResult<OwnedBytes> cut_record(const OwnedBytes& block, std::uint32_t skip) {
    std::size_t pos = 0;
    const std::size_t size = block.size();
    for (std::uint64_t k = 0;; ++k) {
        if (size - pos < 4) return std::unexpected(IoError::fill_whole_buffer());
        const std::uint32_t len = load_le<std::uint32_t>(block.data() + pos);
        pos += 4;
        if (len > size - pos) return std::unexpected(IoError::invalid_data("Invalid doc length"));
        if (k == skip) return block.slice(pos, pos + len);
        pos += len;
    }
}

struct Footer {
    std::uint64_t data_end, dict_offset;
    std::uint32_t num_docs, has_dict, version, magic;
};

// The footer read is exactly kStoreFooterLen bytes.
Footer decode_footer(const std::uint8_t* p) {
    return {load_le<std::uint64_t>(p), load_le<std::uint64_t>(p + 8), load_le<std::uint32_t>(p + 16),
            load_le<std::uint32_t>(p + 20), load_le<std::uint32_t>(p + 24), load_le<std::uint32_t>(p + 28)};
}

}  // namespace

Task<IoResult<std::shared_ptr<AsyncStoreReader>>> AsyncStoreReader::open(LazyFileHandle file,
                                                                          BlockCacheSettings cache) {
    const std::uint64_t size = file.file_size();
    if (size < kStoreFooterLen) co_return std::unexpected(IoError::invalid_data("Store too small"));
    const std::uint64_t footer_at = size - kStoreFooterLen;
    NUVREL_CO_TRY(OwnedBytes footer_bytes, co_await file.read_bytes_range({footer_at, size}));
    const Footer footer = decode_footer(footer_bytes.data());
    if (footer.magic != kStoreMagic) co_return std::unexpected(IoError::invalid_data("Invalid store magic"));
    if (footer.version != kStoreVersion)
        co_return std::unexpected(
            IoError::invalid_data(fmt::format("Unsupported store version: {}", footer.version)));

    std::optional<std::vector<std::uint8_t>> dictionary;
    std::uint64_t index_start = footer.data_end;
    if (footer.has_dict != 0 && footer.dict_offset != 0) {
        NUVREL_CO_TRY(StoredDictionary dict, co_await read_stored_dictionary(file, footer.dict_offset));
        dictionary = std::move(dict.bytes);
        index_start = dict.end;
    }
    // A damaged footer can place the index after the footer itself.
    if (index_start > footer_at)
        co_return std::unexpected(IoError::invalid_data(
            fmt::format("Store index start {} lies past its footer at {}", index_start, footer_at)));
    NUVREL_CO_TRY(OwnedBytes region, co_await file.read_bytes_range({index_start, footer_at}));
    NUVREL_CO_TRY(std::vector<StoreIndexEntry> index, parse_store_index(region));

    std::shared_ptr<AsyncStoreReader> reader = make_private_shared<AsyncStoreReader>(std::move(cache));
    reader->index_ = std::move(index);
    reader->blocks_.attach(LazyFileSlice(std::move(file), 0, footer.data_end), std::move(dictionary));
    reader->num_docs_ = footer.num_docs;
    co_return std::move(reader);
}

Task<IoResult<OwnedBytes>> AsyncStoreReader::load_block(StoreIndexEntry entry) const {
    return blocks_.load(entry.first_doc_id, entry.offset, entry.length);
}

Task<IoResult<OwnedBytes>> AsyncStoreReader::get_record(std::uint32_t doc) const {
    const SearchOutcome s = bisect(index_.size(), [&](std::size_t i) {
        const std::uint32_t k = index_[i].first_doc_id;
        return k < doc ? -1 : (k == doc ? 0 : 1);
    });
    if (!s.found && s.index == 0) co_return std::unexpected(IoError::invalid_data("Doc not found in index"));
    const StoreIndexEntry entry = index_[s.found ? s.index : s.index - 1];
    if (doc >= static_cast<std::uint32_t>(entry.first_doc_id + entry.num_docs))
        co_return std::unexpected(IoError::invalid_data("Doc not found in index"));
    NUVREL_CO_TRY(OwnedBytes block, co_await load_block(entry));
    co_return cut_record(block, doc - entry.first_doc_id);
}

Task<IoResult<Document>> AsyncStoreReader::get(std::uint32_t doc) const {
    NUVREL_CO_TRY(OwnedBytes record, co_await get_record(doc));
    co_return deserialize_document(record);
}

}  // namespace nuvrel_core
