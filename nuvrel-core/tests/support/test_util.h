// Shared helpers for the engine tests: a temporary directory, a process-wide
// runtime to drive coroutines, and byte builders for on-disk formats.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "directories/owned_bytes.h"
#include "runtime/runtime.h"

namespace nuvrel_test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    void write(std::string_view name, const std::vector<std::uint8_t>& bytes) const;
    void write(std::string_view name, std::string_view text) const;

private:
    std::filesystem::path path_;
};

// Writes the file whole, replacing what was there.
void write_file(const std::filesystem::path& path, std::string_view bytes);

nuvrel_core::Runtime& runtime();

template <class T>
T run(nuvrel_core::Task<T> task) {
    return runtime().block_on(std::move(task));
}

// Little-endian byte builder.
class Bytes {
public:
    Bytes& u8(std::uint8_t v) { out_.push_back(v); return *this; }
    Bytes& u16(std::uint16_t v) { return le(v, 2); }
    Bytes& u32(std::uint32_t v) { return le(v, 4); }
    Bytes& u64(std::uint64_t v) { return le(v, 8); }
    Bytes& f32(float v);
    Bytes& vint(std::uint64_t v);
    Bytes& raw(const std::vector<std::uint8_t>& b) { out_.insert(out_.end(), b.begin(), b.end()); return *this; }
    Bytes& raw(std::string_view s) { out_.insert(out_.end(), s.begin(), s.end()); return *this; }
    std::size_t size() const noexcept { return out_.size(); }
    const std::vector<std::uint8_t>& vec() const noexcept { return out_; }
    nuvrel_core::OwnedBytes owned() const { return nuvrel_core::OwnedBytes::from_vec(out_); }

private:
    Bytes& le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    std::vector<std::uint8_t> out_;
};

// A zstd frame of the given bytes (with a content checksum when asked), and
// with a dictionary compressed against it (bytes without the dictionary magic
// load as raw content).
std::vector<std::uint8_t> zstd_frame(std::string_view content, bool checksum = false, int level = 3,
                                     std::string_view dictionary = {});

inline std::string to_string(nuvrel_core::ByteView v) { return {v.begin(), v.end()}; }

}  // namespace nuvrel_test
