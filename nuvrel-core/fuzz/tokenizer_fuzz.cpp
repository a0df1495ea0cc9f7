// Every built-in tokenizer on arbitrary bytes: the first byte picks the
// tokenizer, the rest is the text. Each token must lie inside the text, in
// order.
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "tokenizer/tokenizer_registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const nuvrel_core::TokenizerRegistry registry;
    static const std::vector<std::string_view> names = nuvrel_core::TokenizerRegistry::builtin_names();
    if (size == 0) return 0;
    const std::unique_ptr<nuvrel_core::TokenizerClone> tokenizer = registry.get(names[data[0] % names.size()]);
    if (!tokenizer) nuvrel_fuzz::fail("a built-in tokenizer is not registered");
    const std::string_view text = nuvrel_fuzz::as_text({data + 1, size - 1});
    std::size_t last_start = 0;
    for (const nuvrel_core::Token& token : tokenizer->tokenize(text)) {
        if (token.start > token.end || token.end > text.size() || token.start < last_start)
            nuvrel_fuzz::fail("a token lies outside the text or before the one preceding it");
        last_start = token.start;
    }
    return 0;
}
