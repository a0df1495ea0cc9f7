// "segments.json": a JSON array of segment ids written in hexadecimal.
#pragma once

#include <string>
#include <vector>

#include "directories/owned_bytes.h"
#include "dsl/json/json_error.h"

namespace nuvrel_core {

JsonResult<std::vector<std::string>> parse_segment_list(ByteView json);

}  // namespace nuvrel_core
