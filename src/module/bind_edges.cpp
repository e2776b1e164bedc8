// Bindings of the edge-point functions.
#include "edges/simple_edge.hpp"
#include "module/convert.hpp"
#include "module/function.hpp"

namespace orbisect::py {
namespace {

PyObject *call_simple_edge(PyObject *const *args) {
    held_view<uint8_t, 2> image;
    held_view<int32_t, 2> ps;
    int32_t row_count, column_count;
    if (!image.acquire(args[0], "unsigned char") || !ps.acquire(args[1], "int") ||
        !to_int32(args[2], row_count) || !to_int32(args[3], column_count))
        return nullptr;
    if (fault f = check_simple_edge(image.view(), ps.view())) return raise_fault(f);
    return PyLong_FromLong(simple_edge(image.view(), ps.view(), row_count, column_count));
}

PyObject *not_built(PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
}

}  // namespace

const function_spec simple_edge_spec = {
    "simple_edge", {{"_image"}, {"_ps"}, {"row_count"}, {"column_count"}}, 4, call_simple_edge};
const function_spec simple_edge_hsv_spec = {
    "simple_edge_hsv", {{"_image"}, {"_ps"}, {"bounds"}, {"row_count"}, {"column_count"}}, 5,
    not_built};
const function_spec simple_denoise_spec = {
    "simple_denoise", {{"_ps_in"}, {"_ps_out"}, {"min_distance"}}, 3, not_built};

}  // namespace orbisect::py
