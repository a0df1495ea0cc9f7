// One comparison pins a result's outcome: its error text, or "ok".
#pragma once

#include <string>

namespace nuvrel_test {

template <class R>
std::string error_text(const R& r) {
    return r.has_value() ? std::string("ok") : r.error().to_string();
}

}  // namespace nuvrel_test
