// The CPython extension module nuvrel_python: the NuvrelIndex class over the
// engine's Index, the process-wide runtime that drives the engine's
// asynchronous operations, argument conversion, the merge of per-segment hit
// lists and the conversion of documents and results to Python objects.
//
// Every entry point holds the interpreter lock for its whole call and catches
// every C++ exception, which reaches Python as PanicException.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "dsl/document.h"
#include "dsl/schema.h"
#include "error.h"
#include "runtime/runtime.h"
#include "index/index.h"
#include "query/boolean.h"
#include "query/collector.h"
#include "query/term.h"
#include "segment/reader.h"


namespace nuvrel_python {

using nuvrel_core::Document;
using nuvrel_core::Error;
using nuvrel_core::Field;
using nuvrel_core::FieldValue;
using nuvrel_core::JsonValue;
using nuvrel_core::Result;
using nuvrel_core::Runtime;
using nuvrel_core::Schema;
using nuvrel_core::Task;

// ---------------------------------------------------------------------------
// Engine bridge: the only place that touches the engine's Index, segment
// readers and queries. The binding needs exactly these operations.
// ---------------------------------------------------------------------------
namespace engine {

using IndexPtr = std::shared_ptr<nuvrel_core::Index>;
using ReaderPtr = std::shared_ptr<nuvrel_core::AsyncSegmentReader>;
using QueryPtr = std::shared_ptr<const nuvrel_core::Query>;

// One hit of one segment: a segment-local document number and its score.
struct Hit {
    std::uint32_t doc;
    float score;
};

// A (field, term) clause; the term is passed as the caller wrote it (the
// engine's term query lower-cases it).
struct TermClause {
    Field field;
    std::string term;
};

// FsDirectory on the path unchanged, IndexConfig::default, Index::open.
Task<Result<IndexPtr>> open_index(std::string path);
// The index's schema, read once by the caller to take its own deep copy.
const Schema& index_schema(const nuvrel_core::Index& index);
// The sum of the segments' document counts under the list's shared lock,
// wrapping modulo 2^32.
std::uint32_t num_docs(const nuvrel_core::Index& index);
// Index::segment_readers: a snapshot of the segment list in list order.
std::vector<ReaderPtr> segment_readers(const nuvrel_core::Index& index);
// AsyncSegmentReader.doc_id_offset.
std::uint32_t doc_id_offset(const nuvrel_core::AsyncSegmentReader& reader);
// Index::doc: none past the last document.
Task<Result<std::optional<Document>>> doc(IndexPtr index, std::uint32_t doc_id);
// Index::reload.
Task<Result<void>> reload(IndexPtr index);
// TermQuery::text.
QueryPtr term_query(TermClause clause);
// An empty BooleanQuery with each clause added by must, should, must_not in
// that order.
QueryPtr boolean_query(std::vector<TermClause> must, std::vector<TermClause> should,
                       std::vector<TermClause> must_not);
// search_segment: the segment's best `limit` hits, best first. `limit` is the
// caller's, anything up to 2^64-1; the collector must bound what it reserves
// up front (by the segment's document count, say), never by `limit` alone.
Task<Result<std::vector<Hit>>> search_segment(ReaderPtr reader, QueryPtr query, std::uint64_t limit);

// ===== ENGINE WIRING =========================================================

Task<Result<IndexPtr>> open_index(std::string path) {
    nuvrel_core::FsDirectory dir{std::filesystem::path(path)};
    Result<IndexPtr> index = co_await nuvrel_core::Index::open(std::move(dir), nuvrel_core::IndexConfig::default_config());
    co_return index;
}

const Schema& index_schema(const nuvrel_core::Index& index) { return *index.schema(); }

std::uint32_t num_docs(const nuvrel_core::Index& index) { return index.num_docs(); }

std::vector<ReaderPtr> segment_readers(const nuvrel_core::Index& index) { return index.segment_readers(); }

std::uint32_t doc_id_offset(const nuvrel_core::AsyncSegmentReader& reader) { return reader.doc_id_offset(); }

Task<Result<std::optional<Document>>> doc(IndexPtr index, std::uint32_t doc_id) {
    Result<std::optional<Document>> d = co_await index->doc(doc_id);
    co_return d;
}

Task<Result<void>> reload(IndexPtr index) {
    Result<void> r = co_await index->reload();
    co_return r;
}

QueryPtr term_query(TermClause clause) {
    return std::make_shared<const nuvrel_core::TermQuery>(nuvrel_core::TermQuery::text(clause.field, clause.term));
}

QueryPtr boolean_query(std::vector<TermClause> must, std::vector<TermClause> should,
                       std::vector<TermClause> must_not) {
    auto q = std::make_shared<nuvrel_core::BooleanQuery>();
    auto term = [](const TermClause& c) {
        return std::make_unique<nuvrel_core::TermQuery>(nuvrel_core::TermQuery::text(c.field, c.term));
    };
    for (const auto& c : must) q->add_must(term(c));
    for (const auto& c : should) q->add_should(term(c));
    for (const auto& c : must_not) q->add_must_not(term(c));
    return q;
}

Task<Result<std::vector<Hit>>> search_segment(ReaderPtr reader, QueryPtr query, std::uint64_t limit) {
    Result<std::vector<nuvrel_core::SearchResult>> results =
        co_await nuvrel_core::search_segment(std::move(reader), *query, static_cast<std::size_t>(limit));
    if (!results) co_return std::unexpected(results.error());
    std::vector<Hit> hits;
    hits.reserve(results->size());
    for (const auto& r : *results) hits.push_back(Hit{r.doc_id, r.score});
    co_return hits;
}
// ===== END ENGINE WIRING ====================================================

}  // namespace engine

// ---------------------------------------------------------------------------
// Owned references and Python errors
// ---------------------------------------------------------------------------

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

// pyo3_runtime.PanicException: any unrecoverable failure inside a method.
PyObject* g_panic_exception = nullptr;
// collections.abc.Sequence, looked up on first use.
PyObject* g_sequence_abc = nullptr;

// Sets PanicException; an invalid UTF-8 sequence in the message is replaced
// rather than turned into a second error.
void raise_panic(std::string_view message) {
    PyObject* type = g_panic_exception != nullptr ? g_panic_exception : PyExc_RuntimeError;
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

// A Python error is already set; thrown so that conversion helpers can bail
// out of nested loops without checking at every level.
struct PythonError {};

// Sets an exception of the given type from a UTF-8 message of any content.
[[noreturn]] void raise_with(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    throw PythonError{};
}

// Replaces a failure of the interpreter to build an object with PanicException,
// keeping its message.
// Takes the pending exception out of the interpreter, normalized.
Ref take_exception() {
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

// The text of the pending exception, which is cleared; nullopt when even
// that fails.
std::optional<std::string> take_exception_text() {
    Ref value = take_exception();
    if (!value) return std::nullopt;
    Ref text = Ref::steal(PyObject_Str(value.get()));
    if (!text) return std::nullopt;
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (s == nullptr) return std::nullopt;
    return std::string(s, static_cast<std::size_t>(size));
}

[[noreturn]] void panic_from_python_error() {
    std::optional<std::string> message = take_exception_text();
    PyErr_Clear();
    raise_panic(message.value_or("failed to create a Python object"));
    throw PythonError{};
}

Ref checked(PyObject* p) {
    if (p == nullptr) throw PythonError{};
    return Ref::steal(p);
}

// Runs an entry point body, turning every escaping C++ exception into a
// Python exception: PanicException, or the error already set.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::exception& e) {
        raise_panic(e.what());
        return nullptr;
    } catch (...) {
        raise_panic("unknown C++ exception");
        return nullptr;
    }
}

// ---------------------------------------------------------------------------
// The runtime
// ---------------------------------------------------------------------------

// Created on first use and kept until the process ends (never destroyed: the
// interpreter may still be tearing down modules while its threads wait).
Runtime* get_runtime() {
    static std::mutex mu;
    static Runtime* runtime = nullptr;
    std::lock_guard lock(mu);
    if (runtime != nullptr) return runtime;
    auto created = Runtime::create();
    if (!created) {
        // A TOKIO_WORKER_THREADS the scheduler refuses is its own complaint,
        // worded as the scheduler words it; only a runtime that fails to come
        // up is reported as such.
        const std::string& why = created.error();
        raise_panic(why.starts_with("\"TOKIO_WORKER_THREADS\"")
                        ? why
                        : fmt::format("Failed to create Tokio runtime: {}", why));
        throw PythonError{};
    }
    runtime = created->release();
    return runtime;
}

// ---------------------------------------------------------------------------
// Argument parsing (fast-call with keywords)
// ---------------------------------------------------------------------------

// Fills one slot per parameter from positional and keyword arguments; every
// parameter is required.
template <std::size_t N>
bool collect_args(const char* fname, const std::array<const char*, N>& names, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames, std::array<PyObject*, N>& slots) {
    slots.fill(nullptr);
    if (nargs > static_cast<Py_ssize_t>(N)) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", fname,
                     static_cast<Py_ssize_t>(N), nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t found = N;
        for (std::size_t i = 0; i < N; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                found = i;
                break;
            }
        }
        if (found == N) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
            return false;
        }
        if (slots[found] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, names[found]);
            return false;
        }
        slots[found] = args[nargs + k];
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < N; ++i)
        if (slots[i] == nullptr) missing.push_back(names[i]);
    if (!missing.empty()) {
        std::string list;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) list += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
            list += fmt::format("'{}'", missing[i]);
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", fname,
                     static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s", list.c_str());
        return false;
    }
    return true;
}

// Re-raises a TypeError from converting `param` as "argument '{}': {}"; other
// errors, subclasses of TypeError among them, stay as they are.
[[noreturn]] void fail_argument(const char* param) {
    if (PyErr_Occurred() == PyExc_TypeError) {
        std::optional<std::string> text = take_exception_text();
        if (!text) throw PythonError{};
        raise_with(PyExc_TypeError, fmt::format("argument '{}': {}", param, *text));
    }
    throw PythonError{};
}

[[noreturn]] void cast_error(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'", Py_TYPE(obj)->tp_name, target);
    throw PythonError{};
}

// A str, as UTF-8. A str without a UTF-8 form raises the interpreter's
// UnicodeEncodeError.
std::string extract_str(PyObject* obj) {
    if (!PyUnicode_Check(obj)) cast_error(obj, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) throw PythonError{};
    return std::string(data, static_cast<std::size_t>(size));
}

// An int (or an object with __index__) from 0 to 2^32-1. It is read as a C
// long first, so a value beyond that gets the interpreter's own OverflowError.
std::uint32_t extract_u32(PyObject* obj) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
    if (v < 0 || v > static_cast<long>(std::numeric_limits<std::uint32_t>::max())) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw PythonError{};
    }
    return static_cast<std::uint32_t>(v);
}

// None (absent) or an int from 0 to 2^64-1.
std::optional<std::uint64_t> extract_optional_u64(PyObject* obj) {
    if (obj == Py_None) return std::nullopt;
    Ref index = checked(PyNumber_Index(obj));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return static_cast<std::uint64_t>(v);
}

bool is_sequence(PyObject* obj) {
    if (PyList_Check(obj) || PyTuple_Check(obj)) return true;
    if (g_sequence_abc == nullptr) {
        Ref abc = checked(PyImport_ImportModule("collections.abc"));
        g_sequence_abc = checked(PyObject_GetAttrString(abc.get(), "Sequence")).release();
    }
    int r = PyObject_IsInstance(obj, g_sequence_abc);
    if (r < 0) throw PythonError{};
    return r == 1;
}

using StrPair = std::pair<std::string, std::string>;

// None (absent) or a sequence of (str, str) tuples.
std::optional<std::vector<StrPair>> extract_clause_list(PyObject* obj) {
    if (obj == Py_None) return std::nullopt;
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        throw PythonError{};
    }
    if (!is_sequence(obj)) cast_error(obj, "Sequence");
    std::vector<StrPair> out;
    Ref iter = checked(PyObject_GetIter(obj));
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) throw PythonError{};
            break;
        }
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
    return out;
}

// Converts one argument; a TypeError gets the parameter's name in front.
template <class F>
auto convert_arg(const char* param, F&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (const PythonError&) {
        fail_argument(param);
    }
}

// ---------------------------------------------------------------------------
// Conversion of stored values and results to Python objects
// ---------------------------------------------------------------------------

Ref str_to_py(std::string_view s) {
    return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

template <class T, class F>
Ref list_to_py(const std::vector<T>& items, F&& convert) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), convert(items[i]).release());
    return list;
}

Ref float_to_py(double v) { return checked(PyFloat_FromDouble(v)); }

Ref json_to_py(const JsonValue& value);

struct JsonVisitor {
    Ref operator()(const JsonValue::Null&) const { return Ref::borrow(Py_None); }
    Ref operator()(bool b) const { return Ref::borrow(b ? Py_True : Py_False); }
    Ref operator()(std::uint64_t v) const {
        // Only integers that fit a signed 64-bit value stay ints.
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return float_to_py(static_cast<double>(v));
        return checked(PyLong_FromLongLong(static_cast<long long>(v)));
    }
    Ref operator()(std::int64_t v) const { return checked(PyLong_FromLongLong(v)); }
    Ref operator()(double v) const { return float_to_py(v); }
    Ref operator()(const std::string& s) const { return str_to_py(s); }
    Ref operator()(const JsonValue::Array& a) const { return list_to_py(a, json_to_py); }
    Ref operator()(const JsonValue::Object& o) const {
        Ref dict = checked(PyDict_New());
        for (const auto& [key, item] : o) {
            Ref v = json_to_py(item);
            Ref k = str_to_py(key);
            if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) throw PythonError{};
        }
        return dict;
    }
};

Ref json_to_py(const JsonValue& value) { return std::visit(JsonVisitor{}, value.value); }

struct FieldValueVisitor {
    Ref operator()(const std::string& s) const { return str_to_py(s); }
    Ref operator()(std::uint64_t v) const { return checked(PyLong_FromUnsignedLongLong(v)); }
    Ref operator()(std::int64_t v) const { return checked(PyLong_FromLongLong(v)); }
    Ref operator()(double v) const { return float_to_py(v); }
    Ref operator()(const std::vector<std::uint8_t>& b) const {
        return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                                 static_cast<Py_ssize_t>(b.size())));
    }
    Ref operator()(const nuvrel_core::SparseVectorValue& sv) const {
        Ref dict = checked(PyDict_New());
        Ref indices = list_to_py(sv.indices, [](std::uint32_t i) { return checked(PyLong_FromUnsignedLong(i)); });
        if (PyDict_SetItemString(dict.get(), "indices", indices.get()) < 0) throw PythonError{};
        Ref values = list_to_py(sv.values, [](float f) { return float_to_py(f); });
        if (PyDict_SetItemString(dict.get(), "values", values.get()) < 0) throw PythonError{};
        return dict;
    }
    Ref operator()(const std::vector<float>& v) const {
        return list_to_py(v, [](float f) { return float_to_py(f); });
    }
    Ref operator()(const JsonValue& j) const { return json_to_py(j); }
};

// A failure of the interpreter while converting a stored value is raised as
// PanicException.
Ref field_value_to_py(const FieldValue& value) {
    try {
        return std::visit(FieldValueVisitor{}, value);
    } catch (const PythonError&) {
        panic_from_python_error();
    }
}

// The document as a dict keyed by field name: the last value of a repeated
// field wins, ids the schema does not have are skipped.
Ref document_to_py(const Document& document, const Schema& schema) {
    Ref dict = checked(PyDict_New());
    for (const auto& [field, value] : document.field_values) {
        if (field >= schema.fields.size()) continue;
        Ref v = field_value_to_py(value);
        Ref k = str_to_py(schema.fields[field].name);
        if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) throw PythonError{};
    }
    return dict;
}

// ---------------------------------------------------------------------------
// Result merge
// ---------------------------------------------------------------------------

struct GlobalHit {
    std::uint32_t doc;
    float score;
};

// Higher scores first. NaN scores have no place among numbers, so they all go
// after every numeric score, equal among themselves: a strict weak order that
// agrees with plain score-descending order whenever no NaN is involved.
bool ranks_before(const GlobalHit& a, const GlobalHit& b) noexcept {
    const bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
    if (a_nan || b_nan) return !a_nan && b_nan;
    return a.score > b.score;
}

// Stable: equal scores keep their order of arrival (earlier segments first,
// then the segment's own order). Nothing is reserved from `limit`, so any
// limit up to 2^64-1 is safe.
void merge_hits(std::vector<GlobalHit>& hits, std::uint64_t limit) {
    std::stable_sort(hits.begin(), hits.end(), ranks_before);
    if (limit < hits.size()) hits.resize(static_cast<std::size_t>(limit));
}

Ref hits_to_py(const std::vector<GlobalHit>& hits) {
    return list_to_py(hits, [](const GlobalHit& h) {
        Ref doc = checked(PyLong_FromUnsignedLong(h.doc));
        Ref score = float_to_py(static_cast<double>(h.score));
        return checked(PyTuple_Pack(2, doc.get(), score.get()));
    });
}

// ---------------------------------------------------------------------------
// The NuvrelIndex class
// ---------------------------------------------------------------------------

struct NuvrelIndexObject {
    PyObject_HEAD
    engine::IndexPtr index;
    std::shared_ptr<const Schema> schema;
};

PyTypeObject* g_index_type = nullptr;

NuvrelIndexObject* as_index(PyObject* self) { return reinterpret_cast<NuvrelIndexObject*>(self); }

void index_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    NuvrelIndexObject* obj = as_index(self);
    obj->index.~shared_ptr();
    obj->schema.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

[[noreturn]] void raise_runtime_error(std::string_view prefix, const Error& e) {
    raise_with(PyExc_RuntimeError, fmt::format("{}{}", prefix, e.to_string()));
}

// Looks a clause's field up in the schema copy.
engine::TermClause resolve(const Schema& schema, const std::string& field, std::string term) {
    std::optional<Field> id = schema.get_field(field);
    if (!id) raise_with(PyExc_ValueError, fmt::format("Field '{}' not found", field));
    return engine::TermClause{*id, std::move(term)};
}

std::vector<engine::TermClause> resolve_all(const Schema& schema, std::optional<std::vector<StrPair>> pairs) {
    std::vector<engine::TermClause> out;
    if (!pairs) return out;
    for (auto& [field, term] : *pairs) out.push_back(resolve(schema, field, std::move(term)));
    return out;
}

// Searches every segment of one snapshot in order and merges their hits.
Task<Result<std::vector<GlobalHit>>> search_all(engine::IndexPtr index, engine::QueryPtr query,
                                                std::uint64_t limit) {
    std::vector<engine::ReaderPtr> readers = engine::segment_readers(*index);
    std::vector<GlobalHit> merged;
    for (const engine::ReaderPtr& reader : readers) {
        auto hits = co_await engine::search_segment(reader, query, limit);
        if (!hits) co_return std::unexpected(std::move(hits.error()));
        const std::uint32_t base = engine::doc_id_offset(*reader);
        merged.reserve(merged.size() + hits->size());
        for (const engine::Hit& h : *hits) merged.push_back({base + h.doc, h.score});
    }
    merge_hits(merged, limit);
    co_return merged;
}

PyObject* run_search(NuvrelIndexObject* self, engine::QueryPtr query, std::uint64_t limit) {
    Runtime* rt = get_runtime();
    auto result = rt->block_on(search_all(self->index, std::move(query), limit));
    if (!result) raise_runtime_error("Search failed: ", result.error());
    return hits_to_py(*result).release();
}

PyObject* index_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!collect_args("NuvrelIndex.open", std::array{"path"}, args, nargs, kwnames, slots)) return nullptr;
        std::string path = convert_arg("path", [&] { return extract_str(slots[0]); });
        Runtime* rt = get_runtime();
        auto opened = rt->block_on(engine::open_index(std::move(path)));
        if (!opened) raise_runtime_error("Failed to open index: ", opened.error());
        auto schema = std::make_shared<const Schema>(engine::index_schema(**opened));
        PyObject* obj = g_index_type->tp_alloc(g_index_type, 0);
        if (obj == nullptr) return nullptr;
        new (&as_index(obj)->index) engine::IndexPtr(std::move(*opened));
        new (&as_index(obj)->schema) std::shared_ptr<const Schema>(std::move(schema));
        return obj;
    });
}

PyObject* index_num_docs(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        return PyLong_FromUnsignedLong(engine::num_docs(*as_index(self)->index));
    });
}

PyObject* index_num_segments(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        std::size_t n = engine::segment_readers(*as_index(self)->index).size();
        return PyLong_FromUnsignedLongLong(n);
    });
}

PyObject* index_field_names(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        return list_to_py(as_index(self)->schema->fields,
                          [](const nuvrel_core::FieldEntry& e) { return str_to_py(e.name); })
            .release();
    });
}

PyObject* index_get_document(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!collect_args("NuvrelIndex.get_document", std::array{"doc_id"}, args, nargs, kwnames, slots))
            return nullptr;
        std::uint32_t doc_id = convert_arg("doc_id", [&] { return extract_u32(slots[0]); });
        NuvrelIndexObject* obj = as_index(self);
        Runtime* rt = get_runtime();
        auto fetched = rt->block_on(engine::doc(obj->index, doc_id));
        if (!fetched) raise_runtime_error("Failed to get document: ", fetched.error());
        if (!*fetched) Py_RETURN_NONE;
        return document_to_py(**fetched, *obj->schema).release();
    });
}

PyObject* index_search_term(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> slots{};
        if (!collect_args("NuvrelIndex.search_term", std::array{"field", "term", "limit"}, args, nargs, kwnames,
                          slots))
            return nullptr;
        std::string field = convert_arg("field", [&] { return extract_str(slots[0]); });
        std::string term = convert_arg("term", [&] { return extract_str(slots[1]); });
        std::uint64_t limit = convert_arg("limit", [&] { return extract_optional_u64(slots[2]); }).value_or(10);
        NuvrelIndexObject* obj = as_index(self);
        engine::QueryPtr query = engine::term_query(resolve(*obj->schema, field, std::move(term)));
        return run_search(obj, std::move(query), limit);
    });
}

PyObject* index_search_boolean(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 4> slots{};
        if (!collect_args("NuvrelIndex.search_boolean", std::array{"must", "should", "must_not", "limit"}, args,
                          nargs, kwnames, slots))
            return nullptr;
        auto must = convert_arg("must", [&] { return extract_clause_list(slots[0]); });
        auto should = convert_arg("should", [&] { return extract_clause_list(slots[1]); });
        auto must_not = convert_arg("must_not", [&] { return extract_clause_list(slots[2]); });
        std::optional<std::uint64_t> limit = convert_arg("limit", [&] { return extract_optional_u64(slots[3]); });
        NuvrelIndexObject* obj = as_index(self);
        auto must_clauses = resolve_all(*obj->schema, std::move(must));
        auto should_clauses = resolve_all(*obj->schema, std::move(should));
        auto must_not_clauses = resolve_all(*obj->schema, std::move(must_not));
        engine::QueryPtr query = engine::boolean_query(std::move(must_clauses), std::move(should_clauses),
                                                       std::move(must_not_clauses));
        return run_search(obj, std::move(query), limit.value_or(10));
    });
}

PyObject* index_reload(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Runtime* rt = get_runtime();
        auto reloaded = rt->block_on(engine::reload(as_index(self)->index));
        if (!reloaded) raise_runtime_error("Reload failed: ", reloaded.error());
        Py_RETURN_NONE;
    });
}

template <class F>
PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef g_index_methods[] = {
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

PyType_Slot g_index_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for Nuvrel Index (read-only)")},
    {Py_tp_methods, g_index_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {0, nullptr},
};

PyType_Spec g_index_spec = {
    "nuvrel_python.NuvrelIndex",
    static_cast<int>(sizeof(NuvrelIndexObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_index_slots,
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "nuvrel_python",
    "Python module",
    // Not -1: the interpreter then calls the init function again on every
    // fresh import, which hands back the one module of this interpreter and
    // refuses any other interpreter, instead of cloning the module's dict.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;
PyInterpreterState* g_module_interpreter = nullptr;

PyObject* make_module() {
    if (g_module != nullptr) {
        if (PyInterpreterState_Get() != g_module_interpreter) {
            PyErr_SetString(PyExc_ImportError, "PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576");
            return nullptr;
        }
        return Ref::borrow(g_module).release();
    }
    if (g_panic_exception == nullptr) {
        g_panic_exception = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "Raised when the native code of a method fails beyond recovery.\n\n"
            "Like SystemExit, it derives from BaseException, so that ordinary\n"
            "`except Exception` handlers do not swallow it.",
            PyExc_BaseException, nullptr);
        if (g_panic_exception == nullptr) return nullptr;
    }
    Ref module = Ref::steal(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    if (g_index_type == nullptr) {
        g_index_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_index_spec));
        if (g_index_type == nullptr) return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "NuvrelIndex", reinterpret_cast<PyObject*>(g_index_type)) < 0)
        return nullptr;
    g_module = Ref::borrow(module.get()).release();
    g_module_interpreter = PyInterpreterState_Get();
    return module.release();
}

}  // namespace nuvrel_python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_nuvrel_python() {
    return nuvrel_python::guarded([] { return nuvrel_python::make_module(); });
}
