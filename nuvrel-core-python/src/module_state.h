// What the module object keeps for its methods, reached from the class
// through the module that defined it.
#pragma once

#include "py_ref.h"

namespace nuvrel_python {

struct ModuleState {
    // pyo3_runtime.PanicException: any unrecoverable failure inside a method.
    PyObject* panic_exception;
    PyTypeObject* index_type;
    // collections.abc.Sequence, looked up on first use.
    PyObject* sequence_abc;
};

extern PyModuleDef module_def;

// The state of the module that defined `cls` (the NuvrelIndex class).
ModuleState& module_state(PyTypeObject* cls) noexcept;

}  // namespace nuvrel_python
