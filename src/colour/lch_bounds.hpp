// The native form of a colour window and the integer window test.
#pragma once

#include <cstdint>

namespace orbisect {

// Field order i, c, M (the named tuple on the Python side is M, i, c).
struct lch_bounds {
    int32_t i[2];  // exclusive intensity bounds
    int32_t c[2];  // exclusive bounds of the chroma sum h0 + h1
    int32_t M[9];  // window matrix, row-major
};

// 32-bit two's-complement arithmetic without undefined behaviour.
inline int32_t wrap_mul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
inline int32_t wrap_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace orbisect
