// The reader's errors and the texts that describe values in them. Numbers,
// strings and structure are read in numbers.cpp, strings.cpp and
// structure.cpp.
#include "dsl/json/reader.h"

#include <unicode/uchar.h>

#include <charconv>
#include <utility>

#include <fmt/format.h>

#include "dsl/json/syntax.h"

namespace nuvrel_core::json {
using namespace detail;
namespace {

// Whether a code point is shown raw inside a quoted string in messages.
bool shown_raw(UChar32 c) {
    if (c == ' ') return true;
    if (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) return false;
    switch (u_charType(c)) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_SURROGATE:
        case U_PRIVATE_USE_CHAR:
        case U_UNASSIGNED:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR:
        case U_SPACE_SEPARATOR:
            return false;
        default:
            return true;
    }
}

}  // namespace

std::string describe_float(double v) {
    std::string out = "floating point `";
    if (v == 0.0) {
        out += std::signbit(v) ? "-0.0" : "0.0";
        out += '`';
        return out;
    }
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    std::size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c != '.') digits.push_back(c);
    int exp10 = 0;
    std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exp10);
    const int k = static_cast<int>(digits.size());
    const int kk = exp10 + 1;  // position of the decimal point
    if (kk - k >= 0 && kk <= 16) {
        out += digits;
        out.append(static_cast<std::size_t>(kk - k), '0');
        out += ".0";
    } else if (kk > 0 && kk <= 16) {
        out += digits.substr(0, static_cast<std::size_t>(kk));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(kk));
    } else if (kk > -5 && kk <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-kk), '0');
        out += digits;
    } else if (k == 1) {
        out += digits;
        out += fmt::format("e{}", kk - 1);
    } else {
        out += digits[0];
        out += '.';
        out += digits.substr(1);
        out += fmt::format("e{}", kk - 1);
    }
    out += '`';
    return out;
}

std::string describe_string(std::string_view s) {
    std::string out = "string \"";
    std::size_t i = 0;
    while (i < s.size()) {
        auto c0 = static_cast<std::uint8_t>(s[i]);
        UChar32 c;
        std::size_t len;
        std::size_t need = c0 < 0x80 ? 1 : c0 < 0xE0 ? 2 : c0 < 0xF0 ? 3 : 4;
        if (need > s.size() - i || (c0 >= 0x80 && c0 < 0xC0)) {
            // Not UTF-8 (never so for decoded strings): show the byte itself.
            out += fmt::format("\\x{:02x}", c0);
            ++i;
            continue;
        }
        if (c0 < 0x80) {
            c = c0;
            len = 1;
        } else if (c0 < 0xE0) {
            c = ((c0 & 0x1F) << 6) | (static_cast<std::uint8_t>(s[i + 1]) & 0x3F);
            len = 2;
        } else if (c0 < 0xF0) {
            c = ((c0 & 0x0F) << 12) | ((static_cast<std::uint8_t>(s[i + 1]) & 0x3F) << 6) |
                (static_cast<std::uint8_t>(s[i + 2]) & 0x3F);
            len = 3;
        } else {
            c = ((c0 & 0x07) << 18) | ((static_cast<std::uint8_t>(s[i + 1]) & 0x3F) << 12) |
                ((static_cast<std::uint8_t>(s[i + 2]) & 0x3F) << 6) | (static_cast<std::uint8_t>(s[i + 3]) & 0x3F);
            len = 4;
        }
        switch (c) {
            case 0: out += "\\0"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            default:
                if ((c >= 0x20 && c < 0x7F) || (c >= 0x80 && shown_raw(c)))
                    out.append(s.substr(i, len));
                else
                    out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
        }
        i += len;
    }
    out += '"';
    return out;
}

std::string describe_number(const Number& n) {
    switch (n.kind) {
        case Number::U64: return fmt::format("integer `{}`", n.u);
        case Number::I64: return fmt::format("integer `{}`", n.i);
        default: return describe_float(n.f);
    }
}

std::string one_of(std::span<const std::string_view> names) {
    if (names.size() == 1) return fmt::format("`{}`", names[0]);
    if (names.size() == 2) return fmt::format("`{}` or `{}`", names[0], names[1]);
    std::string out = "one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        out += fmt::format("`{}`", names[i]);
    }
    return out;
}

// ---- errors ----

bool Reader::fail_peek(const char* message) {
    failed_ = true;
    positioned_ = true;
    err_at_ = std::min(n_, i_ + 1);
    message_ = message;
    return false;
}
bool Reader::fail_here(const char* message) { return fail_here(std::string(message)); }
bool Reader::fail_here(std::string message) {
    failed_ = true;
    positioned_ = true;
    err_at_ = i_;
    message_ = std::move(message);
    return false;
}
bool Reader::fail_custom(std::string message) {
    failed_ = true;
    positioned_ = false;
    message_ = std::move(message);
    return false;
}
void Reader::fix_position() noexcept {
    if (failed_ && !positioned_) {
        positioned_ = true;
        err_at_ = i_;
    }
}

JsonError Reader::error() const {
    if (!positioned_) return JsonError{message_, 0, 0};
    std::size_t line = 1, line_start = 0;
    const std::uint8_t* p = p_;
    const std::uint8_t* end = p_ + err_at_;
    while (p < end) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (!nl) break;
        p = static_cast<const std::uint8_t*>(nl) + 1;
        ++line;
        line_start = static_cast<std::size_t>(p - p_);
    }
    return JsonError{message_, line, err_at_ - line_start};
}

bool Reader::fail_invalid_type(std::string_view found, std::string_view expected) {
    return fail_custom(fmt::format("invalid type: {}, expected {}", found, expected));
}
bool Reader::fail_invalid_value(std::string_view found, std::string_view expected) {
    return fail_custom(fmt::format("invalid value: {}, expected {}", found, expected));
}
bool Reader::fail_invalid_length(std::size_t len, std::string_view expected) {
    return fail_custom(fmt::format("invalid length {}, expected {}", len, expected));
}
bool Reader::fail_missing_field(std::string_view key) { return fail_custom(fmt::format("missing field `{}`", key)); }
bool Reader::fail_duplicate_field(std::string_view key) {
    return fail_custom(fmt::format("duplicate field `{}`", key));
}
bool Reader::fail_unknown_variant(std::string_view name, std::span<const std::string_view> names) {
    if (names.empty()) return fail_custom(fmt::format("unknown variant `{}`, there are no variants", name));
    return fail_custom(fmt::format("unknown variant `{}`, expected {}", name, one_of(names)));
}

bool Reader::fail_peek_invalid_type(std::string_view expected) {
    std::string found;
    int c = peek();
    switch (c) {
        case 'n':
            eat();
            if (!parse_ident("ull")) return false;
            found = "null";
            break;
        case 't':
            eat();
            if (!parse_ident("rue")) return false;
            found = "boolean `true`";
            break;
        case 'f':
            eat();
            if (!parse_ident("alse")) return false;
            found = "boolean `false`";
            break;
        case '-': {
            eat();
            Number n;
            if (!parse_integer(false, n)) return false;
            found = describe_number(n);
            break;
        }
        case '"': {
            eat();
            std::string_view s;
            if (!parse_str(s)) return false;
            found = describe_string(s);
            break;
        }
        case '[': found = "sequence"; break;
        case '{': found = "map"; break;
        default:
            if (is_digit(c)) {
                Number n;
                if (!parse_integer(true, n)) return false;
                found = describe_number(n);
                break;
            }
            return fail_peek(kExpectedValue);
    }
    fail_invalid_type(found, expected);
    fix_position();
    return false;
}

}  // namespace nuvrel_core::json
