// orbisect_detect._core: the field detector's native core, private to the
// orbisect_detect package.  One type, Detector, holds a detection core made
// once from the detector's settings; its detect() runs a frame's whole search
// with the interpreter lock released and returns plain tuples.  A few of the
// core's pieces (the border refinement, the disc's saturation, the chord
// candidates, the circle fits) are functions of their own.
#include <atomic>
#include <cmath>
#include <vector>
#include <cstring>
#include <new>

#include "detect/core.hpp"
#include "module/ref.hpp"

namespace orbisect::py {
namespace {

struct core_object {
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
    auto *self = reinterpret_cast<core_object *>(self_obj);
    static const char *names[] = {"field_rgb", "field_bgr", "paint_rgb", "paint_bgr", "grey",
                                  "rows", "columns", "search", "seed", "ball_rgb", "ball_bgr",
                                  "ball_search", "shade_rgb", "shade_bgr", "shaded_paint", nullptr};
    PyObject *field_rgb, *field_bgr, *paint_rgb, *paint_bgr, *seed, *ball_rgb, *ball_bgr;
    PyObject *shade_rgb = Py_None, *shade_bgr = Py_None, *shaded_paint = Py_None;
    int grey_lo, grey_hi, rows, columns;
    int iterations, min_run, min_points, max_lines;
    double tolerance, min_width, max_width, min_support;
    detect::ball_settings b;
    int refine = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO(ii)ii(idddiidi)OOO(ddiddiidddpi)|OOO:Detector",
                                     const_cast<char **>(names), &field_rgb, &field_bgr, &paint_rgb,
                                     &paint_bgr, &grey_lo, &grey_hi, &rows, &columns, &iterations,
                                     &tolerance, &min_width, &max_width, &min_run, &min_points,
                                     &min_support, &max_lines, &seed, &ball_rgb, &ball_bgr, &b.min_r,
                                     &b.max_r, &b.iterations, &b.tolerance, &b.min_support, &b.candidates,
                                     &b.min_run, &b.min_saturation, &b.max_ellipticity, &b.cut_support, &refine,
                                     &b.max_balls, &shade_rgb, &shade_bgr, &shaded_paint))
        return -1;
    b.refine = refine != 0;
    detect::core_settings s;
    if (!to_window(field_rgb, s.field[0], "field_rgb") || !to_window(field_bgr, s.field[1], "field_bgr") ||
        !to_paint(paint_rgb, grey_lo, grey_hi, s.paint[0]) || !to_paint(paint_bgr, grey_lo, grey_hi, s.paint[1]) ||
        !to_window(ball_rgb, s.ball_window[0], "ball_rgb") || !to_window(ball_bgr, s.ball_window[1], "ball_bgr"))
        return -1;
    if ((shade_rgb == Py_None) != (shade_bgr == Py_None)) {
        PyErr_SetString(PyExc_ValueError, "shade_rgb and shade_bgr must both be windows or both None");
        return -1;
    }
    if (shade_rgb != Py_None) {
        if (!to_window(shade_rgb, s.shade[0], "shade_rgb") || !to_window(shade_bgr, s.shade[1], "shade_bgr"))
            return -1;
        s.shaded = true;
    }
    if (shaded_paint != Py_None) {
        // (windows for RGB frames, for BGR frames, grey_lo, grey_hi)
        PyObject *rgb, *bgr;
        int lo, hi;
        if (!PyArg_ParseTuple(shaded_paint, "OOii:shaded_paint", &rgb, &bgr, &lo, &hi) ||
            !to_paint(rgb, lo, hi, s.shaded_paint[0]) || !to_paint(bgr, lo, hi, s.shaded_paint[1]))
            return -1;
        s.paint_in_shade = true;
    }
    s.rows = rows;
    s.columns = columns;
    s.lines = {iterations, tolerance, min_width, max_width, min_run, min_points, min_support, max_lines};
    s.ball = b;
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
        PyErr_SetString(PyExc_RuntimeError, "this detector is in use by another thread");
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
    auto *self = reinterpret_cast<core_object *>(obj);
    self->core = nullptr;
    new (&self->busy) std::atomic<bool>(false);
    return obj;
}

void finder_dealloc(PyObject *obj) {
    auto *self = reinterpret_cast<core_object *>(obj);
    PyTypeObject *type = Py_TYPE(obj);
    delete self->core;
    self->core = nullptr;
    type->tp_free(obj);
    Py_DECREF(type);
}

// A buffer's item format without its native or little-endian prefix ("B"
// when it gives none).
const char *item_format(const Py_buffer &b) {
    const char *format = b.format ? b.format : "B";
    return *format == '@' || *format == '=' || *format == '<' ? format + 1 : format;
}

// The frame as a read-only strided view: (H, W, 3) bytes, channels adjacent.
bool frame_view(PyObject *frame, Py_buffer &buf, image_view &view) {
    if (PyObject_GetBuffer(frame, &buf, PyBUF_RECORDS_RO) < 0) return false;
    const char *format = item_format(buf);
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

PyObject *ball_tuple(const detect::found_ball &b) { return Py_BuildValue("(dddd)", b.x, b.y, b.r, b.support); }

template <class T, class F>
PyObject *tuple_of(const std::vector<T> &items, F make) {
    ref out(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!out) return nullptr;
    for (size_t k = 0; k < items.size(); ++k) {
        PyObject *t = make(items[k]);
        if (!t) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), t);
    }
    return out.release();
}

// detect(frame, bgr, diagnostics) -> (balls, lines, key, (scan, ball, lines
// seconds), notes, runs): notes (x, y, r, support, verdict) and the ball's
// runs (int32 x, y pairs as bytes) are None without diagnostics.
PyObject *core_detect(PyObject *self_obj, PyObject *const *args, Py_ssize_t nargs) {
    auto *self = reinterpret_cast<core_object *>(self_obj);
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "detect() takes a frame, a flag bgr and a flag diagnostics");
        return nullptr;
    }
    if (!self->core) {
        PyErr_SetString(PyExc_RuntimeError, "Detector was not initialised");
        return nullptr;
    }
    const int bgr = PyObject_IsTrue(args[1]);
    if (bgr < 0) return nullptr;
    const int diagnostics = PyObject_IsTrue(args[2]);
    if (diagnostics < 0) return nullptr;
    Py_buffer buf;
    image_view view;
    if (!frame_view(args[0], buf, view)) return nullptr;
    if (self->busy.exchange(true)) {
        PyBuffer_Release(&buf);
        PyErr_SetString(PyExc_RuntimeError,
                        "this detector is in use by another thread; use one detector per thread");
        return nullptr;
    }
    detect::frame_detection result;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        self->core->detect(view, bgr != 0, diagnostics != 0, result);
    } catch (const std::bad_alloc &) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    self->busy.store(false);
    PyBuffer_Release(&buf);
    if (no_memory) return PyErr_NoMemory();
    ref balls(tuple_of(result.balls, ball_tuple));
    if (!balls) return nullptr;
    ref lines(tuple_of(result.lines, line_tuple));
    if (!lines) return nullptr;
    ref notes, runs;
    if (diagnostics) {
        notes = ref(tuple_of(result.notes, [](const detect::ball_note &n) {
            return Py_BuildValue("(ddddi)", n.ball.x, n.ball.y, n.ball.r, n.ball.support,
                                 static_cast<int>(n.what));
        }));
        if (!notes) return nullptr;
        runs = ref(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(result.ball_runs.data()),
                                             static_cast<Py_ssize_t>(result.ball_runs.size() * sizeof(int32_t))));
        if (!runs) return nullptr;
    } else {
        notes = borrowed(Py_None);
        runs = borrowed(Py_None);
    }
    return Py_BuildValue("(OOK(ddd)OO)", balls.get(), lines.get(), static_cast<unsigned long long>(result.key),
                         result.scan_seconds, result.ball_seconds, result.line_seconds, notes.get(), runs.get());
}

// A 1-D float64 buffer (any strides), copied out.
bool doubles_of(PyObject *obj, const char *what, std::vector<double> &out) {
    Py_buffer b;
    if (PyObject_GetBuffer(obj, &b, PyBUF_RECORDS_RO) < 0) return false;
    const char *format = item_format(b);
    if (b.ndim != 1 || b.itemsize != 8 || std::strcmp(format, "d") != 0) {
        PyBuffer_Release(&b);
        PyErr_Format(PyExc_ValueError, "%s must be a 1-D float64 array", what);
        return false;
    }
    out.resize(static_cast<size_t>(b.shape[0]));
    for (Py_ssize_t k = 0; k < b.shape[0]; ++k)
        std::memcpy(&out[static_cast<size_t>(k)], static_cast<const char *>(b.buf) + k * b.strides[0], 8);
    PyBuffer_Release(&b);
    return true;
}

// fit_circle(xs, ys, cx, cy, r, iterations) -> (cx, cy, r)
PyObject *py_fit_circle(PyObject *, PyObject *args) {
    PyObject *xo, *yo;
    double cx, cy, r;
    int iterations;
    if (!PyArg_ParseTuple(args, "OOdddi:fit_circle", &xo, &yo, &cx, &cy, &r, &iterations)) return nullptr;
    std::vector<double> xs, ys;
    if (!doubles_of(xo, "x", xs) || !doubles_of(yo, "y", ys)) return nullptr;
    if (xs.size() != ys.size() || xs.size() > INT32_MAX || iterations < 0 || iterations > 1000) {
        PyErr_SetString(PyExc_ValueError, "x and y must have one length; iterations from 0 to 1000");
        return nullptr;
    }
    detect::gauss_newton(xs.data(), ys.data(), nullptr, static_cast<int32_t>(xs.size()), cx, cy, r, iterations);
    return Py_BuildValue("(ddd)", cx, cy, r);
}

// fit_circle_algebraic(xs, ys) -> (cx, cy, r) or None
PyObject *py_fit_circle_algebraic(PyObject *, PyObject *args) {
    PyObject *xo, *yo;
    if (!PyArg_ParseTuple(args, "OO:fit_circle_algebraic", &xo, &yo)) return nullptr;
    std::vector<double> xs, ys;
    if (!doubles_of(xo, "x", xs) || !doubles_of(yo, "y", ys)) return nullptr;
    if (xs.size() != ys.size() || xs.size() > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "x and y must have one length");
        return nullptr;
    }
    double cx, cy, r;
    if (!detect::fit_circle_algebraic(xs.data(), ys.data(), static_cast<int32_t>(xs.size()), cx, cy, r))
        Py_RETURN_NONE;
    return Py_BuildValue("(ddd)", cx, cy, r);
}

// refine_circle_border(frame, cx, cy, r, bgr, rays, rounds, min_rays, window or None)
//   -> (x, y, r, rays, rms, ellipticity, coverage)
PyObject *py_refine_circle_border(PyObject *, PyObject *args) {
    PyObject *frame, *window_obj;
    double cx, cy, r;
    int bgr;
    detect::border_options o;
    if (!PyArg_ParseTuple(args, "OdddpiiiO:refine_circle_border", &frame, &cx, &cy, &r, &bgr, &o.rays,
                          &o.rounds, &o.min_rays, &window_obj))
        return nullptr;
    if (o.rays < 0 || o.rays > detect::max_border_rays || o.rounds < 0 || o.rounds > detect::max_border_rounds) {
        PyErr_Format(PyExc_ValueError, "rays must be from 1 to %d (0: by the radius), rounds from 0 to %d",
                     static_cast<int>(detect::max_border_rays), static_cast<int>(detect::max_border_rounds));
        return nullptr;
    }
    lch_bounds window;
    if (window_obj != Py_None) {
        if (!to_window(window_obj, window, "window")) return nullptr;
        o.window = &window;
    }
    o.bgr = bgr != 0;
    Py_buffer buf;
    image_view view;
    if (!frame_view(frame, buf, view)) return nullptr;
    detect::border_fit fit;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        detect::border_scratch scratch;
        fit = detect::refine_circle_border(view, cx, cy, r, o, scratch);
    } catch (const std::bad_alloc &) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&buf);
    if (no_memory) return PyErr_NoMemory();
    return Py_BuildValue("(dddiddd)", fit.x, fit.y, fit.r, static_cast<int>(fit.rays), fit.rms, fit.ellipticity,
                         fit.coverage);
}

// disc_saturation(frame, cx, cy, r) -> float
PyObject *py_disc_saturation(PyObject *, PyObject *args) {
    PyObject *frame;
    double cx, cy, r;
    if (!PyArg_ParseTuple(args, "Oddd:disc_saturation", &frame, &cx, &cy, &r)) return nullptr;
    Py_buffer buf;
    image_view view;
    if (!frame_view(frame, buf, view)) return nullptr;
    const double sat = detect::disc_saturation(view, cx, cy, r);
    PyBuffer_Release(&buf);
    return PyFloat_FromDouble(sat);
}

// chord_candidates(runs, width, height, min_r, max_r, agree, count)
//   -> ((x, y, r, votes), ...); runs an (n, 2) int32 array.
PyObject *py_chord_candidates(PyObject *, PyObject *args) {
    PyObject *runs;
    Py_ssize_t width, height;
    double min_r, max_r, agree;
    int count;
    if (!PyArg_ParseTuple(args, "Onndddi:chord_candidates", &runs, &width, &height, &min_r, &max_r, &agree, &count))
        return nullptr;
    Py_buffer b;
    if (PyObject_GetBuffer(runs, &b, PyBUF_RECORDS_RO) < 0) return nullptr;
    const char *format = item_format(b);
    if (b.ndim != 2 || b.itemsize != 4 || (std::strcmp(format, "i") != 0 && std::strcmp(format, "l") != 0) ||
        b.shape[1] < 2 || b.shape[0] > INT32_MAX) {
        PyBuffer_Release(&b);
        PyErr_SetString(PyExc_ValueError, "runs must be an (n, 2) int32 array");
        return nullptr;
    }
    points_view ps;
    ps.data = static_cast<int32_t *>(b.buf);
    ps.shape[0] = b.shape[0];
    ps.shape[1] = b.shape[1];
    ps.strides[0] = b.strides[0];
    ps.strides[1] = b.strides[1];
    std::vector<detect::chord_circle> out;
    bool no_memory = false;
    try {
        detect::chord_candidates(ps, static_cast<int32_t>(b.shape[0]), width, height, min_r, max_r, agree,
                                 std::max(count, 0), out);
    } catch (const std::bad_alloc &) {
        no_memory = true;
    }
    PyBuffer_Release(&b);
    if (no_memory) return PyErr_NoMemory();
    return tuple_of(out, [](const detect::chord_circle &c) {
        return Py_BuildValue("(dddi)", c.x, c.y, c.r, static_cast<int>(c.votes));
    });
}

PyMethodDef core_functions[] = {
    {"fit_circle", py_fit_circle, METH_VARARGS, "fit_circle(x, y, cx, cy, r, iterations) -> (cx, cy, r)"},
    {"fit_circle_algebraic", py_fit_circle_algebraic, METH_VARARGS, "fit_circle_algebraic(x, y) -> (cx, cy, r) or None"},
    {"refine_circle_border", py_refine_circle_border, METH_VARARGS,
     "refine_circle_border(frame, cx, cy, r, bgr, rays, rounds, min_rays, window) -> (x, y, r, rays, rms, ellipticity, coverage)"},
    {"disc_saturation", py_disc_saturation, METH_VARARGS, "disc_saturation(frame, cx, cy, r) -> float"},
    {"chord_candidates", py_chord_candidates, METH_VARARGS,
     "chord_candidates(runs, width, height, min_r, max_r, agree, count) -> ((x, y, r, votes), ...)"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef finder_methods[] = {
    {"detect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(core_detect)), METH_FASTCALL,
     "detect(frame, bgr, diagnostics) -> (balls, lines, key, seconds, notes, runs)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot finder_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(finder_new)},
    {Py_tp_init, reinterpret_cast<void *>(finder_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(finder_dealloc)},
    {Py_tp_methods, finder_methods},
    {Py_tp_doc, const_cast<char *>("The native search of one detector (one thread at a time).")},
    {0, nullptr},
};

PyType_Spec finder_spec = {
    "orbisect_detect._core.Detector",
    sizeof(core_object),
    0,
    Py_TPFLAGS_DEFAULT,
    finder_slots,
};

int core_exec(PyObject *module) {
    PyObject *type = PyType_FromModuleAndSpec(module, &finder_spec, nullptr);
    if (!type) return -1;
    if (PyModule_AddObjectRef(module, "Detector", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    Py_DECREF(type);
    if (PyModule_AddIntConstant(module, "MAX_SCAN_LINES", detect::max_scan_lines) < 0 ||
        PyModule_AddIntConstant(module, "MAX_SCAN_POINTS", static_cast<long>(detect::max_scan_points)) < 0 ||
        PyModule_AddIntConstant(module, "MAX_GAPS", detect::max_gaps) < 0 ||
        PyModule_AddIntConstant(module, "MAX_BORDERS", detect::max_borders) < 0 ||
        PyModule_AddIntConstant(module, "MAX_CHORDS", detect::max_chords) < 0 ||
        PyModule_AddIntConstant(module, "MAX_PROPOSALS", detect::max_proposals) < 0 ||
        PyModule_AddIntConstant(module, "MAX_DENSE_LINES", detect::max_dense_lines) < 0 ||
        PyModule_AddIntConstant(module, "MAX_BALLS", detect::max_ball_count) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(core_exec)},
    {0, nullptr},
};

PyModuleDef core_def = {
    PyModuleDef_HEAD_INIT, "orbisect_detect._core", "The field detector's native core (private).", 0,
    core_functions, core_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace orbisect::py

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&orbisect::py::core_def); }
