// Damaged files of every format report the first fault met when their parts
// are decoded in file order, entry after entry: a count read early bounds
// only what is reserved, and the reader's own limits (key budget, missing
// blocks, filters without bits, zero subspaces) speak only where decoding
// in that order reaches them.
#include <gtest/gtest.h>

#include <functional>

#include "segment/store.h"
#include "segment/types.h"
#include "structures/postings/posting.h"
#include "structures/sstable/sstable.h"
#include "structures/vector/ivf/coarse_centroids.h"
#include "structures/vector/quantization/pq_codebook.h"
#include "support/outcome.h"
#include "support/test_util.h"
#include "support/vector_builder.h"

using namespace nuvrel_core;
using nuvrel_test::Bytes;
using nuvrel_test::error_text;
using nuvrel_test::run;

namespace {

// A term dictionary: the index region at offset 0, then whatever else, then
// the footer naming the bloom filter and dictionary positions.
std::string terms(const Bytes& body, std::uint64_t bloom = 0, std::uint64_t dict = 0) {
    Bytes file(body);
    file.u64(0).u64(0).u64(bloom).u64(dict).u8(0).u32(kSSTableMagic);
    return error_text(run(AsyncSSTableReader::open(LazyFileHandle::from_bytes(file.owned()), 4)));
}

// A block index whose keys share long prefixes: its first key is 4,000
// bytes, and each of `n` further entries repeats it for four bytes, far past
// the memory an index of this size may ask for.
Bytes prefix_blow_up(std::uint32_t count, std::uint32_t n) {
    Bytes b;
    b.u32(count).vint(0).vint(4000).raw(std::string(4000, 'k')).vint(0).vint(0);
    for (std::uint32_t i = 0; i < n; ++i) b.vint(4000).vint(0).vint(0).vint(0);
    return b;
}

const std::string kTooLong(std::string(9, '\xFF') + '\x80');

std::string block(const Bytes& entries) {
    return error_text(AsyncSSTableReader::search_block(entries.vec(), Bytes().raw("k").vec()));
}

std::string store(const Bytes& body, std::uint64_t data_end, std::uint64_t dict_offset, std::uint32_t has_dict,
                  std::uint32_t version = 2, std::uint32_t magic = kStoreMagic) {
    Bytes file(body);
    file.u64(data_end).u64(dict_offset).u32(0).u32(has_dict).u32(version).u32(magic);
    return error_text(run(AsyncStoreReader::open(LazyFileHandle::from_bytes(file.owned()), 4)));
}

std::vector<std::uint8_t> cut(std::vector<std::uint8_t> bytes, std::size_t len) {
    bytes.resize(len);
    return bytes;
}

struct DamageCase {
    const char* name;
    std::function<std::string()> error;
    const char* text;
};

const char* const kEof = "failed to fill whole buffer";

}  // namespace

TEST(DamagedFiles, ReportTheFirstFaultInDecodingOrder) {
    // A format-1 codebook without subspaces: its subspace dimension is dim / 0.
    nuvrel_test::PQCodebookLayout legacy_pq;
    legacy_pq.format = 1;
    legacy_pq.dim = 8;
    legacy_pq.num_centroids = 1;
    nuvrel_test::CentroidsFileLayout short_centroids;
    short_centroids.first_count = 1000;
    short_centroids.second_count = 4;
    const DamageCase cases[] = {
        // Term dictionary: index region, then bloom filter, then dictionary.
        {"terms: block count past its entries, first entry's varint too long",
         [] { return terms(Bytes().u32(3).raw(kTooLong).u8(0)); }, "varint too long"},
        {"terms: block count past its entries, second entry's suffix cut",
         [] { return terms(Bytes().u32(1000).vint(0).vint(1).raw("a").vint(0).vint(0).vint(0).vint(9).raw("ab")); },
         kEof},
        {"terms: sparse count past its entries, first naming a missing block",
         [] { return terms(Bytes().u32(1).vint(0).vint(1).raw("a").vint(0).vint(0).u32(1000).u16(1).raw("a").u32(5)); },
         "SSTable sparse entry 0 names block 5 of 1"},
        {"terms: keys over budget, then an entry that does not decode",
         [] { return terms(prefix_blow_up(1002, 1000).raw(kTooLong)); }, "varint too long"},
        {"terms: keys over budget, then a sparse entry naming a missing block",
         [] { return terms(prefix_blow_up(1001, 1000).u32(1).u16(0).u32(5000)); },
         "SSTable sparse entry 0 names block 5000 of 1001"},
        {"terms: keys over budget in indexes that decode", [] { return terms(prefix_blow_up(1001, 1000).u32(0)); },
         "SSTable block index keys exceed the index size"},
        {"terms: bad index region before a bloom filter past the end",
         [] { return terms(Bytes().u32(3).raw(kTooLong).u8(0), 9999); }, "varint too long"},
        {"terms: bloom filter past the end before a dictionary past the end",
         [] { return terms(Bytes().u32(0).u32(0), 9999, 8888); }, "Range 9999..10011 out of bounds (file size: 45)"},
        {"terms: bloom words past the end", [] { return terms(Bytes().u32(0).u32(0).u32(64).u32(1).u32(1000), 8); },
         "Range 8..8020 out of bounds (file size: 57)"},
        {"terms: bloom filter without bits before a dictionary past the end",
         [] { return terms(Bytes().u32(0).u32(0).u32(0).u32(3).u32(0), 8, 9999); },
         "Bloom filter has no bits but 3 hashes"},
        // A dictionary block, walked entry by entry for the key "k".
        {"terms block: inline data longer than 16 bytes and cut short",
         [] { return block(Bytes().vint(0).vint(1).raw("k").u8(0xFF).u8(1).u8(17).raw("ab")); }, kEof},
        {"terms block: inline data longer than 16 bytes",
         [] { return block(Bytes().vint(0).vint(1).raw("k").u8(0xFF).u8(1).u8(17).raw(std::string(17, '\1'))); },
         "Inline TermInfo data length 17 exceeds 16"},
        {"terms block: bad tag of an entry before the key", [] { return block(Bytes().vint(0).vint(1).raw("a").u8(7).raw(kTooLong)); },
         "Invalid TermInfo tag: 7"},
        // Document store: footer, magic before version, dictionary, block index.
        {"store: shorter than its footer", [] { return error_text(run(AsyncStoreReader::open(
                                                    LazyFileHandle::from_bytes(Bytes().raw(std::string(31, '\0')).owned()), 4))); },
         "Store too small"},
        {"store: magic and version both wrong", [] { return store(Bytes(), 0, 0, 0, 1, 0x1234); }, "Invalid store magic"},
        {"store: version 1", [] { return store(Bytes().u32(0), 0, 0, 0, 1); }, "Unsupported store version: 1"},
        {"store: dictionary past the end before an entry count past its entries",
         [] { return store(Bytes().u32(1000), 0, 9999, 1); }, "Range 9999..10003 out of bounds (file size: 36)"},
        {"store: dictionary bytes past the end", [] { return store(Bytes().u32(0).u32(100), 0, 4, 1); },
         "Range 8..108 out of bounds (file size: 40)"},
        {"store: entry count past its entries", [] { return store(Bytes().u32(1000).raw(std::string(20, '\0')), 0, 0, 0); },
         kEof},
        // Segment metadata and a serialized posting list: fixed-width fields only.
        {"meta: entry count past its entries",
         [] { return error_text(SegmentMeta::deserialize(Bytes().raw(std::string(20, '\0')).u32(1000).u32(1).u64(2).u32(3).vec())); },
         kEof},
        {"post: skip count past its entries",
         [] { return error_text(BlockPostingList::deserialize(Bytes().u32(5).u32(1000).u32(0).u32(0).u32(0).owned())); }, kEof},
        {"post: data length past the bytes",
         [] { return error_text(BlockPostingList::deserialize(Bytes().u32(5).u32(0).u32(1000).raw("ab").owned())); }, kEof},
        // Side files: magic, then the header in order, then the floats.
        {"centroids: three bytes", [] { return error_text(CoarseCentroids::parse(Bytes().raw("CVC").vec())); }, kEof},
        {"centroids: wrong magic", [] { return error_text(CoarseCentroids::parse(Bytes().u32(7).vec())); },
         "Invalid centroids file magic"},
        {"centroids: counts past the floats",
         [&] { return error_text(CoarseCentroids::parse(nuvrel_test::centroids_file(short_centroids))); },
         kEof},
        {"pq: no subspaces, header cut",
         [&] { return error_text(PQCodebook::parse(cut(nuvrel_test::pq_codebook_file(legacy_pq), 30))); }, kEof},
        {"pq: no subspaces, header whole",
         [&] { return error_text(PQCodebook::parse(nuvrel_test::pq_codebook_file(legacy_pq))); },
         "Invalid codebook: zero subspaces"},
    };
    for (const DamageCase& c : cases) EXPECT_EQ(c.error(), c.text) << c.name;
}
