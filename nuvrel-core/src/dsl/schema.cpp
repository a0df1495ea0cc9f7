#include "dsl/schema.h"

namespace nuvrel_core {

std::optional<Field> Schema::get_field(std::string_view name) const {
    if (name_to_field.empty()) return std::nullopt;
    auto it = name_to_field.find(std::string(name));
    if (it == name_to_field.end()) return std::nullopt;
    return it->second;
}

std::vector<std::pair<Field, const FieldEntry*>> Schema::field_list() const {
    std::vector<std::pair<Field, const FieldEntry*>> out;
    out.reserve(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) out.emplace_back(static_cast<Field>(i), &fields[i]);
    return out;
}

// Placeholder until the JSON reader lands.
JsonResult<Schema> Schema::from_slice(ByteView) {
    return std::unexpected(JsonError{"JSON reader not built yet", 1, 0});
}

}  // namespace nuvrel_core
