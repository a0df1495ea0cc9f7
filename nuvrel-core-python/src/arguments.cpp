#include "arguments.h"

#include <limits>

#include <fmt/format.h>

#include "errors.h"

namespace nuvrel_python {

namespace {

[[noreturn]] void cast_error(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'", Py_TYPE(obj)->tp_name, target);
    throw PythonError{};
}

// Whether the object counts as a collections.abc.Sequence. An isinstance
// check that raises (a __class__ that fails, say) answers no: the caller then
// reports the object as not a sequence rather than the check's own error.
bool is_sequence(PyObject* obj, ModuleState& state) {
    if (PyList_Check(obj) || PyTuple_Check(obj)) return true;
    if (state.sequence_abc == nullptr) {
        Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
        if (abc) state.sequence_abc = PyObject_GetAttrString(abc.get(), "Sequence");
        if (state.sequence_abc == nullptr) {
            PyErr_Clear();
            return false;
        }
    }
    int r = PyObject_IsInstance(obj, state.sequence_abc);
    if (r < 0) PyErr_Clear();
    return r == 1;
}

}  // namespace

void collect_args(const char* fname, const char* const* names, std::size_t n, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    if (nargs > static_cast<Py_ssize_t>(n)) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", fname,
                     static_cast<Py_ssize_t>(n), nargs);
        throw PythonError{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t found = n;
        for (std::size_t i = 0; i < n; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                found = i;
                break;
            }
        }
        if (found == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
            throw PythonError{};
        }
        if (slots[found] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, names[found]);
            throw PythonError{};
        }
        slots[found] = args[nargs + k];
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < n; ++i)
        if (slots[i] == nullptr) missing.push_back(names[i]);
    if (missing.empty()) return;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) list += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
        list += fmt::format("'{}'", missing[i]);
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", fname,
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s", list.c_str());
    throw PythonError{};
}

void fail_argument(const char* param) {
    if (PyErr_Occurred() == PyExc_TypeError) {
        // The first error's text always makes it into the message, even when
        // its str() raises or cannot be encoded.
        raise_with(PyExc_TypeError, fmt::format("argument '{}': {}", param, take_exception_text()));
    }
    throw PythonError{};
}

std::string extract_str(PyObject* obj) {
    if (!PyUnicode_Check(obj)) cast_error(obj, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) throw PythonError{};
    return std::string(data, static_cast<std::size_t>(size));
}

std::uint32_t extract_u32(PyObject* obj) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
    if (v < 0 || v > static_cast<long>(std::numeric_limits<std::uint32_t>::max())) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw PythonError{};
    }
    return static_cast<std::uint32_t>(v);
}

std::optional<std::uint64_t> extract_optional_u64(PyObject* obj) {
    if (obj == Py_None) return std::nullopt;
    Ref index = checked(PyNumber_Index(obj));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return static_cast<std::uint64_t>(v);
}

std::optional<std::vector<StrPair>> extract_clause_list(PyObject* obj, ModuleState& state) {
    if (obj == Py_None) return std::nullopt;
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        throw PythonError{};
    }
    if (!is_sequence(obj, state)) cast_error(obj, "Sequence");
    std::vector<StrPair> out;
    Ref iter = checked(PyObject_GetIter(obj));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (!PyTuple_Check(item.get())) cast_error(item.get(), "tuple");
        Py_ssize_t len = PyTuple_GET_SIZE(item.get());
        if (len != 2) {
            PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", len);
            throw PythonError{};
        }
        std::string field = extract_str(PyTuple_GET_ITEM(item.get(), 0));
        std::string term = extract_str(PyTuple_GET_ITEM(item.get(), 1));
        out.emplace_back(std::move(field), std::move(term));
    }
    if (PyErr_Occurred()) throw PythonError{};
    return out;
}

}  // namespace nuvrel_python
