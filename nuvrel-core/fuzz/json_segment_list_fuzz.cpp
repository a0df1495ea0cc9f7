// segments.json and the segment ids it lists: an id that parses must come
// back the same from its own 32-digit text.

#include "dsl/segment_list.h"
#include "fuzz_support.h"
#include "segment/types.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto ids = nuvrel_core::parse_segment_list({data, size});
    if (!ids) return 0;
    for (const std::string& text : *ids) {
        auto id = nuvrel_core::SegmentId::from_hex(text);
        if (!id) continue;
        auto again = nuvrel_core::SegmentId::from_hex(id->to_hex());
        if (!again || !(*again == *id)) nuvrel_fuzz::fail("a segment id does not survive its own text");
    }
    return 0;
}
