// The value of a term-dictionary entry: a short posting list kept inline, or
// the position of the list in the segment's ".post" file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "directories/owned_bytes.h"
#include "io_error.h"

namespace nuvrel_core {

class TermInfo {
public:
    static constexpr std::uint8_t kExternalTag = 0x00;
    static constexpr std::uint8_t kInlineTag = 0xFF;
    static constexpr std::size_t kMaxInlineLen = 16;

    struct Inline {
        std::uint8_t doc_freq = 0;
        std::uint8_t data_len = 0;
        std::array<std::uint8_t, kMaxInlineLen> data{};  // stored bytes, then zeros
        friend bool operator==(const Inline&, const Inline&) = default;
    };
    struct External {
        std::uint32_t doc_freq = 0;
        std::uint64_t posting_offset = 0;
        std::uint32_t posting_len = 0;
        friend bool operator==(const External&, const External&) = default;
    };

    TermInfo(Inline v) : v_(v) {}      // NOLINT: a variant's alternative
    TermInfo(External v) : v_(v) {}    // NOLINT
    // An inline value over the given bytes (at most 16).
    static TermInfo make_inline(std::uint8_t doc_freq, ByteView data);

    bool is_inline() const noexcept { return std::holds_alternative<Inline>(v_); }
    const Inline* as_inline() const noexcept { return std::get_if<Inline>(&v_); }
    const External* as_external() const noexcept { return std::get_if<External>(&v_); }

    // Decodes a tag byte and its payload from the front of the cursor.
    static IoResult<TermInfo> decode(ByteView& cursor);

    // For an inline value: the documents (delta-decoded, wrapping) and the
    // frequencies; absent for an external value or data that runs short.
    std::optional<std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>>> decode_inline() const;

    friend bool operator==(const TermInfo&, const TermInfo&) = default;

private:
    std::variant<Inline, External> v_;
};

}  // namespace nuvrel_core
