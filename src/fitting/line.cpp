// Line fits: one line through two sampled points, or a pair of nearly
// parallel lines through four, scored by the points within delta of the
// line(s); both mark their inliers in the flag array afterwards.
#include <cmath>
#include <cstdint>
#include <utility>

#include "fitting/fit_detail.hpp"
#include "fitting/fitting.hpp"

namespace orbisect {
namespace fitting_detail {
namespace {

// The line through p and q: the point p and the normal (dy, -dx).
line_model line_through(sample_point p, sample_point q) {
    return {p.x, p.y, wrap_sub(q.y, p.y), wrap_sub(p.x, q.x)};
}

int32_t squared_length(const line_model &m) {
    return wrap_add(wrap_mul(m.nx, m.nx), wrap_mul(m.ny, m.ny));
}

bool in_band(int32_t x, int32_t y, const band_test &b) {
    const int32_t s = wrap_add(wrap_add(wrap_mul(b.nx, x), wrap_mul(b.ny, y)), b.h);
    return b.lo <= s && s <= b.hi;
}

// The final pass: flag i is 1 when point i lies in either band.
void write_flags(const points_view &ps, const flags_view &ms, int32_t n, const band_test &b1,
                 const band_test &b2) {
    // The callers have checked the flags against n; stay inside them anyway.
    if (ms.shape[0] < n) n = static_cast<int32_t>(ms.shape[0]);
    for (int32_t i = 0; i < n; ++i) {
        const int32_t x = point_x(ps, i), y = point_y(ps, i);
        *ms.row(i) = static_cast<uint8_t>(in_band(x, y, b1) | in_band(x, y, b2));
    }
}

bool short_normal(const band_test &b) {
    return b.nx >= INT16_MIN && b.nx <= INT16_MAX && b.ny >= INT16_MIN && b.ny <= INT16_MAX;
}

}  // namespace

int32_t count_band(const inlier_kernels &k, packed_ints &pts, const band_test &b) {
    const bool short_b = short_normal(b);
    return pts.sum([&](const int_block &p) {
        if (p.xy16 && short_b) return k.band16(p.xy16, p.n, b);
        return k.band(p.xs, p.ys, p.n, b);
    });
}

int32_t count_band_pair(const inlier_kernels &k, packed_ints &pts, const band_test &b1,
                        const band_test &b2) {
    const bool short_b = short_normal(b1) && short_normal(b2);
    return pts.sum([&](const int_block &p) {
        if (p.xy16 && short_b) return k.band_pair16(p.xy16, p.n, b1, b2);
        return k.band_pair(p.xs, p.ys, p.n, b1, b2);
    });
}

band_test line_band(const line_model &m, int32_t delta) {
    const double length = std::sqrt(static_cast<double>(squared_length(m)));
    const int32_t t = trunc_to_int32(length * static_cast<double>(delta));
    const int32_t h = wrap_sub(0, wrap_add(wrap_mul(m.nx, m.px), wrap_mul(m.ny, m.py)));
    return {m.nx, m.ny, h, wrap_sub(0, t), t};
}

line_model ransac_line(const inlier_kernels &k, const points_view &ps, const flags_view &ms,
                       int32_t count, int32_t delta, double slope_limit, uint32_t state) {
    line_model best;
    const int32_t n = point_count(ps);
    if (count > 0 && n >= line_sample_size) {
        packed_ints pts(ps, n);
        const double slope2 = slope_limit * slope_limit;
        int32_t best_count = 0;
        uint32_t indices[line_sample_size];
        sample_point s[line_sample_size];
        for (int32_t it = 0; it < count; ++it) {
            draw_sample(ps, static_cast<uint32_t>(n), line_sample_size, state, indices, s);
            if (s[0].x == s[1].x && s[0].y == s[1].y) continue;
            const line_model line = line_through(s[0], s[1]);
            const double nx2 = wrap_mul(line.nx, line.nx);
            if (slope2 * static_cast<double>(squared_length(line)) >= nx2) continue;
            const int32_t m = count_band(k, pts, line_band(line, delta));
            if (m > best_count) {
                best = line;
                best_count = m;
            }
        }
    }
    const band_test b = line_band(best, delta);
    write_flags(ps, ms, n, b, b);
    return best;
}

std::pair<line_model, line_model> ransac_line2(const inlier_kernels &k, const points_view &ps,
                                               const flags_view &ms, int32_t count,
                                               double ratio, int32_t delta, uint32_t state) {
    line_model best1, best2;
    const int32_t n = point_count(ps);
    if (count > 0 && n >= line_pair_sample_size) {
        packed_ints pts(ps, n);
        const double ratio2 = ratio * ratio;
        int32_t best_score = 0;
        uint32_t indices[line_pair_sample_size];
        sample_point s[line_pair_sample_size];
        for (int32_t it = 0; it < count; ++it) {
            draw_sample(ps, static_cast<uint32_t>(n), line_pair_sample_size, state, indices, s);
            if (s[0].x == s[1].x && s[0].y == s[1].y) continue;
            if (s[2].x == s[3].x && s[2].y == s[3].y) continue;
            const line_model l1 = line_through(s[0], s[1]);
            const line_model l2 = line_through(s[2], s[3]);
            const int32_t dot = wrap_add(wrap_mul(l1.nx, l2.nx), wrap_mul(l1.ny, l2.ny));
            const double dot2 = static_cast<double>(dot) * static_cast<double>(dot);
            if ((static_cast<double>(squared_length(l1)) * ratio2) *
                    static_cast<double>(squared_length(l2)) >
                dot2)
                continue;
            const int32_t score = count_band_pair(k, pts, line_band(l1, delta), line_band(l2, delta));
            if (score > best_score) {
                best1 = l1;
                best2 = l2;
                best_score = score;
            }
        }
    }
    write_flags(ps, ms, n, line_band(best1, delta), line_band(best2, delta));
    return {best1, best2};
}

}  // namespace fitting_detail

line_model ransac_line(const points_view &ps, const flags_view &ms, int32_t count, int32_t delta,
                       double slope_limit, uint32_t state) {
    return fitting_detail::ransac_line(best_inliers(), ps, ms, count, delta, slope_limit, state);
}

std::pair<line_model, line_model> ransac_line2(const points_view &ps, const flags_view &ms,
                                               int32_t count, double ratio, int32_t delta,
                                               uint32_t state) {
    return fitting_detail::ransac_line2(best_inliers(), ps, ms, count, ratio, delta, state);
}

}  // namespace orbisect
