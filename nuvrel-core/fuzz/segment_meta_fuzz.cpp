// A segment's ".meta" file.
#include "fuzz_support.h"
#include "segment/types.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)nuvrel_core::SegmentMeta::deserialize({data, size});
    return 0;
}
