#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "error.h"

using namespace nuvrel_core;

// Every variant's display text, including those no operation produces: the
// binding shows errors to Python only through these texts.
TEST(ErrorText, EveryVariant) {
    const std::pair<Error, std::string> cases[] = {
        {IoError::from_errno(ENOENT), std::string("IO error: ") + std::strerror(ENOENT) + " (os error 2)"},
        {IoError::invalid_data("bad block"), "IO error: bad block"},
        {IoError::invalid_input("Range 0..9 out of bounds (file size: 3)"),
         "IO error: Range 0..9 out of bounds (file size: 3)"},
        {IoError::fill_whole_buffer(), "IO error: failed to fill whole buffer"},
        {IoError::other("pool"), "IO error: pool"},
        {Error::FieldNotFound{"title"}, "Field not found: title"},
        {Error::InvalidFieldType{"text", "u64"}, "Invalid field type: expected text, got u64"},
        {Error::corruption("Invalid segment ID: zz"), "Index corruption: Invalid segment ID: zz"},
        {Error::serialization("EOF while parsing a value at line 1 column 0"),
         "Serialization error: EOF while parsing a value at line 1 column 0"},
        {Error::IndexClosed{}, "Index is closed"},
        {Error::DocumentNotFound{7}, "Document not found: 7"},
        {Error::DocumentNotFound{4294967295u}, "Document not found: 4294967295"},
        {Error::Schema{"no fields"}, "Schema error: no fields"},
        {Error::Query{"empty"}, "Query error: empty"},
        {Error::Internal{"x{}y"}, "Internal error: x{}y"},  // payload verbatim, braces and all
        {Error::FieldNotFound{""}, "Field not found: "},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.to_string(), text);
}
