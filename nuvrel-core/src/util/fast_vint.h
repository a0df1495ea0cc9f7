// Varint decoding for hot loops (posting blocks, dictionary block walks):
// plain success flags instead of error values. On failure a caller decodes
// the same bytes again with ByteReader for the exact error.
#pragma once

#include <cstdint>

namespace nuvrel_core::fast_vint_detail {

inline bool slow_vint(const std::uint8_t*& p, const std::uint8_t* end, std::uint64_t& out) noexcept {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < 10; ++i) {
        if (p + i >= end) {
            p = end;
            return false;
        }
        std::uint8_t b = p[i];
        v |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
        if ((b & 0x80) == 0) {
            p += i + 1;
            out = v;
            return true;
        }
    }
    p += 10;
    return false;
}

// With at least ten bytes ahead no bound needs checking.
inline bool unchecked_vint(const std::uint8_t*& p, std::uint64_t& out) noexcept {
    std::uint64_t b = *p++;
    if (b < 0x80) [[likely]] {
        out = b;
        return true;
    }
    std::uint64_t v = b & 0x7F;
    b = *p++;
    v |= (b & 0x7F) << 7;
    if (b < 0x80) {
        out = v;
        return true;
    }
    b = *p++;
    v |= (b & 0x7F) << 14;
    if (b < 0x80) {
        out = v;
        return true;
    }
    for (unsigned shift = 21; shift < 70; shift += 7) {
        b = *p++;
        v |= (b & 0x7F) << shift;
        if (b < 0x80) {
            out = v;
            return true;
        }
    }
    return false;  // ten bytes, the last still continued: "varint too long"
}

inline bool fast_vint(const std::uint8_t*& p, const std::uint8_t* end, std::uint64_t& out) noexcept {
    // Far from the end, the common short forms need no bound checks.
    if (end - p >= 3) [[likely]] {
        std::uint64_t b0 = p[0];
        if (b0 < 0x80) {
            out = b0;
            p += 1;
            return true;
        }
        std::uint64_t b1 = p[1];
        if (b1 < 0x80) {
            out = (b0 & 0x7F) | (b1 << 7);
            p += 2;
            return true;
        }
        std::uint64_t b2 = p[2];
        if (b2 < 0x80) {
            out = (b0 & 0x7F) | ((b1 & 0x7F) << 7) | (b2 << 14);
            p += 3;
            return true;
        }
    }
    return slow_vint(p, end, out);
}

}  // namespace nuvrel_core::fast_vint_detail

namespace nuvrel_core {
using fast_vint_detail::fast_vint;
using fast_vint_detail::unchecked_vint;
}  // namespace nuvrel_core
