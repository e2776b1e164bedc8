// An owned reference to a Python object, released on every path.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orbisect::py {

class ref {
  public:
    ref() = default;
    // Takes over a new reference (or nullptr after a failed call).
    explicit ref(PyObject *p) : p_(p) {}
    ref(const ref &) = delete;
    ref &operator=(const ref &) = delete;
    ref(ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ref &operator=(ref &&o) noexcept {
        if (this != &o) {
            PyObject *old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~ref() { Py_XDECREF(p_); }

    PyObject *get() const { return p_; }
    // Hands the reference to the caller.
    PyObject *release() {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject *p_ = nullptr;
};

// A new reference to a borrowed object (or an empty ref for nullptr).
inline ref borrowed(PyObject *p) { return ref(Py_XNewRef(p)); }

}  // namespace orbisect::py
