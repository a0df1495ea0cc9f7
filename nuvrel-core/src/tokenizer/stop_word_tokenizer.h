// Runs an inner tokenizer and drops every token whose text is a stop word, byte for byte. Kept tokens keep their
// offsets and positions, so a dropped word leaves a gap in the positions.
#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/language.h"
#include "tokenizer/lowercase_tokenizer.h"
#include "tokenizer/stemmer_tokenizer.h"
#include "tokenizer/stop_words.h"
#include "tokenizer/token.h"

namespace nuvrel_core {

template <Tokenizer Inner>
class StopWordTokenizer {
public:
    StopWordTokenizer(StopWordSet stop_words, Inner inner)
        : StopWordTokenizer(std::make_shared<const StopWordSet>(std::move(stop_words)), std::move(inner)) {}
    StopWordTokenizer(std::shared_ptr<const StopWordSet> stop_words, Inner inner)
        : stop_words_(std::move(stop_words)), inner_(std::move(inner)) {}

    // Lower-case tokens filtered by the list of stop_language; nullopt when the language has no list.
    static std::optional<StopWordTokenizer> create(Language stop_language)
        requires std::same_as<Inner, LowercaseTokenizer>
    {
        auto words = shared_stop_words(stop_language);
        if (!words) return std::nullopt;
        return StopWordTokenizer(std::move(words), LowercaseTokenizer{});
    }

    // Stems in stemming_language, then filters the stems by the list of stop_language (compared as they are:
    // the list itself is not stemmed); nullopt when stop_language has no list.
    static std::optional<StopWordTokenizer> create(Language stemming_language, Language stop_language)
        requires std::same_as<Inner, StemmerTokenizer>
    {
        auto words = shared_stop_words(stop_language);
        if (!words) return std::nullopt;
        return StopWordTokenizer(std::move(words), StemmerTokenizer(stemming_language));
    }

    std::vector<Token> tokenize(std::string_view text) const {
        std::vector<Token> tokens = inner_.tokenize(text);
        std::erase_if(tokens, [this](const Token& t) { return stop_words_->contains(t.text); });
        return tokens;
    }

    const StopWordSet& stop_words() const noexcept { return *stop_words_; }
    const Inner& inner() const noexcept { return inner_; }

private:
    std::shared_ptr<const StopWordSet> stop_words_;  // shared: the lists never change
    Inner inner_;
};

}  // namespace nuvrel_core
