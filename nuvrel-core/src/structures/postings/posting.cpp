#include "structures/postings/posting.h"

#include <algorithm>
#include <array>
#include <limits>

#include "util/byte_reader.h"
#include "util/try.h"

namespace nuvrel_core {

namespace {

// A varint takes at most ten bytes.
constexpr std::size_t kMaxVint = 10;

std::uint8_t* put_vint(std::uint8_t* out, std::uint64_t v) {
    while (v >= 0x80) {
        *out++ = static_cast<std::uint8_t>(v | 0x80);
        v >>= 7;
    }
    *out++ = static_cast<std::uint8_t>(v);
    return out;
}

std::size_t vint_len(std::uint64_t v) {
    std::size_t n = 1;
    for (; v >= 0x80; v >>= 7) ++n;
    return n;
}

}  // namespace

IoResult<BlockPostingList> BlockPostingList::deserialize(const OwnedBytes& bytes) {
    ByteReader in(bytes);
    const std::uint32_t doc_count = in.u32();
    const std::uint32_t num_blocks = in.u32();
    // Taken as one run before anything is reserved for the count.
    const ByteView entries = in.take(std::uint64_t{num_blocks} * 12);
    const std::uint32_t data_len = in.u32();
    const ByteView data = in.take(data_len);
    NUVREL_TRY_VOID(in.status());

    BlockPostingList list;
    list.skip_list.resize(num_blocks);
    const std::uint8_t* q = entries.data();
    for (SkipEntry& e : list.skip_list) {
        e = {load_le<std::uint32_t>(q), load_le<std::uint32_t>(q + 4), load_le<std::uint32_t>(q + 8)};
        q += 12;
    }
    const std::size_t start = static_cast<std::size_t>(data.data() - bytes.data());
    list.data = bytes.slice(start, start + data_len);
    list.doc_count = doc_count;
    return list;
}

BlockPostingList BlockPostingList::from_posting_list(std::span<const Posting> postings) {
    BlockPostingList list;
    const std::size_t blocks = (postings.size() + kBlockSize - 1) / kBlockSize;
    list.skip_list.reserve(blocks);
    // Sized for the longest encoding once, then cut to what was written.
    std::vector<std::uint8_t> data(blocks * kMaxVint + postings.size() * 2 * kMaxVint);
    std::uint8_t* out = data.data();
    for (std::size_t from = 0; from < postings.size(); from += kBlockSize) {
        auto chunk = postings.subspan(from, std::min(kBlockSize, postings.size() - from));
        list.skip_list.push_back(
            {chunk.front().doc_id, chunk.back().doc_id, static_cast<std::uint32_t>(out - data.data())});
        out = put_vint(out, chunk.size());
        std::uint32_t prev = 0;
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            out = put_vint(out, i == 0 ? chunk[i].doc_id : chunk[i].doc_id - prev);
            out = put_vint(out, chunk[i].term_freq);
            prev = chunk[i].doc_id;
        }
    }
    data.resize(static_cast<std::size_t>(out - data.data()));
    list.data = OwnedBytes::from_vec(std::move(data));
    list.doc_count = static_cast<std::uint32_t>(postings.size());
    return list;
}

std::optional<BlockPostingList> BlockPostingList::from_inline(std::uint32_t doc_freq, ByteView bytes) {
    // Every pair takes at least two bytes, so a few bytes hold few postings.
    constexpr std::size_t kMostPairs = 64;
    if (doc_freq > bytes.size() / 2 || bytes.size() > 2 * kMostPairs) return std::nullopt;
    std::array<Posting, kMostPairs> postings;
    ByteReader in(bytes);
    // Stored varints in their shortest form and within 32 bits are exactly
    // what from_posting_list writes for the decoded postings.
    bool as_written = true;
    std::uint32_t doc = 0;
    for (std::uint32_t i = 0; i < doc_freq; ++i) {
        const std::size_t before = in.remaining();
        const std::uint64_t delta = in.vint();
        const std::size_t mid = in.remaining();
        const std::uint64_t tf = in.vint();
        if (in.failed()) return std::nullopt;
        as_written = as_written && delta <= std::numeric_limits<std::uint32_t>::max() &&
                     tf <= std::numeric_limits<std::uint32_t>::max() && vint_len(delta) == before - mid &&
                     vint_len(tf) == mid - in.remaining();
        doc += static_cast<std::uint32_t>(delta);
        postings[i] = {doc, static_cast<std::uint32_t>(tf)};
    }
    const std::span<const Posting> decoded(postings.data(), doc_freq);
    if (!as_written || doc_freq == 0) return from_posting_list(decoded);

    const std::size_t pairs_len = bytes.size() - in.remaining();
    auto [data, out] = OwnedBytes::allocate(vint_len(doc_freq) + pairs_len);
    std::copy_n(bytes.data(), pairs_len, put_vint(out, doc_freq));
    BlockPostingList list;
    list.skip_list.push_back({decoded.front().doc_id, decoded.back().doc_id, 0});
    list.data = std::move(data);
    list.doc_count = doc_freq;
    return list;
}

BlockPostingIterator::BlockPostingIterator(BlockPostingList l)
    : list(std::move(l)),
      decode_budget(kDecodesPerByte * (12 + 12 * std::uint64_t{list.skip_list.size()} + list.data.size())) {
    if (list.skip_list.empty()) exhausted = true;
    else load_block(0);
}

void BlockPostingIterator::load_block(std::size_t i) {
    if (i >= list.skip_list.size()) {
        exhausted = true;
        return;
    }
    const std::uint8_t* p;
    const std::uint8_t* end;
    std::uint64_t count;
    const std::uint64_t cap = claim_block(i, p, end, count);
    if (exhausted) return;
    current_block = i;
    position = 0;
    if (cap == 0) {
        block.clear();
        return;
    }
    // The bytes left bound the pairs a block can yield, however large its
    // count: size the (reused) vector once and write into it without
    // per-pair checks. Grown only: the pairs of the previous block are
    // overwritten, not cleared first.
    if (block.size() < cap) block.resize(static_cast<std::size_t>(cap));
    auto* out = block.data();
    const std::size_t n = decode_block_pairs(p, end, count, [&out](std::uint32_t doc, std::uint32_t tf) {
        *out++ = {doc, tf};
        return true;
    });
    block.resize(n);
}

}  // namespace nuvrel_core
