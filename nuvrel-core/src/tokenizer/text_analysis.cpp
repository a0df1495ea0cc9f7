#include "tokenizer/text_analysis.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

namespace nuvrel_core::text_analysis {
namespace {

bool is_alphanumeric(UChar32 c) {
    if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
    const auto type = u_charType(c);
    return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

void append_utf8(UChar32 c, std::string& out) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        const char b[] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
        out.append(b, 2);
    } else if (c < 0x10000) {
        const char b[] = {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (c & 0x3F))};
        out.append(b, 3);
    } else {
        const char b[] = {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                          static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
        out.append(b, 4);
    }
}

// The full lower-case mapping of one character on its own, in the root locale. A string of a single character
// gives no context, so the context-dependent rules (final sigma) never fire and the language-specific ones
// (Turkish, Lithuanian) are not selected.
void append_lowercase(UChar32 c, std::string& out) {
    UChar src[U16_MAX_LENGTH];
    int32_t src_len = 0;
    U16_APPEND_UNSAFE(src, src_len, c);
    UChar dst[8];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = u_strToLower(dst, 8, src, src_len, "", &status);
    if (U_FAILURE(status) || n > 8) {  // cannot happen for a single character; keep it unchanged
        append_utf8(c, out);
        return;
    }
    for (int32_t i = 0; i < n;) {
        UChar32 m;
        U16_NEXT_UNSAFE(dst, i, m);
        append_utf8(m, out);
    }
}

}  // namespace

void append_cleaned_lowercase(std::string_view word, std::string& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(word.data());
    const auto* const end = p + word.size();
    while (p < end) {
        const unsigned b = *p;
        if (b < 0x80) {  // ASCII: letters and digits only, mapped without a library call
            if (b >= 'A' && b <= 'Z') out.push_back(static_cast<char>(b + ('a' - 'A')));
            else if ((b >= 'a' && b <= 'z') || (b >= '0' && b <= '9')) out.push_back(static_cast<char>(b));
            ++p;
            continue;
        }
        const Decoded d = decode_utf8(p, end);
        if (d.code_point >= 0 && is_alphanumeric(d.code_point)) append_lowercase(d.code_point, out);
        p += d.length;
    }
}

}  // namespace nuvrel_core::text_analysis
