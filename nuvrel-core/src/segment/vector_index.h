// The vector data a segment loads for its dense-vector fields. The loaded
// forms are filled in with vector loading; until then a segment holds none.
#pragma once

namespace nuvrel_core {

struct VectorIndex {};
struct CoarseCentroids;

}  // namespace nuvrel_core
