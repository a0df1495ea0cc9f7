// The walk of one decompressed dictionary block for a key.
#include <algorithm>
#include <string>

#include "structures/sstable/sstable.h"
#include "util/byte_reader.h"
#include "util/fast_vint.h"
#include "util/try.h"

namespace nuvrel_core {

namespace {

ByteView view_of(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

// The walk with full error reporting: every read says why it failed.
IoResult<std::optional<TermInfo>> search_block_checked(ByteView block, ByteView key) {
    ByteReader in(block);
    std::string current;
    while (!in.empty()) {
        const std::uint64_t shared = in.vint();
        const ByteView suffix = in.take(in.vint());
        NUVREL_TRY_VOID(in.status());
        current.resize(static_cast<std::size_t>(std::min<std::uint64_t>(shared, current.size())));
        current.append(reinterpret_cast<const char*>(suffix.data()), suffix.size());
        ByteView rest = in.rest();
        NUVREL_TRY(TermInfo info, TermInfo::decode(rest));
        in = ByteReader(rest);
        const int c = compare_keys(view_of(current), key);
        if (c == 0) return std::optional<TermInfo>(info);
        if (c > 0) return std::optional<TermInfo>();
    }
    return std::optional<TermInfo>();
}

// Steps over one value, checking it as TermInfo::decode would; false on any
// fault (the checked walk then names it).
inline bool skip_term_info(const std::uint8_t*& p, const std::uint8_t* end) noexcept {
    if (p >= end) return false;
    const std::uint8_t tag = *p++;
    if (tag == TermInfo::kExternalTag) {
        std::uint64_t v;
        return fast_vint(p, end, v) && fast_vint(p, end, v) && fast_vint(p, end, v);
    }
    if (tag != TermInfo::kInlineTag || end - p < 2) return false;
    const std::size_t len = p[1];
    if (len > TermInfo::kMaxInlineLen || static_cast<std::size_t>(end - p) - 2 < len) return false;
    p += 2 + len;
    return true;
}

}  // namespace

IoResult<std::optional<TermInfo>> AsyncSSTableReader::search_block(ByteView block, ByteView key) {
    // A sound block is walked with plain pointer reads and the one value
    // wanted decoded at the end; anything odd reruns the checked walk, which
    // reports the first fault exactly as it lies in the block.
    const std::uint8_t* p = block.data();
    const std::uint8_t* const end = p + block.size();
    thread_local std::string current;
    current.clear();
    // The keys of a run share prefixes with each other, and so with the
    // target: carry the length that the current key has in common with the
    // target, and compare each new key only from where it can differ.
    std::size_t match = 0;
    while (p < end) {
        std::uint64_t shared, suffix_len;
        if (!fast_vint(p, end, shared) || !fast_vint(p, end, suffix_len) ||
            suffix_len > static_cast<std::uint64_t>(end - p))
            return search_block_checked(block, key);
        const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(shared, current.size()));
        current.resize(keep);
        current.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(suffix_len));
        p += suffix_len;
        const std::uint8_t* value = p;
        if (!skip_term_info(p, end)) return search_block_checked(block, key);
        std::size_t i = std::min(keep, match);
        const std::size_t n = std::min(current.size(), key.size());
        while (i < n && static_cast<std::uint8_t>(current[i]) == key[i]) ++i;
        match = i;
        int c;
        if (i < n) c = static_cast<std::uint8_t>(current[i]) < key[i] ? -1 : 1;
        else c = current.size() == key.size() ? 0 : (current.size() < key.size() ? -1 : 1);
        if (c < 0) continue;
        if (c > 0) return std::optional<TermInfo>();
        ByteView rest(value, static_cast<std::size_t>(end - value));
        NUVREL_TRY(TermInfo info, TermInfo::decode(rest));
        return std::optional<TermInfo>(info);
    }
    return std::optional<TermInfo>();
}

}  // namespace nuvrel_core
