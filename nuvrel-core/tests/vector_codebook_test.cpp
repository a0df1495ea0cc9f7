// The seeded RaBitQ codebook against reference values computed independently:
// seed expansion, the raw word stream, the single-sample rule on scripted
// words, and whole codebooks for seed 42.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "dsl/document.h"
#include "dsl/json/reader.h"
#include "structures/vector/quantization/rabitq.h"
#include "structures/vector/quantization/std_rng.h"

namespace nuvrel_test {
namespace {

using nuvrel_core::JsonValue;
using nuvrel_core::RaBitQCodebook;
using nuvrel_core::RaBitQConfig;
using nuvrel_core::StdRng;

const JsonValue& get(const JsonValue& v, std::string_view key) {
    for (const auto& [k, x] : std::get<JsonValue::Object>(v.value))
        if (k == key) return x;
    throw std::out_of_range(std::string(key));
}

const JsonValue::Object& object(const JsonValue& v) { return std::get<JsonValue::Object>(v.value); }

// An integer, negative ones as 64-bit two's complement.
std::uint64_t num(const JsonValue& v) {
    if (const auto* u = std::get_if<std::uint64_t>(&v.value)) return *u;
    return static_cast<std::uint64_t>(std::get<std::int64_t>(v.value));
}

std::vector<std::uint64_t> nums(const JsonValue& v) {
    std::vector<std::uint64_t> out;
    for (const auto& x : std::get<JsonValue::Array>(v.value)) out.push_back(num(x));
    return out;
}

// tests/data/codebook/codebook.json: the generator's key words and first
// draws per seed, scripted single-sample cases, and seed-42 codebooks by dim.
const JsonValue& reference() {
    static const JsonValue root = [] {
        std::ifstream in(std::string(NUVREL_TEST_DATA_DIR) + "/codebook/codebook.json");
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        nuvrel_core::json::Reader reader({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
        JsonValue v;
        if (!reader.read_any(v)) throw std::runtime_error("codebook.json does not read");
        return v;
    }();
    return root;
}

template <class T>
std::vector<std::uint64_t> widen(const T& v) {
    return {v.begin(), v.end()};
}

TEST(StdRng, SeedExpansionAndFirstDraws) {
    const JsonValue& generator = get(reference(), "generator");
    ASSERT_EQ(object(get(generator, "raw_u32")).size(), 3u);
    for (const auto& [seed_text, draws_wanted] : object(get(generator, "raw_u32"))) {
        SCOPED_TRACE(seed_text);
        const std::uint64_t seed = std::stoull(seed_text);
        EXPECT_EQ(widen(StdRng::expand_seed(seed)), nums(get(get(generator, "key_words"), seed_text)));
        StdRng rng = StdRng::seed_from_u64(seed);
        std::vector<std::uint64_t> draws;
        for (int i = 0; i < 64; ++i) draws.push_back(rng.next_u32());
        EXPECT_EQ(draws, nums(draws_wanted));
        EXPECT_EQ(rng.words_drawn(), 64u);
    }
}

TEST(StdRng, SingleSampleRuleOnScriptedWords) {
    const auto& cases = std::get<JsonValue::Array>(get(reference(), "single_sample_cases").value);
    ASSERT_EQ(cases.size(), 12u);
    for (const JsonValue& c : cases) {
        const auto high = static_cast<std::uint32_t>(num(get(c, "i")));
        SCOPED_TRACE(high);
        const std::vector<std::uint64_t> words = nums(get(c, "words"));
        std::size_t used = 0;
        const std::uint32_t got = nuvrel_core::uniform_inclusive_u32(high, [&] {
            return static_cast<std::uint32_t>(words.at(used++));
        });
        EXPECT_EQ(got, num(get(c, "result")));
        EXPECT_EQ(used, num(get(c, "draws")));
    }
}

TEST(RaBitQCodebook, MatchesReferenceForSeed42) {
    const auto& dims = object(get(get(reference(), "codebook"), "dims"));
    ASSERT_EQ(dims.size(), 8u);
    for (const auto& [dim, wanted] : dims) {
        SCOPED_TRACE(dim);
        const RaBitQConfig config{std::stoull(dim), 4, 42};
        auto cb = RaBitQCodebook::create(config, 5);
        ASSERT_TRUE(cb.has_value());
        EXPECT_EQ(widen(cb->random_signs), nums(get(wanted, "signs")));  // -1 as two's complement
        EXPECT_EQ(widen(cb->random_perm), nums(get(wanted, "perm")));
        EXPECT_EQ(cb->config, config);
        EXPECT_EQ(cb->version, 5u);
        EXPECT_EQ(*cb, *RaBitQCodebook::create(config, 5));
    }
}

TEST(RaBitQCodebook, DeterministicApartFromTheTimeStamp) {
    const RaBitQConfig config{33, 7, 123456789};
    const auto before = nuvrel_core::unix_millis_now();
    auto a = RaBitQCodebook::create(config);
    auto b = RaBitQCodebook::create(config);
    const auto after = nuvrel_core::unix_millis_now();
    ASSERT_TRUE(a.has_value() && b.has_value());
    EXPECT_EQ(a->random_signs, b->random_signs);
    EXPECT_EQ(a->random_perm, b->random_perm);
    EXPECT_EQ(a->config.query_bits, 7);
    EXPECT_GE(a->version, before);
    EXPECT_LE(b->version, after);
    EXPECT_GT(before, 1'700'000'000'000u);  // milliseconds, not seconds
}

TEST(RaBitQCodebook, DimensionFromADamagedIndexIsRefused) {
    auto r = RaBitQCodebook::create({std::uint64_t{1} << 60, 4, 42}, 0);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), nuvrel_core::IoErrorKind::InvalidData);
    EXPECT_TRUE(RaBitQCodebook::create({RaBitQCodebook::kMaxGeneratedDim + 1, 4, 42}, 0).error().kind() ==
                nuvrel_core::IoErrorKind::InvalidData);
}

}  // namespace
}  // namespace nuvrel_test
