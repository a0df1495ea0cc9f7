#include "runtime/thread_pool.h"

#include <sched.h>

#include <system_error>

#include "io_error.h"

namespace nuvrel_core {

std::size_t available_cpus() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

std::expected<std::unique_ptr<ThreadPool>, std::string> ThreadPool::create(std::size_t threads) {
    std::unique_ptr<ThreadPool> pool(new ThreadPool());
    try {
        pool->threads_.reserve(threads);
        for (std::size_t i = 0; i < threads; ++i) pool->threads_.emplace_back([p = pool.get()] { p->ctx_.run(); });
    } catch (const std::system_error& e) {
        pool->shut_down();
        return std::unexpected(IoError::from_errno(e.code().value()).to_string());
    } catch (const std::exception& e) {
        pool->shut_down();
        return std::unexpected(std::string(e.what()));
    }
    return pool;
}

void ThreadPool::shut_down() noexcept {
    work_.reset();
    ctx_.stop();
    for (auto& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

ThreadPool::~ThreadPool() { shut_down(); }

}  // namespace nuvrel_core
