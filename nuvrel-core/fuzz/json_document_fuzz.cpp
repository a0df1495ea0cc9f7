// A stored document record, as the document store hands it to the parser.
#include "fuzz_support.h"
#include "segment/store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)nuvrel_core::deserialize_document({data, size});
    return 0;
}
