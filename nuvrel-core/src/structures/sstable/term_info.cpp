#include "structures/sstable/term_info.h"

#include <algorithm>

#include <fmt/format.h>

#include "util/byte_reader.h"

namespace nuvrel_core {

TermInfo TermInfo::make_inline(std::uint8_t doc_freq, ByteView data) {
    Inline v;
    v.doc_freq = doc_freq;
    v.data_len = static_cast<std::uint8_t>(std::min(data.size(), kMaxInlineLen));
    std::copy_n(data.begin(), v.data_len, v.data.begin());
    return v;
}

IoResult<TermInfo> TermInfo::decode(ByteView& cursor) {
    ByteReader in(cursor);
    const std::uint8_t tag = in.u8();
    std::optional<TermInfo> value;
    if (tag == kInlineTag) {
        const std::uint8_t doc_freq = in.u8();
        const std::uint8_t data_len = in.u8();
        // The data is read before its length is judged: data cut short is
        // the fault met first, whatever the length says.
        const ByteView data = in.take(data_len);
        if (in.ok() && data_len > kMaxInlineLen)
            in.fail(IoError::invalid_data(
                fmt::format("Inline TermInfo data length {} exceeds {}", data_len, kMaxInlineLen)));
        if (in.ok()) value = make_inline(doc_freq, data);
    } else if (tag == kExternalTag) {  // also a missing tag byte: the reader has failed then
        const std::uint64_t doc_freq = in.vint();
        const std::uint64_t offset = in.vint();
        const std::uint64_t len = in.vint();
        if (in.ok()) value = External{static_cast<std::uint32_t>(doc_freq), offset, static_cast<std::uint32_t>(len)};
    } else {
        in.fail(IoError::invalid_data(fmt::format("Invalid TermInfo tag: {}", tag)));
    }
    cursor = in.rest();
    if (!value) return std::unexpected(in.status().error());
    return *value;
}

std::optional<std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>>> TermInfo::decode_inline() const {
    const Inline* v = as_inline();
    if (v == nullptr) return std::nullopt;
    ByteReader in(ByteView(v->data.data(), std::min<std::size_t>(v->data_len, kMaxInlineLen)));
    // Each posting takes at least two bytes: a count past them cannot decode,
    // and must not size the vectors.
    const std::size_t fits = std::min<std::size_t>(v->doc_freq, in.remaining() / 2);
    std::vector<std::uint32_t> docs, freqs;
    docs.reserve(fits);
    freqs.reserve(fits);
    std::uint32_t doc = 0;
    for (unsigned i = 0; i < v->doc_freq; ++i) {
        const std::uint64_t delta = in.vint();
        const std::uint64_t tf = in.vint();
        if (in.failed()) return std::nullopt;
        doc += static_cast<std::uint32_t>(delta);
        docs.push_back(doc);
        freqs.push_back(static_cast<std::uint32_t>(tf));
    }
    return std::pair{std::move(docs), std::move(freqs)};
}

}  // namespace nuvrel_core
