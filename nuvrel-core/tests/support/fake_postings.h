// A posting cursor with the members the term scorer walks (list.skip_list,
// the decoded `block`, current_block, position, exhausted, load_block), over
// blocks given already decoded; load_block behaves as the real one does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace nuvrel_test {

using PostingPair = std::pair<std::uint32_t, std::uint32_t>;  // (document, frequency)

struct FakeSkip {
    std::uint32_t first_doc, last_doc, offset;
};

struct FakeList {
    std::uint32_t doc_count = 0;
    std::vector<FakeSkip> skip_list;
    std::vector<std::vector<PostingPair>> blocks;
};

struct FakeCursor {
    std::vector<PostingPair> block;
    FakeList list;
    std::size_t current_block = 0;
    std::size_t position = 0;
    bool exhausted = false;

    explicit FakeCursor(FakeList l) : list(std::move(l)) {
        if (list.skip_list.empty()) exhausted = true;
        else load_block(0);
    }
    void load_block(std::size_t i) {
        if (i >= list.skip_list.size()) {
            exhausted = true;
            return;
        }
        current_block = i;
        position = 0;
        block.assign(list.blocks[i].begin(), list.blocks[i].end());
    }
};

// Blocks with honest skip entries.
inline FakeList list_of(std::vector<std::vector<PostingPair>> blocks) {
    FakeList l;
    for (auto& b : blocks) {
        l.skip_list.push_back(FakeSkip{b.empty() ? 0 : b.front().first, b.empty() ? 0 : b.back().first, 0});
        l.doc_count += static_cast<std::uint32_t>(b.size());
    }
    l.blocks = std::move(blocks);
    return l;
}

}  // namespace nuvrel_test
