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
// it goes out of scope, on every path.  None gives the empty view.  The
// element-independent part is shared, so that a call's arguments can release
// and take their buffers again as one group (see argument_list).
class held_buffer {
  public:
    held_buffer() = default;
    held_buffer(const held_buffer &) = delete;
    held_buffer &operator=(const held_buffer &) = delete;
    virtual ~held_buffer() = default;

    // type_name is the quoted element name of the error messages
    // ("unsigned char", "uchar", "uint8_t" or "int").
    virtual bool acquire(PyObject *obj, const char *type_name, layout rule = layout::inner) = 0;
    virtual void release() = 0;
    bool held() const { return held_; }

  protected:
    Py_buffer buffer_{};
    bool held_ = false;
};

template <typename T, int D>
class held_view final : public held_buffer {
  public:
    held_view() = default;
    ~held_view() override { release(); }

    bool acquire(PyObject *obj, const char *type_name, layout rule = layout::inner) override;
    void release() override;

    const array_view<T, D> &view() const { return view_; }

  private:
    array_view<T, D> view_{};
};

extern template class held_view<uint8_t, 1>;
extern template class held_view<uint8_t, 2>;
extern template class held_view<uint8_t, 3>;
extern template class held_view<int32_t, 2>;

// Converts the arguments of one call in parameter order, so that the first
// argument that fails decides the error, while no Python code runs between
// taking a buffer and the kernel's use of it.  Python code can run inside a
// conversion (a mapping's __getitem__, a number's __int__ or __float__, a
// class's __buffer__) and could free the memory of a buffer already taken
// (ndarray.resize(..., refcheck=False)).  So every conversion that may run
// Python code first releases the buffers taken so far, and finish() takes
// them again, checking them afresh, once nothing is left to convert.  With
// NumPy arrays and plain numbers nothing is released.  A call can hold at
// most one buffer whose export runs Python code (it is taken first); a call
// with more is refused with TypeError.
class argument_list {
  public:
    bool view(held_buffer &v, PyObject *obj, const char *type_name, layout rule = layout::inner);
    bool int32(PyObject *obj, int32_t &out);
    bool real(PyObject *obj, double &out);
    bool window(PyObject *obj, lch_bounds &out);
    // Takes the released buffers again; false with an exception set when one
    // is now refused.
    bool finish();

  private:
    struct entry {
        held_buffer *view;
        PyObject *obj;  // borrowed: the caller's argument outlives the call
        const char *type_name;
        layout rule;
        bool runs_python;
    };
    void release_all();
    static constexpr int max_views = 4;
    entry entries_[max_views] = {};
    int count_ = 0;
};

bool to_int32(PyObject *obj, int32_t &out);
bool to_double(PyObject *obj, double &out);
// Any mapping with the keys "i", "c", "M" (colour subsystem bindings).
bool to_lch_bounds(PyObject *obj, lch_bounds &out);

// Sets the exception for a kernel fault; returns nullptr for convenience.
PyObject *raise_fault(const fault &f);

}  // namespace orbisect::py
