// A flat RaBitQ index: one codebook, one centroid, and every vector's code.
#pragma once

#include <optional>
#include <vector>

#include "structures/vector/ivf/cluster.h"
#include "structures/vector/quantization/rabitq.h"

namespace nuvrel_core {

struct RaBitQIndex {
    RaBitQCodebook codebook;
    std::vector<float> centroid;
    std::vector<QuantizedVector> vectors;
    std::optional<RawVectors> raw_vectors;

    friend bool operator==(const RaBitQIndex&, const RaBitQIndex&) = default;
};

}  // namespace nuvrel_core
