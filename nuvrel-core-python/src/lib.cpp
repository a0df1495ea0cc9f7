// The module nuvrel_python and its one class, NuvrelIndex: the method table
// and each method's steps, from converted arguments to the engine call and
// the Python result. Argument conversion, the searches, conversion to Python
// objects and the mapping of failures live beside this file.
//
// Every method holds the interpreter lock for its whole call; nothing
// escapes a method as a C++ exception (guarded).
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "arguments.h"
#include "compression/zstd.h"
#include "errors.h"
#include "index/index.h"
#include "module_state.h"
#include "py_ref.h"
#include "search.h"
#include "shared_runtime.h"
#include "to_python.h"

namespace nuvrel_python {

namespace {

struct NuvrelIndexObject {
    PyObject_HEAD
    std::shared_ptr<nuvrel_core::Index> index;
    // The binding's own deep copy, taken at open and never refreshed.
    std::shared_ptr<const nuvrel_core::Schema> schema;
};

ModuleState* state_of(PyObject* module) noexcept { return static_cast<ModuleState*>(PyModule_GetState(module)); }

NuvrelIndexObject* as_index(PyObject* self) { return reinterpret_cast<NuvrelIndexObject*>(self); }

// Runs one engine call on the index. When memory runs out in it, the index's
// block caches are emptied before the call fails, so that the next call that
// fits in what is left works.
template <class T>
T on_index(const nuvrel_core::Index& index, nuvrel_core::Task<T> call) {
    try {
        T result = get_runtime().block_on(std::move(call));
        const auto* io = result ? nullptr : result.error().template get_if<nuvrel_core::Error::Io>();
        if (io != nullptr && io->error == nuvrel_core::out_of_memory()) index.release_block_caches();
        return result;
    } catch (const std::bad_alloc&) {
        index.release_block_caches();
        throw;
    }
}

void index_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_index(self)->~NuvrelIndexObject();
    type->tp_free(self);
    Py_DECREF(type);
}

// The one module of the process, made at the first import and kept.
PyObject* the_module = nullptr;
PyInterpreterState* its_interpreter = nullptr;

// A static method is handed no class: it finds it through the module.
PyObject* index_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyTypeObject* cls = state_of(the_module)->index_type;
    return guarded(cls, open_failed, [&]() -> PyObject* {
        auto [path_arg] = collect_args("NuvrelIndex.open", std::array{"path"}, args, nargs, kwnames);
        std::string path = convert_arg("path", [&] { return extract_str(path_arg); });
        auto opened = get_runtime().block_on(nuvrel_core::Index::open(
            nuvrel_core::FsDirectory{std::filesystem::path(path)}, nuvrel_core::IndexConfig::default_config()));
        if (!opened) raise_engine_error(open_failed, opened.error());
        auto schema = std::make_shared<const nuvrel_core::Schema>(*(*opened)->schema());
        PyObject* obj = cls->tp_alloc(cls, 0);
        if (obj == nullptr) return nullptr;
        new (&as_index(obj)->index) std::shared_ptr<nuvrel_core::Index>(std::move(*opened));
        new (&as_index(obj)->schema) std::shared_ptr<const nuvrel_core::Schema>(std::move(schema));
        return obj;
    });
}

PyObject* index_num_docs(PyObject* self, PyObject*) {
    return guarded(Py_TYPE(self), no_failure,
                   [&] { return PyLong_FromUnsignedLong(as_index(self)->index->num_docs()); });
}

PyObject* index_num_segments(PyObject* self, PyObject*) {
    return guarded(Py_TYPE(self), no_failure,
                   [&] { return PyLong_FromSize_t(as_index(self)->index->num_segments()); });
}

PyObject* index_field_names(PyObject* self, PyObject*) {
    return guarded(Py_TYPE(self), no_failure, [&] {
        return list_to_py(as_index(self)->schema->fields,
                          [](const nuvrel_core::FieldEntry& e) { return str_to_py(e.name); })
            .release();
    });
}

PyObject* index_get_document(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(Py_TYPE(self), get_document_failed, [&]() -> PyObject* {
        auto [doc_arg] = collect_args("NuvrelIndex.get_document", std::array{"doc_id"}, args, nargs, kwnames);
        std::uint32_t doc_id = convert_arg("doc_id", [&] { return extract_u32(doc_arg); });
        NuvrelIndexObject* obj = as_index(self);
        auto fetched = on_index(*obj->index, obj->index->doc(doc_id));
        if (!fetched) raise_engine_error(get_document_failed, fetched.error());
        if (!*fetched) Py_RETURN_NONE;
        return document_to_py(**fetched, *obj->schema).release();
    });
}

PyObject* run_search(NuvrelIndexObject* obj, QueryPtr query, std::uint64_t limit) {
    auto hits = on_index(*obj->index, search_all(obj->index, std::move(query), limit));
    if (!hits) raise_engine_error(search_failed, hits.error());
    return hits_to_py(*hits).release();
}

PyObject* index_search_term(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(Py_TYPE(self), search_failed, [&]() -> PyObject* {
        auto [field_arg, term_arg, limit_arg] =
            collect_args("NuvrelIndex.search_term", std::array{"field", "term", "limit"}, args, nargs, kwnames);
        std::string field = convert_arg("field", [&] { return extract_str(field_arg); });
        std::string term = convert_arg("term", [&] { return extract_str(term_arg); });
        std::uint64_t limit = convert_arg("limit", [&] { return extract_optional_u64(limit_arg); }).value_or(10);
        NuvrelIndexObject* obj = as_index(self);
        return run_search(obj, term_query(*obj->schema, field, term), limit);
    });
}

PyObject* index_search_boolean(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(Py_TYPE(self), search_failed, [&]() -> PyObject* {
        auto [must_arg, should_arg, must_not_arg, limit_arg] = collect_args(
            "NuvrelIndex.search_boolean", std::array{"must", "should", "must_not", "limit"}, args, nargs, kwnames);
        ModuleState& state = module_state(Py_TYPE(self));
        auto must = convert_arg("must", [&] { return extract_clause_list(must_arg, state); });
        auto should = convert_arg("should", [&] { return extract_clause_list(should_arg, state); });
        auto must_not = convert_arg("must_not", [&] { return extract_clause_list(must_not_arg, state); });
        std::uint64_t limit = convert_arg("limit", [&] { return extract_optional_u64(limit_arg); }).value_or(10);
        NuvrelIndexObject* obj = as_index(self);
        return run_search(obj, boolean_query(*obj->schema, must, should, must_not), limit);
    });
}

PyObject* index_reload(PyObject* self, PyObject*) {
    return guarded(Py_TYPE(self), reload_failed, [&]() -> PyObject* {
        nuvrel_core::Index& index = *as_index(self)->index;
        auto reloaded = on_index(index, index.reload());
        if (!reloaded) raise_engine_error(reload_failed, reloaded.error());
        Py_RETURN_NONE;
    });
}

// The method table stores every function as a PyCFunction; fast-call
// functions take more parameters, so they go through a plain function
// pointer to pass the cast-function-type check.
template <class F>
PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef index_methods[] = {
    {"open", fastcall(index_open), METH_STATIC | METH_FASTCALL | METH_KEYWORDS,
     "open(path)\n--\n\nOpen an existing index"},
    {"num_docs", index_num_docs, METH_NOARGS, "num_docs($self)\n--\n\nGet the number of documents in the index"},
    {"num_segments", index_num_segments, METH_NOARGS, "num_segments($self)\n--\n\nGet the number of segments"},
    {"field_names", index_field_names, METH_NOARGS, "field_names($self)\n--\n\nGet field names"},
    {"get_document", fastcall(index_get_document), METH_FASTCALL | METH_KEYWORDS,
     "get_document($self, doc_id)\n--\n\nGet a document by ID"},
    {"search_term", fastcall(index_search_term), METH_FASTCALL | METH_KEYWORDS,
     "search_term($self, field, term, limit)\n--\n\nSearch the index with a term query"},
    {"search_boolean", fastcall(index_search_boolean), METH_FASTCALL | METH_KEYWORDS,
     "search_boolean($self, must, should, must_not, limit)\n--\n\nSearch with a boolean query"},
    {"reload", index_reload, METH_NOARGS, "reload($self)\n--\n\nReload the index to see new segments"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for Nuvrel Index (read-only)")},
    {Py_tp_methods, index_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {0, nullptr},
};

PyType_Spec index_spec = {
    "nuvrel_python.NuvrelIndex",
    static_cast<int>(sizeof(NuvrelIndexObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    index_slots,
};

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    if (ModuleState* s = state_of(module)) {
        Py_VISIT(s->panic_exception);
        Py_VISIT(s->index_type);
        Py_VISIT(s->sequence_abc);
    }
    return 0;
}

int module_clear(PyObject* module) {
    if (ModuleState* s = state_of(module)) {
        Py_CLEAR(s->panic_exception);
        Py_CLEAR(s->index_type);
        Py_CLEAR(s->sequence_abc);
    }
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

// Builds the module: its state, then the class, defined by the module so that
// each method finds the state through its class.
PyObject* make_module() noexcept {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    ModuleState* state = state_of(module.get());
    state->panic_exception = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when the native code of a method fails beyond recovery.\n\n"
        "Like SystemExit, it derives from BaseException, so that ordinary\n"
        "`except Exception` handlers do not swallow it.",
        PyExc_BaseException, nullptr);
    if (state->panic_exception == nullptr) return nullptr;
    state->index_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module.get(), &index_spec, nullptr));
    if (state->index_type == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "NuvrelIndex", reinterpret_cast<PyObject*>(state->index_type)) < 0)
        return nullptr;
    return module.release();
}

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "nuvrel_python",
    "Python module",
    // Not -1: the interpreter then calls the init function again on every
    // fresh import, which hands back the one module of this interpreter and
    // refuses any other interpreter, instead of cloning the module's dict.
    sizeof(ModuleState),
    nullptr,
    nullptr,
    module_traverse,
    module_clear,
    module_free,
};

ModuleState& module_state(PyTypeObject* cls) noexcept {
    return *state_of(PyType_GetModuleByDef(cls, &module_def));
}

}  // namespace nuvrel_python

// The module is made once per process and kept; a repeated initialisation in
// the same interpreter hands back that module, and another interpreter of the
// process is refused.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_nuvrel_python() {
    using namespace nuvrel_python;
    if (the_module != nullptr) {
        if (PyInterpreterState_Get() != its_interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576");
            return nullptr;
        }
        return Ref::borrow(the_module).release();
    }
    PyObject* module = make_module();
    if (module == nullptr) return nullptr;
    the_module = Ref::borrow(module).release();
    its_interpreter = PyInterpreterState_Get();
    return module;
}
