#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "query/bm25.h"
#include "query/boolean.h"
#include "query/collector.h"
#include "query/term_scorer.h"
#include "structures/postings/posting.h"
#include "support/query_mocks.h"
#include "support/test_util.h"
#include "support/walk_check.h"

using namespace nuvrel_core;
using nuvrel_test::Hit;
using nuvrel_test::list_scorer;
using nuvrel_test::ListQuery;
using nuvrel_test::ListScorer;
using nuvrel_test::run;
using nuvrel_test::unused_reader;
using nuvrel_test::expect_same_moves;
using nuvrel_test::matches;

namespace {

using Scorers = BooleanScorer::Scorers;

template <class... S>
Scorers scorers(S... s) {
    Scorers out;
    (out.push_back(std::move(s)), ...);
    return out;
}

// The documents of a walk with advance, as the per-segment search does.
std::vector<std::uint32_t> docs(Scorer& s) {
    std::vector<std::uint32_t> out;
    for (const auto& m : nuvrel_test::stepped(s)) out.push_back(m.doc);
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
        std::vector<nuvrel_test::Match> want;
        for (auto [d, score] : c.want) want.push_back(nuvrel_test::match(d, score));
        EXPECT_EQ(nuvrel_test::stepped(s), want) << c.what;
        EXPECT_EQ(s.advance(), TERMINATED) << c.what;
    }
    // A lacking should term (an empty scorer) is passed over; a lacking must term matches nothing.
    BooleanScorer lacking_should({}, scorers(std::make_unique<EmptyScorer>(), list_scorer({{3, 1.0f}})), {});
    EXPECT_EQ(docs(lacking_should), (std::vector<std::uint32_t>{3}));
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

// The scorer's size hint and the query's count estimate alike: the smallest
// must clause, else the sum of the should clauses (wrapping); excluded
// clauses count for nothing.
TEST(BooleanQuery, SizeHintAndCountEstimate) {
    using Sizes = std::vector<std::uint32_t>;
    const std::tuple<Sizes, Sizes, Sizes, std::uint32_t> cases[] = {
        {{10, 3}, {100}, {}, 3}, {{}, {10, 3}, {50}, 13}, {{}, {}, {50}, 0}, {{}, {0xFFFFFFFFu, 2}, {}, 1}};
    for (const auto& [must, should, must_not, want] : cases) {
        Scorers clauses[3];
        BooleanQuery q;
        const Sizes* sizes[] = {&must, &should, &must_not};
        for (int k = 0; k < 3; ++k) {
            for (std::uint32_t n : *sizes[k]) {
                clauses[k].push_back(list_scorer({{1, 1}}, n));
                auto clause = std::make_unique<ListQuery>(std::vector<Hit>{}, n);
                k == 0 ? q.add_must(std::move(clause)) : k == 1 ? q.add_should(std::move(clause)) : q.add_must_not(std::move(clause));
            }
        }
        EXPECT_EQ(BooleanScorer(std::move(clauses[0]), std::move(clauses[1]), std::move(clauses[2])).size_hint(), want);
        EXPECT_EQ(run(q.count_estimate(unused_reader())).value(), want);
    }
    auto failing = BooleanQuery().must(ListQuery::failing("x")).must(ListQuery({}, 1));
    EXPECT_FALSE(run(failing.count_estimate(unused_reader())).has_value());
}

// Term clauses take a walk of their own, with direct calls and a shortcut
// for seeks into the current block. It must give what the boolean steps
// give, taken literally over the plainest reading of a term scorer (linear
// scan of the skip entries on every seek), document for document and score
// bit for bit, also over lists out of order and skip entries that misstate
// their blocks' last documents, with the same budget of steps.
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
            if (it_.exhausted || (it_.position == 0 && std::exchange(scanned_whole, true))) break;
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

// The boolean steps as written, one after another, counting a step for each
// candidate examined and each raised during agreement.
class LiteralBoolean final : public Scorer {
public:
    LiteralBoolean(Scorers must, Scorers should, Scorers must_not, std::uint64_t steps)
        : must_(std::move(must)), should_(std::move(should)), must_not_(std::move(must_not)), steps_(steps) {
        next_match();
    }
    std::uint32_t doc() const override { return doc_; }
    float score() const override {
        float total = 0.0f;
        for (const auto* list : {&must_, &should_})
            for (const auto& s : *list)
                if (s->doc() == doc_) total += s->score();
        return total;
    }
    std::uint32_t advance() override {
        if (!must_.empty()) {
            for (auto& s : must_) s->advance();
        } else {
            for (auto& s : should_)
                if (s->doc() == doc_) s->advance();
        }
        return next_match();
    }
    std::uint32_t seek(std::uint32_t target) override {
        for (auto& s : must_) s->seek(target);
        for (auto& s : should_) s->seek(target);
        return next_match();
    }
    std::uint32_t size_hint() const override { return 0; }

private:
    bool step() { return steps_ != 0 && (--steps_, true); }
    std::uint32_t next_match() {
        if (must_.empty() && should_.empty()) return doc_ = TERMINATED;
        for (;;) {
            std::uint32_t c = must_.empty() ? TERMINATED : 0;
            for (auto& s : must_) c = std::max(c, s->doc());
            for (auto& s : should_)
                if (must_.empty() && s->doc() != TERMINATED) c = std::min(c, s->doc());
            for (std::size_t i = 0; c != TERMINATED && i < must_.size();) {
                const std::uint32_t d = must_[i]->seek(c);
                if (d == TERMINATED || d <= c) {
                    c = d == TERMINATED ? d : c;
                    ++i;
                } else if (!step()) {
                    c = TERMINATED;
                } else {
                    c = d;
                    i = 0;
                }
            }
            if (c == TERMINATED || !step()) return doc_ = TERMINATED;
            bool excluded = false;
            for (auto& s : must_not_)
                if (s->seek(c) == c) {
                    excluded = true;
                    break;
                }
            if (!excluded) return doc_ = c;
            for (auto& s : must_) s->advance();
            for (auto& s : should_)
                if (must_.empty() && s->doc() <= c && s->doc() != TERMINATED) s->seek(c + 1);
        }
    }

    Scorers must_, should_, must_not_;
    std::uint64_t steps_;
    std::uint32_t doc_ = TERMINATED;
};

using TermScorer = BasicTermScorer<BlockPostingIterator>;
const Bm25Weight kUnit{BM25_K1, BM25_B, 1.0f, 1.0f, 1.0f};

std::unique_ptr<Scorer> term_over(const std::vector<std::uint32_t>& docs) {
    std::vector<Posting> p;
    for (std::uint32_t d : docs) p.push_back({d, 1});
    return std::make_unique<TermScorer>(BlockPostingIterator(BlockPostingList::from_posting_list(p)), kUnit);
}

}  // namespace

// A list out of order makes the walk go back below a match it gave. Walks
// that still end give every match their steps reach; one that would go round
// for ever ends within its budget.
TEST(BooleanScorer, OutOfOrderListsKeepEveryMatchTheStepsReach) {
    using Docs = std::vector<std::uint32_t>;
    std::vector<std::uint32_t> wraps(128);  // a block of 1000..1127, then a block of 5
    for (std::uint32_t i = 0; i < 128; ++i) wraps[i] = 1000 + i;
    wraps.push_back(5);
    const struct {
        const char* what;
        std::vector<Docs> must, should;
        Docs want;
    } cases[] = {
        {"should [a]", {}, {{5, 3}}, {5, 3}},
        {"should [a, b]", {}, {{5, 3}, {1, 7}}, {1, 5, 3, 7}},
        {"must [a, b]", {{5, 3, 9}, {3, 9}}, {}, {9}},
        {"must [a] going round", {wraps}, {}, {}},
    };
    for (const auto& c : cases) {
        Scorers must, should;
        for (const auto& d : c.must) must.push_back(term_over(d));
        for (const auto& d : c.should) should.push_back(term_over(d));
        BooleanScorer s(std::move(must), std::move(should), {});
        const std::uint64_t budget = BooleanScorer::kStepsPerPosting * (s.postings_present().value() + 1);
        const auto got = docs(s);
        if (c.want.empty()) {
            EXPECT_GT(got.size(), wraps.size()) << c.what;  // it went round at least once
            EXPECT_LE(got.size(), budget) << c.what;
        } else {
            EXPECT_EQ(got, c.want) << c.what;
        }
    }
}

TEST(BooleanScorer, TermClausesWalkAsTheLiteralSteps) {
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
            // Every third round, runs of the list out of order and a last
            // document that sends a walk round again.
            if (round % 3 == 2) {
                for (std::size_t i = 0; i + 2 < postings.size(); i += 1 + pick(300))
                    std::swap(postings[i], postings[std::min<std::size_t>(postings.size() - 1, i + 1 + pick(400))]);
                postings.push_back({pick(100), 1});
            }
            BlockPostingList list = BlockPostingList::from_posting_list(postings);
            if (!list.skip_list.empty() && pick(4) == 0) list.skip_list[pick(list.skip_list.size())].last_doc = pick(3200);
            const Bm25Weight w{.idf = 0.1f + static_cast<float>(pick(100)) / 17.0f, .avg_field_length = static_cast<float>(pick(30))};
            fast[kind].push_back(std::make_unique<TermScorer>(BlockPostingIterator(list), w));
            plain[kind].push_back(std::make_unique<PlainTermScorer>(list, w));
        }
        BooleanScorer a(std::move(fast[0]), std::move(fast[1]), std::move(fast[2]));
        const std::uint64_t budget = BooleanScorer::kStepsPerPosting * (a.postings_present().value() + 1);
        LiteralBoolean b(std::move(plain[0]), std::move(plain[1]), std::move(plain[2]), budget);
        // The per-segment search, or moves that now and then seek behind the
        // current document: a term scorer then goes back to an earlier block.
        if (round % 2 == 0) ASSERT_EQ(matches(collect_top_k(a, 5000)), matches(collect_top_k(b, 5000))) << round;
        else expect_same_moves(a, b, static_cast<std::uint32_t>(round), 2000, 100);
        if (HasFatalFailure()) FAIL() << round;
    }
}

// The step budget at its edge. One must clause over a block of 1000..1127
// and then a block holding 5: each match is one step, and going back from 5
// to 1000 is one more (a raise during agreement), so every round of 128
// matches takes 129 steps and the walk never ends by itself. The list's
// encoding holds 262 bytes in two blocks: 133 postings as the budget counts
// them, so 8 * (133 + 1) = 1072 steps. The 1072nd step is a match, the 40th
// of the ninth round: the walk gives exactly the 1064 matches that its steps
// reach, ends on 1039, and the step after is refused. It holds whether the
// walk goes by advance (one operation per match) or in one collection.
TEST(BooleanScorer, StepBudgetEndsTheWalkAtItsLastStep) {
    std::vector<std::uint32_t> wraps(128);
    for (std::uint32_t i = 0; i < 128; ++i) wraps[i] = 1000 + i;
    wraps.push_back(5);
    std::vector<std::uint32_t> want;  // the matches of 1072 steps
    for (std::uint64_t step = 1; step <= 1072; ++step)
        if (step % 129 != 0) want.push_back(1000 + static_cast<std::uint32_t>((step - 1) % 129));
    ASSERT_EQ(want.size(), 1064u);
    ASSERT_EQ(want.back(), 1039u);

    BooleanScorer stepped(scorers(term_over(wraps)), {}, {});
    ASSERT_EQ(stepped.postings_present(), 133u);
    EXPECT_EQ(docs(stepped), want);
    EXPECT_EQ(stepped.advance(), TERMINATED);  // spent: it stays spent

    BooleanScorer collected(scorers(term_over(wraps)), {}, {});
    std::vector<std::uint32_t> got;
    for (const auto& r : collect_top_k(collected, 5000)) got.push_back(r.doc_id);
    std::sort(got.begin(), got.end());
    std::vector<std::uint32_t> sorted_want = want;
    std::sort(sorted_want.begin(), sorted_want.end());
    EXPECT_EQ(got, sorted_want);
}
