// One-line forwarding of a failed std::expected, as LevelDB forwards a
// Status:
//
//   NUVREL_TRY(auto n, in.vint());          // n is the value, or we return its error
//   NUVREL_TRY_VOID(check_footer(bytes));    // for an expected<void, E>
//   NUVREL_CO_TRY(auto b, co_await read());  // the same inside a coroutine
//
// The error converts to the enclosing function's error type (an IoError
// becomes an Error on the way up). The declaration takes the value by move,
// so `auto&` is not allowed; use `auto` or a named type.
#pragma once

#include <expected>
#include <utility>

#define NUVREL_TRY_CAT2_(a, b) a##b
#define NUVREL_TRY_CAT_(a, b) NUVREL_TRY_CAT2_(a, b)
#define NUVREL_TRY_TMP_ NUVREL_TRY_CAT_(nuvrel_try_, __COUNTER__)

#define NUVREL_TRY_IMPL_(ret, tmp, decl, ...)                       \
    auto tmp = (__VA_ARGS__);                                       \
    if (!tmp) ret std::unexpected(std::move(tmp).error());          \
    decl = std::move(*tmp)

#define NUVREL_TRY_VOID_IMPL_(ret, tmp, ...)                        \
    if (auto tmp = (__VA_ARGS__); !tmp) ret std::unexpected(std::move(tmp).error())

#define NUVREL_TRY(decl, ...) NUVREL_TRY_IMPL_(return, NUVREL_TRY_TMP_, decl, __VA_ARGS__)
#define NUVREL_TRY_VOID(...) NUVREL_TRY_VOID_IMPL_(return, NUVREL_TRY_TMP_, __VA_ARGS__)
#define NUVREL_CO_TRY(decl, ...) NUVREL_TRY_IMPL_(co_return, NUVREL_TRY_TMP_, decl, __VA_ARGS__)
#define NUVREL_CO_TRY_VOID(...) NUVREL_TRY_VOID_IMPL_(co_return, NUVREL_TRY_TMP_, __VA_ARGS__)
