// Circle fit: the integer circle through three sampled points, scored by the
// points in a ring of half-width delta around it.
#include <cmath>
#include <cstdint>

#include "fitting/fit_detail.hpp"
#include "fitting/fitting.hpp"

namespace orbisect {
namespace fitting_detail {
namespace {

using i128 = __int128;
using u128 = unsigned __int128;

// Truncating division of wrapped 128-bit values (the one overflowing
// quotient, MIN / -1, wraps as well).
i128 div_trunc(i128 num, i128 den) {
    if (den == -1) return static_cast<i128>(u128{0} - static_cast<u128>(num));
    return num / den;
}

bool fits_int32(i128 v) { return v >= INT32_MIN && v <= INT32_MAX; }

// The circle of a centre and constant term: refused beyond 32 bits (such a
// centre or constant term cannot be a 32-bit circle) or when the squared
// radius leaves 32 bits (it would overflow the ring test).
bool circle_of(i128 cx, i128 cy, i128 f, circle_model &out) {
    if (!fits_int32(cx) || !fits_int32(cy) || !fits_int32(f)) return false;
    const i128 r2 = cx * cx + cy * cy - f;
    if (r2 > INT32_MAX) return false;
    const int32_t r = r2 < 0 ? INT32_MIN
                             : static_cast<int32_t>(std::sqrt(static_cast<double>(r2)));
    out = {static_cast<int32_t>(cx), static_cast<int32_t>(cy), r};
    return true;
}

bool small(const sample_point &p) { return p.x > -8192 && p.x < 8192 && p.y > -8192 && p.y < 8192; }

}  // namespace

bool circle_through_wide(const sample_point p[3], circle_model &out) {
    // w, Nx, Ny and N3 are computed modulo 2^128, which gives their exact
    // value for any coordinates below 2^30 in magnitude (and wraps without
    // undefined behaviour beyond), however large the partial products grow.
    const u128 x1 = static_cast<u128>(i128{p[0].x}), y1 = static_cast<u128>(i128{p[0].y});
    const u128 x2 = static_cast<u128>(i128{p[1].x}), y2 = static_cast<u128>(i128{p[1].y});
    const u128 x3 = static_cast<u128>(i128{p[2].x}), y3 = static_cast<u128>(i128{p[2].y});

    const i128 w = static_cast<i128>(x1 * (y2 - y3) + x2 * (y3 - y1) + x3 * (y1 - y2));
    const i128 two_w = static_cast<i128>(2 * static_cast<u128>(w));
    if (w == 0 || two_w == 0) return false;

    const u128 a1 = x1 * x1 + y1 * y1, a2 = x2 * x2 + y2 * y2, a3 = x3 * x3 + y3 * y3;
    const i128 nx = static_cast<i128>(a1 * (y2 - y3) + a2 * (y3 - y1) + a3 * (y1 - y2));
    const i128 ny = static_cast<i128>(a1 * (x3 - x2) + a2 * (x1 - x3) + a3 * (x2 - x1));
    const i128 n3 = static_cast<i128>(a1 * (x3 * y2 - x2 * y3) + a2 * (x1 * y3 - x3 * y1) +
                                      a3 * (x2 * y1 - x1 * y2));
    return circle_of(div_trunc(nx, two_w), div_trunc(ny, two_w), div_trunc(n3, w), out);
}

bool circle_through(const sample_point p[3], circle_model &out) {
    if (!small(p[0]) || !small(p[1]) || !small(p[2])) return circle_through_wide(p, out);
    // The same in 64 bits, where every quantity is exact when |x|, |y| <
    // 2^13: differences below 2^14, w below 2^29, A = x^2 + y^2 below 2^27,
    // Nx and Ny below 2^43, the cross terms of N3 below 2^27 and N3 below
    // 2^56.  The divisions then truncate like the 128-bit ones (and cannot
    // overflow).
    const int64_t x1 = p[0].x, y1 = p[0].y, x2 = p[1].x, y2 = p[1].y, x3 = p[2].x, y3 = p[2].y;
    const int64_t w = x1 * (y2 - y3) + x2 * (y3 - y1) + x3 * (y1 - y2);
    if (w == 0) return false;
    const int64_t a1 = x1 * x1 + y1 * y1, a2 = x2 * x2 + y2 * y2, a3 = x3 * x3 + y3 * y3;
    const int64_t nx = a1 * (y2 - y3) + a2 * (y3 - y1) + a3 * (y1 - y2);
    const int64_t ny = a1 * (x3 - x2) + a2 * (x1 - x3) + a3 * (x2 - x1);
    const int64_t n3 = a1 * (x3 * y2 - x2 * y3) + a2 * (x1 * y3 - x3 * y1) + a3 * (x2 * y1 - x1 * y2);
    return circle_of(nx / (2 * w), ny / (2 * w), n3 / w, out);
}

circle_model ransac_circle(const inlier_kernels &k, const points_view &ps, int32_t count,
                           int32_t min_r, int32_t max_r, int32_t delta, uint32_t state) {
    circle_model best;
    const int32_t n = point_count(ps);
    if (count <= 0 || n < circle_sample_size) return best;

    packed_ints pts(ps, n);
    int32_t best_count = 0;
    uint32_t indices[circle_sample_size];
    sample_point sample[circle_sample_size];
    for (int32_t it = 0; it < count; ++it) {
        draw_sample(ps, static_cast<uint32_t>(n), circle_sample_size, state, indices, sample);
        circle_model c;
        if (!circle_through(sample, c)) continue;
        if (c.r < min_r || c.r > max_r) continue;
        const int32_t inner = wrap_sub(c.r, delta), outer = wrap_add(c.r, delta);
        const ring_test ring = {c.x, c.y, wrap_mul(inner, inner), wrap_mul(outer, outer)};
        const int32_t m = pts.sum([&](const int_block &p) { return k.ring(p.xs, p.ys, p.n, ring); });
        if (m > best_count) {
            best = c;
            best_count = m;
        }
    }
    return best;
}

}  // namespace fitting_detail

circle_model ransac_circle(const points_view &ps, int32_t count, int32_t min_r, int32_t max_r,
                           int32_t delta, uint32_t state) {
    return fitting_detail::ransac_circle(best_inliers(), ps, count, min_r, max_r, delta, state);
}

}  // namespace orbisect
