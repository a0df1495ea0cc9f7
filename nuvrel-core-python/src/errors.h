// Python exceptions from the binding: setting one from any UTF-8 text, the
// text of the pending one, and the one place where what escapes a method
// (engine errors, allocation failure, C++ exceptions) becomes a Python
// exception.
#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "py_ref.h"

namespace nuvrel_python {

// Sets an exception of `type` from a UTF-8 message of any content: invalid
// sequences are replaced rather than turned into a second error.
void set_error(PyObject* type, std::string_view message) noexcept;

// set_error, then leave the method.
[[noreturn]] void raise_with(PyObject* type, std::string_view message);

// Takes the pending exception out of the interpreter and returns its str().
// A str() that raises still gives a text, the interpreter's own placeholder,
// and one without a UTF-8 form gives its text with escapes.
std::string take_exception_text();

// What each engine-backed method calls its own failure; RuntimeError
// "{failure}: {error}" carries the engine error's display text.
inline constexpr std::string_view open_failed = "Failed to open index";
inline constexpr std::string_view get_document_failed = "Failed to get document";
inline constexpr std::string_view search_failed = "Search failed";
inline constexpr std::string_view reload_failed = "Reload failed";
// Methods that never run the engine: they have no error of their own.
inline constexpr std::string_view no_failure = {};

[[noreturn]] void raise_engine_error(std::string_view failure, const nuvrel_core::Error& error);

// Turns the exception being handled into the Python exception of a method of
// `cls`: PythonError leaves the pending error, Panic and any other C++
// exception become PanicException, and allocation failure becomes the
// method's own failure (an engine error of memory exhausted) or, for a
// method with none, the interpreter's MemoryError.
void raise_current_exception(PyTypeObject* cls, std::string_view failure) noexcept;

// Runs a method body of `cls`; nothing escapes as a C++ exception.
template <class F>
PyObject* guarded(PyTypeObject* cls, std::string_view failure, F&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        return nullptr;  // already set; the common case, kept free of a rethrow
    } catch (...) {
        raise_current_exception(cls, failure);
        return nullptr;
    }
}

}  // namespace nuvrel_python
