#include "segment/vector_loading.h"

#include <sys/stat.h>

#include <map>
#include <optional>
#include <set>
#include <utility>
#include <variant>
#include <vector>

#include "structures/vector/vector_json.h"
#include "util/byte_reader.h"
#include "util/try.h"

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

// The side files one load reads. Many entries may name the same file, by
// the same path or by other spellings of it, so each file is read at most
// once per load: a coarse-centroids file that failed is not tried again, a
// PQ codebook is shared by every entry that names it. What loads is then
// shared with the index's other segments that read the same data. The loaded
// data is immutable, so sharing it is not observable.
class SideFiles {
public:
    SideFiles(VectorLoadStats& stats, SharedVectorData& shared) : stats_(stats), shared_(shared) {}

    // The segment's coarse centroids come from the first IVF entry whose field
    // names a file that loads; a failure leaves the next IVF entry to try its own.
    void load_centroids_once(const Schema& schema, std::uint32_t field) {
        if (centroids) return;
        const DenseVectorConfig* config = dense_config_of(schema, field);
        if (config == nullptr || !config->coarse_centroids_path) return;
        const std::optional<FileId> id = file_id(*config->coarse_centroids_path);
        if (!id || failed_centroids_.contains(*id)) return;
        ++stats_.side_file_loads;
        IoResult<CoarseCentroids> loaded = CoarseCentroids::load(*config->coarse_centroids_path);
        if (loaded)
            centroids = shared_.centroids(std::move(*loaded));
        else
            failed_centroids_.insert(*id);
    }

    // The PQ codebook at `path`, or null when it does not load.
    std::shared_ptr<const PQCodebook> pq_codebook(const std::string& path) {
        const std::optional<FileId> id = file_id(path);
        if (!id) return nullptr;
        auto [it, fresh] = pq_codebooks_.try_emplace(*id);
        if (!fresh) return it->second;
        ++stats_.side_file_loads;
        IoResult<PQCodebook> loaded = PQCodebook::load(path);
        if (loaded) it->second = shared_.pq_codebook(std::move(*loaded));
        return it->second;
    }

    std::shared_ptr<const CoarseCentroids> centroids;

private:
    using FileId = std::pair<dev_t, ino_t>;

    // The file a path names. None when the path cannot be examined: then its
    // load would fail too, and no load is needed to say so (a NUL byte, which
    // the loads refuse, would make stat look at another file).
    static std::optional<FileId> file_id(const std::string& path) {
        struct stat st{};
        if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) return std::nullopt;
        return FileId{st.st_dev, st.st_ino};
    }

    VectorLoadStats& stats_;
    SharedVectorData& shared_;
    std::set<FileId> failed_centroids_;
    std::map<FileId, std::shared_ptr<const PQCodebook>> pq_codebooks_;
};

// What a field ends up with: a finished index, or an IVF-RaBitQ index still
// waiting for its generated codebook.
using FinalEntry = std::variant<VectorIndex, std::shared_ptr<const IVFRaBitQIndex>>;

// Each blob is read and parsed at most once per reading of it, however many
// entries name it: a table may name the same bytes in every entry. A failed
// parse is remembered as null.
struct BlobParses {
    std::optional<std::shared_ptr<const RaBitQIndex>> flat;
    std::optional<std::shared_ptr<const IVFRaBitQIndex>> ivf;
    std::optional<std::shared_ptr<const IVFPQIndex>> pq;
};

template <class T, class Parse>
const std::shared_ptr<const T>& parse_once(std::optional<std::shared_ptr<const T>>& slot, ByteView blob, Parse parse) {
    if (!slot) {
        auto parsed = parse(blob);
        slot = parsed ? std::make_shared<const T>(std::move(*parsed)) : nullptr;
    }
    return *slot;
}

std::optional<FinalEntry> entry_index(const VectorEntry& entry, ByteView blob, BlobParses& parses,
                                      const Schema& schema, SideFiles& side_files) {
    const auto flat = [&]() -> const std::shared_ptr<const RaBitQIndex>& {
        return parse_once(parses.flat, blob, parse_rabitq_index);
    };
    const auto ivf = [&]() -> const std::shared_ptr<const IVFRaBitQIndex>& {
        return parse_once(parses.ivf, blob, parse_ivf_rabitq_index);
    };
    const auto ivf_rabitq = [&](std::shared_ptr<const IVFRaBitQIndex> index) {
        side_files.load_centroids_once(schema, entry.field);
        return FinalEntry(std::move(index));
    };
    switch (entry.type) {
        case 0:
            if (!flat()) return std::nullopt;
            return FinalEntry(VectorIndex::RaBitQ{flat()});
        case 1:
            if (!ivf()) return std::nullopt;
            return ivf_rabitq(ivf());
        case 2: {
            const auto& index = parse_once(parses.pq, blob, IVFPQIndex::from_bytes);
            if (!index) return std::nullopt;
            side_files.load_centroids_once(schema, entry.field);
            const DenseVectorConfig* config = dense_config_of(schema, entry.field);
            if (config == nullptr || !config->pq_codebook_path) return std::nullopt;
            std::shared_ptr<const PQCodebook> codebook = side_files.pq_codebook(*config->pq_codebook_path);
            if (!codebook) return std::nullopt;
            return FinalEntry(VectorIndex::ScaNN{index, std::move(codebook)});
        }
        default:
            // Unknown types: whichever RaBitQ description the blob holds.
            if (ivf()) return ivf_rabitq(ivf());
            if (flat()) return FinalEntry(VectorIndex::RaBitQ{flat()});
            return std::nullopt;
    }
}

// Whether the entry still needs its blob's bytes: some parse its type asks
// for has not been made yet.
bool needs_bytes(std::uint8_t type, const BlobParses& p) {
    switch (type) {
        case 0: return !p.flat;
        case 1: return !p.ivf;
        case 2: return !p.pq;
        default: return !p.ivf || (!*p.ivf && !p.flat);
    }
}

// Codebooks are generated for the indexes fields end up with, never for
// entries that a later entry of the same field replaces, in ascending field
// order, each charged to the index's total unless the index holds one of
// that dimension already; a field whose codebook does not fit is left
// without an index.
void generate_codebooks(std::map<std::uint32_t, FinalEntry>& finals, LoadedVectors& out, SharedVectorData& shared) {
    for (auto& [field, final_entry] : finals) {
        if (auto* done = std::get_if<VectorIndex>(&final_entry)) {
            out.indexes.insert_or_assign(field, std::move(*done));
            continue;
        }
        auto& index = std::get<std::shared_ptr<const IVFRaBitQIndex>>(final_entry);
        // The codebook is generated, not stored: fixed seed, the index's own dim.
        std::shared_ptr<const RaBitQCodebook> shared_codebook = shared.rabitq_codebook(index->config.dim, 42);
        if (!shared_codebook) continue;
        out.indexes.insert_or_assign(field, VectorIndex::IvfRaBitQ{std::move(index), std::move(shared_codebook)});
    }
}

}  // namespace

Task<Result<LoadedVectors>> load_vectors_file(FsDirectory dir, SegmentFiles files,
                                              std::shared_ptr<const Schema> schema,
                                              std::shared_ptr<SharedVectorData> shared) {
    using R = Result<LoadedVectors>;
    if (!shared) shared = std::make_shared<SharedVectorData>();
    bool any_dense = false;
    for (const FieldEntry& field : schema->fields) any_dense = any_dense || field.dense_vector_config.has_value();
    if (!any_dense) co_return R(LoadedVectors{});

    IoResult<LazyFileHandle> file = co_await dir.open_lazy(files.vectors);
    if (!file) co_return R(LoadedVectors{});
    LazyFileHandle handle = std::move(*file);

    IoResult<OwnedBytes> head = co_await handle.read_bytes_range({0, 4});
    if (!head || head->size() < 4) co_return R(LoadedVectors{});
    const std::uint32_t n = ByteReader(head->as_slice()).u32();
    if (n == 0) co_return R(LoadedVectors{});

    // The read is checked against the file's size before anything is
    // allocated, so a hostile count costs nothing.
    NUVREL_CO_TRY(OwnedBytes table_bytes, co_await handle.read_bytes_range({4, 4 + kVectorEntrySize * n}));
    ByteReader table(table_bytes.as_slice());

    // A sound file's blobs are disjoint and lie inside it, so reading each
    // distinct blob once reads at most the file's size. A table whose blobs
    // overlap may ask for its bytes many times over; what it asks for past
    // that size is left out, so a load costs time in proportion to the file.
    std::uint64_t blob_bytes_left = handle.file_size();
    LoadedVectors out;
    SideFiles side_files(out.stats, *shared);
    std::map<std::pair<std::uint64_t, std::uint64_t>, BlobParses> blobs;
    std::map<std::uint32_t, FinalEntry> finals;
    for (std::uint32_t i = 0; i < n; ++i) {
        VectorEntry entry;
        entry.field = table.u32();
        entry.type = table.u8();
        entry.offset = table.u64();
        entry.length = table.u64();
        BlobParses& parses = blobs[{entry.offset, entry.length}];
        OwnedBytes blob;
        if (needs_bytes(entry.type, parses)) {
            // An end that wraps past 64 bits lies before the start: the range
            // read rejects it like any other range outside the file, and
            // fails the load before any budget is looked at.
            const std::uint64_t end = entry.offset + entry.length;
            const bool inside = end >= entry.offset && end <= handle.file_size();
            if (inside && entry.length > blob_bytes_left) continue;
            NUVREL_CO_TRY(blob, co_await handle.read_bytes_range({entry.offset, end}));
            blob_bytes_left -= entry.length;
            ++out.stats.blob_reads;
            out.stats.blob_bytes += entry.length;
        }
        std::optional<FinalEntry> index = entry_index(entry, blob.as_slice(), parses, *schema, side_files);
        if (index) finals.insert_or_assign(entry.field, std::move(*index));
    }
    out.coarse_centroids = std::move(side_files.centroids);
    generate_codebooks(finals, out, *shared);
    co_return R(std::move(out));
}

}  // namespace nuvrel_core
