// Argument conversion: buffers to typed views, numbers to 32-bit integers
// and doubles, kernel faults to exceptions.
#include "module/convert.hpp"

#include "module/ref.hpp"

#include <cstring>
#include <type_traits>

namespace orbisect::py {
namespace {

// How an element type of the buffer protocol reads in the error messages.
const char *describe_format(char ch, bool complex) {
    switch (ch) {
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case '?': return "'bool'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'n': return "'Py_ssize_t'";
    case 'N': return "'size_t'";
    case 'e': return "'half'";
    case 'f': return complex ? "'complex float'" : "'float'";
    case 'd': return complex ? "'complex double'" : "'double'";
    case 'g': return complex ? "'complex long double'" : "'long double'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's':
    case 'p': return "a string";
    case 0: return "end";
    default: return "unparsable format string";
    }
}

bool known_format(char ch) { return ch != 0 && std::strchr("cbB?hHiIlLqQnNefdgTOPspZx", ch); }

// Checks the buffer's format against an element of type T.
template <typename T>
bool check_format(const char *format, const char *type_name) {
    const char *f = format ? format : "B";
    char prefix = '@';
    if (*f && std::strchr("@=<>!^", *f)) prefix = *f++;
    if (prefix == '>' || prefix == '!') {
        PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
        return false;
    }
    while (*f >= '0' && *f <= '9') ++f;  // a repeat count of 1 is harmless
    const bool complex = *f == 'Z';
    const char ch = complex ? f[1] : f[0];
    if (!known_format(ch) && ch != 0) {
        PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", ch);
        return false;
    }
    const bool standard = prefix == '=' || prefix == '<';
    bool ok;
    if constexpr (std::is_same_v<T, uint8_t>)
        ok = !complex && (ch == 'B' || ch == '?' || ch == 'c');
    else
        ok = !complex && (ch == 'i' || (ch == 'l' && (standard || sizeof(long) == 4)));
    if (!ok)
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     type_name, "'", describe_format(ch, complex));
    return ok;
}

}  // namespace

template <typename T, int D>
void held_view<T, D>::release() {
    if (held_) {
        PyBuffer_Release(&buffer_);
        held_ = false;
    }
    view_ = {};
}

template <typename T, int D>
bool held_view<T, D>::acquire(PyObject *obj, const char *type_name, layout rule) {
    release();
    if (obj == Py_None) return true;
    const int flags = rule == layout::c_contiguous
                          ? PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE
                          : PyBUF_FULL;
    if (PyObject_GetBuffer(obj, &buffer_, flags) < 0) return false;
    held_ = true;
    const Py_buffer &b = buffer_;
    if (b.ndim != D) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     D, b.ndim);
        release();
        return false;
    }
    if (!check_format<T>(b.format, type_name)) {
        release();
        return false;
    }
    if (b.itemsize != static_cast<Py_ssize_t>(sizeof(T))) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     static_cast<size_t>(b.itemsize), b.itemsize == 1 ? "" : "s", type_name,
                     sizeof(T), sizeof(T) == 1 ? "" : "s");
        release();
        return false;
    }
    int64_t strides[D];
    for (int a = D - 1; a >= 0; --a)
        strides[a] = b.strides ? b.strides[a]
                               : (a == D - 1 ? static_cast<int64_t>(sizeof(T))
                                             : strides[a + 1] * b.shape[a + 1]);
    if (b.len > 0) {
        if (b.suboffsets)
            for (int a = 0; a < D; ++a)
                if (b.suboffsets[a] >= 0) {
                    PyErr_Format(PyExc_ValueError,
                                 "Buffer not compatible with direct access in dimension %d.", a);
                    release();
                    return false;
                }
        if (b.shape[D - 1] > 1 && strides[D - 1] != static_cast<int64_t>(sizeof(T))) {
            PyErr_SetString(PyExc_ValueError,
                            "Buffer and memoryview are not contiguous in the same dimension.");
            release();
            return false;
        }
        if (rule == layout::c_contiguous) {
            int64_t want = sizeof(T);
            for (int a = D - 1; a >= 0; --a) {
                if (b.shape[a] > 1 && strides[a] != want) {
                    PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
                    release();
                    return false;
                }
                want *= b.shape[a];
            }
        }
    }
    view_.data = static_cast<T *>(b.buf);
    for (int a = 0; a < D; ++a) {
        view_.shape[a] = b.shape[a];
        view_.strides[a] = strides[a];
    }
    return true;
}

template class held_view<uint8_t, 1>;
template class held_view<uint8_t, 2>;
template class held_view<uint8_t, 3>;
template class held_view<int32_t, 2>;

bool to_int32(PyObject *obj, int32_t &out) {
    long value;
    if (PyLong_Check(obj)) {
        value = PyLong_AsLong(obj);
    } else {
        PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
        if (!nb || !nb->nb_int) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        ref number(nb->nb_int(obj));
        if (!number) return false;
        if (!PyLong_CheckExact(number.get())) {
            if (!PyLong_Check(number.get())) {
                PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int",
                             "int", Py_TYPE(number.get())->tp_name);
                return false;
            }
            if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                 "__int__ returned non-int (type %.200s).  The ability to return "
                                 "an instance of a strict subclass of int is deprecated, and may "
                                 "be removed in a future version of Python.",
                                 Py_TYPE(number.get())->tp_name) < 0)
                return false;
        }
        value = PyLong_AsLong(number.get());
    }
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int32_t>(value);
    return true;
}

bool to_double(PyObject *obj, double &out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

namespace {

// Whether a type's slot may run Python code: a slot that a class statement
// defined (or overrode, as __buffer__, __int__ or __float__) may; one
// inherited unchanged from a type written in C (a static type) does not.
template <typename Slot>
bool slot_runs_python(PyTypeObject *type, Slot slot) {
    const auto own = slot(type);
    PyTypeObject *base = type;
    while (base && (base->tp_flags & Py_TPFLAGS_HEAPTYPE)) base = base->tp_base;
    return base == nullptr || slot(base) != own;
}

bool export_runs_python(PyObject *obj) {
    if (obj == Py_None) return false;
    return slot_runs_python(Py_TYPE(obj), [](PyTypeObject *t) {
        return t->tp_as_buffer ? t->tp_as_buffer->bf_getbuffer : nullptr;
    });
}

bool int_runs_python(PyObject *obj) {
    if (PyLong_Check(obj)) return false;  // read directly, subclasses too
    return slot_runs_python(Py_TYPE(obj), [](PyTypeObject *t) {
        return t->tp_as_number ? t->tp_as_number->nb_int : nullptr;
    });
}

bool float_runs_python(PyObject *obj) {
    if (PyFloat_Check(obj)) return false;  // read directly, subclasses too
    // The float conversion goes through __float__, or else __index__.
    PyTypeObject *type = Py_TYPE(obj);
    return slot_runs_python(type, [](PyTypeObject *t) {
               return t->tp_as_number ? t->tp_as_number->nb_float : nullptr;
           }) ||
           slot_runs_python(type, [](PyTypeObject *t) {
               return t->tp_as_number ? t->tp_as_number->nb_index : nullptr;
           });
}

}  // namespace

void argument_list::release_all() {
    for (int k = 0; k < count_; ++k) entries_[k].view->release();
}

bool argument_list::view(held_buffer &v, PyObject *obj, const char *type_name, layout rule) {
    const bool runs_python = export_runs_python(obj);
    if (runs_python) release_all();
    if (count_ == max_views) {
        PyErr_SetString(PyExc_SystemError, "too many array arguments");
        return false;
    }
    entries_[count_++] = {&v, obj, type_name, rule, runs_python};
    return v.acquire(obj, type_name, rule);
}

bool argument_list::int32(PyObject *obj, int32_t &out) {
    if (int_runs_python(obj)) release_all();
    return to_int32(obj, out);
}

bool argument_list::real(PyObject *obj, double &out) {
    if (float_runs_python(obj)) release_all();
    return to_double(obj, out);
}

bool argument_list::window(PyObject *obj, lch_bounds &out) {
    // Looking keys up and iterating values can run Python code in any
    // mapping but the plainest; it is not worth telling them apart.
    release_all();
    return to_lch_bounds(obj, out);
}

bool argument_list::finish() {
    int python_exporters = 0;
    for (int k = 0; k < count_; ++k) python_exporters += entries_[k].runs_python;
    if (python_exporters > 1) {
        PyErr_SetString(PyExc_TypeError,
                        "at most one array argument may export its buffer through Python code");
        return false;
    }
    // The one buffer whose export runs Python code first: nothing is held
    // while that code runs.  Taking the others runs none.
    for (int pass = 0; pass < 2; ++pass)
        for (int k = 0; k < count_; ++k) {
            const entry &e = entries_[k];
            if (e.runs_python != (pass == 0) || e.view->held() || e.obj == Py_None) continue;
            if (!e.view->acquire(e.obj, e.type_name, e.rule)) return false;
        }
    return true;
}

PyObject *raise_fault(const fault &f) {
    switch (f.kind) {
    case fault_kind::type: PyErr_SetString(PyExc_TypeError, f.text); break;
    case fault_kind::value: PyErr_SetString(PyExc_ValueError, f.text); break;
    case fault_kind::index:
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", f.axis);
        break;
    case fault_kind::none: break;
    }
    return nullptr;
}

}  // namespace orbisect::py
