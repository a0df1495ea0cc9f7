// A posting list with its skip entries, walked by the term scorer twice: once
// whole as a search collects it, once by alternating seeks (their strides
// taken from the input's first bytes) and steps, as a boolean walk drives it.
// Every walk must end within a step count bounded by the bytes present.
#include <cstdlib>
#include <optional>

#include "fuzz_support.h"
#include "query/collector.h"
#include "query/term.h"
#include "query/term_scorer.h"
#include "structures/postings/posting.h"

using nuvrel_core::BlockPostingIterator;
using nuvrel_core::BlockPostingList;
using nuvrel_core::Scorer;

namespace {

constexpr std::size_t kStrides = 8;
constexpr std::uint32_t kNumDocs = 100000;

std::unique_ptr<Scorer> scorer_of(const nuvrel_core::OwnedBytes& bytes) {
    auto list = BlockPostingList::deserialize(bytes);
    if (!list) return nullptr;
    static const nuvrel_core::TermQuery query = nuvrel_core::TermQuery::text(0, "term");
    return nuvrel_core::make_term_scorer<BlockPostingIterator>(query, std::optional<BlockPostingList>(std::move(*list)),
                                                               kNumDocs, 3.5f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kStrides) return 0;
    const nuvrel_core::OwnedBytes bytes = nuvrel_fuzz::owned({data + kStrides, size - kStrides});
    std::unique_ptr<Scorer> whole = scorer_of(bytes);
    if (!whole) return 0;
    (void)nuvrel_core::collect_top_k(*whole, 10);

    // Each step takes at least one posting, and no list holds more postings
    // than 128 per skip entry (12 bytes each) plus what its data can encode.
    const std::uint64_t max_steps = 16 * static_cast<std::uint64_t>(size) + 256;
    std::unique_ptr<Scorer> walk = scorer_of(bytes);
    std::uint64_t steps = 0;
    for (std::uint32_t doc = walk->doc(); doc != nuvrel_core::TERMINATED; ++steps) {
        if (steps > max_steps) std::abort();
        (void)walk->score();
        const std::uint32_t stride = data[steps % kStrides];
        doc = walk->seek(doc + stride);
        if (doc != nuvrel_core::TERMINATED) doc = walk->advance();
    }
    return 0;
}
