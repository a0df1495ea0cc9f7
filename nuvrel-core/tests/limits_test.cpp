// The stated limits, each at its boundary and one step past it.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include <fmt/format.h>

#include "index/index.h"
#include "structures/sstable/sstable.h"
#include "support/outcome.h"
#include "support/segment_builder.h"

using namespace nuvrel_core;
using nuvrel_test::Bytes;
using nuvrel_test::run;
using nuvrel_test::TempDir;

namespace {

constexpr std::size_t kJsonLimit = std::size_t{64} << 20;

// An index whose schema.json and segments.json are padded with whitespace to
// these sizes: "ok" and its segment count, or the open's error.
std::string open_padded(std::size_t schema_size, std::size_t list_size) {
    TempDir dir;
    const auto padded = [](std::string text, std::size_t size) { return text + std::string(size - text.size(), ' '); };
    dir.write("schema.json", padded(R"({"fields": [], "name_to_field": {}})", schema_size));
    dir.write("segments.json", padded("[]", list_size));
    auto index = run(Index::open(FsDirectory(dir.path()), IndexConfig::default_config()));
    if (!index) {
        // The message names the file by its full path; the row by its name.
        std::string text = index.error().to_string();
        const std::string in_dir = dir.path().string() + "/";
        if (auto at = text.find(in_dir); at != std::string::npos) text.erase(at, in_dir.size());
        return text;
    }
    return fmt::format("ok, {} segments", (*index)->num_segments());
}

std::string too_large(const char* name) {
    return fmt::format("IO error: {} is larger than the 67108864 bytes a file of its kind may hold", name);
}

std::string bloom(std::uint32_t hashes) {
    auto f = BloomFilter::from_bytes(Bytes().u32(64).u32(hashes).u32(1).u64(~0ull).owned());
    if (f) return "ok";
    return (f.error().kind() == IoErrorKind::InvalidData ? "invalid data: " : "another kind: ") + f.error().to_string();
}

// Four blocks of one key each, k0 to k3; a damaged sparse index names block
// 0 under k0 and again under k2. Each key's block range, then its lookup.
std::string sparse_naming_block_zero_twice() {
    nuvrel_test::TermDictBuilder b(
        {.entries_per_block = 1, .bloom = false, .sparse_entries = {{0, 0}, {2, 0}}, .dictionary = ""});
    for (int i = 0; i < 4; ++i) b.add(fmt::format("k{}", i), TermInfo::External{1, 0, 1});
    auto r = run(AsyncSSTableReader::open(LazyFileHandle::from_bytes(OwnedBytes::from_vec(b.build())), 4));
    if (!r) return r.error().to_string();
    std::string out;
    for (std::string key : {"a", "k0", "k1", "k2", "k3"}) {
        auto [start, end] = (*r)->find_block_range({reinterpret_cast<const std::uint8_t*>(key.data()), key.size()});
        auto found = run((*r)->get(key));
        out += fmt::format("{} [{}, {}] {}; ", key, start, end, !found ? found.error().to_string() : *found ? "found" : "absent");
    }
    return out;
}

}  // namespace

TEST(StatedLimits, AtTheirBoundaries) {
    const std::tuple<const char*, std::function<std::string()>, std::string> cases[] = {
        {"schema.json of 64 MiB", [] { return open_padded(kJsonLimit, 2); }, "ok, 0 segments"},
        {"schema.json a byte more", [] { return open_padded(kJsonLimit + 1, 2); }, too_large("schema.json")},
        {"segments.json of 64 MiB", [] { return open_padded(50, kJsonLimit); }, "ok, 0 segments"},
        {"segments.json a byte more", [] { return open_padded(50, kJsonLimit + 1); }, too_large("segments.json")},
        {"bloom filter of 64 hashes", [] { return bloom(64); }, "ok"},
        {"bloom filter of 65 hashes", [] { return bloom(65); },
         "invalid data: Bloom filter declares 65 hashes; a sound filter uses at most 64"},
        // Keys before the second sparse key search block 0 alone, so k1 is
        // out of reach; from k2 on the range runs to the last block. No
        // range wraps below block 0.
        {"sparse index naming block 0 twice", sparse_naming_block_zero_twice,
         "a [0, 0] absent; k0 [0, 0] found; k1 [0, 0] absent; k2 [0, 3] found; k3 [0, 3] found; "},
    };
    for (const auto& [what, outcome, want] : cases) EXPECT_EQ(outcome(), want) << what;
}
