// Structure: literals, arrays, objects and enumerations step by step,
// skipping a value whole, and free-form values.
#include <algorithm>
#include <string>
#include <utility>

#include "dsl/document.h"
#include "dsl/json/reader.h"
#include "dsl/json/syntax.h"

namespace nuvrel_core::json {
using namespace detail;

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

// ---- skipping ----

// Iterative, so a skipped value may nest to any depth. The state between
// two values:
//  - `enclosing`: the container ('[' or '{') that the next value belongs to,
//    0 at the top level;
//  - `stack`: the containers around it, innermost last, one byte each.
// A scalar leaves us in `enclosing`. An opening bracket pushes `enclosing`
// and makes the new container the one we are in; there the first element
// may follow at once, but no comma yet. In a container, a comma leads to the
// next element (in '{', a string key and ':' first); its closing bracket
// returns to the container around it (popped from `stack`). Closing the
// outermost container, or a scalar at the top level, ends the walk.
bool Reader::skip_value() {
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
        case '[':
            return in_brackets('[', [&] {
                JsonValue::Array items;
                bool first = true, has = false;
                for (;;) {
                    if (!next_element(first, has)) return false;
                    if (!has) break;
                    if (!read_any(items.emplace_back())) return false;
                }
                out.value = std::move(items);
                return true;
            });
        case '{':
            return in_brackets('{', [&] {
                JsonValue::Object entries;
                bool first = true, has = false;
                for (;;) {
                    if (!next_key(first, has)) return false;
                    if (!has) break;
                    std::string_view key;
                    if (!read_key(key)) return false;
                    entries.emplace_back(std::string(key), JsonValue{});
                    if (!object_colon() || !read_any(entries.back().second)) return false;
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
                return true;
            });
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
