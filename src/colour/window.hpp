// The colour-window test and the two per-pixel loops built on it: the mask
// (1 inside, 0 outside) and selective grey (the intensity's high byte inside,
// 0 outside).
#pragma once

#include <cstdint>

#include "colour/lch_bounds.hpp"
#include "core/array_view.hpp"
#include "core/fault.hpp"
#include "core/wrap.hpp"
#include "colour/window_kernels.hpp"
#include "core/levels.hpp"

namespace orbisect {

// The window test as written: (h0, h1, t) = M * (r, g, bl) in 32-bit
// two's-complement arithmetic, then all six strict conditions.  This is the
// reference that every vectorised level must reproduce bit for bit.
inline bool window_inside(const lch_bounds &b, int32_t r, int32_t g, int32_t bl) {
    const int32_t h0 = wrap_add(wrap_add(wrap_mul(b.M[0], r), wrap_mul(b.M[1], g)), wrap_mul(b.M[2], bl));
    const int32_t h1 = wrap_add(wrap_add(wrap_mul(b.M[3], r), wrap_mul(b.M[4], g)), wrap_mul(b.M[5], bl));
    const int32_t t = wrap_add(wrap_add(wrap_mul(b.M[6], r), wrap_mul(b.M[7], g)), wrap_mul(b.M[8], bl));
    const int32_t s = wrap_add(h0, h1);
    return h0 > 0 && h1 > 0 && t > b.i[0] && t < b.i[1] && s > b.c[0] && s < b.c[1];
}

// The grey level of a pixel inside the window: bits 8..15 of t.
inline uint8_t window_grey(const lch_bounds &b, int32_t r, int32_t g, int32_t bl) {
    if (!window_inside(b, r, g, bl)) return 0;
    const int32_t t = wrap_add(wrap_add(wrap_mul(b.M[6], r), wrap_mul(b.M[7], g)), wrap_mul(b.M[8], bl));
    return static_cast<uint8_t>(t >> 8);
}

// The table of a level (only levels that level_supported() may be called).
const colour_kernels &colour_kernels_for(isa_level level);
// The table of best_level(), picked once.
const colour_kernels &colour_kernels_best();

// Writes 1 or 0 for each of n packed RGB triples, with the best level.
void classify_pixels(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out);
// Writes 1 when inside a or b, else 0, for each of n packed RGB triples,
// with the best level (fastest when a and b share the matrix).
void classify_either_pixels(const uint8_t *rgb, int64_t n, const lch_bounds &a, const lch_bounds &b,
                            uint8_t *out);
// Writes the grey level or 0 for each of n packed RGB triples, best level.
void grey_pixels(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out);

// The plain per-pixel loops (reference for the tests).
void classify_pixels_plain(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out);
void grey_pixels_plain(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out);
void classify_either_pixels_plain(const uint8_t *rgb, int64_t n, const lch_bounds &a, const lch_bounds &b,
                                  uint8_t *out);

// Refuses an image and output pair that the pixel loops cannot serve:
// an image with pixels whose last axis is not 3 (value), no output for a
// non-empty image (type), an output that is neither C-contiguous with at
// least H*W elements nor at least H x W (value).  An image without pixels
// (no data, H == 0 or W == 0) is always accepted.
fault check_colour_arrays(const image_view &image, const mask_view &output);

// The pixel loops over a whole image.  The result is the pixel count H*W in
// unsigned 32-bit arithmetic.  A C-contiguous output with at least H*W
// elements receives byte y*W + x for pixel (y, x); any other output is
// written at [y, x] through its strides.  Arguments that
// check_colour_arrays() refuses are left untouched and give 0.
uint32_t mask_image_cy_impl(const image_view &image, const mask_view &output, const lch_bounds &b);
uint32_t selective_grayscale_impl(const image_view &image, const mask_view &output, const lch_bounds &b);

}  // namespace orbisect
