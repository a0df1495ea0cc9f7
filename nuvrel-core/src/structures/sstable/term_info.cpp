#include "structures/sstable/term_info.h"

#include <algorithm>

#include <fmt/format.h>

#include "util/byte_cursor.h"

namespace nuvrel_core {

TermInfo TermInfo::make_inline(std::uint8_t doc_freq, ByteView data) {
    Inline v;
    v.doc_freq = doc_freq;
    v.data_len = static_cast<std::uint8_t>(std::min(data.size(), kMaxInlineLen));
    std::copy_n(data.begin(), v.data_len, v.data.begin());
    return v;
}

namespace {

// The payloads after the tag; errors are built only on failure (the walk of
// a block decodes every entry it passes).
IoResult<TermInfo> decode_inline_payload(ByteCursor& in) {
    auto doc_freq = in.u8();
    if (!doc_freq) return std::unexpected(doc_freq.error());
    auto data_len = in.u8();
    if (!data_len) return std::unexpected(data_len.error());
    if (*data_len > TermInfo::kMaxInlineLen)
        return std::unexpected(IoError::invalid_data(
            fmt::format("Inline TermInfo data length {} exceeds {}", *data_len, TermInfo::kMaxInlineLen)));
    auto data = in.take(*data_len);
    if (!data) return std::unexpected(data.error());
    return TermInfo::make_inline(*doc_freq, *data);
}

IoResult<TermInfo> decode_external_payload(ByteCursor& in) {
    auto doc_freq = in.vint();
    if (!doc_freq) return std::unexpected(doc_freq.error());
    auto offset = in.vint();
    if (!offset) return std::unexpected(offset.error());
    auto len = in.vint();
    if (!len) return std::unexpected(len.error());
    return TermInfo::External{static_cast<std::uint32_t>(*doc_freq), *offset, static_cast<std::uint32_t>(*len)};
}

}  // namespace

IoResult<TermInfo> TermInfo::decode(ByteView& cursor) {
    ByteCursor in(cursor);
    auto tag = in.u8();
    IoResult<TermInfo> out = !tag                     ? IoResult<TermInfo>(std::unexpected(tag.error()))
                             : *tag == kInlineTag     ? decode_inline_payload(in)
                             : *tag == kExternalTag   ? decode_external_payload(in)
                                                      : IoResult<TermInfo>(std::unexpected(IoError::invalid_data(
                                                            fmt::format("Invalid TermInfo tag: {}", *tag))));
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
