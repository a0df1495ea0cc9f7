// Coarse-centroids and PQ codebook files: layouts of every format version,
// files cut anywhere, wrong magic, and counts that promise more than the file
// holds (which must fail before any memory is reserved for them).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <vector>

#include "structures/vector/ivf/coarse_centroids.h"
#include "structures/vector/quantization/pq_codebook.h"
#include "support/test_util.h"
#include "support/vector_builder.h"

namespace nuvrel_test {
namespace {

using nuvrel_core::CoarseCentroids;
using nuvrel_core::CoarseCentroidsExtra;
using nuvrel_core::IoError;
using nuvrel_core::IoErrorKind;
using nuvrel_core::PQCodebook;

constexpr std::uint32_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

std::vector<std::uint8_t> prefix(const std::vector<std::uint8_t>& v, std::size_t n) {
    return {v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n)};
}

template <class Parsed>
void expect_short(const nuvrel_core::IoResult<Parsed>& r) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), IoError::fill_whole_buffer());
}

// Every proper prefix of a valid file fails with the short-data error.
template <class Parse>
void expect_every_prefix_short(const std::vector<std::uint8_t>& file, Parse parse) {
    for (std::size_t n = 0; n < file.size(); ++n) {
        SCOPED_TRACE(n);
        expect_short(parse(prefix(file, n)));
    }
}

CentroidsFileLayout two_by_three(std::uint32_t format) {
    CentroidsFileLayout f;
    f.format = format;
    f.version = 0x0102030405060708ULL;
    f.first_count = 2;
    f.second_count = 3;
    f.data = float_run(6, 1.5f);
    return f;
}

TEST(CoarseCentroids, LayoutOfEachFormatVersion) {
    struct Case {
        std::uint32_t format;
        std::optional<CoarseCentroidsExtra> extra;
        std::size_t data_at;
    };
    const CoarseCentroidsExtra extra{77, true, 0.25f};
    for (const auto& c : {Case{0, {}, 24}, Case{1, {}, 24}, Case{2, {}, 25}, Case{2, extra, 34}, Case{9, extra, 34}}) {
        SCOPED_TRACE(c.format);
        auto layout = two_by_three(c.format);
        layout.extra = c.extra;
        auto file = centroids_file(layout);
        ASSERT_EQ(file.size(), c.data_at + 24);
        file.push_back(0xEE);  // bytes after the data are ignored

        auto r = CoarseCentroids::parse(file);
        ASSERT_TRUE(r.has_value()) << r.error().to_string();
        EXPECT_EQ(r->centroids, float_run(6, 1.5f));
        EXPECT_EQ(r->extra, c.extra);
        EXPECT_EQ(r->first_count, 2u);
        EXPECT_EQ(r->second_count, 3u);
        EXPECT_EQ(r->version, 0x0102030405060708ULL);

        expect_every_prefix_short(centroids_file(layout), CoarseCentroids::parse);
    }
}

TEST(CoarseCentroids, MagicIsCheckedOnlyWhenFourBytesExist) {
    auto layout = two_by_three(1);
    layout.magic = nuvrel_core::CODEBOOK_MAGIC;
    auto file = centroids_file(layout);
    auto r = CoarseCentroids::parse(prefix(file, 4));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), IoError::invalid_data("Invalid centroids file magic"));
    EXPECT_EQ(CoarseCentroids::parse(file).error(), r.error());
    expect_short(CoarseCentroids::parse(prefix(file, 3)));
    expect_short(CoarseCentroids::parse({}));
}

TEST(CoarseCentroids, HugePromisedCountsFailWithoutReserving) {
    // A 64 GiB reservation would abort under the sanitizers: the counts must be
    // checked against the bytes first, and their product must not wrap.
    for (auto [first, second] : {std::pair{kMaxU32, kMaxU32}, std::pair{1u << 31, 1u << 31}, std::pair{3u, 3u}}) {
        auto layout = two_by_three(1);
        layout.first_count = first;
        layout.second_count = second;
        layout.data = float_run(8);  // one float short of 3 x 3
        expect_short(CoarseCentroids::parse(centroids_file(layout)));
    }
}

TEST(CoarseCentroids, LoadReadsTheWholeFileOrReturnsTheReadError) {
    TempDir dir;
    dir.write("c.bin", centroids_file(two_by_three(2)));
    auto r = CoarseCentroids::load((dir.path() / "c.bin").string());
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    EXPECT_EQ(r->centroids.size(), 6u);

    auto missing = CoarseCentroids::load((dir.path() / "absent.bin").string());
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), IoError::from_errno(ENOENT));
    auto directory = CoarseCentroids::load(dir.path().string());
    ASSERT_FALSE(directory.has_value());
    EXPECT_EQ(directory.error(), IoError::from_errno(EISDIR));
}

PQCodebookLayout legacy(std::uint32_t format) {
    PQCodebookLayout f;
    f.format = format;
    f.version = 99;
    f.dim = 9;  // 9 / 2 rounds down to subspace dimension 4
    f.num_subspaces = 2;
    f.num_centroids = 3;
    f.first_switch = 5;
    f.second_factor = 0.5f;
    f.centroids = float_run(2 * 3 * 4, 100.0f);
    f.centroid_values = float_run(6, -3.0f);
    return f;
}

TEST(PQCodebookFile, LegacyFormatsFixTheValuesTheyDoNotStore) {
    for (std::uint32_t format : {0u, 1u}) {
        SCOPED_TRACE(format);
        const auto layout = legacy(format);
        const auto file = pq_codebook_file(layout);
        ASSERT_EQ(file.size(), 33u + 4 * 24 + 1 + 4 * 6);

        auto r = PQCodebook::parse(file);
        ASSERT_TRUE(r.has_value()) << r.error().to_string();
        EXPECT_EQ(r->version, 99u);
        EXPECT_EQ(r->dim, 9u);
        EXPECT_EQ(r->num_subspaces, 2u);
        EXPECT_EQ(r->subspace_dim, 4u);
        EXPECT_EQ(r->num_centroids, 3u);
        EXPECT_TRUE(r->first_switch);
        EXPECT_EQ(r->first_factor, 10.0f);
        EXPECT_EQ(r->second_factor, 0.5f);
        EXPECT_FALSE(r->second_switch);
        EXPECT_EQ(r->extra_value, 0u);
        EXPECT_EQ(r->constant, 42u);
        EXPECT_FALSE(r->rotation_matrix.has_value());
        EXPECT_EQ(r->centroids, layout.centroids);
        EXPECT_EQ(r->centroid_values, layout.centroid_values);

        expect_every_prefix_short(file, PQCodebook::parse);
    }
}

PQCodebookLayout full(bool rotation) {
    PQCodebookLayout f;
    f.format = 2;
    f.version = 7;
    f.dim = 3;
    f.num_subspaces = 2;
    f.subspace_dim = 5;  // stored, not derived from dim and M
    f.num_centroids = 2;
    f.first_switch = 1;
    f.first_factor = 1.25f;
    f.second_factor = 2.5f;
    f.second_switch = 9;
    f.extra_value = 4000000000u;
    if (rotation) f.rotation = float_run(9, 50.0f);
    f.centroids = float_run(2 * 2 * 5);
    f.centroid_values = float_run(4, 70.0f);
    return f;
}

TEST(PQCodebookFile, FullHeaderWithAndWithoutRotation) {
    for (bool rotation : {false, true}) {
        SCOPED_TRACE(rotation);
        const auto layout = full(rotation);
        const auto file = pq_codebook_file(layout);
        ASSERT_EQ(file.size(), 47u + (rotation ? 36 : 0) + 4 * 20 + 1 + 4 * 4);

        auto r = PQCodebook::parse(file);
        ASSERT_TRUE(r.has_value()) << r.error().to_string();
        EXPECT_EQ(r->subspace_dim, 5u);
        EXPECT_EQ(r->first_factor, 1.25f);
        EXPECT_EQ(r->second_factor, 2.5f);
        EXPECT_TRUE(r->first_switch);
        EXPECT_TRUE(r->second_switch);
        EXPECT_EQ(r->extra_value, 4000000000u);
        EXPECT_EQ(r->rotation_matrix, layout.rotation);
        EXPECT_EQ(r->centroids, layout.centroids);
        EXPECT_EQ(r->centroid_values, layout.centroid_values);

        expect_every_prefix_short(file, PQCodebook::parse);
    }
}

TEST(PQCodebookFile, PerCentroidFlagIsRequiredButItsFloatsAreNot) {
    auto layout = full(false);
    layout.centroid_values.reset();
    auto file = pq_codebook_file(layout);
    auto r = PQCodebook::parse(file);
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(r->centroid_values.has_value());

    layout.write_values_flag = false;
    expect_short(PQCodebook::parse(pq_codebook_file(layout)));
}

TEST(PQCodebookFile, WrongMagicAndNoSubspaces) {
    auto layout = legacy(1);
    layout.magic = nuvrel_core::CENTROIDS_MAGIC;
    EXPECT_EQ(PQCodebook::parse(pq_codebook_file(layout)).error(),
              IoError::invalid_data("Invalid codebook file magic"));
    expect_short(PQCodebook::parse(prefix(pq_codebook_file(layout), 3)));

    // Formats 0 and 1 derive the subspace dimension from M: M = 0 is a
    // failed load, while format 2 stores it and simply has no centroids.
    for (std::uint32_t format : {0u, 1u}) {
        layout = legacy(format);
        layout.num_subspaces = 0;
        auto r = PQCodebook::parse(pq_codebook_file(layout));
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidData);
        // Cut inside the header, the file is short before M is looked at.
        expect_short(PQCodebook::parse(prefix(pq_codebook_file(layout), 30)));
    }
    layout = full(false);
    layout.num_subspaces = 0;
    layout.centroids.clear();
    layout.centroid_values = std::vector<float>{};
    auto r = PQCodebook::parse(pq_codebook_file(layout));
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->centroids.empty());
}

TEST(PQCodebookFile, HugePromisedCountsFailWithoutReserving) {
    auto rotation = full(true);
    rotation.dim = kMaxU32;
    expect_short(PQCodebook::parse(pq_codebook_file(rotation)));

    // M x K x sub = 2^31 x 2^31 x 4 = 2^64: wrapped it would ask for no
    // centroids at all and the file would load.
    auto wrapping = full(false);
    wrapping.num_subspaces = 1u << 31;
    wrapping.num_centroids = 1u << 31;
    wrapping.subspace_dim = 4;
    wrapping.centroids.clear();
    wrapping.centroid_values.reset();
    expect_short(PQCodebook::parse(pq_codebook_file(wrapping)));

    auto values = full(false);
    values.centroid_values = float_run(3);  // M x K = 4 promised
    expect_short(PQCodebook::parse(pq_codebook_file(values)));

    auto all_max = legacy(1);
    all_max.dim = kMaxU32;
    all_max.num_subspaces = 1;
    all_max.num_centroids = kMaxU32;
    expect_short(PQCodebook::parse(pq_codebook_file(all_max)));
}

}  // namespace
}  // namespace nuvrel_test
