#include "segment/vector_loading.h"

#include "structures/vector/side_file.h"
#include "structures/vector/vector_json.h"

namespace nuvrel_core {

namespace {

// One row of the ".vectors" table: field id (u32), type byte, blob offset and
// length (u64 each), little-endian, 21 bytes with no padding.
constexpr std::uint64_t kVectorEntrySize = 21;

struct VectorEntry {
    std::uint64_t offset = 0;
    std::uint32_t field = 0;
    std::uint8_t type = 0;
    std::uint64_t length = 0;
};

// The dense-vector settings of the field at this position, if any: the
// entry's field id indexes the schema's fields directly.
const DenseVectorConfig* dense_config_of(const Schema& schema, std::uint32_t field) {
    if (field >= schema.fields.size()) return nullptr;
    const auto& config = schema.fields[field].dense_vector_config;
    return config ? &*config : nullptr;
}

// The segment's coarse centroids come from the first IVF entry whose field
// names a file that loads; a failure leaves the next IVF entry to try its own.
void load_coarse_centroids_once(const Schema& schema, std::uint32_t field, LoadedVectors& out) {
    if (out.coarse_centroids) return;
    const DenseVectorConfig* config = dense_config_of(schema, field);
    if (config == nullptr || !config->coarse_centroids_path) return;
    IoResult<CoarseCentroids> centroids = CoarseCentroids::load(*config->coarse_centroids_path);
    if (centroids) out.coarse_centroids = std::make_shared<const CoarseCentroids>(std::move(*centroids));
}

// The result of one load as it grows, and what is left of the codebook total.
struct LoadState {
    LoadedVectors out;
    std::uint64_t codebook_dims_left = kMaxCodebookDimsPerSegment;  // entries past it are left out
};

std::optional<VectorIndex> ivf_rabitq_entry(IVFRaBitQIndex index, std::uint32_t field, const Schema& schema,
                                            LoadState& state) {
    load_coarse_centroids_once(schema, field, state.out);
    const std::uint64_t dim = index.config.dim;
    if (dim > state.codebook_dims_left) return std::nullopt;
    // The codebook is generated, not stored: fixed seed, the index's own dim.
    IoResult<RaBitQCodebook> codebook = RaBitQCodebook::create(RaBitQConfig{dim, 4, 42});
    if (!codebook) return std::nullopt;
    state.codebook_dims_left -= dim;
    return VectorIndex::IvfRaBitQ{std::make_shared<const IVFRaBitQIndex>(std::move(index)),
                                  std::make_shared<const RaBitQCodebook>(std::move(*codebook))};
}

std::optional<VectorIndex> rabitq_entry(RaBitQIndex index) {
    return VectorIndex::RaBitQ{std::make_shared<const RaBitQIndex>(std::move(index))};
}

// The index an entry's blob describes, chosen by its type byte; none when the
// blob does not parse or a side file the entry needs is missing.
std::optional<VectorIndex> vector_index_of(const VectorEntry& entry, ByteView blob, const Schema& schema,
                                           LoadState& state) {
    switch (entry.type) {
        case 0: {
            JsonResult<RaBitQIndex> flat = parse_rabitq_index(blob);
            if (!flat) return std::nullopt;
            return rabitq_entry(std::move(*flat));
        }
        case 1: {
            JsonResult<IVFRaBitQIndex> ivf = parse_ivf_rabitq_index(blob);
            if (!ivf) return std::nullopt;
            return ivf_rabitq_entry(std::move(*ivf), entry.field, schema, state);
        }
        case 2: {
            IoResult<IVFPQIndex> ivf = IVFPQIndex::from_bytes(blob);
            if (!ivf) return std::nullopt;
            load_coarse_centroids_once(schema, entry.field, state.out);
            const DenseVectorConfig* config = dense_config_of(schema, entry.field);
            if (config == nullptr || !config->pq_codebook_path) return std::nullopt;
            IoResult<PQCodebook> codebook = PQCodebook::load(*config->pq_codebook_path);
            if (!codebook) return std::nullopt;
            return VectorIndex::ScaNN{std::make_shared<const IVFPQIndex>(std::move(*ivf)),
                                      std::make_shared<const PQCodebook>(std::move(*codebook))};
        }
        default: {
            // Unknown types: whichever RaBitQ description the blob holds.
            JsonResult<IVFRaBitQIndex> ivf = parse_ivf_rabitq_index(blob);
            if (ivf) return ivf_rabitq_entry(std::move(*ivf), entry.field, schema, state);
            JsonResult<RaBitQIndex> flat = parse_rabitq_index(blob);
            if (flat) return rabitq_entry(std::move(*flat));
            return std::nullopt;
        }
    }
}

}  // namespace

// Vector data is optional: a missing or short file, or a blob that does not
// parse, leaves indexes out. Only bytes the table promises and that cannot be
// read fail the open.
Task<Result<LoadedVectors>> load_vectors_file(FsDirectory dir, SegmentFiles files,
                                             std::shared_ptr<const Schema> schema) {
    using R = Result<LoadedVectors>;
    bool any_dense = false;
    for (const FieldEntry& field : schema->fields) any_dense = any_dense || field.dense_vector_config.has_value();
    if (!any_dense) co_return R(LoadedVectors{});

    IoResult<LazyFileHandle> file = co_await dir.open_lazy(files.vectors);
    if (!file) co_return R(LoadedVectors{});
    LazyFileHandle handle = std::move(*file);

    IoResult<OwnedBytes> head = co_await handle.read_bytes_range({0, 4});
    if (!head || head->size() < 4) co_return R(LoadedVectors{});
    const std::uint32_t n = SideFileReader(head->as_slice()).u32();
    if (n == 0) co_return R(LoadedVectors{});

    // The read is checked against the file's size before anything is
    // allocated, so a hostile count costs nothing.
    IoResult<OwnedBytes> table_bytes = co_await handle.read_bytes_range({4, 4 + kVectorEntrySize * n});
    if (!table_bytes) co_return R(std::unexpected(Error(table_bytes.error())));
    std::vector<VectorEntry> table(n);
    SideFileReader cursor(table_bytes->as_slice());
    for (VectorEntry& entry : table) {
        entry.field = cursor.u32();
        entry.type = cursor.u8();
        entry.offset = cursor.u64();
        entry.length = cursor.u64();
    }
    table_bytes = OwnedBytes();

    LoadState state;
    for (const VectorEntry& entry : table) {
        // An end that wraps past 64 bits lies before the start: the range
        // read rejects it like any other range outside the file.
        IoResult<OwnedBytes> blob = co_await handle.read_bytes_range({entry.offset, entry.offset + entry.length});
        if (!blob) co_return R(std::unexpected(Error(blob.error())));
        std::optional<VectorIndex> index = vector_index_of(entry, blob->as_slice(), *schema, state);
        if (index) state.out.indexes.insert_or_assign(entry.field, std::move(*index));
    }
    co_return R(std::move(state.out));
}

}  // namespace nuvrel_core
