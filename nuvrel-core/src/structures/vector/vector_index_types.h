// The loaded vector index of one dense-vector field, as a segment reader keeps
// it: a tagged union of the three index kinds, each payload shared.
//
// The segment reader's vector loading builds these from the ".vectors" table:
// type byte 0 gives RaBitQ, 1 gives IvfRaBitQ with a codebook generated from
// the index's own config.dim (query_bits 4, seed 42), 2 gives ScaNN with the
// PQ codebook file named by the field. The segment layer refers to this type
// as its own `VectorIndex`; it lives here so that it depends on the vector
// records only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <variant>

#include "structures/vector/index/ivf_pq.h"
#include "structures/vector/index/ivf_rabitq.h"
#include "structures/vector/index/rabitq.h"
#include "structures/vector/quantization/pq_codebook.h"
#include "structures/vector/quantization/rabitq.h"

namespace nuvrel_core {

class VectorIndex {
public:
    struct RaBitQ {
        std::shared_ptr<const RaBitQIndex> index;
    };
    struct IvfRaBitQ {
        std::shared_ptr<const IVFRaBitQIndex> index;
        std::shared_ptr<const RaBitQCodebook> codebook;
    };
    struct ScaNN {
        std::shared_ptr<const IVFPQIndex> index;
        std::shared_ptr<const PQCodebook> codebook;
    };

    // Tags in this order: 0 RaBitQ, 1 IvfRaBitQ, 2 ScaNN.
    using Variant = std::variant<RaBitQ, IvfRaBitQ, ScaNN>;

    VectorIndex(RaBitQ v) : v_(std::move(v)) {}     // NOLINT: each payload is a VectorIndex
    VectorIndex(IvfRaBitQ v) : v_(std::move(v)) {}  // NOLINT
    VectorIndex(ScaNN v) : v_(std::move(v)) {}      // NOLINT

    std::size_t tag() const noexcept { return v_.index(); }
    const Variant& variant() const noexcept { return v_; }
    template <class V> bool is() const noexcept { return std::holds_alternative<V>(v_); }
    template <class V> const V* get_if() const noexcept { return std::get_if<V>(&v_); }

private:
    Variant v_;
};

}  // namespace nuvrel_core
