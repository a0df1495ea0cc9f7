#include "segment/reader.h"

#include <limits>

#include "log.h"

namespace nuvrel_core {

namespace {
constexpr const char* kTarget = "nuvrel_core::segment::reader";
}  // namespace

// Outside the coroutine: GCC 12 misreads a new-expression inside one.
std::shared_ptr<AsyncSegmentReader> AsyncSegmentReader::make() {
    return std::shared_ptr<AsyncSegmentReader>(new AsyncSegmentReader());
}

Task<Result<std::shared_ptr<AsyncSegmentReader>>> AsyncSegmentReader::open(FsDirectory dir, SegmentId segment_id,
                                                                           std::shared_ptr<const Schema> schema,
                                                                           std::uint32_t doc_id_offset,
                                                                           std::size_t cache_blocks) {
    using R = Result<std::shared_ptr<AsyncSegmentReader>>;
    SegmentFiles files = SegmentFiles::from_id(segment_id);

    IoResult<OwnedBytes> meta_bytes = co_await dir.open_read(files.meta, SegmentMeta::kFileCeiling);
    if (!meta_bytes) co_return R(std::unexpected(Error(meta_bytes.error())));
    IoResult<SegmentMeta> meta = SegmentMeta::deserialize(*meta_bytes);
    if (!meta) co_return R(std::unexpected(Error(meta.error())));

    IoResult<LazyFileHandle> terms_file = co_await dir.open_lazy(files.terms);
    if (!terms_file) co_return R(std::unexpected(Error(terms_file.error())));
    IoResult<std::shared_ptr<AsyncSSTableReader>> term_dict =
        co_await AsyncSSTableReader::open(std::move(*terms_file), cache_blocks);
    if (!term_dict) co_return R(std::unexpected(Error(term_dict.error())));

    IoResult<LazyFileHandle> postings = co_await dir.open_lazy(files.postings);
    if (!postings) co_return R(std::unexpected(Error(postings.error())));

    IoResult<LazyFileHandle> store_file = co_await dir.open_lazy(files.store);
    if (!store_file) co_return R(std::unexpected(Error(store_file.error())));
    IoResult<std::shared_ptr<AsyncStoreReader>> store =
        co_await AsyncStoreReader::open(std::move(*store_file), cache_blocks);
    if (!store) co_return R(std::unexpected(Error(store.error())));

    Result<LoadedVectors> vectors = co_await load_vectors_file(dir, files, schema);
    if (!vectors) co_return R(std::unexpected(vectors.error()));

    std::shared_ptr<AsyncSegmentReader> reader = make();
    reader->meta_ = std::move(*meta);
    reader->vector_indexes_ = std::move(vectors->indexes);
    reader->term_dict_ = std::move(*term_dict);
    reader->postings_handle_ = std::move(*postings);
    reader->store_ = std::move(*store);
    reader->schema_ = std::move(schema);
    reader->coarse_centroids_ = std::move(vectors->coarse_centroids);
    reader->doc_id_offset_ = doc_id_offset;
    co_return R(std::move(reader));
}

Task<Result<std::optional<Document>>> AsyncSegmentReader::doc(std::uint32_t local_doc_id) const {
    using R = Result<std::optional<Document>>;
    if (local_doc_id >= store_->num_docs()) co_return R(std::nullopt);
    std::shared_ptr<AsyncStoreReader> store = store_;
    IoResult<Document> d = co_await store->get(local_doc_id);
    if (!d) co_return R(std::unexpected(Error(d.error())));
    co_return R(std::optional<Document>(std::move(*d)));
}

Task<Result<std::optional<BlockPostingList>>> AsyncSegmentReader::get_postings(Field field, std::string term) const {
    using R = Result<std::optional<BlockPostingList>>;
    NUVREL_DEBUG(kTarget, "SegmentReader::get_postings field={} term_len={}", field, term.size());
    std::string key(4, '\0');
    for (int i = 0; i < 4; ++i) key[static_cast<std::size_t>(i)] = static_cast<char>(field >> (8 * i));
    key += term;

    std::shared_ptr<AsyncSSTableReader> dict = term_dict_;
    IoResult<std::optional<TermInfo>> found = co_await dict->get(std::move(key));
    if (!found) co_return R(std::unexpected(Error(found.error())));
    if (!found->has_value()) {
        NUVREL_DEBUG(kTarget, "SegmentReader::get_postings term not found");
        co_return R(std::nullopt);
    }
    NUVREL_DEBUG(kTarget, "SegmentReader::get_postings found term_info");
    const TermInfo& info = **found;

    if (auto decoded = info.decode_inline()) {
        const auto& [docs, freqs] = *decoded;
        std::vector<Posting> postings(docs.size());
        for (std::size_t i = 0; i < docs.size(); ++i) postings[i] = {docs[i], freqs[i]};
        co_return R(BlockPostingList::from_posting_list(postings));
    }
    if (const TermInfo::External* ext = info.as_external()) {
        const std::uint64_t start = ext->posting_offset;
        if (start > std::numeric_limits<std::uint64_t>::max() - ext->posting_len ||
            start + ext->posting_len > postings_handle_.file_size())
            co_return R(std::unexpected(Error::corruption("Posting offset out of bounds")));
        LazyFileHandle handle = postings_handle_;
        IoResult<OwnedBytes> bytes = co_await handle.read_bytes_range({start, start + ext->posting_len});
        if (!bytes) co_return R(std::unexpected(Error(bytes.error())));
        IoResult<BlockPostingList> list = BlockPostingList::deserialize(*bytes);
        if (!list) co_return R(std::unexpected(Error(list.error())));
        co_return R(std::move(*list));
    }
    co_return R(std::unexpected(Error::corruption("TermInfo has neither inline nor external data")));
}

}  // namespace nuvrel_core
