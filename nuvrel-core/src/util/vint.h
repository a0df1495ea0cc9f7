// LEB128 unsigned varints of the term-dictionary and posting formats.
#pragma once

#include <cstdint>

#include "directories/owned_bytes.h"
#include "io_error.h"

namespace nuvrel_core {

// Decodes one varint from the front of `cursor` and advances it past the
// bytes used. At most ten bytes; the tenth contributes only bit 63.
inline IoResult<std::uint64_t> read_vint(ByteView& cursor) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < 10; ++i) {
        if (i == cursor.size()) {
            cursor = cursor.subspan(cursor.size());
            return std::unexpected(IoError::fill_whole_buffer());
        }
        std::uint8_t b = cursor[i];
        value |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
        if ((b & 0x80) == 0) {
            cursor = cursor.subspan(i + 1);
            return value;
        }
    }
    cursor = cursor.subspan(10);
    return std::unexpected(IoError::invalid_data("varint too long"));
}

}  // namespace nuvrel_core
