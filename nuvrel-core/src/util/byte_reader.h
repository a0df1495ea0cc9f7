// The one little-endian reader of every on-disk format: footers, indexes,
// headers, skip entries, side files. A read that does not fit in the bytes
// that remain, or a malformed varint, records the first failure; from then on
// every read yields zeros and empty views and consumes nothing. Decoders read
// a run of fields and check status() once, before any value is trusted, so
// no failure can be forgotten and no error needs forwarding by hand.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "directories/owned_bytes.h"
#include "io_error.h"

namespace nuvrel_core {

// Loads a little-endian unsigned integer of T's width from `p`.
template <class T>
inline T load_le(const std::uint8_t* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof(T));
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}

class ByteReader {
public:
    explicit ByteReader(ByteView bytes) noexcept : rest_(bytes) {}

    std::size_t remaining() const noexcept { return rest_.size(); }
    bool empty() const noexcept { return rest_.empty(); }
    ByteView rest() const noexcept { return rest_; }

    std::uint8_t u8() { return fixed<std::uint8_t>(); }
    std::uint16_t u16() { return fixed<std::uint16_t>(); }
    std::uint32_t u32() { return fixed<std::uint32_t>(); }
    std::uint64_t u64() { return fixed<std::uint64_t>(); }
    float f32() { return std::bit_cast<float>(u32()); }

    // LEB128: at most ten bytes, the tenth contributing only bit 63; an
    // eleventh continuation is "varint too long".
    std::uint64_t vint() {
        if (failed()) return 0;
        std::uint64_t value = 0;
        for (unsigned i = 0; i < 10; ++i) {
            if (i == rest_.size()) return fail(IoError::fill_whole_buffer()), 0;
            const std::uint8_t b = rest_[i];
            value |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
            if ((b & 0x80) == 0) {
                rest_ = rest_.subspan(i + 1);
                return value;
            }
        }
        return fail(IoError::invalid_data("varint too long")), 0;
    }

    // The next n bytes, borrowed from the underlying view.
    ByteView take(std::uint64_t n) {
        if (failed()) return {};
        if (n > rest_.size()) return fail(IoError::fill_whole_buffer()), ByteView{};
        ByteView out = rest_.first(static_cast<std::size_t>(n));
        rest_ = rest_.subspan(static_cast<std::size_t>(n));
        return out;
    }

    // Records `e` unless a failure is already recorded (the first one wins).
    void fail(IoError e) {
        if (!error_) error_.emplace(std::move(e));
        rest_ = {};
    }

    bool ok() const noexcept { return !error_; }
    bool failed() const noexcept { return error_.has_value(); }
    IoResult<void> status() const {
        if (error_) return std::unexpected(*error_);
        return {};
    }

private:
    template <class T>
    T fixed() {
        if (failed()) return 0;
        if (rest_.size() < sizeof(T)) return fail(IoError::fill_whole_buffer()), T{0};
        T v = load_le<T>(rest_.data());
        rest_ = rest_.subspan(sizeof(T));
        return v;
    }

    ByteView rest_;
    std::optional<IoError> error_;
};

}  // namespace nuvrel_core
