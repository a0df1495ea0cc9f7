#include "dsl/json/reader.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "dsl/document.h"

namespace nuvrel_core::json {
namespace {

// Powers of ten exactly as the decimal literals round; the float algorithm
// multiplies or divides by these and is deliberately not always correctly
// rounded, matching the writer's reader.
constexpr double kPow10[309] = {
1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29, 1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39, 1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49, 1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56, 1e57, 1e58, 1e59, 1e60, 1e61, 1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69, 1e70, 1e71, 1e72, 1e73, 1e74, 1e75, 1e76, 1e77, 1e78, 1e79, 1e80, 1e81, 1e82, 1e83, 1e84, 1e85, 1e86, 1e87, 1e88, 1e89, 1e90, 1e91, 1e92, 1e93, 1e94, 1e95, 1e96, 1e97, 1e98, 1e99, 1e100, 1e101, 1e102, 1e103, 1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119, 1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129, 1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142, 1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152, 1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159, 1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168, 1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179, 1e180, 1e181, 1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191, 1e192, 1e193, 1e194, 1e195, 1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207, 1e208, 1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220, 1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239, 1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249, 1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259, 1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271, 1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287, 1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298, 1e299, 1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308
};

constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kExpectedValue = "expected value";
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kOutOfRange = "number out of range";
constexpr const char* kTrailingChars = "trailing characters";
constexpr const char* kTrailingComma = "trailing comma";

inline bool is_digit(int c) noexcept { return c >= '0' && c <= '9'; }

inline bool u64_overflows(std::uint64_t acc, std::uint64_t digit) noexcept {
    constexpr std::uint64_t kMax = UINT64_MAX;
    return acc >= kMax / 10 && (acc > kMax / 10 || digit > kMax % 10);
}
inline bool i32_overflows(std::int32_t acc, std::int32_t digit) noexcept {
    constexpr std::int32_t kMax = INT32_MAX;
    return acc >= kMax / 10 && (acc > kMax / 10 || digit > kMax % 10);
}

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

// ---- numbers ----

bool Reader::parse_ident(const char* rest) {
    for (; *rest; ++rest) {
        if (i_ >= n_) return fail_here(kEofValue);
        if (p_[i_++] != static_cast<std::uint8_t>(*rest)) return fail_here("expected ident");
    }
    return true;
}

bool Reader::parse_integer(bool positive, Number& out) {
    if (i_ >= n_) return fail_here(kEofValue);
    std::uint8_t c = p_[i_++];
    if (c == '0') {
        if (is_digit(peek())) return fail_peek(kInvalidNumber);
        return parse_number_tail(positive, 0, out);
    }
    if (c < '1' || c > '9') return fail_here(kInvalidNumber);
    std::uint64_t significand = c - '0';
    for (;;) {
        int d = peek();
        if (!is_digit(d)) return parse_number_tail(positive, significand, out);
        auto digit = static_cast<std::uint64_t>(d - '0');
        if (u64_overflows(significand, digit)) {
            out.kind = Number::F64;
            return parse_long_integer(positive, significand, out.f);
        }
        ++i_;
        significand = significand * 10 + digit;
    }
}

bool Reader::parse_number_tail(bool positive, std::uint64_t significand, Number& out) {
    int c = peek();
    if (c == '.') {
        out.kind = Number::F64;
        return parse_decimal(positive, significand, 0, out.f);
    }
    if (c == 'e' || c == 'E') {
        out.kind = Number::F64;
        return parse_exponent(positive, significand, 0, out.f);
    }
    if (positive) {
        out.kind = Number::U64;
        out.u = significand;
        return true;
    }
    auto neg = static_cast<std::int64_t>(0 - significand);
    if (neg >= 0) {  // below the signed range, or -0
        out.kind = Number::F64;
        out.f = -static_cast<double>(significand);
    } else {
        out.kind = Number::I64;
        out.i = neg;
    }
    return true;
}

bool Reader::parse_long_integer(bool positive, std::uint64_t significand, double& out) {
    int exponent = 0;
    for (;;) {
        int c = peek();
        if (is_digit(c)) {
            ++i_;
            if (exponent < INT32_MAX) ++exponent;
        } else if (c == '.') {
            return parse_decimal(positive, significand, exponent, out);
        } else if (c == 'e' || c == 'E') {
            return parse_exponent(positive, significand, exponent, out);
        } else {
            return f64_from_parts(positive, significand, exponent, out);
        }
    }
}

bool Reader::parse_decimal(bool positive, std::uint64_t significand, int exponent_before, double& out) {
    ++i_;  // '.'
    int exponent_after = 0;
    for (;;) {
        int c = peek();
        if (!is_digit(c)) break;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (u64_overflows(significand, digit))
            return parse_decimal_overflow(positive, significand, exponent_before + exponent_after, out);
        ++i_;
        significand = significand * 10 + digit;
        // Only a run of zeros keeps the significand small; gigabytes of them
        // must not wrap the exponent.
        if (exponent_after > INT32_MIN) --exponent_after;
    }
    if (exponent_after == 0) return fail_peek(i_ < n_ ? kInvalidNumber : kEofValue);
    int exponent = exponent_before + exponent_after;
    int c = peek();
    if (c == 'e' || c == 'E') return parse_exponent(positive, significand, exponent, out);
    return f64_from_parts(positive, significand, exponent, out);
}

bool Reader::parse_decimal_overflow(bool positive, std::uint64_t significand, int exponent, double& out) {
    while (is_digit(peek())) ++i_;
    int c = peek();
    if (c == 'e' || c == 'E') return parse_exponent(positive, significand, exponent, out);
    return f64_from_parts(positive, significand, exponent, out);
}

bool Reader::parse_exponent(bool positive, std::uint64_t significand, int starting_exp, double& out) {
    ++i_;  // 'e'
    bool positive_exp = true;
    int c = peek();
    if (c == '+') {
        ++i_;
    } else if (c == '-') {
        ++i_;
        positive_exp = false;
    }
    if (i_ >= n_) return fail_here(kEofValue);
    std::uint8_t first = p_[i_++];
    if (!is_digit(first)) return fail_here(kInvalidNumber);
    std::int32_t exp = first - '0';
    for (;;) {
        int d = peek();
        if (!is_digit(d)) break;
        ++i_;
        std::int32_t digit = d - '0';
        if (i32_overflows(exp, digit)) return parse_exponent_overflow(positive, significand == 0, positive_exp, out);
        exp = exp * 10 + digit;
    }
    std::int64_t final_exp = positive_exp ? static_cast<std::int64_t>(starting_exp) + exp
                                          : static_cast<std::int64_t>(starting_exp) - exp;
    final_exp = std::clamp<std::int64_t>(final_exp, INT32_MIN, INT32_MAX);
    return f64_from_parts(positive, significand, static_cast<int>(final_exp), out);
}

bool Reader::parse_exponent_overflow(bool positive, bool zero_significand, bool positive_exp, double& out) {
    if (!zero_significand && positive_exp) return fail_here(kOutOfRange);
    while (is_digit(peek())) ++i_;
    out = positive ? 0.0 : -0.0;
    return true;
}

bool Reader::f64_from_parts(bool positive, std::uint64_t significand, int exponent, double& out) {
    double f = static_cast<double>(significand);
    for (;;) {
        std::int64_t mag = exponent < 0 ? -static_cast<std::int64_t>(exponent) : exponent;
        if (mag <= 308) {
            if (exponent >= 0) {
                f *= kPow10[mag];
                if (std::isinf(f)) return fail_here(kOutOfRange);
            } else {
                f /= kPow10[mag];
            }
            break;
        }
        if (f == 0.0) break;
        if (exponent >= 0) return fail_here(kOutOfRange);
        f /= 1e308;
        exponent += 308;
    }
    out = positive ? f : -f;
    return true;
}

bool Reader::parse_any_number(Number& out) {
    if (peek() == '-') {
        eat();
        return parse_integer(false, out);
    }
    return parse_integer(true, out);
}

bool Reader::read_number(Number& out, std::string_view expected) {
    int c = peek_ws();
    if (c < 0) return fail_peek(kEofValue);
    if (c == '-') {
        eat();
        return parse_integer(false, out);
    }
    if (is_digit(c)) return parse_integer(true, out);
    return fail_peek_invalid_type(expected);
}

// A number outside an integer member's range: a float is the wrong type, an
// integer the wrong value.
bool Reader::integer_error(const Number& n, std::string_view word) {
    if (n.kind == Number::F64)
        fail_invalid_type(describe_float(n.f), word);
    else
        fail_invalid_value(describe_number(n), word);
    fix_position();
    return false;
}

bool Reader::read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view word) {
    Number n;
    if (!read_number(n, word)) return false;
    if (n.kind != Number::U64 || n.u > max) return integer_error(n, word);
    out = n.u;
    return true;
}

bool Reader::read_signed(std::int64_t& out, std::int64_t min, std::int64_t max, std::string_view word) {
    Number n;
    if (!read_number(n, word)) return false;
    if (n.kind == Number::U64 && n.u <= static_cast<std::uint64_t>(max)) {
        out = static_cast<std::int64_t>(n.u);
        return true;
    }
    if (n.kind == Number::I64 && n.i >= min) {
        out = n.i;
        return true;
    }
    return integer_error(n, word);
}

bool Reader::read_f64(double& out) {
    Number n;
    if (!read_number(n, "f64")) return false;
    out = n.kind == Number::U64 ? static_cast<double>(n.u)
          : n.kind == Number::I64 ? static_cast<double>(n.i)
                                  : n.f;
    return true;
}

bool Reader::read_f32(float& out) {
    Number n;
    if (!read_number(n, "f32")) return false;
    // Integers narrow straight from 64 bits; other literals go through f64 first.
    out = n.kind == Number::U64 ? static_cast<float>(n.u)
          : n.kind == Number::I64 ? static_cast<float>(n.i)
                                  : static_cast<float>(n.f);
    return true;
}

// ---- literals ----

bool Reader::read_bool(bool& out) {
    int c = peek_ws();
    if (c < 0) return fail_peek(kEofValue);
    if (c == 't') {
        eat();
        out = true;
        return parse_ident("rue");
    }
    if (c == 'f') {
        eat();
        out = false;
        return parse_ident("alse");
    }
    return fail_peek_invalid_type("a boolean");
}

bool Reader::read_null(bool& is_null) {
    is_null = false;
    if (peek_ws() != 'n') return true;
    eat();
    is_null = true;
    return parse_ident("ull");
}

bool Reader::read_unit() {
    int c = peek_ws();
    if (c < 0) return fail_peek(kEofValue);
    if (c == 'n') {
        eat();
        return parse_ident("ull");
    }
    return fail_peek_invalid_type("unit");
}

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

// ---- skipping ----

bool Reader::ignore_integer() {
    if (i_ >= n_) return fail_here(kInvalidNumber);
    std::uint8_t c = p_[i_++];
    if (c == '0') {
        if (is_digit(peek())) return fail_peek(kInvalidNumber);
    } else if (c >= '1' && c <= '9') {
        while (is_digit(peek())) ++i_;
    } else {
        return fail_here(kInvalidNumber);
    }
    int d = peek();
    if (d == '.') return ignore_decimal();
    if (d == 'e' || d == 'E') return ignore_exponent();
    return true;
}

bool Reader::ignore_decimal() {
    ++i_;
    bool any = false;
    while (is_digit(peek())) {
        ++i_;
        any = true;
    }
    if (!any) return fail_peek(kInvalidNumber);
    int d = peek();
    if (d == 'e' || d == 'E') return ignore_exponent();
    return true;
}

bool Reader::ignore_exponent() {
    ++i_;
    int s = peek();
    if (s == '+' || s == '-') ++i_;
    if (i_ >= n_) return fail_here(kInvalidNumber);
    if (!is_digit(p_[i_++])) return fail_here(kInvalidNumber);
    while (is_digit(peek())) ++i_;
    return true;
}

bool Reader::skip_value() {
    // Iterative, so a skipped value may nest to any depth; the stack holds one
    // byte per open level.
    std::string stack;
    int enclosing = 0;
    for (;;) {
        int c = peek_ws();
        if (c < 0) return fail_peek(kEofValue);
        int frame = 0;
        switch (c) {
            case 'n': eat(); if (!parse_ident("ull")) return false; break;
            case 't': eat(); if (!parse_ident("rue")) return false; break;
            case 'f': eat(); if (!parse_ident("alse")) return false; break;
            case '-': eat(); if (!ignore_integer()) return false; break;
            case '"': eat(); if (!ignore_str()) return false; break;
            case '[':
            case '{':
                if (enclosing) stack.push_back(static_cast<char>(enclosing));
                enclosing = 0;
                eat();
                frame = c;
                break;
            default:
                if (is_digit(c)) {
                    if (!ignore_integer()) return false;
                    break;
                }
                return fail_peek(kExpectedValue);
        }
        bool accept_comma;
        if (frame) {
            accept_comma = false;
        } else if (enclosing) {
            frame = enclosing;
            enclosing = 0;
            accept_comma = true;
        } else if (!stack.empty()) {
            frame = static_cast<std::uint8_t>(stack.back());
            stack.pop_back();
            accept_comma = true;
        } else {
            return true;
        }
        for (;;) {
            int d = peek_ws();
            if (d == ',' && accept_comma) {
                eat();
                break;
            }
            if ((d == ']' && frame == '[') || (d == '}' && frame == '{')) {
                eat();
                if (stack.empty()) return true;
                frame = static_cast<std::uint8_t>(stack.back());
                stack.pop_back();
                accept_comma = true;
                continue;
            }
            if (d >= 0) {
                if (accept_comma) return fail_peek(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`");
                break;
            }
            return fail_peek(frame == '[' ? kEofList : kEofObject);
        }
        if (frame == '{') {
            int d = peek_ws();
            if (d == '"') {
                eat();
            } else if (d >= 0) {
                return fail_peek("key must be a string");
            } else {
                return fail_peek(kEofObject);
            }
            if (!ignore_str()) return false;
            d = peek_ws();
            if (d == ':') {
                eat();
            } else if (d >= 0) {
                return fail_peek("expected `:`");
            } else {
                return fail_peek(kEofObject);
            }
        }
        enclosing = frame;
    }
}

// ---- structure steps ----

// The step shared by arrays and objects: past the separator to the next
// entry (`has`), or onto the closing bracket (`has` false).
int Reader::next_entry(bool& first, bool& has, int close, const char* expected_sep, const char* eof) {
    int c = peek_ws();
    if (c == close) {
        has = false;
        return c;
    }
    if (c == ',' && !first) {
        eat();
        c = peek_ws();
    } else if (c >= 0) {
        if (!first) return fail_peek(expected_sep), -2;
        first = false;
    } else {
        return fail_peek(eof), -2;
    }
    if (c == close) return fail_peek(kTrailingComma), -2;
    has = true;
    return c;
}

bool Reader::next_element(bool& first, bool& has) {
    int c = next_entry(first, has, ']', "expected `,` or `]`", kEofList);
    if (c == -2) return false;
    if (c == -1) return fail_peek(kEofValue);
    return true;
}

bool Reader::next_key(bool& first, bool& has) {
    int c = next_entry(first, has, '}', "expected `,` or `}`", kEofObject);
    if (c == -2) return false;
    if (!has || c == '"') return true;
    return fail_peek(c >= 0 ? "key must be a string" : kEofValue);
}

bool Reader::read_key(std::string_view& key) {
    eat();  // '"'
    return parse_str(key);
}

bool Reader::object_colon() {
    int c = peek_ws();
    if (c == ':') {
        eat();
        return true;
    }
    return fail_peek(c >= 0 ? "expected `:`" : kEofObject);
}

bool Reader::end_seq() {
    int c = peek_ws();
    if (c == ']') {
        eat();
        return true;
    }
    if (c == ',') {
        eat();
        return fail_peek(peek_ws() == ']' ? kTrailingComma : kTrailingChars);
    }
    return fail_peek(c >= 0 ? kTrailingChars : kEofList);
}

bool Reader::end_map() {
    int c = peek_ws();
    if (c == '}') {
        eat();
        return true;
    }
    if (c == ',') return fail_peek(kTrailingComma);
    return fail_peek(c >= 0 ? kTrailingChars : kEofObject);
}

void Reader::after_error(bool (Reader::*end)()) {
    bool positioned = positioned_;
    std::size_t at = err_at_;
    std::string message = std::move(message_);
    (this->*end)();
    failed_ = true;
    positioned_ = positioned;
    err_at_ = at;
    message_ = std::move(message);
    fix_position();
}

void Reader::end_seq_after_error() { after_error(&Reader::end_seq); }
void Reader::end_map_after_error() { after_error(&Reader::end_map); }

bool Reader::enum_begin(std::span<const std::string_view> names, std::size_t& index, bool& braced) {
    int c = peek_ws();
    if (c == '{') {
        if (!enter()) return false;
        eat();
        braced = true;
    } else if (c == '"') {
        braced = false;
    } else {
        return fail_peek(c >= 0 ? kExpectedValue : kEofValue);
    }
    std::string_view name;
    if (!read_str(name, "variant identifier")) return false;
    auto it = std::find(names.begin(), names.end(), name);
    if (it == names.end()) {
        fail_unknown_variant(name, names);
        fix_position();
        return false;
    }
    index = static_cast<std::size_t>(it - names.begin());
    return braced ? object_colon() : true;
}

bool Reader::enum_end() {
    leave();
    int c = peek_ws();
    if (c == '}') {
        eat();
        return true;
    }
    return fail_here(c >= 0 ? kExpectedValue : kEofObject);
}

bool Reader::end() {
    if (peek_ws() >= 0) return fail_peek(kTrailingChars);
    return true;
}

// ---- free-form values ----

bool Reader::read_any(JsonValue& out) {
    int c = peek_ws();
    if (c < 0) return fail_peek(kEofValue);
    switch (c) {
        case 'n':
            eat();
            out.value = JsonValue::Null{};
            return parse_ident("ull");
        case 't':
            eat();
            out.value = true;
            return parse_ident("rue");
        case 'f':
            eat();
            out.value = false;
            return parse_ident("alse");
        case '"': {
            eat();
            std::string_view s;
            if (!parse_str(s)) return false;
            out.value = std::string(s);
            return true;
        }
        case '[': {
            if (!enter()) return false;
            eat();
            JsonValue::Array items;
            bool first = true, has = false, ok = true;
            while ((ok = next_element(first, has)) && has) {
                items.emplace_back();
                if (!(ok = read_any(items.back()))) break;
            }
            leave();
            if (!ok) {
                end_seq_after_error();
                return false;
            }
            out.value = std::move(items);
            return end_seq();
        }
        case '{': {
            if (!enter()) return false;
            eat();
            JsonValue::Object entries;
            bool first = true, has = false, ok = true;
            while ((ok = next_key(first, has)) && has) {
                std::string_view key;
                if (!(ok = read_key(key))) break;
                entries.emplace_back(std::string(key), JsonValue{});
                if (!(ok = object_colon() && read_any(entries.back().second))) break;
            }
            leave();
            if (!ok) {
                end_map_after_error();
                return false;
            }
            // Keys in ascending byte order; of a repeated key the last value stays.
            std::stable_sort(entries.begin(), entries.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            JsonValue::Object unique;
            unique.reserve(entries.size());
            for (auto& e : entries) {
                if (!unique.empty() && unique.back().first == e.first)
                    unique.back().second = std::move(e.second);
                else
                    unique.push_back(std::move(e));
            }
            out.value = std::move(unique);
            return end_map();
        }
        default: {
            if (c != '-' && !is_digit(c)) return fail_peek(kExpectedValue);
            Number n;
            if (!parse_any_number(n)) return false;
            if (n.kind == Number::U64)
                out.value = n.u;
            else if (n.kind == Number::I64)
                out.value = n.i;
            else
                out.value = n.f;
            return true;
        }
    }
}

}  // namespace nuvrel_core::json
