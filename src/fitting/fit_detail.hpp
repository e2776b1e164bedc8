// Internals shared by the fitting sources and the native tests: the packed
// copy of a point set, the fits with an explicit inlier-counting table, and
// the arithmetic helpers of the fits.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "core/array_view.hpp"
#include "fitting/fitting.hpp"
#include "fitting/inliers.hpp"
#include "fitting/models.hpp"

namespace orbisect::fitting_detail {

// The points of a set gathered once per call into contiguous columns, so
// that each candidate's pass is a unit-stride loop.  Allocated once per call
// (throws std::bad_alloc when memory runs out).
struct packed_ints {
    std::unique_ptr<int32_t[]> xs, ys;
    // The points as 16-bit pairs (x low word, y high word) when every
    // coordinate fits in 16 bits, else null.
    std::unique_ptr<uint32_t[]> xy16;
    int32_t n = 0;
    packed_ints(const points_view &ps, int32_t count);
};

struct packed_doubles {
    std::unique_ptr<double[]> xs, ys;
    int32_t n = 0;
    packed_doubles(const points_view &ps, int32_t count);
};

// 32-bit two's-complement arithmetic without undefined behaviour.
inline int32_t wmul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
inline int32_t wadd(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wsub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// A double truncated toward zero to 32 bits; values beyond the range saturate
// and a NaN gives 0 (the plain conversion would be undefined there).
inline int32_t trunc_to_int32(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483648.0) return INT32_MAX;
    if (v <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Points in the band (in exactly one of two bands), by the 16-bit path when
// the points and the normals allow it.
int32_t count_band(const inlier_kernels &k, const packed_ints &pts, const band_test &b);
int32_t count_band_pair(const inlier_kernels &k, const packed_ints &pts, const band_test &b1,
                        const band_test &b2);

// The band of a line record: |nx*x + ny*y + h| <= t with h = -(nx*px + ny*py)
// and t = L * delta truncated, L = sqrt(nx^2 + ny^2).
band_test line_band(const line_model &m, int32_t delta);

circle_model ransac_circle(const inlier_kernels &k, const points_view &ps, int32_t count,
                           int32_t min_r, int32_t max_r, int32_t delta, uint32_t state);
ellipse_model ransac_ellipse(const inlier_kernels &k, const points_view &ps, int32_t count,
                             int32_t min_r, int32_t max_r, double ratio, int32_t delta,
                             uint32_t state);
line_model ransac_line(const inlier_kernels &k, const points_view &ps, const flags_view &ms,
                       int32_t count, int32_t delta, double slope_limit, uint32_t state);
std::pair<line_model, line_model> ransac_line2(const inlier_kernels &k, const points_view &ps,
                                               const flags_view &ms, int32_t count,
                                               double ratio, int32_t delta, uint32_t state);

// The candidate circle through three points, or false when it is refused
// before the radius test (collinear points, or a centre or squared radius
// outside 32 bits).
bool circle_through(const sample_point p[3], circle_model &out);

}  // namespace orbisect::fitting_detail
