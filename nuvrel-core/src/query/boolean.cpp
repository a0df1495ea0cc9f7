#include "query/boolean.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "query/collector.h"
#include "query/term_scorer.h"
#include "structures/postings/posting.h"
#include "util/try.h"

namespace nuvrel_core {

namespace {

Task<Result<BooleanScorer::Scorers>> clause_scorers(const std::vector<std::unique_ptr<Query>>& clauses,
                                                    const AsyncSegmentReader& reader) {
    BooleanScorer::Scorers out;
    out.reserve(clauses.size());
    for (const auto& clause : clauses) {
        NUVREL_CO_TRY(std::unique_ptr<Scorer> s, co_await clause->scorer(reader));
        out.push_back(std::move(s));
    }
    co_return out;
}

}  // namespace

Task<Result<std::unique_ptr<Scorer>>> BooleanQuery::scorer(const AsyncSegmentReader& reader) const {
    NUVREL_CO_TRY(BooleanScorer::Scorers must, co_await clause_scorers(must_, reader));
    NUVREL_CO_TRY(BooleanScorer::Scorers should, co_await clause_scorers(should_, reader));
    NUVREL_CO_TRY(BooleanScorer::Scorers must_not, co_await clause_scorers(must_not_, reader));
    std::unique_ptr<Scorer> s = std::make_unique<BooleanScorer>(std::move(must), std::move(should), std::move(must_not));
    co_return s;
}

Task<Result<std::uint32_t>> BooleanQuery::count_estimate(const AsyncSegmentReader& reader) const {
    if (!must_.empty()) {
        std::uint32_t smallest = 0;
        bool first = true;
        for (const auto& clause : must_) {
            NUVREL_CO_TRY(std::uint32_t e, co_await clause->count_estimate(reader));
            smallest = first ? e : std::min(smallest, e);
            first = false;
        }
        co_return smallest;
    }
    std::uint32_t sum = 0;  // wraps modulo 2^32
    for (const auto& clause : should_) {
        NUVREL_CO_TRY(std::uint32_t e, co_await clause->count_estimate(reader));
        sum += e;
    }
    co_return sum;
}

namespace {

using TermScorer = BasicTermScorer<BlockPostingIterator>;

// A scorer that matches nothing can neither add to a score nor exclude a
// document: its document is always TERMINATED, which no match equals, and a
// score of +0.0 leaves any sum that starts at +0.0 as it is.
void drop_empty(BooleanScorer::Scorers& scorers) {
    std::erase_if(scorers, [](const auto& s) { return dynamic_cast<const EmptyScorer*>(s.get()) != nullptr; });
}

bool all_terms(const BooleanScorer::Scorers& scorers) {
    return std::ranges::all_of(scorers, [](const auto& s) { return dynamic_cast<const TermScorer*>(s.get()) != nullptr; });
}

// The walk over the clause scorers, written once for clause scorers of static
// type S: the Scorer interface in general, or the final term scorer class
// when every clause is one, so that its calls are direct and inline. The
// view holds where the clause pointers lie and how many of each kind there
// are, by value, so that the walk keeps them in registers; the steps left
// too: the scorer hands them in and takes back what is left once an
// operation is over, so a step costs no memory traffic.
template <class S>
class Clauses {
public:
    Clauses(Scorer* const* all, std::size_t n_must, std::size_t n_should, std::size_t n_must_not,
            std::uint64_t steps_left)
        : must_(all), should_(all + n_must), must_not_(all + n_must + n_should),
          n_must_(n_must), n_should_(n_should), n_must_not_(n_must_not), steps_left_(steps_left) {}

    std::uint64_t steps_left() const noexcept { return steps_left_; }

    // The next match at or after where the clause scorers stand, or TERMINATED.
    [[gnu::always_inline]] std::uint32_t find_next_match() const {
        if (n_must_ == 0 && n_should_ == 0) return TERMINATED;
        return settle(candidate());
    }

    // Must scorers first, then should scorers, each in order: float
    // addition is not associative, so this order is part of the score.
    float score(std::uint32_t doc) const {
        float total = 0.0f;
        for (std::size_t i = 0; i < n_must_; ++i) {
            const S& s = must(i);
            if (s.doc() == doc) total += s.score();
        }
        for (std::size_t i = 0; i < n_should_; ++i) {
            const S& s = should(i);
            if (s.doc() == doc) total += s.score();
        }
        return total;
    }

    // The match after `doc`, or TERMINATED. With kScore, *score first
    // becomes score(doc): the clause scorers are scored and moved in one pass
    // over them, each scored before it moves and the sum taken in the same
    // order, since every scorer moves on its own.
    template <bool kScore = false>
    [[gnu::always_inline]] std::uint32_t advance(std::uint32_t doc, float* score = nullptr) const {
        float total = 0.0f;
        std::uint32_t candidate;
        if (n_must_ != 0) {
            // The new candidate is the largest must document once all have moved.
            candidate = 0;
            for (std::size_t i = 0; i < n_must_; ++i) {
                S& s = must(i);
                if constexpr (kScore)
                    if (s.doc() == doc) total += s.score();
                s.advance();
                candidate = std::max(candidate, s.doc());
            }
            if constexpr (kScore)
                for (std::size_t i = 0; i < n_should_; ++i) {
                    const S& s = should(i);
                    if (s.doc() == doc) total += s.score();
                }
            candidate = agree(candidate);
        } else {
            // The new candidate is the smallest should document once those on
            // `doc` have moved.
            candidate = TERMINATED;
            for (std::size_t i = 0; i < n_should_; ++i) {
                S& s = should(i);
                std::uint32_t d = s.doc();
                if (d == doc) {
                    if constexpr (kScore) total += s.score();
                    s.advance();
                    d = s.doc();
                }
                if (d != TERMINATED) candidate = std::min(candidate, d);
            }
        }
        if constexpr (kScore) *score = total;
        return settle(candidate);
    }

    std::uint32_t seek(std::uint32_t target) const {
        for (std::size_t i = 0; i < n_must_; ++i) must(i).seek(target);
        for (std::size_t i = 0; i < n_should_; ++i) should(i).seek(target);
        return find_next_match();
    }

private:
    S& must(std::size_t i) const { return static_cast<S&>(*must_[i]); }
    S& should(std::size_t i) const { return static_cast<S&>(*should_[i]); }
    S& must_not(std::size_t i) const { return static_cast<S&>(*must_not_[i]); }

    // With must clauses, the first document every must scorer agrees on;
    // without, the smallest should document; TERMINATED when there is none.
    std::uint32_t candidate() const {
        if (n_must_ != 0) {
            std::uint32_t candidate = 0;
            for (std::size_t i = 0; i < n_must_; ++i) candidate = std::max(candidate, must(i).doc());
            return agree(candidate);
        }
        std::uint32_t candidate = TERMINATED;
        for (std::size_t i = 0; i < n_should_; ++i) {
            const std::uint32_t d = should(i).doc();
            if (d != TERMINATED) candidate = std::min(candidate, d);
        }
        return candidate;
    }

    // Agreement: the must scorers are sought to the candidate in order,
    // restarting from the first whenever one lands past it, until one whole
    // pass agrees. TERMINATED as soon as one runs out.
    std::uint32_t agree(std::uint32_t candidate) const {
        if (candidate == TERMINATED) return TERMINATED;
        std::size_t i = 0;
        while (i < n_must_) {
            const std::uint32_t d = must(i).seek(candidate);
            if (d == TERMINATED) return TERMINATED;
            if (d > candidate) {
                if (!take_step()) return TERMINATED;
                candidate = d;
                i = 0;
            } else {
                ++i;
            }
        }
        return candidate;
    }

    // From a candidate to the match: candidates that a must_not scorer holds
    // are stepped past until one is not.
    [[gnu::always_inline]] std::uint32_t settle(std::uint32_t candidate) const {
        for (;;) {
            if (candidate == TERMINATED) return TERMINATED;
            if (!take_step()) return TERMINATED;
            if (!excluded(candidate)) return candidate;
            if (n_must_ != 0) {
                for (std::size_t i = 0; i < n_must_; ++i) must(i).advance();
            } else {
                for (std::size_t i = 0; i < n_should_; ++i) {
                    S& s = should(i);
                    const std::uint32_t d = s.doc();
                    if (d <= candidate && d != TERMINATED) s.seek(candidate + 1);
                }
            }
            candidate = this->candidate();
        }
    }

    bool excluded(std::uint32_t candidate) const {
        for (std::size_t i = 0; i < n_must_not_; ++i)
            if (must_not(i).seek(candidate) == candidate) return true;
        return false;
    }

    // One step of the walk: a candidate examined, or one raised during
    // agreement. False once the walk's budget is spent; it stays spent.
    bool take_step() const {
        if (steps_left_ == 0) [[unlikely]]
            return false;
        --steps_left_;
        return true;
    }

    Scorer* const* must_;
    Scorer* const* should_;
    Scorer* const* must_not_;
    std::size_t n_must_, n_should_, n_must_not_;
    mutable std::uint64_t steps_left_;
};

// The postings a clause scorer walks, as far as the bytes of its lists
// allow (a pair takes at least two bytes; a block without pairs is still one
// step); none for a scorer of a kind that reads no file and is trusted to end.
std::optional<std::uint64_t> clause_postings(const Scorer& s) {
    if (dynamic_cast<const EmptyScorer*>(&s) != nullptr) return 0;
    if (const auto* term = dynamic_cast<const TermScorer*>(&s)) {
        const BlockPostingList& list = term->cursor().list;
        return list.data.size() / 2 + list.skip_list.size();
    }
    if (const auto* boolean = dynamic_cast<const BooleanScorer*>(&s)) return boolean->postings_present();
    return std::nullopt;
}

}  // namespace

BooleanScorer::BooleanScorer(Scorers must, Scorers should, Scorers must_not)
    : must_(std::move(must)), should_(std::move(should)), must_not_(std::move(must_not)) {
    drop_empty(should_);
    drop_empty(must_not_);
    terms_only_ = all_terms(must_) && all_terms(should_) && all_terms(must_not_);
    clauses_.reserve(must_.size() + should_.size() + must_not_.size());
    std::uint64_t postings = 0;
    bool bounded = true;
    for (const Scorers* list : {&must_, &should_, &must_not_})
        for (const auto& s : *list) {
            clauses_.push_back(s.get());
            const std::optional<std::uint64_t> n = clause_postings(*s);
            bounded = bounded && n.has_value();
            postings += n.value_or(0);
        }
    if (bounded) {
        postings_present_ = postings;
        steps_left_ = kStepsPerPosting * (postings + 1);
    }
    doc_ = find_next_match();
}

template <class S>
auto BooleanScorer::view() const {
    return Clauses<S>(clauses_.data(), must_.size(), should_.size(), must_not_.size(), steps_left_);
}

// Each operation takes the walk for term clauses when it can, else the
// general one, and keeps the steps it left.
template <class F>
decltype(auto) BooleanScorer::dispatch(F&& f) const {
    const auto walk = [this, &f](const auto& c) {
        auto out = f(c);
        steps_left_ = c.steps_left();
        return out;
    };
    return terms_only_ ? walk(view<TermScorer>()) : walk(view<Scorer>());
}

std::uint32_t BooleanScorer::find_next_match() {
    return doc_ = dispatch([](const auto& c) { return c.find_next_match(); });
}

float BooleanScorer::score() const {
    return dispatch([doc = doc_](const auto& c) { return c.score(doc); });
}

std::uint32_t BooleanScorer::advance() {
    return doc_ = dispatch([doc = doc_](const auto& c) { return c.advance(doc); });
}

std::uint32_t BooleanScorer::seek(std::uint32_t target) {
    return doc_ = dispatch([target](const auto& c) { return c.seek(target); });
}

void BooleanScorer::collect_into(TopKCollector& collector) {
    doc_ = dispatch([&collector, doc = doc_](const auto& c) {
        std::uint32_t d = doc;
        while (d != TERMINATED) {
            float score;
            const std::uint32_t next = c.template advance<true>(d, &score);
            collector.collect(d, score);
            d = next;
        }
        return d;
    });
}

std::uint32_t BooleanScorer::size_hint() const {
    if (!must_.empty()) {
        std::uint32_t smallest = must_.front()->size_hint();
        for (const auto& s : must_) smallest = std::min(smallest, s->size_hint());
        return smallest;
    }
    std::uint32_t sum = 0;
    for (const auto& s : should_) sum += s->size_hint();
    return sum;
}

}  // namespace nuvrel_core
