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

// Term-dictionary blocks are small by construction: a block holds a fixed
// number of keys (the writer puts 64 in each), a key is a field id and one
// token, and its value at most 31 bytes. 1 MiB lets each of 64 keys be 16 KiB
// long; a real block is a few KiB. The bound matters because a search looks
// the term up in every segment, and a segment may be listed many times: each
// listing then decodes no more than this before the block is refused.
inline constexpr std::size_t kMaxTermBlock = std::size_t{1} << 20;

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
// and every error are the same. A block that decodes past `limit` bytes fails
// (invalid data) as soon as it does, having decoded no more than that.
IoResult<OwnedBytes> decompress_block(ByteView compressed, const std::optional<std::vector<std::uint8_t>>& dictionary,
                                      const DigestedDictionary* digested = nullptr,
                                      std::size_t limit = kMaxDecompressedBlock);

}  // namespace nuvrel_core
