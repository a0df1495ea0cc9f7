// The bisection shared by the term dictionary and the document store.
#pragma once

#include <cstddef>

namespace nuvrel_core {

// Over n entries, `cmp_to_target(i)` orders entry i's key against the target
// (<0 less, 0 equal, >0 greater). Returns {found, index}: the found position,
// or else the insertion point. The halving keeps the last entry not greater
// than the target, so among equal keys the last one is found.
struct SearchOutcome {
    bool found = false;
    std::size_t index = 0;
};

template <class Cmp>
SearchOutcome bisect(std::size_t n, Cmp cmp_to_target) {
    if (n == 0) return {false, 0};
    std::size_t base = 0, size = n;
    while (size > 1) {
        const std::size_t half = size / 2, mid = base + half;
        if (cmp_to_target(mid) <= 0) base = mid;
        size -= half;
    }
    const int c = cmp_to_target(base);
    if (c == 0) return {true, base};
    if (c < 0) return {false, base + 1};
    return {false, base};
}

}  // namespace nuvrel_core
