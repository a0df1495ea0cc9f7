// The term scorer: walks one posting list block by block and scores each
// document with BM25, over any cursor that meets PostingCursor.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "query/bm25.h"
#include "query/term.h"
#include "query/traits.h"

namespace nuvrel_core {

// What the term scorer reads of its posting cursor: the list's skip entries
// with each block's last document and the list's document count, the
// decoded (document, frequency) pairs of the current block, where the cursor
// stands (current_block, position, exhausted), and load_block(i), which makes
// block i current at position 0, or sets exhausted past the last block and
// changes nothing else.
template <class C>
concept PostingCursor = requires(C cursor, const C& view, std::size_t i) {
    { view.list.skip_list[i].last_doc } -> std::convertible_to<std::uint32_t>;
    { view.list.skip_list.size() } -> std::convertible_to<std::size_t>;
    { view.list.doc_count } -> std::convertible_to<std::uint32_t>;
    { view.block[i].first } -> std::convertible_to<std::uint32_t>;
    { view.block[i].second } -> std::convertible_to<std::uint32_t>;
    { view.block.size() } -> std::convertible_to<std::size_t>;
    { cursor.current_block } -> std::same_as<std::size_t&>;
    { cursor.position } -> std::same_as<std::size_t&>;
    { cursor.exhausted } -> std::same_as<bool&>;
    cursor.load_block(i);
};

// A cursor whose blocks a walk may also decode straight into its sink:
// claim_block charges block i to the cursor's decode budget and hands out its
// bytes, and the budget can be refunded when the block is loaded after all.
template <class C>
concept DecodingPostingCursor =
    PostingCursor<C> && requires(C cursor, std::size_t i, const std::uint8_t*& p, std::uint64_t& count) {
        { cursor.claim_block(i, p, p, count) } -> std::same_as<std::uint64_t>;
        { cursor.decode_budget } -> std::same_as<std::uint64_t&>;
    };

template <PostingCursor PostingIterator>
class BasicTermScorer final : public Scorer {
public:
    // The cursor is taken positioned: on block 0, or exhausted for a list
    // without blocks.
    BasicTermScorer(PostingIterator it, Bm25Weight weight) : it_(std::move(it)), weight_(weight) {
        const auto& skips = it_.list.skip_list;
        for (std::size_t i = 1; i < skips.size() && last_docs_ascend_; ++i)
            last_docs_ascend_ = skips[i - 1].last_doc <= skips[i].last_doc;
        if (!last_docs_ascend_) {
            reach_.resize(skips.size());
            std::uint32_t most = 0;
            for (std::size_t i = 0; i < skips.size(); ++i) reach_[i] = most = std::max<std::uint32_t>(most, skips[i].last_doc);
        }
        note_block();
        sync_doc();
    }

    std::uint32_t doc() const override { return doc_; }

    // Small enough to inline into a caller's loop: a frequency whose score is
    // cached is the common case; the arithmetic stays out of line.
    float score() const override {
        if (on_pair()) [[likely]] {
            const auto tf = static_cast<std::uint32_t>(it_.block[it_.position].second);
            if (tf < kCachedScores && (cached_mask_ >> tf & 1u)) return cached_scores_[tf];
        }
        return score_computed();
    }

    std::uint32_t advance() override {
        if (it_.exhausted) return TERMINATED;
        it_.position += 1;
        if (it_.position >= it_.block.size()) {
            load_block(it_.current_block + 1);
            if (it_.exhausted) return doc_ = TERMINATED;
        }
        // A block that decoded to no pairs ends the walk here.
        if (it_.position >= it_.block.size()) return doc_ = TERMINATED;
        return doc_ = doc_at(it_.position);
    }

    std::uint32_t seek(std::uint32_t target) override {
        if (it_.exhausted) return TERMINATED;
        // Most seeks of a walk land in the current block. When the skip
        // entries name it for the target, what the full search below would
        // do first is scan it from the current position; a hit there is its
        // result. A miss leaves the cursor untouched for the full search.
        if (skips_name_current_block(target)) {
            const std::size_t pos = first_pair_reaching(target);
            if (pos < it_.block.size()) {
                it_.position = pos;
                return doc_ = doc_at(pos);
            }
        }
        return seek_through_skips(target);
    }

    std::uint32_t size_hint() const override { return 0; }

    const Bm25Weight& weight() const noexcept { return weight_; }
    const PostingIterator& cursor() const noexcept { return it_; }

    // Hands every match from the current one to the end to sink(doc, score),
    // exactly as doc()/score()/advance() would, without a call per posting:
    // the walk stops at a document equal to TERMINATED and at a block that
    // decoded to no pairs. Small frequencies take their score from a table
    // filled on first use with the same arithmetic, so scores are unchanged.
    template <class Sink>
    void for_each_match(Sink&& sink) {
        if (!on_pair()) return;
        // A long list fills the whole table up front, so its loop needs no
        // test of whether an entry is filled.
        if (it_.list.doc_count < kEagerTableDocs) {
            walk(sink, [this](std::uint32_t tf) { return score_of(tf); });
        } else {
            // Past the cache, score_of computes each time: the wider table
            // holds the same values and covers every one-byte frequency.
            float table[kWideTable];
            for (std::uint32_t tf = 0; tf < kWideTable; ++tf) table[tf] = score_of(tf);
            const auto score_for = [&table, this](std::uint32_t tf) {
                return tf < kWideTable ? table[tf] : weight_.score(static_cast<float>(tf));
            };
            if constexpr (DecodingPostingCursor<PostingIterator>)
                walk_decoding(sink, score_for);
            else
                walk(sink, score_for);
        }
        note_block();
        sync_doc();
    }

private:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // The first pair at or after the target, through the skip entries.
    [[gnu::noinline]] std::uint32_t seek_through_skips(std::uint32_t target) {
        // The skip entries name the same block on every pass for one target.
        // Once that block has been scanned whole without meeting the target
        // (its last_doc claims a document it does not hold), a further pass
        // would repeat the scan for ever, so the walk ends instead.
        bool scanned_whole = false;
        for (;;) {
            const std::size_t i = first_block_reaching(target);
            if (i == npos) {
                it_.exhausted = true;
                return doc_ = TERMINATED;
            }
            if (i != it_.current_block) {
                load_block(i);
                if (it_.exhausted) return doc_ = TERMINATED;  // out of decode budget
            }
            if (it_.position == 0) {
                if (scanned_whole) {
                    it_.exhausted = true;
                    return doc_ = TERMINATED;
                }
                scanned_whole = true;
            }
            it_.position = first_pair_reaching(target);
            if (it_.position < it_.block.size()) return doc_ = doc_at(it_.position);
            load_block(it_.current_block + 1);
            if (it_.exhausted) return doc_ = TERMINATED;
        }
    }

    // True when first_block_reaching(target) would give the current block.
    bool skips_name_current_block(std::uint32_t target) const noexcept {
        return target >= named_from_ && target <= named_to_;
    }

    void load_block(std::size_t i) {
        it_.load_block(i);
        note_block();
    }

    // The targets for which first_block_reaching names the current block: past
    // the previous block's last document, up to the current one's. Only lists
    // with ascending last documents are known to have such a range.
    void note_block() noexcept {
        named_from_ = 1;
        named_to_ = 0;
        const auto& skips = it_.list.skip_list;
        const std::size_t cur = it_.current_block;
        if (!last_docs_ascend_ || cur >= skips.size()) return;
        if (cur > 0 && skips[cur - 1].last_doc == TERMINATED) return;  // no target passes it
        named_from_ = cur == 0 ? 0 : skips[cur - 1].last_doc + 1;
        named_to_ = skips[cur].last_doc;
    }

    // From the current position on, the position of the first pair in the
    // block at or after the target; past the block's pairs when none is.
    std::size_t first_pair_reaching(std::uint32_t target) const noexcept {
        const auto* pairs = it_.block.data();
        const std::size_t n = it_.block.size();
        std::size_t pos = it_.position;
        while (pos < n && static_cast<std::uint32_t>(pairs[pos].first) < target) ++pos;
        return pos;
    }

    [[gnu::noinline]] float score_computed() const {
        if (!on_pair()) return weight_.score(0.0f);
        return score_of(static_cast<std::uint32_t>(it_.block[it_.position].second));
    }

    bool on_pair() const noexcept { return !it_.exhausted && it_.position < it_.block.size(); }
    void sync_doc() noexcept { doc_ = on_pair() ? doc_at(it_.position) : TERMINATED; }

    // Hands the current block's pairs from the position on to the sink;
    // false when it stopped at a document equal to TERMINATED, which then
    // becomes the position.
    template <class Sink, class ScoreOf>
    bool sink_rest_of_block(Sink& sink, const ScoreOf& score_for) {
        const auto* pairs = it_.block.data();
        const std::size_t n = it_.block.size();
        for (std::size_t i = it_.position; i < n; ++i) {
            const std::uint32_t d = static_cast<std::uint32_t>(pairs[i].first);
            if (d == TERMINATED) [[unlikely]] {
                it_.position = i;
                return false;
            }
            sink(d, score_for(static_cast<std::uint32_t>(pairs[i].second)));
        }
        return true;
    }

    template <class Sink, class ScoreOf>
    void walk(Sink& sink, const ScoreOf& score_for) {
        for (;;) {
            if (!sink_rest_of_block(sink, score_for)) return;
            it_.load_block(it_.current_block + 1);  // for_each_match notes where the walk ends
            if (it_.exhausted || it_.block.empty()) return;
        }
    }

    // As walk, but the blocks after the current one are decoded straight
    // into the sink instead of into the cursor's pairs. The block the walk
    // ends on is then decoded into the cursor again, refunding its charge,
    // so the cursor and its decode budget end exactly where walk leaves them.
    template <class Sink, class ScoreOf>
    void walk_decoding(Sink& sink, const ScoreOf& score_for) {
        if (!sink_rest_of_block(sink, score_for)) return;
        const std::size_t blocks = it_.list.skip_list.size();
        const std::size_t first = it_.current_block + 1;
        const auto end_on = [this](std::size_t b, std::uint64_t charge) {
            it_.decode_budget += charge;
            it_.load_block(b);
        };
        std::uint64_t charge = 0;
        for (std::size_t b = first; b < blocks; ++b) {
            const std::uint8_t* p;
            const std::uint8_t* end;
            std::uint64_t count;
            charge = it_.claim_block(b, p, end, count);
            if (charge == 0) {
                if (!it_.exhausted) it_.load_block(b);  // no pairs: the walk ends on this block
                return;
            }
            bool stopped = false;
            const std::size_t n = decode_block_pairs(p, end, count, [&](std::uint32_t d, std::uint32_t tf) {
                if (d == TERMINATED) [[unlikely]] {
                    stopped = true;
                    return false;
                }
                sink(d, score_for(tf));
                return true;
            });
            if (stopped || n == 0) [[unlikely]] {
                end_on(b, charge);
                it_.position = n;
                return;
            }
        }
        if (blocks > first) end_on(blocks - 1, charge);
        it_.load_block(blocks);  // past the last block: exhausted
    }

    float score_of(std::uint32_t tf) const {
        if (tf >= kCachedScores) return weight_.score(static_cast<float>(tf));
        if (!(cached_mask_ >> tf & 1u)) {
            cached_scores_[tf] = weight_.score(static_cast<float>(tf));
            cached_mask_ |= std::uint64_t{1} << tf;
        }
        return cached_scores_[tf];
    }

    static constexpr std::uint32_t kCachedScores = 64;
    static constexpr std::uint32_t kEagerTableDocs = 1024;
    static constexpr std::uint32_t kWideTable = 128;

    std::uint32_t doc_at(std::size_t pos) const {
        const auto& [d, f] = it_.block[pos];
        (void)f;
        return static_cast<std::uint32_t>(d);
    }

    // The first block whose last document is at least the target. Lists
    // written in order have ascending last documents and are searched by
    // halving. Any other list would be scanned from the first entry on every
    // seek, a cost per seek that grows with the list; the first block whose
    // last document reaches the target is also the first whose running
    // maximum does, and the running maxima ascend: they are searched by
    // halving instead, which finds the same block.
    std::size_t first_block_reaching(std::uint32_t target) const {
        const auto& skips = it_.list.skip_list;
        const std::size_t n = skips.size();
        if (last_docs_ascend_) {
            std::size_t lo = 0, hi = n;
            // A walk seeks mostly into the current block or one just after
            // it. When no earlier block reaches the target, the answer is the
            // current block or a later one: gallop forward from there to
            // narrow the halving, which then finds the same block.
            const std::size_t cur = it_.current_block;
            if (cur < n && (cur == 0 || skips[cur - 1].last_doc < target)) {
                lo = cur;
                std::size_t probe = cur, step = 1;
                while (probe < n && skips[probe].last_doc < target) {
                    lo = probe + 1;
                    probe = lo + step;
                    step *= 2;
                }
                if (probe < n) hi = probe;
            }
            while (lo < hi) {
                const std::size_t mid = lo + (hi - lo) / 2;
                if (skips[mid].last_doc < target) lo = mid + 1;
                else hi = mid;
            }
            return lo == n ? npos : lo;
        }
        const auto it = std::lower_bound(reach_.begin(), reach_.end(), target);
        return it == reach_.end() ? npos : static_cast<std::size_t>(it - reach_.begin());
    }

    PostingIterator it_;
    Bm25Weight weight_;
    bool last_docs_ascend_ = true;
    std::vector<std::uint32_t> reach_;  // running maximum of the last documents, when they do not ascend
    // The cursor's current document, TERMINATED off a pair: set on every move.
    std::uint32_t doc_ = TERMINATED;
    // Seek targets that stay in the current block (see note_block); empty
    // when named_from_ > named_to_.
    std::uint32_t named_from_ = 1;
    std::uint32_t named_to_ = 0;
    // A cache of weight_.score(tf) for small tf, filled as frequencies appear.
    mutable std::uint64_t cached_mask_ = 0;  // bit tf set: cached_scores_[tf] is filled
    mutable float cached_scores_[kCachedScores];
};

// The scorer of a term query once its posting list was looked up: an
// EmptyScorer when the segment lacks the term, else a term scorer over a
// cursor that owns the list. `num_docs` is the segment's document count and
// `segment_avg_field_length` its average length of the query's field (0.0
// when it has no statistics for the field).
template <PostingCursor PostingIterator, class PostingList>
std::unique_ptr<Scorer> make_term_scorer(const TermQuery& query, std::optional<PostingList> list,
                                         std::uint32_t num_docs, float segment_avg_field_length) {
    if (!list) return std::make_unique<EmptyScorer>();
    const Bm25Weight weight = query.bm25_weight(num_docs, list->doc_count, segment_avg_field_length);
    return std::make_unique<BasicTermScorer<PostingIterator>>(PostingIterator(std::move(*list)), weight);
}

}  // namespace nuvrel_core
