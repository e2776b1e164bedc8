// orbisect_detect._core: the field detector's native core, private to the
// orbisect_detect package.  One type, LineFinder, holds a detection core made
// once from the detector's settings; its find() runs a frame's native work
// with the interpreter lock released and returns plain tuples.
#include <atomic>
#include <cstring>
#include <new>

#include "detect/core.hpp"
#include "module/ref.hpp"

namespace orbisect::py {
namespace {

struct line_finder {
    PyObject_HEAD
    detect::detection_core *core;
    std::atomic<bool> busy;
};

// The 13 integers (i0, i1, c0, c1, M0 .. M8) of a compiled window.
bool to_window(PyObject *obj, lch_bounds &out, const char *what) {
    ref seq(PySequence_Fast(obj, "window must be a sequence"));
    if (!seq) return false;
    if (PySequence_Fast_GET_SIZE(seq.get()) != 13) {
        PyErr_Format(PyExc_ValueError, "%s must hold 13 integers (i, c, M)", what);
        return false;
    }
    int32_t v[13];
    for (int k = 0; k < 13; ++k) {
        const long x = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq.get(), k));
        if (x == -1 && PyErr_Occurred()) return false;
        if (x < INT32_MIN || x > INT32_MAX) {
            PyErr_Format(PyExc_OverflowError, "%s: value does not fit 32 bits", what);
            return false;
        }
        v[k] = static_cast<int32_t>(x);
    }
    out.i[0] = v[0];
    out.i[1] = v[1];
    out.c[0] = v[2];
    out.c[1] = v[3];
    for (int k = 0; k < 9; ++k) out.M[k] = v[4 + k];
    return true;
}

bool to_paint(PyObject *obj, int32_t grey_lo, int32_t grey_hi, detect::paint_colour &out) {
    ref seq(PySequence_Fast(obj, "paint windows must be a sequence"));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n < 1 || n > detect::max_paint_windows) {
        PyErr_SetString(PyExc_ValueError, "line_windows must hold from 1 to 8 windows");
        return false;
    }
    out.count = static_cast<int>(n);
    out.grey_lo = grey_lo;
    out.grey_hi = grey_hi;
    for (Py_ssize_t k = 0; k < n; ++k)
        if (!to_window(PySequence_Fast_GET_ITEM(seq.get(), k), out.windows[k], "a paint window"))
            return false;
    return true;
}

int finder_init(PyObject *self_obj, PyObject *args, PyObject *kwargs) {
    auto *self = reinterpret_cast<line_finder *>(self_obj);
    static const char *names[] = {"field_rgb", "field_bgr", "paint_rgb", "paint_bgr", "grey",
                                  "rows", "columns", "search", "seed", nullptr};
    PyObject *field_rgb, *field_bgr, *paint_rgb, *paint_bgr, *seed;
    int grey_lo, grey_hi, rows, columns;
    int iterations, min_run, min_points, max_lines;
    double tolerance, min_width, max_width, min_support;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO(ii)ii(idddiidi)O:LineFinder",
                                     const_cast<char **>(names), &field_rgb, &field_bgr, &paint_rgb,
                                     &paint_bgr, &grey_lo, &grey_hi, &rows, &columns, &iterations,
                                     &tolerance, &min_width, &max_width, &min_run, &min_points,
                                     &min_support, &max_lines, &seed))
        return -1;
    detect::core_settings s;
    if (!to_window(field_rgb, s.field[0], "field_rgb") || !to_window(field_bgr, s.field[1], "field_bgr") ||
        !to_paint(paint_rgb, grey_lo, grey_hi, s.paint[0]) || !to_paint(paint_bgr, grey_lo, grey_hi, s.paint[1]))
        return -1;
    s.rows = rows;
    s.columns = columns;
    s.lines = {iterations, tolerance, min_width, max_width, min_run, min_points, min_support, max_lines};
    if (seed != Py_None) {
        // Any int: its low 64 bits (two's complement).
        const unsigned long long v = PyLong_AsUnsignedLongLongMask(seed);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        s.seeded = true;
        s.seed = v;
    }
    if (fault f = detect::check_settings(s)) {
        PyErr_SetString(PyExc_ValueError, f.text);
        return -1;
    }
    if (self->busy.load()) {
        PyErr_SetString(PyExc_RuntimeError, "LineFinder is in use by another thread");
        return -1;
    }
    try {
        auto *core = new detect::detection_core(s);
        delete self->core;
        self->core = core;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

PyObject *finder_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    auto *self = reinterpret_cast<line_finder *>(obj);
    self->core = nullptr;
    new (&self->busy) std::atomic<bool>(false);
    return obj;
}

void finder_dealloc(PyObject *obj) {
    auto *self = reinterpret_cast<line_finder *>(obj);
    PyTypeObject *type = Py_TYPE(obj);
    delete self->core;
    self->core = nullptr;
    type->tp_free(obj);
    Py_DECREF(type);
}

// The frame as a read-only strided view: (H, W, 3) bytes, channels adjacent.
bool frame_view(PyObject *frame, Py_buffer &buf, image_view &view) {
    if (PyObject_GetBuffer(frame, &buf, PyBUF_RECORDS_RO) < 0) return false;
    const char *format = buf.format ? buf.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    const char *problem = nullptr;
    if (buf.ndim != 3)
        problem = "frame must have 3 dimensions (H, W, 3)";
    else if (buf.itemsize != 1 || (std::strcmp(format, "B") != 0 && std::strcmp(format, "?") != 0))
        problem = "frame must hold unsigned bytes (uint8)";
    else if (buf.shape[2] != 3)
        problem = "frame must have 3 channels (last axis of extent 3)";
    else if (buf.shape[0] < 1 || buf.shape[1] < 1 || buf.shape[0] > INT32_MAX || buf.shape[1] > INT32_MAX)
        problem = "frame must have from 1 to 2147483647 rows and columns";
    else if (buf.strides[2] != 1)
        problem = "frame's channels must be adjacent (stride 1 on the last axis)";
    if (problem) {
        PyBuffer_Release(&buf);
        PyErr_SetString(PyExc_ValueError, problem);
        return false;
    }
    view.data = static_cast<uint8_t *>(buf.buf);
    for (int a = 0; a < 3; ++a) {
        view.shape[a] = buf.shape[a];
        view.strides[a] = buf.strides[a];
    }
    return true;
}

PyObject *line_tuple(const detect::found_line &l) {
    return Py_BuildValue("(dddddd)", l.x0, l.y0, l.x1, l.y1, l.width, l.support);
}

PyObject *finder_find(PyObject *self_obj, PyObject *const *args, Py_ssize_t nargs) {
    auto *self = reinterpret_cast<line_finder *>(self_obj);
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "find() takes a frame and a flag bgr");
        return nullptr;
    }
    if (!self->core) {
        PyErr_SetString(PyExc_RuntimeError, "LineFinder was not initialised");
        return nullptr;
    }
    const int bgr = PyObject_IsTrue(args[1]);
    if (bgr < 0) return nullptr;
    Py_buffer buf;
    image_view view;
    if (!frame_view(args[0], buf, view)) return nullptr;
    if (self->busy.exchange(true)) {
        PyBuffer_Release(&buf);
        PyErr_SetString(PyExc_RuntimeError,
                        "this detector is in use by another thread; use one detector per thread");
        return nullptr;
    }
    detect::frame_lines result;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        self->core->find_lines(view, bgr != 0, result);
    } catch (const std::bad_alloc &) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    self->busy.store(false);
    PyBuffer_Release(&buf);
    if (no_memory) return PyErr_NoMemory();
    ref lines(PyTuple_New(static_cast<Py_ssize_t>(result.lines.size())));
    if (!lines) return nullptr;
    for (size_t k = 0; k < result.lines.size(); ++k) {
        PyObject *t = line_tuple(result.lines[k]);
        if (!t) return nullptr;
        PyTuple_SET_ITEM(lines.get(), static_cast<Py_ssize_t>(k), t);
    }
    return Py_BuildValue("(OKdd)", lines.get(), static_cast<unsigned long long>(result.key),
                         result.scan_seconds, result.line_seconds);
}

PyMethodDef finder_methods[] = {
    {"find", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(finder_find)), METH_FASTCALL,
     "find(frame, bgr) -> (lines, key, scan_seconds, line_seconds)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot finder_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(finder_new)},
    {Py_tp_init, reinterpret_cast<void *>(finder_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(finder_dealloc)},
    {Py_tp_methods, finder_methods},
    {Py_tp_doc, const_cast<char *>("The native line search of one detector (one thread at a time).")},
    {0, nullptr},
};

PyType_Spec finder_spec = {
    "orbisect_detect._core.LineFinder",
    sizeof(line_finder),
    0,
    Py_TPFLAGS_DEFAULT,
    finder_slots,
};

int core_exec(PyObject *module) {
    PyObject *type = PyType_FromModuleAndSpec(module, &finder_spec, nullptr);
    if (!type) return -1;
    if (PyModule_AddObjectRef(module, "LineFinder", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    Py_DECREF(type);
    if (PyModule_AddIntConstant(module, "MAX_SCAN_LINES", detect::max_scan_lines) < 0 ||
        PyModule_AddIntConstant(module, "MAX_SCAN_POINTS", static_cast<long>(detect::max_scan_points)) < 0 ||
        PyModule_AddIntConstant(module, "MAX_GAPS", detect::max_gaps) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(core_exec)},
    {0, nullptr},
};

PyModuleDef core_def = {
    PyModuleDef_HEAD_INIT, "orbisect_detect._core", "The field detector's native core (private).", 0,
    nullptr, core_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace orbisect::py

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&orbisect::py::core_def); }
