// Segment identity and metadata: the 128-bit id, the five file names derived
// from it, and the decoded ".meta" file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "directories/owned_bytes.h"
#include "directories/read_ceiling.h"
#include "dsl/schema.h"
#include "io_error.h"
#include "util/fx_hash.h"

namespace nuvrel_core {

__extension__ typedef unsigned __int128 u128;

struct SegmentId {
    u128 value = 0;

    // The id the text writes in base 16: an optional leading '+', then hex
    // digits only (no "0x", no spaces); excess leading zeros are allowed.
    static std::optional<SegmentId> from_hex(std::string_view text);
    // 32 lower-case hexadecimal digits, zero-padded.
    std::string to_hex() const;

    friend bool operator==(const SegmentId&, const SegmentId&) = default;
};

struct SegmentFiles {
    std::string terms;
    std::string postings;
    std::string store;
    std::string meta;
    std::string vectors;

    // "seg_" + the 32-digit id + ".terms", ".post", ".store", ".meta", ".vectors".
    static SegmentFiles from_id(SegmentId id);
};

struct FieldStats {
    std::uint64_t total_tokens = 0;
    std::uint32_t doc_count = 0;
    friend bool operator==(const FieldStats&, const FieldStats&) = default;
};

struct SegmentMeta {
    SegmentId id;
    std::uint32_t num_docs = 0;
    std::unordered_map<Field, FieldStats, FxHash> field_stats;

    // Decodes the whole ".meta" content; any truncation is "failed to fill
    // whole buffer".
    static IoResult<SegmentMeta> deserialize(ByteView bytes);

    // A 24-byte head, then one 16-byte entry per field with statistics.
    static constexpr std::uint64_t kStatsEntrySize = 16;
    // The most statistics entries a ".meta" is read for. A segment has one
    // per field of its schema, and real schemas have a few thousand fields
    // at most; nothing past the entries is ever read, so the read of a longer
    // file simply stops at the ceiling (16 MiB and 24 bytes).
    static constexpr std::uint64_t kMaxStatsEntries = std::uint64_t{1} << 20;
    static constexpr ReadCeiling kFileCeiling{24 + kStatsEntrySize * kMaxStatsEntries, true};
};

}  // namespace nuvrel_core
