// The deterministic random stream behind generated RaBitQ codebooks: ChaCha
// with 12 rounds, keyed from a 64-bit seed through the PCG32 output function.
// Codebooks are regenerated on every segment load and must come out identical
// to the ones the index writer used, so every word of the stream is fixed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nuvrel_core {

class StdRng {
public:
    using Key = std::array<std::uint32_t, 8>;

    // The eight key words that a 64-bit seed expands to.
    static Key expand_seed(std::uint64_t seed) noexcept;

    static StdRng seed_from_u64(std::uint64_t seed) noexcept { return StdRng(expand_seed(seed)); }

    explicit StdRng(const Key& key) noexcept;

    // The next 32-bit word of the keystream.
    std::uint32_t next_u32() noexcept {
        if (index_ >= kBufferWords) refill();
        return buffer_[index_++];
    }

    // A uniform integer in 0..=high by widening multiplication, taking a
    // second word only when the first leaves the result in doubt.
    std::uint32_t uniform_inclusive(std::uint32_t high) noexcept;

    // How many words have been drawn so far.
    std::uint64_t words_drawn() const noexcept { return drawn_blocks_ * kBlockWords - (kBufferWords - index_); }

private:
    static constexpr std::size_t kBlockWords = 16;
    static constexpr std::size_t kBlocksPerRefill = 4;
    static constexpr std::size_t kBufferWords = kBlockWords * kBlocksPerRefill;

    void refill() noexcept;

    std::array<std::uint32_t, 16> input_{};  // constants, key, counter, stream
    std::array<std::uint32_t, kBufferWords> buffer_{};
    std::size_t index_ = kBufferWords;
    std::uint64_t drawn_blocks_ = 0;
};

// The single-sample rule on its own, over any source of words (the generator
// above, or scripted words in tests).
template <class NextWord>
std::uint32_t uniform_inclusive_u32(std::uint32_t high, NextWord&& next_word) {
    const std::uint64_t n = static_cast<std::uint64_t>(high) + 1;
    if (n == (std::uint64_t{1} << 32)) return next_word();  // the whole 32-bit range
    const std::uint64_t m = static_cast<std::uint64_t>(next_word()) * n;
    std::uint32_t hi = static_cast<std::uint32_t>(m >> 32);
    const std::uint32_t lo = static_cast<std::uint32_t>(m);
    // lo + high overflowing 32 bits means a carry from the words below is possible.
    if (lo > static_cast<std::uint32_t>(-static_cast<std::uint32_t>(n))) {
        const auto h2 = static_cast<std::uint32_t>((static_cast<std::uint64_t>(next_word()) * n) >> 32);
        if (static_cast<std::uint64_t>(lo) + h2 > 0xFFFFFFFFu) ++hi;
    }
    return hi;
}

inline std::uint32_t StdRng::uniform_inclusive(std::uint32_t high) noexcept {
    return uniform_inclusive_u32(high, [this] { return next_u32(); });
}

}  // namespace nuvrel_core
