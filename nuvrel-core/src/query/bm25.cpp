#include "query/bm25.h"

#include <math.h>

namespace nuvrel_core {

namespace {
// Called through a pointer the compiler cannot see through, so the logarithm
// is always the C library's and never a compile-time evaluation, whose last
// bit may differ.
float (*volatile libc_logf)(float) = ::logf;
}  // namespace

float bm25_idf(std::uint32_t num_docs, std::uint32_t doc_freq) {
    const float n = static_cast<float>(num_docs);
    const float df = static_cast<float>(doc_freq);
    float d = n - df;
    d = d + 0.5f;
    const float e = df + 0.5f;
    float q = d / e;
    q = q + 1.0f;
    return libc_logf(q);
}

float average_field_length(std::uint64_t total_tokens, std::uint32_t doc_count) {
    if (doc_count == 0) return 0.0f;
    return static_cast<float>(total_tokens) / static_cast<float>(doc_count);
}

}  // namespace nuvrel_core
