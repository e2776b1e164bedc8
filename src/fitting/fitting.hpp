// Shape fitting over point sets: random sampling, inlier removal and the
// RANSAC fits of circles, ellipses, single lines and parallel line pairs.
//
// Point sets are N x 2 int32 views (row i = point i, x then y) walked by
// their strides; flags are 1-D uint8 views.  Each fit takes its initial
// sampling state as a parameter: the caller draws it (one draw per call) after
// the arguments have passed the check functions below.  The fits themselves
// raise nothing: degenerate samples and refused candidates are skipped, and a
// set with fewer points than the sample size gives the all-zero model.
#pragma once

#include <cstdint>
#include <utility>

#include "core/array_view.hpp"
#include "core/fault.hpp"
#include "fitting/models.hpp"

namespace orbisect {

// Sample sizes of the fits.
constexpr int circle_sample_size = 3;
constexpr int ellipse_sample_size = 5;
constexpr int line_sample_size = 2;
constexpr int line_pair_sample_size = 4;
constexpr int max_sample_size = 5;

struct sample_point {
    int32_t x = 0, y = 0;
};

// Number of points of a set (0 for an empty view).  Only meaningful once
// check_points has accepted the set.
int32_t point_count(const points_view &ps);

// A point set with rows must have at least 2 columns (ValueError), and no more
// rows than a 32-bit count holds.
fault check_points(const points_view &ps);
// check_points, and a flag array with at least one entry per point.
fault check_points_and_flags(const points_view &ps, const flags_view &ms);

// Draws k distinct indices (k <= max_sample_size, n >= k) in draw order from
// the linear congruential state, which it advances once per draw, accepted or
// not.  Fills indices[0..k) and points[0..k).
void draw_sample(const points_view &ps, uint32_t n, int k, uint32_t &state, uint32_t *indices,
                 sample_point *points);

// Refusals of remove_inliers, in the order they are decided: IndexError for an
// empty flag array, then (with at least one point) for an input or output
// without columns or rows; ValueError for fewer than 2 columns, fewer flags
// than points, or an output with fewer rows than the points kept.
fault check_remove_inliers(const points_view &in, const points_view &out, const flags_view &ms);
// Copies the points whose flag is 0 to rows 0, 1, ... of `out` and returns
// their number.  `in` and `out` may be the same array (compaction in place).
// Requires check_remove_inliers to have passed.
int32_t remove_inliers(const points_view &in, const points_view &out, const flags_view &ms);

circle_model ransac_circle(const points_view &ps, int32_t count, int32_t min_r, int32_t max_r,
                           int32_t delta, uint32_t state);

// The ellipse through five points (conic with constant term -1).  Returns
// false when the system is singular or the conic is not an ellipse.
bool solve_conic(const sample_point points[5], ellipse_model &out);

ellipse_model ransac_ellipse(const points_view &ps, int32_t count, int32_t min_r, int32_t max_r,
                             double ratio, int32_t delta, uint32_t state);

// Writes flag i of `ms` (0 or 1) for every point i of the set.
line_model ransac_line(const points_view &ps, const flags_view &ms, int32_t count, int32_t delta,
                       double slope_limit, uint32_t state);

std::pair<line_model, line_model> ransac_line2(const points_view &ps, const flags_view &ms,
                                               int32_t count, double ratio, int32_t delta,
                                               uint32_t state);

}  // namespace orbisect
