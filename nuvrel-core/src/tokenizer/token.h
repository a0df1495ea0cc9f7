// The unit every tokenizer produces, and the two interfaces through which tokenizers are used: `Tokenizer`, met
// statically by the concrete types, and `TokenizerClone`, the boxed form the registry holds.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nuvrel_core {

struct Token {
    std::string text;         // the word after the tokenizer's processing
    std::size_t start = 0;    // byte offset of the raw word's first byte in the input
    std::size_t end = 0;      // byte offset just past the raw word
    std::uint32_t position = 0;  // tokens the word-level tokenizer emitted before this one

    bool operator==(const Token&) const = default;
};

// A tokenizer is a read-only value: tokenize() never fails and may run on several threads at once.
template <class T>
concept Tokenizer = std::copy_constructible<T> && requires(const T& t, std::string_view text) {
    { t.tokenize(text) } -> std::same_as<std::vector<Token>>;
};

class TokenizerClone {
public:
    virtual ~TokenizerClone() = default;
    virtual std::vector<Token> tokenize(std::string_view text) const = 0;
    // A deep copy: nothing is shared with this tokenizer afterwards.
    virtual std::unique_ptr<TokenizerClone> clone_box() const = 0;
};

template <Tokenizer T>
class BoxedTokenizer final : public TokenizerClone {
public:
    explicit BoxedTokenizer(T tokenizer) : tokenizer_(std::move(tokenizer)) {}
    std::vector<Token> tokenize(std::string_view text) const override { return tokenizer_.tokenize(text); }
    std::unique_ptr<TokenizerClone> clone_box() const override {
        return std::make_unique<BoxedTokenizer>(tokenizer_);
    }
    const T& get() const noexcept { return tokenizer_; }

private:
    T tokenizer_;
};

}  // namespace nuvrel_core
