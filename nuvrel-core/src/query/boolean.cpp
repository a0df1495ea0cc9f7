#include "query/boolean.h"

#include <algorithm>

namespace nuvrel_core {

namespace {

Task<Result<BooleanScorer::Scorers>> clause_scorers(const std::vector<std::unique_ptr<Query>>& clauses,
                                                    const AsyncSegmentReader& reader) {
    BooleanScorer::Scorers out;
    out.reserve(clauses.size());
    for (const auto& clause : clauses) {
        auto s = co_await clause->scorer(reader);
        if (!s) co_return std::unexpected(std::move(s.error()));
        out.push_back(std::move(*s));
    }
    co_return out;
}

}  // namespace

Task<Result<std::unique_ptr<Scorer>>> BooleanQuery::scorer(const AsyncSegmentReader& reader) const {
    auto must = co_await clause_scorers(must_, reader);
    if (!must) co_return std::unexpected(std::move(must.error()));
    auto should = co_await clause_scorers(should_, reader);
    if (!should) co_return std::unexpected(std::move(should.error()));
    auto must_not = co_await clause_scorers(must_not_, reader);
    if (!must_not) co_return std::unexpected(std::move(must_not.error()));
    std::unique_ptr<Scorer> s =
        std::make_unique<BooleanScorer>(std::move(*must), std::move(*should), std::move(*must_not));
    co_return s;
}

Task<Result<std::uint32_t>> BooleanQuery::count_estimate(const AsyncSegmentReader& reader) const {
    if (!must_.empty()) {
        std::uint32_t smallest = 0;
        bool first = true;
        for (const auto& clause : must_) {
            auto e = co_await clause->count_estimate(reader);
            if (!e) co_return std::unexpected(std::move(e.error()));
            smallest = first ? *e : std::min(smallest, *e);
            first = false;
        }
        co_return smallest;
    }
    std::uint32_t sum = 0;  // wraps modulo 2^32
    for (const auto& clause : should_) {
        auto e = co_await clause->count_estimate(reader);
        if (!e) co_return std::unexpected(std::move(e.error()));
        sum += *e;
    }
    co_return sum;
}

BooleanScorer::BooleanScorer(Scorers must, Scorers should, Scorers must_not)
    : must_(std::move(must)), should_(std::move(should)), must_not_(std::move(must_not)) {
    doc_ = find_next_match();
}

std::uint32_t BooleanScorer::must_candidate() {
    std::uint32_t candidate = 0;
    for (const auto& s : must_) candidate = std::max(candidate, s->doc());
    if (candidate == TERMINATED) return TERMINATED;
    // Agreement: restart from the first must scorer whenever one lands past
    // the candidate, until one whole pass agrees.
    std::size_t i = 0;
    while (i < must_.size()) {
        const std::uint32_t d = must_[i]->seek(candidate);
        if (d == TERMINATED) return TERMINATED;
        if (d > candidate) {
            candidate = d;
            i = 0;
        } else {
            ++i;
        }
    }
    return candidate;
}

std::uint32_t BooleanScorer::should_candidate() const {
    std::uint32_t candidate = TERMINATED;
    for (const auto& s : should_) {
        const std::uint32_t d = s->doc();
        if (d != TERMINATED) candidate = std::min(candidate, d);
    }
    return candidate;
}

bool BooleanScorer::excluded(std::uint32_t candidate) {
    for (const auto& s : must_not_)
        if (s->seek(candidate) == candidate) return true;
    return false;
}

std::uint32_t BooleanScorer::find_next_match() { return find_next_match_from(0); }

std::uint32_t BooleanScorer::find_next_match_from(std::uint64_t floor) {
    if (must_.empty() && should_.empty()) return doc_ = TERMINATED;
    for (;;) {
        const std::uint32_t candidate = must_.empty() ? should_candidate() : must_candidate();
        if (candidate == TERMINATED) return doc_ = TERMINATED;
        // Clause scorers over ordered lists only move forward, so a candidate
        // below the floor means a list out of order; walking on could revisit
        // the same documents for ever.
        if (candidate < floor) return doc_ = TERMINATED;
        if (!excluded(candidate)) return doc_ = candidate;
        floor = static_cast<std::uint64_t>(candidate) + 1;
        if (!must_.empty()) {
            for (const auto& s : must_) s->advance();
        } else {
            for (const auto& s : should_) {
                const std::uint32_t d = s->doc();
                if (d <= candidate && d != TERMINATED) s->seek(candidate + 1);
            }
        }
    }
}

float BooleanScorer::score() const {
    float total = 0.0f;
    for (const auto& s : must_)
        if (s->doc() == doc_) total += s->score();
    for (const auto& s : should_)
        if (s->doc() == doc_) total += s->score();
    return total;
}

std::uint32_t BooleanScorer::advance() {
    if (!must_.empty()) {
        for (const auto& s : must_) s->advance();
    } else {
        for (const auto& s : should_)
            if (s->doc() == doc_) s->advance();
    }
    return find_next_match_from(static_cast<std::uint64_t>(doc_) + 1);
}

std::uint32_t BooleanScorer::seek(std::uint32_t target) {
    for (const auto& s : must_) s->seek(target);
    for (const auto& s : should_) s->seek(target);
    return find_next_match();
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
