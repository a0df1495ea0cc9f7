// Lets libFuzzer drive code that g++ instruments. g++ offers only
// -fsanitize-coverage=trace-pc (one call per basic block) and trace-cmp;
// libFuzzer gathers coverage from 8-bit counters that the instrumented code
// registers. This file, itself left uninstrumented, turns each basic-block
// call into a counter bump, the counter chosen by a hash of the block's
// address, and registers the counters before main. The archive's own
// trace-pc hook, which only says "not supported", is made weak at build time
// so that this one is linked instead.
#include <cstddef>
#include <cstdint>

namespace {

constexpr std::size_t kCounters = std::size_t{1} << 18;
alignas(4096) std::uint8_t counters[kCounters];

}  // namespace

extern "C" {

void __sanitizer_cov_8bit_counters_init(std::uint8_t* start, std::uint8_t* stop);

__attribute__((no_sanitize("address", "undefined"))) void __sanitizer_cov_trace_pc() {
    const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    ++counters[(pc ^ (pc >> 18)) & (kCounters - 1)];
}

// g++ also reports floating-point comparisons; libFuzzer has no use for them.
void __sanitizer_cov_trace_cmpf(float, float) {}
void __sanitizer_cov_trace_cmpd(double, double) {}

}  // extern "C"

__attribute__((constructor)) static void register_counters() {
    __sanitizer_cov_8bit_counters_init(counters, counters + kCounters);
}
