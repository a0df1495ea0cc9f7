// The error of every storage-level operation: a kind and a message, or the
// operating system's own error number.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace nuvrel_core {

enum class IoErrorKind {
    InvalidData,
    InvalidInput,
    UnexpectedEof,
    Other,
    Os,  // carries the system's error number; the kind follows from it
};

class IoError {
public:
    static IoError invalid_data(std::string message) { return {IoErrorKind::InvalidData, 0, std::move(message)}; }
    static IoError invalid_input(std::string message) { return {IoErrorKind::InvalidInput, 0, std::move(message)}; }
    static IoError unexpected_eof(std::string message) { return {IoErrorKind::UnexpectedEof, 0, std::move(message)}; }
    static IoError other(std::string message) { return {IoErrorKind::Other, 0, std::move(message)}; }
    static IoError from_errno(int code) { return {IoErrorKind::Os, code, {}}; }

    // The common end-of-input failure of fixed-width and varint reads.
    static IoError fill_whole_buffer() { return unexpected_eof("failed to fill whole buffer"); }

    IoErrorKind kind() const noexcept { return kind_; }
    int os_code() const noexcept { return os_code_; }

    // A message error shows its message; an operating-system error shows the
    // system's description followed by " (os error N)".
    std::string to_string() const;

    friend bool operator==(const IoError&, const IoError&) = default;

private:
    IoError(IoErrorKind kind, int code, std::string message)
        : kind_(kind), os_code_(code), message_(std::move(message)) {}

    IoErrorKind kind_;
    int os_code_;
    std::string message_;
};

template <class T>
using IoResult = std::expected<T, IoError>;

}  // namespace nuvrel_core
