#include "segment/types.h"

#include "util/byte_cursor.h"

namespace nuvrel_core {

namespace {
int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<SegmentId> SegmentId::from_hex(std::string_view text) {
    if (text.empty() || text == "+" || text == "-") return std::nullopt;
    if (text.front() == '+') text.remove_prefix(1);
    const bool may_overflow = text.size() > 32;
    u128 v = 0;
    for (char c : text) {
        int d = hex_digit(c);
        if (d < 0) return std::nullopt;
        if (may_overflow && (v >> 124) != 0) return std::nullopt;
        v = (v << 4) | static_cast<u128>(d);
    }
    return SegmentId{v};
}

std::string SegmentId::to_hex() const {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(32, '0');
    u128 v = value;
    for (int i = 31; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = kDigits[static_cast<unsigned>(v & 0xF)];
        v >>= 4;
    }
    return out;
}

SegmentFiles SegmentFiles::from_id(SegmentId id) {
    std::string base = "seg_" + id.to_hex();
    return {base + ".terms", base + ".post", base + ".store", base + ".meta", base + ".vectors"};
}

IoResult<SegmentMeta> SegmentMeta::deserialize(ByteView bytes) {
    ByteCursor in(bytes);
    auto lo = in.u64();
    auto hi = in.u64();
    auto num_docs = in.u32();
    if (!lo || !hi || !num_docs) return std::unexpected(IoError::fill_whole_buffer());
    SegmentMeta meta;
    meta.id.value = (static_cast<u128>(*hi) << 64) | *lo;
    meta.num_docs = *num_docs;
    if (bytes.size() > 20) {
        auto n = in.u32();
        if (!n) return std::unexpected(n.error());
        // Each entry is 16 bytes: a count beyond them fails before anything is kept.
        if (static_cast<std::uint64_t>(*n) * 16 > in.remaining()) return std::unexpected(IoError::fill_whole_buffer());
        for (std::uint32_t i = 0; i < *n; ++i) {
            Field field = *in.u32();
            FieldStats stats;
            stats.total_tokens = *in.u64();
            stats.doc_count = *in.u32();
            meta.field_stats.insert_or_assign(field, stats);
        }
    }
    return meta;
}

}  // namespace nuvrel_core
