// The published functions, in the order the module binds them.
#include "module/function.hpp"

namespace orbisect::py {

const function_spec *const function_table[] = {
    &calculate_lch_bounds_spec, &mask_image_py_spec,       &mask_image_spec,
    &selective_grayscale_spec,  &mask_color_spec,          &mask_image_cy_impl_spec,
    &selective_grayscale_impl_spec, &simple_edge_hsv_spec, &simple_edge_spec,
    &simple_denoise_spec,       &remove_inliers_spec,      &ransac_circle_spec,
    &ransac_ellipse_spec,       &ransac_line_spec,         &ransac_line2_spec,
};
const int function_count = sizeof(function_table) / sizeof(function_table[0]);

}  // namespace orbisect::py
