// Bindings of the point-set and fitting functions (not built yet).
#include "module/convert.hpp"
#include "module/function.hpp"

namespace orbisect::py {
namespace {
PyObject *not_built(PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
}
}  // namespace

const function_spec remove_inliers_spec = {
    "remove_inliers", {{"_ps_in"}, {"_ps_out"}, {"_ms"}}, 3, not_built};
const function_spec ransac_circle_spec = {
    "ransac_circle", {{"_ps"}, {"count"}, {"min_r"}, {"max_r"}, {"delta"}}, 5, not_built};
const function_spec ransac_ellipse_spec = {
    "ransac_ellipse", {{"_ps"}, {"count"}, {"min_r"}, {"max_r"}, {"ratio"}, {"delta"}}, 6,
    not_built};
const function_spec ransac_line_spec = {
    "ransac_line", {{"_ps"}, {"_ms"}, {"count"}, {"delta"}, {"slope_limit"}}, 5, not_built};
const function_spec ransac_line2_spec = {
    "ransac_line2", {{"_ps"}, {"_ms"}, {"count"}, {"ratio"}, {"delta"}}, 5, not_built};

}  // namespace orbisect::py
