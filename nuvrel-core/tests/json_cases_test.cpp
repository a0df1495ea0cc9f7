// Runs every case (schema, document, segment list, vector index) of the reference
// outcomes: the exact error text with its position, or the normalized value.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "dsl/document.h"
#include "dsl/schema.h"
#include "dsl/segment_list.h"
#include "structures/vector/vector_json.h"
#include "support/json_dump.h"

using namespace nuvrel_core;
using nuvrel_test::dump_document;
using nuvrel_test::dump_schema;
using nuvrel_test::dump_strings;
using nuvrel_test::strip_repr;
using nuvrel_test::to_text;

namespace {

const JsonValue* get(const JsonValue& obj, std::string_view key) {
    for (const auto& [k, v] : std::get<JsonValue::Object>(obj.value))
        if (k == key) return &v;
    return nullptr;
}
std::string get_str(const JsonValue& obj, std::string_view key) {
    const JsonValue* v = get(obj, key);
    return v && std::holds_alternative<std::string>(v->value) ? std::get<std::string>(v->value) : std::string();
}

struct Outcome {
    bool ok = false;
    std::string error;
    JsonValue value;
};

template <class T, class Dump>
Outcome outcome(const JsonResult<T>& r, Dump dump) {
    if (!r) return {false, r.error().to_string(), {}};
    return {true, {}, dump(*r)};
}

}  // namespace

TEST(JsonCases, MatchReferenceOutcomes) {
    std::ifstream in(std::string(NUVREL_TEST_DATA_DIR) + "/json/cases.jsonl");
    ASSERT_TRUE(in) << "missing tests/data/json/cases.jsonl";
    std::map<std::string, int> run;
    std::string line;
    while (std::getline(in, line)) {
        JsonValue c = nuvrel_test::parse_json_value(line);
        std::string kind = get_str(c, "kind");
        std::string id = get_str(c, "id");
        std::string input = get(c, "input_b64") ? nuvrel_test::base64_decode(get_str(c, "input_b64"))
                                                : get_str(c, "input");
        ByteView bytes(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
        const auto dump_index = [](const auto& v) { return nuvrel_test::dump_index(v); };
        Outcome got;
        if (kind == "schema") got = outcome(Schema::from_slice(bytes), dump_schema);
        else if (kind == "document") got = outcome(parse_document(bytes), dump_document);
        else if (kind == "segments") got = outcome(parse_segment_list(bytes), dump_strings);
        else if (kind == "rabitq_index") got = outcome(parse_rabitq_index(bytes), dump_index);
        else if (kind == "ivf_rabitq_index") got = outcome(parse_ivf_rabitq_index(bytes), dump_index);
        else if (kind == "ivf_pq_index") got = outcome(parse_ivf_pq_index(bytes), dump_index);
        else ADD_FAILURE() << "unknown kind " << kind;
        ++run[kind];
        bool ok = std::get<bool>(get(c, "ok")->value);
        if (!ok) {
            EXPECT_FALSE(got.ok) << id << ": expected error " << get_str(c, "error");
            EXPECT_EQ(got.error, get_str(c, "error")) << id;
        } else {
            EXPECT_TRUE(got.ok) << id << ": " << got.error;
            if (!got.ok) continue;
            JsonValue want = strip_repr(*get(c, "value"));
            EXPECT_EQ(got.value, want) << id << "\n got: " << to_text(got.value) << "\nwant: " << to_text(want);
        }
    }
    EXPECT_EQ(run["schema"], 203);
    EXPECT_EQ(run["document"], 185);
    EXPECT_EQ(run["segments"], 24);
    EXPECT_EQ(run["rabitq_index"], 15);
    EXPECT_EQ(run["ivf_rabitq_index"], 9);
    EXPECT_EQ(run["ivf_pq_index"], 25);
}
