#include "support/test_util.h"

#include <zstd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

namespace nuvrel_test {

TempDir::TempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto p = std::filesystem::temp_directory_path() / ("nuvrel_test_" + std::to_string(rd()));
        if (std::filesystem::create_directory(p)) {
            path_ = p;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may drop permissions inside; give them back so removal works.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void TempDir::write(std::string_view name, const std::vector<std::uint8_t>& bytes) const {
    write_file(path_ / name, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

void TempDir::write(std::string_view name, std::string_view text) const { write_file(path_ / name, text); }

nuvrel_core::Runtime& runtime() {
    static auto rt = [] {
        auto r = nuvrel_core::Runtime::create(2, 4);
        if (!r) throw std::runtime_error(r.error());
        return std::move(*r);
    }();
    return *rt;
}

Bytes& Bytes::f32(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return u32(bits);
}

Bytes& Bytes::vint(std::uint64_t v) {
    while (v >= 0x80) {
        out_.push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    out_.push_back(static_cast<std::uint8_t>(v));
    return *this;
}

std::vector<std::uint8_t> zstd_frame(std::string_view content, bool checksum, int level, std::string_view dictionary) {
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    ZSTD_CCtx_loadDictionary(c, dictionary.data(), dictionary.size());
    std::vector<std::uint8_t> out(ZSTD_compressBound(content.size()));
    std::size_t n = ZSTD_compress2(c, out.data(), out.size(), content.data(), content.size());
    ZSTD_freeCCtx(c);
    if (ZSTD_isError(n)) throw std::runtime_error(ZSTD_getErrorName(n));
    out.resize(n);
    return out;
}

}  // namespace nuvrel_test
