// Bindings of the colour-window functions: the two pixel kernels, their
// Python-level front ends, and the NumPy-level window computation and tests.
// The NumPy-level functions call NumPy through its Python objects, step by
// step, so their results are NumPy's own.
#include <initializer_list>
#include <utility>

#include "colour/window.hpp"
#include "module/convert.hpp"
#include "module/function.hpp"
#include "module/state.hpp"

namespace orbisect::py {
namespace {

// An owned reference, released on every path.
class ref {
  public:
    ref() = default;
    explicit ref(PyObject *p) : p_(p) {}
    ref(const ref &) = delete;
    ref &operator=(const ref &) = delete;
    ref(ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ref &operator=(ref &&o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~ref() { Py_XDECREF(p_); }

    PyObject *get() const { return p_; }
    PyObject *release() {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject *p_ = nullptr;
};

ref borrowed(PyObject *p) { return ref(Py_XNewRef(p)); }

#define TRY(expr)                 \
    do {                          \
        if (!(expr)) return {};   \
    } while (0)

ref integer(long v) { return ref(PyLong_FromLong(v)); }

ref item(PyObject *obj, long index) {
    ref k = integer(index);
    if (!k) return {};
    return ref(PyObject_GetItem(obj, k.get()));
}

ref attr(PyObject *obj, const char *name) { return ref(PyObject_GetAttrString(obj, name)); }

ref np_attr(const char *name) { return attr(numpy_module(), name); }

// f(args...) for already-made arguments.
template <typename... A>
ref call(PyObject *f, A... args) {
    if (!f) return {};
    PyObject *argv[sizeof...(A) + 1] = {args.get()..., nullptr};
    for (size_t k = 0; k < sizeof...(A); ++k)
        if (!argv[k]) return {};
    return ref(PyObject_Vectorcall(f, argv, sizeof...(A), nullptr));
}

// np.<name>(args...)
template <typename... A>
ref np_call(const char *name, A... args) {
    ref f = np_attr(name);
    if (!f) return {};
    return call(f.get(), std::move(args)...);
}

// obj.<name>(args...)
template <typename... A>
ref method(PyObject *obj, const char *name, A... args) {
    ref f = attr(obj, name);
    if (!f) return {};
    return call(f.get(), std::move(args)...);
}

// Binary number operations on owned operands (a failed operand propagates).
using binary_fn = PyObject *(*)(PyObject *, PyObject *);
ref binop(binary_fn op, const ref &a, const ref &b) {
    if (!a || !b) return {};
    return ref(op(a.get(), b.get()));
}
ref compare(const ref &a, const ref &b, int op) {
    if (!a || !b) return {};
    return ref(PyObject_RichCompare(a.get(), b.get(), op));
}

ref list_of(std::initializer_list<PyObject *> items, bool &ok) {
    ok = false;
    for (PyObject *p : items)
        if (!p) return {};
    ref l(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!l) return {};
    Py_ssize_t k = 0;
    for (PyObject *p : items) PyList_SET_ITEM(l.get(), k++, Py_NewRef(p));
    ok = true;
    return l;
}

// A tuple (slice(None), column): the index of one column of an N x 3 array.
ref column_index(long column) {
    ref all(PySlice_New(nullptr, nullptr, nullptr));
    ref k = integer(column);
    if (!all || !k) return {};
    return ref(PyTuple_Pack(2, all.get(), k.get()));
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

// The Python int nearest to x, ties to even (the language's round()).
ref round_to_int(ref x) {
    if (!x) return {};
    PyObject *builtins = PyEval_GetBuiltins();
    PyObject *round = builtins ? PyDict_GetItemString(builtins, "round") : nullptr;
    if (!round) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'round' is not defined");
        return {};
    }
    ref r(PyObject_CallOneArg(round, x.get()));
    if (!r || PyLong_CheckExact(r.get())) return r;
    return ref(PyNumber_Long(r.get()));
}

// The window test of (h0, h1, t) with NumPy operators, every condition
// evaluated: ((h0 > 0) & (h1 > 0)) & (t > i[0]) & (t < i[1]), then
// & (h0 + h1 < c[1]), then & (h0 + h1 > c[0]).
ref window_test(const ref &h0, const ref &h1, const ref &t, PyObject *i, PyObject *c) {
    ref zero = integer(0);
    ref mask = binop(PyNumber_And, compare(h0, zero, Py_GT), compare(h1, zero, Py_GT));
    mask = binop(PyNumber_And, mask, compare(t, item(i, 0), Py_GT));
    mask = binop(PyNumber_And, mask, compare(t, item(i, 1), Py_LT));
    mask = binop(PyNumber_And, mask, compare(binop(PyNumber_Add, h0, h1), item(c, 1), Py_LT));
    if (!mask) return {};
    return binop(PyNumber_And, mask, compare(binop(PyNumber_Add, h0, h1), item(c, 0), Py_GT));
}

// (M @ x.T).T
ref transform(const ref &M, const ref &x) {
    if (!x) return {};
    ref xt = attr(x.get(), "T");
    ref product = binop(PyNumber_MatrixMultiply, M, xt);
    if (!product) return {};
    return attr(product.get(), "T");
}

// The window's matrix as 3 x 3 (M.reshape(3, 3)).
ref window_matrix(PyObject *M) { return method(M, "reshape", integer(3), integer(3)); }

// The three columns (h0, h1, t) of an N x 3 array.
bool columns(const ref &hht, ref (&out)[3]) {
    for (int k = 0; k < 3; ++k) {
        ref index = column_index(k);
        if (!index) return false;
        out[k] = ref(PyObject_GetItem(hht.get(), index.get()));
        if (!out[k]) return false;
    }
    return true;
}

PyObject *calculate_lch_bounds(PyObject *const *args) {
    PyObject *hue = args[0], *chroma = args[1], *intensity = args[2], *rgb_bits = args[3];
    ref two = integer(2), one = integer(1);
    TRY(two && one);

    ref theta1 = item(hue, 0);
    TRY(theta1);
    ref theta2 = item(hue, 1);
    TRY(theta2);
    // c = chroma_limit[k] / np.cos((theta2 - theta1) / 2)
    auto half_width = [&] { return binop(PyNumber_TrueDivide, binop(PyNumber_Subtract, theta2, theta1), two); };
    ref c1 = binop(PyNumber_TrueDivide, item(chroma, 0), np_call("cos", half_width()));
    TRY(c1);
    ref c2 = binop(PyNumber_TrueDivide, item(chroma, 1), np_call("cos", half_width()));
    TRY(c2);
    ref i1 = item(intensity, 0);
    TRY(i1);
    ref i2 = item(intensity, 1);
    TRY(i2);

    // T1 rows: [1, -0.5, -0.5], [0, sqrt(3)/2, -sqrt(3)/2], [1/3, 1/3, 1/3]
    ref sqrt3 = np_call("sqrt", integer(3));
    TRY(sqrt3);
    ref r3 = binop(PyNumber_TrueDivide, sqrt3, two);
    ref neg_r3 = binop(PyNumber_TrueDivide, ref(PyNumber_Negative(sqrt3.get())), two);
    ref zero = integer(0);
    ref minus_half(PyFloat_FromDouble(-0.5));
    ref third(PyFloat_FromDouble(1.0 / 3.0));
    TRY(r3 && neg_r3 && zero && minus_half && third);
    bool ok0, ok1, ok2, ok;
    ref t1_0 = list_of({one.get(), minus_half.get(), minus_half.get()}, ok0);
    ref t1_1 = list_of({zero.get(), r3.get(), neg_r3.get()}, ok1);
    ref t1_2 = list_of({third.get(), third.get(), third.get()}, ok2);
    TRY(ok0 && ok1 && ok2);
    ref t1_rows = list_of({t1_0.get(), t1_1.get(), t1_2.get()}, ok);
    TRY(ok);
    ref T1 = np_call("array", std::move(t1_rows));
    TRY(T1);

    // T2 rows: [sin th2, -cos th2, 0], [-sin th1, cos th1, 0], [0, 0, sin(th2 - th1)]
    ref sin2 = np_call("sin", borrowed(theta2.get()));
    TRY(sin2);
    ref cos2 = np_call("cos", borrowed(theta2.get()));
    TRY(cos2);
    ref neg_cos2(PyNumber_Negative(cos2.get()));
    TRY(neg_cos2);
    ref sin1 = np_call("sin", borrowed(theta1.get()));
    TRY(sin1);
    ref neg_sin1(PyNumber_Negative(sin1.get()));
    TRY(neg_sin1);
    ref cos1 = np_call("cos", borrowed(theta1.get()));
    TRY(cos1);
    ref sin_width = np_call("sin", binop(PyNumber_Subtract, theta2, theta1));
    TRY(sin_width);
    ref t2_0 = list_of({sin2.get(), neg_cos2.get(), zero.get()}, ok0);
    ref t2_1 = list_of({neg_sin1.get(), cos1.get(), zero.get()}, ok1);
    ref t2_2 = list_of({zero.get(), zero.get(), sin_width.get()}, ok2);
    TRY(ok0 && ok1 && ok2);
    ref t2_rows = list_of({t2_0.get(), t2_1.get(), t2_2.get()}, ok);
    TRY(ok);
    ref T2 = np_call("array", std::move(t2_rows));
    TRY(T2);
    // T2 /= np.sin(theta2 - theta1)
    T2 = binop(PyNumber_InPlaceTrueDivide, T2, sin_width);
    TRY(T2);
    ref M = binop(PyNumber_MatrixMultiply, T2, T1);
    TRY(M);

    if (rgb_bits != Py_None) {
        ref bits = borrowed(rgb_bits);
        // M *= 1 << rgb_bits; M = np.round(M).astype(np.int32)
        M = binop(PyNumber_InPlaceMultiply, M, binop(PyNumber_Lshift, one, bits));
        TRY(M);
        ref rounded = np_call("round", std::move(M));
        TRY(rounded);
        M = method(rounded.get(), "astype", np_attr("int32"));
        TRY(M);
        // Bounds scale by 1 << (rgb_bits << 1) and round to Python ints.
        ref scale = binop(PyNumber_Lshift, one, binop(PyNumber_Lshift, bits, one));
        TRY(scale);
        c1 = round_to_int(binop(PyNumber_Multiply, c1, scale));
        TRY(c1);
        c2 = round_to_int(binop(PyNumber_Multiply, c2, scale));
        TRY(c2);
        i1 = round_to_int(binop(PyNumber_Multiply, i1, scale));
        TRY(i1);
        i2 = round_to_int(binop(PyNumber_Multiply, i2, scale));
        TRY(i2);
    }

    ref flat = method(M.get(), "flatten");
    TRY(flat);
    ref i(PyTuple_Pack(2, i1.get(), i2.get()));
    ref c(PyTuple_Pack(2, c1.get(), c2.get()));
    TRY(i && c);
    return call(lch_bounds_class(), std::move(flat), std::move(i), std::move(c)).release();
}

PyObject *mask_image_py(PyObject *const *args) {
    PyObject *image = args[0];
    ref mic[3];
    TRY(unpack_three(args[1], mic));
    ref M = window_matrix(mic[0].get());
    TRY(M);
    ref shape = attr(image, "shape");
    TRY(shape);
    ref flat = method(image, "reshape", integer(-1), integer(3));
    TRY(flat);
    ref pixels = method(flat.get(), "astype", np_attr("int32"));
    ref hht = transform(M, pixels);
    TRY(hht);
    ref hh[3];
    TRY(columns(hht, hh));
    ref mask = window_test(hh[0], hh[1], hh[2], mic[1].get(), mic[2].get());
    TRY(mask);
    ref leading(PySequence_GetSlice(shape.get(), 0, -1));
    TRY(leading);
    ref result = method(mask.get(), "reshape", std::move(leading));
    TRY(result);
    ref bytes = method(result.get(), "astype", np_attr("uint8"));
    return binop(PyNumber_Multiply, bytes, integer(255)).release();
}

PyObject *mask_color(PyObject *const *args) {
    ref mic[3];
    TRY(unpack_three(args[1], mic));
    ref M = window_matrix(mic[0].get());
    TRY(M);
    ref array = np_call("array", borrowed(args[0]));
    TRY(array);
    ref color = method(array.get(), "astype", np_attr("int32"));
    TRY(color);
    ref ndim_obj = attr(color.get(), "ndim");
    TRY(ndim_obj);
    const long ndim = PyLong_AsLong(ndim_obj.get());
    if (ndim == -1 && PyErr_Occurred()) return nullptr;
    if (ndim <= 1) {
        // One colour: (h0, h1, t) = (M @ color.T).T, tested as NumPy scalars.
        ref hht = transform(M, color);
        TRY(hht);
        ref h0 = item(hht.get(), 0);
        TRY(h0);
        ref h1 = item(hht.get(), 1);
        TRY(h1);
        ref t = item(hht.get(), 2);
        TRY(t);
        return window_test(h0, h1, t, mic[1].get(), mic[2].get()).release();
    }
    // Several colours (shape (..., 3)): one Boolean per colour.
    ref shape = attr(color.get(), "shape");
    TRY(shape);
    ref last = item(shape.get(), -1);
    ref flat = method(color.get(), "reshape", integer(-1), std::move(last));
    ref hht = transform(M, flat);
    TRY(hht);
    ref hh[3];
    TRY(columns(hht, hh));
    ref mask = window_test(hh[0], hh[1], hh[2], mic[1].get(), mic[2].get());
    TRY(mask);
    ref leading(PySequence_GetSlice(shape.get(), 0, -1));
    TRY(leading);
    return method(mask.get(), "reshape", std::move(leading)).release();
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
    if (!image.acquire(args[0], "unsigned char") || !output.acquire(args[1], "unsigned char") ||
        !to_lch_bounds(args[2], b))
        return nullptr;
    if (fault f = check_colour_arrays(image.view(), output.view())) return raise_fault(f);
    return PyLong_FromUnsignedLong(run_released(kernel, image.view(), output.view(), b));
}

PyObject *call_mask_image_cy_impl(PyObject *const *args) { return call_kernel(args, mask_image_cy_impl); }
PyObject *call_selective_grayscale_impl(PyObject *const *args) {
    return call_kernel(args, selective_grayscale_impl);
}

// mask_image and selective_grayscale: make the buffer when None, turn an
// LCHBounds into its dict, then convert image, buffer, bounds and run.
PyObject *front_end(PyObject *const *args, pixel_kernel kernel) {
    PyObject *image_obj = args[0];
    ref buffer = borrowed(args[2]);
    if (buffer.get() == Py_None) {
        ref shape = attr(image_obj, "shape");
        TRY(shape);
        ref leading(PySequence_GetSlice(shape.get(), 0, -1));
        TRY(leading);
        ref zeros = np_attr("zeros");
        ref dtype = np_attr("uint8");
        TRY(zeros && dtype);
        ref kwargs(Py_BuildValue("{s:O}", "dtype", dtype.get()));
        TRY(kwargs);
        ref pos(PyTuple_Pack(1, leading.get()));
        TRY(pos);
        buffer = ref(PyObject_Call(zeros.get(), pos.get(), kwargs.get()));
        TRY(buffer);
    }
    ref bounds = borrowed(args[1]);
    const int is_record = PyObject_IsInstance(bounds.get(), lch_bounds_class());
    if (is_record < 0) return nullptr;
    if (is_record) {
        bounds = method(bounds.get(), "_asdict");
        TRY(bounds);
    }
    held_view<uint8_t, 3> image;
    held_view<uint8_t, 2> output;
    lch_bounds b;
    if (!image.acquire(image_obj, "unsigned char") || !output.acquire(buffer.get(), "unsigned char") ||
        !to_lch_bounds(bounds.get(), b))
        return nullptr;
    if (fault f = check_colour_arrays(image.view(), output.view())) return raise_fault(f);
    run_released(kernel, image.view(), output.view(), b);
    output.release();
    image.release();
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
