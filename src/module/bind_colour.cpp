// Bindings of the colour-window functions (not built yet).
#include "module/convert.hpp"
#include "module/function.hpp"

namespace orbisect::py {
namespace {
PyObject *not_built(PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
}
}  // namespace

using enum param_default;
const function_spec calculate_lch_bounds_spec = {
    "calculate_lch_bounds",
    {{"hue_limit"}, {"chroma_limit"}, {"intensity_limit"}, {"rgb_bits", int_value, 8}}, 4, not_built};
const function_spec mask_image_py_spec = {"mask_image_py", {{"image"}, {"bounds"}}, 2, not_built};
const function_spec mask_image_spec = {
    "mask_image", {{"image"}, {"bounds"}, {"buffer", none}}, 3, not_built};
const function_spec selective_grayscale_spec = {
    "selective_grayscale", {{"image"}, {"bounds"}, {"buffer", none}}, 3, not_built};
const function_spec mask_color_spec = {"mask_color", {{"color"}, {"bounds"}}, 2, not_built};
const function_spec mask_image_cy_impl_spec = {
    "mask_image_cy_impl", {{"_image"}, {"_output"}, {"bounds"}}, 3, not_built};
const function_spec selective_grayscale_impl_spec = {
    "selective_grayscale_impl", {{"_image"}, {"_output"}, {"bounds"}}, 3, not_built};

bool to_lch_bounds(PyObject *, lch_bounds &) {
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return false;
}

}  // namespace orbisect::py
