// The lower-case tokenizer followed by the Snowball stemmer of one language. The stem is the token text even
// when the stemmer leaves nothing.
#pragma once

#include <string_view>
#include <vector>

#include "tokenizer/language.h"
#include "tokenizer/token.h"

namespace nuvrel_core {

class StemmerTokenizer {
public:
    explicit StemmerTokenizer(Language language) noexcept : language_(language) {}

    // A language value outside the enumeration has no algorithm; its words are cleaned and left unstemmed.
    std::vector<Token> tokenize(std::string_view text) const;
    Language language() const noexcept { return language_; }

private:
    Language language_;
};

}  // namespace nuvrel_core
