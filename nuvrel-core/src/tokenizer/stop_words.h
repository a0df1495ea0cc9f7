// Stop-word sets: the published list of a language, every word taken unchanged.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "tokenizer/language.h"

namespace nuvrel_core {

using StopWordSet = std::unordered_set<std::string>;

// The ISO 639-1 code of the list used for a language: English en, Finnish fi, French fr, German de, Greek el,
// Hungarian hu, Italian it, Norwegian no, Portuguese pt, Romanian ro, Russian ru, Spanish es. The other six
// languages have no list: nullopt.
std::optional<std::string_view> stop_word_list_code(Language language) noexcept;

// The language's words (no lower-casing, cleaning or stemming), or nullopt for a language without a list.
std::optional<StopWordSet> load_stop_words(Language language);

// The same words, built once for the process and shared by every tokenizer
// that filters by them (each index open builds its tokenizers); null for a
// language without a list.
std::shared_ptr<const StopWordSet> shared_stop_words(Language language);

}  // namespace nuvrel_core
