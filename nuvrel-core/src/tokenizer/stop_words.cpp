#include "tokenizer/stop_words.h"

#include <array>
#include <cstddef>

#include "tokenizer/stop_word_data.h"

namespace nuvrel_core {

std::optional<std::string_view> stop_word_list_code(Language language) noexcept {
    switch (language) {
        case Language::English: return "en";
        case Language::Finnish: return "fi";
        case Language::French: return "fr";
        case Language::German: return "de";
        case Language::Greek: return "el";
        case Language::Hungarian: return "hu";
        case Language::Italian: return "it";
        case Language::Norwegian: return "no";
        case Language::Portuguese: return "pt";
        case Language::Romanian: return "ro";
        case Language::Russian: return "ru";
        case Language::Spanish: return "es";
        default: return std::nullopt;
    }
}

std::optional<StopWordSet> load_stop_words(Language language) {
    const auto code = stop_word_list_code(language);
    if (!code) return std::nullopt;
    std::string_view list = embedded_stop_word_list(*code);
    StopWordSet words;
    while (!list.empty()) {
        const std::size_t eol = list.find('\n');
        const std::string_view line = list.substr(0, eol);
        if (!line.empty()) words.emplace(line);
        if (eol == std::string_view::npos) break;
        list.remove_prefix(eol + 1);
    }
    return words;
}

std::shared_ptr<const StopWordSet> shared_stop_words(Language language) {
    using Sets = std::array<std::shared_ptr<const StopWordSet>, kLanguageCount>;
    // Built on first use; after that a lookup takes no lock.
    static const Sets sets = [] {
        Sets out;
        for (std::size_t i = 0; i < out.size(); ++i)
            if (auto words = load_stop_words(static_cast<Language>(i)))
                out[i] = std::make_shared<const StopWordSet>(std::move(*words));
        return out;
    }();
    const auto i = static_cast<std::size_t>(language);
    return i < sets.size() ? sets[i] : nullptr;
}

}  // namespace nuvrel_core
