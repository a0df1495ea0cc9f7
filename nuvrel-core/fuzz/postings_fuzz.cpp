// A posting list with its skip entries, walked by the term scorer twice: once
// step by step to the end, as a search collects it, and once by seeks to
// rising targets (their strides taken from the input's first bytes) mixed
// with steps, as a boolean walk drives it. The step-by-step walk must end
// within a count of steps bounded by the bytes present, and no seek may stop
// below its target.
#include <optional>

#include "fuzz_support.h"
#include "query/term.h"
#include "query/term_scorer.h"
#include "structures/postings/posting.h"

using nuvrel_core::BlockPostingIterator;
using nuvrel_core::BlockPostingList;
using nuvrel_core::Scorer;

namespace {

constexpr std::size_t kStrides = 8;
constexpr std::size_t kSeeks = 256;
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

    // Each step takes one posting, and the postings a list yields must stay
    // linear in its bytes: a block holds at most 128 (one 12-byte skip entry
    // each), a pair takes at least two bytes, and skip entries naming the
    // same bytes must not each decode them to the end. Sixteen steps per
    // input byte is above any of these.
    const std::uint64_t max_steps = 16 * static_cast<std::uint64_t>(size) + 256;
    std::uint64_t steps = 0;
    for (std::uint32_t doc = whole->doc(); doc != nuvrel_core::TERMINATED; doc = whole->advance()) {
        if (++steps > max_steps) nuvrel_fuzz::fail("a step-by-step walk outlasts the postings its bytes can hold");
        (void)whole->score();
    }

    std::unique_ptr<Scorer> walk = scorer_of(bytes);
    std::uint64_t target = walk->doc();
    for (std::size_t k = 0; k < kSeeks && target < nuvrel_core::TERMINATED; ++k) {
        const std::uint8_t stride = data[k % kStrides];
        target += 1 + (stride & 0x7F) * (stride & 0x80 ? 1024 : 1);
        if (target >= nuvrel_core::TERMINATED) break;
        const std::uint32_t doc = walk->seek(static_cast<std::uint32_t>(target));
        if (doc == nuvrel_core::TERMINATED) break;
        if (doc < target) nuvrel_fuzz::fail("a seek stopped below its target");
        (void)walk->score();
        if (stride & 1) (void)walk->advance();
    }
    return 0;
}
