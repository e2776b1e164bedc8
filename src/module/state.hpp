// Process-wide objects of the module that the bindings use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orbisect::py {

// Borrowed references, valid once the module's exec step has bound them.
PyObject *numpy_module();      // the module's `np`
PyObject *lch_bounds_class();  // the module's `LCHBounds`

}  // namespace orbisect::py
