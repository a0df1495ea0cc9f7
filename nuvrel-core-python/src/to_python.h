// Conversion of what the engine returns to Python objects: stored values,
// documents, field names and ranked hits.
#pragma once

#include <string_view>
#include <vector>

#include "dsl/document.h"
#include "dsl/schema.h"
#include "py_ref.h"
#include "query/collector.h"

namespace nuvrel_python {

Ref str_to_py(std::string_view s);

template <class T, class F>
Ref list_to_py(const std::vector<T>& items, F&& convert) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), convert(items[i]).release());
    return list;
}

// The document as a dict keyed by field name: the last value of a repeated
// field wins, ids the schema does not have are skipped. A failure of the
// interpreter while converting a stored value is a Panic.
Ref document_to_py(const nuvrel_core::Document& document, const nuvrel_core::Schema& schema);

// (document number, score) tuples, the score widened exactly to a float.
Ref hits_to_py(const std::vector<nuvrel_core::SearchResult>& hits);

}  // namespace nuvrel_python
