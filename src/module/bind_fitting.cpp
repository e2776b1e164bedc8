// Bindings of the point-set and fitting functions.  Arguments are converted
// in parameter order (the first failure raises), then checked; only then is
// the one value of the runtime generator drawn and the kernel run, so a
// refused call leaves the generator and every array untouched.
#include <new>
#include <utility>

#include "fitting/fitting.hpp"
#include "module/convert.hpp"
#include "module/function.hpp"
#include "module/ref.hpp"
#include "platform/platform.hpp"

namespace orbisect::py {
namespace {

PyObject *circle_dict(const circle_model &m) {
    return Py_BuildValue("{s:i,s:i,s:i}", "x", m.x, "y", m.y, "r", m.r);
}

PyObject *ellipse_dict(const ellipse_model &m) {
    return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d}", "x", m.x, "y", m.y, "a", m.a, "b", m.b,
                         "theta", m.theta);
}

PyObject *line_dict(const line_model &m) {
    return Py_BuildValue("{s:i,s:i,s:i,s:i}", "px", m.px, "py", m.py, "nx", m.nx, "ny", m.ny);
}

// The fits gather the points into a bounded scratch once per call; that
// allocation is the only way they can fail.
template <typename Fit>
PyObject *run_fit(Fit &&fit) {
    try {
        return fit();
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyObject *call_remove_inliers(PyObject *const *args) {
    held_view<int32_t, 2> in, out;
    held_view<uint8_t, 1> ms;
    argument_list a;
    if (!a.view(in, args[0], "int") || !a.view(out, args[1], "int") ||
        !a.view(ms, args[2], "uint8_t", layout::c_contiguous) || !a.finish())
        return nullptr;
    if (fault f = check_remove_inliers(in.view(), out.view(), ms.view())) return raise_fault(f);
    return PyLong_FromLong(remove_inliers(in.view(), out.view(), ms.view()));
}

PyObject *call_ransac_circle(PyObject *const *args) {
    held_view<int32_t, 2> ps;
    int32_t count, min_r, max_r, delta;
    argument_list a;
    if (!a.view(ps, args[0], "int") || !a.int32(args[1], count) || !a.int32(args[2], min_r) ||
        !a.int32(args[3], max_r) || !a.int32(args[4], delta) || !a.finish())
        return nullptr;
    if (fault f = check_points(ps.view())) return raise_fault(f);
    const uint32_t state = platform::draw_random15();
    return run_fit([&] {
        return circle_dict(ransac_circle(ps.view(), count, min_r, max_r, delta, state));
    });
}

PyObject *call_ransac_ellipse(PyObject *const *args) {
    held_view<int32_t, 2> ps;
    int32_t count, min_r, max_r, delta;
    double ratio;
    argument_list a;
    if (!a.view(ps, args[0], "int") || !a.int32(args[1], count) || !a.int32(args[2], min_r) ||
        !a.int32(args[3], max_r) || !a.real(args[4], ratio) || !a.int32(args[5], delta) ||
        !a.finish())
        return nullptr;
    if (fault f = check_points(ps.view())) return raise_fault(f);
    const uint32_t state = platform::draw_random15();
    return run_fit([&] {
        return ellipse_dict(ransac_ellipse(ps.view(), count, min_r, max_r, ratio, delta, state));
    });
}

PyObject *call_ransac_line(PyObject *const *args) {
    held_view<int32_t, 2> ps;
    held_view<uint8_t, 1> ms;
    int32_t count, delta;
    double slope_limit;
    argument_list a;
    if (!a.view(ps, args[0], "int") || !a.view(ms, args[1], "uint8_t", layout::c_contiguous) ||
        !a.int32(args[2], count) || !a.int32(args[3], delta) || !a.real(args[4], slope_limit) ||
        !a.finish())
        return nullptr;
    if (fault f = check_points_and_flags(ps.view(), ms.view())) return raise_fault(f);
    const uint32_t state = platform::draw_random15();
    return run_fit([&] {
        return line_dict(ransac_line(ps.view(), ms.view(), count, delta, slope_limit, state));
    });
}

PyObject *call_ransac_line2(PyObject *const *args) {
    held_view<int32_t, 2> ps;
    held_view<uint8_t, 1> ms;
    int32_t count, delta;
    double ratio;
    argument_list a;
    if (!a.view(ps, args[0], "int") || !a.view(ms, args[1], "uint8_t", layout::c_contiguous) ||
        !a.int32(args[2], count) || !a.real(args[3], ratio) || !a.int32(args[4], delta) ||
        !a.finish())
        return nullptr;
    if (fault f = check_points_and_flags(ps.view(), ms.view())) return raise_fault(f);
    const uint32_t state = platform::draw_random15();
    return run_fit([&]() -> PyObject * {
        const auto lines = ransac_line2(ps.view(), ms.view(), count, ratio, delta, state);
        ref first(line_dict(lines.first));
        if (!first) return nullptr;
        ref second(line_dict(lines.second));
        if (!second) return nullptr;
        return PyTuple_Pack(2, first.get(), second.get());
    });
}

}  // namespace

const function_spec remove_inliers_spec = {
    "remove_inliers", {{"_ps_in"}, {"_ps_out"}, {"_ms"}}, 3, call_remove_inliers};
const function_spec ransac_circle_spec = {
    "ransac_circle", {{"_ps"}, {"count"}, {"min_r"}, {"max_r"}, {"delta"}}, 5,
    call_ransac_circle};
const function_spec ransac_ellipse_spec = {
    "ransac_ellipse", {{"_ps"}, {"count"}, {"min_r"}, {"max_r"}, {"ratio"}, {"delta"}}, 6,
    call_ransac_ellipse};
const function_spec ransac_line_spec = {
    "ransac_line", {{"_ps"}, {"_ms"}, {"count"}, {"delta"}, {"slope_limit"}}, 5,
    call_ransac_line};
const function_spec ransac_line2_spec = {
    "ransac_line2", {{"_ps"}, {"_ms"}, {"count"}, {"ratio"}, {"delta"}}, 5, call_ransac_line2};

}  // namespace orbisect::py
