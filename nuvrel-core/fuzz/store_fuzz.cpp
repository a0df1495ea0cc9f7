// The document store (".store"): open, then fetch documents from both ends
// and the middle of its range and one past it. A small block cache makes the
// fetches evict.
#include <vector>

#include "fuzz_support.h"
#include "segment/store.h"

using nuvrel_core::AsyncStoreReader;
using nuvrel_core::Task;

namespace {

constexpr std::size_t kCacheBlocks = 2;
constexpr std::uint32_t kFirstDocs = 24;

Task<int> exercise(nuvrel_core::OwnedBytes file) {
    auto opened = co_await AsyncStoreReader::open(nuvrel_core::LazyFileHandle::from_bytes(std::move(file)),
                                                  kCacheBlocks);
    if (!opened) co_return 0;
    const AsyncStoreReader& store = **opened;
    const std::uint32_t n = store.num_docs();
    std::vector<std::uint32_t> docs;
    for (std::uint32_t d = 0; d < n && d < kFirstDocs; ++d) docs.push_back(d);
    if (n > 0) docs.insert(docs.end(), {n / 2, n - 1, 0});
    docs.push_back(n);
    for (std::uint32_t d : docs) (void)co_await store.get(d);
    if (n > 0) (void)co_await store.get_record(n - 1);
    co_return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return nuvrel_fuzz::run(exercise(nuvrel_fuzz::owned({data, size})));
}
