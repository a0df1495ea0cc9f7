// Splits at white space, keeps the alphanumeric characters of each word and lower-cases them. A word left
// empty (punctuation only) gives no token and takes no position.
#pragma once

#include <string_view>
#include <vector>

#include "tokenizer/text_analysis.h"
#include "tokenizer/token.h"

namespace nuvrel_core {

class LowercaseTokenizer {
public:
    std::vector<Token> tokenize(std::string_view text) const;
};

namespace text_analysis {

// The walk shared by the cleaning tokenizers: every word is cleaned into one reused buffer; a non-empty result
// becomes a token whose text is make_text(cleaned), with the raw word's offsets and the next position.
template <class MakeText>
std::vector<Token> tokenize_cleaned(std::string_view text, MakeText&& make_text) {
    std::vector<Token> tokens;
    std::string cleaned;
    std::uint32_t position = 0;
    for_each_word(text, [&](std::string_view word, std::size_t start) {
        cleaned.clear();
        append_cleaned_lowercase(word, cleaned);
        if (cleaned.empty()) return;
        tokens.push_back(Token{make_text(std::string_view(cleaned)), start, start + word.size(), position++});
    });
    return tokens;
}

}  // namespace text_analysis
}  // namespace nuvrel_core
