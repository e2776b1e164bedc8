// The detection core's line geometry against plain reference computations
// on random inputs: gaps from the scan against runs read pixel by pixel, the
// total least squares fit against the angle that minimises the residual,
// crossings and frame clipping against counting and sampling, the paint walk
// against a step-by-step walk, joining, the generator, and whole stripes.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "colour/window.hpp"
#include "detect/core.hpp"
#include "detect/exact_math.hpp"
#include "detect/lines.hpp"
#include "detect/profile_kernels.hpp"
#include "detect/random.hpp"
#include "edges/simple_edge_hsv.hpp"
#include "harness.hpp"

using namespace orbisect;
using namespace orbisect::detect;

namespace {

constexpr uint8_t grass[3] = {40, 140, 50}, white[3] = {235, 235, 235}, brown[3] = {120, 80, 40};

struct picture {
    int64_t h, w;
    std::vector<uint8_t> px;
    picture(int64_t h_, int64_t w_) : h(h_), w(w_), px(static_cast<size_t>(h_ * w_ * 3)) {}
    uint8_t *at(int64_t y, int64_t x) { return &px[static_cast<size_t>((y * w + x) * 3)]; }
    void set(int64_t y, int64_t x, const uint8_t *c) { std::copy(c, c + 3, at(y, x)); }
    image_view view() {
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
};

// The field window (hue 75..170 degrees, chroma 0.14..1, intensity
// 0.04..0.8) and white paint, as the detector compiles them for RGB.
lch_bounds field_window() { return {{2621, 52429}, {13581, 97006}, {45, 197, -241, -248, 182, 67, 85, 85, 85}}; }
paint_colour white_paint() {
    paint_colour p;
    p.count = 0;
    p.grey_lo = 89;
    p.grey_hi = 257;
    return p;
}

bool is_field(const uint8_t *c) { return window_inside(field_window(), c[0], c[1], c[2]); }

points_view points_of(std::vector<int32_t> &xy) {
    points_view v;
    v.data = xy.data();
    v.shape[0] = static_cast<int64_t>(xy.size() / 2);
    v.shape[1] = 2;
    v.strides[0] = 8;
    v.strides[1] = 4;
    return v;
}

// A random picture of grass, paint and brown patches, in short runs.
picture random_field(std::mt19937 &rng, int64_t h, int64_t w) {
    picture p(h, w);
    std::uniform_int_distribution<int> kind(0, 9), len(1, 9);
    for (int64_t y = 0; y < h; ++y) {
        int64_t x = 0;
        while (x < w) {
            const int k = kind(rng);
            const uint8_t *c = k < 5 ? grass : k < 8 ? white : brown;
            for (int64_t n = len(rng); n > 0 && x < w; --n, ++x) p.set(y, x, c);
        }
    }
    return p;
}

}  // namespace

// A thin stripe blurred into the grass stays inside the field window: its
// ridge is a gap, one pixel or two wide, where it is less coloured than the
// grass; a bright ridge as coloured as the grass (a lit tuft) is none.
NATIVE_TEST(thin_stripes_are_the_pale_ridges_of_the_field_runs) {
    const int64_t w = 40;
    const uint8_t blend[3] = {160, 205, 150}, near_blend[3] = {150, 200, 140}, tuft[3] = {90, 230, 80};
    struct row_case {
        int64_t at;
        const uint8_t *first, *second;  // the ridge's pixels (second: none)
        bool found;
        int32_t x2;                     // its middle, doubled
    };
    const row_case cases[] = {{12, blend, nullptr, true, 24}, {20, blend, near_blend, true, 41},
                              {17, tuft, nullptr, false, 0}};
    for (const row_case &c : cases) {
        picture p(1, w);
        for (int64_t x = 0; x < w; ++x) p.set(0, x, grass);
        p.set(0, c.at, c.first);
        if (c.second != nullptr) p.set(0, c.at + 1, c.second);
        CHECK(is_field(c.first));  // no gap: the field's run goes on
        std::vector<int32_t> xy = {0, 0, static_cast<int32_t>(w), 0};
        points_view ps = points_of(xy);
        std::vector<gap> got;
        thin_stripes(ps, 2, p.view(), got);
        CHECK_MSG(got.size() == (c.found ? 1u : 0u), "ridge at " + std::to_string(c.at));
        if (c.found && got.size() == 1)
            CHECK(got[0].along_row && got[0].x2 == c.x2 && got[0].y2 == 0 && got[0].length == (c.second ? 2.0 : 1.0));
    }
}

NATIVE_TEST(gaps_are_the_paint_between_field_runs_read_pixel_by_pixel) {
    std::mt19937 rng(11);
    for (int round = 0; round < 40; ++round) {
        const int64_t h = 1 + rng() % 40, w = 1 + rng() % 90;
        picture p = random_field(rng, h, w);
        const int32_t rows = 1 + rng() % 12, columns = 1 + rng() % 12;
        std::vector<int32_t> xy(2 * 20000);
        points_view ps = points_of(xy);
        const int32_t n = simple_edge_hsv(p.view(), ps, field_window(), rows, columns);
        line_settings s;
        s.min_width = 1 + rng() % 3;
        s.max_width = s.min_width + rng() % 8;
        std::vector<gap> got;
        field_gaps(ps, n, p.view(), white_paint(), nullptr, s, got);

        // The reference: the scanned lines' pixels one by one.
        std::multiset<std::tuple<int32_t, int32_t, bool, double>> want, have;
        auto walk = [&](bool along_row, int64_t line, int64_t length) {
            int64_t last_end = -1;  // one past the previous field run
            bool in_field = false;
            for (int64_t k = 0; k <= length; ++k) {
                const bool f = k < length && is_field(along_row ? p.at(line, k) : p.at(k, line));
                // (A run starting on the line's last pixel is closed there by
                // the scan and is no run.)
                if (f && !in_field && last_end >= 0 && k != length - 1) {
                    const int64_t len = k - last_end;
                    const int64_t mid = (last_end + k) / 2;
                    const uint8_t *c = along_row ? p.at(line, mid) : p.at(mid, line);
                    if (len >= s.min_width && len <= s.max_width && c[0] == c[1] && c[1] == c[2] && c[0] > 89) {
                        const int32_t m2 = static_cast<int32_t>(last_end + k - 1), l2 = static_cast<int32_t>(2 * line);
                        want.insert(along_row ? std::tuple{m2, l2, true, double(len)}
                                              : std::tuple{l2, m2, false, double(len)});
                    }
                }
                if (!f && in_field) last_end = k;
                in_field = f;
            }
        };
        for (double y : scan_positions(h, rows)) walk(true, static_cast<int64_t>(y), w);
        for (double x : scan_positions(w, columns)) walk(false, static_cast<int64_t>(x), h);
        for (const gap &g : got) have.insert({g.x2, g.y2, g.along_row, g.length});
        // A line scanned twice gives its gaps twice; the reference once.
        std::set<std::tuple<int32_t, int32_t, bool, double>> have_once(have.begin(), have.end());
        std::set<std::tuple<int32_t, int32_t, bool, double>> want_once(want.begin(), want.end());
        CHECK(have_once == want_once);
    }
}

NATIVE_TEST(total_least_squares_direction_minimises_the_residual) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int round = 0; round < 200; ++round) {
        const int n = 3 + static_cast<int>(rng() % 60);
        const double a = 3.14159 * u(rng), cx = 300 * u(rng), cy = 300 * u(rng), spread = 1 + 100 * std::abs(u(rng));
        std::vector<double> xs(n), ys(n), t(n);
        std::vector<int32_t> index(n);
        for (int i = 0; i < n; ++i) {
            const double s = spread * u(rng), off = 2.0 * u(rng);
            xs[i] = cx + s * std::cos(a) - off * std::sin(a);
            ys[i] = cy + s * std::sin(a) + off * std::cos(a);
            index[i] = n - 1 - i;
        }
        const line_fit f = fit_segment(xs.data(), ys.data(), index.data(), n, t.data());
        double mx = 0, my = 0;
        for (int i = 0; i < n; ++i) mx += xs[i] / n, my += ys[i] / n;
        CHECK(std::abs(f.px - mx) < 1e-9 * (1 + std::abs(mx)) && std::abs(f.py - my) < 1e-9 * (1 + std::abs(my)));
        CHECK(std::abs(std::hypot(f.ux, f.uy) - 1.0) < 1e-12);
        auto residual = [&](double angle) {
            double r = 0;
            for (int i = 0; i < n; ++i) {
                const double d = -(xs[i] - mx) * std::sin(angle) + (ys[i] - my) * std::cos(angle);
                r += d * d;
            }
            return r;
        };
        // The direction of the half angle of the second moments, cosine
        // first and not negative (as the C library's functions give it, to
        // within their last bits).
        double sxx = 0, syy = 0, sxy = 0;
        for (int i = 0; i < n; ++i)
            sxx += (xs[i] - mx) * (xs[i] - mx), syy += (ys[i] - my) * (ys[i] - my), sxy += (xs[i] - mx) * (ys[i] - my);
        const double half = 0.5 * std::atan2(2.0 * sxy, sxx - syy);
        CHECK(f.ux >= 0.0);
        CHECK(std::abs(f.ux - std::cos(half)) < 1e-13 && std::abs(f.uy - std::sin(half)) < 1e-13);
        const double best = std::atan2(f.uy, f.ux), r0 = residual(best);
        for (int k = 1; k <= 360; ++k) CHECK(r0 <= residual(best + k * 3.14159265358979 / 360) * (1 + 1e-9) + 1e-9);
        for (int i = 0; i < n; ++i) {
            const int j = index[i];
            CHECK(std::abs(t[i] - ((xs[j] - mx) * f.ux + (ys[j] - my) * f.uy)) < 1e-9 * (1 + spread));
        }
    }
}

NATIVE_TEST(the_fit_of_points_along_an_axis_or_on_one_spot_is_exact) {
    // Along x, along y (either way round), on the diagonal, on one spot.
    const double along[] = {-7.0, 1.5, 3.0, 40.25}, at = 12.0;
    std::vector<int32_t> index{0, 1, 2, 3};
    double t[4];
    line_fit f = fit_segment(along, std::vector<double>(4, at).data(), index.data(), 4, t);
    CHECK(f.ux == 1.0 && f.uy == 0.0 && f.py == at);
    CHECK(t[0] == -7.0 - f.px && t[3] == 40.25 - f.px);
    f = fit_segment(std::vector<double>(4, at).data(), along, index.data(), 4, t);
    CHECK(f.ux == 0.0 && f.uy == 1.0 && f.px == at);
    CHECK(t[0] == -7.0 - f.py && t[3] == 40.25 - f.py);
    const double down[] = {9.0, 5.0, -1.0, -30.0};
    f = fit_segment(std::vector<double>(4, at).data(), down, index.data(), 4, t);
    CHECK(f.ux == 0.0 && std::abs(f.uy) == 1.0);
    f = fit_segment(along, along, index.data(), 4, t);
    CHECK(std::abs(f.ux - std::sqrt(0.5)) < 2e-16 && std::abs(f.uy - std::sqrt(0.5)) < 2e-16);
    const double spot[] = {3.0, 3.0, 3.0, 3.0};
    f = fit_segment(spot, spot, index.data(), 4, t);
    CHECK(f.ux == 1.0 && f.uy == 0.0 && t[0] == 0.0 && t[3] == 0.0);
}

NATIVE_TEST(crossings_count_the_lines_between_two_positions) {
    std::mt19937 rng(3);
    for (int round = 0; round < 300; ++round) {
        const int64_t size = 1 + rng() % 500;
        const std::vector<double> at = scan_positions(size, 1 + rng() % 80);
        CHECK(std::is_sorted(at.begin(), at.end()));
        CHECK(std::adjacent_find(at.begin(), at.end()) == at.end());
        std::uniform_real_distribution<double> pos(-20.0, size + 20.0);
        const double a = pos(rng), b = rng() % 4 == 0 ? a : pos(rng);
        int32_t want = 0;
        for (double v : at) want += v >= std::min(a, b) && v <= std::max(a, b);
        CHECK(crossings(at, a, b) == want);
        CHECK(crossings(at, b, a) == want);
    }
}

NATIVE_TEST(frame_clipping_keeps_exactly_the_points_inside) {
    std::mt19937 rng(8);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int round = 0; round < 300; ++round) {
        const int64_t w = 1 + rng() % 800, h = 1 + rng() % 600;
        const double px = (w - 1) * (0.5 + 0.5 * u(rng)), py = (h - 1) * (0.5 + 0.5 * u(rng));
        const double a = 3.14159 * u(rng);
        const double ux = round % 10 == 0 ? 1.0 : std::cos(a), uy = round % 10 == 0 ? 0.0 : std::sin(a);
        double lo, hi;
        clip_to_frame(px, py, ux, uy, w, h, lo, hi);
        auto inside = [&](double t, double eps) {
            const double x = px + t * ux, y = py + t * uy;
            return x >= -0.5 - eps && x <= w - 0.5 + eps && y >= -0.5 - eps && y <= h - 0.5 + eps;
        };
        CHECK(lo <= 0.0 && hi >= 0.0);
        for (int k = 0; k <= 20; ++k) CHECK(inside(lo + (hi - lo) * k / 20.0, 1e-7));
        CHECK(!inside(lo - 1e-3, 0.0) && !inside(hi + 1e-3, 0.0));
    }
}

NATIVE_TEST(the_paint_walk_stops_where_a_step_by_step_walk_does) {
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int round = 0; round < 300; ++round) {
        const int64_t h = 1 + rng() % 60, w = 1 + rng() % 60;
        picture p(h, w);
        const int density = 70 + static_cast<int>(rng() % 30);
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x) p.set(y, x, static_cast<int>(rng() % 100) < density ? white : grass);
        const double a = 3.14159 * u(rng), ux = std::cos(a), uy = std::sin(a);
        const double px = (w - 1) * (0.5 + 0.5 * u(rng)), py = (h - 1) * (0.5 + 0.5 * u(rng));
        double f0, f1;
        clip_to_frame(px, py, ux, uy, w, h, f0, f1);
        const double t = (f0 + f1) / 2 + (f1 - f0) / 4 * u(rng);
        const int32_t reach = 1 + static_cast<int32_t>(rng() % 30);
        for (double limit : {f0, f1}) {
            // The reference: every step, then the first that is not paint.
            const double sign = limit >= t ? 1.0 : -1.0;
            std::vector<bool> on(static_cast<size_t>(reach));
            for (int32_t k = 0; k < reach; ++k) {
                const double tk = t + sign * (k + 1);
                const double x = std::min(std::max(px + tk * ux + 0.5, 0.0), double(w - 1));
                const double y = std::min(std::max(py + tk * uy + 0.5, 0.0), double(h - 1));
                const uint8_t *c = p.at(static_cast<int64_t>(y), static_cast<int64_t>(x));
                on[static_cast<size_t>(k)] = c[0] == 235 && (tk - limit) * sign <= 0.0;
            }
            const auto first = std::find(on.begin(), on.end(), false);
            double want;
            if (first == on.end()) {
                want = t + sign * reach;
            } else {
                const double tf = t + sign * (static_cast<double>(first - on.begin()) + 1);
                want = (tf - limit) * sign > 0.0 ? limit : tf - 0.5 * sign;
            }
            CHECK(paint_end(p.view(), white_paint(), px, py, ux, uy, t, limit, reach) == want);
        }
    }
}

NATIVE_TEST(pieces_of_one_stripe_join_into_one_line_and_others_stay_apart) {
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int round = 0; round < 200; ++round) {
        const double a = 3.14159 * u(rng), ux = std::cos(a), uy = std::sin(a);
        const double x0 = 300 + 100 * u(rng), y0 = 200 + 100 * u(rng), length = 100 + 300 * std::abs(u(rng));
        // Cut [0, length] into pieces with holes between them.
        std::vector<double> cuts{0.0, length};
        for (int k = 0; k < 1 + static_cast<int>(rng() % 4); ++k) cuts.push_back(length * (0.5 + 0.5 * u(rng)));
        std::sort(cuts.begin(), cuts.end());
        std::vector<found_line> pieces;
        double lo = length, hi = 0.0;
        for (size_t k = 0; k + 1 < cuts.size(); ++k) {
            const double s0 = cuts[k] + (k ? 3.0 : 0.0), s1 = cuts[k + 1];
            if (s1 - s0 < 1.0) continue;
            lo = std::min(lo, s0);
            hi = std::max(hi, s1);
            const double off = 0.4 * u(rng);
            pieces.push_back({x0 + s0 * ux - off * uy, y0 + s0 * uy + off * ux, x0 + s1 * ux - off * uy,
                              y0 + s1 * uy + off * ux, 6.0, 1.0});
        }
        std::shuffle(pieces.begin(), pieces.end(), rng);
        const std::vector<found_line> one = join_pieces(pieces, 1.5);
        CHECK(one.size() == 1);
        CHECK(std::abs(one[0].length() - (hi - lo)) < 1e-6 * length);
        CHECK(std::abs(one[0].width - 6.0) < 1e-9);
        // A parallel stripe 20 px away, and one crossing at 30 degrees, stay apart.
        found_line beside = pieces[0], across = pieces[0];
        beside.x0 -= 20 * uy, beside.x1 -= 20 * uy, beside.y0 += 20 * ux, beside.y1 += 20 * ux;
        const double b = a + 0.5236, mx = (across.x0 + across.x1) / 2, my = (across.y0 + across.y1) / 2;
        across = {mx - 50 * std::cos(b), my - 50 * std::sin(b), mx + 50 * std::cos(b), my + 50 * std::sin(b), 6.0, 1.0};
        CHECK(join_pieces({pieces[0], beside}, 1.5).size() == 2);
        CHECK(join_pieces({pieces[0], across}, 1.5).size() == 2);
    }
}

NATIVE_TEST(the_generator_is_the_seeds_and_the_frames_alone) {
    core_random a(42), b(42), c(43);
    bool differs = false;
    double mean = 0.0;
    for (int k = 0; k < 20000; ++k) {
        const uint32_t x = a.next();
        if (x != b.next()) CHECK(false);
        differs |= x != c.next();
        mean += x / 4294967296.0 / 20000;
    }
    CHECK(differs);
    CHECK(std::abs(mean - 0.5) < 0.01);
    std::vector<int32_t> xy{3, 4, 5, 6, 7, 8};
    const points_view ps = points_of(xy);
    const uint64_t key = frame_key(9, ps, 3);
    CHECK(key == frame_key(9, ps, 3));
    CHECK(key != frame_key(10, ps, 3));
    CHECK(key != frame_key(9, ps, 2));
    xy[3] = 7;  // one coordinate of one point
    CHECK(key != frame_key(9, ps, 3));
}

NATIVE_TEST(a_stripe_is_found_on_its_centre_line_with_its_width) {
    std::mt19937 rng(29);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    int found = 0;
    for (int round = 0; round < 30; ++round) {
        const int64_t h = 240, w = 320;
        picture p(h, w);
        const double a = 3.14159 * u(rng), nx = -std::sin(a), ny = std::cos(a);
        const double cx = 160 + 60 * u(rng), cy = 120 + 40 * u(rng), width = 4 + 6 * std::abs(u(rng));
        // The stripe drawn pixel by pixel: centres within width / 2 of its line.
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x)
                p.set(y, x, std::abs((x - cx) * nx + (y - cy) * ny) < width / 2 ? white : grass);
        core_settings s;
        s.field[0] = s.field[1] = field_window();
        s.paint[0] = s.paint[1] = white_paint();
        s.paint[0].count = s.paint[1].count = 1;
        s.paint[0].windows[0] = s.paint[1].windows[0] = {{0, 0}, {0, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0}};
        s.seeded = true;
        s.seed = static_cast<uint64_t>(round);
        detection_core core(s);
        frame_lines out;
        core.find_lines(p.view(), false, out);
        CHECK(out.lines.size() == 1);
        const found_line &l = out.lines[0];
        for (const auto &[x, y] : {std::pair{l.x0, l.y0}, std::pair{l.x1, l.y1}}) {
            CHECK(std::abs((x - cx) * nx + (y - cy) * ny) < 0.75);
            // Ends at the frame's edge (within the last step of the walk):
            // the stripe crosses the whole frame.
            const double edge = std::min({std::abs(x + 0.5), std::abs(x - (w - 0.5)), std::abs(y + 0.5),
                                          std::abs(y - (h - 0.5))});
            CHECK(edge < 1.0);
        }
        CHECK(std::abs(l.width - width) < 1.5);
        ++found;
    }
    CHECK(found == 30);
}

NATIVE_TEST(the_border_refinement_finds_blurred_stripes_to_a_fraction_of_a_pixel) {
    std::mt19937 rng(31);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::normal_distribution<double> noise(0.0, 3.0);
    for (int round = 0; round < 60; ++round) {
        const int64_t h = 120, w = 160;
        const double a = 3.14159 * u(rng), ux = std::cos(a), uy = std::sin(a), nx = -uy, ny = ux;
        const double cx = 80 + 10 * u(rng), cy = 60 + 10 * u(rng), width = 3.5 + 10 * std::abs(u(rng));
        const double alpha = 0.9 + 0.1 * std::abs(u(rng));
        // The stripe's coverage of each pixel square across it, blended over
        // grass, blurred by 0 to 2 passes of [1 2 1] / 4, with noise.
        std::vector<double> img(static_cast<size_t>(h * w * 3));
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x) {
                const double cover = alpha * std::clamp(width / 2 + 0.5 - std::abs((x - cx) * nx + (y - cy) * ny), 0.0, 1.0);
                for (int c = 0; c < 3; ++c)
                    img[static_cast<size_t>((y * w + x) * 3 + c)] = grass[c] + cover * (235.0 - grass[c]);
            }
        const int passes = round % 3;
        for (int pass = 0; pass < passes; ++pass)
            for (int axis = 0; axis < 2; ++axis) {
                std::vector<double> out = img;
                for (int64_t y = 1; y + 1 < h; ++y)
                    for (int64_t x = 1; x + 1 < w; ++x)
                        for (int c = 0; c < 3; ++c) {
                            const int64_t d = axis ? 3 * w : 3;
                            const size_t i = static_cast<size_t>((y * w + x) * 3 + c);
                            out[i] = 0.25 * img[i - d] + 0.5 * img[i] + 0.25 * img[i + d];
                        }
                img.swap(out);
            }
        picture p(h, w);
        for (size_t i = 0; i < img.size(); ++i)
            p.px[i] = static_cast<uint8_t>(std::clamp(std::nearbyint(img[i] + noise(rng)), 0.0, 255.0));
        // A start as the gaps give it: off by up to a pixel and half a degree,
        // the width by up to a pixel.
        const double off = u(rng), turn = 0.0087 * u(rng);
        refined_line l{cx + off * nx, cy + off * ny, std::cos(a + turn), std::sin(a + turn), -40.0, 40.0,
                       width + u(rng)};
        CHECK(refine_across(p.view(), l));
        CHECK(std::abs(std::hypot(l.ux, l.uy) - 1.0) < 1e-12);
        for (double t : {l.t_lo, 0.0, l.t_hi}) {
            const double x = l.px + t * l.ux, y = l.py + t * l.uy;
            CHECK(std::abs((x - cx) * nx + (y - cy) * ny) < 0.12);
        }
        CHECK(std::abs(l.width - width) < 0.2 + 0.05 * passes);  // the paint's own level: alpha drops out
        CHECK(l.t_hi - l.t_lo > 79.0 && l.t_hi - l.t_lo < 81.0);
    }
    // No paint, or paint at the frame's edge only: the line stays.
    picture flat(60, 60);
    for (int64_t y = 0; y < 60; ++y)
        for (int64_t x = 0; x < 60; ++x) flat.set(y, x, grass);
    refined_line l{30.0, 30.0, 1.0, 0.0, -20.0, 20.0, 6.0};
    CHECK(!refine_across(flat.view(), l));
    CHECK(l.py == 30.0 && l.width == 6.0);
    refined_line edge{30.0, 0.5, 1.0, 0.0, -20.0, 20.0, 6.0};
    CHECK(!refine_across(flat.view(), edge));
}

// The core's own sine and cosine against the library's on random angles,
// with the quadrants' exact points, and the double angle against cos and
// sin of twice atan2.
NATIVE_TEST(detect_exact_math) {
    std::mt19937_64 gen(20261208);
    std::uniform_real_distribution<double> angle(-50.0, 50.0), coord(-300.0, 300.0);
    for (int i = 0; i < 20000; ++i) {
        const double a = angle(gen);
        double s, c;
        sin_cos(a, s, c);
        CHECK(std::abs(s - std::sin(a)) < 1e-15 && std::abs(c - std::cos(a)) < 1e-15);
        const double x = coord(gen), y = coord(gen);
        double c2, s2;
        double_angle(x, y, c2, s2);
        const double t = std::atan2(y, x);
        CHECK(std::abs(c2 - std::cos(2 * t)) < 1e-13 && std::abs(s2 - std::sin(2 * t)) < 1e-13);
        CHECK(std::abs(length2d(x, y) - std::hypot(x, y)) <= 1e-13 * std::hypot(x, y));
    }
    double s, c;
    sin_cos(0.0, s, c);
    CHECK(s == 0.0 && c == 1.0);
    sin_cos(-3.141592653589793, s, c);
    CHECK(std::abs(s) < 1e-15 && c == -1.0);
    double c2, s2;
    double_angle(0.0, 0.0, c2, s2);
    CHECK(c2 == 1.0 && s2 == 0.0);
}

namespace {

// A profile written plainly: point after point, each one's four pixels
// checked, the first outside ending it (false).
bool plain_profile(const profile_frame &f, double cx, double cy, double nx, double ny, int samples, int mid,
                   double step, double *v) {
    for (int i = 0; i < samples; ++i) {
        const double s = (i - mid) * step, x = cx + s * nx, y = cy + s * ny;
        const double fx = std::floor(x), fy = std::floor(y);
        if (!(fx >= 0.0 && fy >= 0.0 && fx + 1.0 <= double(f.width - 1) && fy + 1.0 <= double(f.height - 1)))
            return false;
        const uint8_t *p = f.data + int64_t(fy) * f.row_step + int64_t(fx) * f.pixel_step;
        auto sum = [&](const uint8_t *q) { return double(int32_t{q[0]} + q[1] + q[2]); };
        const double ax = x - fx, ay = y - fy;
        const double top = sum(p) * (1.0 - ax) + sum(p + f.pixel_step) * ax;
        const double bottom = sum(p + f.row_step) * (1.0 - ax) + sum(p + f.row_step + f.pixel_step) * ax;
        v[i] = top * (1.0 - ay) + bottom * ay;
    }
    return true;
}

}  // namespace

NATIVE_TEST(profiles_at_every_level_give_the_plain_loops_bits) {
    // Random pixels in frames of odd sizes, packed, padded and reversed;
    // profiles across random points and directions, some reaching out of
    // the frame (refused) and some along its edges.
    std::mt19937 rng(77u);
    const int64_t sizes[][2] = {{2, 2}, {3, 11}, {13, 5}, {40, 57}};
    for (const auto &size : sizes) {
        const int64_t h = size[0], w = size[1];
        for (int layout = 0; layout < 3; ++layout) {
            const int64_t step = layout == 1 ? 5 : 3;
            std::vector<uint8_t> px(size_t(h * w * step));
            for (uint8_t &b : px) b = uint8_t(rng());
            profile_frame f{px.data(), w * step, step, w, h};
            if (layout == 2)  // rows and pixels reversed, channels in place
                f = {px.data() + (h - 1) * w * 3 + (w - 1) * 3, -w * 3, -3, w, h};
            std::uniform_real_distribution<double> at_x(-2.0, double(w + 1)), at_y(-2.0, double(h + 1)),
                turn(0.0, 6.283185307179586);
            int kept = 0;
            for (int trial = 0; trial < 200; ++trial) {
                const double a = trial % 10 == 0 ? 0.0 : turn(rng);
                const double nx = std::cos(a), ny = std::sin(a);
                const int samples = 1 + int(rng() % 40), mid = samples / 2;
                const double cx = trial % 7 == 0 ? 0.0 : at_x(rng), cy = trial % 11 == 0 ? double(h - 2) : at_y(rng);
                const double step_px = trial % 3 == 0 ? 0.25 : 1.0;
                double want[64], got[64];
                const bool inside = plain_profile(f, cx, cy, nx, ny, samples, mid, step_px, want);
                kept += inside;
                for (int l = 0; l < isa_level_count; ++l) {
                    const isa_level level = static_cast<isa_level>(l);
                    if (!level_supported(level)) continue;
                    const profile_kernels &k = ORBISECT_PICK_LEVEL(level, profile_table);
                    CHECK(k.intensities(f, cx, cy, nx, ny, samples, mid, step_px, got) == inside);
                    CHECK(!inside || std::memcmp(got, want, sizeof(double) * size_t(samples)) == 0);
                }
            }
            CHECK(h < 3 || w < 3 || kept > 0);
        }
    }
}
