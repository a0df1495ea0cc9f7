// Owned Python references and the two C++ exceptions by which the binding's
// helpers leave a method early; the method boundary (guarded, errors.h)
// turns both into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace nuvrel_python {

// An owned (strong) reference, released on scope exit.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A Python error is already set. Thrown so that conversion helpers can bail
// out of nested loops without checking at every level.
struct PythonError {};

// A failure beyond recovery, raised at the method boundary as PanicException
// with this message.
struct Panic {
    std::string message;
};

// A new reference from an API call, or PythonError when the call failed.
inline Ref checked(PyObject* p) {
    if (p == nullptr) throw PythonError{};
    return Ref::steal(p);
}

}  // namespace nuvrel_python
