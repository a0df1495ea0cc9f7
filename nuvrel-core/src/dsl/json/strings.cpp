// Strings: escapes, strict UTF-8, and the grammar-only walk over a string.
#include <cstdint>
#include <cstring>
#include <string>

#include "dsl/json/reader.h"
#include "dsl/json/syntax.h"

namespace nuvrel_core::json {
using namespace detail;
namespace {

void push_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const std::uint8_t* s, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n) {
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (w & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        std::uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint8_t lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n - i < len) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

int hex_value(std::uint8_t c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

// ---- strings ----

void Reader::skip_to_escape() noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    while (i_ + 8 <= n_) {
        std::uint64_t w;
        std::memcpy(&w, p_ + i_, 8);
        std::uint64_t q = w ^ (kOnes * '"');
        std::uint64_t b = w ^ (kOnes * '\\');
        std::uint64_t hit = ((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((w - kOnes * 0x20) & ~w);
        hit &= kHigh;
        if (hit) {
            i_ += static_cast<std::size_t>(__builtin_ctzll(hit)) / 8;
            return;
        }
        i_ += 8;
    }
    while (i_ < n_) {
        std::uint8_t c = p_[i_];
        if (c == '"' || c == '\\' || c < 0x20) return;
        ++i_;
    }
}

bool Reader::parse_str(std::string_view& out) {
    std::size_t start = i_;
    bool copied = false;
    for (;;) {
        skip_to_escape();
        if (i_ == n_) return fail_here(kEofString);
        std::uint8_t c = p_[i_];
        if (c == '"') {
            const std::uint8_t* s;
            std::size_t len;
            if (!copied) {
                s = p_ + start;
                len = i_ - start;
            } else {
                scratch_.append(reinterpret_cast<const char*>(p_ + start), i_ - start);
                s = reinterpret_cast<const std::uint8_t*>(scratch_.data());
                len = scratch_.size();
            }
            ++i_;
            if (!valid_utf8(s, len)) return fail_here("invalid unicode code point");
            out = std::string_view(reinterpret_cast<const char*>(s), len);
            return true;
        }
        if (c == '\\') {
            if (!copied) {
                scratch_.clear();
                copied = true;
            }
            scratch_.append(reinterpret_cast<const char*>(p_ + start), i_ - start);
            ++i_;
            if (!parse_escape()) return false;
            start = i_;
            continue;
        }
        ++i_;
        return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    }
}

bool Reader::parse_escape() {
    if (i_ >= n_) return fail_here(kEofString);
    std::uint8_t c = p_[i_++];
    switch (c) {
        case '"': scratch_ += '"'; break;
        case '\\': scratch_ += '\\'; break;
        case '/': scratch_ += '/'; break;
        case 'b': scratch_ += '\b'; break;
        case 'f': scratch_ += '\f'; break;
        case 'n': scratch_ += '\n'; break;
        case 'r': scratch_ += '\r'; break;
        case 't': scratch_ += '\t'; break;
        case 'u': return parse_unicode_escape();
        default: return fail_here("invalid escape");
    }
    return true;
}

bool Reader::decode_hex_escape(std::uint16_t& out) {
    if (n_ - i_ < 4) {
        i_ = n_;
        return fail_here(kEofString);
    }
    int v = 0;
    bool ok = true;
    for (int k = 0; k < 4; ++k) {
        int h = hex_value(p_[i_ + k]);
        if (h < 0) ok = false;
        v = v * 16 + h;
    }
    i_ += 4;
    if (!ok) return fail_here("invalid escape");
    out = static_cast<std::uint16_t>(v);
    return true;
}

bool Reader::parse_unicode_escape() {
    std::uint16_t n;
    if (!decode_hex_escape(n)) return false;
    if (n >= 0xDC00 && n <= 0xDFFF) return fail_here("lone leading surrogate in hex escape");
    if (n < 0xD800 || n > 0xDBFF) {
        push_utf8(scratch_, n);
        return true;
    }
    for (char expected : {'\\', 'u'}) {
        if (i_ >= n_) return fail_here(kEofString);
        bool match = p_[i_] == static_cast<std::uint8_t>(expected);
        ++i_;
        if (!match) return fail_here("unexpected end of hex escape");
    }
    std::uint16_t n2;
    if (!decode_hex_escape(n2)) return false;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return fail_here("lone leading surrogate in hex escape");
    std::uint32_t cp = ((static_cast<std::uint32_t>(n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000;
    push_utf8(scratch_, cp);
    return true;
}

bool Reader::ignore_str() {
    for (;;) {
        skip_to_escape();
        if (i_ == n_) return fail_here(kEofString);
        std::uint8_t c = p_[i_];
        if (c == '"') {
            ++i_;
            return true;
        }
        if (c == '\\') {
            ++i_;
            if (!ignore_escape()) return false;
            continue;
        }
        return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    }
}

bool Reader::ignore_escape() {
    if (i_ >= n_) return fail_here(kEofString);
    std::uint8_t c = p_[i_++];
    switch (c) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': return true;
        case 'u': {
            std::uint16_t unused;
            return decode_hex_escape(unused);
        }
        default: return fail_here("invalid escape");
    }
}

bool Reader::read_str(std::string_view& out, std::string_view expected) {
    int c = peek_ws();
    if (c < 0) return fail_peek(kEofValue);
    if (c == '"') {
        eat();
        return parse_str(out);
    }
    return fail_peek_invalid_type(expected);
}

bool Reader::read_string(std::string& out) {
    std::string_view s;
    if (!read_str(s)) return false;
    out.assign(s);
    return true;
}

}  // namespace nuvrel_core::json
