// A fixed set of threads running one io_context until the pool is dropped.
// Unlike asio::thread_pool, a thread that cannot be started is an error
// value, and the threads already started are stopped and joined first.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

namespace nuvrel_core {

// The number of CPUs this process may run on (its affinity mask), at least 1.
std::size_t available_cpus() noexcept;

class ThreadPool {
public:
    using Executor = asio::io_context::executor_type;

    // The error is the display text of the system's error.
    static std::expected<std::unique_ptr<ThreadPool>, std::string> create(std::size_t threads);

    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    Executor get_executor() noexcept { return ctx_.get_executor(); }
    std::size_t size() const noexcept { return threads_.size(); }

private:
    ThreadPool() : work_(asio::make_work_guard(ctx_)) {}
    void shut_down() noexcept;

    asio::io_context ctx_;
    asio::executor_work_guard<Executor> work_;
    std::vector<std::thread> threads_;
};

}  // namespace nuvrel_core
