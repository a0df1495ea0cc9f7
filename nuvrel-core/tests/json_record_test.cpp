// The record-table layer on a record of its own, as another module would
// declare one: both forms, presence kinds, named codecs and unit enumerations.
#include <gtest/gtest.h>

#include <map>

#include "dsl/json/record.h"
#include "support/outcome.h"

using namespace nuvrel_core;

namespace {

enum class Shade : std::uint8_t { Light, Dark, Dim };

struct Point {
    std::uint64_t dim = 0;
    std::optional<std::string> path;
    bool raw = true;
    Shade shade = Shade::Dim;
    std::map<std::int64_t, std::vector<std::int8_t>> by_key;
};

}  // namespace

namespace nuvrel_core::json {
template <> struct JsonEnum<Shade> {
    static constexpr std::array<std::string_view, 3> names{"light", "dark", "dim"};
};
template <> struct JsonRecord<Point> {
    static constexpr auto table = record<Point>(
        "struct Point", 2, member<&Point::dim, Usize>("dim", Required),
        member<&Point::path>("path", Optional), member<&Point::raw>("raw", Default),
        member<&Point::shade>("shade", Default),
        member<&Point::by_key, MapOf<std::map<std::int64_t, std::vector<std::int8_t>>, NumKey<I64>, Seq<I8>>>(
            "by_key", Default));
};
}  // namespace nuvrel_core::json

namespace {

JsonResult<Point> point(std::string_view s) {
    return json::parse_whole<json::Rec<Point>>({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
}
std::string error_of(std::string_view s) { return nuvrel_test::error_text(point(s)); }

}  // namespace

TEST(JsonRecordTable, ObjectAndArrayForms) {
    auto p = point(R"({"shade": {"dark": null}, "dim": 3, "skip": [{"deep": [1e999, "\ud800"]}],
                       "by_key": {"-2": [1, -128], "5": [], "-2": [7]}})");
    ASSERT_TRUE(p) << p.error().to_string();
    EXPECT_EQ(p->dim, 3u);
    EXPECT_FALSE(p->path);
    EXPECT_TRUE(p->raw);
    EXPECT_EQ(p->shade, Shade::Dark);
    EXPECT_EQ(p->by_key.size(), 2u);
    EXPECT_EQ(p->by_key.at(-2), (std::vector<std::int8_t>{7}));

    auto a = point(R"([4, "x", false])");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->path, "x");
    EXPECT_FALSE(a->raw);
    EXPECT_EQ(a->shade, Shade::Dim);
    EXPECT_EQ(error_of("[4]"), "invalid length 1, expected struct Point with 5 elements at line 1 column 3");
    EXPECT_EQ(error_of("[4, null, true, \"dim\", {}, 0]"), "trailing characters at line 1 column 28");
    // Messages name this table's own texts.
    EXPECT_EQ(error_of("\"p\""), "invalid type: string \"p\", expected struct Point at line 1 column 3");
    EXPECT_EQ(error_of(R"({"dim": 1, "shade": "Dark"})"),
              "unknown variant `Dark`, expected one of `light`, `dark`, `dim` at line 1 column 26");
    EXPECT_EQ(error_of(R"({"dim": 1, "by_key": {"a": []}})"),
              "invalid value: expected key to be a number in quotes at line 1 column 23");
}
