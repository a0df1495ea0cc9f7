#include "compression/zstd.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <memory>

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

// A few bytes of zstd can stand for gigabytes of output. Blocks of the term
// dictionary and the document store are far smaller than this, so a block
// that decodes past it comes from a damaged or hostile file and fails instead
// of exhausting memory.
constexpr std::size_t kMaxDecompressedBlock = std::size_t{256} << 20;

// Streams the input through the context, frame after frame. A frame cut
// short (or no frame at all) is "incomplete frame", reported with the kind
// that the caller's reading path gives it.
IoResult<std::vector<std::uint8_t>> run(ZSTD_DCtx* dctx, ByteView in, bool cut_is_eof) {
    std::vector<std::uint8_t> out;
    ZSTD_inBuffer input{in.data(), in.size(), 0};
    const std::size_t chunk = ZSTD_DStreamOutSize();
    std::size_t last = 1;  // 0 once the current frame is fully decoded and flushed
    for (;;) {
        std::size_t used = out.size();
        out.resize(used + chunk);
        ZSTD_outBuffer output{out.data() + used, chunk, 0};
        std::size_t ret = ZSTD_decompressStream(dctx, &output, &input);
        out.resize(used + output.pos);
        if (ZSTD_isError(ret)) return std::unexpected(zstd_error(ret));
        if (out.size() > kMaxDecompressedBlock)
            return std::unexpected(IoError::invalid_data(
                fmt::format("decompressed block exceeds {} bytes", kMaxDecompressedBlock)));
        last = ret;
        // Done when all input is in and the decoder had no more to flush.
        if (input.pos == input.size && (ret == 0 || output.pos < chunk)) break;
    }
    if (last != 0) {
        return std::unexpected(cut_is_eof ? IoError::unexpected_eof("incomplete frame")
                                          : IoError::other("incomplete frame"));
    }
    return out;
}

}  // namespace

IoResult<std::vector<std::uint8_t>> decompress(ByteView compressed) {
    ZSTD_DCtx* dctx = thread_dctx();
    if (dctx == nullptr) return std::unexpected(IoError::other("Allocation error : not enough memory"));
    return run(dctx, compressed, false);
}

IoResult<std::vector<std::uint8_t>> decompress_with_dict(ByteView compressed, ByteView dictionary) {
    ZSTD_DCtx* dctx = thread_dctx();
    if (dctx == nullptr) return std::unexpected(IoError::other("Allocation error : not enough memory"));
    std::size_t r = ZSTD_DCtx_loadDictionary(dctx, dictionary.data(), dictionary.size());
    if (ZSTD_isError(r)) {
        // The library reports a dictionary whose tables do not decode as a
        // failed allocation of the digested dictionary; name it for what it is.
        if (ZSTD_getErrorCode(r) == ZSTD_error_memory_allocation)
            return std::unexpected(IoError::other(ZSTD_getErrorString(ZSTD_error_dictionary_corrupted)));
        return std::unexpected(zstd_error(r));
    }
    auto out = run(dctx, compressed, true);
    // The dictionary must not leak into the next user of this context.
    ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters);
    return out;
}

IoResult<OwnedBytes> decompress_block(ByteView compressed, const std::optional<std::vector<std::uint8_t>>& dictionary) {
    auto plain = dictionary ? decompress_with_dict(compressed, *dictionary) : decompress(compressed);
    if (!plain) return std::unexpected(plain.error());
    return OwnedBytes::from_vec(std::move(*plain));
}

}  // namespace nuvrel_core
