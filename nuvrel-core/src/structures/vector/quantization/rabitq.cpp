#include "structures/vector/quantization/rabitq.h"

#include <chrono>
#include <numeric>
#include <utility>

#include <fmt/format.h>

#include "structures/vector/quantization/std_rng.h"

namespace nuvrel_core {

std::uint64_t unix_millis_now() noexcept {
    using namespace std::chrono;
    const auto since = system_clock::now().time_since_epoch();
    if (since.count() < 0) return 0;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(since).count());
}

IoResult<RaBitQCodebook> RaBitQCodebook::create(const RaBitQConfig& config) {
    return create(config, unix_millis_now());
}

IoResult<RaBitQCodebook> RaBitQCodebook::create(const RaBitQConfig& config, std::uint64_t version) {
    if (config.dim > kMaxGeneratedDim)
        return std::unexpected(IoError::invalid_data(
            fmt::format("RaBitQ dimension {} exceeds the limit of {}", config.dim, kMaxGeneratedDim)));
    const auto dim = static_cast<std::size_t>(config.dim);
    StdRng rng = StdRng::seed_from_u64(config.seed);

    RaBitQCodebook cb;
    cb.config = config;
    cb.version = version;
    cb.random_signs.resize(dim);
    for (auto& sign : cb.random_signs) sign = (rng.next_u32() >> 31) != 0 ? 1 : -1;

    cb.random_perm.resize(dim);
    std::iota(cb.random_perm.begin(), cb.random_perm.end(), std::uint32_t{0});
    // Fisher-Yates from the top down, one single-sample draw per step.
    for (std::size_t i = dim; i-- > 1;) {
        const std::uint32_t j = rng.uniform_inclusive(static_cast<std::uint32_t>(i));
        std::swap(cb.random_perm[i], cb.random_perm[j]);
    }
    return cb;
}

}  // namespace nuvrel_core
