#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <utility>
#include <vector>

#include "query/bm25.h"
#include "query/boolean.h"
#include "query/collector.h"
#include "query/term_scorer.h"
#include "structures/postings/posting.h"
#include "support/query_mocks.h"
#include "support/test_util.h"

using namespace nuvrel_core;
using nuvrel_test::Hit;
using nuvrel_test::list_scorer;
using nuvrel_test::ListQuery;
using nuvrel_test::ListScorer;
using nuvrel_test::run;
using nuvrel_test::unused_reader;

namespace {

using Scorers = BooleanScorer::Scorers;

template <class... S>
Scorers scorers(S... s) {
    Scorers out;
    (out.push_back(std::move(s)), ...);
    return out;
}

// Walks the scorer with advance, as the per-segment search does.
std::vector<Hit> walk(Scorer& s) {
    std::vector<Hit> out;
    for (std::uint32_t d = s.doc(); d != TERMINATED; d = s.advance()) out.push_back(Hit{d, s.score()});
    return out;
}

std::vector<std::uint32_t> docs(const std::vector<Hit>& hits) {
    std::vector<std::uint32_t> out;
    for (auto& h : hits) out.push_back(h.doc);
    return out;
}

}  // namespace

TEST(BooleanScorer, WalksMatchesWithSummedScores) {
    using Lists = std::vector<std::vector<Hit>>;
    using Pairs = std::vector<std::pair<std::uint32_t, float>>;
    const struct {
        const char* what;
        Lists must, should, must_not;
        Pairs want;
    } cases[] = {
        {"should adds where it matches", {{{1, 1}, {5, 1}, {9, 1}}}, {{{5, 0.5f}, {7, 0.5f}}}, {},
         {{1, 1}, {5, 1.5f}, {9, 1}}},
        // The should clause first sits on 3, which is no match, and never moves: it adds nothing, even at 9.
        {"should stays on its first document", {{{1, 1}, {5, 1}, {9, 1}}}, {{{3, 0.5f}, {9, 0.5f}}}, {},
         {{1, 1}, {5, 1}, {9, 1}}},
        {"should-only union", {}, {{{1, 1}, {4, 1}}, {{2, 0.25f}, {4, 0.25f}}}, {}, {{1, 1}, {2, 0.25f}, {4, 1.25f}}},
        {"must intersection with exclusion", {{{1, 1}, {3, 1}, {5, 1}, {8, 1}, {9, 1}}, {{2, 2}, {3, 2}, {8, 2}, {9, 2}, {12, 2}}},
         {}, {{{8, 0}}}, {{3, 3}, {9, 3}}},
        {"should-only with exclusion", {}, {{{1, 1}, {2, 1}, {4, 1}}, {{2, 1}, {3, 1}}}, {{{2, 0}, {3, 0}}}, {{1, 1}, {4, 1}}},
        {"only excluded clauses", {}, {}, {{{1, 1}}}, {}},
        {"no clauses", {}, {}, {}, {}},
        {"every match excluded", {{{1, 1}, {2, 1}}}, {}, {{{1, 1}, {2, 1}}}, {}},
    };
    auto make = [](const Lists& lists) {
        Scorers out;
        for (const auto& l : lists) out.push_back(list_scorer(l));
        return out;
    };
    for (const auto& c : cases) {
        BooleanScorer s(make(c.must), make(c.should), make(c.must_not));
        Pairs got;
        for (const Hit& h : walk(s)) got.emplace_back(h.doc, h.score);
        EXPECT_EQ(got, c.want) << c.what;
        EXPECT_EQ(s.advance(), TERMINATED) << c.what;
    }
    // A lacking should term (an empty scorer) is passed over; a lacking must term matches nothing.
    BooleanScorer lacking_should({}, scorers(std::make_unique<EmptyScorer>(), list_scorer({{3, 1.0f}})), {});
    EXPECT_EQ(docs(walk(lacking_should)), (std::vector<std::uint32_t>{3}));
    BooleanScorer lacking_must(scorers(std::make_unique<EmptyScorer>(), list_scorer({{1, 1}})), {}, {});
    EXPECT_EQ(lacking_must.doc(), TERMINATED);
}

TEST(BooleanScorer, SeekMovesMustAndShould) {
    BooleanScorer s(scorers(list_scorer({{1, 1}, {5, 1}, {9, 1}})), scorers(list_scorer({{3, 1}, {9, 1}})), {});
    EXPECT_EQ(s.doc(), 1u);
    EXPECT_EQ(s.seek(6), 9u);
    EXPECT_EQ(s.score(), 2.0f);  // the should scorer was sought to 9 as well
    EXPECT_EQ(s.seek(10), TERMINATED);
    EXPECT_EQ(s.doc(), TERMINATED);
}

TEST(BooleanScorer, SizeHint) {
    BooleanScorer must(scorers(list_scorer({{1, 1}}, 10), list_scorer({{1, 1}}, 3)),
                       scorers(list_scorer({{1, 1}}, 100)), {});
    EXPECT_EQ(must.size_hint(), 3u);
    BooleanScorer should({}, scorers(list_scorer({{1, 1}}, 10), list_scorer({{1, 1}}, 3)), {});
    EXPECT_EQ(should.size_hint(), 13u);
    BooleanScorer wraps({}, scorers(list_scorer({{1, 1}}, 0xFFFFFFFFu), list_scorer({{1, 1}}, 2)), {});
    EXPECT_EQ(wraps.size_hint(), 1u);
}

// Scorers whose seek may jump back, as over a posting list whose documents
// are out of order: the walk still ends.
namespace {
class BackwardsScorer final : public Scorer {
public:
    std::uint32_t doc() const override { return doc_; }
    float score() const override { return 1.0f; }
    std::uint32_t advance() override { return doc_ = (doc_ == 200 ? 50 : TERMINATED); }
    std::uint32_t seek(std::uint32_t) override { return doc_ = 200; }
    std::uint32_t size_hint() const override { return 0; }

private:
    std::uint32_t doc_ = 50;
};
}  // namespace

TEST(BooleanScorer, OutOfOrderClausesDoNotLoopForEver) {
    BooleanScorer s(scorers(std::make_unique<BackwardsScorer>()), {}, {});
    EXPECT_EQ(s.doc(), 200u);
    EXPECT_EQ(s.advance(), TERMINATED);  // 50 again would repeat 200 for ever
}

TEST(BooleanQuery, ScorerAsksClausesInOrderAndStopsAtFirstError) {
    ListQuery a({{1, 1.0f}, {5, 1.0f}});
    ListQuery b({{5, 2.0f}});
    ListQuery c({{1, 0.0f}});
    auto ca = a.calls_, cb = b.calls_, cc = c.calls_;
    auto q = BooleanQuery().must(std::move(a)).should(std::move(b)).must_not(std::move(c));
    auto s = run(q.scorer(unused_reader()));
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ((*s)->doc(), 5u);
    EXPECT_EQ((*s)->score(), 3.0f);
    EXPECT_EQ(*ca + *cb + *cc, 3);

    ListQuery ok({{1, 1.0f}});
    ListQuery later({{1, 1.0f}});
    auto c_ok = ok.calls_, c_later = later.calls_;
    auto bad = BooleanQuery().must(std::move(ok)).should(ListQuery::failing("boom")).must_not(std::move(later));
    auto r = run(bad.scorer(unused_reader()));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), "Index corruption: boom");
    EXPECT_EQ(*c_ok, 1);
    EXPECT_EQ(*c_later, 0);
}

TEST(BooleanQuery, CountEstimate) {
    auto must = BooleanQuery().must(ListQuery({}, 10)).must(ListQuery({}, 3)).should(ListQuery({}, 100));
    EXPECT_EQ(run(must.count_estimate(unused_reader())).value(), 3u);
    auto should = BooleanQuery().should(ListQuery({}, 10)).should(ListQuery({}, 3)).must_not(ListQuery({}, 50));
    EXPECT_EQ(run(should.count_estimate(unused_reader())).value(), 13u);
    auto only_not = BooleanQuery().must_not(ListQuery({}, 50));
    EXPECT_EQ(run(only_not.count_estimate(unused_reader())).value(), 0u);
    auto failing = BooleanQuery().must(ListQuery::failing("x")).must(ListQuery({}, 1));
    EXPECT_FALSE(run(failing.count_estimate(unused_reader())).has_value());

    auto empty = run(BooleanQuery().scorer(unused_reader()));
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ((*empty)->doc(), TERMINATED);
}

// Term clauses take a walk of their own, with direct calls and a shortcut
// for seeks into the current block. It must give what the general walk gives
// over the plainest reading of a term scorer (linear scan of the skip
// entries on every seek), document for document and score bit for bit, also
// over skip entries that misstate their blocks' last documents.
namespace {

class PlainTermScorer final : public Scorer {
public:
    PlainTermScorer(BlockPostingList list, Bm25Weight w) : it_(std::move(list)), w_(w) {}
    std::uint32_t doc() const override { return on_pair() ? it_.block[it_.position].first : TERMINATED; }
    float score() const override { return w_.score(on_pair() ? static_cast<float>(it_.block[it_.position].second) : 0.0f); }
    std::uint32_t advance() override {
        if (it_.exhausted) return TERMINATED;
        if (++it_.position >= it_.block.size()) it_.load_block(it_.current_block + 1);
        return doc();
    }
    std::uint32_t seek(std::uint32_t target) override {
        bool scanned_whole = false;
        while (!it_.exhausted) {
            std::size_t i = 0;
            const auto& skips = it_.list.skip_list;
            while (i < skips.size() && skips[i].last_doc < target) ++i;
            if (i == skips.size()) break;
            if (i != it_.current_block) it_.load_block(i);
            if (it_.position == 0 && std::exchange(scanned_whole, true)) break;
            while (it_.position < it_.block.size() && it_.block[it_.position].first < target) ++it_.position;
            if (it_.position < it_.block.size()) return it_.block[it_.position].first;
            it_.load_block(it_.current_block + 1);
        }
        it_.exhausted = true;
        return TERMINATED;
    }
    std::uint32_t size_hint() const override { return 0; }

private:
    bool on_pair() const { return !it_.exhausted && it_.position < it_.block.size(); }
    BlockPostingIterator it_;
    Bm25Weight w_;
};

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

}  // namespace

TEST(BooleanScorer, TermClausesWalkAsTheGeneralWalk) {
    std::mt19937 rng(7);
    auto pick = [&rng](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
    for (int round = 0; round < 400; ++round) {
        Scorers fast[3], plain[3];
        const std::uint32_t n_terms = 1 + pick(4);
        for (std::uint32_t t = 0; t < n_terms; ++t) {
            const std::uint32_t kind = pick(3);  // must, should, must_not
            if (pick(8) == 0) {  // a term the segment lacks
                fast[kind].push_back(std::make_unique<EmptyScorer>());
                plain[kind].push_back(std::make_unique<EmptyScorer>());
                continue;
            }
            std::vector<Posting> postings;
            const std::uint32_t density = 1 + pick(60);
            for (std::uint32_t d = 0; d < 3000; ++d)
                if (pick(100) < density) postings.push_back({d, 1 + pick(80)});
            BlockPostingList list = BlockPostingList::from_posting_list(postings);
            if (!list.skip_list.empty() && pick(4) == 0) list.skip_list[pick(list.skip_list.size())].last_doc = pick(3200);
            const Bm25Weight w{.idf = 0.1f + static_cast<float>(pick(100)) / 17.0f, .avg_field_length = static_cast<float>(pick(30))};
            fast[kind].push_back(std::make_unique<BasicTermScorer<BlockPostingIterator>>(BlockPostingIterator(list), w));
            plain[kind].push_back(std::make_unique<PlainTermScorer>(list, w));
        }
        BooleanScorer a(std::move(fast[0]), std::move(fast[1]), std::move(fast[2]));
        BooleanScorer b(std::move(plain[0]), std::move(plain[1]), std::move(plain[2]));
        if (round % 2 == 0) {  // the per-segment search
            const auto got = collect_top_k(a, 5000), want = collect_top_k(b, 5000);
            ASSERT_EQ(got.size(), want.size()) << round;
            for (std::size_t i = 0; i < got.size(); ++i) {
                ASSERT_EQ(got[i].doc_id, want[i].doc_id) << round;
                ASSERT_EQ(bits(got[i].score), bits(want[i].score)) << round;
            }
            continue;
        }
        ASSERT_EQ(a.doc(), b.doc()) << round;
        for (int step = 0; step < 2000 && b.doc() != TERMINATED; ++step) {
            ASSERT_EQ(bits(a.score()), bits(b.score())) << round << " " << step;
            // Now and then a target behind the current document: a term scorer
            // then goes back to an earlier block that reaches it.
            const std::uint32_t target = std::max<std::int64_t>(0, std::int64_t{b.doc()} + pick(300) - 100);
            if (pick(4) == 0) ASSERT_EQ(a.seek(target), b.seek(target)) << round << " " << step;
            else ASSERT_EQ(a.advance(), b.advance()) << round << " " << step;
            ASSERT_EQ(a.doc(), b.doc()) << round << " " << step;
        }
    }
}
