// Conversion of the methods' Python arguments: the binding library's calling
// convention (every parameter required, by position or keyword) and its
// error wording.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module_state.h"
#include "py_ref.h"

namespace nuvrel_python {

// Fills one slot per parameter from fast-call positional and keyword
// arguments; every parameter is required. Raises TypeError otherwise.
void collect_args(const char* fname, const char* const* names, std::size_t n, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

template <std::size_t N>
std::array<PyObject*, N> collect_args(const char* fname, const std::array<const char*, N>& names,
                                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> slots{};
    collect_args(fname, names.data(), N, args, nargs, kwnames, slots.data());
    return slots;
}

// Re-raises a TypeError from converting `param` as "argument '{}': {}"; other
// errors, subclasses of TypeError among them, stay as they are.
[[noreturn]] void fail_argument(const char* param);

// Converts one argument; a TypeError gets the parameter's name in front.
template <class F>
auto convert_arg(const char* param, F&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (const PythonError&) {
        fail_argument(param);
    }
}

// A str, as UTF-8. A str without a UTF-8 form raises the interpreter's
// UnicodeEncodeError.
std::string extract_str(PyObject* obj);

// An int (or an object with __index__) from 0 to 2^32-1. It is read as a C
// long first, so a value beyond that gets the interpreter's own OverflowError.
std::uint32_t extract_u32(PyObject* obj);

// None (absent) or an int from 0 to 2^64-1.
std::optional<std::uint64_t> extract_optional_u64(PyObject* obj);

// A (field name, term) pair of a boolean clause list.
using StrPair = std::pair<std::string, std::string>;

// None (absent) or a sequence of (str, str) tuples.
std::optional<std::vector<StrPair>> extract_clause_list(PyObject* obj, ModuleState& state);

}  // namespace nuvrel_python
