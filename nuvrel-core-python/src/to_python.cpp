#include "to_python.h"

#include <cstdint>
#include <limits>
#include <string>
#include <variant>

#include "errors.h"

namespace nuvrel_python {

using nuvrel_core::FieldValue;
using nuvrel_core::JsonValue;

Ref str_to_py(std::string_view s) {
    return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

namespace {

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
// PanicException, with the interpreter's message.
Ref field_value_to_py(const FieldValue& value) {
    try {
        return std::visit(FieldValueVisitor{}, value);
    } catch (const PythonError&) {
        throw Panic{take_exception_text()};
    }
}

}  // namespace

Ref document_to_py(const nuvrel_core::Document& document, const nuvrel_core::Schema& schema) {
    Ref dict = checked(PyDict_New());
    for (const auto& [field, value] : document.field_values) {
        if (field >= schema.fields.size()) continue;
        Ref v = field_value_to_py(value);
        Ref k = str_to_py(schema.fields[field].name);
        if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) throw PythonError{};
    }
    return dict;
}

Ref hits_to_py(const std::vector<nuvrel_core::SearchResult>& hits) {
    return list_to_py(hits, [](const nuvrel_core::SearchResult& h) {
        Ref doc = checked(PyLong_FromUnsignedLong(h.doc_id));
        Ref score = float_to_py(static_cast<double>(h.score));
        return checked(PyTuple_Pack(2, doc.get(), score.get()));
    });
}

}  // namespace nuvrel_python
