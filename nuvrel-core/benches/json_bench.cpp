// Throughput of stored-document parsing over a realistic mix of records:
// text fields from a few hundred bytes to 100 KB (mostly ASCII, some escapes
// and non-ASCII), integers, floats, byte arrays, dense and sparse vectors and
// free-form JSON payloads.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "dsl/document.h"
#include "dsl/schema.h"

using namespace nuvrel_core;

namespace {

std::string prose(std::mt19937& rng, std::size_t len) {
    static const char* kWords[] = {"search", "index",  "segment", "posting", "the",  "of",     "and",
                                   "quick",  "brown",  "fox",     "caf\xc3\xa9", "na\xc3\xafve", "data",
                                   "query",  "vector", "score",   "token",   "field", "stored", "engine"};
    std::string s;
    while (s.size() < len) {
        s += kWords[rng() % std::size(kWords)];
        unsigned r = rng() % 100;
        if (r == 0) s += "\\n";
        else if (r == 1) s += "\\\"quoted\\\"";
        else if (r == 2) s += "\\u00e9";
        else s += ' ';
    }
    return s;
}

std::string make_document(std::mt19937& rng) {
    std::string d = "{\"field_values\": [";
    std::size_t text_len = 300 + rng() % 3000;
    if (rng() % 10 == 0) text_len = 20000 + rng() % 80000;
    d += fmt::format("[0, {{\"text\": \"{}\"}}], ", prose(rng, 40 + rng() % 80));
    d += fmt::format("[1, {{\"text\": \"{}\"}}], ", prose(rng, text_len));
    d += fmt::format("[2, {{\"u64\": {}}}], [3, {{\"i64\": -{}}}], ", rng(), rng() % 100000);
    d += fmt::format("[4, {{\"f64\": {}}}], ", std::uniform_real_distribution<double>(-1e6, 1e6)(rng));
    if (rng() % 2) {
        d += "[5, {\"bytes\": [";
        for (int i = 0; i < 32; ++i) d += fmt::format("{}{}", i ? "," : "", rng() % 256);
        d += "]}], ";
    }
    if (rng() % 2) {
        d += "[6, {\"dense_vector\": [";
        std::normal_distribution<float> nd;
        for (int i = 0; i < 128; ++i) d += fmt::format("{}{}", i ? ", " : "", nd(rng));
        d += "]}], ";
        d += "[7, {\"sparse_vector\": {\"indices\": [3, 17, 256, 1024], \"values\": [0.5, 0.25, 1.5, 0.125]}}], ";
    }
    d += fmt::format(
        "[8, {{\"json\": {{\"author\": \"{}\", \"tags\": [\"a\", \"b\", \"c\"], \"rating\": {}, "
        "\"meta\": {{\"year\": {}, \"draft\": false, \"ref\": null}}}}}}]",
        prose(rng, 16), (rng() % 50) / 10.0, 1990 + rng() % 35);
    d += "]}";
    return d;
}

struct Corpus {
    std::vector<std::string> docs;
    std::size_t bytes = 0;
    Corpus() {
        std::mt19937 rng(2024);
        for (int i = 0; i < 400; ++i) {
            docs.push_back(make_document(rng));
            bytes += docs.back().size();
        }
    }
};

const Corpus& corpus() {
    static const Corpus c;
    return c;
}

void BM_ParseDocuments(benchmark::State& state) {
    const Corpus& c = corpus();
    for (const auto& d : c.docs) {
        auto r = parse_document({reinterpret_cast<const std::uint8_t*>(d.data()), d.size()});
        if (!r) state.SkipWithError(r.error().to_string().c_str());
    }
    for (auto _ : state) {
        for (const auto& d : c.docs) {
            auto r = parse_document({reinterpret_cast<const std::uint8_t*>(d.data()), d.size()});
            benchmark::DoNotOptimize(r);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
}
BENCHMARK(BM_ParseDocuments);

void BM_ParseSchema(benchmark::State& state) {
    std::string s = "{\"fields\": [";
    for (int i = 0; i < 50; ++i)
        s += fmt::format("{}{{\"name\": \"f{}\", \"field_type\": \"text\", \"indexed\": true, \"stored\": true, "
                         "\"tokenizer\": \"default\", \"dense_vector_config\": {{\"dim\": 128, \"nprobe\": 16}}}}",
                         i ? ", " : "", i);
    s += "], \"name_to_field\": {";
    for (int i = 0; i < 50; ++i) s += fmt::format("{}\"f{}\": {}", i ? ", " : "", i, i);
    s += "}}";
    for (auto _ : state) {
        auto r = Schema::from_slice({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_ParseSchema);

}  // namespace

BENCHMARK_MAIN();
