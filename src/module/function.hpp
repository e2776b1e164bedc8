// The one native callable type behind every public function.  A function is
// declared by a function_spec: its name, its parameters (with defaults) and a
// native entry that receives every parameter already bound, in order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orbisect::py {

enum class param_default { required, none, int_value };

struct param {
    const char *name;
    param_default kind = param_default::required;
    long value = 0;  // for int_value
};

// args[i] is parameter i (a borrowed reference; defaults filled in).  Returns
// a new reference, or nullptr with an exception set.
using entry_fn = PyObject *(*)(PyObject *const *args);

constexpr int max_params = 6;

struct function_spec {
    const char *name;
    param params[max_params];
    int param_count;
    entry_fn entry;
};

// The table of published functions, in namespace order (functions.cpp).
extern const function_spec *const function_table[];
extern const int function_count;

// Creates the function object for a spec (a new reference).
PyObject *make_function(const function_spec &spec);

// The specs of the published functions, each defined in one of the
// bind_*.cpp files (declared here so that their definitions are external).
#define ORBISECT_FUNCTION(name) extern const function_spec name##_spec
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
#undef ORBISECT_FUNCTION

}  // namespace orbisect::py
