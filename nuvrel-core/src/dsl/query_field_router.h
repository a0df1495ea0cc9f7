// Query routing rules: parsed and kept with the schema, never applied.
#pragma once

#include <cstdint>
#include <string>

namespace nuvrel_core {

enum class RoutingMode : std::uint8_t { Exclusive, Additional };

struct QueryRouterRule {
    std::string pattern;
    std::string substitution;
    std::string target_field;
    RoutingMode mode = RoutingMode::Additional;
};

}  // namespace nuvrel_core
