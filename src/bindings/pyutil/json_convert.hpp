// Python objects to and from the JSON value model, so dict arguments and JSON text share one
// record reader.
#pragma once

#include "bindings/pyutil/ref.hpp"
#include "common/json.hpp"

namespace korvane::py {

// dict (str keys, in insertion order), list/tuple, str, bool, int, float, None, and NumPy
// scalars through their number protocol. Anything else is a TypeError naming its type; nesting
// deeper than the JSON reader allows is a ValueError. Returns false with the exception set.
bool to_json_value(PyObject* object, json::Value& out);

// dicts, lists, str, bool, int, float, None.
PyObject* from_json_value(const json::Value& value);

}  // namespace korvane::py
