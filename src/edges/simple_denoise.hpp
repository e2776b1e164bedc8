// Joins runs split by small gaps and drops short runs.
#pragma once

#include "core/array_view.hpp"
#include "core/fault.hpp"

namespace orbisect {

// Checks before anything is written: IndexError when a non-empty input or
// the output has no element [0, 0] (input first; axis 1 without columns,
// else axis 0), then ValueError for point sets of fewer than 2 columns and
// for an output with fewer rows than the input's pairs (the input itself,
// or any view of it, included).
fault check_simple_denoise(const points_view &ps_in, const points_view &ps_out);

// Number of points written to ps_out (start / end pairs).  The runs are the
// input's row pairs; a run joins the pending one when the gap along the same
// line is below min_distance, and a run is kept when its length is at least
// min_distance.  The last pending run is tested and written like the others.
// ps_out may be ps_in.  Arguments must have passed the check.
int32_t simple_denoise(const points_view &ps_in, const points_view &ps_out, int32_t min_distance);

}  // namespace orbisect
