// Loading a segment's ".vectors" file: the vector indexes of the schema's
// dense-vector fields and the coarse centroids they name.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "directories/directory.h"
#include "dsl/schema.h"
#include "error.h"
#include "runtime/runtime.h"
#include "segment/shared_vector_data.h"
#include "segment/types.h"
#include "segment/vector_index.h"
#include "util/fx_hash.h"

namespace nuvrel_core {

using VectorIndexMap = std::unordered_map<std::uint32_t, VectorIndex, FxHash>;

// The work one load did, which a damaged table must not multiply.
struct VectorLoadStats {
    std::uint64_t blob_reads = 0;       // ranges of ".vectors" read
    std::uint64_t blob_bytes = 0;       // the bytes those ranges held
    std::uint64_t side_file_loads = 0;  // coarse-centroids and PQ codebook files read
};

struct LoadedVectors {
    VectorIndexMap indexes;
    std::shared_ptr<const CoarseCentroids> coarse_centroids;
    VectorLoadStats stats;
};

// Vector data is optional: a missing or short file, or a blob that does not
// parse, leaves indexes out. Only bytes the table promises and that cannot be
// read fail the load. Each field keeps the index of its last entry that
// loads; codebooks are generated for those alone. `shared` is the index's
// vector data (a load of its own when null).
Task<Result<LoadedVectors>> load_vectors_file(FsDirectory dir, SegmentFiles files,
                                              std::shared_ptr<const Schema> schema,
                                              std::shared_ptr<SharedVectorData> shared = nullptr);

}  // namespace nuvrel_core
