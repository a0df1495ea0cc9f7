// schema.json: any bytes parse to a schema or a JSON error; a schema that
// parses also yields its field list, name look-ups and default fields.
#include "dsl/schema.h"
#include "fuzz_support.h"
#include "index/index.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto schema = nuvrel_core::Schema::from_slice({data, size});
    if (!schema) return 0;
    for (const auto& [field, entry] : schema->field_list()) (void)schema->get_field(entry->name);
    (void)nuvrel_core::compute_default_fields(*schema);
    return 0;
}
