#include "query/collector.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "query/boolean.h"
#include "query/term_scorer.h"
#include "structures/postings/posting.h"
#include "util/try.h"

namespace nuvrel_core {

namespace {

// True when x stands above y in the heap: x is the worse result.
bool worse(const SearchResult& x, const SearchResult& y) noexcept {
    if (x.score < y.score) return true;
    if (x.score > y.score) return false;
    return x.doc_id > y.doc_id;  // equal scores, or a NaN on either side
}

}  // namespace

bool ranks_before(const SearchResult& a, const SearchResult& b) noexcept {
    if (a.score > b.score) return true;
    if (a.score < b.score) return false;
    return a.doc_id < b.doc_id;
}

TopKCollector::TopKCollector(std::size_t k) : k_(k) {
    // k + 1 wraps to 0 for the largest k, which reserves nothing.
    heap_.reserve(std::min<std::size_t>(k + 1, max_reserved));
}

// The heap moves follow a classic binary max-heap whose greatest element is
// the worst result: push sifts up; removing the top moves the last element to
// the root, walks the hole down to a leaf along the greater children and sifts
// it back up. With NaN scores the order is not total, and then the resulting
// layout, and so the order the sort sees, depends on exactly these moves.
void TopKCollector::sift_up(std::size_t start, std::size_t pos) {
    SearchResult elem = heap_[pos];
    while (pos > start) {
        const std::size_t parent = (pos - 1) / 2;
        if (!worse(elem, heap_[parent])) break;
        heap_[pos] = heap_[parent];
        pos = parent;
    }
    heap_[pos] = elem;
}

// push and pop_top stay out of line so that collect, whose common case is a
// rejection, stays small.
[[gnu::noinline]] void TopKCollector::push(SearchResult r) {
    heap_.push_back(r);
    sift_up(0, heap_.size() - 1);
}

[[gnu::noinline]] void TopKCollector::pop_top() {
    SearchResult last = heap_.back();
    heap_.pop_back();
    if (heap_.empty()) return;
    heap_[0] = last;
    const std::size_t end = heap_.size();
    std::size_t pos = 0;
    std::size_t child = 1;
    while (end >= 2 && child <= end - 2) {
        // Take the worse child; the right one unless the left is strictly worse.
        if (!worse(heap_[child], heap_[child + 1])) child += 1;
        heap_[pos] = heap_[child];
        pos = child;
        child = 2 * pos + 1;
    }
    if (child == end - 1) {
        heap_[pos] = heap_[child];
        pos = child;
    }
    heap_[pos] = last;
    sift_up(0, pos);
}

namespace {

// Stable insertion sort of v[from, to): each element moves left past those it
// ranks before, never past `from`.
void insertion_sort(std::vector<SearchResult>& v, std::size_t from, std::size_t to) {
    for (std::size_t i = from + 1; i < to; ++i) {
        SearchResult tmp = v[i];
        std::size_t j = i;
        while (j > from && ranks_before(tmp, v[j - 1])) {
            v[j] = v[j - 1];
            --j;
        }
        v[j] = tmp;
    }
}

// Stable bottom-up merge sort. With NaN scores the order is not a strict
// weak order, and library sorts may then read outside the array; here every
// loop is bounded by indexes, so such results may come out in any order but
// none is lost, duplicated or read out of bounds.
void merge_sort(std::vector<SearchResult>& v) {
    constexpr std::size_t run = 16;
    const std::size_t n = v.size();
    for (std::size_t from = 0; from < n; from += run) insertion_sort(v, from, std::min(n, from + run));
    std::vector<SearchResult> buf(n);
    for (std::size_t width = run; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(n, lo + width), hi = std::min(n, lo + 2 * width);
            std::size_t a = lo, b = mid, out = lo;
            while (a < mid && b < hi) buf[out++] = ranks_before(v[b], v[a]) ? v[b++] : v[a++];
            while (a < mid) buf[out++] = v[a++];
            while (b < hi) buf[out++] = v[b++];
        }
        v.swap(buf);
    }
}

}  // namespace

std::vector<SearchResult> TopKCollector::into_sorted_results() && {
    std::vector<SearchResult> v = std::move(heap_);
    if (v.size() <= 20) insertion_sort(v, 0, v.size());
    else merge_sort(v);
    return v;
}

std::vector<SearchResult> collect_top_k(Scorer& scorer, std::size_t limit) {
    TopKCollector collector(limit);
    // A term query's scorer is walked without a virtual call per posting.
    if (auto* term = dynamic_cast<BasicTermScorer<BlockPostingIterator>*>(&scorer)) {
        // Once the heap is full, a score that is not above the worst kept
        // one (or NaN) cannot enter: one comparison against a local copy
        // rejects it. A limit of 0 keeps nothing, which +inf also rejects.
        bool full = limit == 0;
        float bar = std::numeric_limits<float>::infinity();
        term->for_each_match([&](std::uint32_t doc, float score) {
            if (full && !(score > bar)) [[likely]]
                return;
            collector.collect(doc, score);
            if (collector.size() >= limit) {
                full = true;
                bar = collector.worst_score();
            }
        });
        return std::move(collector).into_sorted_results();
    }
    if (auto* boolean = dynamic_cast<BooleanScorer*>(&scorer)) {
        boolean->collect_into(collector);
        return std::move(collector).into_sorted_results();
    }
    std::uint32_t d = scorer.doc();
    while (d != TERMINATED) {
        collector.collect(d, scorer.score());
        d = scorer.advance();
    }
    return std::move(collector).into_sorted_results();
}

Task<Result<std::vector<SearchResult>>> search_segment(std::shared_ptr<const AsyncSegmentReader> reader,
                                                       const Query& query, std::size_t limit) {
    NUVREL_CO_TRY(std::unique_ptr<Scorer> scorer, co_await query.scorer(*reader));
    std::vector<SearchResult> results = collect_top_k(*scorer, limit);
    co_return results;
}

}  // namespace nuvrel_core
