// The error of every JSON parse: a message and the position (line from 1,
// column counting bytes) at which reading stopped.
#pragma once

#include <cstddef>
#include <expected>
#include <string>

namespace nuvrel_core {

struct JsonError {
    std::string message;
    std::size_t line = 0;
    std::size_t column = 0;

    // "{message} at line {line} column {column}"
    std::string to_string() const;
};

template <class T>
using JsonResult = std::expected<T, JsonError>;

}  // namespace nuvrel_core
