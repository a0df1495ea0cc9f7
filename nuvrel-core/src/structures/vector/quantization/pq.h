// One product-quantized vector: a code byte per subspace and the vector's norm.
#pragma once

#include <cstdint>
#include <vector>

namespace nuvrel_core {

struct PQVector {
    std::vector<std::uint8_t> codes;
    float norm = 0.0f;
};

}  // namespace nuvrel_core
