// Internal entry points for the test suite, kept out of the public namespace: they live in the
// `_testhooks` attribute of the compiled module, which the package does not re-export.
#pragma once

#include "bindings/pyutil/ref.hpp"

namespace korvane::py {

bool add_test_hooks(PyObject* module);

}  // namespace korvane::py
