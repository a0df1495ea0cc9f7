// Plain little-endian reading of the vector side files (coarse centroids, PQ
// codebook). These are whole-file reads of paths named in the schema, outside
// the index directory, done on the calling thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "directories/owned_bytes.h"
#include "io_error.h"

namespace nuvrel_core {

// The whole file at `path` (relative paths from the working directory). A
// failing open or read returns the operating system's error.
IoResult<std::vector<std::uint8_t>> read_side_file(const std::string& path);

// Reads the file at `path` whole and parses it with T::parse.
template <class T>
IoResult<T> load_side_file(const std::string& path) {
    auto bytes = read_side_file(path);
    if (!bytes) return std::unexpected(bytes.error());
    return T::parse(*bytes);
}

// The product of two counts, saturating at the largest 64-bit value: a product
// that overflows asks for more floats than any file holds.
std::uint64_t count_product(std::uint64_t a, std::uint64_t b) noexcept;

// A forward cursor with a sticky failure: once a read does not fit in the
// remaining bytes, it and every later read yield zeros (and no floats), and
// status() reports "failed to fill whole buffer". Callers read a run of
// fields and check once, before any value is trusted.
class SideFileReader {
public:
    explicit SideFileReader(ByteView bytes) noexcept : rest_(bytes) {}

    std::uint8_t u8() noexcept;
    std::uint32_t u32() noexcept;
    std::uint64_t u64() noexcept;
    float f32() noexcept;
    // A one-byte switch: any non-zero byte is true.
    bool flag() noexcept { return u8() != 0; }
    // `count` floats, checked against the remaining bytes before any memory
    // is reserved for them.
    std::vector<float> floats(std::uint64_t count);

    bool ok() const noexcept { return ok_; }
    IoResult<void> status() const;

    // Checks the first word against `magic`: the short-data error below 4
    // bytes, else invalid data with `message` on a mismatch.
    IoResult<void> expect_magic(std::uint32_t magic, const char* message);

private:
    const std::uint8_t* take(std::size_t n) noexcept;

    ByteView rest_;
    bool ok_ = true;
};

}  // namespace nuvrel_core
