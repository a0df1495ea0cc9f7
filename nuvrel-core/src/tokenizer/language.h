// The stemming languages, in their fixed order; each selects one Snowball algorithm.
#pragma once

#include <cstdint>

namespace nuvrel_core {

enum class Language : std::uint8_t {
    Arabic = 0,
    Danish = 1,
    Dutch = 2,
    English = 3,
    Finnish = 4,
    French = 5,
    German = 6,
    Greek = 7,
    Hungarian = 8,
    Italian = 9,
    Norwegian = 10,
    Portuguese = 11,
    Romanian = 12,
    Russian = 13,
    Spanish = 14,
    Swedish = 15,
    Tamil = 16,
    Turkish = 17,
};

inline constexpr int kLanguageCount = 18;

// The Snowball algorithm name of a language ("english", ...), or nullptr for a value outside the enumeration.
constexpr const char* snowball_algorithm(Language language) noexcept {
    constexpr const char* names[kLanguageCount] = {
        "arabic",     "danish",   "dutch",   "english", "finnish", "french",  "german",  "greek",  "hungarian",
        "italian",    "norwegian", "portuguese", "romanian", "russian", "spanish", "swedish", "tamil", "turkish"};
    const auto i = static_cast<unsigned>(language);
    return i < kLanguageCount ? names[i] : nullptr;
}

}  // namespace nuvrel_core
