// Conversion of Python arguments to the kernels' typed views and scalars, and
// of kernel faults to exceptions.  Every converter returns false with a
// Python exception set when it refuses its argument.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "colour/lch_bounds.hpp"
#include "core/array_view.hpp"
#include "core/fault.hpp"

namespace orbisect::py {

enum class layout {
    inner,         // innermost axis of unit stride (outer axes any stride)
    c_contiguous,  // the whole array C-contiguous (flag arrays)
};

// Acquires a caller's buffer for the length of one call and releases it when
// it goes out of scope, on every path.  None gives the empty view.
template <typename T, int D>
class held_view {
  public:
    held_view() = default;
    held_view(const held_view &) = delete;
    held_view &operator=(const held_view &) = delete;
    ~held_view() { release(); }

    // type_name is the quoted element name of the error messages
    // ("unsigned char", "uchar", "uint8_t" or "int").
    bool acquire(PyObject *obj, const char *type_name, layout rule = layout::inner);
    void release();

    const array_view<T, D> &view() const { return view_; }

  private:
    Py_buffer buffer_{};
    bool held_ = false;
    array_view<T, D> view_{};
};

extern template class held_view<uint8_t, 1>;
extern template class held_view<uint8_t, 2>;
extern template class held_view<uint8_t, 3>;
extern template class held_view<int32_t, 2>;

bool to_int32(PyObject *obj, int32_t &out);
bool to_double(PyObject *obj, double &out);
// Any mapping with the keys "i", "c", "M" (colour subsystem bindings).
bool to_lch_bounds(PyObject *obj, lch_bounds &out);

// Sets the exception for a kernel fault; returns nullptr for convenience.
PyObject *raise_fault(const fault &f);

}  // namespace orbisect::py
