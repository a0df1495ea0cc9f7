// The one error type of every fallible index-level operation.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

#include "io_error.h"

namespace nuvrel_core {

class Error {
public:
    struct Io { IoError error; };
    struct FieldNotFound { std::string name; };
    struct InvalidFieldType { std::string expected; std::string found; };
    struct Corruption { std::string message; };
    struct Serialization { std::string message; };
    struct IndexClosed {};
    struct DocumentNotFound { std::uint32_t doc_id; };
    struct Schema { std::string message; };
    struct Query { std::string message; };
    struct Internal { std::string message; };

    using Variant = std::variant<Io, FieldNotFound, InvalidFieldType, Corruption, Serialization,
                                 IndexClosed, DocumentNotFound, Schema, Query, Internal>;

    Error(IoError e) : v_(Io{std::move(e)}) {}  // NOLINT: I/O errors convert implicitly, as they propagate
    template <class V>
        requires std::is_constructible_v<Variant, V&&> && (!std::is_same_v<std::remove_cvref_t<V>, IoError>)
    Error(V&& v) : v_(std::forward<V>(v)) {}

    static Error corruption(std::string m) { return Corruption{std::move(m)}; }
    static Error serialization(std::string m) { return Serialization{std::move(m)}; }

    const Variant& variant() const noexcept { return v_; }
    template <class V> bool is() const noexcept { return std::holds_alternative<V>(v_); }
    template <class V> const V* get_if() const noexcept { return std::get_if<V>(&v_); }

    std::string to_string() const;

private:
    Variant v_;
};

template <class T>
using Result = std::expected<T, Error>;

}  // namespace nuvrel_core
