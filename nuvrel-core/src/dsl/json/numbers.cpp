// Numbers: integers exact within 64 bits, floats from a 64-bit significand
// and a power of ten, and the grammar-only walk over a number that
// skip_value uses.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dsl/json/reader.h"
#include "dsl/json/syntax.h"

namespace nuvrel_core::json {
using namespace detail;
namespace {

// Powers of ten exactly as the decimal literals round; the float algorithm
// multiplies or divides by these and is deliberately not always correctly
// rounded, matching the writer's reader.
constexpr double kPow10[309] = {
1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29, 1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39, 1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49, 1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56, 1e57, 1e58, 1e59, 1e60, 1e61, 1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69, 1e70, 1e71, 1e72, 1e73, 1e74, 1e75, 1e76, 1e77, 1e78, 1e79, 1e80, 1e81, 1e82, 1e83, 1e84, 1e85, 1e86, 1e87, 1e88, 1e89, 1e90, 1e91, 1e92, 1e93, 1e94, 1e95, 1e96, 1e97, 1e98, 1e99, 1e100, 1e101, 1e102, 1e103, 1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119, 1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129, 1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142, 1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152, 1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159, 1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168, 1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179, 1e180, 1e181, 1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191, 1e192, 1e193, 1e194, 1e195, 1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207, 1e208, 1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220, 1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239, 1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249, 1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259, 1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271, 1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287, 1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298, 1e299, 1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308
};

inline bool u64_overflows(std::uint64_t acc, std::uint64_t digit) noexcept {
    constexpr std::uint64_t kMax = UINT64_MAX;
    return acc >= kMax / 10 && (acc > kMax / 10 || digit > kMax % 10);
}
inline bool i32_overflows(std::int32_t acc, std::int32_t digit) noexcept {
    constexpr std::int32_t kMax = INT32_MAX;
    return acc >= kMax / 10 && (acc > kMax / 10 || digit > kMax % 10);
}

}  // namespace

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

}  // namespace nuvrel_core::json
