#include "detect/borders.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "colour/window.hpp"
#include "detect/circle_fit.hpp"
#include "detect/exact_math.hpp"
#include "detect/ray_kernels.hpp"

namespace orbisect::detect {
namespace {

constexpr double pi = 3.141592653589793;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Samples per ray: 2 * 6 px of reach every half pixel, both ends.
constexpr int max_samples = 25;
constexpr double sample_step = 0.5;

// The ray loop of the best level this machine runs.
const ray_kernels &rays() {
    static const ray_kernels &k = ORBISECT_PICK_LEVEL(best_level(), ray_table);
    return k;
}

// The upper middle element (the lower middle's successor for even counts)
// of v, which it reorders.
double upper_median(std::vector<double> &v) {
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// One ray's border: where its profile from the inside's colour (0) to the
// outside's (1) rises fastest, and the distance from its 25 % to its 75 %
// level (the samples strictly between, times the spacing).
struct ray_border {
    double t;      // NaN: the sides hardly differ, or the profile never rises
    double width;
};

ray_border border_position(const double (*chroma)[2], const double *ts, int samples, int edge) {
    double inside[2] = {0.0, 0.0}, outside[2] = {0.0, 0.0};
    for (int j = 0; j < 2; ++j) {
        for (int s = 0; s < edge; ++s) inside[j] += chroma[s][j];
        for (int s = samples - edge; s < samples; ++s) outside[j] += chroma[s][j];
        inside[j] /= edge;
        outside[j] /= edge;
    }
    const double step[2] = {outside[0] - inside[0], outside[1] - inside[1]};
    const double norm2 = step[0] * step[0] + step[1] * step[1];
    const double scale = std::max(norm2, 1e-9);
    double p[max_samples];
    int between = 0;
    for (int s = 0; s < samples; ++s) {
        p[s] = ((chroma[s][0] - inside[0]) * step[0] + (chroma[s][1] - inside[1]) * step[1]) / scale;
        if (p[s] > 0.25 && p[s] < 0.75) ++between;
    }
    const double width = between * sample_step;
    // The change between samples, smoothed by [1, 2, 1] / 4, at the mid points.
    const int n = samples - 1;
    double raw[max_samples], d[max_samples];
    for (int i = 0; i < n; ++i) raw[i] = p[i + 1] - p[i];
    d[0] = raw[0];
    d[n - 1] = raw[n - 1];
    for (int i = 1; i < n - 1; ++i) d[i] = 0.25 * (raw[i - 1] + raw[i + 1]) + 0.5 * raw[i];
    int k = 0;
    for (int i = 1; i < n; ++i)
        if (d[i] > d[k]) k = i;
    k = std::clamp(k, 1, n - 2);
    const double a = d[k - 1], b = d[k], c = d[k + 1];
    // The peak of the parabola through the largest change and its neighbours.
    const double curv = a - 2.0 * b + c;
    const double off = curv < 0 ? 0.5 * (a - c) / curv : 0.0;
    const double mid_k = 0.5 * (ts[k + 1] + ts[k]);
    const double spacing = 0.5 * (ts[2] + ts[1]) - 0.5 * (ts[1] + ts[0]);
    const double where = mid_k + std::clamp(off, -1.0, 1.0) * spacing;
    const bool ok = norm2 >= min_border_contrast * min_border_contrast && b > 0;
    return {ok ? where : nan, width};
}

// Whether the mean colour, rounded half to even and clipped to 0..255, is
// inside the window.
bool in_window(const lch_bounds &window, const double sum[3], int count) {
    int32_t c[3];
    for (int j = 0; j < 3; ++j)
        c[j] = static_cast<int32_t>(std::clamp(round_half_even(sum[j] / count), 0.0, 255.0));
    return window_inside(window, c[0], c[1], c[2]);
}

// 1 - b / a of the ellipse whose radius runs r + c cos 2t + s sin 2t through
// the residuals at the borders (dx, dy) from the centre: the least squares
// (c, s, offset) from the normal equations by Cramer's rule.  NaN for fewer
// than 6 borders, or borders in no more than two directions.
double ellipticity(const std::vector<double> &dx, const std::vector<double> &dy, const std::vector<double> &res,
                   double r) {
    const size_t count = res.size();
    if (count < 6 || !(r > 0)) return nan;
    double scc = 0, sss = 0, scs = 0, sc = 0, ss = 0, bc = 0, bs = 0, b1 = 0;
    for (size_t i = 0; i < count; ++i) {
        double c2, s2;
        double_angle(dx[i], dy[i], c2, s2);
        scc += c2 * c2;
        sss += s2 * s2;
        scs += c2 * s2;
        sc += c2;
        ss += s2;
        bc += c2 * res[i];
        bs += s2 * res[i];
        b1 += res[i];
    }
    const double a[3][3] = {{scc, scs, sc}, {scs, sss, ss}, {sc, ss, static_cast<double>(count)}};
    const double rhs[3] = {bc, bs, b1};
    double sol[3];
    if (!solve3(a, rhs, sol)) return nan;
    const double c = sol[0], s = sol[1];
    const double amp = length2d(c, s);
    return std::min(1.0, 2.0 * amp / std::max(r, 1e-9));
}

}  // namespace

border_fit refine_circle_border(const image_view &frame, double cx, double cy, double r,
                                const border_options &options, border_scratch &scratch) {
    border_fit none;
    none.x = cx;
    none.y = cy;
    none.r = r;
    none.rms = nan;
    none.ellipticity = nan;
    if (!(r > 0 && std::isfinite(cx) && std::isfinite(cy) && std::isfinite(r))) return none;
    if (frame.empty() || frame.shape[2] < 3) return none;
    const int64_t h = frame.shape[0], w = frame.shape[1];
    const double x_max = static_cast<double>(w - 1), y_max = static_cast<double>(h - 1);

    const int32_t n_rays =
        options.rays > 0 ? std::min(options.rays, max_border_rays)
                         : static_cast<int32_t>(std::min(48.0, std::max(16.0, pi * r / 2)));
    const int32_t rounds = std::min(options.rounds, max_border_rounds);
    // At least one border to fit.
    const size_t min_rays = static_cast<size_t>(std::max(options.min_rays, 1));
    scratch.ux.resize(static_cast<size_t>(n_rays));
    scratch.uy.resize(static_cast<size_t>(n_rays));
    const double turn = 2 * pi / n_rays;
    for (int32_t k = 0; k < n_rays; ++k)
        sin_cos((k + 0.5) * turn, scratch.uy[static_cast<size_t>(k)], scratch.ux[static_cast<size_t>(k)]);

    const ray_frame pixels{frame.at(0, 0), frame.strides[0], frame.strides[1], frame.strides[2], w, h};
    const ray_samples_fn sample = options.bgr ? rays().bgr : rays().rgb;
    double chroma[max_samples][2];  // one ray's profile
    bool kept = false;
    double sigma = 0.0;
    for (int32_t round = 0; round < rounds; ++round) {
        const double reach = std::min(std::max(3.0, 0.3 * r), max_border_reach);
        // Every half pixel from start to stop, as a range of steps of
        // (start + 0.5) - start.
        const double start = std::max(r - reach, 0.5 * r), stop = r + reach + 1e-9;
        const int samples = static_cast<int>(std::clamp(std::ceil((stop - start) / sample_step), 0.0,
                                                        static_cast<double>(max_samples)));
        // (Fewer than 4 only where r + 6 rounds onto r - 6: no frame holds such a circle.)
        if (samples < 4) break;
        double ts[max_samples];
        const double delta = (start + sample_step) - start;
        for (int s = 0; s < samples; ++s) ts[s] = s == 0 ? start : start + s * delta;
        const int edge = std::max(2, samples / 5);

        size_t seen = 0;
        scratch.bx.clear();
        scratch.by.clear();
        scratch.widths.clear();
        for (int32_t k = 0; k < n_rays; ++k) {
            const double ux = scratch.ux[static_cast<size_t>(k)], uy = scratch.uy[static_cast<size_t>(k)];
            const double x0 = cx + ux * ts[0], y0 = cy + uy * ts[0];
            const double x1 = cx + ux * ts[samples - 1], y1 = cy + uy * ts[samples - 1];
            if (!(x1 >= 0 && x1 <= x_max && y1 >= 0 && y1 <= y_max && x0 >= 0 && x0 <= x_max && y0 >= 0 &&
                  y0 <= y_max))
                continue;
            ++seen;
            double inside[3] = {0, 0, 0}, outside[3] = {0, 0, 0};
            sample(pixels, {cx, cy, ux, uy, ts, samples, edge}, chroma, inside, outside);
            const ray_border b = border_position(chroma, ts, samples, edge);
            if (!std::isfinite(b.t)) continue;
            if (options.window != nullptr &&
                (!in_window(*options.window, inside, edge) || in_window(*options.window, outside, edge)))
                continue;
            if (options.skip_dark_outside && dark_and_colourless(outside[0] / edge, outside[1] / edge, outside[2] / edge))
                continue;
            scratch.bx.push_back(cx + ux * b.t);
            scratch.by.push_back(cy + uy * b.t);
            scratch.widths.push_back(b.width);
        }
        if (seen < min_rays || scratch.bx.size() < min_rays) break;

        double ncx = cx, ncy = cy, nr = r;
        gauss_newton(scratch.bx.data(), scratch.by.data(), nullptr, static_cast<int32_t>(scratch.bx.size()), ncx, ncy, nr, 2);
        // Borders far from the fit (a line's edge, a bar, a mark) out, refit.
        const size_t found = scratch.bx.size();
        scratch.residual.resize(found);
        for (size_t i = 0; i < found; ++i)
            scratch.residual[i] = std::abs(length2d(scratch.bx[i] - ncx, scratch.by[i] - ncy) - nr);
        scratch.work.assign(scratch.residual.begin(), scratch.residual.end());
        const double spread = upper_median(scratch.work);  // the median distance from the fit
        const double limit = std::max(3.0 * 1.4826 * spread, 0.5);
        size_t n_keep = 0;
        for (size_t i = 0; i < found; ++i) n_keep += scratch.residual[i] <= limit ? 1 : 0;
        if (n_keep < min_rays) break;
        scratch.kx.clear();
        scratch.ky.clear();
        scratch.work.clear();
        for (size_t i = 0; i < found; ++i)
            if (scratch.residual[i] <= limit) {
                scratch.kx.push_back(scratch.bx[i]);
                scratch.ky.push_back(scratch.by[i]);
                scratch.work.push_back(scratch.widths[i]);
            }
        gauss_newton(scratch.kx.data(), scratch.ky.data(), nullptr, static_cast<int32_t>(scratch.kx.size()), ncx, ncy, nr, 2);
        if (!(std::isfinite(ncx) && std::isfinite(ncy) && nr > 0 &&
              length2d(ncx - none.x, ncy - none.y) + std::abs(nr - none.r) <= std::max(4.0, 0.3 * none.r)))
            return none;
        const double moved = std::abs(ncx - cx) + std::abs(ncy - cy) + std::abs(nr - r);
        cx = ncx;
        cy = ncy;
        r = nr;
        kept = true;
        // The blur: the median 25 % to 75 % distance as a Gaussian's sigma.
        sigma = upper_median(scratch.work) / 1.349;
        if (moved < 0.3) break;
    }
    if (!kept) return none;

    // The last fit's borders from its circle (kx, ky become dx, dy).
    const size_t count = scratch.kx.size();
    scratch.residual.resize(count);
    double sum2 = 0.0;
    for (size_t i = 0; i < count; ++i) {
        const double dx = scratch.kx[i] - cx, dy = scratch.ky[i] - cy;
        scratch.kx[i] = dx;
        scratch.ky[i] = dy;
        scratch.residual[i] = std::sqrt(dx * dx + dy * dy) - r;
        sum2 += scratch.residual[i] * scratch.residual[i];
    }
    // The blur's pull towards the centre of curvature, put back.
    r += sigma * sigma / (2.0 * r);
    border_fit fit;
    fit.x = cx;
    fit.y = cy;
    fit.r = r;
    fit.rays = static_cast<int32_t>(count);
    fit.rms = std::sqrt(sum2 / static_cast<double>(count));
    fit.ellipticity = ellipticity(scratch.kx, scratch.ky, scratch.residual, r);
    fit.coverage = static_cast<double>(count) / n_rays;
    return fit;
}

namespace {

// The 49 points of the 9 x 9 grid over [-0.8, 0.8]^2 within 0.8 of the
// centre, row by row.
struct disc_grid {
    double x[81], y[81];
    int count = 0;
    disc_grid() {
        double g[9];
        for (int i = 0; i < 9; ++i) g[i] = i * 0.2 + -0.8;
        g[8] = 0.8;
        for (int i = 0; i < 9; ++i)
            for (int j = 0; j < 9; ++j)
                if (g[j] * g[j] + g[i] * g[i] <= 0.64 + 1e-9) {
                    x[count] = g[j];
                    y[count] = g[i];
                    ++count;
                }
    }
};

}  // namespace

double disc_saturation(const image_view &frame, double cx, double cy, double r) {
    static const disc_grid grid;
    if (frame.empty() || frame.shape[2] < 3) return nan;
    if (!(std::isfinite(cx) && std::isfinite(cy) && std::isfinite(r))) return nan;
    const int64_t h = frame.shape[0], w = frame.shape[1], cs = frame.strides[2];
    double sat[81];
    int n = 0;
    for (int i = 0; i < grid.count; ++i) {
        const uint8_t *p = frame.at(nearest_index(cy + grid.y[i] * r, h), nearest_index(cx + grid.x[i] * r, w));
        const double c0 = p[0], c1 = p[cs], c2 = p[2 * cs];
        const double mx = std::max(std::max(c0, c1), c2), mn = std::min(std::min(c0, c1), c2);
        if (mx < 0.35 * 255.0 && mx - mn < 25.0) continue;  // dark and colourless
        sat[n++] = (mx - mn) / std::max(mx, 1.0);
    }
    if (n == 0) return nan;
    std::sort(sat, sat + n);
    return n % 2 ? sat[n / 2] : (sat[n / 2 - 1] + sat[n / 2]) / 2.0;
}

}  // namespace orbisect::detect
