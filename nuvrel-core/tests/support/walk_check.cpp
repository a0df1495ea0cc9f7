#include "support/walk_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>

namespace nuvrel_test {

using nuvrel_core::TERMINATED;

Match match(std::uint32_t doc, float score) { return {doc, std::bit_cast<std::uint32_t>(score)}; }

std::vector<Match> stepped(nuvrel_core::Scorer& s, std::size_t cap) {
    std::vector<Match> out;
    for (auto d = s.doc(); d != TERMINATED && out.size() < cap; d = s.advance()) out.push_back(match(d, s.score()));
    return out;
}

std::vector<Match> matches(const std::vector<nuvrel_core::SearchResult>& results) {
    std::vector<Match> out;
    for (const auto& r : results) out.push_back(match(r.doc_id, r.score));
    return out;
}

std::vector<Match> best(const std::vector<Match>& walked, std::size_t limit) {
    nuvrel_core::TopKCollector c(limit);
    for (const Match& m : walked) c.collect(m.doc, std::bit_cast<float>(m.score_bits));
    return matches(std::move(c).into_sorted_results());
}

void expect_same_moves(nuvrel_core::Scorer& fast, nuvrel_core::Scorer& plain, std::uint32_t seed, int moves,
                       std::uint32_t back) {
    std::mt19937 rng(seed);
    ASSERT_EQ(fast.doc(), plain.doc());
    for (int i = 0; i < moves && plain.doc() != TERMINATED; ++i) {
        ASSERT_EQ(match(fast.doc(), fast.score()), match(plain.doc(), plain.score())) << "move " << i;
        const std::int64_t target = std::int64_t{plain.doc()} + rng() % (300 + back) - back;
        if (rng() % 4 == 0) {
            const auto t = static_cast<std::uint32_t>(std::max<std::int64_t>(0, target));
            ASSERT_EQ(fast.seek(t), plain.seek(t)) << "move " << i << " seek " << t;
        } else {
            ASSERT_EQ(fast.advance(), plain.advance()) << "move " << i;
        }
        ASSERT_EQ(fast.doc(), plain.doc()) << "move " << i;
    }
}

}  // namespace nuvrel_test
