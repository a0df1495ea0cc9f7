// JSON reading of the vector-index descriptions kept in a segment's ".vectors"
// file: a flat RaBitQ index, an inverted-file index of RaBitQ codes and one of
// product-quantization codes, one JSON text each. The records themselves live
// in index/, ivf/ and quantization/; this header only adds the parse entry
// points. Records are kept as read: nothing checks one member against another.
#pragma once

#include "directories/owned_bytes.h"
#include "dsl/json/json_error.h"
#include "structures/vector/index/ivf_pq.h"
#include "structures/vector/index/ivf_rabitq.h"
#include "structures/vector/index/rabitq.h"

namespace nuvrel_core {

// One whole JSON text each (the value, then only whitespace), or the JSON
// error. IVFPQIndex::from_bytes (index/ivf_pq.h) wraps the last one.
JsonResult<RaBitQIndex> parse_rabitq_index(ByteView json);
JsonResult<IVFRaBitQIndex> parse_ivf_rabitq_index(ByteView json);
JsonResult<IVFPQIndex> parse_ivf_pq_index(ByteView json);

}  // namespace nuvrel_core
