// A little-endian reader over a byte view, used to decode footers, indexes
// and headers. Every read checks the bytes that remain; running short is the
// common "failed to fill whole buffer" failure.
#pragma once

#include <cstdint>
#include <cstring>

#include "directories/owned_bytes.h"
#include "io_error.h"
#include "util/vint.h"

namespace nuvrel_core {

class ByteCursor {
public:
    explicit ByteCursor(ByteView bytes) : rest_(bytes) {}

    std::size_t remaining() const noexcept { return rest_.size(); }
    bool empty() const noexcept { return rest_.empty(); }
    ByteView rest() const noexcept { return rest_; }

    IoResult<std::uint8_t> u8() { return fixed<std::uint8_t>(); }
    IoResult<std::uint16_t> u16() { return fixed<std::uint16_t>(); }
    IoResult<std::uint32_t> u32() { return fixed<std::uint32_t>(); }
    IoResult<std::uint64_t> u64() { return fixed<std::uint64_t>(); }
    IoResult<std::uint64_t> vint() { return read_vint(rest_); }

    // The next n bytes, borrowed from the underlying view.
    IoResult<ByteView> take(std::uint64_t n) {
        if (n > rest_.size()) {
            rest_ = rest_.subspan(rest_.size());
            return std::unexpected(IoError::fill_whole_buffer());
        }
        ByteView out = rest_.first(static_cast<std::size_t>(n));
        rest_ = rest_.subspan(static_cast<std::size_t>(n));
        return out;
    }

private:
    template <class T>
    IoResult<T> fixed() {
        if (rest_.size() < sizeof(T)) {
            rest_ = rest_.subspan(rest_.size());
            return std::unexpected(IoError::fill_whole_buffer());
        }
        T v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<T>(rest_[i]) << (8 * i));
        rest_ = rest_.subspan(sizeof(T));
        return v;
    }

    ByteView rest_;
};

}  // namespace nuvrel_core
