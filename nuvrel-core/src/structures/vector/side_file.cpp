#include "structures/vector/side_file.h"

#include <bit>
#include <limits>
#include <new>

#include <fmt/format.h>

namespace nuvrel_core {

std::uint64_t count_product(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t p;
    if (__builtin_mul_overflow(a, b, &p)) return std::numeric_limits<std::uint64_t>::max();
    return p;
}

std::vector<float> read_floats(ByteReader& r, std::uint64_t count) {
    if (count > r.remaining() / 4) {
        r.fail(IoError::fill_whole_buffer());
        return {};
    }
    const auto n = static_cast<std::size_t>(count);
    std::vector<float> out;
    try {
        out.resize(n);
    } catch (const std::bad_alloc&) {
        r.fail(IoError::other(fmt::format("memory allocation of {} bytes failed", n * sizeof(float))));
        return {};
    }
    const std::uint8_t* p = r.take(count * 4).data();
    for (std::size_t i = 0; i < n; ++i) out[i] = std::bit_cast<float>(load_le<std::uint32_t>(p + 4 * i));
    return out;
}

IoResult<void> expect_magic(ByteReader& r, std::uint32_t magic, const char* message) {
    const std::uint32_t m = r.u32();
    NUVREL_TRY_VOID(r.status());
    if (m != magic) return std::unexpected(IoError::invalid_data(message));
    return {};
}

}  // namespace nuvrel_core
