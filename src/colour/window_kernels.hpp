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

struct colour_kernels {
    pixel_row_fn classify;  // 1 inside the window, 0 outside
    pixel_row_fn grey;      // bits 8..15 of t inside the window, 0 outside
};

}  // namespace orbisect

ORBISECT_DECLARE_LEVELS(const ::orbisect::colour_kernels &, colour_table)
