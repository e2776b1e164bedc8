// The published functions, in the order the module binds them.
#include "module/function.hpp"

namespace orbisect::py {

ORBISECT_FUNCTION(calculate_lch_bounds);
ORBISECT_FUNCTION(mask_image_py);
ORBISECT_FUNCTION(mask_image);
ORBISECT_FUNCTION(selective_grayscale);
ORBISECT_FUNCTION(mask_color);
ORBISECT_FUNCTION(mask_image_cy_impl);
ORBISECT_FUNCTION(selective_grayscale_impl);
ORBISECT_FUNCTION(simple_edge_hsv);
ORBISECT_FUNCTION(simple_edge);
ORBISECT_FUNCTION(simple_denoise);
ORBISECT_FUNCTION(remove_inliers);
ORBISECT_FUNCTION(ransac_circle);
ORBISECT_FUNCTION(ransac_ellipse);
ORBISECT_FUNCTION(ransac_line);
ORBISECT_FUNCTION(ransac_line2);

const function_spec *const function_table[] = {
    &calculate_lch_bounds_spec, &mask_image_py_spec,       &mask_image_spec,
    &selective_grayscale_spec,  &mask_color_spec,          &mask_image_cy_impl_spec,
    &selective_grayscale_impl_spec, &simple_edge_hsv_spec, &simple_edge_spec,
    &simple_denoise_spec,       &remove_inliers_spec,      &ransac_circle_spec,
    &ransac_ellipse_spec,       &ransac_line_spec,         &ransac_line2_spec,
};
const int function_count = sizeof(function_table) / sizeof(function_table[0]);

}  // namespace orbisect::py
