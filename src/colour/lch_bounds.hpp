// The native form of a colour window.
#pragma once

#include <cstdint>

namespace orbisect {

// Field order i, c, M (the named tuple on the Python side is M, i, c).
struct lch_bounds {
    int32_t i[2];  // exclusive intensity bounds
    int32_t c[2];  // exclusive bounds of the chroma sum h0 + h1
    int32_t M[9];  // window matrix, row-major
};

}  // namespace orbisect
