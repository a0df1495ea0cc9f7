// Sparse-vector field settings: parsed and kept, not otherwise read.
#pragma once

#include <cstdint>

namespace nuvrel_core {

enum class IndexSize : std::uint8_t { U16, U32 };
enum class WeightQuantization : std::uint8_t { Float32, Float16, UInt8, UInt4 };

struct SparseVectorConfig {
    IndexSize index_size = IndexSize::U16;
    WeightQuantization weight_quantization = WeightQuantization::Float32;
    float weight_threshold = 0.0f;
};

}  // namespace nuvrel_core
