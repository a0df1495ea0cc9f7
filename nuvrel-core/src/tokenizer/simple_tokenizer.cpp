#include "tokenizer/simple_tokenizer.h"

#include "tokenizer/text_analysis.h"

namespace nuvrel_core {

std::vector<Token> SimpleTokenizer::tokenize(std::string_view text) const {
    std::vector<Token> tokens;
    std::uint32_t position = 0;
    text_analysis::for_each_word(text, [&](std::string_view word, std::size_t start) {
        tokens.push_back(Token{std::string(word), start, start + word.size(), position++});
    });
    return tokens;
}

}  // namespace nuvrel_core
