#include "structures/sstable/term_info.h"

#include <algorithm>

#include <fmt/format.h>

#include "structures/sstable/byte_cursor.h"

namespace nuvrel_core {

TermInfo TermInfo::make_inline(std::uint8_t doc_freq, ByteView data) {
    Inline v;
    v.doc_freq = doc_freq;
    v.data_len = static_cast<std::uint8_t>(std::min(data.size(), kMaxInlineLen));
    std::copy_n(data.begin(), v.data_len, v.data.begin());
    return v;
}

IoResult<TermInfo> TermInfo::decode(ByteView& cursor) {
    ByteCursor in(cursor);
    auto tag = in.u8();
    if (!tag) {
        cursor = in.rest();
        return std::unexpected(tag.error());
    }
    IoResult<TermInfo> out = std::unexpected(IoError::fill_whole_buffer());
    if (*tag == kInlineTag) {
        auto doc_freq = in.u8();
        auto data_len = in.u8();
        if (!doc_freq || !data_len) {
            out = std::unexpected(IoError::fill_whole_buffer());
        } else if (*data_len > kMaxInlineLen) {
            out = std::unexpected(
                IoError::invalid_data(fmt::format("Inline TermInfo data length {} exceeds {}", *data_len, kMaxInlineLen)));
        } else if (auto data = in.take(*data_len); !data) {
            out = std::unexpected(data.error());
        } else {
            out = make_inline(*doc_freq, *data);
        }
    } else if (*tag == kExternalTag) {
        auto doc_freq = in.vint();
        if (!doc_freq) {
            out = std::unexpected(doc_freq.error());
        } else if (auto offset = in.vint(); !offset) {
            out = std::unexpected(offset.error());
        } else if (auto len = in.vint(); !len) {
            out = std::unexpected(len.error());
        } else {
            out = External{static_cast<std::uint32_t>(*doc_freq), *offset, static_cast<std::uint32_t>(*len)};
        }
    } else {
        out = std::unexpected(IoError::invalid_data(fmt::format("Invalid TermInfo tag: {}", *tag)));
    }
    cursor = in.rest();
    return out;
}

std::optional<std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>>> TermInfo::decode_inline() const {
    const Inline* v = as_inline();
    if (v == nullptr) return std::nullopt;
    ByteView in(v->data.data(), std::min<std::size_t>(v->data_len, kMaxInlineLen));
    std::vector<std::uint32_t> docs, freqs;
    docs.reserve(v->doc_freq);
    freqs.reserve(v->doc_freq);
    std::uint32_t doc = 0;
    for (unsigned i = 0; i < v->doc_freq; ++i) {
        auto delta = read_vint(in);
        if (!delta) return std::nullopt;
        auto tf = read_vint(in);
        if (!tf) return std::nullopt;
        doc += static_cast<std::uint32_t>(*delta);
        docs.push_back(doc);
        freqs.push_back(static_cast<std::uint32_t>(*tf));
    }
    return std::pair{std::move(docs), std::move(freqs)};
}

}  // namespace nuvrel_core
