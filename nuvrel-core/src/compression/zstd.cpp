#include "compression/zstd.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include <fmt/format.h>

namespace nuvrel_core {

namespace {

struct DCtxFree {
    void operator()(ZSTD_DCtx* c) const noexcept { ZSTD_freeDCtx(c); }
};
using DCtx = std::unique_ptr<ZSTD_DCtx, DCtxFree>;

// One decompression context per thread, reset before each use: creating a
// context costs far more than decoding a small block.
ZSTD_DCtx* thread_dctx() {
    thread_local DCtx ctx(ZSTD_createDCtx());
    if (ctx) ZSTD_DCtx_reset(ctx.get(), ZSTD_reset_session_and_parameters);
    return ctx.get();
}

IoError zstd_error(std::size_t code) { return IoError::other(ZSTD_getErrorName(code)); }

// Each thread decodes into one reused buffer and copies out exactly the bytes
// decoded, so a cached block holds its own size and nothing is zero-filled
// only to be overwritten. The buffer doubles as a block needs; one grown past
// kKeptScratch (by a rare huge block) is freed after its call, so what a
// thread keeps between calls stays small.
constexpr std::size_t kKeptScratch = std::size_t{1} << 20;

struct Scratch {
    std::unique_ptr<std::uint8_t[]> buf;
    std::size_t cap = 0;

    // Room for at least one more byte after `used`, up to one byte past the
    // block cap (the byte that tells an oversized block). False when the
    // allocation fails.
    bool grow(std::size_t used, std::size_t limit) {
        const std::size_t want = std::min(std::max(cap * 2, ZSTD_DStreamOutSize()), limit + 1);
        std::unique_ptr<std::uint8_t[]> bigger(new (std::nothrow) std::uint8_t[want]);
        if (!bigger) return false;
        if (used != 0) std::memcpy(bigger.get(), buf.get(), used);
        buf = std::move(bigger);
        cap = want;
        return true;
    }
    void trim() {
        if (cap > kKeptScratch) buf.reset(), cap = 0;
    }
};

thread_local Scratch scratch;

// Streams the input through the context, frame after frame, into the
// thread's scratch buffer; the view is valid until the thread's next call. A
// frame cut short (or no frame at all) is "incomplete frame", reported with
// the kind that the caller's reading path gives it.
IoResult<ByteView> run(ZSTD_DCtx* dctx, ByteView in, bool cut_is_eof, std::size_t limit) {
    Scratch& s = scratch;
    ZSTD_inBuffer input{in.data(), in.size(), 0};
    std::size_t used = 0;
    std::size_t last = 1;  // 0 once the current frame is fully decoded and flushed
    for (;;) {
        if (used == s.cap && !s.grow(used, limit)) return std::unexpected(out_of_memory());
        ZSTD_outBuffer output{s.buf.get(), std::min(s.cap, limit + 1), used};
        const std::size_t ret = ZSTD_decompressStream(dctx, &output, &input);
        used = output.pos;
        if (ZSTD_isError(ret)) return std::unexpected(zstd_error(ret));
        if (used > limit)
            return std::unexpected(IoError::invalid_data(fmt::format("decompressed block exceeds {} bytes", limit)));
        last = ret;
        // Done when all input is in and the decoder had no more to flush.
        if (input.pos == input.size && (ret == 0 || output.pos < output.size)) break;
    }
    if (last != 0) {
        return std::unexpected(cut_is_eof ? IoError::unexpected_eof("incomplete frame")
                                          : IoError::other("incomplete frame"));
    }
    return ByteView(s.buf.get(), used);
}

// Decodes with or without a dictionary; `finish` copies the decoded bytes
// out of the scratch buffer before it can be trimmed or reused.
template <class Finish>
auto decode(ByteView compressed, const ByteView* dictionary, Finish finish, const ZSTD_DDict* digested = nullptr,
            std::size_t limit = kMaxDecompressedBlock)
    -> decltype(finish(ByteView{})) {
    ZSTD_DCtx* dctx = thread_dctx();
    if (dctx == nullptr) return std::unexpected(out_of_memory());
    if (digested != nullptr && !ZSTD_isError(ZSTD_DCtx_refDDict(dctx, digested))) {
        // Referenced, not loaded: the same tables the load below would build.
    } else if (dictionary != nullptr) {
        const std::size_t r = ZSTD_DCtx_loadDictionary(dctx, dictionary->data(), dictionary->size());
        if (ZSTD_isError(r)) {
            // The library reports a dictionary whose tables do not decode as a
            // failed allocation of the digested dictionary; name it for what it is.
            if (ZSTD_getErrorCode(r) == ZSTD_error_memory_allocation)
                return std::unexpected(IoError::other(ZSTD_getErrorString(ZSTD_error_dictionary_corrupted)));
            return std::unexpected(zstd_error(r));
        }
    }
    auto plain = run(dctx, compressed, dictionary != nullptr, limit);
    // The dictionary must not leak into the next user of this context.
    if (dictionary != nullptr) ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters);
    decltype(finish(ByteView{})) out = plain ? finish(*plain) : std::unexpected(plain.error());
    scratch.trim();
    return out;
}

IoResult<std::vector<std::uint8_t>> to_vector(ByteView plain) try {
    return std::vector<std::uint8_t>(plain.begin(), plain.end());
} catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
}

IoResult<OwnedBytes> to_owned(ByteView plain) try {
    return OwnedBytes::copy_of(plain);
} catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
}

}  // namespace

IoError out_of_memory() { return IoError::other(ZSTD_getErrorString(ZSTD_error_memory_allocation)); }

IoResult<std::vector<std::uint8_t>> decompress(ByteView compressed) {
    return decode(compressed, nullptr, to_vector);
}

IoResult<std::vector<std::uint8_t>> decompress_with_dict(ByteView compressed, ByteView dictionary) {
    return decode(compressed, &dictionary, to_vector);
}

IoResult<OwnedBytes> decompress_block(ByteView compressed, const std::optional<std::vector<std::uint8_t>>& dictionary,
                                      const DigestedDictionary* digested, std::size_t limit) {
    limit = std::min(limit, kMaxDecompressedBlock);
    if (!dictionary) return decode(compressed, nullptr, to_owned, nullptr, limit);
    const ByteView dict(*dictionary);
    return decode(compressed, &dict, to_owned, digested != nullptr ? digested->get(dict) : nullptr, limit);
}

DigestedDictionary::~DigestedDictionary() { ZSTD_freeDDict(ddict_); }

const ZSTD_DDict* DigestedDictionary::get(ByteView bytes) const {
    // An empty dictionary loads as none at all; it is left to that path.
    std::call_once(once_, [&] {
        if (!bytes.empty()) ddict_ = ZSTD_createDDict(bytes.data(), bytes.size());
    });
    return ddict_;
}

}  // namespace nuvrel_core
