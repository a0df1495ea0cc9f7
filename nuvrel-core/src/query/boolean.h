// Boolean combination of queries: every must clause, any should clause, no
// must_not clause. Scores add up over the clause scorers on the document.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "query/traits.h"

namespace nuvrel_core {

class TopKCollector;

class BooleanQuery final : public Query {
public:
    // Each appends one clause and returns the query, so that calls chain:
    // BooleanQuery().must(a).should(b).must_not(c).
    template <class Q>
        requires std::is_base_of_v<Query, std::remove_cvref_t<Q>>
    BooleanQuery must(Q&& clause) && {
        must_.push_back(std::make_unique<std::remove_cvref_t<Q>>(std::forward<Q>(clause)));
        return std::move(*this);
    }
    template <class Q>
        requires std::is_base_of_v<Query, std::remove_cvref_t<Q>>
    BooleanQuery should(Q&& clause) && {
        should_.push_back(std::make_unique<std::remove_cvref_t<Q>>(std::forward<Q>(clause)));
        return std::move(*this);
    }
    template <class Q>
        requires std::is_base_of_v<Query, std::remove_cvref_t<Q>>
    BooleanQuery must_not(Q&& clause) && {
        must_not_.push_back(std::make_unique<std::remove_cvref_t<Q>>(std::forward<Q>(clause)));
        return std::move(*this);
    }

    // For clauses built elsewhere, already boxed.
    void add_must(std::unique_ptr<Query> q) { must_.push_back(std::move(q)); }
    void add_should(std::unique_ptr<Query> q) { should_.push_back(std::move(q)); }
    void add_must_not(std::unique_ptr<Query> q) { must_not_.push_back(std::move(q)); }

    const std::vector<std::unique_ptr<Query>>& must_clauses() const noexcept { return must_; }
    const std::vector<std::unique_ptr<Query>>& should_clauses() const noexcept { return should_; }
    const std::vector<std::unique_ptr<Query>>& must_not_clauses() const noexcept { return must_not_; }

    // Clause scorers are made one at a time: must, should, then must_not, each
    // in order; the first error is returned and no later clause is asked.
    Task<Result<std::unique_ptr<Scorer>>> scorer(const AsyncSegmentReader& reader) const override;
    // The smallest must estimate; else the sum of the should estimates
    // (wrapping); else 0.
    Task<Result<std::uint32_t>> count_estimate(const AsyncSegmentReader& reader) const override;

private:
    std::vector<std::unique_ptr<Query>> must_;
    std::vector<std::unique_ptr<Query>> should_;
    std::vector<std::unique_ptr<Query>> must_not_;
};

class BooleanScorer final : public Scorer {
public:
    using Scorers = std::vector<std::unique_ptr<Scorer>>;

    // Positioned on the first match at once.
    BooleanScorer(Scorers must, Scorers should, Scorers must_not);

    std::uint32_t doc() const override { return doc_; }
    float score() const override;
    std::uint32_t advance() override;
    std::uint32_t seek(std::uint32_t target) override;
    std::uint32_t size_hint() const override;

    // Positions the clause scorers on the next match at or after where they
    // stand, stores it as the current document and returns it.
    std::uint32_t find_next_match();

    // Offers every match from the current one to the end to the collector,
    // exactly as doc()/score()/advance() would, without a virtual call per
    // match where every clause is a term scorer.
    void collect_into(TopKCollector& collector);

    // Over lists in order, every candidate the walk examines and every one
    // it raises during agreement lies past a posting of some clause, so a
    // walk takes at most two such steps per posting. Lists out of order can
    // make the steps go round for ever: a walk ends once it has taken
    // kStepsPerPosting steps for each posting its clauses hold, plus one.
    // Scorers of kinds that read no file bring no such bound, and a walk over
    // one of them is not bounded.
    static constexpr std::uint64_t kStepsPerPosting = 8;

    // The postings the clauses hold, as far as the bytes of their lists
    // allow; none when a clause is of a kind without a bound.
    std::optional<std::uint64_t> postings_present() const noexcept { return postings_present_; }

private:
    template <class S>
    auto view() const;
    template <class F>
    decltype(auto) dispatch(F&& f) const;

    Scorers must_;
    Scorers should_;
    Scorers must_not_;
    std::vector<Scorer*> clauses_;  // must, should, then must_not scorers, unowned
    bool terms_only_ = false;       // every clause scorer is a term scorer over block postings
    std::optional<std::uint64_t> postings_present_;
    // Handed to the walk's view for each operation and taken back after it.
    mutable std::uint64_t steps_left_ = std::numeric_limits<std::uint64_t>::max();
    std::uint32_t doc_ = TERMINATED;
};

}  // namespace nuvrel_core
