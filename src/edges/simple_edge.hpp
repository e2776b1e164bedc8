// Run starts and ends of a mask along bit-reversed scan lines.
#pragma once

#include "core/array_view.hpp"
#include "core/fault.hpp"
#include "edges/scan_kernels.hpp"

namespace orbisect {

// Checks the arrays before anything is written.
fault check_simple_edge(const mask_view &image, const points_view &ps);

// Number of points written to ps.  Arguments must have passed the check.
int32_t simple_edge(const mask_view &image, const points_view &ps, int32_t row_count,
                    int32_t column_count);
// The same with the column loops of the given table (the tests run each
// level's).
int32_t simple_edge(const edges::scan_kernels &kernels, const mask_view &image, const points_view &ps,
                    int32_t row_count, int32_t column_count);

}  // namespace orbisect
