// A fast multiplicative hash for maps keyed by small integers (field ids,
// block keys). Not resistant to chosen keys; the keys come from our own files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nuvrel_core {

struct FxHash {
    static constexpr std::uint64_t kSeed = 0x517cc1b727220a95ull;

    std::size_t operator()(std::uint64_t key) const noexcept {
        // One word: rotate the (zero) state, xor the word in, multiply.
        return static_cast<std::size_t>(key * kSeed);
    }
};

}  // namespace nuvrel_core
