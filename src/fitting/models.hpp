// Result records of the fits.  An untouched record is all zeros.
#pragma once

#include <cstdint>

namespace orbisect {

struct circle_model {
    int32_t x = 0, y = 0, r = 0;
};

struct ellipse_model {
    double x = 0.0, y = 0.0, a = 0.0, b = 0.0, theta = 0.0;
};

struct line_model {
    int32_t px = 0, py = 0, nx = 0, ny = 0;
};

}  // namespace orbisect
