// Ellipse fit: the conic through five sampled points, scored by the points
// between the ellipse shrunk by delta and the ellipse grown by delta.
//
// Every floating-point expression here is evaluated left to right as
// written, with squares as single products; the build forbids contraction
// into fused multiply-adds.  The inlier loops (inliers_level.cpp) evaluate
// the conic in the same fixed order.
#include <cmath>
#include <cstdint>
#include <utility>

#include "fitting/fit_detail.hpp"
#include "fitting/fitting.hpp"

namespace orbisect {

bool solve_conic(const sample_point points[5], ellipse_model &out) {
        double m[5][6];
    for (int i = 0; i < 5; ++i) {
        const int32_t x = points[i].x, y = points[i].y;
        m[i][0] = wrap_mul(x, x);
        m[i][1] = wrap_mul(x, y);
        m[i][2] = wrap_mul(y, y);
        m[i][3] = x;
        m[i][4] = y;
        m[i][5] = 1.0;
    }

    for (int i = 0; i < 5; ++i) {
        // Pivot choice compares signed values, re-reading the pivot after
        // each swap.
        for (int j = i + 1; j < 5; ++j) {
            if (m[i][i] == 0.0 || (m[j][i] != 0.0 && m[j][i] > m[i][i]))
                for (int k = 0; k < 6; ++k) std::swap(m[i][k], m[j][k]);
        }
        if (m[i][i] == 0.0) return false;
        // Divide by the pivot as it was before the row changes.
        const double pivot = m[i][i];
        for (int k = i; k < 6; ++k) m[i][k] = m[i][k] / pivot;
        for (int j = i + 1; j < 5; ++j) {
            const double f = m[j][i];
            for (int k = i; k < 6; ++k) m[j][k] = m[j][k] - f * m[i][k];
        }
    }
    for (int k = 4; k >= 1; --k) {
        for (int r = 0; r < k; ++r) {
            m[r][5] = m[r][5] - m[r][k] * m[k][5];
            m[r][k] = 0.0;
        }
    }

    const double kxx = m[0][5], kxy = m[1][5], kyy = m[2][5], kx = m[3][5], ky = m[4][5];
    const double disc = kxy * kxy - (4.0 * kxx) * kyy;
    if (disc >= 0.0) return false;

    const double g = 2.0 * (((kxx * (ky * ky) + kyy * (kx * kx)) - (kxy * kx) * ky) - disc);
    const double d = kxx - kyy;
    const double r = std::sqrt(d * d + kxy * kxy);
    out.a = -std::sqrt(((kxx + kyy) + r) * g) / disc;
    out.b = -std::sqrt(((kxx + kyy) - r) * g) / disc;
    out.x = ((2.0 * kyy) * kx - kxy * ky) / disc;
    out.y = ((2.0 * kxx) * ky - kxy * kx) / disc;
    if (kxy == 0.0)
        out.theta = kyy > kxx ? 0.0 : 1.5707963267948966;
    else
        out.theta = std::atan(((kyy - kxx) - r) / kxy);
    return true;
}

namespace fitting_detail {
namespace {

// The implicit form of the ellipse with centre (x, y), semi-axes p (along
// theta) and q, given sin and cos of theta.
conic_test ellipse_conic(double x, double y, double p, double q, double s, double c) {
    conic_test e;
    const double ps = p * s, qc = q * c, pc = p * c, qs = q * s;
    e.exx = ps * ps + qc * qc;
    e.exy = ((2.0 * (q * q - p * p)) * s) * c;
    e.eyy = pc * pc + qs * qs;
    e.ex = (-2.0 * e.exx) * x - e.exy * y;
    e.ey = -e.exy * x - (2.0 * e.eyy) * y;
    e.e0 = (((e.exy * x) * y + e.exx * (x * x)) + e.eyy * (y * y)) - (p * p) * (q * q);
    return e;
}

}  // namespace

ellipse_model ransac_ellipse(const inlier_kernels &k, const points_view &ps, int32_t count,
                             int32_t min_r, int32_t max_r, double ratio, int32_t delta,
                             uint32_t state) {
    ellipse_model best;
    const int32_t n = point_count(ps);
    if (count <= 0 || n < ellipse_sample_size) return best;

    packed_doubles pts(ps, n);
    const double lo = min_r, hi = max_r;
    const double dd = delta, dd2 = wrap_mul(2, delta);
    int32_t best_count = 0;
    uint32_t indices[ellipse_sample_size];
    sample_point sample[ellipse_sample_size];
    for (int32_t it = 0; it < count; ++it) {
        draw_sample(ps, static_cast<uint32_t>(n), ellipse_sample_size, state, indices, sample);
        ellipse_model e;
        if (!solve_conic(sample, e)) continue;
        if (e.b > ratio * e.a) continue;
        if (e.a > hi || lo > e.a || e.b > hi || lo > e.b) continue;

        const double s = std::sin(e.theta), c = std::cos(e.theta);
        const double pi = e.a - dd, qi = e.b - dd;
        const double po = (e.a - dd) + dd2, qo = (e.b - dd) + dd2;
        const conic_test inner = ellipse_conic(e.x, e.y, pi, qi, s, c);
        const conic_test outer = ellipse_conic(e.x, e.y, po, qo, s, c);
        const int32_t m =
            pts.sum([&](const double_block &p) { return k.shell(p.xs, p.ys, p.n, inner, outer); });
        if (m > best_count) {
            best = {e.x, e.y, po - dd, qo - dd, e.theta};
            best_count = m;
        }
    }
    return best;
}

}  // namespace fitting_detail

ellipse_model ransac_ellipse(const points_view &ps, int32_t count, int32_t min_r, int32_t max_r,
                             double ratio, int32_t delta, uint32_t state) {
    return fitting_detail::ransac_ellipse(best_inliers(), ps, count, min_r, max_r, ratio, delta,
                                          state);
}

}  // namespace orbisect
