#include "tokenizer/stemmer_tokenizer.h"

#include <libstemmer.h>

#include <array>
#include <climits>
#include <new>

#include "tokenizer/lowercase_tokenizer.h"

namespace nuvrel_core {
namespace {

// A Snowball stemmer keeps its working state inside the object, so one object must not serve two threads at
// once. Each thread keeps one per language, made on first use, which also spares a creation on every call.
sb_stemmer* thread_stemmer(Language language) {
    struct Cache {
        std::array<sb_stemmer*, kLanguageCount> stemmers{};
        ~Cache() {
            for (sb_stemmer* s : stemmers) sb_stemmer_delete(s);
        }
    };
    thread_local Cache cache;
    sb_stemmer*& slot = cache.stemmers[static_cast<unsigned>(language)];
    if (!slot) {
        slot = sb_stemmer_new(snowball_algorithm(language), "UTF_8");
        if (!slot) throw std::bad_alloc();  // the library's only failure for a known algorithm
    }
    return slot;
}

}  // namespace

std::vector<Token> StemmerTokenizer::tokenize(std::string_view text) const {
    if (!snowball_algorithm(language_))
        return text_analysis::tokenize_cleaned(text, [](std::string_view cleaned) { return std::string(cleaned); });
    sb_stemmer* const stemmer = thread_stemmer(language_);
    return text_analysis::tokenize_cleaned(text, [stemmer](std::string_view cleaned) {
        // The stemmer takes an int length; a word beyond that is kept as cleaned rather than cut.
        if (cleaned.size() > static_cast<std::size_t>(INT_MAX)) return std::string(cleaned);
        const sb_symbol* stem = sb_stemmer_stem(stemmer, reinterpret_cast<const sb_symbol*>(cleaned.data()),
                                                static_cast<int>(cleaned.size()));
        if (!stem) throw std::bad_alloc();
        return std::string(reinterpret_cast<const char*>(stem), static_cast<std::size_t>(sb_stemmer_length(stemmer)));
    });
}

}  // namespace nuvrel_core
