// Vector-index descriptions, and the array forms of every record: what the
// reference outcomes leave implicit.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "dsl/document.h"
#include "dsl/schema.h"
#include "structures/vector/vector_json.h"
#include "support/outcome.h"

using namespace nuvrel_core;

namespace {
ByteView bytes_of(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

std::string ivf_pq(std::string_view clusters) {
    return "{\"config\":{\"dim\":2,\"default_nprobe\":1,\"store_raw\":true,\"rerank_factor\":1},"
           "\"centroids_version\":7,\"codebook_version\":9,\"clusters\":{\"clusters\":" +
           std::string(clusters) + ",\"total_vectors\":3}}";
}
}  // namespace

TEST(VectorJson, RepeatedClusterIdKeepsTheLastAndFloatsSaturate) {
    auto r = parse_ivf_pq_index(bytes_of(ivf_pq(
        R"({"3": {"doc_ids":[1],"codes":[],"raw_vectors":null}, "3": {"doc_ids":[2,5],"codes":[[[9],1e39]]}})")));
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_EQ(r->clusters.clusters.size(), 1u);
    const auto& c = r->clusters.clusters.at(3);
    EXPECT_EQ(c.doc_ids, (std::vector<std::uint32_t>{2, 5}));
    ASSERT_EQ(c.codes.size(), 1u);
    EXPECT_EQ(c.codes[0].norm, std::numeric_limits<float>::infinity());
    EXPECT_FALSE(c.raw_vectors.has_value());
    EXPECT_EQ(r->codebook_version, 9u);
}

TEST(VectorJson, FromBytesReportsInvalidData) {
    auto ok = IVFPQIndex::from_bytes(bytes_of(ivf_pq("{}")));
    ASSERT_TRUE(ok);
    EXPECT_TRUE(ok->clusters.clusters.empty());
    auto bad = IVFPQIndex::from_bytes(bytes_of(ivf_pq("{}") + " x"));
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind(), IoErrorKind::InvalidData);
    EXPECT_EQ(bad.error().to_string(), "trailing characters at line 1 column 164");
    EXPECT_EQ(nuvrel_test::error_text(parse_ivf_rabitq_index(bytes_of(ivf_pq(R"({"7")")))),
              "expected `:` at line 1 column 145");
}

TEST(VectorJson, NumericKeysNeverReadPastTheText) {
    for (std::string_view cut : {R"({")", R"({"-)", R"({"12)", R"({"1.)", R"({"1e)"}) {
        std::string text = ivf_pq("");
        text.resize(text.size() - std::string_view(",\"total_vectors\":3}}").size());
        text += cut;
        auto r = parse_ivf_pq_index(bytes_of(text));
        ASSERT_FALSE(r) << cut;
        EXPECT_EQ(r.error().column, text.size()) << cut << ": " << r.error().to_string();
    }
}

namespace {

using Parse = std::string (*)(std::string_view);
template <class F>
constexpr Parse outcome_of(F) {
    return [](std::string_view s) { return nuvrel_test::error_text(F{}(bytes_of(s))); };
}
constexpr Parse kSchema = outcome_of([](ByteView b) { return Schema::from_slice(b); });
constexpr Parse kDocument = outcome_of([](ByteView b) { return parse_document(b); });
constexpr Parse kRaBitQ = outcome_of([](ByteView b) { return parse_rabitq_index(b); });
constexpr Parse kIvfRaBitQ = outcome_of([](ByteView b) { return parse_ivf_rabitq_index(b); });
constexpr Parse kIvfPq = outcome_of([](ByteView b) { return parse_ivf_pq_index(b); });

// One record in its array form, inside a text that is otherwise valid:
// `members` lists every member, the first `required` of which the array
// must hold.
struct ArrayRecord {
    const char* name;  // as in messages
    Parse parse;
    const char* before;
    std::vector<const char*> members;
    std::size_t required;
    const char* after;
};

std::string joined(const std::vector<const char*>& m, std::size_t n) {
    std::string s = "[";
    for (std::size_t i = 0; i < n; ++i) s += (i ? "," : "") + std::string(m[i]);
    return s;
}

std::string at_column(std::string_view message, std::size_t column) {
    return fmt::format("{} at line 1 column {}", message, column);
}

}  // namespace

// Every record table's array form one member short, exact, whole, and one
// member long (a value, or a comma before the close): the short one names
// the record with its member count, the long one is "trailing characters"
// at the extra value, or "trailing comma" at the close.
TEST(JsonRecordArrays, ShortExactAndLongForms) {
    constexpr const char* kCodebook = "[[3,4,42],[],[],0]";
    const ArrayRecord records[] = {
        {"struct RaBitQConfig", kRaBitQ, "[[", {"3", "4", "42"}, 3, ",[],[],0],[],[],null]"},
        {"struct RaBitQCodebook", kRaBitQ, "[", {"[3,4,42]", "[1,-1]", "[1,0]", "7"}, 4, ",[],[],null]"},
        {"struct RaBitQIndex", kRaBitQ, "", {kCodebook, "[0.5]", "[]", "null"}, 4, ""},
        {"struct QuantizedVector", kRaBitQ, "[[[3,4,42],[],[],0],[],[", {"[1]", "0.5", "1.0", "3"}, 4, "],null]"},
        {"struct PQVector", kIvfPq, "[[2,1,true,1],7,9,[{\"1\":[[5],[", {"[9,2]", "1.5"}, 2, "],null]},1]]"},
        {"struct ClusterData", kIvfPq, "[[2,1,true,1],7,9,[{\"1\":", {"[5]", "[]", "null"}, 3, "},1]]"},
        {"struct ClusterStorage", kIvfPq, "[[2,1,true,1],7,9,", {"{}", "0"}, 2, "]"},
        {"struct IVFPQConfig", kIvfPq, "[", {"2", "1", "true", "1"}, 4, ",7,9,[{},0]]"},
        {"struct IVFRaBitQConfig", kIvfRaBitQ, "[", {"2", "1", "true", "1"}, 4, ",7,9,[{},0]]"},
        {"struct IVFPQIndex", kIvfPq, "", {"[2,1,true,1]", "7", "9", "[{},0]"}, 4, ""},
        {"struct IVFRaBitQIndex", kIvfRaBitQ, "", {"[2,1,true,1]", "7", "9", "[{},0]"}, 4, ""},
        {"struct Schema", kSchema, "", {"[]", "{}", "[]", "[]"}, 2, ""},
        {"struct FieldEntry", kSchema, "[[",
         {"\"t\"", "{\"text\":null}", "true", "true", "null", "false", "null", "null"}, 5, "],{}]"},
        {"struct SparseVectorConfig", kSchema, "[[[\"s\",\"sparse_vector\",true,false,null,false,",
         {"\"U16\"", "\"Float16\"", "0.5"}, 2, "]],{}]"},
        {"struct DenseVectorConfig", kSchema, "[[[\"e\",\"dense_vector\",true,false,null,false,null,",
         {"8", "\"sca_n_n\"", "true", "\"c.bin\"", "null", "32", "4"}, 1, "]],{}]"},
        // An enumeration object last: what follows it is still the array's business.
        {"struct QueryRouterRule", kSchema, "[[],{},[],[",
         {"\"a\"", "\"b\"", "\"c\"", "{\"exclusive\":null}"}, 3, "]]"},
        {"struct Document", kDocument, "", {"[[0,{\"text\":\"a\"}]]"}, 1, ""},
        {"struct variant FieldValue::SparseVector", kDocument, "[[[0,{\"sparse_vector\":", {"[1]", "[0.5]"}, 2,
         "}]]]"},
    };
    for (const auto& rec : records) {
        SCOPED_TRACE(rec.name);
        const std::size_t n = rec.members.size(), at = std::strlen(rec.before);
        auto text = [&](const std::string& array) { return rec.before + array + rec.after; };
        const std::string shorter = joined(rec.members, rec.required - 1) + "]";
        EXPECT_EQ(rec.parse(text(shorter)),
                  at_column(fmt::format("invalid length {}, expected {} with {} element{}", rec.required - 1,
                                        rec.name, n, n == 1 ? "" : "s"),
                            at + shorter.size()));
        EXPECT_EQ(rec.parse(text(joined(rec.members, rec.required) + "]")), "ok");
        EXPECT_EQ(rec.parse(text(joined(rec.members, n) + "]")), "ok");
        const std::string whole = joined(rec.members, n);
        EXPECT_EQ(rec.parse(text(whole + "," + rec.members[0] + "]")),
                  at_column("trailing characters", at + whole.size() + 2));
        EXPECT_EQ(rec.parse(text(whole + ", ]")), at_column("trailing comma", at + whole.size() + 3));
    }
}

// Texts that end, or hold a NUL, exactly where a string or a key belongs.
TEST(JsonRecordArrays, EndOfInputAndNulWhereAStringBelongs) {
    const std::tuple<Parse, std::string, std::string> cases[] = {
        {kSchema, "{\"fields\": [{\"name\": ", "EOF while parsing a value at line 1 column 21"},
        {kSchema, "[[[\"t\", ", "EOF while parsing a value at line 1 column 8"},
        {kDocument, "{\"field_values\": [[0, {\"text\": ", "EOF while parsing a value at line 1 column 31"},
        {kDocument, "{\"field_values\": [[0, {", "EOF while parsing a value at line 1 column 23"},
        {kSchema, "{\"fields\": [], \"name_to_field\": {}, \"query_routers\": [{\"pattern\":",
         "EOF while parsing a value at line 1 column 65"},
        {kSchema, std::string("{\0", 2), "key must be a string at line 1 column 2"},
        {kSchema, std::string("{\"fields\": [], \0}", 17), "key must be a string at line 1 column 16"},
        {kDocument, std::string("{\"field_values\": [[0, {\"json\": {\0}}]]}", 38),
         "key must be a string at line 1 column 33"},
        {kIvfPq, ivf_pq(std::string("{\0}", 3)), "key must be a string at line 1 column 142"},
    };
    for (const auto& [parse, text, want] : cases) EXPECT_EQ(parse(text), want) << text;
}
