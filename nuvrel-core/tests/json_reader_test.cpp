// Reading rules that the reference outcomes do not pin down one by one:
// number and string edge cases, message formatting, schema lookups and
// hostile input (deep nesting, truncation, damaged bytes, huge numbers).
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>

#include "dsl/document.h"
#include "dsl/json/reader.h"
#include "dsl/schema.h"
#include "dsl/segment_list.h"

using namespace nuvrel_core;

namespace {

ByteView bytes_of(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

JsonResult<Document> doc(std::string_view s) { return parse_document(bytes_of(s)); }

std::string doc_error(std::string_view s) {
    auto r = doc(s);
    return r ? std::string("ok") : r.error().to_string();
}

// The one value of a one-pair document.
FieldValue single(std::string_view payload) {
    std::string text = "{\"field_values\": [[0, " + std::string(payload) + "]]}";
    auto r = doc(text);
    EXPECT_TRUE(r.has_value()) << text << ": " << (r ? "" : r.error().to_string());
    if (!r || r->field_values.size() != 1) return {};
    return r->field_values[0].second;
}

double f64_of(std::string_view literal) { return std::get<3>(single("{\"f64\": " + std::string(literal) + "}")); }
float f32_of(std::string_view literal) {
    return std::get<6>(single("{\"dense_vector\": [" + std::string(literal) + "]}")).at(0);
}

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

TEST(JsonNumbers, FloatAlgorithmIsTheWritersNotCorrectRounding) {
    // Significand times a power of ten, off by one unit where that rounds twice.
    EXPECT_EQ(f64_of("9007199254740993.0"), 9007199254740994.0);
    EXPECT_EQ(f64_of("2.718281828459045"), 2.718281828459045);
    EXPECT_EQ(f64_of("3"), 3.0);
    EXPECT_EQ(f64_of("-0"), 0.0);
    EXPECT_TRUE(std::signbit(f64_of("-0")));
    EXPECT_EQ(f64_of("1e-400"), 0.0);
    EXPECT_EQ(f64_of("0e999999999999"), 0.0);
    EXPECT_EQ(f64_of("1e-999999999999"), 0.0);
    EXPECT_EQ(f64_of("4.9406564584124654e-324"), std::bit_cast<double>(std::uint64_t{1}));
    // Digits beyond the 64-bit significand: integer ones scale, fraction ones drop.
    EXPECT_EQ(f64_of("123456789012345678901234567890"), 12345678901234567890.0 * 1e10);
    EXPECT_EQ(f64_of("1.23456789012345678901234567890"), 12345678901234567890.0 / 1e19);
    EXPECT_EQ(doc_error("{\"field_values\": [[0, {\"f64\": 1.7976931348623158e308}]]}"),
              "number out of range at line 1 column 52");
    EXPECT_EQ(doc_error("{\"field_values\": [[0, {\"f64\": 1e99999999999}]]}"),
              "number out of range at line 1 column 42");
}

TEST(JsonNumbers, NarrowFloatsRoundTwiceIntegersOnce) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(f32_of("1.0000000596046448")), 0x3f800000u);
    EXPECT_EQ(f32_of("16777217"), 16777216.0f);
    EXPECT_EQ(f32_of("1e39"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(f32_of("-1e39"), -std::numeric_limits<float>::infinity());
}

TEST(JsonNumbers, HugeLiteralsFailOrReadNeverCrash) {
    std::string ones(20000, '1');
    EXPECT_EQ(doc_error("{\"field_values\": [[0, {\"f64\": " + ones + "}]]}"),
              "number out of range at line 1 column 20030");
    std::string tiny = "0." + std::string(20000, '0') + "1";
    EXPECT_EQ(f64_of(tiny), 0.0);
    std::string long_fraction = "1." + std::string(20000, '9');
    EXPECT_EQ(f64_of(long_fraction), 19999999999999999999.0 / 1e19);
    EXPECT_EQ(doc_error("{\"field_values\": [[0, {\"u64\": 18446744073709551616}]]}"),
              "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 50");
}

TEST(JsonMessages, FloatsInShortestForm) {
    using json::describe_float;
    EXPECT_EQ(describe_float(32.0), "floating point `32.0`");
    EXPECT_EQ(describe_float(1e15), "floating point `1000000000000000.0`");
    EXPECT_EQ(describe_float(1e16), "floating point `1e16`");
    EXPECT_EQ(describe_float(1.5e16), "floating point `1.5e16`");
    EXPECT_EQ(describe_float(-1e300), "floating point `-1e300`");
    EXPECT_EQ(describe_float(0.0001), "floating point `0.0001`");
    EXPECT_EQ(describe_float(0.00001), "floating point `0.00001`");
    EXPECT_EQ(describe_float(1e-6), "floating point `1e-6`");
    EXPECT_EQ(describe_float(1.5e-7), "floating point `1.5e-7`");
    EXPECT_EQ(describe_float(5e-324), "floating point `5e-324`");
    EXPECT_EQ(describe_float(-0.0), "floating point `-0.0`");
    EXPECT_EQ(describe_float(123.456), "floating point `123.456`");
}

TEST(JsonMessages, StringsEscapedForDisplay) {
    using json::describe_string;
    EXPECT_EQ(describe_string("a\"b\\c\td\n\r"), "string \"a\\\"b\\\\c\\td\\n\\r\"");
    EXPECT_EQ(describe_string(std::string_view("\0\x1b\x7f", 3)), "string \"\\0\\u{1b}\\u{7f}\"");
    EXPECT_EQ(describe_string("it's caf\xc3\xa9 \xf0\x9f\x98\x80"), "string \"it's caf\xc3\xa9 \xf0\x9f\x98\x80\"");
    EXPECT_EQ(describe_string("e\xcc\x81"), "string \"e\\u{301}\"");             // combining accent
    EXPECT_EQ(describe_string("\xe2\x80\x8b\xc2\xad"), "string \"\\u{200b}\\u{ad}\"");  // format characters
    EXPECT_EQ(describe_string("\xee\x80\x80"), "string \"\\u{e000}\"");          // private use
    EXPECT_EQ(json::one_of(std::vector<std::string_view>{"a"}), "`a`");
}

TEST(JsonStrings, EscapesAndScanningAtEveryOffset) {
    // Escapes, quotes and control bytes at each position around the 8-byte scan.
    for (std::size_t pad = 0; pad < 20; ++pad) {
        std::string p(pad, 'x');
        auto v = single("{\"text\": \"" + p + "\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041\\ud83d\\ude00" + p + "\"}");
        EXPECT_EQ(std::get<0>(v), p + "\"\\/\b\f\n\r\tA\xf0\x9f\x98\x80" + p);
        std::string raw = "{\"field_values\": [[0, {\"text\": \"" + p + "\x01\"}]]}";
        EXPECT_EQ(doc_error(raw), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                                      std::to_string(33 + pad));
    }
    EXPECT_EQ(std::get<0>(single("{\"text\": \"\"}")), "");
}

TEST(JsonStrings, InvalidUtf8IsAnErrorAtTheClosingQuote) {
    for (const char* bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\xff", "\x80"}) {
        std::string text = std::string("{\"field_values\": [[0, {\"text\": \"ab") + bad + "cd\"}]]}";
        EXPECT_EQ(doc_error(text), "invalid unicode code point at line 1 column " +
                                       std::to_string(37 + std::strlen(bad)));
    }
    // A skipped value is not decoded.
    EXPECT_EQ(doc_error("{\"x\": \"\xff\\ud800\", \"field_values\": []}"), "ok");
}

TEST(JsonFreeForm, ObjectsSortedAndLastKeyWins) {
    auto v = std::get<7>(single("{\"json\": {\"b\": 1, \"a\": 2, \"b\": -3, \"\xc3\xa9\": 4, \"B\": 5}}"));
    const auto& o = std::get<JsonValue::Object>(v.value);
    ASSERT_EQ(o.size(), 4u);
    EXPECT_EQ(o[0].first, "B");
    EXPECT_EQ(o[1].first, "a");
    EXPECT_EQ(o[2].first, "b");
    EXPECT_EQ(o[2].second.value, (JsonValue{std::int64_t{-3}}.value));
    EXPECT_EQ(o[3].first, "\xc3\xa9");
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

TEST(JsonHostile, EveryTruncationFailsCleanlyWithPositionInside) {
    for (const char* whole : {kRichDocument, kRichSchema}) {
        std::string text = whole;
        bool is_doc = whole == kRichDocument;
        ASSERT_TRUE(is_doc ? doc(text).has_value() : Schema::from_slice(bytes_of(text)).has_value());
        for (std::size_t len = 0; len < text.size(); ++len) {
            std::string_view cut(text.data(), len);
            JsonError e = is_doc ? doc(cut).error() : Schema::from_slice(bytes_of(cut)).error();
            EXPECT_EQ(e.line, 1u) << len;
            EXPECT_LE(e.column, len) << len << ": " << e.to_string();
            EXPECT_FALSE(e.message.empty());
        }
    }
}

TEST(JsonHostile, DamagedBytesNeverCrash) {
    std::mt19937 rng(7);
    for (const char* whole : {kRichDocument, kRichSchema}) {
        for (int round = 0; round < 3000; ++round) {
            std::string text = whole;
            int edits = 1 + static_cast<int>(rng() % 4);
            for (int k = 0; k < edits; ++k) text[rng() % text.size()] = static_cast<char>(rng() & 0xFF);
            auto d = doc(text);
            auto s = Schema::from_slice(bytes_of(text));
            auto g = parse_segment_list(bytes_of(text));
            for (const JsonError* e : {d ? nullptr : &d.error(), s ? nullptr : &s.error(), g ? nullptr : &g.error()})
                if (e) {
                    EXPECT_LE(e->column, text.size());
                }
        }
    }
}

TEST(JsonPositions, LinesCountFromOneColumnsCountBytes) {
    auto r = Schema::from_slice(bytes_of("{\n  \"fields\": [],\n  \"caf\xc3\xa9\": x"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "expected value at line 3 column 12");
    auto e = Schema::from_slice(bytes_of("{\"fields\": [\n"));
    EXPECT_EQ(e.error().to_string(), "EOF while parsing a list at line 2 column 0");
    EXPECT_EQ(Schema::from_slice(bytes_of("")).error().to_string(), "EOF while parsing a value at line 1 column 0");
}

TEST(SchemaModel, LookupsCopiesAndFieldList) {
    auto s = Schema::from_slice(bytes_of(kRichSchema));
    ASSERT_TRUE(s) << s.error().to_string();
    EXPECT_EQ(s->get_field("title"), Field{0});
    EXPECT_EQ(s->get_field("Title"), std::nullopt);
    EXPECT_EQ(s->get_field(""), std::nullopt);
    ASSERT_EQ(s->fields.size(), 2u);
    const FieldEntry& v = s->fields[1];
    EXPECT_EQ(v.field_type, FieldType::DenseVector);
    EXPECT_TRUE(v.multi);
    ASSERT_TRUE(v.dense_vector_config && v.sparse_vector_config);
    EXPECT_EQ(v.dense_vector_config->index_type, VectorIndexType::ScaNN);
    EXPECT_EQ(v.dense_vector_config->coarse_centroids_path, "c.bin");
    EXPECT_EQ(v.dense_vector_config->nprobe, 32u);
    EXPECT_EQ(v.dense_vector_config->mrl_dim, 4u);
    EXPECT_EQ(v.sparse_vector_config->weight_quantization, WeightQuantization::UInt4);
    EXPECT_EQ(s->query_routers.at(0).mode, RoutingMode::Exclusive);

    Schema copy = *s;  // deep: the binding keeps its own
    s->fields[0].name = "changed";
    s->name_to_field.clear();
    EXPECT_EQ(copy.fields[0].name, "title");
    EXPECT_EQ(copy.get_field("v"), Field{1});
    EXPECT_EQ(s->get_field("v"), std::nullopt);
    auto list = copy.field_list();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].first, Field{1});
    EXPECT_EQ(list[1].second->name, "v");

    auto unchecked = Schema::from_slice(bytes_of("{\"fields\": [], \"name_to_field\": {\"t\": 9}}"));
    EXPECT_EQ(unchecked->get_field("t"), Field{9});
}

TEST(SegmentList, StringsInOrder) {
    auto r = parse_segment_list(bytes_of(" [\"00ff\", \"a\\u0062\"] \n"));
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (std::vector<std::string>{"00ff", "ab"}));
    EXPECT_EQ(parse_segment_list(bytes_of("{}")).error().to_string(),
              "invalid type: map, expected a sequence at line 1 column 0");
    EXPECT_EQ(parse_segment_list(bytes_of("[1]")).error().to_string(),
              "invalid type: integer `1`, expected a string at line 1 column 2");
}
