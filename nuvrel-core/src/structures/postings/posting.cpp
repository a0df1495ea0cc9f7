#include "structures/postings/posting.h"

#include <algorithm>

#include "util/byte_cursor.h"
#include "util/fast_vint.h"

namespace nuvrel_core {

namespace {

void append_vint(std::vector<std::uint8_t>& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(v));
}

std::uint32_t le32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

IoResult<BlockPostingList> BlockPostingList::deserialize(const OwnedBytes& bytes) {
    ByteCursor in(bytes);
    BlockPostingList list;
    auto doc_count = in.u32();
    if (!doc_count) return std::unexpected(doc_count.error());
    auto num_blocks = in.u32();
    if (!num_blocks) return std::unexpected(num_blocks.error());
    // Check the count against the bytes before reserving anything for it.
    if (static_cast<std::uint64_t>(*num_blocks) * 12 > in.remaining())
        return std::unexpected(IoError::fill_whole_buffer());
    // The entries are known present: read them straight from the bytes.
    const std::uint8_t* q = in.rest().data();
    list.skip_list.resize(*num_blocks);
    for (SkipEntry& e : list.skip_list) {
        e.first_doc = le32(q);
        e.last_doc = le32(q + 4);
        e.offset = le32(q + 8);
        q += 12;
    }
    (void)in.take(static_cast<std::uint64_t>(*num_blocks) * 12);
    auto data_len = in.u32();
    if (!data_len) return std::unexpected(data_len.error());
    if (*data_len > in.remaining()) return std::unexpected(IoError::fill_whole_buffer());
    std::size_t start = bytes.size() - in.remaining();
    list.data = bytes.slice(start, start + *data_len);
    list.doc_count = *doc_count;
    return list;
}

BlockPostingList BlockPostingList::from_posting_list(std::span<const Posting> postings) {
    BlockPostingList list;
    std::vector<std::uint8_t> data;
    for (std::size_t from = 0; from < postings.size(); from += kBlockSize) {
        auto chunk = postings.subspan(from, std::min(kBlockSize, postings.size() - from));
        list.skip_list.push_back({chunk.front().doc_id, chunk.back().doc_id, static_cast<std::uint32_t>(data.size())});
        append_vint(data, chunk.size());
        std::uint32_t prev = 0;
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            append_vint(data, i == 0 ? chunk[i].doc_id : chunk[i].doc_id - prev);
            append_vint(data, chunk[i].term_freq);
            prev = chunk[i].doc_id;
        }
    }
    list.data = OwnedBytes::from_vec(std::move(data));
    list.doc_count = static_cast<std::uint32_t>(postings.size());
    return list;
}

BlockPostingIterator::BlockPostingIterator(BlockPostingList l) : list(std::move(l)) {
    block.reserve(BlockPostingList::kBlockSize);
    if (list.skip_list.empty()) exhausted = true;
    else load_block(0);
}

void BlockPostingIterator::load_block(std::size_t i) {
    if (i >= list.skip_list.size()) {
        exhausted = true;
        return;
    }
    current_block = i;
    position = 0;
    const std::uint8_t* p;
    const std::uint8_t* end;
    std::uint64_t count;
    if (!list.block_header(i, p, end, count)) {
        block.clear();
        return;
    }
    // The bytes left bound the pairs a block can yield, however large its
    // count: size the (reused) vector once and write into it without
    // per-pair checks. Grown only: the pairs of the previous block are
    // overwritten, not cleared first.
    const std::uint64_t room = static_cast<std::uint64_t>(end - p) / 2 + 1;
    const std::size_t cap = static_cast<std::size_t>(std::min(count, room));
    if (block.size() < cap) block.resize(cap);
    auto* out = block.data();
    const std::size_t n = decode_block_pairs(p, end, count, [&out](std::uint32_t doc, std::uint32_t tf) {
        *out++ = {doc, tf};
        return true;
    });
    block.resize(n);
}

}  // namespace nuvrel_core
