#include "tokenizer/tokenizer_registry.h"

#include <array>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "tokenizer/language.h"
#include "tokenizer/lowercase_tokenizer.h"
#include "tokenizer/simple_tokenizer.h"
#include "tokenizer/stemmer_tokenizer.h"
#include "tokenizer/stop_word_tokenizer.h"

namespace nuvrel_core {
namespace {

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

enum class Kind { Simple, Lowercase, Stem, Stop, StemStop };

struct Builtin {
    std::string_view name;
    Kind kind;
    Language language;  // stemming and stop-word language alike; unused by Simple and Lowercase
};

using L = Language;
constexpr std::array<Builtin, 50> kBuiltins = {{
    {"default", Kind::Lowercase, L::English},
    {"simple", Kind::Simple, L::English},
    {"lowercase", Kind::Lowercase, L::English},
    {"raw", Kind::Simple, L::English},
    {"en_stem", Kind::Stem, L::English},     {"english", Kind::Stem, L::English},
    {"ar_stem", Kind::Stem, L::Arabic},      {"arabic", Kind::Stem, L::Arabic},
    {"da_stem", Kind::Stem, L::Danish},      {"danish", Kind::Stem, L::Danish},
    {"nl_stem", Kind::Stem, L::Dutch},       {"dutch", Kind::Stem, L::Dutch},
    {"fi_stem", Kind::Stem, L::Finnish},     {"finnish", Kind::Stem, L::Finnish},
    {"fr_stem", Kind::Stem, L::French},      {"french", Kind::Stem, L::French},
    {"de_stem", Kind::Stem, L::German},      {"german", Kind::Stem, L::German},
    {"el_stem", Kind::Stem, L::Greek},       {"greek", Kind::Stem, L::Greek},
    {"hu_stem", Kind::Stem, L::Hungarian},   {"hungarian", Kind::Stem, L::Hungarian},
    {"it_stem", Kind::Stem, L::Italian},     {"italian", Kind::Stem, L::Italian},
    {"no_stem", Kind::Stem, L::Norwegian},   {"norwegian", Kind::Stem, L::Norwegian},
    {"pt_stem", Kind::Stem, L::Portuguese},  {"portuguese", Kind::Stem, L::Portuguese},
    {"ro_stem", Kind::Stem, L::Romanian},    {"romanian", Kind::Stem, L::Romanian},
    {"ru_stem", Kind::Stem, L::Russian},     {"russian", Kind::Stem, L::Russian},
    {"es_stem", Kind::Stem, L::Spanish},     {"spanish", Kind::Stem, L::Spanish},
    {"sv_stem", Kind::Stem, L::Swedish},     {"swedish", Kind::Stem, L::Swedish},
    {"ta_stem", Kind::Stem, L::Tamil},       {"tamil", Kind::Stem, L::Tamil},
    {"tr_stem", Kind::Stem, L::Turkish},     {"turkish", Kind::Stem, L::Turkish},
    {"en_stop", Kind::Stop, L::English},
    {"de_stop", Kind::Stop, L::German},
    {"fr_stop", Kind::Stop, L::French},
    {"ru_stop", Kind::Stop, L::Russian},
    {"es_stop", Kind::Stop, L::Spanish},
    {"en_stem_stop", Kind::StemStop, L::English},
    {"de_stem_stop", Kind::StemStop, L::German},
    {"fr_stem_stop", Kind::StemStop, L::French},
    {"ru_stem_stop", Kind::StemStop, L::Russian},
    {"es_stem_stop", Kind::StemStop, L::Spanish},
}};

}  // namespace

struct TokenizerRegistry::Shared {
    mutable std::shared_mutex lock;
    std::unordered_map<std::string, std::unique_ptr<TokenizerClone>, NameHash, std::equal_to<>> map;
};

TokenizerRegistry::TokenizerRegistry() : shared_(std::make_shared<Shared>()) {
    for (const Builtin& b : kBuiltins) {
        switch (b.kind) {
            case Kind::Simple: register_tokenizer(b.name, SimpleTokenizer{}); break;
            case Kind::Lowercase: register_tokenizer(b.name, LowercaseTokenizer{}); break;
            case Kind::Stem: register_tokenizer(b.name, StemmerTokenizer(b.language)); break;
            // Every built-in stop-word language has a list, so create() always gives a tokenizer here.
            case Kind::Stop:
                register_tokenizer(b.name, *StopWordTokenizer<LowercaseTokenizer>::create(b.language));
                break;
            case Kind::StemStop:
                register_tokenizer(b.name, *StopWordTokenizer<StemmerTokenizer>::create(b.language, b.language));
                break;
        }
    }
}

void TokenizerRegistry::insert(std::string name, std::unique_ptr<TokenizerClone> tokenizer) const {
    std::unique_lock guard(shared_->lock);
    // The replaced tokenizer, if any, moves into the argument and is dropped after the lock is released.
    std::swap(shared_->map[std::move(name)], tokenizer);
    guard.unlock();
}

std::unique_ptr<TokenizerClone> TokenizerRegistry::get(std::string_view name) const {
    std::shared_lock guard(shared_->lock);
    const auto it = shared_->map.find(name);
    return it == shared_->map.end() ? nullptr : it->second->clone_box();
}

bool TokenizerRegistry::contains(std::string_view name) const {
    std::shared_lock guard(shared_->lock);
    return shared_->map.contains(name);
}

std::size_t TokenizerRegistry::size() const {
    std::shared_lock guard(shared_->lock);
    return shared_->map.size();
}

std::vector<std::string_view> TokenizerRegistry::builtin_names() {
    std::vector<std::string_view> names;
    names.reserve(kBuiltins.size());
    for (const Builtin& b : kBuiltins) names.push_back(b.name);
    return names;
}

}  // namespace nuvrel_core
