// Byte ranges built from an offset and a length read out of a file. The end
// of a damaged entry can pass 64 bits; such a range lies past the end of any
// file, so it fails as the read's own bound check would, with its end
// written in full instead of wrapped.
#pragma once

#include <cstdint>
#include <limits>

#include <fmt/format.h>

#include "directories/directory.h"
#include "io_error.h"

namespace nuvrel_core {

// [start, start + len) for a read bounded by `bound`; `bound_name` is how
// that read names its bound ("file size" for a file, "slice len" for a window).
inline IoResult<ByteRange> range_of(std::uint64_t start, std::uint64_t len, std::uint64_t bound,
                                    const char* bound_name) {
    if (start <= std::numeric_limits<std::uint64_t>::max() - len) return ByteRange{start, start + len};
    __extension__ typedef unsigned __int128 wide;
    const wide end = static_cast<wide>(start) + len;
    return std::unexpected(
        IoError::invalid_input(fmt::format("Range {}..{} out of bounds ({}: {})", start, end, bound_name, bound)));
}

}  // namespace nuvrel_core
