// Vector-index descriptions: what the reference outcomes leave implicit.
#include <gtest/gtest.h>

#include <limits>

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
