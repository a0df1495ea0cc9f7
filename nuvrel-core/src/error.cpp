#include "error.h"

#include <fmt/format.h>

namespace nuvrel_core {

namespace {
template <class... F> struct Overload : F... { using F::operator()...; };
}  // namespace

std::string Error::to_string() const {
    return std::visit(
        Overload{
            [](const Io& e) { return "IO error: " + e.error.to_string(); },
            [](const FieldNotFound& e) { return "Field not found: " + e.name; },
            [](const InvalidFieldType& e) {
                return fmt::format("Invalid field type: expected {}, got {}", e.expected, e.found);
            },
            [](const Corruption& e) { return "Index corruption: " + e.message; },
            [](const Serialization& e) { return "Serialization error: " + e.message; },
            [](const IndexClosed&) { return std::string("Index is closed"); },
            [](const DocumentNotFound& e) { return fmt::format("Document not found: {}", e.doc_id); },
            [](const Schema& e) { return "Schema error: " + e.message; },
            [](const Query& e) { return "Query error: " + e.message; },
            [](const Internal& e) { return "Internal error: " + e.message; },
        },
        v_);
}

}  // namespace nuvrel_core
