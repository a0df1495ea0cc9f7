#include "io_error.h"

#include <cstring>

#include <fmt/format.h>

namespace nuvrel_core {

std::string IoError::to_string() const {
    if (kind_ != IoErrorKind::Os) return message_;
    char buf[256];
    // The XSI variant always fills buf; the GNU one may return a static string.
    const char* text = strerror_r(os_code_, buf, sizeof buf);
    return fmt::format("{} (os error {})", text, os_code_);
}

}  // namespace nuvrel_core
