#include <gtest/gtest.h>

#include <unicode/uchar.h>
#include <unicode/uloc.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tokenizer/lowercase_tokenizer.h"
#include "tokenizer/simple_tokenizer.h"
#include "tokenizer/stemmer_tokenizer.h"
#include "tokenizer/stop_word_tokenizer.h"
#include "tokenizer/stop_words.h"
#include "tokenizer/text_analysis.h"
#include "tokenizer/tokenizer_registry.h"

using namespace nuvrel_core;

namespace nuvrel_core {
void PrintTo(const Token& t, std::ostream* os) {
    *os << '{' << testing::PrintToString(t.text) << ", " << t.start << ", " << t.end << ", " << t.position << '}';
}
}  // namespace nuvrel_core

namespace {

std::vector<std::string> texts(const std::vector<Token>& tokens) {
    std::vector<std::string> out;
    for (const Token& t : tokens) out.push_back(t.text);
    return out;
}

std::vector<std::string> lower(std::string_view text) { return texts(LowercaseTokenizer{}.tokenize(text)); }

using Strings = std::vector<std::string>;

StopWordTokenizer<LowercaseTokenizer> en_stop() {
    return *StopWordTokenizer<LowercaseTokenizer>::create(Language::English);
}

}  // namespace

TEST(WordSplitting, OffsetsDescribeTheRawWord) {
    const std::string text = "  Hello,  World!  ";
    EXPECT_EQ(SimpleTokenizer{}.tokenize(text), (std::vector<Token>{{"Hello,", 2, 8, 0}, {"World!", 10, 16, 1}}));
    EXPECT_EQ(LowercaseTokenizer{}.tokenize(text), (std::vector<Token>{{"hello", 2, 8, 0}, {"world", 10, 16, 1}}));
    // A repeated word gets the offsets of its own occurrence, not of the first one.
    EXPECT_EQ(SimpleTokenizer{}.tokenize("ab ab\tab"),
              (std::vector<Token>{{"ab", 0, 2, 0}, {"ab", 3, 5, 1}, {"ab", 6, 8, 2}}));
    EXPECT_EQ(StemmerTokenizer(Language::English).tokenize("-- Running!  cats"),
              (std::vector<Token>{{"run", 3, 11, 0}, {"cat", 13, 17, 1}}));
    EXPECT_TRUE(SimpleTokenizer{}.tokenize("").empty());
    EXPECT_TRUE(LowercaseTokenizer{}.tokenize(" \t\r\n\v\f").empty());
}

TEST(WordSplitting, EveryWhiteSpaceCharacterSeparates) {
    // U+00A0 (2 bytes) and U+3000 (3 bytes) split like a space; the offsets count their bytes.
    EXPECT_EQ(SimpleTokenizer{}.tokenize("a\u00A0b\u3000c\u0085d"),
              (std::vector<Token>{{"a", 0, 1, 0}, {"b", 3, 4, 1}, {"c", 7, 8, 2}, {"d", 10, 11, 3}}));
    // Zero-width space and word joiner are not White_Space: they stay inside the word.
    EXPECT_EQ(texts(SimpleTokenizer{}.tokenize("a\u200Bb\u2060c")), Strings{"a\u200Bb\u2060c"});
    for (UChar32 c = 0; c <= 0x10FFFF; ++c)
        ASSERT_EQ(text_analysis::is_white_space(c), static_cast<bool>(u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)))
            << std::hex << c;
}

TEST(WordSplitting, IllFormedBytesBelongToWordsAndNeverSwallowASeparator) {
    // A truncated three-byte sequence right before a space: the space still separates.
    EXPECT_EQ(SimpleTokenizer{}.tokenize("x\xE2\x80 y\xFFz \xC2"),
              (std::vector<Token>{{"x\xE2\x80", 0, 3, 0}, {"y\xFFz", 4, 7, 1}, {"\xC2", 8, 9, 2}}));
    // Cleaning drops the ill-formed bytes; a word of nothing else gives no token.
    EXPECT_EQ(LowercaseTokenizer{}.tokenize("x\xE2\x80 y\xFFz \xC2"),
              (std::vector<Token>{{"x", 0, 3, 0}, {"yz", 4, 7, 1}}));
    // A punctuation-only word takes no position either.
    EXPECT_EQ(LowercaseTokenizer{}.tokenize("a -- b ... c"),
              (std::vector<Token>{{"a", 0, 1, 0}, {"b", 5, 6, 1}, {"c", 11, 12, 2}}));
}

TEST(LowercaseCleaning, KeepsAlphanumericsAndMapsFullyWithoutContext) {
    const std::pair<const char*, Strings> cases[] = {
        {"don't e-mail U.S.A.", {"dont", "email", "usa"}},
        // An encoded surrogate and an overlong form are ill-formed too.
        {"a\xED\xA0\x80\xC0\xAF" "b", {"ab"}},
        // U+0301 is a mark without the Alphabetic property: dropped. The precomposed U+00E9 stays.
        {"e\u0301 \u00E9 \u00C9", {"e", "\u00E9", "\u00E9"}},
        // Nd (Arabic-Indic three), Nl (Roman numeral twelve, lower-cased), No (vulgar half, superscript two).
        {"\u0663 \u216B \u00BD\u00B2", {"\u0663", "\u217B", "\u00BD\u00B2"}},
        // Symbols and emoji go; letters of other scripts stay.
        {"\u20AC5 \U0001F600 \u65E5\u672C", {"5", "\u65E5\u672C"}},
        // A mark that is Alphabetic (Devanagari vowel sign AA) is kept.
        {"\u0915\u093E", {"\u0915\u093E"}},
        // Capital sigma is small sigma everywhere, also where a final sigma would be written;
        // a final sigma already in the text is kept as it is.
        {"\u039F\u0394\u039F\u03A3 \u03A3 \u03BF\u03C2", {"\u03BF\u03B4\u03BF\u03C3", "\u03C3", "\u03BF\u03C2"}},
        // U+0130 expands to i + combining dot above; the dot is added by the mapping, not cleaned away.
        {"\u0130stanbul", {"i\u0307stanbul"}},
        // Capital sharp s, Kelvin sign, the title-case digraph and a supplementary-plane capital.
        {"\u1E9E \u212A \u01C5 \U00010400", {"\u00DF", "k", "\u01C6", "\U00010428"}},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(lower(text), want) << text;
}

TEST(LowercaseCleaning, IgnoresTheProcessLocale) {
    char saved[ULOC_FULLNAME_CAPACITY] = {};
    std::snprintf(saved, sizeof saved, "%s", uloc_getDefault());
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("tr_TR", &status);
    ASSERT_TRUE(U_SUCCESS(status));
    const auto got = lower("\u0130 I");  // Turkish rules would give "i" and dotless "ı"
    uloc_setDefault(saved, &status);
    EXPECT_EQ(got, (Strings{"i\u0307", "i"}));
}

TEST(StopWords, ListsLoadUnchanged) {
    const std::pair<Language, std::size_t> sizes[] = {
        {Language::English, 1298}, {Language::German, 620},    {Language::French, 691},   {Language::Russian, 559},
        {Language::Spanish, 732},  {Language::Finnish, 847},   {Language::Greek, 847},    {Language::Hungarian, 789},
        {Language::Italian, 632},  {Language::Norwegian, 221}, {Language::Portuguese, 560}, {Language::Romanian, 434},
    };
    for (auto [language, size] : sizes) {
        const auto words = load_stop_words(language);
        ASSERT_TRUE(words) << static_cast<int>(language);
        EXPECT_EQ(words->size(), size) << *stop_word_list_code(language);
        // The process-wide copy holds the same words, built once: every
        // tokenizer over the language shares it.
        const auto shared = shared_stop_words(language);
        ASSERT_TRUE(shared) << static_cast<int>(language);
        EXPECT_EQ(*shared, *words);
        EXPECT_EQ(shared, shared_stop_words(language));
        EXPECT_EQ(&StopWordTokenizer<LowercaseTokenizer>::create(language)->stop_words(), shared.get());
    }
    const auto en = *load_stop_words(Language::English);
    EXPECT_TRUE(en.contains("'tis") && en.contains("should've") && en.contains("the"));
    EXPECT_TRUE(load_stop_words(Language::Spanish)->contains("por qu\u00E9"));
    EXPECT_TRUE(load_stop_words(Language::Russian)->contains("\u0441 \u043A\u0435\u043C"));
    for (Language l : {Language::Arabic, Language::Danish, Language::Dutch, Language::Swedish, Language::Tamil,
                       Language::Turkish}) {
        EXPECT_FALSE(load_stop_words(l)) << static_cast<int>(l);
        EXPECT_FALSE(shared_stop_words(l)) << static_cast<int>(l);
        EXPECT_FALSE(StopWordTokenizer<LowercaseTokenizer>::create(l));
        EXPECT_FALSE(StopWordTokenizer<StemmerTokenizer>::create(Language::English, l));
    }
}

TEST(StopWordTokenizer, DroppedWordLeavesAPositionGap) {
    EXPECT_EQ(en_stop().tokenize("The cat"), (std::vector<Token>{{"cat", 4, 7, 1}}));
    // "--" takes no position, "the" takes one and is dropped.
    EXPECT_EQ(en_stop().tokenize("cat -- THE dog"), (std::vector<Token>{{"cat", 0, 3, 0}, {"dog", 11, 14, 2}}));
    // A list entry with an apostrophe never matches: the token has lost it.
    EXPECT_EQ(texts(en_stop().tokenize("Should've stayed")), (Strings{"shouldve", "stayed"}));
}

// Every built-in name, each row listing the names that must behave the same. A stemmer row tells its
// language from its neighbours (Danish and Norwegian, Spanish and Portuguese stem these words differently);
// a stop-word row tells its list from the other languages'.
TEST(TokenizerRegistry, FiftyBuiltinsEachBehavingAsNamed) {
    const TokenizerRegistry registry;
    EXPECT_EQ(registry.size(), 50u);
    EXPECT_EQ(TokenizerRegistry::builtin_names().size(), 50u);
    for (std::string_view name : TokenizerRegistry::builtin_names()) EXPECT_TRUE(registry.contains(name)) << name;
    EXPECT_FALSE(registry.get("nope"));
    const std::tuple<std::vector<const char*>, const char*, Strings> cases[] = {
        {{"default", "lowercase"}, "The Connections", {"the", "connections"}},
        {{"simple", "raw"}, "The Connections", {"The", "Connections"}},
        {{"ar_stem", "arabic"}, "\u0627\u0644\u0643\u062A\u0627\u0628", {"\u0643\u062A\u0627\u0628"}},
        {{"da_stem", "danish"}, "bilerne gutten", {"bil", "gut"}},
        {{"nl_stem", "dutch"}, "lichamelijk", {"licham"}},
        {{"en_stem", "english"}, "Connections", {"connect"}},
        {{"fi_stem", "finnish"}, "taloissa", {"talo"}},
        {{"fr_stem", "french"}, "continuellement", {"continuel"}},
        {{"de_stem", "german"}, "H\u00E4user", {"haus"}},
        {{"el_stem", "greek"}, "\u039A\u0391\u0398\u0397\u039C\u0395\u03A1\u0399\u039D\u0388\u03A3",
         {"\u03BA\u03B1\u03B8\u03B7\u03BC\u03B5\u03C1\u03B9\u03BD"}},
        {{"hu_stem", "hungarian"}, "h\u00E1zakban", {"h\u00E1z"}},
        {{"it_stem", "italian"}, "abbandonata", {"abbandon"}},
        {{"no_stem", "norwegian"}, "bilerne gutten", {"bilern", "gutt"}},
        {{"pt_stem", "portuguese"}, "correndo corriendo", {"corr", "corri"}},
        {{"ro_stem", "romanian"}, "c\u00E2inii", {"c\u00E2in"}},
        {{"ru_stem", "russian"}, "\u041A\u043E\u0448\u043A\u0430\u043C\u0438", {"\u043A\u043E\u0448\u043A"}},
        {{"es_stem", "spanish"}, "correndo corriendo", {"corrend", "corr"}},
        {{"sv_stem", "swedish"}, "h\u00E4starna", {"h\u00E4st"}},
        // The virama (U+0BCD) is a mark without the Alphabetic property: cleaning drops it before the stemmer
        // sees the second word, which then no longer ends in the plural suffix.
        {{"ta_stem", "tamil"}, "\u0BB5\u0BC0\u0B9F\u0BC1\u0B95\u0BB3\u0BC8 \u0BB5\u0BC0\u0B9F\u0BC1\u0B95\u0BB3\u0BCD",
         {"\u0BB5\u0BC0\u0B9F\u0BC1", "\u0BB5\u0BC0\u0B9F\u0BC1\u0B95\u0BB3"}},
        {{"tr_stem", "turkish"}, "kitaplar", {"kitap"}},
        {{"en_stop"}, "The Connections", {"connections"}},
        // "running" is not listed, but its stem "run" is: the stemmed text is what is compared.
        {{"en_stem_stop"}, "The running Connections", {"connect"}},
        {{"de_stop"}, "Die H\u00E4user", {"h\u00E4user"}},
        {{"de_stem_stop"}, "Die H\u00E4user", {"haus"}},
        {{"fr_stop"}, "Le chat", {"chat"}},
        {{"fr_stem_stop"}, "Le continuellement", {"continuel"}},
        {{"es_stop"}, "el corriendo", {"corriendo"}},
        {{"es_stem_stop"}, "el corriendo", {"corr"}},
        {{"ru_stop"}, "\u0438 \u043A\u043E\u0448\u043A\u0430\u043C\u0438", {"\u043A\u043E\u0448\u043A\u0430\u043C\u0438"}},
        {{"ru_stem_stop"}, "\u0438 \u043A\u043E\u0448\u043A\u0430\u043C\u0438", {"\u043A\u043E\u0448\u043A"}},
    };
    for (const auto& [names, text, want] : cases)
        for (const char* name : names) EXPECT_EQ(texts(registry.get(name)->tokenize(text)), want) << name;
}

TEST(TokenizerRegistry, CopiesShareTheMapAndHandedOutTokenizersStayValid) {
    const TokenizerRegistry registry;
    const auto en_stop = registry.get("en_stop");
    const TokenizerRegistry handle = registry;
    handle.register_tokenizer("default", SimpleTokenizer{});
    handle.register_tokenizer("mine", StemmerTokenizer(Language::French));
    handle.register_tokenizer("en_stop", SimpleTokenizer{});
    EXPECT_EQ(registry.size(), 51u);
    EXPECT_EQ(texts(registry.get("default")->tokenize("The")), Strings{"The"});
    EXPECT_EQ(texts(registry.get("mine")->tokenize("continuellement")), Strings{"continuel"});
    // A tokenizer handed out before its entry was replaced keeps working.
    EXPECT_EQ(texts(en_stop->tokenize("The cat")), Strings{"cat"});
    EXPECT_EQ(texts(en_stop->clone_box()->tokenize("The cat")), Strings{"cat"});
}

// Threads register names while others stem in several languages at once,
// through handed-out tokenizers and fresh ones: no state may be shared.
TEST(TokenizerRegistry, ConcurrentRegistrationLookupAndStemming) {
    const TokenizerRegistry registry;
    const std::string text = "Connections running h\u00E4user Katzen gutten bilerne corriendo correndo";
    const std::pair<const char*, Language> languages[] = {
        {"english", Language::English}, {"german", Language::German}, {"spanish", Language::Spanish},
        {"danish", Language::Danish}};
    std::vector<std::vector<Token>> expected;
    for (auto [name, language] : languages) expected.push_back(StemmerTokenizer(language).tokenize(text));
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                registry.register_tokenizer("t" + std::to_string(t) + "_" + std::to_string(i % 20), LowercaseTokenizer{});
                const auto& [name, language] = languages[(t + i) % 4];
                EXPECT_EQ(registry.get(name)->tokenize(text), expected[(t + i) % 4]) << name;
                EXPECT_EQ(StemmerTokenizer(language).tokenize(text), expected[(t + i) % 4]) << name;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(registry.size(), 50u + 8 * 20);
}
