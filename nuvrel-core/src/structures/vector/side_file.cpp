#include "structures/vector/side_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <limits>

namespace nuvrel_core {

namespace {

std::uint64_t load_le(ByteView b) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = b.size(); i-- > 0;) v = (v << 8) | b[i];
    return v;
}

}  // namespace

IoResult<std::vector<std::uint8_t>> read_side_file(const std::string& path) {
    // open(2) would stop at the NUL and read a different file.
    if (path.find('\0') != std::string::npos)
        return std::unexpected(IoError::invalid_input("file name contained an unexpected NUL byte"));
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(IoError::from_errno(errno));

    std::vector<std::uint8_t> out;
    struct stat st{};
    // The size is only a hint for the first allocation (one spare byte lets
    // the end be seen without growing); the read goes on to the real end.
    constexpr off_t kMaxHint = off_t{1} << 26;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        out.resize(static_cast<std::size_t>(st.st_size < kMaxHint ? st.st_size + 1 : kMaxHint));
    std::size_t filled = 0;
    for (;;) {
        if (filled == out.size()) out.resize(out.size() < 4096 ? 4096 : out.size() * 2);
        ssize_t got = ::read(fd, out.data() + filled, out.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int err = errno;
            ::close(fd);
            return std::unexpected(IoError::from_errno(err));
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    out.resize(filled);
    return out;
}

std::uint64_t count_product(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t p;
    if (__builtin_mul_overflow(a, b, &p)) return std::numeric_limits<std::uint64_t>::max();
    return p;
}

const std::uint8_t* SideFileReader::take(std::size_t n) noexcept {
    if (!ok_ || rest_.size() < n) {
        ok_ = false;
        return nullptr;
    }
    const std::uint8_t* p = rest_.data();
    rest_ = rest_.subspan(n);
    return p;
}

std::uint8_t SideFileReader::u8() noexcept {
    const std::uint8_t* p = take(1);
    return p ? *p : 0;
}

std::uint32_t SideFileReader::u32() noexcept {
    const std::uint8_t* p = take(4);
    return p ? static_cast<std::uint32_t>(load_le(ByteView(p, 4))) : 0;
}

std::uint64_t SideFileReader::u64() noexcept {
    const std::uint8_t* p = take(8);
    return p ? load_le(ByteView(p, 8)) : 0;
}

float SideFileReader::f32() noexcept { return std::bit_cast<float>(u32()); }

std::vector<float> SideFileReader::floats(std::uint64_t count) {
    if (!ok_ || count > rest_.size() / 4) {
        ok_ = false;
        return {};
    }
    const auto n = static_cast<std::size_t>(count);
    const std::uint8_t* p = take(n * 4);
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = std::bit_cast<float>(static_cast<std::uint32_t>(load_le(ByteView(p + 4 * i, 4))));
    return out;
}

IoResult<void> SideFileReader::status() const {
    if (!ok_) return std::unexpected(IoError::fill_whole_buffer());
    return {};
}

IoResult<void> SideFileReader::expect_magic(std::uint32_t magic, const char* message) {
    const std::uint32_t m = u32();
    if (!ok_) return status();
    if (m != magic) return std::unexpected(IoError::invalid_data(message));
    return {};
}

}  // namespace nuvrel_core
