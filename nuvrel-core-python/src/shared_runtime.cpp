#include "shared_runtime.h"

#include <charconv>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include <fmt/format.h>

#include "py_ref.h"

namespace nuvrel_python {

namespace {

// NUVREL_SPIN_US, when set to a count of microseconds, is how long a waiting
// call and an idle pool worker spin before they sleep (0: they always
// sleep); the benchmark sets it to compare the two. Unset or not a count: the
// runtime's own default.
nuvrel_core::HandOffOptions hand_off_options() {
    nuvrel_core::HandOffOptions options;
    if (const char* env = std::getenv("NUVREL_SPIN_US")) {
        const std::string_view text(env);
        unsigned long us = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), us);
        if (ec == std::errc() && end == text.data() + text.size() && !text.empty() && us <= 1'000'000)
            options.spin = std::chrono::microseconds(us);
    }
    return options;
}

}  // namespace

nuvrel_core::Runtime& get_runtime() {
    // Never destroyed: the interpreter may still be tearing down modules
    // while the runtime's threads wait.
    static std::mutex mu;
    static nuvrel_core::Runtime* runtime = nullptr;
    std::lock_guard lock(mu);
    if (runtime != nullptr) return *runtime;
    auto created = nuvrel_core::Runtime::create(hand_off_options());
    if (!created) {
        // A TOKIO_WORKER_THREADS the scheduler refuses is its own complaint,
        // worded as the scheduler words it; only a runtime that fails to come
        // up is reported as such.
        const std::string& why = created.error();
        if (why.starts_with("\"TOKIO_WORKER_THREADS\"")) throw Panic{why};
        throw Panic{fmt::format("Failed to create Tokio runtime: {}", why)};
    }
    runtime = created->release();
    return *runtime;
}

}  // namespace nuvrel_python
