// The per-level table of the pixel row loops.  Plain declarations only: the
// per-level source includes this, so nothing here may define a function.
#pragma once

#include <cstdint>

#include "colour/lch_bounds.hpp"
#include "core/levels.hpp"

namespace orbisect {

// A row loop over n packed RGB triples (3 bytes each) writing one byte per
// pixel, byte k for pixel k.
using pixel_row_fn = void (*)(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out);

// The same over two windows: 1 inside either, 0 outside both.  Fastest when
// they share the matrix (a window and its darker or paler companion of the
// same hue: the matrix product is formed once), exact for any two.
using pixel_pair_fn = void (*)(const uint8_t *rgb, int64_t n, const lch_bounds &a, const lch_bounds &b,
                               uint8_t *out);

struct colour_kernels {
    pixel_row_fn classify;  // 1 inside the window, 0 outside
    pixel_row_fn grey;      // bits 8..15 of t inside the window, 0 outside
    pixel_pair_fn either;   // 1 inside either window, 0 outside both
};

}  // namespace orbisect

ORBISECT_DECLARE_LEVELS(const ::orbisect::colour_kernels &, colour_table)
