// 32-bit two's-complement arithmetic without undefined behaviour: the
// kernels' integer quantities wrap around where they overflow, so sums and
// products are formed in unsigned arithmetic and converted back.
//
// Not to be included by the per-level sources (their headers hold records
// and declarations only): an inline function compiled under several
// instruction sets could be merged into one copy that a lower level then runs.
#pragma once

#include <cstdint>

namespace orbisect {

inline int32_t wrap_mul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
inline int32_t wrap_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wrap_sub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

}  // namespace orbisect
