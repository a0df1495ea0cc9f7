// zstd block decompression for term-dictionary and document-store blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "directories/owned_bytes.h"
#include "io_error.h"

struct ZSTD_DDict_s;

namespace nuvrel_core {

// A few bytes of zstd can stand for gigabytes of output. Blocks of the term
// dictionary and the document store are far smaller than this, so a block
// that decodes past it comes from a damaged or hostile file and fails instead
// of exhausting memory.
inline constexpr std::size_t kMaxDecompressedBlock = std::size_t{256} << 20;

// The error of a failed allocation, in the decompressor's words; decoders of
// index parts whose sizes come from the file report theirs with it too.
IoError out_of_memory();

// Decodes every frame of the input in turn; the output grows as frames
// decode, with no size taken from the frames' headers.
IoResult<std::vector<std::uint8_t>> decompress(ByteView compressed);
IoResult<std::vector<std::uint8_t>> decompress_with_dict(ByteView compressed, ByteView dictionary);

// A file's dictionary digested once for all its blocks: loading the bytes
// into a context digests them again for every block, which costs more than
// decoding a small block. Made on first use.
class DigestedDictionary {
public:
    DigestedDictionary() = default;
    DigestedDictionary(const DigestedDictionary&) = delete;
    DigestedDictionary& operator=(const DigestedDictionary&) = delete;
    ~DigestedDictionary();

    // The digested form (with its own copy) of `bytes`, which must be the
    // same bytes on every call; null when there is nothing to digest or the
    // library does not take them (they are then loaded per block, which
    // reports why).
    const ZSTD_DDict_s* get(ByteView bytes) const;

private:
    mutable std::once_flag once_;
    mutable ZSTD_DDict_s* ddict_ = nullptr;
};

// A block of a file whose blocks share an optional dictionary, decompressed
// into a buffer of exactly its decoded size that cache and callers share.
// With `digested`, the dictionary is taken in its digested form; the output
// and every error are the same.
IoResult<OwnedBytes> decompress_block(ByteView compressed, const std::optional<std::vector<std::uint8_t>>& dictionary,
                                      const DigestedDictionary* digested = nullptr);

}  // namespace nuvrel_core
