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

}  // namespace

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
