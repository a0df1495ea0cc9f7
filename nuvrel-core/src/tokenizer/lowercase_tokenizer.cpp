#include "tokenizer/lowercase_tokenizer.h"

namespace nuvrel_core {

std::vector<Token> LowercaseTokenizer::tokenize(std::string_view text) const {
    return text_analysis::tokenize_cleaned(text, [](std::string_view cleaned) { return std::string(cleaned); });
}

}  // namespace nuvrel_core
