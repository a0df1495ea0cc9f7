#include "support/segment_builder.h"

#include <algorithm>

namespace nuvrel_test {

namespace {

std::size_t common_prefix(const std::string& a, const std::string& b) {
    std::size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
    return n;
}

void put_shared_key(Bytes& out, const std::string& prev, const std::string& key) {
    std::size_t shared = common_prefix(prev, key);
    out.vint(shared).vint(key.size() - shared).raw(std::string_view(key).substr(shared));
}

// A raw store block: length-prefixed records.
std::string store_block(const std::vector<std::string>& records) {
    Bytes b;
    for (const auto& r : records) b.u32(static_cast<std::uint32_t>(r.size())).raw(r);
    return to_string(b.vec());
}

}  // namespace

std::string term_key(std::uint32_t field, std::string_view term) {
    std::string k(4, '\0');
    for (int i = 0; i < 4; ++i) k[static_cast<std::size_t>(i)] = static_cast<char>(field >> (8 * i));
    k.append(term);
    return k;
}

std::vector<std::uint8_t> encode_posting_list(const std::vector<Posting>& postings) {
    Bytes skips, data;
    std::uint32_t blocks = 0;
    for (std::size_t from = 0; from < postings.size(); from += 128, ++blocks) {
        std::size_t to = std::min(postings.size(), from + 128);
        skips.u32(postings[from].doc_id).u32(postings[to - 1].doc_id).u32(static_cast<std::uint32_t>(data.size()));
        data.vint(to - from);
        for (std::size_t i = from; i < to; ++i)
            data.vint(i == from ? postings[i].doc_id : postings[i].doc_id - postings[i - 1].doc_id).vint(postings[i].term_freq);
    }
    Bytes out;
    out.u32(static_cast<std::uint32_t>(postings.size())).u32(blocks).raw(skips.vec());
    return out.u32(static_cast<std::uint32_t>(data.size())).raw(data.vec()).vec();
}

std::vector<Posting> decode_all(nuvrel_core::BlockPostingList list) {
    std::vector<Posting> out;
    nuvrel_core::BlockPostingIterator it(std::move(list));
    for (std::size_t b = 0; b < it.list.skip_list.size(); ++b) {
        it.load_block(b);
        for (auto [d, f] : it.block) out.push_back({d, f});
    }
    return out;
}

std::vector<std::uint8_t> encode_term_info(const TermInfo& info) {
    Bytes out;
    if (const auto* in = info.as_inline()) {
        out.u8(0xFF).u8(in->doc_freq).u8(in->data_len);
        out.raw(std::vector<std::uint8_t>(in->data.begin(), in->data.begin() + in->data_len));
    } else {
        const auto* ex = info.as_external();
        out.u8(0x00).vint(ex->doc_freq).vint(ex->posting_offset).vint(ex->posting_len);
    }
    return out.vec();
}

std::vector<std::uint8_t> encode_bloom(const std::vector<std::string>& keys, std::uint32_t num_bits,
                                       std::uint32_t num_hashes) {
    std::uint32_t num_words = (num_bits + 63) / 64;
    std::vector<std::uint64_t> words(num_words);
    for (const auto& key : keys) {
        std::uint64_t h1 = 0xcbf29ce484222325ull, h2 = 0x84222325cbf29ce4ull;
        for (unsigned char c : key) h1 = (h1 ^ c) * 0x100000001b3ull;
        for (unsigned char c : key) h2 = (h2 * 0x100000001b3ull) ^ c;
        for (std::uint64_t i = 0; i < num_hashes; ++i) {
            std::uint64_t pos = (h1 + i * h2) % num_bits;
            words[pos / 64] |= 1ull << (pos % 64);
        }
    }
    Bytes out;
    out.u32(num_bits).u32(num_hashes).u32(num_words);
    for (auto w : words) out.u64(w);
    return out.vec();
}

std::vector<std::uint8_t> TermDictBuilder::build() const {
    Bytes file;
    blocks_.clear();
    std::vector<std::uint32_t> lengths;
    std::string block;
    std::string prev;
    std::size_t in_block = 0;
    auto flush = [&] {
        if (in_block == 0) return;
        auto frame = zstd_frame(block, false, 3, options_.dictionary);
        lengths.push_back(static_cast<std::uint32_t>(frame.size()));
        file.raw(frame);
        block.clear();
        in_block = 0;
    };
    for (const auto& [key, value] : entries_) {
        if (in_block == 0) {
            blocks_.emplace_back(file.size(), key);
            prev.clear();
        }
        Bytes e;
        put_shared_key(e, prev, key);
        e.raw(value);
        block.append(e.vec().begin(), e.vec().end());
        prev = key;
        if (++in_block == options_.entries_per_block) flush();
    }
    flush();

    const std::uint64_t index_offset = file.size();
    file.u32(static_cast<std::uint32_t>(blocks_.size()));
    prev.clear();
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        put_shared_key(file, prev, blocks_[i].second);
        file.vint(blocks_[i].first).vint(lengths[i]);
        prev = blocks_[i].second;
    }
    std::vector<std::pair<std::size_t, std::uint32_t>> sparse = options_.sparse_entries;
    for (std::size_t i = 0; options_.sparse_entries.empty() && options_.sparse_every != 0 && i < blocks_.size();
         i += options_.sparse_every)
        sparse.emplace_back(i, static_cast<std::uint32_t>(i));
    file.u32(static_cast<std::uint32_t>(sparse.size()));
    for (auto [key_block, names] : sparse)
        file.u16(static_cast<std::uint16_t>(blocks_[key_block].second.size())).raw(blocks_[key_block].second).u32(names);

    std::uint64_t bloom_offset = 0, dict_offset = 0;
    if (options_.bloom) {
        bloom_offset = file.size();
        std::vector<std::string> keys;
        for (const auto& kv : entries_) keys.push_back(kv.first);
        file.raw(encode_bloom(keys, std::max<std::uint32_t>(64, static_cast<std::uint32_t>(keys.size()) * 10), 7));
    }
    if (!options_.dictionary.empty()) {
        dict_offset = file.size();
        file.u32(static_cast<std::uint32_t>(options_.dictionary.size())).raw(options_.dictionary);
    }
    file.u64(index_offset).u64(0xDEADBEEF).u64(bloom_offset).u64(dict_offset).u8(7).u32(0x53544233);
    return file.vec();
}

void StoreBuilder::add(std::string record) {
    if (force_new_ || blocks_.back().records.size() >= options_.docs_per_block) {
        blocks_.push_back({next_doc_, {}, std::nullopt});
        force_new_ = false;
    }
    blocks_.back().records.push_back(std::move(record));
    ++next_doc_;
}

void StoreBuilder::start_block(std::uint32_t first_doc_id) {
    next_doc_ = first_doc_id;
    force_new_ = true;
}

void StoreBuilder::add_raw_block(std::uint32_t first_doc_id, std::uint32_t num_docs, std::string content) {
    blocks_.push_back({first_doc_id, {}, std::pair{num_docs, std::move(content)}});
    next_doc_ = first_doc_id + num_docs;
    force_new_ = true;
}

std::vector<std::uint8_t> StoreBuilder::build() const {
    Bytes file, index;
    index.u32(static_cast<std::uint32_t>(blocks_.size()));
    for (const auto& b : blocks_) {
        auto frame = zstd_frame(b.raw ? b.raw->second : store_block(b.records), false, 3, options_.dictionary);
        index.u32(b.first_doc_id).u64(file.size()).u32(static_cast<std::uint32_t>(frame.size()));
        index.u32(b.raw ? b.raw->first : static_cast<std::uint32_t>(b.records.size()));
        file.raw(frame);
    }
    const std::uint64_t data_end = file.size();
    if (!options_.dictionary.empty()) file.u32(static_cast<std::uint32_t>(options_.dictionary.size())).raw(options_.dictionary);
    file.raw(index.vec()).u64(data_end).u64(options_.dictionary.empty() ? 0 : data_end).u32(next_doc_);
    return file.u32(options_.dictionary.empty() ? 0 : 1).u32(2).u32(0x53544F52).vec();
}

std::vector<std::uint8_t> meta_bytes(nuvrel_core::SegmentId id, std::uint32_t num_docs,
                                     const std::vector<std::pair<std::uint32_t, nuvrel_core::FieldStats>>& stats) {
    Bytes out;
    out.u64(static_cast<std::uint64_t>(id.value)).u64(static_cast<std::uint64_t>(id.value >> 64)).u32(num_docs);
    out.u32(static_cast<std::uint32_t>(stats.size()));
    for (const auto& [field, s] : stats) out.u32(field).u64(s.total_tokens).u32(s.doc_count);
    return out.vec();
}

void SegmentBuilder::add_term(std::uint32_t field, std::string_view term, std::vector<Posting> postings) {
    Bytes pairs;
    std::uint32_t prev = 0;
    for (const auto& p : postings) {
        pairs.vint(p.doc_id - prev).vint(p.term_freq);
        prev = p.doc_id;
    }
    if (postings.size() <= 255 && pairs.size() <= TermInfo::kMaxInlineLen) {
        terms_.add(term_key(field, term), TermInfo::make_inline(static_cast<std::uint8_t>(postings.size()), pairs.vec()));
    } else {
        auto list = encode_posting_list(postings);
        terms_.add(term_key(field, term), TermInfo::External{static_cast<std::uint32_t>(postings.size()), postings_.size(),
                                                             static_cast<std::uint32_t>(list.size())});
        postings_.insert(postings_.end(), list.begin(), list.end());
    }
}

std::map<std::string, std::vector<std::uint8_t>> SegmentBuilder::files(nuvrel_core::SegmentId id) const {
    auto names = nuvrel_core::SegmentFiles::from_id(id);
    return {
        {names.terms, terms_.build()},
        {names.postings, postings_},
        {names.store, store_.build()},
        {names.meta, meta_bytes(id, num_docs_.value_or(store_.num_docs()), stats_)},
    };
}

void SegmentBuilder::write(const TempDir& dir, nuvrel_core::SegmentId id) const {
    for (const auto& [name, bytes] : files(id)) dir.write(name, bytes);
}

}  // namespace nuvrel_test
