// The stop-word lists embedded at build time from data/stopwords (one word per line, as published).
#pragma once

#include <string_view>

namespace nuvrel_core {

// The raw list of an ISO 639-1 code ("en", "fi", "fr", "de", "el", "hu", "it", "no", "pt", "ro", "ru", "es"),
// or an empty view for any other code. The bytes live as long as the program.
std::string_view embedded_stop_word_list(std::string_view code) noexcept;

}  // namespace nuvrel_core
