// Bindings of the edge-point functions.
#include "edges/simple_denoise.hpp"
#include "edges/simple_edge.hpp"
#include "edges/simple_edge_hsv.hpp"
#include "module/convert.hpp"
#include "module/function.hpp"

namespace orbisect::py {
namespace {

PyObject *call_simple_edge(PyObject *const *args) {
    held_view<uint8_t, 2> image;
    held_view<int32_t, 2> ps;
    int32_t row_count, column_count;
    argument_list a;
    if (!a.view(image, args[0], "unsigned char") || !a.view(ps, args[1], "int") ||
        !a.int32(args[2], row_count) || !a.int32(args[3], column_count) || !a.finish())
        return nullptr;
    if (fault f = check_simple_edge(image.view(), ps.view())) return raise_fault(f);
    return PyLong_FromLong(simple_edge(image.view(), ps.view(), row_count, column_count));
}

PyObject *call_simple_edge_hsv(PyObject *const *args) {
    held_view<uint8_t, 3> image;
    held_view<int32_t, 2> ps;
    lch_bounds bounds;
    int32_t row_count, column_count;
    argument_list a;
    if (!a.view(image, args[0], "uchar") || !a.view(ps, args[1], "int") ||
        !a.window(args[2], bounds) || !a.int32(args[3], row_count) ||
        !a.int32(args[4], column_count) || !a.finish())
        return nullptr;
    if (fault f = check_simple_edge_hsv(image.view(), ps.view())) return raise_fault(f);
    return PyLong_FromLong(
        simple_edge_hsv(image.view(), ps.view(), bounds, row_count, column_count));
}

PyObject *call_simple_denoise(PyObject *const *args) {
    held_view<int32_t, 2> ps_in, ps_out;
    int32_t min_distance;
    argument_list a;
    if (!a.view(ps_in, args[0], "int") || !a.view(ps_out, args[1], "int") ||
        !a.int32(args[2], min_distance) || !a.finish())
        return nullptr;
    if (fault f = check_simple_denoise(ps_in.view(), ps_out.view())) return raise_fault(f);
    return PyLong_FromLong(simple_denoise(ps_in.view(), ps_out.view(), min_distance));
}

}  // namespace

const function_spec simple_edge_spec = {
    "simple_edge", {{"_image"}, {"_ps"}, {"row_count"}, {"column_count"}}, 4, call_simple_edge};
const function_spec simple_edge_hsv_spec = {
    "simple_edge_hsv", {{"_image"}, {"_ps"}, {"bounds"}, {"row_count"}, {"column_count"}}, 5,
    call_simple_edge_hsv};
const function_spec simple_denoise_spec = {
    "simple_denoise", {{"_ps_in"}, {"_ps_out"}, {"min_distance"}}, 3, call_simple_denoise};

}  // namespace orbisect::py
