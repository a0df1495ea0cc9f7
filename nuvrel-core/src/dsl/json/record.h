// Declarative reading of the engine's JSON records.
//
// A record (a C++ struct) is described once by a table; the same table reads
// both of its JSON forms:
//   - an object with keys in any order: undeclared keys are skipped (their
//     value need only be well-formed), a declared key twice fails with
//     "duplicate field `k`", an absent Required key with "missing field `k`"
//     (the first in table order);
//   - an array of the member values in table order, which may stop after
//     `array_required` members; a shorter one fails with "invalid length
//     {given}, expected {name} with {N} elements", a longer one with
//     "trailing characters". Members past the end keep their initial value.
// Anything else fails with "invalid type: {found}, expected {name}".
//
// Declaring a record:
//
//   struct Point { std::uint64_t dim = 0; std::optional<std::string> path; bool raw = true; };
//
//   namespace nuvrel_core::json {
//   template <> struct JsonRecord<Point> {
//       static constexpr auto table = record<Point>(
//           "struct Point", /*array_required=*/1,
//           member<&Point::dim, Usize>("dim", Required),
//           member<&Point::path>("path", Optional),
//           member<&Point::raw>("raw", Default));
//   };
//   }
//   ... JsonResult<Point> p = json::parse_whole<json::Rec<Point>>(bytes);
//
// - Required: the key must be present. Optional: absent gives the member's
//   initial value (std::nullopt); with an std::optional member, null is none.
//   Default: absent gives the initial value written in the struct; null is NOT
//   accepted unless the codec accepts it. Presence concerns the object form
//   only: in the array form the first `array_required` members must all be
//   there (an Optional one among them may be null).
// - The codec (how the value is read) follows from the member's C++ type
//   (CodecFor<T>) or is named as the second template argument when the type
//   word in messages differs: U8 "u8", I8 "i8", U32 "u32", U64 "u64",
//   Usize "usize" (u64 counts), I64 "i64", F32, F64, Bool, Str, Any (a
//   free-form JsonValue), Opt<C>, Seq<C> (a JSON array, "a sequence"),
//   MapOf<Container, KeyCodec, C> (a JSON object, "a map", the last of a
//   repeated key wins; KeyCodec StrKey for string keys or NumKey<C> for
//   numbers written in quotes), Enum<E>, Rec<R>.
// - Nested records need only their own JsonRecord specialisation; Seq<Rec<R>>
//   and Opt<Rec<R>> compose (CodecFor picks them up from the member type).
//
// Declaring an enumeration without payloads (a JSON string of one of the
// names, or {"name": null}); the enum's values must be 0, 1, ... in order:
//
//   template <> struct JsonEnum<Mode> {   // in namespace nuvrel_core::json
//       static constexpr std::array<std::string_view, 2> names{"exclusive", "additional"};
//   };
//
// An enumeration with payloads ({"name": payload}) is read with
// Reader::enum_begin / enum_end directly, the payload read between them by the
// variant's codec; a bare name then fails with bare_variant_error() (see the
// stored-document reader for a complete example).
//
// Whole texts: parse_whole<C>(bytes) reads one value with codec C and then
// requires only whitespace after it.
//
// Examples in the tree: dsl/schema.cpp (records, unit enumerations, a string
// keyed map), dsl/document.cpp (a payload enumeration, a 2-tuple),
// structures/vector/vector_json.cpp (templated records, maps keyed by
// numbers in quotes, u8/i8/f32 arrays, optional nested lists).
//
// A custom codec is any type with `using value_type = T;` and
// `static bool read(Reader&, T&)` that follows the Reader's error protocol
// (return false right after a fail_* call; see reader.h).
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "dsl/document.h"
#include "dsl/json/reader.h"

namespace nuvrel_core::json {

template <class R>
struct JsonRecord;  // specialise with `static constexpr auto table = record<R>(...)`
template <class E>
struct JsonEnum;  // specialise with `static constexpr std::array<std::string_view, N> names`

// ---- scalar codecs ----
template <class T, std::uint64_t Max, const char* Word>
struct UnsignedCodec {
    using value_type = T;
    static bool read(Reader& r, T& v) {
        std::uint64_t x;
        if (!r.read_unsigned(x, Max, Word)) return false;
        v = static_cast<T>(x);
        return true;
    }
};
template <class T, std::int64_t Min, std::int64_t Max, const char* Word>
struct SignedCodec {
    using value_type = T;
    static bool read(Reader& r, T& v) {
        std::int64_t x;
        if (!r.read_signed(x, Min, Max, Word)) return false;
        v = static_cast<T>(x);
        return true;
    }
};
inline constexpr char kU8[] = "u8";
inline constexpr char kU32[] = "u32";
inline constexpr char kU64[] = "u64";
inline constexpr char kUsize[] = "usize";
inline constexpr char kI8[] = "i8";
inline constexpr char kI64[] = "i64";
using U8 = UnsignedCodec<std::uint8_t, 0xFF, kU8>;
using U32 = UnsignedCodec<std::uint32_t, 0xFFFFFFFFu, kU32>;
using U64 = UnsignedCodec<std::uint64_t, UINT64_MAX, kU64>;
using Usize = UnsignedCodec<std::uint64_t, UINT64_MAX, kUsize>;
using I8 = SignedCodec<std::int8_t, -128, 127, kI8>;
using I64 = SignedCodec<std::int64_t, INT64_MIN, INT64_MAX, kI64>;

struct F32 {
    using value_type = float;
    static bool read(Reader& r, float& v) { return r.read_f32(v); }
};
struct F64 {
    using value_type = double;
    static bool read(Reader& r, double& v) { return r.read_f64(v); }
};
struct Bool {
    using value_type = bool;
    static bool read(Reader& r, bool& v) { return r.read_bool(v); }
};
struct Str {
    using value_type = std::string;
    static bool read(Reader& r, std::string& v) { return r.read_string(v); }
};
struct Any {
    using value_type = JsonValue;
    static bool read(Reader& r, JsonValue& v) { return r.read_any(v); }
};

// ---- composites ----
template <class C>
struct Opt {
    using value_type = std::optional<typename C::value_type>;
    static bool read(Reader& r, value_type& v) {
        bool is_null;
        if (!r.read_null(is_null)) return false;
        if (is_null) {
            v.reset();
            return true;
        }
        return C::read(r, v.emplace());
    }
};

template <class C>
struct Seq {
    using value_type = std::vector<typename C::value_type>;
    static bool read(Reader& r, value_type& v) {
        return r.seq("a sequence", [&] {
            bool first = true, has = false;
            for (;;) {
                if (!r.next_element(first, has)) return false;
                if (!has) return true;
                if (!C::read(r, v.emplace_back())) return false;
            }
        });
    }
};

// String keys, strictly decoded.
struct StrKey {
    using value_type = std::string;
    static bool read_key(Reader& r, std::string& k) {
        std::string_view s;
        if (!r.read_key(s)) return false;
        k.assign(s);
        return true;
    }
};

// Integer keys written in quotes ("7"), read by codec C.
template <class C>
struct NumKey {
    using value_type = typename C::value_type;
    static bool read_key(Reader& r, value_type& k) {
        r.eat();  // '"'
        int c = r.peek();
        if (!((c >= '0' && c <= '9') || c == '-'))
            return r.fail_here("invalid value: expected key to be a number in quotes");
        if (!C::read(r, k)) return false;
        if (r.peek() != '"') return r.fail_peek("expected `\"`");
        r.eat();
        return true;
    }
};

template <class Container, class KeyCodec, class C>
struct MapOf {
    using value_type = Container;
    static bool read(Reader& r, Container& m) {
        return r.map("a map", [&] {
            bool first = true, has = false;
            for (;;) {
                if (!r.next_key(first, has)) return false;
                if (!has) return true;
                typename KeyCodec::value_type key{};
                typename C::value_type value{};
                if (!KeyCodec::read_key(r, key) || !r.object_colon() || !C::read(r, value)) return false;
                m.insert_or_assign(std::move(key), std::move(value));
            }
        });
    }
};

template <class E>
struct Enum {
    using value_type = E;
    static bool read(Reader& r, E& v) {
        std::size_t index = 0;
        bool braced = false;
        if (!r.enum_begin(JsonEnum<E>::names, index, braced)) return false;
        if (braced && !(r.read_unit() && r.enum_end())) return false;
        v = static_cast<E>(index);
        return true;
    }
};

// ---- records ----
enum Presence : std::uint8_t { Required, Optional, Default };

template <class R>
struct Member {
    std::string_view key;
    Presence presence;
    bool (*read)(Reader&, R&);
};

template <class R, std::size_t N>
struct RecordTable {
    std::string_view name;       // "struct X", the expected text of a wrong kind of value
    std::size_t array_required;  // how many leading members the array form must hold
    std::array<Member<R>, N> members;

    // What a short array was expected to be: "struct X with N elements".
    std::string length_text() const { return fmt::format("{} with {} element{}", name, N, N == 1 ? "" : "s"); }
};

template <class R, class... M>
constexpr RecordTable<R, sizeof...(M)> record(std::string_view name, std::size_t array_required, M... members) {
    return {name, array_required, {members...}};
}

template <class R>
struct Rec;

// The codec a member type reads with when none is named.
template <class T, class = void>
struct CodecForT;
template <class T>
using CodecFor = typename CodecForT<T>::type;
template <> struct CodecForT<std::uint8_t> { using type = U8; };
template <> struct CodecForT<std::int8_t> { using type = I8; };
template <> struct CodecForT<std::uint32_t> { using type = U32; };
template <> struct CodecForT<std::uint64_t> { using type = U64; };
template <> struct CodecForT<std::int64_t> { using type = I64; };
template <> struct CodecForT<float> { using type = F32; };
template <> struct CodecForT<double> { using type = F64; };
template <> struct CodecForT<bool> { using type = Bool; };
template <> struct CodecForT<std::string> { using type = Str; };
template <> struct CodecForT<JsonValue> { using type = Any; };
template <class T> struct CodecForT<std::optional<T>> { using type = Opt<CodecFor<T>>; };
template <class T> struct CodecForT<std::vector<T>> { using type = Seq<CodecFor<T>>; };
template <class T>
struct CodecForT<T, std::enable_if_t<std::is_enum_v<T>>> { using type = Enum<T>; };
template <class T>
struct CodecForT<T, std::void_t<decltype(JsonRecord<T>::table)>> { using type = Rec<T>; };

template <class P>
struct MemberPtr;
template <class R, class T>
struct MemberPtr<T R::*> {
    using record = R;
    using type = T;
};

// One member of a record table: its key, whether it may be absent, and how
// its value is read (the codec C; by default from the member's type).
template <auto Ptr, class C = CodecFor<typename MemberPtr<decltype(Ptr)>::type>>
constexpr Member<typename MemberPtr<decltype(Ptr)>::record> member(std::string_view key, Presence presence) {
    using R = typename MemberPtr<decltype(Ptr)>::record;
    return {key, presence, [](Reader& r, R& rec) { return C::read(r, rec.*Ptr); }};
}

// Reads a record by its table, in object or array form.
template <class R, std::size_t N>
bool read_record(Reader& r, const RecordTable<R, N>& table, R& out) {
    static_assert(N <= 64, "a record of at most 64 members");
    int c = r.peek_ws();
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    if (c == '[') {
        return r.in_brackets('[', [&] {
            bool first = true, has = false;
            for (std::size_t i = 0; i < N; ++i) {
                if (!r.next_element(first, has)) return false;
                if (!has) {
                    if (i < table.array_required) return r.fail_invalid_length(i, table.length_text());
                    return true;
                }
                if (!table.members[i].read(r, out)) return false;
            }
            return true;
        });
    }
    if (c == '{') {
        return r.in_brackets('{', [&] {
            std::uint64_t seen = 0;
            bool first = true, has = false;
            for (;;) {
                if (!r.next_key(first, has)) return false;
                if (!has) break;
                std::string_view key;
                if (!r.read_key(key)) return false;
                std::size_t i = 0;
                while (i < N && table.members[i].key != key) ++i;
                if (i == N) {
                    if (!r.object_colon() || !r.skip_value()) return false;
                    continue;
                }
                if (seen & (std::uint64_t{1} << i)) return r.fail_duplicate_field(table.members[i].key);
                seen |= std::uint64_t{1} << i;
                if (!r.object_colon() || !table.members[i].read(r, out)) return false;
            }
            for (std::size_t i = 0; i < N; ++i)
                if (table.members[i].presence == Required && !(seen & (std::uint64_t{1} << i)))
                    return r.fail_missing_field(table.members[i].key);
            return true;
        });
    }
    r.fail_peek_invalid_type(table.name);
    r.fix_position();
    return false;
}

template <class R>
struct Rec {
    using value_type = R;
    static bool read(Reader& r, R& v) { return read_record(r, JsonRecord<R>::table, v); }
};

// The error for a payload variant written as a bare string: "newtype
// variant", or "struct variant" when the payload is a record. It has no
// position of its own: the enclosing value's reader gives it one.
inline bool bare_variant_error(Reader& r, bool struct_variant) {
    return r.fail_invalid_type("unit variant", struct_variant ? "struct variant" : "newtype variant");
}

// One whole JSON text read with codec C: the value, then only whitespace.
template <class C>
JsonResult<typename C::value_type> parse_whole(ByteView bytes) {
    Reader r(bytes);
    typename C::value_type v{};
    if (!C::read(r, v) || !r.end()) return std::unexpected(r.error());
    return v;
}

}  // namespace nuvrel_core::json
