// The JSON descriptions of vector indexes kept in ".vectors": the first byte
// picks the kind (flat RaBitQ, IVF-RaBitQ, IVF-PQ), the rest is the text.
#include "fuzz_support.h"
#include "structures/vector/vector_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const nuvrel_core::ByteView json{data + 1, size - 1};
    switch (data[0] % 3) {
        case 0: (void)nuvrel_core::parse_rabitq_index(json); break;
        case 1: (void)nuvrel_core::parse_ivf_rabitq_index(json); break;
        default: (void)nuvrel_core::IVFPQIndex::from_bytes(json); break;
    }
    return 0;
}
