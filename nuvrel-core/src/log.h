// The debug-record facade. Records carry a target (the module path) and are
// neither formatted nor emitted unless a sink is installed and the maximum
// level admits them; nothing in the library installs one.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace nuvrel_core::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

using Sink = void (*)(Level level, std::string_view target, std::string_view message);

namespace detail {
inline std::atomic<int> max_level{static_cast<int>(Level::Off)};
inline std::atomic<Sink> sink{nullptr};
}  // namespace detail

// For embedders and tests: install a sink and raise the level to let records through.
inline void set_sink(Sink s) noexcept { detail::sink.store(s, std::memory_order_release); }
inline void set_max_level(Level l) noexcept { detail::max_level.store(static_cast<int>(l), std::memory_order_relaxed); }

inline bool enabled(Level l) noexcept {
    return static_cast<int>(l) <= detail::max_level.load(std::memory_order_relaxed);
}

template <class... Args>
void emit(Level level, std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
    Sink s = detail::sink.load(std::memory_order_acquire);
    if (s == nullptr) return;
    s(level, target, fmt::format(f, std::forward<Args>(args)...));
}

}  // namespace nuvrel_core::log

// The arguments are evaluated only when a debug record would be emitted.
#define NUVREL_DEBUG(target, ...)                                                    \
    do {                                                                             \
        if (::nuvrel_core::log::enabled(::nuvrel_core::log::Level::Debug))           \
            ::nuvrel_core::log::emit(::nuvrel_core::log::Level::Debug, target, __VA_ARGS__); \
    } while (0)
