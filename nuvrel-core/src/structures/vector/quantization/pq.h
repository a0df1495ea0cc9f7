// One product-quantized vector: a code byte per subspace and the vector's norm.
#pragma once

#include <cstdint>
#include <vector>

namespace nuvrel_core {

struct PQVector {
    std::vector<std::uint8_t> codes;
    float norm = 0.0f;

    friend bool operator==(const PQVector&, const PQVector&) = default;
};

}  // namespace nuvrel_core
