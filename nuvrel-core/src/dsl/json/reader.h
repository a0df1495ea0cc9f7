// A pull reader over one JSON text with the engine's reading rules: one value
// then only whitespace, nesting at most 127 deep, integers exact within 64
// bits, floats from a 64-bit significand and a power of ten, and fixed error
// texts that end in the position where reading stopped.
//
// Every read operation returns false after it has recorded an error; the
// first error is final and the caller returns at once. Most errors carry
// their position when raised. A few (missing/duplicate field, invalid
// length, a payload variant written bare) are raised without one and get the
// position of the enclosing value's reader when it gives up: `fix_position`
// does that, and the record, list, map and scalar readers call it on the way
// out, so error texts match what users of the index files have always seen.
//
// Higher layers (record tables, codecs) live in dsl/json/record.h; most code
// should use those rather than this class directly.
#pragma once

#include <cstddef>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "directories/owned_bytes.h"
#include "dsl/json/json_error.h"

namespace nuvrel_core {

struct JsonValue;

namespace json {

// A number as read: which of the three forms it took.
struct Number {
    enum Kind : std::uint8_t { U64, I64, F64 } kind = U64;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0.0;
};

// Describes a number or string found where something else was expected.
std::string describe_float(double v);             // "floating point `1.5`"
std::string describe_string(std::string_view s);  // "string \"a\\nb\""
std::string describe_number(const Number& n);     // integer/floating point text
// The list of valid names in an unknown-variant message: "`a` or `b`", "one of `a`, `b`, `c`".
std::string one_of(std::span<const std::string_view> names);

class Reader {
public:
    explicit Reader(ByteView input) : p_(input.data()), n_(input.size()) {}

    // ---- position and raw bytes ----
    // Skips whitespace and returns the next byte, or -1 at the end of the text.
    int peek_ws() noexcept {
        while (i_ < n_) {
            std::uint8_t c = p_[i_];
            if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
                ++i_;
                continue;
            }
            return c;
        }
        return -1;
    }
    int peek() const noexcept { return i_ < n_ ? p_[i_] : -1; }
    void eat() noexcept { ++i_; }
    std::size_t offset() const noexcept { return i_; }

    // ---- errors ----
    // A syntax error at the byte being looked at ("peek" position: one past it).
    bool fail_peek(const char* message);
    // An error at the current offset (after the bytes consumed).
    bool fail_here(const char* message);
    bool fail_here(std::string message);
    // An error without a position yet; fix_position gives it the current one.
    bool fail_custom(std::string message);
    void fix_position() noexcept;
    bool failed() const noexcept { return failed_; }
    // The recorded error with line and column computed by scanning the text.
    JsonError error() const;

    // Standard custom error texts.
    bool fail_invalid_type(std::string_view found, std::string_view expected);
    bool fail_invalid_value(std::string_view found, std::string_view expected);
    bool fail_invalid_length(std::size_t len, std::string_view expected);
    bool fail_missing_field(std::string_view key);
    bool fail_duplicate_field(std::string_view key);
    bool fail_unknown_variant(std::string_view name, std::span<const std::string_view> names);
    // The error for a value of the wrong kind at the next byte: reads a scalar
    // to describe it (its own syntax error wins), "sequence"/"map" for brackets.
    bool fail_peek_invalid_type(std::string_view expected);

    // ---- scalars (each skips leading whitespace, fixes positions on failure) ----
    // An integer literal within [min, max]; `word` names the type in messages.
    bool read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view word);
    bool read_signed(std::int64_t& out, std::int64_t min, std::int64_t max, std::string_view word);
    bool read_f64(double& out);
    bool read_f32(float& out);
    bool read_bool(bool& out);
    bool read_string(std::string& out);
    // A string as a view valid until the next read (borrowed from the input
    // when it has no escape, else from an internal buffer).
    bool read_str(std::string_view& out, std::string_view expected = "a string");
    // `null` (true, consumed) or anything else (false, nothing consumed).
    bool read_null(bool& is_null);
    // Any JSON number (the syntax only: peek must be '-' or a digit).
    bool parse_any_number(Number& out);
    // A free-form value; object keys sorted, the last of a repeated key kept.
    bool read_any(JsonValue& out);
    // Skips one value of any depth, checking only its grammar, escapes and raw
    // control characters.
    bool skip_value();

    // ---- structure steps ----
    // Opening one more array or object level; false once the limit is hit.
    bool enter() {
        if (--depth_left_ == 0) return fail_peek("recursion limit exceeded");
        return true;
    }
    void leave() noexcept { ++depth_left_; }
    // For trusted texts only (test data): lifts the nesting limit.
    void disable_recursion_limit() noexcept { depth_left_ = 1 << 30; }

    // Inside an array: `has` tells whether another element follows (then the
    // reader stands on it).
    bool next_element(bool& first, bool& has);
    // Inside an object: `has` tells whether another key follows; then the
    // reader stands on the key's opening quote, read it with read_key.
    bool next_key(bool& first, bool& has);
    // The key text, strictly decoded (view valid until the next read).
    bool read_key(std::string_view& key);
    bool object_colon();
    bool end_seq();
    bool end_map();

    // The one way into an array or object whose opening bracket (`open`,
    // '[' or '{') is the next byte: enter a level, step past the bracket, run
    // body() (which reads the entries), leave, then expect the closing
    // bracket. After a failed body the close is still attempted, to consume
    // what it would, but the body's error is the one kept, then positioned.
    template <class Body>
    bool in_brackets(int open, Body&& body) {
        if (!enter()) return false;
        eat();
        const bool ok = body();
        leave();
        bool (Reader::*close)() = open == '[' ? &Reader::end_seq : &Reader::end_map;
        if (ok) return (this->*close)();
        after_error(close);
        return false;
    }

    // An array (seq) or object (map) value read by body() as in_brackets
    // does; any other value fails with the invalid-type error naming
    // `expected`.
    template <class Body>
    bool seq(std::string_view expected, Body&& body) {
        return bracketed('[', expected, body);
    }
    template <class Body>
    bool map(std::string_view expected, Body&& body) {
        return bracketed('{', expected, body);
    }

    // ---- enumerations ----
    // Reads the variant name: a bare string (braced = false) or '{', the name
    // and ':' (braced = true; the payload follows). `index` is the name's
    // position in `names`.
    bool enum_begin(std::span<const std::string_view> names, std::size_t& index, bool& braced);
    // After the payload of a braced variant: the closing '}'.
    bool enum_end();
    // The payload of a variant without one, braced: `null`.
    bool read_unit();

    // ---- whole texts ----
    // After the top-level value: only whitespace may follow.
    bool end();

private:
    template <class Body>
    bool bracketed(int open, std::string_view expected, Body& body) {
        int c = peek_ws();
        if (c < 0) return fail_peek("EOF while parsing a value");
        if (c != open) {
            fail_peek_invalid_type(expected);
            fix_position();
            return false;
        }
        return in_brackets(open, body);
    }
    bool integer_error(const Number& n, std::string_view word);
    void after_error(bool (Reader::*end)());
    int next_entry(bool& first, bool& has, int close, const char* expected_sep, const char* eof);
    bool parse_integer(bool positive, Number& out);
    bool parse_number_tail(bool positive, std::uint64_t significand, Number& out);
    bool parse_long_integer(bool positive, std::uint64_t significand, double& out);
    bool parse_decimal(bool positive, std::uint64_t significand, int exponent_before, double& out);
    bool parse_decimal_overflow(bool positive, std::uint64_t significand, int exponent, double& out);
    bool parse_exponent(bool positive, std::uint64_t significand, int starting_exp, double& out);
    bool parse_exponent_overflow(bool positive, bool zero_significand, bool positive_exp, double& out);
    bool f64_from_parts(bool positive, std::uint64_t significand, int exponent, double& out);
    bool parse_ident(const char* rest);
    bool read_number(Number& out, std::string_view expected);
    bool parse_str(std::string_view& out);  // after the opening quote
    bool parse_escape();
    bool parse_unicode_escape();
    bool decode_hex_escape(std::uint16_t& out);
    bool ignore_str();
    bool ignore_escape();
    bool ignore_integer();
    bool ignore_decimal();
    bool ignore_exponent();
    void skip_to_escape() noexcept;

    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t i_ = 0;
    int depth_left_ = 128;
    std::string scratch_;

    bool failed_ = false;
    bool positioned_ = false;
    std::size_t err_at_ = 0;
    std::string message_;
};

}  // namespace json
}  // namespace nuvrel_core
