// Writers of the five segment file formats, for tests and benchmarks: term
// dictionary (with or without bloom filter, sparse index and compression
// dictionary), posting lists, document store (with or without dictionary,
// with gaps between blocks) and metadata. They encode on their own, not
// through the readers' code, so a test compares two independent sides.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "segment/types.h"
#include "structures/postings/posting.h"
#include "structures/sstable/term_info.h"
#include "support/test_util.h"

namespace nuvrel_test {

using nuvrel_core::Posting;
using nuvrel_core::TermInfo;

// The dictionary key of a term: the field id (4 bytes, little-endian) then the term.
std::string term_key(std::uint32_t field, std::string_view term);

// The serialized posting list: doc_count, num_blocks, skip entries, data_len, data.
std::vector<std::uint8_t> encode_posting_list(const std::vector<Posting>& postings);
// Every (document, frequency) pair of the list, decoded block by block.
std::vector<Posting> decode_all(nuvrel_core::BlockPostingList list);
// Tag byte and payload of a term-dictionary value.
std::vector<std::uint8_t> encode_term_info(const TermInfo& info);

struct TermDictOptions {
    std::size_t entries_per_block = 16;
    std::size_t sparse_every = 4;  // one sparse entry per this many blocks; 0 = no sparse index
    bool bloom = true;             // 10 bits per key, 7 probes
    // When given, these sparse entries replace the regular ones: each is
    // (the block whose first key is the entry's key, the block it names).
    std::vector<std::pair<std::size_t, std::uint32_t>> sparse_entries = {};
    std::string dictionary;        // raw-content zstd dictionary; empty = none
};

class TermDictBuilder {
public:
    explicit TermDictBuilder(TermDictOptions options = {}) : options_(std::move(options)) {}

    // Keys may come in any order; they are sorted (byte order) on build. A
    // raw entry is written as given after the key (tag and payload).
    void add(std::string key, const TermInfo& info) { entries_[std::move(key)] = encode_term_info(info); }
    void add_raw(std::string key, std::vector<std::uint8_t> value) { entries_[std::move(key)] = std::move(value); }

    std::vector<std::uint8_t> build() const;
    // After build: each block's file offset and first key.
    const std::vector<std::pair<std::uint64_t, std::string>>& blocks() const noexcept { return blocks_; }

private:
    TermDictOptions options_;
    std::map<std::string, std::vector<std::uint8_t>> entries_;
    mutable std::vector<std::pair<std::uint64_t, std::string>> blocks_;
};

// The bloom filter bits the reader probes, for a set of keys.
std::vector<std::uint8_t> encode_bloom(const std::vector<std::string>& keys, std::uint32_t num_bits,
                                       std::uint32_t num_hashes);

struct StoreOptions {
    std::size_t docs_per_block = 4;
    std::string dictionary;  // raw-content zstd dictionary; empty = none
};

class StoreBuilder {
public:
    explicit StoreBuilder(StoreOptions options = {}) : options_(std::move(options)) {}

    // Appends a record as the next document number.
    void add(std::string record);
    // Closes the current block and starts the next one at this document
    // number (leaving a gap when it is beyond the next number).
    void start_block(std::uint32_t first_doc_id);
    // A block of given (uncompressed) content that claims num_docs documents
    // from first_doc_id; the next document number follows them.
    void add_raw_block(std::uint32_t first_doc_id, std::uint32_t num_docs, std::string content);
    std::vector<std::uint8_t> build() const;
    std::uint32_t num_docs() const noexcept { return next_doc_; }

private:
    struct Block {
        std::uint32_t first_doc_id;
        std::vector<std::string> records;
        std::optional<std::pair<std::uint32_t, std::string>> raw;  // claimed count, content
    };
    StoreOptions options_;
    std::vector<Block> blocks_;
    std::uint32_t next_doc_ = 0;
    bool force_new_ = true;
};

std::vector<std::uint8_t> meta_bytes(nuvrel_core::SegmentId id, std::uint32_t num_docs,
                                     const std::vector<std::pair<std::uint32_t, nuvrel_core::FieldStats>>& stats = {});

// A whole segment: terms (inline when their pairs fit in 16 bytes, else in
// ".post"), documents and statistics, written under the segment's names.
class SegmentBuilder {
public:
    explicit SegmentBuilder(TermDictOptions terms = {}, StoreOptions store = {})
        : terms_(std::move(terms)), store_(std::move(store)) {}

    void add_term(std::uint32_t field, std::string_view term, std::vector<Posting> postings);
    void add_document(std::string json) { store_.add(std::move(json)); }
    void add_field_stats(std::uint32_t field, nuvrel_core::FieldStats stats) { stats_.emplace_back(field, stats); }
    void set_num_docs(std::uint32_t n) { num_docs_ = n; }

    // File name -> content for the segment (no ".vectors").
    std::map<std::string, std::vector<std::uint8_t>> files(nuvrel_core::SegmentId id) const;
    void write(const TempDir& dir, nuvrel_core::SegmentId id) const;

private:
    TermDictBuilder terms_;
    StoreBuilder store_;
    std::vector<std::uint8_t> postings_;  // the ".post" file: lists one after another
    std::vector<std::pair<std::uint32_t, nuvrel_core::FieldStats>> stats_;
    std::optional<std::uint32_t> num_docs_;
};

}  // namespace nuvrel_test
