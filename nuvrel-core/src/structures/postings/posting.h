// Posting lists in blocks of up to 128 (document, frequency) pairs, each
// block located by a skip entry, and the cursor that decodes them one block
// at a time (the term scorer walks it).
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "directories/owned_bytes.h"
#include "io_error.h"

namespace nuvrel_core {

struct Posting {
    std::uint32_t doc_id = 0;
    std::uint32_t term_freq = 0;
    friend bool operator==(const Posting&, const Posting&) = default;
};

struct SkipEntry {
    std::uint32_t first_doc = 0;
    std::uint32_t last_doc = 0;
    std::uint32_t offset = 0;  // start of the block in BlockPostingList::data
    friend bool operator==(const SkipEntry&, const SkipEntry&) = default;
};

struct BlockPostingList {
    static constexpr std::size_t kBlockSize = 128;

    std::vector<SkipEntry> skip_list;
    OwnedBytes data;  // the encoded blocks; shares the bytes it was read from
    std::uint32_t doc_count = 0;

    // doc_count, num_blocks, the skip entries, data_len, data. `data` is cut
    // out of `bytes` without copying; bytes after it are not read.
    static IoResult<BlockPostingList> deserialize(const OwnedBytes& bytes);
    // Encodes the postings in the order given, 128 to a block.
    static BlockPostingList from_posting_list(std::span<const Posting> postings);
};

struct BlockPostingIterator {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> block;  // decoded (doc, tf) of the current block
    BlockPostingList list;
    std::size_t current_block = 0;
    std::size_t position = 0;
    bool exhausted = false;

    // Takes the list over; block 0 is decoded at once, and a list without
    // blocks starts exhausted.
    explicit BlockPostingIterator(BlockPostingList list);

    // Makes block i current at position 0; an i past the last block sets
    // `exhausted` and changes nothing else. Bytes that run short yield fewer
    // pairs, never a failure.
    void load_block(std::size_t i);
};

}  // namespace nuvrel_core
