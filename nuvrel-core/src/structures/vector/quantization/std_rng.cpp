#include "structures/vector/quantization/std_rng.h"

#include <bit>

namespace nuvrel_core {

namespace {

constexpr int kDoubleRounds = 6;  // 12 rounds

inline void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) noexcept {
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

StdRng::Key StdRng::expand_seed(std::uint64_t seed) noexcept {
    constexpr std::uint64_t kMul = 0x5851F42D4C957F2DULL;
    constexpr std::uint64_t kInc = 0xA17654E46FBE17F3ULL;
    Key key{};
    std::uint64_t s = seed;
    for (auto& word : key) {
        s = s * kMul + kInc;
        const auto x = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
        word = std::rotr(x, static_cast<int>(s >> 59));
    }
    return key;
}

StdRng::StdRng(const Key& key) noexcept {
    // "expand 32-byte k" as four little-endian words.
    input_[0] = 0x61707865;
    input_[1] = 0x3320646e;
    input_[2] = 0x79622d32;
    input_[3] = 0x6b206574;
    for (std::size_t i = 0; i < key.size(); ++i) input_[4 + i] = key[i];
    // Words 12-13: the 64-bit block counter; 14-15: the stream id. All zero.
}

void StdRng::refill() noexcept {
    for (std::size_t block = 0; block < kBlocksPerRefill; ++block) {
        std::array<std::uint32_t, 16> x = input_;
        for (int r = 0; r < kDoubleRounds; ++r) {
            quarter_round(x, 0, 4, 8, 12);
            quarter_round(x, 1, 5, 9, 13);
            quarter_round(x, 2, 6, 10, 14);
            quarter_round(x, 3, 7, 11, 15);
            quarter_round(x, 0, 5, 10, 15);
            quarter_round(x, 1, 6, 11, 12);
            quarter_round(x, 2, 7, 8, 13);
            quarter_round(x, 3, 4, 9, 14);
        }
        for (std::size_t i = 0; i < 16; ++i) buffer_[block * kBlockWords + i] = x[i] + input_[i];
        if (++input_[12] == 0) ++input_[13];
    }
    drawn_blocks_ += kBlocksPerRefill;
    index_ = 0;
}

}  // namespace nuvrel_core
