// The named tokenizers of an index. Copies of a registry are handles onto one shared map (registering through
// any of them is seen by all); the tokenizers inside are owned by the map and handed out as deep copies.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/token.h"

namespace nuvrel_core {

class TokenizerRegistry {
public:
    // A registry holding the 50 built-in tokenizers, registered in the order of builtin_names().
    TokenizerRegistry();
    // The same as the constructor.
    static TokenizerRegistry default_registry() { return TokenizerRegistry(); }

    // Adds the tokenizer under name, replacing (and dropping) any tokenizer registered under it before.
    // Takes the map's lock exclusively for the one insertion.
    template <Tokenizer T>
    void register_tokenizer(std::string_view name, T tokenizer) const {
        insert(std::string(name), std::make_unique<BoxedTokenizer<T>>(std::move(tokenizer)));
    }

    // A deep copy of the tokenizer registered under name, or null when there is none.
    std::unique_ptr<TokenizerClone> get(std::string_view name) const;
    bool contains(std::string_view name) const;
    std::size_t size() const;

    // The built-in names in registration order: "default", "simple", "lowercase", "raw", then per stemming
    // language its code with "_stem" and its English name, then the five "_stop" and five "_stem_stop" entries.
    static std::vector<std::string_view> builtin_names();

private:
    struct Shared;
    void insert(std::string name, std::unique_ptr<TokenizerClone> tokenizer) const;

    std::shared_ptr<Shared> shared_;
};

}  // namespace nuvrel_core
