// Reading the vector side files (coarse centroids, PQ codebook): whole-file
// reads of paths named in the schema, outside the index directory, done on
// the calling thread, and the few decoding steps both formats share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "directories/directory.h"
#include "io_error.h"
#include "util/byte_reader.h"
#include "util/try.h"

namespace nuvrel_core {

// A side file is read whole into memory. The largest real ones are coarse
// centroids, lists x dimensions floats: even 262,144 lists of 1,024
// dimensions stay within 1 GiB, and a PQ codebook (its rotation matrix is
// dim x dim floats) reaches it only past 16,000 dimensions.
inline constexpr ReadCeiling kSideFileCeiling{std::uint64_t{1} << 30};

// Reads the file at `path` whole and decodes it with T::parse.
template <class T>
IoResult<T> load_side_file(const std::string& path) {
    NUVREL_TRY(OwnedBytes bytes, read_whole_file(path, kSideFileCeiling));
    return T::parse(bytes.as_slice());
}

// The product of two counts, saturating at the largest 64-bit value: a product
// that overflows asks for more floats than any file holds.
std::uint64_t count_product(std::uint64_t a, std::uint64_t b) noexcept;

// A one-byte switch: any non-zero byte is true.
inline bool read_flag(ByteReader& r) { return r.u8() != 0; }

// `count` floats, checked against the remaining bytes before any memory is
// reserved for them; a shortfall fails the reader as any short read does.
std::vector<float> read_floats(ByteReader& r, std::uint64_t count);

// Checks the first word against `magic`: the short-data error below 4 bytes,
// else invalid data with `message` on a mismatch.
IoResult<void> expect_magic(ByteReader& r, std::uint32_t magic, const char* message);

}  // namespace nuvrel_core
