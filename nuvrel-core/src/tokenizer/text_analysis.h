// The character-level work shared by the tokenizers: UTF-8 decoding, splitting at white space and the
// alphanumeric lower-case cleaning of a word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nuvrel_core::text_analysis {

// A decoded character: its code point, or -1 for a byte that does not start a well-formed sequence (such a
// byte is consumed alone, so a well-formed character after it is never swallowed).
struct Decoded {
    std::int32_t code_point;
    std::size_t length;
};

inline Decoded decode_utf8(const unsigned char* p, const unsigned char* end) noexcept {
    const unsigned b0 = p[0];
    if (b0 < 0x80) return {static_cast<std::int32_t>(b0), 1};
    const auto cont = [&](std::size_t i, unsigned lo = 0x80, unsigned hi = 0xBF) {
        return p + i < end && p[i] >= lo && p[i] <= hi;
    };
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (cont(1)) return {static_cast<std::int32_t>(((b0 & 0x1F) << 6) | (p[1] & 0x3F)), 2};
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        const unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80;
        const unsigned hi = b0 == 0xED ? 0x9F : 0xBF;  // no surrogates
        if (cont(1, lo, hi) && cont(2))
            return {static_cast<std::int32_t>(((b0 & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F)), 3};
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        const unsigned lo = b0 == 0xF0 ? 0x90 : 0x80;
        const unsigned hi = b0 == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
        if (cont(1, lo, hi) && cont(2) && cont(3))
            return {static_cast<std::int32_t>(((b0 & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) |
                                              (p[3] & 0x3F)),
                    4};
    }
    return {-1, 1};
}

// The Unicode White_Space property. The set has been stable for many Unicode versions, so it is spelled out
// rather than asked of the character database on every character.
constexpr bool is_white_space(std::int32_t c) noexcept {
    if (c < 0x80) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    switch (c) {
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

// Calls fn(word, start) for every maximal run of characters without White_Space, in input order, with the
// byte offset of the run in text. Bytes that are not well-formed UTF-8 belong to words.
template <class Fn>
void for_each_word(std::string_view text, Fn&& fn) {
    const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = begin + text.size();
    const unsigned char* p = begin;
    const unsigned char* word = nullptr;
    while (p < end) {
        const Decoded d = decode_utf8(p, end);
        if (is_white_space(d.code_point)) {
            if (word) {
                fn(std::string_view(reinterpret_cast<const char*>(word), static_cast<std::size_t>(p - word)),
                   static_cast<std::size_t>(word - begin));
                word = nullptr;
            }
        } else if (!word) {
            word = p;
        }
        p += d.length;
    }
    if (word)
        fn(std::string_view(reinterpret_cast<const char*>(word), static_cast<std::size_t>(end - word)),
           static_cast<std::size_t>(word - begin));
}

// Appends to out the word's alphanumeric characters (Alphabetic, or general category Nd, Nl or No), each
// replaced by its full lower-case mapping taken without context: capital sigma is always U+03C3, U+0130 is
// U+0069 U+0307. Everything else (punctuation, symbols, non-Alphabetic marks, ill-formed bytes) is dropped.
// Allocates only when out must grow.
void append_cleaned_lowercase(std::string_view word, std::string& out);

}  // namespace nuvrel_core::text_analysis
