// BM25 arithmetic of the term scorer. Every step is a separate 32-bit float
// operation in a fixed order (the library is built with -ffp-contract=off, so
// nothing is fused): scores must come out identical bit for bit across builds.
#pragma once

#include <cmath>
#include <cstdint>

namespace nuvrel_core {

inline constexpr float BM25_K1 = 1.2f;
inline constexpr float BM25_B = 0.75f;

// ln(1 + (N - df + 0.5) / (df + 0.5)) in single precision, through the C
// library's logf; not clamped, so df > N gives a negative idf.
float bm25_idf(std::uint32_t num_docs, std::uint32_t doc_freq);

// total_tokens / doc_count as one float division; 0.0 when doc_count is 0.
float average_field_length(std::uint64_t total_tokens, std::uint32_t doc_count);

// The statistics a term scorer fixes when it is made.
struct Bm25Weight {
    float k1 = BM25_K1;
    float b = BM25_B;
    float idf = 0.0f;
    float avg_field_length = 0.0f;
    float weight = 1.0f;

    // The score of a document holding the term `tf` times. The term frequency
    // stands in for the field length: norm = (1 - b) + b * tf / max(avg, 1).
    float score(float tf) const noexcept {
        const float a = std::fmax(avg_field_length, 1.0f);  // a NaN average gives 1.0
        float r = tf / a;
        r = b * r;
        const float s = 1.0f - b;
        const float norm = s + r;
        const float w = tf * weight;
        float n = k1 + 1.0f;
        n = n * w;
        const float m = k1 * norm;
        const float t = w + m;
        const float q = n / t;
        return idf * q;
    }
};

}  // namespace nuvrel_core
