// The pixel row loops, compiled once per instruction-set level.  The window
// test is written branch-free (conditions combined with `&`) in unsigned
// 32-bit arithmetic so that the compiler vectorises it; it gives the same
// bits as window_inside() for every window, wrapped products included.
#include <cstddef>
#include <cstdint>

#include "colour/window_kernels.hpp"

namespace orbisect::ORBISECT_LEVEL {
namespace {

struct window_consts {
    uint32_t m[9];
    int32_t i0, i1, c0, c1;
};

window_consts consts_of(const lch_bounds &b) {
    window_consts w;
    for (int k = 0; k < 9; ++k) w.m[k] = static_cast<uint32_t>(b.M[k]);
    w.i0 = b.i[0];
    w.i1 = b.i[1];
    w.c0 = b.c[0];
    w.c1 = b.c[1];
    return w;
}

// 1 when the pixel lies inside, else 0; `t` receives the intensity.
inline uint32_t inside(const window_consts &w, uint32_t r, uint32_t g, uint32_t bl, int32_t &t) {
    const int32_t h0 = static_cast<int32_t>(w.m[0] * r + w.m[1] * g + w.m[2] * bl);
    const int32_t h1 = static_cast<int32_t>(w.m[3] * r + w.m[4] * g + w.m[5] * bl);
    t = static_cast<int32_t>(w.m[6] * r + w.m[7] * g + w.m[8] * bl);
    const int32_t s = static_cast<int32_t>(static_cast<uint32_t>(h0) + static_cast<uint32_t>(h1));
    return static_cast<uint32_t>((h0 > 0) & (h1 > 0) & (t > w.i0) & (t < w.i1) & (s > w.c0) &
                                 (s < w.c1));
}

// Without a 32-bit vector multiply (below SSE4.1) the compiler vectorises
// the arithmetic only over planar channels, so pixels are split into blocks
// of planar channels first; otherwise the packed loop is fastest.
#if defined(__x86_64__) && !defined(__SSE4_1__)
constexpr bool planar_blocks = true;
#else
constexpr bool planar_blocks = false;
#endif

// Grey selects the output: bits 8..15 of t inside, else 1 inside; 0 outside.
template <bool Grey>
inline uint8_t pixel_byte(const window_consts &w, uint32_t r, uint32_t g, uint32_t bl) {
    int32_t t;
    const uint32_t in = inside(w, r, g, bl, t);
    if constexpr (Grey)
        return static_cast<uint8_t>(static_cast<uint32_t>(t >> 8) & (0u - in));
    else
        return static_cast<uint8_t>(in);
}

template <bool Grey>
void row_loop(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) {
    const window_consts w = consts_of(b);
    if constexpr (planar_blocks) {
        constexpr int64_t block = 256;
        uint32_t r[block], g[block], bl[block];
        for (int64_t k0 = 0; k0 < n; k0 += block) {
            const int64_t count = n - k0 < block ? n - k0 : block;
            const uint8_t *p = rgb + 3 * k0;
            for (int64_t k = 0; k < count; ++k) r[k] = p[3 * k], g[k] = p[3 * k + 1], bl[k] = p[3 * k + 2];
            for (int64_t k = 0; k < count; ++k) out[k0 + k] = pixel_byte<Grey>(w, r[k], g[k], bl[k]);
        }
    } else {
        for (int64_t k = 0; k < n; ++k) out[k] = pixel_byte<Grey>(w, rgb[3 * k], rgb[3 * k + 1], rgb[3 * k + 2]);
    }
}

void classify(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) { row_loop<false>(rgb, n, b, out); }
void grey(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) { row_loop<true>(rgb, n, b, out); }

const colour_kernels table = {classify, grey};

}  // namespace

const colour_kernels &colour_table() { return table; }

}  // namespace orbisect::ORBISECT_LEVEL
