// The query model: a Query makes, for one segment, a Scorer that walks the
// segment's matching documents in ascending order of segment-local number
// and scores each with a 32-bit float.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>

#include "error.h"
#include "runtime/runtime.h"

namespace nuvrel_core {

class AsyncSegmentReader;

// The document number a scorer reports when it has no document left.
inline constexpr std::uint32_t TERMINATED = std::numeric_limits<std::uint32_t>::max();

class Scorer {
public:
    virtual ~Scorer() = default;

    // The current document, or TERMINATED.
    virtual std::uint32_t doc() const = 0;
    // The score of the current document.
    virtual float score() const = 0;
    // Moves to the next match and returns it, or TERMINATED.
    virtual std::uint32_t advance() = 0;
    // Moves to the first match at or after `target` and returns it, or TERMINATED.
    virtual std::uint32_t seek(std::uint32_t target) = 0;
    // An estimate of the number of matches.
    virtual std::uint32_t size_hint() const = 0;
};

// The scorer of a term the segment does not hold: matches nothing.
class EmptyScorer final : public Scorer {
public:
    std::uint32_t doc() const override { return TERMINATED; }
    float score() const override { return 0.0f; }
    std::uint32_t advance() override { return TERMINATED; }
    std::uint32_t seek(std::uint32_t) override { return TERMINATED; }
    std::uint32_t size_hint() const override { return 0; }
};

class Query {
public:
    virtual ~Query() = default;

    // A scorer positioned on the first match of this query in the reader's
    // segment. The query and the reader must stay alive until the returned
    // task completes.
    virtual Task<Result<std::unique_ptr<Scorer>>> scorer(const AsyncSegmentReader& reader) const = 0;
    // An estimate of the number of matching documents in the segment.
    virtual Task<Result<std::uint32_t>> count_estimate(const AsyncSegmentReader& reader) const = 0;
};

}  // namespace nuvrel_core
