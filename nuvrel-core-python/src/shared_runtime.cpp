#include "shared_runtime.h"

#include <mutex>

#include <fmt/format.h>

#include "py_ref.h"

namespace nuvrel_python {

nuvrel_core::Runtime& get_runtime() {
    // Never destroyed: the interpreter may still be tearing down modules
    // while the runtime's threads wait.
    static std::mutex mu;
    static nuvrel_core::Runtime* runtime = nullptr;
    std::lock_guard lock(mu);
    if (runtime != nullptr) return *runtime;
    auto created = nuvrel_core::Runtime::create();
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
