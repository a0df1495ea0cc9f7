#include "errors.h"

#include <exception>
#include <new>

#include <fmt/format.h>

#include "module_state.h"

namespace nuvrel_python {

namespace {

// The pending exception, normalized, and the interpreter cleared of it.
Ref take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

// What the interpreter prints for an exception whose str() fails.
constexpr std::string_view unprintable = "<exception str() failed>";

// The UTF-8 form of a str; lone surrogates are written as escapes.
std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(s, static_cast<std::size_t>(size));
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return std::string(unprintable);
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

void set_panic(PyTypeObject* cls, std::string_view message) noexcept {
    PyObject* type = cls != nullptr ? module_state(cls).panic_exception : nullptr;
    set_error(type != nullptr ? type : PyExc_RuntimeError, message);
}

}  // namespace

void set_error(PyObject* type, std::string_view message) noexcept {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

void raise_with(PyObject* type, std::string_view message) {
    set_error(type, message);
    throw PythonError{};
}

std::string take_exception_text() {
    Ref value = take_exception();
    Ref text = Ref::steal(value ? PyObject_Str(value.get()) : nullptr);
    if (!text) {
        PyErr_Clear();
        return std::string(unprintable);
    }
    return utf8_of(text.get());
}

void raise_engine_error(std::string_view failure, const nuvrel_core::Error& error) {
    raise_with(PyExc_RuntimeError, fmt::format("{}: {}", failure, error.to_string()));
}

void raise_current_exception(PyTypeObject* cls, std::string_view failure) noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        // already set
    } catch (const Panic& p) {
        set_panic(cls, p.message);
    } catch (const std::bad_alloc&) {
        // Memory exhausted is the engine's kind of failure for the methods
        // that run the engine; the others report it as the interpreter does.
        if (failure.empty()) {
            PyErr_NoMemory();
            return;
        }
        try {
            const nuvrel_core::Error oom{nuvrel_core::IoError::other("out of memory")};
            set_error(PyExc_RuntimeError, fmt::format("{}: {}", failure, oom.to_string()));
        } catch (...) {
            PyErr_NoMemory();
        }
    } catch (const std::exception& e) {
        set_panic(cls, e.what());
    } catch (...) {
        set_panic(cls, "unknown C++ exception");
    }
}

}  // namespace nuvrel_python
