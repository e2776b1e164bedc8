// Traceback entries that name the module's function an error passed through.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>

namespace orbisect::py {

// Adds the entry "orbisect.<name>" (or `name` itself when qualify is false)
// to the traceback of the exception being raised.
inline void add_traceback_entry(const char *name, bool qualify) {
    if (!PyErr_Occurred()) return;
    char entry[128];
    std::snprintf(entry, sizeof entry, qualify ? "orbisect.%s" : "%s", name);
    _PyTraceback_Add(entry, "orbisect", 0);
}

}  // namespace orbisect::py
