#include "wand/wand_data.h"

#include <fmt/format.h>

namespace nuvrel_core {

std::optional<float> WandData::get_idf(std::string_view field, std::string_view term) const {
    if (term_info.empty()) return std::nullopt;
    auto it = term_info.find(fmt::format("{}:{}", field, term));
    if (it == term_info.end()) return std::nullopt;
    return it->second.idf;
}

}  // namespace nuvrel_core
