// Top-k collection of one segment's matches and the per-segment search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "query/traits.h"

namespace nuvrel_core {

struct SearchResult {
    std::uint32_t doc_id = 0;  // segment-local
    float score = 0.0f;

    bool operator==(const SearchResult&) const = default;
};

// Result order: higher score first; when the scores are equal or either is
// NaN, the lower document number first.
bool ranks_before(const SearchResult& a, const SearchResult& b) noexcept;

// Keeps the best k results offered. The heap's top is the worst kept result:
// the lowest score, and among equal scores the highest document number.
class TopKCollector {
public:
    // Room is reserved up front for k + 1 results, but never more than
    // max_reserved: a huge limit grows the heap as results arrive instead of
    // failing to reserve.
    static constexpr std::size_t max_reserved = 1 << 16;

    explicit TopKCollector(std::size_t k);

    // Offers one result. Once k are held, a result enters only with a score
    // strictly above the top's (never when either is NaN), and the top leaves.
    // Inline, so that the scoring loops reject a result with one comparison
    // and no call.
    void collect(std::uint32_t doc_id, float score) {
        if (heap_.size() >= k_) [[likely]] {
            if (k_ == 0 || !(score > heap_.front().score)) return;
            pop_top();
        }
        push(SearchResult{doc_id, score});
    }

    std::size_t size() const noexcept { return heap_.size(); }
    // The worst kept score; only while a result is held.
    float worst_score() const noexcept { return heap_.front().score; }

    // The results, best first (a stable sort of the heap's array).
    std::vector<SearchResult> into_sorted_results() &&;

private:
    void push(SearchResult r);
    void pop_top();
    void sift_up(std::size_t start, std::size_t pos);

    std::vector<SearchResult> heap_;
    std::size_t k_;
};

// Walks every match of the scorer to the end, whatever the limit, and
// returns the best `limit`, best first.
std::vector<SearchResult> collect_top_k(Scorer& scorer, std::size_t limit);

// Runs the query on one segment. The query must stay alive until the task
// completes; the reader is held by the task.
Task<Result<std::vector<SearchResult>>> search_segment(std::shared_ptr<const AsyncSegmentReader> reader,
                                                       const Query& query, std::size_t limit);

}  // namespace nuvrel_core
