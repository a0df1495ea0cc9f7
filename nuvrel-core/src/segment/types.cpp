#include "segment/types.h"

#include "util/byte_reader.h"
#include "util/try.h"

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
    ByteReader in(bytes);
    const std::uint64_t lo = in.u64();
    const std::uint64_t hi = in.u64();
    SegmentMeta meta;
    meta.id.value = (static_cast<u128>(hi) << 64) | lo;
    meta.num_docs = in.u32();
    if (bytes.size() > 20) {
        const std::uint32_t n = in.u32();
        // Each entry is 16 bytes: a count beyond them fails before anything is kept.
        if (std::uint64_t{n} * kStatsEntrySize > in.remaining()) in.fail(IoError::fill_whole_buffer());
        for (std::uint32_t i = 0; i < n && in.ok(); ++i) {
            const Field field = in.u32();
            FieldStats stats;
            stats.total_tokens = in.u64();
            stats.doc_count = in.u32();
            meta.field_stats.insert_or_assign(field, stats);
        }
    }
    NUVREL_TRY_VOID(in.status());
    return meta;
}

}  // namespace nuvrel_core
