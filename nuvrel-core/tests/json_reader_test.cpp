// Reading rules that the reference outcomes do not pin down one by one:
// number edge cases, string scanning, schema lookups and hostile input
// (deep nesting, truncation, damaged bytes, huge numbers).
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>

#include "dsl/document.h"
#include "dsl/json/reader.h"
#include "dsl/schema.h"
#include "dsl/segment_list.h"
#include "support/outcome.h"

using namespace nuvrel_core;

namespace {

ByteView bytes_of(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

JsonResult<Document> doc(std::string_view s) { return parse_document(bytes_of(s)); }

std::string doc_error(std::string_view s) { return nuvrel_test::error_text(doc(s)); }

// The one value of a one-pair document.
FieldValue single(std::string_view payload) {
    std::string text = "{\"field_values\": [[0, " + std::string(payload) + "]]}";
    auto r = doc(text);
    EXPECT_TRUE(r.has_value()) << text << ": " << (r ? "" : r.error().to_string());
    if (!r || r->field_values.size() != 1) return {};
    return r->field_values[0].second;
}

double f64_of(std::string_view literal) { return std::get<3>(single("{\"f64\": " + std::string(literal) + "}")); }

const char* kRichDocument =
    "{\"field_values\": [[0, {\"text\": \"caf\\u00e9 \\ud83d\\ude00 \\\"q\\\"\\n\"}], [1, {\"u64\": 7}],"
    " [2, {\"i64\": -3}], [3, {\"f64\": 1.5e-3}], [4, {\"bytes\": [0, 255]}],"
    " [5, {\"sparse_vector\": [[1, 9], [0.5, 2]]}], [6, {\"dense_vector\": [1, -2.5e2]}],"
    " [7, {\"json\": {\"b\": [true, null, \"x\"], \"a\": {\"k\": -0}}}]], \"extra\": [{\"x\": 1e400}]}";

const char* kRichSchema =
    "{\"fields\": [{\"name\": \"title\", \"field_type\": \"text\", \"indexed\": true, \"stored\": true,"
    " \"tokenizer\": \"default\"}, [\"v\", {\"dense_vector\": null}, false, true, null, true,"
    " {\"index_size\": \"U32\", \"weight_quantization\": \"UInt4\", \"weight_threshold\": 0.25},"
    " {\"dim\": 8, \"index_type\": \"sca_n_n\", \"coarse_centroids_path\": \"c.bin\", \"mrl_dim\": 4}]],"
    " \"name_to_field\": {\"title\": 0, \"v\": 1}, \"default_fields\": [0],"
    " \"query_routers\": [{\"pattern\": \"p\", \"substitution\": \"s\", \"target_field\": \"t\", \"mode\": \"exclusive\"}]}";

}  // namespace

TEST(JsonNumbers, ExtremeLiteralsReadOrFailNeverCrash) {
    const std::pair<std::string, double> reads[] = {
        {"0e999999999999", 0.0},
        {"1e-999999999999", 0.0},
        {"4.9406564584124654e-324", std::bit_cast<double>(std::uint64_t{1})},
        // Digits beyond the 64-bit significand: integer ones scale, fraction ones drop.
        {"1.23456789012345678901234567890", 12345678901234567890.0 / 1e19},
        {"0." + std::string(20000, '0') + "1", 0.0},
        {"1." + std::string(20000, '9'), 19999999999999999999.0 / 1e19},
    };
    for (const auto& [literal, value] : reads) EXPECT_EQ(f64_of(literal), value) << literal.substr(0, 40);
    EXPECT_TRUE(std::signbit(f64_of("-0")));
    EXPECT_EQ(std::get<6>(single("{\"dense_vector\": [-1e39]}")).at(0), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(doc_error("{\"field_values\": [[0, {\"f64\": 1e99999999999}]]}"),
              "number out of range at line 1 column 42");
    EXPECT_EQ(doc_error("{\"field_values\": [[0, {\"f64\": " + std::string(20000, '1') + "}]]}"),
              "number out of range at line 1 column 20030");
}

TEST(JsonStrings, EscapesScanningAndInvalidUtf8) {
    // Escapes, quotes and control bytes at each position around the 8-byte scan.
    for (std::size_t pad = 0; pad < 20; ++pad) {
        std::string p(pad, 'x');
        auto v = single("{\"text\": \"" + p + "\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041\\ud83d\\ude00" + p + "\"}");
        EXPECT_EQ(std::get<0>(v), p + "\"\\/\b\f\n\r\tA\xf0\x9f\x98\x80" + p);
        std::string raw = "{\"field_values\": [[0, {\"text\": \"" + p + "\x01\"}]]}";
        EXPECT_EQ(doc_error(raw), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                                      std::to_string(33 + pad));
    }
    // Invalid UTF-8 is an error at the closing quote; a skipped value is not decoded.
    for (const char* bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\xff", "\x80"}) {
        std::string text = std::string("{\"field_values\": [[0, {\"text\": \"ab") + bad + "cd\"}]]}";
        EXPECT_EQ(doc_error(text), "invalid unicode code point at line 1 column " + std::to_string(37 + std::strlen(bad)));
    }
    EXPECT_EQ(doc_error("{\"x\": \"\xff\\ud800\", \"field_values\": []}"), "ok");
    // Columns count bytes, not characters.
    EXPECT_EQ(nuvrel_test::error_text(Schema::from_slice(bytes_of("{\n  \"fields\": [],\n  \"caf\xc3\xa9\": x"))),
              "expected value at line 3 column 12");
}

TEST(JsonFreeForm, ObjectsSortedByBytesAndLastKeyWins) {
    auto v = std::get<7>(single("{\"json\": {\"b\": 1, \"a\": 2, \"b\": -3, \"\xc3\xa9\": 4, \"B\": 5}}"));
    auto u = [](std::uint64_t n) { return JsonValue{n}; };
    EXPECT_EQ(v, (JsonValue{JsonValue::Object{{"B", u(5)}, {"a", u(2)}, {"b", JsonValue{std::int64_t{-3}}}, {"\xc3\xa9", u(4)}}}));
}

TEST(JsonNesting, LimitCountsDocumentLevelsAndSkipsUndeclaredValues) {
    auto nested = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
    EXPECT_EQ(doc_error("{\"field_values\": [[0, {\"json\": " + nested(123) + "}]]}"), "ok");
    EXPECT_EQ(doc_error("{\"field_values\": [[0, {\"json\": " + nested(124) + "}]]}"),
              "recursion limit exceeded at line 1 column 155");
    // Deep values under undeclared keys are skipped iteratively, at any depth.
    EXPECT_EQ(doc_error("{\"x\": " + nested(200000) + ", \"field_values\": []}"), "ok");
    EXPECT_EQ(doc_error("{\"x\": " + std::string(200000, '[')), "EOF while parsing a list at line 1 column 200006");
    // Hostile depth in a free-form value stops at the limit, whatever the length.
    std::string deep = "{\"field_values\": [[0, {\"json\": " + std::string(1000000, '[');
    EXPECT_EQ(doc_error(deep), "recursion limit exceeded at line 1 column 155");
    auto schema = Schema::from_slice(bytes_of("{\"fields\": " + std::string(300, '[')));
    ASSERT_FALSE(schema);
    EXPECT_EQ(schema.error().message, "invalid type: sequence, expected a string");
}

TEST(JsonHostile, TruncatedAndDamagedInputFailsCleanly) {
    for (const char* whole : {kRichDocument, kRichSchema}) {
        std::string text = whole;
        bool is_doc = whole == kRichDocument;
        ASSERT_TRUE(is_doc ? doc(text).has_value() : Schema::from_slice(bytes_of(text)).has_value());
        // Every truncation fails with a position inside the bytes given.
        for (std::size_t len = 0; len < text.size(); ++len) {
            std::string_view cut(text.data(), len);
            JsonError e = is_doc ? doc(cut).error() : Schema::from_slice(bytes_of(cut)).error();
            EXPECT_EQ(e.line, 1u) << len;
            EXPECT_LE(e.column, len) << len << ": " << e.to_string();
            EXPECT_FALSE(e.message.empty());
        }
        std::mt19937 rng(7);
        for (int round = 0; round < 3000; ++round) {
            std::string bad = text;
            for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) bad[rng() % bad.size()] = static_cast<char>(rng() & 0xFF);
            auto d = doc(bad);
            auto s = Schema::from_slice(bytes_of(bad));
            auto g = parse_segment_list(bytes_of(bad));
            for (const JsonError* e : {d ? nullptr : &d.error(), s ? nullptr : &s.error(), g ? nullptr : &g.error()})
                if (e) {
                    EXPECT_LE(e->column, bad.size());
                }
        }
    }
}

TEST(SchemaModel, Lookups) {
    auto s = Schema::from_slice(bytes_of(kRichSchema));
    ASSERT_TRUE(s) << s.error().to_string();
    EXPECT_EQ(s->get_field("title"), Field{0});
    EXPECT_EQ(s->get_field("Title"), std::nullopt);
    auto list = s->field_list();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].first, Field{1});
    EXPECT_EQ(list[1].second->name, "v");
    // Names are not checked against the field list.
    auto unchecked = Schema::from_slice(bytes_of("{\"fields\": [], \"name_to_field\": {\"t\": 9}}"));
    EXPECT_EQ(unchecked->get_field("t"), Field{9});
}
