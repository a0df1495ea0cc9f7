// The seeded RaBitQ codebook against reference values computed independently:
// seed expansion, the raw word stream, the single-sample rule on scripted
// words, and whole codebooks for seed 42.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
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

struct Reference {
    std::map<std::string, std::map<std::uint64_t, std::vector<std::uint64_t>>> tables;
    std::vector<std::vector<std::uint64_t>> single_sample;  // i, result, draws, words...

    const std::vector<std::uint64_t>& at(const std::string& name, std::uint64_t key) const {
        return tables.at(name).at(key);
    }
};

const JsonValue& get(const JsonValue& v, std::string_view key) {
    for (const auto& [k, x] : std::get<JsonValue::Object>(v.value))
        if (k == key) return x;
    throw std::out_of_range(std::string(key));
}

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

const Reference& reference() {
    static const Reference ref = [] {
        std::ifstream in(std::string(NUVREL_TEST_DATA_DIR) + "/codebook/codebook.json");
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        nuvrel_core::json::Reader reader({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
        JsonValue root;
        if (!reader.read_any(root)) throw std::runtime_error("codebook.json does not read");
        Reference r;
        for (const char* name : {"key_words", "raw_u32"})
            for (const auto& [seed, words] : std::get<JsonValue::Object>(get(get(root, "generator"), name).value))
                r.tables[name][std::stoull(seed)] = nums(words);
        for (const auto& c : std::get<JsonValue::Array>(get(root, "single_sample_cases").value)) {
            std::vector<std::uint64_t> row{num(get(c, "i")), num(get(c, "result")), num(get(c, "draws"))};
            for (auto w : nums(get(c, "words"))) row.push_back(w);
            r.single_sample.push_back(std::move(row));
        }
        for (const auto& [dim, cb] : std::get<JsonValue::Object>(get(get(root, "codebook"), "dims").value)) {
            const std::uint64_t d = std::stoull(dim);
            r.tables["signs"][d] = nums(get(cb, "signs"));
            r.tables["perm"][d] = nums(get(cb, "perm"));
        }
        return r;
    }();
    return ref;
}

template <class T>
std::vector<std::uint64_t> widen(const std::vector<T>& v) {
    return {v.begin(), v.end()};
}

TEST(StdRng, SeedExpansionAndFirstDraws) {
    ASSERT_EQ(reference().tables.at("raw_u32").size(), 3u);
    for (std::uint64_t seed : {0, 1, 42}) {
        SCOPED_TRACE(seed);
        auto key = StdRng::expand_seed(seed);
        EXPECT_EQ(widen(std::vector<std::uint32_t>(key.begin(), key.end())), reference().at("key_words", seed));

        StdRng rng = StdRng::seed_from_u64(seed);
        std::vector<std::uint64_t> draws;
        for (int i = 0; i < 64; ++i) draws.push_back(rng.next_u32());
        EXPECT_EQ(draws, reference().at("raw_u32", seed));
        EXPECT_EQ(rng.words_drawn(), 64u);
    }
}

TEST(StdRng, SingleSampleRuleOnScriptedWords) {
    ASSERT_EQ(reference().single_sample.size(), 12u);
    for (const auto& c : reference().single_sample) {
        const auto high = static_cast<std::uint32_t>(c[0]);
        SCOPED_TRACE(high);
        std::size_t used = 0;
        const std::uint32_t got = nuvrel_core::uniform_inclusive_u32(high, [&] {
            return static_cast<std::uint32_t>(c.at(3 + used++));
        });
        EXPECT_EQ(got, c[1]);
        EXPECT_EQ(used, c[2]);
    }
}

TEST(RaBitQCodebook, MatchesReferenceForSeed42) {
    ASSERT_EQ(reference().tables.at("signs").size(), 8u);
    for (const auto& [dim, signs] : reference().tables.at("signs")) {
        SCOPED_TRACE(dim);
        const RaBitQConfig config{dim, 4, 42};
        auto cb = RaBitQCodebook::create(config, 5);
        ASSERT_TRUE(cb.has_value());
        EXPECT_EQ(widen(cb->random_signs), widen(std::vector<std::int8_t>(signs.begin(), signs.end())));
        EXPECT_EQ(widen(cb->random_perm), reference().at("perm", dim));
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
