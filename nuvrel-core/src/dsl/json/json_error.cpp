#include "dsl/json/json_error.h"

#include <fmt/format.h>

namespace nuvrel_core {

std::string JsonError::to_string() const { return fmt::format("{} at line {} column {}", message, line, column); }

}  // namespace nuvrel_core
