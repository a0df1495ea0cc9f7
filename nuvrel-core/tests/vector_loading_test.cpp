// Loading a segment's ".vectors" file: what is tolerated, what fails the
// open, the type-byte dispatch and the side files it pulls in.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include <fmt/format.h>

#include "segment/vector_loading.h"
#include "support/test_util.h"
#include "support/vector_builder.h"

using namespace nuvrel_core;
using nuvrel_test::Bytes;
using nuvrel_test::ivf_index_json;
using nuvrel_test::rabitq_index_json;
using nuvrel_test::run;
using nuvrel_test::TempDir;
using nuvrel_test::vectors_file;
using nuvrel_test::VectorEntrySpec;

namespace {

const SegmentId kId{0x5eed};

DenseVectorConfig dense(std::optional<std::string> centroids = {}, std::optional<std::string> pq = {}) {
    DenseVectorConfig c;
    c.coarse_centroids_path = std::move(centroids);
    c.pq_codebook_path = std::move(pq);
    return c;
}

// A schema of `n` fields; those given in `dense_fields` carry dense-vector settings.
Schema schema_of(std::size_t n, std::vector<std::pair<std::size_t, DenseVectorConfig>> dense_fields) {
    Schema s;
    s.fields.resize(n);
    for (auto& [id, config] : dense_fields) s.fields[id].dense_vector_config = std::move(config);
    return s;
}

Result<LoadedVectors> load(const TempDir& dir, Schema schema) {
    return run(load_vectors_file(FsDirectory(dir.path()), SegmentFiles::from_id(kId),
                                 std::make_shared<const Schema>(std::move(schema))));
}

void write_vectors(const TempDir& dir, const std::vector<std::uint8_t>& bytes) {
    dir.write(SegmentFiles::from_id(kId).vectors, bytes);
}

std::string load_error(const TempDir& dir, const std::vector<std::uint8_t>& bytes) {
    write_vectors(dir, bytes);
    auto r = load(dir, schema_of(1, {{0, dense()}}));
    if (r) return "loaded";
    const auto* io = r.error().get_if<Error::Io>();
    if (io == nullptr || io->error.kind() != IoErrorKind::InvalidInput) return "not an invalid-input I/O error";
    return io->error.to_string();
}

// A side file in `dir`, by its full path.
std::string side_file(const TempDir& dir, const char* name, const std::vector<std::uint8_t>& bytes) {
    dir.write(name, bytes);
    return (dir.path() / name).string();
}

std::vector<std::uint8_t> small_pq_codebook() {
    nuvrel_test::PQCodebookLayout pq;
    pq.dim = 4;
    pq.num_subspaces = 2;
    pq.subspace_dim = 2;
    pq.num_centroids = 1;
    pq.centroids = {1, 2, 3, 4};
    return nuvrel_test::pq_codebook_file(pq);
}

// n entries, all naming the blob `json` (written once after the table), with
// the lengths and (field, type) pairs the functions give.
template <class Length, class Row>
std::vector<std::uint8_t> one_blob_table(std::size_t n, const std::string& json, Length length_of, Row row_of) {
    std::vector<VectorEntrySpec> entries;
    for (std::size_t i = 0; i < n; ++i) {
        const auto [field, type] = row_of(i);
        entries.push_back({field, type, i == 0 ? json : "", 4 + 21 * n, length_of(i)});
    }
    return vectors_file(entries);
}

}  // namespace

TEST(VectorLoading, AbsentShortOrUnparsableDataLoadsNothing) {
    TempDir dir;
    // Blobs that are not their type's JSON, an empty blob, and a PQ entry whose
    // field names no codebook are each skipped. Field 0 names a codebook and
    // centroids that load: a PQ blob that does not parse still leaves the
    // field without an index, and loads no centroids.
    nuvrel_test::CentroidsFileLayout centroids;
    centroids.first_count = 1;
    centroids.second_count = 1;
    centroids.data = {1};
    const Schema schema = schema_of(2, {{0, dense(side_file(dir, "c.cent", nuvrel_test::centroids_file(centroids)),
                                                  side_file(dir, "ok.pq", small_pq_codebook()))},
                                       {1, dense()}});
    const std::vector<std::uint8_t> unparsable = vectors_file({{0, 0, "{\"codebook\":1}"},
                                                               {0, 1, ""},
                                                               {1, 2, ivf_index_json(4)},
                                                               {0, 2, ivf_index_json(4) + "x"},
                                                               {0, 9, "[]"},
                                                               {0, 0, rabitq_index_json(2) + "x"}});
    const std::pair<const char*, std::optional<std::vector<std::uint8_t>>> cases[] = {
        {"missing file", std::nullopt}, {"empty file", {{}}}, {"three bytes", {{1, 0, 0}}},
        {"no entries", {{0, 0, 0, 0}}}, {"unparsable blobs", unparsable}};
    for (const auto& [what, bytes] : cases) {
        if (bytes) write_vectors(dir, *bytes);
        auto r = load(dir, schema);
        ASSERT_TRUE(r) << what << ": " << r.error().to_string();
        EXPECT_TRUE(r->indexes.empty()) << what;
        EXPECT_FALSE(r->coarse_centroids) << what;
    }
    // Without a dense-vector field the file is never opened, damaged or not.
    write_vectors(dir, Bytes().u32(1000).vec());
    auto r = load(dir, schema_of(3, {}));
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_TRUE(r->indexes.empty());
}

TEST(VectorLoading, BytesTheTablePromisesMustBeReadable) {
    TempDir dir;
    // One entry needs bytes 4..25; the file stops a byte short.
    EXPECT_EQ(load_error(dir, Bytes().u32(1).raw(std::vector<std::uint8_t>(20, 0)).vec()),
              "Range 4..25 out of bounds (file size: 24)");
    // The first entry is fine; the second's blob runs past the end.
    auto past_end = vectors_file({{0, 0, rabitq_index_json(2)}, {0, 0, "{}", std::nullopt, 3}});
    EXPECT_EQ(load_error(dir, past_end),
              fmt::format("Range {}..{} out of bounds (file size: {})", past_end.size() - 2, past_end.size() + 1,
                          past_end.size()));
    // An empty blob just past the end still lies outside the file.
    auto empty_outside = vectors_file({{0, 0, "", 4 + 21 + 1, 0}});
    EXPECT_EQ(load_error(dir, empty_outside), "Range 26..26 out of bounds (file size: 25)");
    // Blobs past the bytes a load may read are left out only while they lie
    // inside the file: one past its end still fails, after the whole file
    // has been read once as the first blob and a second blob left out.
    auto spent = vectors_file({{0, 0, "{}", 0, 69}, {0, 0, "", 1, 10}, {0, 0, "", 60, 20}});
    ASSERT_EQ(spent.size(), 69u);
    EXPECT_EQ(load_error(dir, spent), "Range 60..80 out of bounds (file size: 69)");
    // An end that wraps past 64 bits is refused without a read.
    auto wraps = vectors_file({{0, 0, "{}", 20, std::numeric_limits<std::uint64_t>::max()}});
    EXPECT_EQ(load_error(dir, wraps), "Range 20..19 is inverted: start lies beyond end");
}

TEST(VectorLoading, TypeByteDecidesAndLaterEntriesReplaceEarlierOnes) {
    TempDir dir;
    write_vectors(dir, vectors_file({
        {5, 0, rabitq_index_json(2)},
        {5, 1, ivf_index_json(3)},   // replaces the flat index under 5
        {1, 7, rabitq_index_json(2)},
        {1, 2, ivf_index_json(2) + "x"},  // skipped: the index under 1 stays
        {2, 7, ivf_index_json(2)},
        {40, 1, ivf_index_json(5)},  // no such field: kept all the same
    }));
    // Field 5 says RaBitQ with dim 64; only the type byte and the index's own dim count.
    DenseVectorConfig five = dense();
    five.dim = 64;
    auto r = load(dir, schema_of(6, {{5, five}}));
    ASSERT_TRUE(r) << r.error().to_string();
    const auto& m = r->indexes;
    EXPECT_EQ(m.size(), 4u);
    ASSERT_TRUE(m.contains(1) && m.at(1).is<VectorIndex::RaBitQ>());
    EXPECT_EQ(m.at(1).get_if<VectorIndex::RaBitQ>()->index->vectors.at(0).popcount, 2u);
    ASSERT_TRUE(m.contains(2) && m.at(2).is<VectorIndex::IvfRaBitQ>());
    ASSERT_TRUE(m.contains(40) && m.at(40).is<VectorIndex::IvfRaBitQ>());
    ASSERT_TRUE(m.contains(5) && m.at(5).is<VectorIndex::IvfRaBitQ>());

    const auto& ivf = *m.at(5).get_if<VectorIndex::IvfRaBitQ>();
    EXPECT_EQ(ivf.index->config.dim, 3u);
    EXPECT_EQ(ivf.codebook->config, (RaBitQConfig{3, 4, 42}));
    auto expected = RaBitQCodebook::create(RaBitQConfig{3, 4, 42}, 0);
    ASSERT_TRUE(expected);
    EXPECT_EQ(ivf.codebook->random_signs, expected->random_signs);
    EXPECT_EQ(ivf.codebook->random_perm, expected->random_perm);
    EXPECT_NE(ivf.codebook, m.at(2).get_if<VectorIndex::IvfRaBitQ>()->codebook);
    EXPECT_FALSE(r->coarse_centroids);
}

// The first IVF entry whose centroids file loads decides; a PQ entry needs
// its field's codebook. Each side file is read once per load, however many
// entries name it and by whatever spelling of its path: a damaged centroids
// file is not read again for every IVF entry, one codebook serves them all.
TEST(VectorLoading, CoarseCentroidsLoadOnceAndPQEntriesNeedTheirCodebook) {
    TempDir dir;
    nuvrel_test::CentroidsFileLayout a;
    a.version = 1;
    a.first_count = 1;
    a.second_count = 2;
    a.data = {1, 2};
    nuvrel_test::CentroidsFileLayout b, damaged;
    b.version = 2;
    damaged.first_count = damaged.second_count = 1000;  // a million floats promised, none present
    const std::string centroids_a = side_file(dir, "a.cent", nuvrel_test::centroids_file(a));
    const std::string centroids_b = side_file(dir, "b.cent", nuvrel_test::centroids_file(b));
    const std::string bad = side_file(dir, "bad.cent", nuvrel_test::centroids_file(damaged));
    const std::string codebook = side_file(dir, "ok.pq", small_pq_codebook());
    const std::string damaged_pq = side_file(dir, "bad.pq", {'K', 'B', 'C', 'S'});

    const std::string json = ivf_index_json(4);
    write_vectors(dir, one_blob_table(1003, json, [&](std::size_t) { return json.size(); }, [](std::size_t i) {
        // 1,000 PQ entries whose centroids file is damaged; then the same file
        // by another name with a damaged codebook (skipped); then a field
        // without a codebook (skipped, but its centroids load); then a field
        // whose centroids are never read, as some are loaded by then.
        constexpr std::pair<std::uint32_t, std::uint8_t> tail[] = {{3, 2}, {1, 2}, {2, 1}};
        return i < 1000 ? std::pair<std::uint32_t, std::uint8_t>{0, 2} : tail[i - 1000];
    }));
    auto r = load(dir, schema_of(4, {{0, dense((dir.path() / "." / "bad.cent").string(), codebook)},
                                     {1, dense(centroids_a)},
                                     {2, dense(centroids_b)},
                                     {3, dense(bad, damaged_pq)}}));
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(r->stats.side_file_loads, 4u);  // bad.cent, ok.pq, bad.pq, a.cent
    ASSERT_TRUE(r->coarse_centroids);
    EXPECT_EQ(r->coarse_centroids->version, 1u);
    EXPECT_EQ(r->coarse_centroids->centroids, (std::vector<float>{1, 2}));
    EXPECT_EQ(r->indexes.size(), 2u);
    ASSERT_TRUE(r->indexes.contains(0) && r->indexes.at(0).is<VectorIndex::ScaNN>());
    const auto& scann = *r->indexes.at(0).get_if<VectorIndex::ScaNN>();
    EXPECT_EQ(scann.codebook->centroids, (std::vector<float>{1, 2, 3, 4}));
    EXPECT_EQ(scann.index->config.default_nprobe, 4u);
    EXPECT_TRUE(r->indexes.contains(2) && r->indexes.at(2).is<VectorIndex::IvfRaBitQ>());
}

// Generated codebooks share one total of dimensions per segment, charged only
// for the index each field ends up with, so neither the order of the entries
// nor an entry that a later one replaces changes which fields get theirs.
TEST(VectorLoading, CodebookTotalCountsFinalEntriesOnlyInAnyOrder) {
    const std::uint64_t total = kMaxCodebookDimsPerSegment;
    const VectorEntrySpec replaced{1, 1, ivf_index_json(total)}, one{1, 1, ivf_index_json(1)},
        rest{2, 1, ivf_index_json(total - 1)}, over{3, 1, ivf_index_json(1)};
    const std::vector<VectorEntrySpec> orders[] = {
        {replaced, rest, one, over}, {over, replaced, one, rest}, {rest, over, replaced, one}};
    for (const auto& order : orders) {
        TempDir dir;
        write_vectors(dir, vectors_file(order));
        auto r = load(dir, schema_of(1, {{0, dense()}}));
        ASSERT_TRUE(r) << r.error().to_string();
        std::vector<std::uint64_t> dims(4, 0);
        for (const auto& [field, index] : r->indexes)
            dims.at(field) = index.get_if<VectorIndex::IvfRaBitQ>()->codebook->random_signs.size();
        EXPECT_EQ(dims, (std::vector<std::uint64_t>{0, 1, total - 1, 0}));
    }
}

// However the table's entries name the file's bytes, a load reads each
// distinct blob once and never more bytes in all than the file holds: 2,000
// entries naming one blob read it once, and entries naming ever longer ranges
// over the same bytes stop being read once the file's size is spent.
TEST(VectorLoading, WorkIsLinearInTheFileWhateverTheTableNames) {
    TempDir dir;
    const std::string json = rabitq_index_json(2);
    const auto row = [](std::size_t i) { return std::pair{static_cast<std::uint32_t>(i % 7), std::uint8_t{0}}; };
    write_vectors(dir, one_blob_table(2000, json, [&](std::size_t) { return json.size(); }, row));
    auto same = load(dir, schema_of(1, {{0, dense()}}));
    ASSERT_TRUE(same) << same.error().to_string();
    EXPECT_EQ(same->stats.blob_reads, 1u);
    EXPECT_EQ(same->indexes.size(), 7u);

    const auto overlapping =
        one_blob_table(400, json + std::string(400, ' '), [&](std::size_t i) { return json.size() + i; }, row);
    write_vectors(dir, overlapping);
    auto r = load(dir, schema_of(1, {{0, dense()}}));
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_LE(r->stats.blob_bytes, overlapping.size());
    EXPECT_EQ(r->indexes.size(), 7u);
}

