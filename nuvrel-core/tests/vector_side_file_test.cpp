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

// The file parses to `want` (bytes after the data are ignored), and every
// proper prefix of it fails with the short-data error.
template <class Parsed>
void expect_layout(const std::vector<std::uint8_t>& file, const Parsed& want) {
    auto longer = file;
    longer.push_back(0xEE);
    auto r = Parsed::parse(longer);
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    EXPECT_EQ(*r, want);
    for (std::size_t n = 0; n < file.size(); ++n) {
        SCOPED_TRACE(n);
        expect_short(Parsed::parse(prefix(file, n)));
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
    const CoarseCentroidsExtra extra{77, true, 0.25f};
    const std::tuple<std::uint32_t, std::optional<CoarseCentroidsExtra>, std::size_t> cases[] = {
        {0, {}, 24}, {1, {}, 24}, {2, {}, 25}, {2, extra, 34}, {9, extra, 34}};
    for (const auto& [format, extra_block, data_at] : cases) {
        SCOPED_TRACE(format);
        auto layout = two_by_three(format);
        layout.extra = extra_block;
        const auto file = centroids_file(layout);
        ASSERT_EQ(file.size(), data_at + 24);
        CoarseCentroids want;
        want.centroids = layout.data;
        want.extra = extra_block;
        want.first_count = 2;
        want.second_count = 3;
        want.version = layout.version;
        expect_layout(file, want);
    }
}

TEST(CoarseCentroids, MagicCountsAndLoading) {
    auto layout = two_by_three(1);
    layout.magic = nuvrel_core::CODEBOOK_MAGIC;
    auto file = centroids_file(layout);
    // The magic is checked only once four bytes exist.
    EXPECT_EQ(CoarseCentroids::parse(prefix(file, 4)).error(), IoError::invalid_data("Invalid centroids file magic"));
    expect_short(CoarseCentroids::parse(prefix(file, 3)));
    // A 64 GiB reservation would abort under the sanitizers: the counts must be
    // checked against the bytes first, and their product must not wrap.
    for (auto [first, second] : {std::pair{kMaxU32, kMaxU32}, std::pair{1u << 31, 1u << 31}, std::pair{3u, 3u}}) {
        layout = two_by_three(1);
        layout.first_count = first;
        layout.second_count = second;
        layout.data = float_run(8);  // one float short of 3 x 3
        expect_short(CoarseCentroids::parse(centroids_file(layout)));
    }
    TempDir dir;
    dir.write("c.bin", centroids_file(two_by_three(2)));
    auto r = CoarseCentroids::load((dir.path() / "c.bin").string());
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    EXPECT_EQ(r->centroids.size(), 6u);
    // The read's own failures come unchanged (the whole-file read's cases are the directory's).
    EXPECT_EQ(CoarseCentroids::load((dir.path() / "absent.bin").string()).error(), IoError::from_errno(ENOENT));
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

// What the parser should make of a layout; formats 0 and 1 fix the values
// they do not store.
PQCodebook parsed(const PQCodebookLayout& f) {
    const bool old = f.format < 2;
    PQCodebook c;
    c.version = f.version;
    c.dim = f.dim;
    c.num_subspaces = f.num_subspaces;
    c.subspace_dim = old ? f.dim / f.num_subspaces : f.subspace_dim;
    c.num_centroids = f.num_centroids;
    c.first_switch = f.first_switch != 0;
    c.first_factor = old ? 10.0f : f.first_factor;
    c.second_factor = f.second_factor;
    c.second_switch = !old && f.second_switch != 0;
    c.extra_value = old ? 0 : f.extra_value;
    c.constant = 42;
    c.rotation_matrix = f.rotation;
    c.centroids = f.centroids;
    c.centroid_values = f.centroid_values;
    return c;
}

TEST(PQCodebookFile, LayoutOfEachFormatVersion) {
    const std::pair<PQCodebookLayout, std::size_t> cases[] = {
        {legacy(0), 33 + 4 * 24 + 1 + 4 * 6},
        {legacy(1), 33 + 4 * 24 + 1 + 4 * 6},
        {full(false), 47 + 4 * 20 + 1 + 4 * 4},
        {full(true), 47 + 36 + 4 * 20 + 1 + 4 * 4},
    };
    for (const auto& [layout, size] : cases) {
        SCOPED_TRACE(size);
        const auto file = pq_codebook_file(layout);
        ASSERT_EQ(file.size(), size);
        expect_layout(file, parsed(layout));
    }
    // The per-centroid flag is required, its floats are not.
    auto layout = full(false);
    layout.centroid_values.reset();
    EXPECT_FALSE(PQCodebook::parse(pq_codebook_file(layout))->centroid_values.has_value());
    layout.write_values_flag = false;
    expect_short(PQCodebook::parse(pq_codebook_file(layout)));
}

TEST(PQCodebookFile, WrongMagicNoSubspacesAndHugeCounts) {
    auto layout = legacy(1);
    layout.magic = nuvrel_core::CENTROIDS_MAGIC;
    EXPECT_EQ(PQCodebook::parse(pq_codebook_file(layout)).error(), IoError::invalid_data("Invalid codebook file magic"));
    expect_short(PQCodebook::parse(prefix(pq_codebook_file(layout), 3)));

    // Formats 0 and 1 derive the subspace dimension from M: M = 0 is a
    // failed load (but a file cut inside the header is short before M is
    // looked at), while format 2 stores it and simply has no centroids.
    for (std::uint32_t format : {0u, 1u}) {
        layout = legacy(format);
        layout.num_subspaces = 0;
        EXPECT_EQ(PQCodebook::parse(pq_codebook_file(layout)).error().kind(), nuvrel_core::IoErrorKind::InvalidData);
        expect_short(PQCodebook::parse(prefix(pq_codebook_file(layout), 30)));
    }
    layout = full(false);
    layout.num_subspaces = 0;
    layout.centroids.clear();
    layout.centroid_values = std::vector<float>{};
    EXPECT_TRUE(PQCodebook::parse(pq_codebook_file(layout))->centroids.empty());

    auto rotation = full(true);
    rotation.dim = kMaxU32;
    // M x K x sub = 2^31 x 2^31 x 4 = 2^64: wrapped it would ask for no
    // centroids at all and the file would load.
    auto wrapping = full(false);
    wrapping.num_subspaces = 1u << 31;
    wrapping.num_centroids = 1u << 31;
    wrapping.subspace_dim = 4;
    wrapping.centroids.clear();
    wrapping.centroid_values.reset();
    auto values = full(false);
    values.centroid_values = float_run(3);  // M x K = 4 promised
    auto all_max = legacy(1);
    all_max.dim = kMaxU32;
    all_max.num_subspaces = 1;
    all_max.num_centroids = kMaxU32;
    for (const auto& huge : {rotation, wrapping, values, all_max}) expect_short(PQCodebook::parse(pq_codebook_file(huge)));
}

}  // namespace
}  // namespace nuvrel_test
