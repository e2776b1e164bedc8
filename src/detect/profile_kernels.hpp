// The per-level table of the line refinement's profile sampling.  Plain
// records and declarations only: the per-level source includes this, so
// nothing here may define a function.
#pragma once

#include <cstdint>

#include "core/levels.hpp"

namespace orbisect::detect {

// A frame as the profile loop reads it: the first pixel, the strides in
// bytes (a pixel's three channels adjacent), its width and height.
struct profile_frame {
    const uint8_t *data;
    int64_t row_step, pixel_step;
    int64_t width, height;
};

// The intensities (R + G + B) along a profile across a line: at the points
// (cx + s nx, cy + s ny), s = (i - mid) * step for i = 0 .. samples - 1,
// each bilinear between the four pixel centres around it, into v[i].  False
// (v undefined) when the four pixels of any point are not all in the frame;
// the points lie on a segment, so that is when those of an end are not.
// Every level gives the same bits.
using profile_fn = bool (*)(const profile_frame &frame, double cx, double cy, double nx, double ny, int samples,
                            int mid, double step, double *v);

struct profile_kernels {
    profile_fn intensities;
};

}  // namespace orbisect::detect

ORBISECT_DECLARE_LEVELS(const ::orbisect::detect::profile_kernels &, profile_table)
