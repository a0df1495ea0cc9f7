// Making a shared object whose constructor is private, from inside a
// coroutine. std::make_shared cannot reach the constructor, and GCC 12
// misreads a new-expression written inside a coroutine; a class befriends
// make_private_shared and is made through it, outside any coroutine frame.
#pragma once

#include <memory>
#include <utility>

namespace nuvrel_core {

template <class T, class... Args>
[[gnu::noinline]] std::shared_ptr<T> make_private_shared(Args... args) {
    return std::shared_ptr<T>(new T(std::move(args)...));
}

}  // namespace nuvrel_core
