// zstd block decompression for term-dictionary and document-store blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "directories/owned_bytes.h"
#include "io_error.h"

namespace nuvrel_core {

// Decodes every frame of the input in turn; the output grows as frames
// decode, with no size taken from the frames' headers.
IoResult<std::vector<std::uint8_t>> decompress(ByteView compressed);
IoResult<std::vector<std::uint8_t>> decompress_with_dict(ByteView compressed, ByteView dictionary);

// A block of a file whose blocks share an optional dictionary, decompressed
// into a buffer that cache and callers share.
IoResult<OwnedBytes> decompress_block(ByteView compressed, const std::optional<std::vector<std::uint8_t>>& dictionary);

}  // namespace nuvrel_core
