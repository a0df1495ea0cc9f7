// The debug records one target writes while a piece of work runs.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "log.h"

namespace nuvrel_test {

namespace detail {
inline std::mutex records_mutex;
inline std::vector<std::pair<std::string, std::string>> records;
inline void record(nuvrel_core::log::Level, std::string_view target, std::string_view message) {
    std::lock_guard lock(records_mutex);
    records.emplace_back(std::string(target), std::string(message));
}
}  // namespace detail

// The messages `target` recorded while `work` ran, in order.
template <class F>
std::vector<std::string> debug_records(std::string_view target, F&& work) {
    detail::records.clear();
    nuvrel_core::log::set_sink(detail::record);
    nuvrel_core::log::set_max_level(nuvrel_core::log::Level::Debug);
    work();
    nuvrel_core::log::set_max_level(nuvrel_core::log::Level::Off);
    nuvrel_core::log::set_sink(nullptr);
    std::lock_guard lock(detail::records_mutex);
    std::vector<std::string> out;
    for (auto& [t, m] : detail::records)
        if (t == target) out.push_back(std::move(m));
    return out;
}

}  // namespace nuvrel_test
