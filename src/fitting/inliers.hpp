// Inlier counting: the one pass over all points that every RANSAC candidate
// costs.  The points arrive packed (xs[i], ys[i]); the integer tests wrap
// around in 32 bits and the ellipse test is evaluated in doubles in one fixed
// order of operations, so every build of these loops (the plain reference and
// each instruction-set level) gives the same counts.
//
// This header is included by the per-level source: records only, no inline
// functions.
#pragma once

#include <cstdint>

#include "core/levels.hpp"

namespace orbisect {

// Circle ring: lo <= (x - cx)^2 + (y - cy)^2 <= hi.
struct ring_test {
    int32_t cx, cy, lo, hi;
};

// Line band: lo <= nx*x + ny*y + h <= hi (lo = -t, hi = t).
struct band_test {
    int32_t nx, ny, h, lo, hi;
};

// Value of a conic at (X, Y), summed from the left:
//   ((((exy*X)*Y + exx*(X*X)) + eyy*(Y*Y)) + ex*X) + ey*Y) + e0
struct conic_test {
    double exy, exx, eyy, ex, ey, e0;
};

struct inlier_kernels {
    // Points inside the ring.
    int32_t (*ring)(const int32_t *xs, const int32_t *ys, int32_t n, ring_test r);
    // Points inside the band.
    int32_t (*band)(const int32_t *xs, const int32_t *ys, int32_t n, band_test b);
    // Points inside exactly one of the two bands.
    int32_t (*band_pair)(const int32_t *xs, const int32_t *ys, int32_t n, band_test b1,
                         band_test b2);
    // The same two band counts over points packed as 16-bit pairs (x in the
    // low word, y in the high word; sets whose coordinates all fit in 16
    // bits) for bands whose nx and ny fit in 16 bits: then nx*x + ny*y is one
    // 16-bit multiply-add.
    int32_t (*band16)(const uint32_t *xy, int32_t n, band_test b);
    int32_t (*band_pair16)(const uint32_t *xy, int32_t n, band_test b1, band_test b2);
    // Points with inner value >= 0 and outer value <= 0.
    int32_t (*shell)(const double *xs, const double *ys, int32_t n, const conic_test &inner,
                     const conic_test &outer);
};

// The plain scalar loops every level is checked against.
const inlier_kernels &reference_inliers();
// The table of one level (which must be supported), and of the best level.
const inlier_kernels &level_inliers(isa_level level);
const inlier_kernels &best_inliers();

}  // namespace orbisect

ORBISECT_DECLARE_LEVELS(const ::orbisect::inlier_kernels &, inlier_table)
