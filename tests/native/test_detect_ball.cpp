// The detection core's ball search: discs found where they are drawn, every
// ball of the colour once with max_balls, the chords' proposals, the
// borders' edge rule, the algebraic fit, and frames of speckle that keep
// the search within its caps.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "detect/ball.hpp"
#include "detect/core.hpp"
#include "detect/exact_math.hpp"
#include "harness.hpp"
#include "../corpus/default_core.hpp"

using namespace orbisect;
using namespace orbisect::detect;

namespace {

struct disc {
    double x, y, r;
};

// Grass with anti-aliased orange discs (the coverage of each pixel by 4 x 4
// subsamples), and a little noise.
std::vector<uint8_t> disc_frame(int64_t h, int64_t w, const std::vector<disc> &discs, uint32_t seed) {
    std::vector<uint8_t> px(static_cast<size_t>(h * w * 3));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-3, 3);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            double cover = 0.0;
            for (const disc &d : discs)
                for (int sy = 0; sy < 4; ++sy)
                    for (int sx = 0; sx < 4; ++sx) {
                        const double u = x - 0.375 + 0.25 * sx - d.x, v = y - 0.375 + 0.25 * sy - d.y;
                        cover += u * u + v * v <= d.r * d.r ? 1.0 / 16.0 : 0.0;
                    }
            cover = std::min(cover, 1.0);
            const double grass[3] = {55, 140, 50}, orange[3] = {235, 115, 25};
            for (int k = 0; k < 3; ++k) {
                const double c = grass[k] + cover * (orange[k] - grass[k]) + noise(rng);
                px[static_cast<size_t>((y * w + x) * 3 + k)] = static_cast<uint8_t>(std::lround(std::clamp(c, 0.0, 255.0)));
            }
        }
    return px;
}

image_view view_of(std::vector<uint8_t> &px, int64_t h, int64_t w) {
    image_view v;
    v.data = px.data();
    v.shape[0] = h;
    v.shape[1] = w;
    v.shape[2] = 3;
    v.strides[0] = w * 3;
    v.strides[1] = 3;
    v.strides[2] = 1;
    return v;
}

}  // namespace

NATIVE_TEST(discs_are_found_where_they_are_drawn_each_once) {
    const std::vector<disc> discs = {{100.3, 110.6, 40.0}, {330.8, 90.2, 22.0}, {450.1, 370.4, 12.5}};
    std::vector<uint8_t> px = disc_frame(480, 640, discs, 1);
    core_settings s = corpus::default_settings();
    s.seed = 5;
    for (int max_balls : {1, 3, 16}) {
        s.ball.max_balls = max_balls;
        detection_core core(s);
        frame_detection out;
        core.detect(view_of(px, 480, 640), false, true, out);
        CHECK(static_cast<int>(out.balls.size()) == std::min(max_balls, 3));
        for (size_t k = 0; k < out.balls.size(); ++k) {
            const found_ball &b = out.balls[k];
            CHECK(k == 0 || b.support <= out.balls[k - 1].support);  // best first
            bool near = false;
            for (const disc &d : discs)
                near = near || (std::abs(b.x - d.x) < 0.3 && std::abs(b.y - d.y) < 0.3 && std::abs(b.r - d.r) < 0.3);
            CHECK_MSG(near, "a ball off every disc");
        }
        CHECK(!out.notes.empty() && out.notes.back().what == verdict::ball);
        CHECK(!out.ball_runs.empty());
    }
}

NATIVE_TEST(the_same_frame_and_seed_give_the_same_balls_whatever_came_before) {
    std::vector<uint8_t> a = disc_frame(240, 320, {{160.4, 120.2, 25.0}}, 2);
    std::vector<uint8_t> b = disc_frame(240, 320, {{60.0, 80.0, 15.0}, {250.0, 150.0, 30.0}}, 3);
    core_settings s = corpus::default_settings();
    detection_core fresh(s), used(s);
    frame_detection x, y;
    used.detect(view_of(b, 240, 320), false, false, y);
    fresh.detect(view_of(a, 240, 320), false, false, x);
    used.detect(view_of(a, 240, 320), false, false, y);
    CHECK(x.balls.size() == 1 && y.balls.size() == 1);
    CHECK(x.balls[0].x == y.balls[0].x && x.balls[0].r == y.balls[0].r && x.key == y.key);
}

NATIVE_TEST(speckle_of_the_balls_colour_keeps_the_search_within_its_caps) {
    // Every other pixel orange on a 4K-wide frame strip: runs everywhere.
    const int64_t h = 200, w = 3840;
    std::vector<uint8_t> px = disc_frame(h, w, {}, 4);
    std::mt19937 rng(9);
    for (size_t i = 0; i < px.size() / 3; ++i)
        if (rng() % 2) px[3 * i] = 235, px[3 * i + 1] = 115, px[3 * i + 2] = 25;
    core_settings s = corpus::default_settings();
    s.rows = 200, s.columns = 3840;
    s.ball.min_run = 0, s.ball.candidates = 16, s.ball.max_balls = 16, s.ball.min_support = 0.0;
    s.ball.min_saturation = 0.0, s.ball.max_ellipticity = 1.0;
    detection_core core(s);
    frame_detection out;
    core.detect(view_of(px, h, w), false, true, out);
    CHECK(out.balls.size() <= 16);
    // Each fitted circle and chord circle is checked once at most.
    CHECK(out.notes.size() <= static_cast<size_t>(2 * 16 * 16 + 4 * 16 + 2 + 16));
}

NATIVE_TEST(chords_propose_the_circle_through_them_and_edges_give_no_border) {
    // One row run and one column run of a circle about (50, 50), r 10.5.
    std::vector<int32_t> runs = {40, 50, 61, 50, 50, 40, 50, 61};
    points_view ps;
    ps.data = runs.data();
    ps.shape[0] = 4;
    ps.shape[1] = 2;
    ps.strides[0] = 8;
    ps.strides[1] = 4;
    std::vector<chord_circle> out;
    chord_candidates(ps, 4, 100, 100, 5.0, 50.0, 2.5, 4, out);
    CHECK(out.size() == 1 && out[0].x == 50.0 && out[0].y == 50.0 && std::abs(out[0].r - 10.5) < 1e-12);
    chord_candidates(ps, 4, 100, 100, 11.0, 50.0, 2.5, 4, out);
    CHECK(out.empty());
    // A row run from the frame's first pixel keeps only its end's border;
    // a column run to the last row only its start's.
    std::vector<int32_t> edge = {0, 2, 4, 2, 6, 3, 6, 9};
    ps.data = edge.data();
    std::vector<int32_t> borders;
    run_borders(ps, 4, 20, 10, borders);
    CHECK((borders == std::vector<int32_t>{12, 5, 7, 4}));
}

NATIVE_TEST(the_algebraic_fit_takes_a_circle_from_an_arc_and_refuses_a_line) {
    std::vector<double> xs, ys;
    for (int k = 0; k < 12; ++k) {
        double s, c;
        sin_cos(0.2 * k, s, c);
        xs.push_back(10.0 + 5.0 * c);
        ys.push_back(-3.0 + 5.0 * s);
    }
    double cx, cy, r;
    CHECK(fit_circle_algebraic(xs.data(), ys.data(), 12, cx, cy, r));
    CHECK(std::abs(cx - 10.0) < 1e-9 && std::abs(cy + 3.0) < 1e-9 && std::abs(r - 5.0) < 1e-9);
    double gx = 9.0, gy = -2.0, gr = 4.0;
    gauss_newton(xs.data(), ys.data(), nullptr, 12, gx, gy, gr, 8);
    CHECK(std::abs(gx - 10.0) < 1e-9 && std::abs(gr - 5.0) < 1e-9);
    const double line_x[4] = {0, 1, 2, 3}, line_y[4] = {1, 3, 5, 7};
    CHECK(!fit_circle_algebraic(line_x, line_y, 4, cx, cy, r));
}
