#include "dsl/segment_list.h"

#include "dsl/json/record.h"

namespace nuvrel_core {

JsonResult<std::vector<std::string>> parse_segment_list(ByteView json) {
    return json::parse_whole<json::Seq<json::Str>>(json);
}

}  // namespace nuvrel_core
