// Throughput of the tokenizers, with the heap allocations made per token (the token texts and the growth of the
// token array; nothing per character).
#include <benchmark/benchmark.h>

#include <string>

#include "count_allocations.h"
#include "tokenizer/tokenizer_registry.h"

namespace {

std::string make_text(bool unicode) {
    const char* const words_ascii[] = {"The", "quick,", "brown", "foxes", "jumped", "over", "lazy", "dogs.",
                                       "Running", "connections", "don't", "--", "2024", "Searching", "indexes"};
    const char* const words_unicode[] = {"\u039F\u0394\u039F\u03A3", "H\u00E4user", "caf\u00E9", "e\u0301t\u00E9",
                                         "\u041A\u043E\u0448\u043A\u0430\u043C\u0438", "\u0130stanbul",
                                         "\u65E5\u672C\u8A9E", "na\u00EFve", "stra\u00DFe", "\u00BD"};
    std::string text;
    std::size_t i = 0;
    while (text.size() < 4 * 1024) {
        text += unicode ? words_unicode[i % std::size(words_unicode)] : words_ascii[i % std::size(words_ascii)];
        text += (i % 7 == 6) ? "\n" : " ";
        ++i;
    }
    return text;
}

void run(benchmark::State& state, const char* name, bool unicode) {
    const nuvrel_core::TokenizerRegistry registry;
    const auto tokenizer = registry.get(name);
    const std::string text = make_text(unicode);
    std::size_t tokens = 0;
    const std::size_t before = g_allocations.load();
    for (auto _ : state) {
        auto result = tokenizer->tokenize(text);
        tokens += result.size();
        benchmark::DoNotOptimize(result);
    }
    const std::size_t allocations = g_allocations.load() - before;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["allocs_per_token"] = tokens ? static_cast<double>(allocations) / static_cast<double>(tokens) : 0;
}

// Index::open builds one registry: ten stop-word sets and 50 boxed tokenizers.
void build_registry(benchmark::State& state) {
    for (auto _ : state) {
        nuvrel_core::TokenizerRegistry registry;
        benchmark::DoNotOptimize(registry);
    }
}

}  // namespace

BENCHMARK_CAPTURE(run, simple_ascii, "simple", false);
BENCHMARK_CAPTURE(run, default_ascii, "default", false);
BENCHMARK_CAPTURE(run, default_unicode, "default", true);
BENCHMARK_CAPTURE(run, english_ascii, "english", false);
BENCHMARK_CAPTURE(run, en_stop_ascii, "en_stop", false);
BENCHMARK_CAPTURE(run, en_stem_stop_ascii, "en_stem_stop", false);
BENCHMARK_CAPTURE(run, russian_unicode, "russian", true);

BENCHMARK(build_registry);

BENCHMARK_MAIN();
