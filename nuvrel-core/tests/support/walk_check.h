// One harness for checking the engine's fast walks (the fused decode-and-
// score loop, the term clauses' own boolean walk, collection without a call
// per posting) against plain step-by-step ones: the same documents, and
// scores equal bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <ostream>
#include <vector>

#include "query/collector.h"
#include "query/traits.h"

namespace nuvrel_test {

struct Match {
    std::uint32_t doc = 0;
    std::uint32_t score_bits = 0;
    friend bool operator==(const Match&, const Match&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Match& m) {
        return os << "(" << m.doc << ", 0x" << std::hex << m.score_bits << std::dec << ")";
    }
};

Match match(std::uint32_t doc, float score);

// Every match from where the scorer stands, by doc()/score()/advance(), at
// most `cap` of them.
std::vector<Match> stepped(nuvrel_core::Scorer& s, std::size_t cap = std::numeric_limits<std::size_t>::max());
// The results of a search or collection, in their order.
std::vector<Match> matches(const std::vector<nuvrel_core::SearchResult>& results);
// Matches as collection keeps them: the best `limit`, best first.
std::vector<Match> best(const std::vector<Match>& walked, std::size_t limit);

// Moves both scorers alike, a seeded mix of advances and seeks (a quarter of
// the moves; their targets reach up to `back` documents behind the current
// one), and expects them to agree on every document and score.
void expect_same_moves(nuvrel_core::Scorer& fast, nuvrel_core::Scorer& plain, std::uint32_t seed, int moves,
                       std::uint32_t back);

}  // namespace nuvrel_test
