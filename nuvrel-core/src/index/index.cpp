#include "index/index.h"

#include <exception>
#include <mutex>
#include <string>

#include "dsl/segment_list.h"
#include "runtime/on_blocking_pool.h"
#include "segment/types.h"
#include "util/try.h"

namespace nuvrel_core {

Index::Index(std::shared_ptr<const FsDirectory> directory, std::shared_ptr<const Schema> schema, IndexConfig config,
             SegmentList segments, std::vector<Field> default_fields, std::shared_ptr<TokenizerRegistry> tokenizers,
             std::shared_ptr<ThreadPool> thread_pool, SegmentSharing sharing)
    : directory_(std::move(directory)),
      schema_(std::move(schema)),
      config_(std::move(config)),
      segments_(std::move(segments)),
      default_fields_(std::move(default_fields)),
      tokenizers_(std::move(tokenizers)),
      thread_pool_(std::move(thread_pool)),
      sharing_(std::move(sharing)) {}

std::vector<Field> compute_default_fields(const Schema& schema) {
    if (!schema.default_fields.empty()) return schema.default_fields;
    std::vector<Field> out;
    for (std::size_t i = 0; i < schema.fields.size(); ++i) {
        const FieldEntry& e = schema.fields[i];
        if (e.indexed && e.field_type == FieldType::Text) out.push_back(static_cast<Field>(i));
    }
    return out;
}

Task<Result<std::shared_ptr<Index>>> Index::open(FsDirectory directory, IndexConfig config) {
    auto dir = std::make_shared<const FsDirectory>(std::move(directory));

    NUVREL_CO_TRY(OwnedBytes schema_bytes, co_await dir->open_read("schema.json", kIndexJsonCeiling));
    JsonResult<Schema> parsed = Schema::from_slice(schema_bytes.as_slice());
    if (!parsed) co_return std::unexpected(Error::serialization(parsed.error().to_string()));
    auto schema = std::make_shared<const Schema>(std::move(*parsed));

    SegmentSharing sharing = SegmentSharing::for_index(config.cache_bytes);
    Task<Result<SegmentList>> loading = run_on_blocking_pool(load_segments(dir, schema, config, sharing));
    NUVREL_CO_TRY(SegmentList segments, co_await std::move(loading));

    auto started = ThreadPool::create(config.num_threads);
    if (!started) co_return std::unexpected(Error(IoError::other(started.error())));
    std::shared_ptr<ThreadPool> pool = std::move(*started);

    std::vector<Field> default_fields = compute_default_fields(*schema);
    auto tokenizers = std::make_shared<TokenizerRegistry>(TokenizerRegistry::default_registry());
    co_return std::make_shared<Index>(std::move(dir), std::move(schema), std::move(config), std::move(segments),
                                      std::move(default_fields), std::move(tokenizers), std::move(pool),
                                      std::move(sharing));
}

Task<Result<SegmentList>> Index::load_segments(std::shared_ptr<const FsDirectory> directory,
                                               std::shared_ptr<const Schema> schema, IndexConfig config,
                                               SegmentSharing sharing) {
    bool listed = co_await directory->exists("segments.json");
    if (!listed) co_return SegmentList{};
    NUVREL_CO_TRY(OwnedBytes bytes, co_await directory->open_read("segments.json", kIndexJsonCeiling));
    JsonResult<std::vector<std::string>> ids = parse_segment_list(bytes.as_slice());
    if (!ids) co_return std::unexpected(Error::serialization(ids.error().to_string()));

    const std::size_t cache_blocks = config.cache_blocks;
    if (!sharing.cache_budget || !sharing.vectors) {
        const SegmentSharing own = SegmentSharing::for_index(config.cache_bytes);
        if (!sharing.cache_budget) sharing.cache_budget = own.cache_budget;
        if (!sharing.vectors) sharing.vectors = own.vectors;
    }
    SegmentList out;
    out.reserve(ids->size());
    std::uint32_t offset = 0;
    for (const std::string& text : *ids) {
        std::optional<SegmentId> id = SegmentId::from_hex(text);
        if (!id) co_return std::unexpected(Error::corruption("Invalid segment ID: " + text));
        NUVREL_CO_TRY(std::shared_ptr<AsyncSegmentReader> reader,
                      co_await AsyncSegmentReader::open(*directory, *id, schema, offset, cache_blocks, sharing));
        offset += reader->num_docs();  // document numbers wrap modulo 2^32
        out.push_back(std::move(reader));
    }
    co_return out;
}

SegmentList Index::segment_readers() const {
    std::shared_lock lock(segments_lock_);
    return segments_;
}

std::uint32_t Index::num_docs() const {
    std::shared_lock lock(segments_lock_);
    std::uint32_t total = 0;
    for (const auto& s : segments_) total += s->num_docs();
    return total;
}

std::size_t Index::num_segments() const {
    std::shared_lock lock(segments_lock_);
    return segments_.size();
}

Task<Result<void>> Index::reload() {
    Task<Result<SegmentList>> loading = run_on_blocking_pool(load_segments(directory_, schema_, config_, sharing_));
    NUVREL_CO_TRY(SegmentList fresh, co_await std::move(loading));
    SegmentList old;
    {
        std::unique_lock lock(segments_lock_);
        old.swap(segments_);
        segments_ = std::move(fresh);
    }
    // The old readers go here, outside the lock, unless a snapshot holds them.
    co_return Result<void>{};
}

Task<Result<std::optional<Document>>> Index::doc(std::uint32_t doc_id) const {
    SegmentList snapshot = segment_readers();
    std::uint32_t base = 0;
    for (const auto& segment : snapshot) {
        std::uint32_t end = base + segment->num_docs();
        if (doc_id < end) {
            Result<std::optional<Document>> d = co_await segment->doc(doc_id - base);
            co_return d;
        }
        base = end;
    }
    co_return std::optional<Document>{};
}

}  // namespace nuvrel_core
