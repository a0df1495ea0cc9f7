#include "segment/reader.h"

#include <algorithm>
#include <limits>

#include "log.h"
#include "util/make_private.h"
#include "util/try.h"

namespace nuvrel_core {

namespace {
constexpr const char* kTarget = "nuvrel_core::segment::reader";
}  // namespace

SegmentSharing SegmentSharing::for_index(std::size_t cache_bytes) {
    return {std::make_shared<BlockCacheBudget>(cache_bytes), std::make_shared<SharedVectorData>()};
}

Task<Result<std::shared_ptr<AsyncSegmentReader>>> AsyncSegmentReader::open(FsDirectory dir, SegmentId segment_id,
                                                                           std::shared_ptr<const Schema> schema,
                                                                           std::uint32_t doc_id_offset,
                                                                           std::size_t cache_blocks,
                                                                           SegmentSharing sharing) {
    SegmentFiles files = SegmentFiles::from_id(segment_id);

    NUVREL_CO_TRY(OwnedBytes meta_bytes, co_await dir.open_read(files.meta, SegmentMeta::kFileCeiling));
    NUVREL_CO_TRY(SegmentMeta meta, SegmentMeta::deserialize(meta_bytes));
    NUVREL_CO_TRY(LazyFileHandle terms_file, co_await dir.open_lazy(files.terms));
    NUVREL_CO_TRY(std::shared_ptr<AsyncSSTableReader> term_dict,
                  co_await AsyncSSTableReader::open(std::move(terms_file), {cache_blocks, sharing.cache_budget}));
    NUVREL_CO_TRY(LazyFileHandle postings, co_await dir.open_lazy(files.postings));
    NUVREL_CO_TRY(LazyFileHandle store_file, co_await dir.open_lazy(files.store));
    NUVREL_CO_TRY(std::shared_ptr<AsyncStoreReader> store,
                  co_await AsyncStoreReader::open(std::move(store_file), {cache_blocks, sharing.cache_budget}));
    NUVREL_CO_TRY(LoadedVectors vectors, co_await load_vectors_file(dir, files, schema, sharing.vectors));

    std::shared_ptr<AsyncSegmentReader> reader = make_private_shared<AsyncSegmentReader>();
    reader->meta_ = std::move(meta);
    reader->vector_indexes_ = std::move(vectors.indexes);
    reader->term_dict_ = std::move(term_dict);
    reader->postings_handle_ = std::move(postings);
    reader->store_ = std::move(store);
    reader->schema_ = std::move(schema);
    reader->coarse_centroids_ = std::move(vectors.coarse_centroids);
    reader->doc_id_offset_ = doc_id_offset;
    co_return reader;
}

Task<Result<std::optional<Document>>> AsyncSegmentReader::doc(std::uint32_t local_doc_id) const {
    if (local_doc_id >= store_->num_docs()) co_return std::nullopt;
    std::shared_ptr<AsyncStoreReader> store = store_;
    NUVREL_CO_TRY(Document d, co_await store->get(local_doc_id));
    co_return std::optional<Document>(std::move(d));
}

Task<Result<std::optional<BlockPostingList>>> AsyncSegmentReader::get_postings(Field field, std::string term) const {
    NUVREL_DEBUG(kTarget, "SegmentReader::get_postings field={} term_len={}", field, term.size());
    std::string key(4, '\0');
    for (int i = 0; i < 4; ++i) key[static_cast<std::size_t>(i)] = static_cast<char>(field >> (8 * i));
    key += term;

    std::shared_ptr<AsyncSSTableReader> dict = term_dict_;
    NUVREL_CO_TRY(std::optional<TermInfo> found, co_await dict->get(std::move(key)));
    if (!found) {
        NUVREL_DEBUG(kTarget, "SegmentReader::get_postings term not found");
        co_return std::nullopt;
    }
    NUVREL_DEBUG(kTarget, "SegmentReader::get_postings found term_info");
    const TermInfo& info = *found;

    if (const TermInfo::Inline* in = info.as_inline()) {
        const ByteView data(in->data.data(), std::min<std::size_t>(in->data_len, TermInfo::kMaxInlineLen));
        if (std::optional<BlockPostingList> list = BlockPostingList::from_inline(in->doc_freq, data))
            co_return std::move(*list);
    }
    if (const TermInfo::External* ext = info.as_external()) {
        const std::uint64_t start = ext->posting_offset;
        if (start > std::numeric_limits<std::uint64_t>::max() - ext->posting_len ||
            start + ext->posting_len > postings_handle_.file_size())
            co_return std::unexpected(Error::corruption("Posting offset out of bounds"));
        LazyFileHandle handle = postings_handle_;
        NUVREL_CO_TRY(OwnedBytes bytes, co_await handle.read_bytes_range({start, start + ext->posting_len}));
        NUVREL_CO_TRY(BlockPostingList list, BlockPostingList::deserialize(bytes));
        co_return std::move(list);
    }
    co_return std::unexpected(Error::corruption("TermInfo has neither inline nor external data"));
}

}  // namespace nuvrel_core
