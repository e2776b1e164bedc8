// Borders where the image has them: a circle's border located to a fraction
// of a pixel along its normals, whatever the colour window cuts.
//
// Rays through the circle's centre are sampled bilinearly every half pixel
// across the border, in the chroma plane (BT.601's Cb and Cr, computed from
// R, G, B in that order whatever the frame's channel order): a shadow, the
// ball's own shading and its highlight change the intensity far more than
// the chroma.  On each ray the colours just inside and just outside are the
// means of its first and last samples; the profile, the colour projected on
// their difference, runs from 0 inside to 1 outside, and the border is where
// it rises fastest (the largest of its [1, 2, 1] / 4 smoothed differences,
// to a fraction of a pixel by the parabola through it and its neighbours).
// Rays whose sides hardly differ in chroma, that leave the frame, or (with a
// window) whose inside is not of the window's colour or whose outside is,
// are left out.  A least-squares circle through the borders, refitted
// without those far from it, is the refined circle; the rays are cast again
// from it, `rounds` times at most.  A Gaussian blur of sigma s pulls a
// circle's border inwards by about s^2 / (2 r): s is measured on the rays
// and the radius put back by it.
//
// Work per call: at most rounds * rays rays of at most 25 samples (4 pixels
// each).
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "colour/lch_bounds.hpp"
#include "core/array_view.hpp"
#include "detect/exact_math.hpp"

namespace orbisect::detect {

// Least chroma distance (grey levels) between a ray's inside and outside.
constexpr double min_border_contrast = 12.0;
// Most rays one round casts, and most rounds.
constexpr int32_t max_border_rays = 4096;
// Farthest a ray reaches beyond the circle, px (its last sample).
constexpr double max_border_reach = 6.0;
constexpr int32_t max_border_rounds = 16;

struct border_options {
    int32_t rays = 0;        // per round; 0: one per 4 px of circumference, 16 to 48
    int32_t rounds = 2;
    int32_t min_rays = 8;    // fewer borders found: no fit
    const lch_bounds *window = nullptr;  // the object's window in the frame's order, or none
    bool bgr = false;        // the frame's channels are B, G, R
    // Rays whose outside is dark and colourless (a leg or a bar in front:
    // its edge is no border of the object) left out.
    bool skip_dark_outside = false;
};

struct border_fit {
    double x = 0, y = 0, r = 0;
    int32_t rays = 0;        // borders kept by the last fit; 0: none found, the circle as given
    double rms = 0;          // NaN when none found
    double ellipticity = 0;  // 1 - short / long axis; NaN when none found or fewer than 6 borders
    double coverage = 0;     // borders kept over rays cast in a round
    bool found() const { return rays > 0; }
};

// Whether a colour is dark and colourless (chroma below 0.08 and intensity
// below 0.35, in any channel order): a leg or a bar in front of an object.
inline bool dark_and_colourless(double c0, double c1, double c2) {
    const double a = c0 - 0.5 * (c1 + c2), b = 0.8660254037844386 * (c1 - c2);
    return a * a + b * b < 20.48 * 20.48 && (c0 + c1) + c2 < 0.35 * 768.0;
}

// The index of the pixel nearest v on a line of `size` pixels, clamped to it
// (0 for NaN).
inline int64_t nearest_index(double v, int64_t size) {
    const double p = round_half_even(v);
    if (!(p > 0.0)) return 0;
    if (p >= static_cast<double>(size - 1)) return size - 1;
    return static_cast<int64_t>(p);
}

// Scratch of the refinement, kept between calls.
struct border_scratch {
    std::vector<double> bx, by, residual;
    std::vector<double> ux, uy;
    std::vector<double> widths, kx, ky, work;  // per border: blur width; the borders kept; sorting
};

// The circle (cx, cy, r) moved onto the middle of the image's border near it
// (within a pixel or two).  A fit that moves the circle by more than
// max(4 px, 0.3 r) (centre distance plus radius change), or non-finite
// input, gives the circle as it came with rays == 0.
border_fit refine_circle_border(const image_view &frame, double cx, double cy, double r,
                                const border_options &options, border_scratch &scratch);

// Saturation, (max - min) / max of the channels, of the median pixel of a
// grid of 49 points inside 0.8 r of the centre (9 x 9 over [-0.8, 0.8]^2,
// those within the disc), each the nearest pixel clamped to the frame; dark
// colourless pixels (max < 0.35 * 255 and max - min < 25) left out.  NaN
// when none is left.
double disc_saturation(const image_view &frame, double cx, double cy, double r);

}  // namespace orbisect::detect
