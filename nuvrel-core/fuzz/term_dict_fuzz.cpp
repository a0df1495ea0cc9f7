// The term dictionary (".terms"): open, then look up keys it names itself and
// a few it cannot hold, then walk its first blocks. A small block cache makes
// the walk evict.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "structures/sstable/sstable.h"

using nuvrel_core::AsyncSSTableReader;
using nuvrel_core::IoResult;
using nuvrel_core::Task;

namespace {

constexpr std::size_t kCacheBlocks = 4;
constexpr std::size_t kMaxLookups = 8;
constexpr std::size_t kMaxWalkedBlocks = 8;

std::string as_string(nuvrel_core::ByteView key) { return {reinterpret_cast<const char*>(key.data()), key.size()}; }

Task<int> exercise(nuvrel_core::OwnedBytes file) {
    auto opened = co_await AsyncSSTableReader::open(nuvrel_core::LazyFileHandle::from_bytes(std::move(file)),
                                                    kCacheBlocks);
    if (!opened) co_return 0;
    const AsyncSSTableReader& reader = **opened;

    std::vector<std::string> keys = {std::string(), std::string("\0\0\0\0", 4), std::string(8, '\xff')};
    for (std::size_t i = 0; i < reader.block_index().size() && i < kMaxLookups; ++i)
        keys.push_back(as_string(reader.block_index().first_keys[i]));
    for (std::size_t i = 0; i < reader.sparse_index().size() && i < kMaxLookups; ++i)
        keys.push_back(as_string(reader.sparse_index().first_keys[i]) + "a");
    for (const std::string& key : keys) {
        (void)co_await reader.get(key);
        (void)reader.find_block_range({reinterpret_cast<const std::uint8_t*>(key.data()), key.size()});
    }

    const std::size_t blocks = std::min(reader.block_index().size(), kMaxWalkedBlocks);
    for (std::size_t n = 0; n < blocks; ++n) {
        IoResult<nuvrel_core::OwnedBytes> block = co_await reader.load_block(n);
        if (!block) continue;
        const std::string key = as_string(reader.block_index().first_keys[n]);
        (void)AsyncSSTableReader::search_block(*block, {reinterpret_cast<const std::uint8_t*>(key.data()), key.size()});
    }
    co_return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return nuvrel_fuzz::run(exercise(nuvrel_fuzz::owned({data, size})));
}
