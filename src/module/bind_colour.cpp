// Bindings of the colour-window functions: the two pixel kernels, their
// Python-level front ends, and the NumPy-level window computation and tests.
// The NumPy-level functions call NumPy through its Python objects, step by
// step, so their results are NumPy's own.
#include <initializer_list>
#include <utility>

#include "colour/window.hpp"
#include "module/convert.hpp"
#include "module/function.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"

namespace orbisect::py {
namespace {

// Every helper below takes only objects that exist (checked by its caller)
// and returns an empty ref with the exception set when its one call fails;
// the functions check each step before the next, so nothing is ever called
// while an exception is pending.
#define TRY(expr)                    \
    do {                             \
        if (!(expr)) return nullptr; \
    } while (0)

ref integer(long v) { return ref(PyLong_FromLong(v)); }

// obj[index]
ref item(PyObject *obj, long index) {
    ref k = integer(index);
    if (!k) return {};
    return ref(PyObject_GetItem(obj, k.get()));
}

ref attr(PyObject *obj, const char *name) { return ref(PyObject_GetAttrString(obj, name)); }

// f(args...)
ref call(PyObject *f, std::initializer_list<PyObject *> args) {
    PyObject *argv[4];
    size_t n = 0;
    for (PyObject *a : args) argv[n++] = a;
    return ref(PyObject_Vectorcall(f, argv, n, nullptr));
}

// np.<name>(args...)
ref np_call(const char *name, std::initializer_list<PyObject *> args) {
    ref f = attr(numpy_module(), name);
    if (!f) return {};
    return call(f.get(), args);
}

// obj.<name>(args...)
ref method(PyObject *obj, const char *name, std::initializer_list<PyObject *> args) {
    ref f = attr(obj, name);
    if (!f) return {};
    return call(f.get(), args);
}

// obj.astype(np.<dtype>)
ref astype(PyObject *obj, const char *dtype) {
    ref type = attr(numpy_module(), dtype);
    if (!type) return {};
    return method(obj, "astype", {type.get()});
}

// obj.reshape(a, b)
ref reshape2(PyObject *obj, long a, long b) {
    ref ra = integer(a), rb = integer(b);
    if (!ra || !rb) return {};
    return method(obj, "reshape", {ra.get(), rb.get()});
}

using binary_fn = PyObject *(*)(PyObject *, PyObject *);
ref binop(binary_fn op, PyObject *a, PyObject *b) { return ref(op(a, b)); }

ref list_of(std::initializer_list<PyObject *> items) {
    ref l(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!l) return {};
    Py_ssize_t k = 0;
    for (PyObject *p : items) PyList_SET_ITEM(l.get(), k++, Py_NewRef(p));
    return l;
}

// np.array([[a, b, c], [d, e, f], [g, h, i]])
ref matrix3(std::initializer_list<PyObject *> values) {
    PyObject *v[9];
    size_t n = 0;
    for (PyObject *p : values) v[n++] = p;
    ref r0 = list_of({v[0], v[1], v[2]});
    if (!r0) return {};
    ref r1 = list_of({v[3], v[4], v[5]});
    if (!r1) return {};
    ref r2 = list_of({v[6], v[7], v[8]});
    if (!r2) return {};
    ref rows = list_of({r0.get(), r1.get(), r2.get()});
    if (!rows) return {};
    return np_call("array", {rows.get()});
}

// M, i, c = bounds: a tuple or list by index, anything else by iteration,
// with the unpacking errors of the language's older wording.
bool unpack_three(PyObject *bounds, ref (&out)[3]) {
    auto too_many = [] {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{3});
        return false;
    };
    auto too_few = [](Py_ssize_t found) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                     found == 1 ? "" : "s");
        return false;
    };
    if (PyTuple_CheckExact(bounds) || PyList_CheckExact(bounds)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(bounds);
        if (n > 3) return too_many();
        if (n < 3) return too_few(n);
        for (int k = 0; k < 3; ++k) out[k] = borrowed(PySequence_Fast_GET_ITEM(bounds, k));
        return true;
    }
    ref it(PyObject_GetIter(bounds));
    if (!it) return false;
    for (int k = 0; k < 3; ++k) {
        out[k] = ref(PyIter_Next(it.get()));
        if (!out[k]) return PyErr_Occurred() ? false : too_few(k);
    }
    ref extra(PyIter_Next(it.get()));
    if (extra) return too_many();
    return !PyErr_Occurred();
}

// The Python int nearest to x * scale, ties to even (the language's round()).
ref scaled_round(PyObject *x, PyObject *scale) {
    ref product = binop(PyNumber_Multiply, x, scale);
    if (!product) return {};
    PyObject *builtins = PyEval_GetBuiltins();
    PyObject *round = builtins ? PyDict_GetItemString(builtins, "round") : nullptr;
    if (!round) {
        PyErr_SetString(PyExc_NameError, "name 'round' is not defined");
        return {};
    }
    ref r(PyObject_CallOneArg(round, product.get()));
    if (!r || PyLong_CheckExact(r.get())) return r;
    return ref(PyNumber_Long(r.get()));
}

// a > b (op Py_GT) or a < b (Py_LT), and-ed into mask (or starting it).
bool and_compare(ref &mask, PyObject *a, PyObject *b, int op) {
    ref test(PyObject_RichCompare(a, b, op));
    if (!test) return false;
    if (!mask) {
        mask = std::move(test);
        return true;
    }
    mask = binop(PyNumber_And, mask.get(), test.get());
    return static_cast<bool>(mask);
}

// The window test of (h0, h1, t) with NumPy operators, every condition
// evaluated: ((h0 > 0) & (h1 > 0)) & (t > i[0]) & (t < i[1]), then
// & (h0 + h1 < c[1]), then & (h0 + h1 > c[0]).
ref window_test(PyObject *h0, PyObject *h1, PyObject *t, PyObject *i, PyObject *c) {
    ref zero = integer(0);
    if (!zero) return {};
    ref mask;
    if (!and_compare(mask, h0, zero.get(), Py_GT) || !and_compare(mask, h1, zero.get(), Py_GT))
        return {};
    ref i0 = item(i, 0);
    if (!i0 || !and_compare(mask, t, i0.get(), Py_GT)) return {};
    ref i1 = item(i, 1);
    if (!i1 || !and_compare(mask, t, i1.get(), Py_LT)) return {};
    ref sum = binop(PyNumber_Add, h0, h1);
    if (!sum) return {};
    ref c1 = item(c, 1);
    if (!c1 || !and_compare(mask, sum.get(), c1.get(), Py_LT)) return {};
    ref sum2 = binop(PyNumber_Add, h0, h1);
    if (!sum2) return {};
    ref c0 = item(c, 0);
    if (!c0 || !and_compare(mask, sum2.get(), c0.get(), Py_GT)) return {};
    return mask;
}

// (M @ x.T).T
ref transform(PyObject *M, PyObject *x) {
    ref xt = attr(x, "T");
    if (!xt) return {};
    ref product = binop(PyNumber_MatrixMultiply, M, xt.get());
    if (!product) return {};
    return attr(product.get(), "T");
}

// The three columns (h0, h1, t) of an N x 3 array: hht[:, k].
bool columns(PyObject *hht, ref (&out)[3]) {
    ref all(PySlice_New(nullptr, nullptr, nullptr));
    if (!all) return false;
    for (int k = 0; k < 3; ++k) {
        ref column = integer(k);
        if (!column) return false;
        ref index(PyTuple_Pack(2, all.get(), column.get()));
        if (!index) return false;
        out[k] = ref(PyObject_GetItem(hht, index.get()));
        if (!out[k]) return false;
    }
    return true;
}

// The window test per row of an N x 3 array of (h0, h1, t), reshaped to the
// leading extents of `shape`.
ref rows_test(PyObject *hht, PyObject *i, PyObject *c, PyObject *shape) {
    ref hh[3];
    if (!columns(hht, hh)) return {};
    ref mask = window_test(hh[0].get(), hh[1].get(), hh[2].get(), i, c);
    if (!mask) return {};
    ref leading(PySequence_GetSlice(shape, 0, -1));
    if (!leading) return {};
    return method(mask.get(), "reshape", {leading.get()});
}

PyObject *calculate_lch_bounds(PyObject *const *args) {
    PyObject *hue = args[0], *chroma = args[1], *intensity = args[2], *rgb_bits = args[3];
    ref two = integer(2), one = integer(1), zero = integer(0), three = integer(3);
    TRY(two && one && zero && three);

    ref theta1 = item(hue, 0);
    TRY(theta1);
    ref theta2 = item(hue, 1);
    TRY(theta2);
    // c = chroma_limit[k] / np.cos((theta2 - theta1) / 2), k = 0, 1
    ref c_limits[2];
    for (int k = 0; k < 2; ++k) {
        ref limit = item(chroma, k);
        TRY(limit);
        ref width = binop(PyNumber_Subtract, theta2.get(), theta1.get());
        TRY(width);
        ref half = binop(PyNumber_TrueDivide, width.get(), two.get());
        TRY(half);
        ref cosine = np_call("cos", {half.get()});
        TRY(cosine);
        c_limits[k] = binop(PyNumber_TrueDivide, limit.get(), cosine.get());
        TRY(c_limits[k]);
    }
    ref i1 = item(intensity, 0);
    TRY(i1);
    ref i2 = item(intensity, 1);
    TRY(i2);

    // T1 rows: [1, -0.5, -0.5], [0, sqrt(3)/2, -sqrt(3)/2], [1/3, 1/3, 1/3]
    ref sqrt3 = np_call("sqrt", {three.get()});
    TRY(sqrt3);
    ref r3 = binop(PyNumber_TrueDivide, sqrt3.get(), two.get());
    TRY(r3);
    ref minus_sqrt3(PyNumber_Negative(sqrt3.get()));
    TRY(minus_sqrt3);
    ref neg_r3 = binop(PyNumber_TrueDivide, minus_sqrt3.get(), two.get());
    TRY(neg_r3);
    ref minus_half(PyFloat_FromDouble(-0.5));
    ref third(PyFloat_FromDouble(1.0 / 3.0));
    TRY(minus_half && third);
    ref T1 = matrix3({one.get(), minus_half.get(), minus_half.get(), zero.get(), r3.get(),
                      neg_r3.get(), third.get(), third.get(), third.get()});
    TRY(T1);

    // T2 rows: [sin th2, -cos th2, 0], [-sin th1, cos th1, 0], [0, 0, sin(th2 - th1)]
    ref sin2 = np_call("sin", {theta2.get()});
    TRY(sin2);
    ref cos2 = np_call("cos", {theta2.get()});
    TRY(cos2);
    ref neg_cos2(PyNumber_Negative(cos2.get()));
    TRY(neg_cos2);
    ref sin1 = np_call("sin", {theta1.get()});
    TRY(sin1);
    ref neg_sin1(PyNumber_Negative(sin1.get()));
    TRY(neg_sin1);
    ref cos1 = np_call("cos", {theta1.get()});
    TRY(cos1);
    ref width = binop(PyNumber_Subtract, theta2.get(), theta1.get());
    TRY(width);
    ref sin_width = np_call("sin", {width.get()});
    TRY(sin_width);
    ref T2 = matrix3({sin2.get(), neg_cos2.get(), zero.get(), neg_sin1.get(), cos1.get(),
                      zero.get(), zero.get(), zero.get(), sin_width.get()});
    TRY(T2);
    // T2 /= np.sin(theta2 - theta1)
    T2 = binop(PyNumber_InPlaceTrueDivide, T2.get(), sin_width.get());
    TRY(T2);
    ref M = binop(PyNumber_MatrixMultiply, T2.get(), T1.get());
    TRY(M);

    ref c1 = std::move(c_limits[0]), c2 = std::move(c_limits[1]);
    if (rgb_bits != Py_None) {
        // M *= 1 << rgb_bits; M = np.round(M).astype(np.int32)
        ref factor = binop(PyNumber_Lshift, one.get(), rgb_bits);
        TRY(factor);
        M = binop(PyNumber_InPlaceMultiply, M.get(), factor.get());
        TRY(M);
        ref rounded = np_call("round", {M.get()});
        TRY(rounded);
        M = astype(rounded.get(), "int32");
        TRY(M);
        // Bounds scale by 1 << (rgb_bits << 1) and round to Python ints.
        ref bits2 = binop(PyNumber_Lshift, rgb_bits, one.get());
        TRY(bits2);
        ref scale = binop(PyNumber_Lshift, one.get(), bits2.get());
        TRY(scale);
        c1 = scaled_round(c1.get(), scale.get());
        TRY(c1);
        c2 = scaled_round(c2.get(), scale.get());
        TRY(c2);
        i1 = scaled_round(i1.get(), scale.get());
        TRY(i1);
        i2 = scaled_round(i2.get(), scale.get());
        TRY(i2);
    }

    ref flat = method(M.get(), "flatten", {});
    TRY(flat);
    ref i(PyTuple_Pack(2, i1.get(), i2.get()));
    TRY(i);
    ref c(PyTuple_Pack(2, c1.get(), c2.get()));
    TRY(c);
    return call(lch_bounds_class(), {flat.get(), i.get(), c.get()}).release();
}

PyObject *mask_image_py(PyObject *const *args) {
    PyObject *image = args[0];
    ref mic[3];
    TRY(unpack_three(args[1], mic));
    ref M = reshape2(mic[0].get(), 3, 3);
    TRY(M);
    ref shape = attr(image, "shape");
    TRY(shape);
    ref flat = reshape2(image, -1, 3);
    TRY(flat);
    ref pixels = astype(flat.get(), "int32");
    TRY(pixels);
    ref hht = transform(M.get(), pixels.get());
    TRY(hht);
    ref mask = rows_test(hht.get(), mic[1].get(), mic[2].get(), shape.get());
    TRY(mask);
    ref bytes = astype(mask.get(), "uint8");
    TRY(bytes);
    ref full = integer(255);
    TRY(full);
    return binop(PyNumber_Multiply, bytes.get(), full.get()).release();
}

PyObject *mask_color(PyObject *const *args) {
    ref mic[3];
    TRY(unpack_three(args[1], mic));
    ref M = reshape2(mic[0].get(), 3, 3);
    TRY(M);
    ref array = np_call("array", {args[0]});
    TRY(array);
    ref color = astype(array.get(), "int32");
    TRY(color);
    ref ndim_obj = attr(color.get(), "ndim");
    TRY(ndim_obj);
    const long ndim = PyLong_AsLong(ndim_obj.get());
    if (ndim == -1 && PyErr_Occurred()) return nullptr;
    if (ndim <= 1) {
        // One colour: (h0, h1, t) = (M @ color.T).T, tested as NumPy scalars.
        ref hht = transform(M.get(), color.get());
        TRY(hht);
        ref h0 = item(hht.get(), 0);
        TRY(h0);
        ref h1 = item(hht.get(), 1);
        TRY(h1);
        ref t = item(hht.get(), 2);
        TRY(t);
        return window_test(h0.get(), h1.get(), t.get(), mic[1].get(), mic[2].get()).release();
    }
    // Several colours (shape (..., 3)): one Boolean per colour.
    ref shape = attr(color.get(), "shape");
    TRY(shape);
    ref last = item(shape.get(), -1);
    TRY(last);
    ref minus_one = integer(-1);
    TRY(minus_one);
    ref flat = method(color.get(), "reshape", {minus_one.get(), last.get()});
    TRY(flat);
    ref hht = transform(M.get(), flat.get());
    TRY(hht);
    return rows_test(hht.get(), mic[1].get(), mic[2].get(), shape.get()).release();
}

// Runs a pixel kernel without the interpreter lock when this thread holds it.
using pixel_kernel = uint32_t (*)(const image_view &, const mask_view &, const lch_bounds &);

uint32_t run_released(pixel_kernel kernel, const image_view &image, const mask_view &output,
                      const lch_bounds &b) {
    if (!PyGILState_Check()) return kernel(image, output, b);
    uint32_t n;
    Py_BEGIN_ALLOW_THREADS
    n = kernel(image, output, b);
    Py_END_ALLOW_THREADS
    return n;
}

// The kernels' Python-callable form: image, output, bounds -> pixel count.
PyObject *call_kernel(PyObject *const *args, pixel_kernel kernel) {
    held_view<uint8_t, 3> image;
    held_view<uint8_t, 2> output;
    lch_bounds b;
    argument_list a;
    if (!a.view(image, args[0], "unsigned char") || !a.view(output, args[1], "unsigned char") ||
        !a.window(args[2], b) || !a.finish())
        return nullptr;
    if (fault f = check_colour_arrays(image.view(), output.view())) return raise_fault(f);
    return PyLong_FromUnsignedLong(run_released(kernel, image.view(), output.view(), b));
}

PyObject *call_mask_image_cy_impl(PyObject *const *args) { return call_kernel(args, mask_image_cy_impl); }
PyObject *call_selective_grayscale_impl(PyObject *const *args) {
    return call_kernel(args, selective_grayscale_impl);
}

// np.zeros(image.shape[:-1], dtype=np.uint8)
ref zeros_like_mask(PyObject *image) {
    ref shape = attr(image, "shape");
    if (!shape) return {};
    ref leading(PySequence_GetSlice(shape.get(), 0, -1));
    if (!leading) return {};
    ref zeros = attr(numpy_module(), "zeros");
    if (!zeros) return {};
    ref dtype = attr(numpy_module(), "uint8");
    if (!dtype) return {};
    ref kwargs(Py_BuildValue("{s:O}", "dtype", dtype.get()));
    if (!kwargs) return {};
    ref pos(PyTuple_Pack(1, leading.get()));
    if (!pos) return {};
    return ref(PyObject_Call(zeros.get(), pos.get(), kwargs.get()));
}

// mask_image and selective_grayscale: make the buffer when None, turn an
// LCHBounds into its dict, then convert image, buffer, bounds and run.
PyObject *front_end(PyObject *const *args, pixel_kernel kernel) {
    PyObject *image_obj = args[0];
    ref buffer = borrowed(args[2]);
    if (buffer.get() == Py_None) {
        buffer = zeros_like_mask(image_obj);
        TRY(buffer);
    }
    ref bounds = borrowed(args[1]);
    const int is_record = PyObject_IsInstance(bounds.get(), lch_bounds_class());
    if (is_record < 0) return nullptr;
    if (is_record) {
        bounds = method(bounds.get(), "_asdict", {});
        TRY(bounds);
    }
    lch_bounds b;
    {
        held_view<uint8_t, 3> image;
        held_view<uint8_t, 2> output;
        argument_list a;
        if (!a.view(image, image_obj, "unsigned char") ||
            !a.view(output, buffer.get(), "unsigned char") || !a.window(bounds.get(), b) ||
            !a.finish())
            return nullptr;
        if (fault f = check_colour_arrays(image.view(), output.view())) return raise_fault(f);
        run_released(kernel, image.view(), output.view(), b);
    }
    return buffer.release();
}

PyObject *call_mask_image(PyObject *const *args) { return front_end(args, mask_image_cy_impl); }
PyObject *call_selective_grayscale(PyObject *const *args) {
    return front_end(args, selective_grayscale_impl);
}

// One field of the record: a fixed number of 32-bit integers.
bool field_values(PyObject *value, int32_t *out, Py_ssize_t expected) {
    auto not_enough = [expected](Py_ssize_t got) {
        PyErr_Format(PyExc_IndexError,
                     "not enough values found during array assignment, expected %zd, got %zd",
                     expected, got);
        return false;
    };
    auto too_many = [expected] {
        PyErr_Format(PyExc_IndexError, "too many values found during array assignment, expected %zd",
                     expected);
        return false;
    };
    Py_ssize_t length = PyObject_Length(value);
    if (length < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
            return false;
        PyErr_Clear();
        length = expected;
    }
    if (length > expected) return too_many();
    if (length < expected) return not_enough(length);
    if (PyList_Check(value) || PyTuple_Check(value)) {
        // By index; an element's conversion may shrink a list meanwhile.
        for (Py_ssize_t k = 0; k < expected; ++k) {
            if (k >= PySequence_Fast_GET_SIZE(value)) return not_enough(k);
            ref element = borrowed(PySequence_Fast_GET_ITEM(value, k));
            if (!to_int32(element.get(), out[k])) return false;
        }
        return true;
    }
    ref it(PyObject_GetIter(value));
    if (!it) return false;
    for (Py_ssize_t k = 0; k < expected; ++k) {
        ref element(PyIter_Next(it.get()));
        if (!element) return PyErr_Occurred() ? false : not_enough(k);
        if (!to_int32(element.get(), out[k])) return false;
    }
    return true;
}

}  // namespace

bool to_lch_bounds(PyObject *obj, lch_bounds &out) {
    if (!PyMapping_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "a mapping", Py_TYPE(obj)->tp_name);
        return false;
    }
    lch_bounds record{};
    struct field {
        const char *name;
        int32_t *values;
        Py_ssize_t count;
    };
    const field fields[] = {{"i", record.i, 2}, {"c", record.c, 2}, {"M", record.M, 9}};
    for (const field &f : fields) {
        ref key(PyUnicode_FromString(f.name));
        if (!key) return false;
        ref value;
        if (PyDict_CheckExact(obj)) {
            value = borrowed(PyDict_GetItemWithError(obj, key.get()));
            if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
        } else {
            value = ref(PyObject_GetItem(obj, key.get()));
        }
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_KeyError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ValueError, "No value specified for struct attribute '%s'", f.name);
            }
            return false;
        }
        if (!field_values(value.get(), f.values, f.count)) return false;
    }
    out = record;
    return true;
}

using enum param_default;
const function_spec calculate_lch_bounds_spec = {
    "calculate_lch_bounds",
    {{"hue_limit"}, {"chroma_limit"}, {"intensity_limit"}, {"rgb_bits", int_value, 8}}, 4,
    calculate_lch_bounds};
const function_spec mask_image_py_spec = {"mask_image_py", {{"image"}, {"bounds"}}, 2, mask_image_py};
const function_spec mask_image_spec = {
    "mask_image", {{"image"}, {"bounds"}, {"buffer", none}}, 3, call_mask_image};
const function_spec selective_grayscale_spec = {
    "selective_grayscale", {{"image"}, {"bounds"}, {"buffer", none}}, 3, call_selective_grayscale};
const function_spec mask_color_spec = {"mask_color", {{"color"}, {"bounds"}}, 2, mask_color};
const function_spec mask_image_cy_impl_spec = {
    "mask_image_cy_impl", {{"_image"}, {"_output"}, {"bounds"}}, 3, call_mask_image_cy_impl};
const function_spec selective_grayscale_impl_spec = {
    "selective_grayscale_impl", {{"_image"}, {"_output"}, {"bounds"}}, 3,
    call_selective_grayscale_impl};

}  // namespace orbisect::py
