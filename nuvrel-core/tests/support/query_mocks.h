// Scorers and queries over fixed document lists, for testing the query
// combinators and collection without a segment.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "query/traits.h"

namespace nuvrel_test {

struct Hit {
    std::uint32_t doc;
    float score;
};

// Walks an ascending list of hits; seek never moves backwards.
class ListScorer final : public nuvrel_core::Scorer {
public:
    explicit ListScorer(std::vector<Hit> hits, std::uint32_t hint = 0) : hits_(std::move(hits)), hint_(hint) {}

    std::uint32_t doc() const override { return pos_ < hits_.size() ? hits_[pos_].doc : nuvrel_core::TERMINATED; }
    float score() const override { return pos_ < hits_.size() ? hits_[pos_].score : 0.0f; }
    std::uint32_t advance() override {
        ++advances;
        if (pos_ < hits_.size()) ++pos_;
        return doc();
    }
    std::uint32_t seek(std::uint32_t target) override {
        while (pos_ < hits_.size() && hits_[pos_].doc < target) ++pos_;
        return doc();
    }
    std::uint32_t size_hint() const override { return hint_; }

    int advances = 0;

private:
    std::vector<Hit> hits_;
    std::size_t pos_ = 0;
    std::uint32_t hint_;
};

inline std::unique_ptr<nuvrel_core::Scorer> list_scorer(std::vector<Hit> hits, std::uint32_t hint = 0) {
    return std::make_unique<ListScorer>(std::move(hits), hint);
}

// A query whose scorer walks fixed hits, or that fails; it records how often
// it was asked.
class ListQuery final : public nuvrel_core::Query {
public:
    explicit ListQuery(std::vector<Hit> hits, std::uint32_t estimate = 0) : hits_(std::move(hits)), estimate_(estimate) {}
    static ListQuery failing(std::string message) {
        ListQuery q({});
        q.failure_ = std::move(message);
        return q;
    }

    nuvrel_core::Task<nuvrel_core::Result<std::unique_ptr<nuvrel_core::Scorer>>> scorer(
        const nuvrel_core::AsyncSegmentReader&) const override {
        ++*calls_;
        if (failure_) co_return std::unexpected(nuvrel_core::Error::corruption(*failure_));
        std::unique_ptr<nuvrel_core::Scorer> s = list_scorer(hits_);
        co_return s;
    }
    nuvrel_core::Task<nuvrel_core::Result<std::uint32_t>> count_estimate(
        const nuvrel_core::AsyncSegmentReader&) const override {
        ++*calls_;
        if (failure_) co_return std::unexpected(nuvrel_core::Error::corruption(*failure_));
        co_return estimate_;
    }

    // Shared, so the count survives the query being moved into a boolean query.
    std::shared_ptr<int> calls_ = std::make_shared<int>(0);

private:
    std::vector<Hit> hits_;
    std::uint32_t estimate_;
    std::optional<std::string> failure_;
};

// The mock queries never touch the reader; they only need a reference to pass
// along, so a stand-in address is enough.
inline const nuvrel_core::AsyncSegmentReader& unused_reader() {
    static const char stand_in = 0;
    return *reinterpret_cast<const nuvrel_core::AsyncSegmentReader*>(&stand_in);
}

inline std::shared_ptr<const nuvrel_core::AsyncSegmentReader> unused_reader_handle() {
    return std::shared_ptr<const nuvrel_core::AsyncSegmentReader>(std::shared_ptr<void>(), &unused_reader());
}

}  // namespace nuvrel_test
