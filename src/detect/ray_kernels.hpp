// The per-level table of the border refinement's ray sampling.  Plain
// records and declarations only: the per-level source includes this, so
// nothing here may define a function.
#pragma once

#include <cstdint>

#include "core/levels.hpp"

namespace orbisect::detect {

// A frame as the ray loop reads it: the first pixel, the strides in bytes,
// its width and height.
struct ray_frame {
    const uint8_t *data;
    int64_t row_step, pixel_step, channel_step;
    int64_t width, height;
};

// A ray from (cx, cy) along (ux, uy), sampled at the distances ts[0 .. samples);
// its first and last `edge` samples give the colours inside and outside.
struct ray_request {
    double cx, cy, ux, uy;
    const double *ts;
    int samples, edge;
};

// Each sample's colour bilinear between the pixel centres around it, as its
// chroma (Cb, Cr: BT.601's rows applied to R, G, B, the products summed in
// that order) into chroma[s], and the colours of the first and last `edge`
// samples summed, in the order of the samples, into inside and outside
// (added to what they hold).  Every sample must lie in the frame; a frame
// one pixel wide or high reads its one column or row twice.  Every level
// gives the same bits.
using ray_samples_fn = void (*)(const ray_frame &frame, const ray_request &ray, double (*chroma)[2],
                                double inside[3], double outside[3]);

struct ray_kernels {
    ray_samples_fn rgb;  // channels R, G, B
    ray_samples_fn bgr;  // channels B, G, R
};

}  // namespace orbisect::detect

ORBISECT_DECLARE_LEVELS(const ::orbisect::detect::ray_kernels &, ray_table)
