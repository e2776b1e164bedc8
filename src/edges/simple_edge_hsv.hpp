// Run starts and ends of the pixels inside a colour window, read straight
// from a colour image along bit-reversed scan lines.
#pragma once

#include "colour/lch_bounds.hpp"
#include "core/array_view.hpp"
#include "core/fault.hpp"
#include "edges/scan_kernels.hpp"

namespace orbisect {

// Checks the arrays before anything is written: an image with pixels needs
// a last axis of 3, a point set with rows at least 2 columns.
fault check_simple_edge_hsv(const image_view &image, const points_view &ps);

// Number of points written to ps; the same points simple_edge() gives on the
// mask of the image under the window.  Arguments must have passed the check.
int32_t simple_edge_hsv(const image_view &image, const points_view &ps, const lch_bounds &bounds,
                        int32_t row_count, int32_t column_count);
// The same with the column loops of the given table (the tests run each
// level's).
int32_t simple_edge_hsv(const edges::scan_kernels &kernels, const image_view &image, const points_view &ps,
                        const lch_bounds &bounds, int32_t row_count, int32_t column_count);

// The scan of the pixels inside any of `count` windows (1 to
// max_union_windows; more are ignored): with one window the points
// simple_edge_hsv() gives.  The detection core's, not a module function.
constexpr int max_union_windows = 4;
int32_t simple_edge_union(const image_view &image, const points_view &ps, const lch_bounds *windows, int count,
                          int32_t row_count, int32_t column_count);

// Two such scans in one pass (each row and column read once): the points of
// the union of a[0 .. na) into ps_a and of b[0 .. nb) into ps_b, each the
// points its own simple_edge_union() call gives.  With `every` above 1 each
// column is read every `every`-th row (and at its last) and each change
// between two samples located by bisection (rows, whose pixels share cache
// lines, are read whole): the points of runs and gaps of `every` pixels or
// more are those of the full scan, shorter ones along columns may be missed
// (a change between two samples of one colour is not seen).
struct pair_count {
    int32_t a = 0, b = 0;
};
pair_count simple_edge_pair(const image_view &image, const points_view &ps_a, const lch_bounds *a, int na,
                            const points_view &ps_b, const lch_bounds *b, int nb, int32_t row_count,
                            int32_t column_count, int64_t every = 1);

}  // namespace orbisect
