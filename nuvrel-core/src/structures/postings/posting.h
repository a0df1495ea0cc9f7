// Posting lists in blocks of up to 128 (document, frequency) pairs, each
// block located by a skip entry, and the cursor that decodes them one block
// at a time (the term scorer walks it).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "directories/owned_bytes.h"
#include "io_error.h"
#include "util/fast_vint.h"

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
    // The list of an inline dictionary entry: `doc_freq` pairs of (document
    // delta, frequency) varints, the encoding of a block's pairs. None when
    // the bytes hold fewer pairs. The pairs are read where they lie and become
    // the block as they are, so the list equals from_posting_list of the
    // decoded postings byte for byte without decoding and re-encoding them.
    static std::optional<BlockPostingList> from_inline(std::uint32_t doc_freq, ByteView bytes);

    // Where block i's pairs begin (p, up to end) and the count its header
    // claims; false for a block that decodes to no pairs: an offset past the
    // data, or a count that is unreadable or zero. i must be a block's index.
    bool block_header(std::size_t i, const std::uint8_t*& p, const std::uint8_t*& end,
                      std::uint64_t& count) const noexcept {
        const std::uint8_t* base = data.data();
        end = base + data.size();
        const std::size_t offset = skip_list[i].offset;
        p = offset <= data.size() ? base + offset : end;
        count = 0;
        if (!fast_vint(p, end, count)) count = 0;
        return count != 0;
    }
};

// Decodes the pairs that follow a block's count, handing each to
// emit(doc, tf) in order until emit returns false; returns how many were
// taken (emit returned true). Bytes that run short yield fewer pairs, and
// never more than min(count, (end - p) / 2 + 1): every pair takes at least
// two bytes.
template <class Emit>
std::size_t decode_block_pairs(const std::uint8_t* p, const std::uint8_t* end, std::uint64_t count, Emit&& emit) {
    std::size_t n = 0;
    std::uint64_t doc = 0, tf = 0;
    std::uint32_t prev = 0;
    const bool first_ok = fast_vint(p, end, doc) & fast_vint(p, end, tf);
    if (first_ok) {
        prev = static_cast<std::uint32_t>(doc);
        if (!emit(prev, static_cast<std::uint32_t>(tf))) return n;
        ++n;
    }
    std::uint64_t k = 1;
    // Bulk: two varints take at most twenty bytes.
    while (k < count && end - p >= 20) {
        // Most pairs are a one-byte gap and a one-byte frequency: a run of
        // them needs one bound, the number of pairs that keep twenty bytes
        // ahead at two bytes each.
        const std::uint64_t run = std::min(count - k, static_cast<std::uint64_t>(end - p - 20) / 2 + 1);
        std::uint64_t j = 0;
        for (; j < run; ++j) {
            const std::uint8_t a = p[0], b = p[1];
            if ((a | b) & 0x80) break;
            prev += a;
            p += 2;
            if (!emit(prev, static_cast<std::uint32_t>(b & 0x7F))) return n + j;
        }
        n += j;
        k += j;
        if (j == run) continue;
        std::uint64_t delta, f;
        const bool ok = unchecked_vint(p, delta) & unchecked_vint(p, f);
        if (ok) [[likely]] {
            prev += static_cast<std::uint32_t>(delta);
            if (!emit(prev, static_cast<std::uint32_t>(f))) return n;
            ++n;
        }
        ++k;
    }
    for (; k < count && p < end; ++k) {
        std::uint64_t delta, f;
        const bool ok = fast_vint(p, end, delta) & fast_vint(p, end, f);
        if (ok) [[likely]] {
            prev += static_cast<std::uint32_t>(delta);
            if (!emit(prev, static_cast<std::uint32_t>(f))) return n;
            ++n;
        }
    }
    return n;
}

struct BlockPostingIterator {
    // Pairs a cursor may decode per byte of its serialized list. A walk
    // forward over a sound list decodes each pair once, and a pair takes at
    // least two bytes: under half a pair per byte. Only skip entries whose
    // blocks overlap (many naming the same bytes) or walks that keep going
    // back to earlier blocks decode more; past this the cursor is exhausted,
    // so no list costs time out of proportion to its bytes.
    static constexpr std::uint64_t kDecodesPerByte = 16;

    std::vector<std::pair<std::uint32_t, std::uint32_t>> block;  // decoded (doc, tf) of the current block
    BlockPostingList list;
    std::size_t current_block = 0;
    std::size_t position = 0;
    bool exhausted = false;
    std::uint64_t decode_budget = 0;  // pairs still allowed, see kDecodesPerByte

    // Takes the list over; block 0 is decoded at once, and a list without
    // blocks starts exhausted.
    explicit BlockPostingIterator(BlockPostingList list);

    // Makes block i current at position 0; an i past the last block sets
    // `exhausted` and changes nothing else. Bytes that run short yield fewer
    // pairs, never a failure. A block beyond the decode budget also sets
    // `exhausted` and changes nothing else.
    void load_block(std::size_t i);

    // Block i's pairs as block_header finds them, charged to the decode
    // budget: returns the charge, the most pairs its bytes can yield; 0 for a
    // block without pairs, and 0 with `exhausted` set when the budget cannot
    // cover the charge.
    // Inline: the walks call it once a block.
    std::uint64_t claim_block(std::size_t i, const std::uint8_t*& p, const std::uint8_t*& end, std::uint64_t& count) {
        if (!list.block_header(i, p, end, count)) return 0;
        // Every pair but a last, failed one takes at least two bytes.
        const std::uint64_t most = std::min(count, static_cast<std::uint64_t>(end - p) / 2 + 1);
        if (most > decode_budget) [[unlikely]] {
            exhausted = true;
            return 0;
        }
        decode_budget -= most;
        return most;
    }
};

}  // namespace nuvrel_core
