#include "runtime/runtime.h"

#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include <fmt/format.h>

namespace nuvrel_core {

namespace {
thread_local Runtime* current_runtime = nullptr;

std::size_t cpu_count() {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

// The blocking pool serves file reads; callers hold it for one read at a
// time, so a modest fixed size suffices.
constexpr std::size_t kBlockingThreads = 8;
}  // namespace

Runtime::Enter::Enter(Runtime* rt) : prev_(current_runtime) { current_runtime = rt; }
Runtime::Enter::~Enter() { current_runtime = prev_; }

Runtime* Runtime::current() noexcept { return current_runtime; }

asio::io_context& Runtime::thread_context() {
    thread_local asio::io_context ctx(1);
    return ctx;
}

Runtime::Runtime(std::size_t workers, std::size_t blocking)
    : worker_count_(workers),
      workers_(std::make_unique<asio::thread_pool>(workers)),
      blocking_(std::make_unique<asio::thread_pool>(blocking)) {}

Runtime::~Runtime() {
    blocking_->join();
    workers_->join();
}

std::expected<std::unique_ptr<Runtime>, std::string> Runtime::create(std::size_t workers, std::size_t blocking) {
    try {
        return std::unique_ptr<Runtime>(new Runtime(workers, blocking));
    } catch (const std::system_error& e) {
        return std::unexpected(std::string(e.what()));
    } catch (const std::exception& e) {
        return std::unexpected(std::string(e.what()));
    }
}

std::expected<std::unique_ptr<Runtime>, std::string> Runtime::create() {
    std::size_t workers = cpu_count();
    if (const char* env = std::getenv("TOKIO_WORKER_THREADS")) {
        std::string_view s(env);
        std::size_t n = 0;
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
        if (ec != std::errc() || end != s.data() + s.size())
            return std::unexpected(fmt::format(
                "\"TOKIO_WORKER_THREADS\" must be usize, error: invalid digit found in string, value: {}", s));
        if (n == 0) return std::unexpected(std::string("\"TOKIO_WORKER_THREADS\" cannot be set to 0"));
        workers = n;
    }
    return create(workers, kBlockingThreads);
}

}  // namespace nuvrel_core
