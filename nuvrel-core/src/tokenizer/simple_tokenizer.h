// Splits at white space and keeps every word as it is.
#pragma once

#include <string_view>
#include <vector>

#include "tokenizer/token.h"

namespace nuvrel_core {

class SimpleTokenizer {
public:
    std::vector<Token> tokenize(std::string_view text) const;
};

}  // namespace nuvrel_core
