// What the JSON reader's source files share: the fixed message texts and
// the character class they all test.
#pragma once

namespace nuvrel_core::json::detail {

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

}  // namespace nuvrel_core::json::detail
