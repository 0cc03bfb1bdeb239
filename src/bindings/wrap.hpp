// Every conversion of a core record into its Python object, and lists of them.
#pragma once

#include <iterator>

#include "bindings/category_results.hpp"
#include "bindings/core_types.hpp"
#include "bindings/pyutil/ref.hpp"
#include "bindings/query_results.hpp"

namespace korvane::py {

// A new list of wrapped records, in order.
template <class Items>
PyObject* wrap_list(const Items& items) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* object = wrap(item);
        if (!object) return nullptr;
        PyList_SET_ITEM(list.get(), i++, object);
    }
    return list.release();
}

}  // namespace korvane::py
