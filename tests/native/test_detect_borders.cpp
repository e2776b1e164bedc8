// The border refinement on drawn discs and ellipses: the drawn circle
// recovered, the same fit whatever the channel order and the pixel stride,
// no fit where there is no border to see, the ellipse's flattening, the
// window's sides, and the disc's saturation; a few cases against values the
// Python implementation gives for the same frames.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "detect/borders.hpp"
#include "detect/ray_kernels.hpp"
#include "harness.hpp"

using namespace orbisect;
using namespace orbisect::detect;

namespace {

struct frame {
    int64_t h, w, step;  // step: bytes per pixel (3, or more with padding)
    std::vector<uint8_t> px;
    frame(int64_t h_, int64_t w_, int64_t step_ = 3) : h(h_), w(w_), step(step_), px(size_t(h_ * w_ * step_)) {}
    uint8_t *at(int64_t y, int64_t x) { return &px[size_t((y * w + x) * step)]; }
    image_view view() { return {px.data(), {h, w, 3}, {w * step, step, 1}}; }
};

using rgb = int[3];
const rgb orange = {230, 120, 30}, grass = {50, 140, 60};

// An ellipse (axes a along x, b along y) of one colour on another, covered
// by 8 x 8 sub-pixel samples (exact in doubles for dyadic values), then
// optionally a 3 x 3 box blur with the border pixels repeated: the same
// integers as the Python reference frames.
frame drawn(int64_t h, int64_t w, double cx, double cy, double a, double b, const rgb inner, const rgb outer,
            bool blur) {
    frame f(h, w);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            int count = 0;
            for (int i = 0; i < 8; ++i)
                for (int j = 0; j < 8; ++j) {
                    const double dx = (x + (2 * j - 7) / 16.0) - cx, dy = (y + (2 * i - 7) / 16.0) - cy;
                    count += dx * dx * (b * b) + dy * dy * (a * a) <= (a * a) * (b * b);
                }
            for (int c = 0; c < 3; ++c) f.at(y, x)[c] = uint8_t((count * inner[c] + (64 - count) * outer[c] + 32) / 64);
        }
    frame g = f;
    for (size_t i = 0; blur && i < g.px.size(); ++i) {
        const int64_t y = int64_t(i) / (3 * w), x = int64_t(i) / 3 % w;
        int s = 0;
        for (int k = 0; k < 9; ++k)
            s += f.at(std::clamp<int64_t>(y + k / 3 - 1, 0, h - 1),
                      std::clamp<int64_t>(x + k % 3 - 1, 0, w - 1))[i % 3];
        g.px[i] = uint8_t((s + 4) / 9);
    }
    return g;
}

// Every field of a within tol of b's (NaN equal to NaN).
bool agrees(const border_fit &a, const border_fit &b, double tol = 0.0) {
    auto near = [&](double u, double v) { return std::abs(u - v) <= tol || (std::isnan(u) && std::isnan(v)); };
    return near(a.x, b.x) && near(a.y, b.y) && near(a.r, b.r) && a.rays == b.rays && near(a.rms, b.rms) &&
           near(a.ellipticity, b.ellipticity) && near(a.coverage, b.coverage);
}

bool as_given(const border_fit &f, double x, double y, double r) { return agrees(f, {x, y, r, 0, NAN, NAN, 0.0}); }

}  // namespace

NATIVE_TEST(a_blurred_disc_is_recovered_whatever_the_channel_order_and_stride) {
    frame f = drawn(120, 160, 80.3125, 60.625, 30.25, 30.25, orange, grass, true);
    border_scratch scratch;
    const border_fit fit = refine_circle_border(f.view(), 79.0, 61.5, 29.0, {}, scratch);
    CHECK(fit.found() && fit.coverage == 1.0);
    CHECK(std::abs(fit.x - 80.3125) < 0.05 && std::abs(fit.y - 60.625) < 0.05 && std::abs(fit.r - 30.25) < 0.05);
    CHECK(fit.rms < 0.2 && fit.ellipticity < 0.01);
    // Python: refine_circle_border(frame, 79.0, 61.5, 29.0), and the same with order="bgr".
    CHECK(agrees(fit, {80.28935345330648, 60.62408841632564, 30.24819889647966, 45, 0.08076628342901876,
                       0.0005836143182890299, 1.0}, 1e-6));
    // B, G, R in pixels of 4 bytes.
    frame bgr(f.h, f.w, 4);
    for (int64_t y = 0; y < f.h; ++y)
        for (int64_t x = 0; x < f.w; ++x)
            for (int c = 0; c < 3; ++c) bgr.at(y, x)[c] = f.at(y, x)[2 - c];
    CHECK(agrees(refine_circle_border(bgr.view(), 79.0, 61.5, 29.0, {.bgr = true}, scratch), fit));
    // The scratch kept from other calls changes nothing.
    CHECK(agrees(refine_circle_border(f.view(), 79.0, 61.5, 29.0, {}, scratch), fit));
    // Sharp on the right: the blur's sigma is the upper of the two middle widths.
    frame sharp = drawn(120, 160, 80.3125, 60.625, 30.25, 30.25, orange, grass, false);
    for (int64_t y = 0; y < f.h; ++y) std::copy(sharp.at(y, 80), sharp.at(y, 160), f.at(y, 80));
    CHECK(agrees(refine_circle_border(f.view(), 79.0, 61.5, 29.0, {.rays = 20}, scratch),
                 {80.3574422692426, 60.608309368444864, 30.284877305541535, 20, 0.08570244712199214,
                  0.003876610483442009, 1.0}, 1e-6));
}

NATIVE_TEST(without_a_border_in_reach_the_circle_comes_back_as_given) {
    const rgb grey = {90, 90, 90};
    frame flat = drawn(50, 50, 25.0, 25.0, 1.0, 1.0, grey, grey, false);
    border_scratch s;
    CHECK(as_given(refine_circle_border(flat.view(), 25.0, 25.0, 10.0, {}, s), 25.0, 25.0, 10.0));
    frame f = drawn(120, 160, 80.3125, 60.625, 30.25, 30.25, orange, grass, true);
    CHECK(as_given(refine_circle_border(f.view(), 500.0, -300.0, 30.0, {}, s), 500.0, -300.0, 30.0));
    CHECK(as_given(refine_circle_border(f.view(), 80.0, 60.0, 0.0, {}, s), 80.0, 60.0, 0.0));
    CHECK(as_given(refine_circle_border(f.view(), 80.0, 60.0, 1e300, {}, s), 80.0, 60.0, 1e300));
    CHECK(!refine_circle_border(f.view(), NAN, 60.0, 30.0, {}, s).found() &&
          !refine_circle_border(f.view(), 80.0, 60.0, INFINITY, {}, s).found());
    // Starts too far off: no border in reach; the borders in reach, but the
    // second round takes the circle 4.5 px from the start (as in Python).
    CHECK(as_given(refine_circle_border(f.view(), 80.0, 60.0, 40.0, {}, s), 80.0, 60.0, 40.0));
    frame small = drawn(60, 60, 30.0, 30.0, 15.0, 15.0, orange, grass, true);
    CHECK(as_given(refine_circle_border(small.view(), 28.0, 30.0, 12.5, {}, s), 28.0, 30.0, 12.5));
    CHECK(refine_circle_border(small.view(), 29.0, 30.0, 13.0, {}, s).found());
    // Frames one pixel wide or high, and huge ray counts (capped).
    frame line = drawn(1, 200, 100.0, 0.0, 30.0, 30.0, orange, grass, false);
    frame column = drawn(200, 1, 0.0, 100.0, 30.0, 30.0, orange, grass, false);
    const border_options many{.rays = 1 << 30, .rounds = 1000};
    CHECK(!refine_circle_border(line.view(), 100.0, 0.0, 30.0, many, s).found() &&
          !refine_circle_border(column.view(), 0.0, 100.0, 30.0, many, s).found());
    CHECK(s.ux.size() == size_t(max_border_rays));
}

NATIVE_TEST(an_ellipse_gives_its_flattening) {
    frame f = drawn(110, 140, 70.5, 55.25, 24.0, 20.0, orange, grass, true);
    border_scratch s;
    const border_fit fit = refine_circle_border(f.view(), 70.0, 55.0, 22.0, {.rays = 40, .rounds = 3}, s);
    CHECK(std::abs(fit.ellipticity - (1.0 - 20.0 / 24.0)) < 0.02);
    CHECK(agrees(fit, {70.49458807728011, 55.21693062314484, 21.83932290461856, 40, 1.3754667728362695,
                       0.17728785982539455, 1.0}, 1e-6));
}

NATIVE_TEST(a_window_keeps_the_rays_from_its_colour_to_others) {
    // The field window (as the detector compiles it): the grass-green ball on
    // orange, cut by the frame's right edge, keeps its borders; the orange
    // ball on grass has the window's colour outside, and none.
    const lch_bounds field = {{2621, 52429}, {13581, 97006}, {45, 197, -241, -248, 182, 67, 85, 85, 85}};
    frame f = drawn(80, 100, 88.5, 40.0, 18.0, 18.0, grass, orange, false);
    border_scratch s;
    border_options o;
    const border_fit plain = refine_circle_border(f.view(), 88.0, 41.0, 17.0, o, s);
    o.window = &field;
    CHECK(agrees(refine_circle_border(f.view(), 88.0, 41.0, 17.0, o, s), plain));
    CHECK(agrees(plain, {88.4496541804242, 40.0000880619383, 17.99707033472798, 16, 0.04464108592707433,
                         0.0019663837956343873, 0.6153846153846154}, 1e-6));
    frame g = drawn(120, 160, 80.3125, 60.625, 30.25, 30.25, orange, grass, true);
    CHECK(as_given(refine_circle_border(g.view(), 79.0, 61.5, 29.0, o, s), 79.0, 61.5, 29.0));
}

NATIVE_TEST(disc_saturation_is_the_median_of_the_coloured_grid_points) {
    const rgb o = {230, 120, 25}, d = {20, 20, 20}, b = {40, 40, 200}, g = {60, 60, 60};
    frame orange_flat = drawn(40, 40, 0.0, 0.0, 1.0, 1.0, o, o, false);
    frame grey = drawn(40, 40, 0.0, 0.0, 1.0, 1.0, g, g, false);
    CHECK(std::abs(disc_saturation(orange_flat.view(), 20.0, 20.0, 10.0) - 205.0 / 230.0) < 1e-12);
    CHECK(std::isnan(disc_saturation(grey.view(), 20.0, 20.0, 10.0)));
    CHECK(std::isnan(disc_saturation(orange_flat.view(), NAN, 20.0, 10.0)));
    // Orange left, dark (left out) in the middle column, blue right: 20
    // points each side, the median between them (Python's values).
    frame t(60, 60);
    for (size_t i = 0; i < t.px.size(); ++i) {
        const size_t x = i / 3 % 60;
        const int *c = x < 28 ? &o[0] : x < 32 ? &d[0] : &b[0];
        t.px[i] = static_cast<uint8_t>(c[i % 3]);
    }
    CHECK(std::abs(disc_saturation(t.view(), 30.0, 30.0, 20.0) - 0.8456521739130435) < 1e-12);
    CHECK(std::abs(disc_saturation(t.view(), 3.0, 57.0, 20.0) - 0.8913043478260869) < 1e-12);
    CHECK(std::abs(disc_saturation(t.view(), 29.6, 30.2, 19.7) - 0.8456521739130435) < 1e-12);
}

namespace {

// The ray loop written plainly: each sample bilinear between its four
// pixels, its chroma, and the sums of the first and last `edge` colours.
void plain_ray(const ray_frame &f, const ray_request &r, bool bgr, double (*chroma)[2], double in[3], double out[3]) {
    const int64_t right = f.width > 1 ? f.pixel_step : 0, down = f.height > 1 ? f.row_step : 0;
    const int64_t x_last = std::max<int64_t>(f.width - 2, 0), y_last = std::max<int64_t>(f.height - 2, 0);
    for (int s = 0; s < r.samples; ++s) {
        const double x = r.cx + r.ux * r.ts[s], y = r.cy + r.uy * r.ts[s];
        const int64_t x0 = std::min(static_cast<int64_t>(x), x_last), y0 = std::min(static_cast<int64_t>(y), y_last);
        const double fx = x - static_cast<double>(x0), fy = y - static_cast<double>(y0);
        double colour[3];
        for (int c = 0; c < 3; ++c) {
            const uint8_t *p = f.data + y0 * f.row_step + x0 * f.pixel_step + c * f.channel_step;
            const double top = p[0] + (p[right] - double(p[0])) * fx;
            const double bottom = p[down] + (p[right + down] - double(p[down])) * fx;
            colour[c] = top + (bottom - top) * fy;
        }
        const double R = colour[bgr ? 2 : 0], G = colour[1], B = colour[bgr ? 0 : 2];
        chroma[s][0] = -0.168736 * R + -0.331264 * G + 0.5 * B;
        chroma[s][1] = 0.5 * R + -0.418688 * G + -0.081312 * B;
        for (int j = 0; j < 3; ++j) {
            if (s < r.edge) in[j] += colour[j];
            if (s >= r.samples - r.edge) out[j] += colour[j];
        }
    }
}

}  // namespace

NATIVE_TEST(ray_samples_at_every_level_give_the_plain_loops_bits) {
    // Random pixels in frames of odd sizes (one pixel wide or high too),
    // packed, padded and reversed; random rays inside them.
    std::mt19937 rng(2024u);
    const int64_t sizes[][2] = {{1, 9}, {9, 1}, {2, 2}, {7, 13}, {31, 17}, {64, 48}};
    for (const auto &size : sizes) {
        const int64_t h = size[0], w = size[1];
        for (int layout = 0; layout < 3; ++layout) {
            const int64_t step = layout == 1 ? 4 : 3;
            std::vector<uint8_t> px(size_t(h * w * step));
            for (uint8_t &v : px) v = uint8_t(rng());
            ray_frame f{px.data(), w * step, step, 1, w, h};
            if (layout == 2)  // rows and pixels reversed, channels B, G, R as stored
                f = {px.data() + px.size() - 1, -w * 3, -3, -1, w, h};
            std::uniform_real_distribution<double> at_x(0.0, double(w - 1)), at_y(0.0, double(h - 1));
            for (int trial = 0; trial < 40; ++trial) {
                // A chord between two points of the frame, sampled from one to the other.
                const double x0 = at_x(rng), y0 = at_y(rng), x1 = at_x(rng), y1 = at_y(rng);
                const int n = 1 + int(rng() % 25), edge = std::max(1, n / 5);
                double ts[25];
                for (int k = 0; k < n; ++k) ts[k] = n == 1 ? 0.0 : double(k) / (n - 1);
                const ray_request r{x0, y0, x1 - x0, y1 - y0, ts, n, edge};
                for (bool bgr : {false, true}) {
                    double want[25][2], in0[3] = {1, 2, 3}, out0[3] = {4, 5, 6};
                    plain_ray(f, r, bgr, want, in0, out0);
                    for (int l = 0; l < isa_level_count; ++l) {
                        const isa_level level = static_cast<isa_level>(l);
                        if (!level_supported(level)) continue;
                        const ray_kernels &k = ORBISECT_PICK_LEVEL(level, ray_table);
                        double got[25][2], in[3] = {1, 2, 3}, out[3] = {4, 5, 6};
                        (bgr ? k.bgr : k.rgb)(f, r, got, in, out);
                        CHECK(std::memcmp(got, want, sizeof(double) * 2 * size_t(n)) == 0);
                        CHECK(std::memcmp(in, in0, sizeof in) == 0 && std::memcmp(out, out0, sizeof out) == 0);
                    }
                }
            }
        }
    }
}
