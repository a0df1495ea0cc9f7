// Damaged files of every segment format, truncated at every length and with
// every byte flipped: opening and reading them must fail cleanly or succeed,
// never crash or read out of bounds (run under the sanitizers too).
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "query/term_scorer.h"
#include "segment/store.h"
#include "segment/types.h"
#include "structures/postings/posting.h"
#include "structures/sstable/sstable.h"
#include "util/byte_reader.h"
#include "support/outcome.h"
#include "support/segment_builder.h"
#include "support/walk_check.h"

using namespace nuvrel_core;
using nuvrel_test::run;

namespace {

// Every truncation, and every byte xor-ed with each mask.
template <class F>
void for_each_damage(const std::vector<std::uint8_t>& good, F&& check) {
    for (std::size_t len = 0; len < good.size(); ++len)
        check(std::vector<std::uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(len)));
    for (std::size_t i = 0; i < good.size(); ++i) {
        for (std::uint8_t mask : {0x01, 0x80, 0xFF}) {
            auto bad = good;
            bad[i] ^= mask;
            check(bad);
        }
    }
}

std::vector<std::string> keys() {
    std::vector<std::string> k;
    for (int i = 0; i < 24; ++i) k.push_back(nuvrel_test::term_key(static_cast<std::uint32_t>(i % 3), fmt::format("t{:03}", i * 7)));
    return k;
}

// The index region of a term dictionary decoded field by field in file
// order, as plainly as it can be written: the text of the first fault, or
// "ok". Keys are only measured, against the reader's budget, which speaks
// last.
std::string plain_index_fault(const std::vector<std::uint8_t>& r) {
    std::size_t pos = 0;
    std::string fault;
    const auto need = [&](std::uint64_t n) {
        if (fault.empty() && r.size() - pos < n) fault = "failed to fill whole buffer";
        return fault.empty();
    };
    const auto fixed = [&](int n) {
        std::uint64_t v = 0;
        if (!need(static_cast<std::uint64_t>(n))) return v;
        for (int i = 0; i < n; ++i) v |= std::uint64_t{r[pos++]} << (8 * i);
        return v;
    };
    const auto vint = [&] {
        std::uint64_t v = 0;
        for (int i = 0; i < 10; ++i) {
            if (!need(1)) return std::uint64_t{0};
            const std::uint8_t b = r[pos++];
            v |= std::uint64_t{b & 0x7Fu} << (7 * i);
            if ((b & 0x80) == 0) return v;
        }
        if (fault.empty()) fault = "varint too long";
        return std::uint64_t{0};
    };
    const std::uint64_t blocks = fixed(4);
    std::uint64_t key_len = 0, key_bytes = 0;
    for (std::uint64_t i = 0; i < blocks && fault.empty(); ++i) {
        const std::uint64_t shared = vint();
        const std::uint64_t suffix = vint();
        if (need(suffix)) pos += suffix;
        vint();
        vint();
        key_len = std::min(shared, key_len) + suffix;
        key_bytes += key_len;
    }
    const std::uint64_t sparse = fixed(4);
    for (std::uint64_t i = 0; i < sparse && fault.empty(); ++i) {
        const std::uint64_t len = fixed(2);
        if (need(len)) pos += len;
        const std::uint64_t block = fixed(4);
        if (fault.empty() && block >= blocks)
            fault = fmt::format("SSTable sparse entry {} names block {} of {}", i, block, blocks);
    }
    if (fault.empty() && key_bytes > 64 * r.size() + (1u << 20)) fault = "SSTable block index keys exceed the index size";
    return fault.empty() ? "ok" : fault;
}

}  // namespace

// However the indexes are decoded, a damaged region reports the fault that a
// plain decoding in file order meets first.
TEST(Corruption, TermDictionaryIndexesFailAtTheirFirstFault) {
    nuvrel_test::TermDictBuilder b({.entries_per_block = 2, .sparse_every = 2, .bloom = false, .dictionary = ""});
    for (const auto& k : keys()) b.add(k, TermInfo::External{1, 2, 3});
    const std::vector<std::uint8_t> file = b.build();
    const std::size_t footer = file.size() - kSSTableFooterLen;
    const auto index_offset = static_cast<std::ptrdiff_t>(load_le<std::uint64_t>(file.data() + footer));
    const std::vector<std::uint8_t> region(file.begin() + index_offset, file.begin() + static_cast<std::ptrdiff_t>(footer));
    std::size_t faults = 0;
    for_each_damage(region, [&](const std::vector<std::uint8_t>& bad) {
        const std::string expected = plain_index_fault(bad);
        faults += expected != "ok";
        ASSERT_EQ(nuvrel_test::error_text(parse_sstable_indexes(bad)), expected);
    });
    EXPECT_GT(faults, region.size());
}

TEST(Corruption, TermDictionary) {
    for (bool dict : {false, true}) {
        nuvrel_test::TermDictBuilder b(
            {.entries_per_block = 5, .sparse_every = 2, .dictionary = dict ? "t000 t007 t014 some dictionary bytes" : ""});
        std::uint32_t i = 0;
        for (const auto& k : keys()) {
            if (i % 2) b.add(k, TermInfo::External{i, i * 10ull, i});
            else b.add(k, TermInfo::make_inline(1, nuvrel_test::Bytes().vint(i).vint(1).vec()));
            ++i;
        }
        std::size_t opened = 0, cases = 0;
        for_each_damage(b.build(), [&](std::vector<std::uint8_t> file) {
            ++cases;
            auto r = run(AsyncSSTableReader::open(LazyFileHandle::from_bytes(OwnedBytes::from_vec(std::move(file))), 2));
            if (!r) return;
            ++opened;
            for (const auto& k : keys()) {
                auto v = run((*r)->get(k));
                if (v && *v) (void)(*v)->decode_inline();
            }
            (void)run((*r)->get("\x01"));
        });
        EXPECT_GT(opened, 0u);
        EXPECT_LT(opened, cases);
    }
}

TEST(Corruption, PostingList) {
    // Long enough (over 1,024 postings) for the scorer's fused decode-and-score
    // walk, which must then match the step-by-step walk on every damaged list.
    std::vector<Posting> p;
    for (std::uint32_t d = 0; d < 1100; ++d) p.push_back({d * 3 + 1, d % 4 + 1});
    for_each_damage(nuvrel_test::encode_posting_list(p), [&](std::vector<std::uint8_t> bytes) {
        auto list = BlockPostingList::deserialize(OwnedBytes::from_vec(std::move(bytes)));
        if (!list) return;
        using Walk = BasicTermScorer<BlockPostingIterator>;
        const Bm25Weight w{BM25_K1, BM25_B, 2.26375f, 5.0f, 1.0f};
        Walk walker(BlockPostingIterator(*list), w);
        const auto steps = nuvrel_test::stepped(walker, 100000);
        Walk seeker(BlockPostingIterator(*list), w);
        for (std::uint32_t t = 0; t < 4000 && seeker.seek(t) != TERMINATED; t += 97) {
        }
        std::vector<nuvrel_test::Match> fused;
        Walk(BlockPostingIterator(std::move(*list)), w).for_each_match([&](std::uint32_t d, float s) {
            fused.push_back(nuvrel_test::match(d, s));
        });
        ASSERT_EQ(fused, steps);
    });
}

TEST(Corruption, DocumentStore) {
    for (bool dict : {false, true}) {
        nuvrel_test::StoreBuilder b(nuvrel_test::StoreOptions{3, dict ? "record zero one two dictionary" : ""});
        for (int i = 0; i < 8; ++i) b.add(fmt::format("record {}", i));
        std::size_t opened = 0;
        for_each_damage(b.build(), [&](std::vector<std::uint8_t> file) {
            auto r = run(AsyncStoreReader::open(LazyFileHandle::from_bytes(OwnedBytes::from_vec(std::move(file))), 2));
            if (!r) return;
            ++opened;
            for (std::uint32_t d = 0; d < 10; ++d) (void)run((*r)->get_record(d));
            (void)run((*r)->get_record(0xFFFFFFFFu));
        });
        EXPECT_GT(opened, 0u);
    }
}

TEST(Corruption, Metadata) {
    auto good = nuvrel_test::meta_bytes(SegmentId{5}, 10, {{1, {2, 3}}, {4, {5, 6}}});
    for_each_damage(good, [](std::vector<std::uint8_t> bytes) { (void)SegmentMeta::deserialize(bytes); });
}
