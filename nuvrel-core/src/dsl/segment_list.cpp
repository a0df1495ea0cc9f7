#include "dsl/segment_list.h"

namespace nuvrel_core {

// Placeholder until the JSON reader lands.
JsonResult<std::vector<std::string>> parse_segment_list(ByteView) {
    return std::unexpected(JsonError{"JSON reader not built yet", 1, 0});
}

}  // namespace nuvrel_core
