// Fitting kernels: every instruction-set level against the plain loops, the
// worked examples of the candidate solvers, sampling and inlier removal.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/levels.hpp"
#include "fitting/fit_detail.hpp"
#include "fitting/fitting.hpp"
#include "fitting/inliers.hpp"
#include "harness.hpp"

using namespace orbisect;
namespace fd = orbisect::fitting_detail;

namespace {

struct point_array {
    std::vector<int32_t> data;  // rows of `cols` ints
    int64_t rows = 0, cols = 2;
    points_view view() {
        points_view v;
        v.data = data.data();
        v.shape[0] = rows;
        v.shape[1] = cols;
        v.strides[0] = cols * 4;
        v.strides[1] = 4;
        return v;
    }
    void add(int32_t x, int32_t y) {
        data.push_back(x);
        data.push_back(y);
        for (int64_t c = 2; c < cols; ++c) data.push_back(-7);
        ++rows;
    }
};

flags_view flags_of(std::vector<uint8_t> &f) {
    flags_view v;
    v.data = f.data();
    v.shape[0] = static_cast<int64_t>(f.size());
    v.strides[0] = 1;
    return v;
}

std::vector<isa_level> supported_levels() {
    std::vector<isa_level> out;
    for (int l = 0; l < isa_level_count; ++l)
        if (level_supported(static_cast<isa_level>(l))) out.push_back(static_cast<isa_level>(l));
    return out;
}

// Points of a noisy shape mixed with uniform outliers and a few extreme
// coordinates that make the 32-bit tests wrap.
void random_points(std::mt19937 &rng, int n, std::vector<int32_t> &xs, std::vector<int32_t> &ys) {
    std::uniform_int_distribution<int32_t> coord(-600, 600), pick(0, 9), noise(-2, 2);
    std::uniform_real_distribution<double> angle(0.0, 6.283185307179586);
    xs.clear();
    ys.clear();
    for (int i = 0; i < n; ++i) {
        const int kind = pick(rng);
        if (kind < 5) {
            const double t = angle(rng);
            xs.push_back(static_cast<int32_t>(100 + 60 * std::cos(t)) + noise(rng));
            ys.push_back(static_cast<int32_t>(-50 + 35 * std::sin(t)) + noise(rng));
        } else if (kind < 9) {
            xs.push_back(coord(rng));
            ys.push_back(coord(rng));
        } else {
            xs.push_back(static_cast<int32_t>(rng()));
            ys.push_back(static_cast<int32_t>(rng()));
        }
    }
}

conic_test conic_for(double x, double y, double p, double q, double theta) {
    const double s = std::sin(theta), c = std::cos(theta);
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

NATIVE_TEST(fitting_levels_count_like_plain_loops) {
    std::mt19937 rng(12345);
    const inlier_kernels &plain = reference_inliers();
    std::uniform_int_distribution<int32_t> small(-300, 300), len(0, 400);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<int32_t> xs, ys;
    for (int round = 0; round < 200; ++round) {
        const int n = 1 + static_cast<int>(rng() % 300);  // odd sizes exercise the loop tails
        random_points(rng, n, xs, ys);
        // Exact boundary points: squared distance 25 and 49 about (100, -50),
        // band values -t and t, and conic values 0.
        xs.insert(xs.end(), {103, 107, 100, 93, 10, -10, 120, 80, 100, 100});
        ys.insert(ys.end(), {-46, -50, -43, -50, 0, 0, -50, -50, -20, -80});
        const int32_t m = static_cast<int32_t>(xs.size());
        std::vector<double> fx(xs.begin(), xs.end()), fy(ys.begin(), ys.end());

        // Every third round a negative delta: empty rings and bands.
        const int32_t r = len(rng) % 60, d = round % 3 == 2 ? -1 - len(rng) % 3 : len(rng) % 5;
        const ring_test ring = round % 2 ? ring_test{100, -50, 25, 49}
                                         : ring_test{small(rng), small(rng), wrap_mul(r - d, r - d),
                                                     wrap_mul(r + d, r + d)};
        const line_model l1 = {small(rng), small(rng), small(rng), small(rng)};
        const line_model l2 = {small(rng), small(rng), small(rng), small(rng)};
        const band_test b1 = round % 2 ? band_test{1, 0, 0, -10, 10} : fd::line_band(l1, d);
        const band_test b2 = fd::line_band(l2, d + 1);
        // theta 0 with integer centre and axes: values exactly 0 on the
        // axis ends; otherwise a random rotation.
        const double theta = round % 2 ? 0.0 : unit(rng) * 3.0 - 1.5;
        const conic_test inner = conic_for(100, -50, 20 - d, 30 - d, theta);
        const conic_test outer = conic_for(100, -50, 20 + d, 30 + d, theta);

        const int32_t want_ring = plain.ring(xs.data(), ys.data(), m, ring);
        const int32_t want_band = plain.band(xs.data(), ys.data(), m, b1);
        const int32_t want_pair = plain.band_pair(xs.data(), ys.data(), m, b1, b2);
        const int32_t want_shell = plain.shell(fx.data(), fy.data(), m, inner, outer);
        // The same points as 16-bit pairs, against bands with 16-bit normals
        // (the extreme words included, where the multiply-add wraps).
        std::vector<uint32_t> xy(xs.size());
        for (size_t i = 0; i < xs.size(); ++i)
            xy[i] = (static_cast<uint32_t>(xs[i]) & 0xFFFFu) | (static_cast<uint32_t>(ys[i]) << 16);
        xy.insert(xy.end(), {0x80008000u, 0x7FFF7FFFu, 0x80007FFFu, 0x00008000u});
        const int32_t m16 = static_cast<int32_t>(xy.size());
        const band_test w1 = round % 4 == 1 ? band_test{-32768, -32768, INT32_MIN, INT32_MIN, -5}
                                            : b1;
        const band_test w2 = round % 4 == 3 ? band_test{32767, -32768, 7, -100000, 100000} : b2;
        // Unpacked, the pairs are the points' 16-bit values: both forms count alike.
        std::vector<int32_t> xs16(xs.size()), ys16(ys.size());
        for (size_t i = 0; i < xs.size(); ++i)
            xs16[i] = static_cast<int16_t>(xs[i]), ys16[i] = static_cast<int16_t>(ys[i]);
        CHECK(plain.band16(xy.data(), m, b1) == plain.band(xs16.data(), ys16.data(), m, b1));
        CHECK(plain.band_pair16(xy.data(), m, b1, b2) ==
              plain.band_pair(xs16.data(), ys16.data(), m, b1, b2));
        const int32_t want_band16 = plain.band16(xy.data(), m16, w1);
        const int32_t want_pair16 = plain.band_pair16(xy.data(), m16, w1, w2);
        for (isa_level level : supported_levels()) {
            const inlier_kernels &k = level_inliers(level);
            CHECK_MSG(k.band16(xy.data(), m16, w1) == want_band16, level_name(level));
            CHECK_MSG(k.band_pair16(xy.data(), m16, w1, w2) == want_pair16, level_name(level));
            CHECK_MSG(k.ring(xs.data(), ys.data(), m, ring) == want_ring, level_name(level));
            CHECK_MSG(k.band(xs.data(), ys.data(), m, b1) == want_band, level_name(level));
            CHECK_MSG(k.band_pair(xs.data(), ys.data(), m, b1, b2) == want_pair,
                      level_name(level));
            CHECK_MSG(k.shell(fx.data(), fy.data(), m, inner, outer) == want_shell,
                      level_name(level));
        }
    }
    // The boundary points are counted: both ring bounds and both band ends
    // are inclusive.
    const int32_t bx[] = {103, 107, 100, 93}, by[] = {-46, -50, -43, -50};
    CHECK(plain.ring(bx, by, 4, {100, -50, 25, 49}) == 4);
    const int32_t lx[] = {10, -10, 11}, ly[] = {0, 0, 0};
    CHECK(plain.band(lx, ly, 3, {1, 0, 0, -10, 10}) == 2);
    const double ex[] = {120, 80, 100, 100, 122}, ey[] = {-50, -50, -20, -80, -50};
    CHECK(plain.shell(ex, ey, 5, conic_for(100, -50, 20, 30, 0), conic_for(100, -50, 22, 32, 0)) ==
          5);
    CHECK(plain.shell(ex, ey, 5, conic_for(100, -50, 18, 28, 0), conic_for(100, -50, 20, 30, 0)) ==
          4);
}

NATIVE_TEST(fitting_shell_levels_treat_nan_infinity_and_signed_zero_alike) {
    // A NaN value is neither >= 0 nor <= 0; -0.0 is both; infinities of
    // either sign decide.  A vector compare with another rule for any of
    // them (an inverted "less than", say) counts differently from the plain
    // loop.  Point counts cover the vector body and its tail.
    const double inf = INFINITY, nan = NAN;
    std::vector<double> xs, ys;
    const double coords[] = {0.0, -0.0, 1.0, -1.0, 3.5, inf, -inf, nan, 1e300, -1e-300};
    for (double x : coords)
        for (double y : coords) xs.push_back(x), ys.push_back(y);
    const conic_test tests[] = {
        {0, 0, 0, 0, 0, 0},        {0, 0, 0, 0, 0, -0.0},     {0, 1, 1, 0, 0, -4},
        {1, -1, 1, 2, -3, nan},    {0, 0, 0, inf, 0, 0},      {nan, 0, 0, 0, 0, 0},
        {0, -1, -1, 0, 0, 1e-300}, {1e300, 1e300, 0, 0, 0, 0},
    };
    const inlier_kernels &plain = reference_inliers();
    for (const conic_test &u : tests)
        for (const conic_test &v : tests)
            for (int32_t n : {1, 3, 4, 7, 100}) {
                const int32_t want = plain.shell(xs.data(), ys.data(), n, u, v);
                for (isa_level level : supported_levels())
                    CHECK_MSG(level_inliers(level).shell(xs.data(), ys.data(), n, u, v) == want,
                              level_name(level));
            }
}

NATIVE_TEST(fitting_fits_agree_across_levels_and_layouts) {
    std::mt19937 rng(777);
    std::vector<int32_t> xs, ys;
    for (int round = 0; round < 12; ++round) {
        random_points(rng, 150 + round, xs, ys);
        point_array packed, wide;
        wide.cols = 3;
        for (size_t i = 0; i < xs.size(); ++i) {
            packed.add(xs[i], ys[i]);
            wide.add(xs[i], ys[i]);
        }
        // The same set reversed through a negative row stride.
        point_array reversed;
        for (size_t i = xs.size(); i-- > 0;) reversed.add(xs[i], ys[i]);
        points_view back = reversed.view();
        back.data = reversed.data.data() + 2 * (reversed.rows - 1);
        back.strides[0] = -8;

        const uint32_t state = rng() & 0x7FFF;
        const inlier_kernels &plain = reference_inliers();
        const circle_model c0 = fd::ransac_circle(plain, packed.view(), 300, 5, 200, 2, state);
        const ellipse_model e0 =
            fd::ransac_ellipse(plain, packed.view(), 300, 5, 200, 3.0, 2, state);
        std::vector<uint8_t> f0(xs.size()), f1(xs.size()), g0(xs.size()), g1(xs.size());
        const line_model l0 =
            fd::ransac_line(plain, packed.view(), flags_of(f0), 300, 2, 0.1, state);
        const auto p0 = fd::ransac_line2(plain, packed.view(), flags_of(g0), 300, 0.9, 2, state);
        CHECK(c0.r != 0);
        for (isa_level level : supported_levels()) {
            const inlier_kernels &k = level_inliers(level);
            for (const points_view &v : {packed.view(), wide.view(), back}) {
                const circle_model c = fd::ransac_circle(k, v, 300, 5, 200, 2, state);
                CHECK_MSG(c.x == c0.x && c.y == c0.y && c.r == c0.r, level_name(level));
                const ellipse_model e = fd::ransac_ellipse(k, v, 300, 5, 200, 3.0, 2, state);
                CHECK_MSG(e.x == e0.x && e.y == e0.y && e.a == e0.a && e.b == e0.b &&
                              e.theta == e0.theta,
                          level_name(level));
                const line_model l = fd::ransac_line(k, v, flags_of(f1), 300, 2, 0.1, state);
                CHECK_MSG(l.px == l0.px && l.py == l0.py && l.nx == l0.nx && l.ny == l0.ny &&
                              f1 == f0,
                          level_name(level));
                const auto p = fd::ransac_line2(k, v, flags_of(g1), 300, 0.9, 2, state);
                CHECK_MSG(p.first.nx == p0.first.nx && p.second.px == p0.second.px &&
                              p.second.ny == p0.second.ny && g1 == g0,
                          level_name(level));
            }
        }
    }
}

NATIVE_TEST(fitting_draw_sample_distinct_in_draw_order) {
    point_array ps;
    for (int i = 0; i < 3; ++i) ps.add(i, 10 * i);
    for (uint32_t seed : {0u, 1u, 2u, 32767u}) {
        uint32_t state = seed, idx[3];
        sample_point pts[3];
        draw_sample(ps.view(), 3, 3, state, idx, pts);
        CHECK(idx[0] == seed % 3);
        CHECK(idx[0] != idx[1] && idx[1] != idx[2] && idx[0] != idx[2]);
        CHECK(pts[1].x == static_cast<int32_t>(idx[1]) && pts[1].y == 10 * pts[1].x);
    }
    // The state advances once per draw, duplicates included: with N = 2 the
    // low bit alternates, so two draws give two distinct indices.
    uint32_t state = 4, idx[2];
    sample_point pts[2];
    draw_sample(ps.view(), 2, 2, state, idx, pts);
    CHECK(idx[0] == 0 && idx[1] == 1);
    CHECK(state == (4u * 1664525u + 1013904223u) * 1664525u + 1013904223u);
}

NATIVE_TEST(fitting_circle_worked_examples) {
    struct row {
        sample_point p[3];
        bool ok;
        circle_model want;
    } rows[] = {
        {{{10, 0}, {0, 10}, {-10, 0}}, true, {0, 0, 10}},
        {{{0, 0}, {3, 0}, {0, 3}}, true, {1, 1, 1}},           // centre truncated
        {{{0, 0}, {2, 1}, {4, 2}}, false, {}},                  // collinear
        {{{5, 5}, {5, 5}, {9, 1}}, false, {}},                  // coinciding
        {{{47000, 0}, {0, 47000}, {-47000, 0}}, false, {}},    // r^2 beyond 32 bits
        {{{46000, 0}, {0, 46000}, {-46000, 0}}, true, {0, 0, 46000}},
        {{{2000000000, 0}, {0, 2000000000}, {-2000000000, 1}}, false, {}},
    };
    for (const row &r : rows) {
        circle_model c;
        CHECK(fd::circle_through(r.p, c) == r.ok);
        if (r.ok) CHECK(c.x == r.want.x && c.y == r.want.y && c.r == r.want.r);
    }
    // A centre 400 px from the origin, radius 80: N3 leaves 32 bits while the
    // circle itself is exact.
    const sample_point far[3] = {{480, 0}, {400, 80}, {320, 0}};
    circle_model c;
    CHECK(fd::circle_through(far, c) && c.x == 400 && c.y == 0 && c.r == 80);
}

NATIVE_TEST(fitting_circle_64_bit_path_matches_128_bit) {
    // Coordinates below 2^13 take the 64-bit path: the same refusals and the
    // same circles as the 128-bit one, for spread, clustered, nearly
    // collinear, repeated and extreme points, points on circles of integer
    // radius (where an error of one in any term shows), and just beyond the
    // limit.
    std::mt19937 rng(3);
    auto any = [&](int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(rng); };
    int accepted = 0;
    for (int i = 0; i < 200000; ++i) {
        sample_point p[3];
        const int kind = i % 6;
        const int32_t cx = any(-8191, 8191), cy = any(-8191, 8191), spread = kind == 1 ? any(1, 40) : 8191;
        for (auto &q : p) {
            q.x = kind == 3 ? (any(0, 1) ? 8191 : -8191) : cx + any(-spread, spread);
            q.y = kind == 3 ? any(-8191, 8191) : cy + any(-spread, spread);
            q.x = q.x > 8191 ? 8191 : q.x < -8191 ? -8191 : q.x;
            q.y = q.y > 8191 ? 8191 : q.y < -8191 ? -8191 : q.y;
        }
        if (kind == 2) p[2] = {2 * p[1].x - p[0].x + any(-1, 1), 2 * p[1].y - p[0].y + any(-1, 1)};
        if (kind == 2 && (p[2].x < -8191 || p[2].x > 8191 || p[2].y < -8191 || p[2].y > 8191)) p[2] = p[0];
        if (kind == 4) p[any(1, 2)] = p[0];
        if (kind == 5) {
            const int32_t r = any(1, 4000), x = any(-4000, 4000), y = any(-4000, 4000);
            p[0] = {x + r, y}, p[1] = {x, y + (any(0, 1) ? r : -r)}, p[2] = {x - r, y};
        }
        if (i % 1000 == 0) p[0].x = 8192;  // the 128-bit path on both sides
        circle_model a{7, 7, 7}, b{7, 7, 7};
        const bool ok = fd::circle_through(p, a);
        CHECK(ok == fd::circle_through_wide(p, b));
        CHECK(a.x == b.x && a.y == b.y && a.r == b.r);
        accepted += ok;
    }
    CHECK(accepted > 100000);
}

NATIVE_TEST(fitting_solve_conic_worked_examples) {
    ellipse_model e;
    const sample_point circle[5] = {{10, 0}, {0, 10}, {-10, 0}, {0, -10}, {6, 8}};
    CHECK(solve_conic(circle, e));
    CHECK(std::fabs(e.a - 10) < 1e-9 && std::fabs(e.b - 10) < 1e-9);
    CHECK(std::fabs(e.x) < 1e-9 && std::fabs(e.y) < 1e-9);

    const sample_point line1[5] = {{0, 0}, {2, 1}, {4, 2}, {6, 3}, {8, 4}};
    const sample_point line2[5] = {{3, 7}, {6, 12}, {9, 17}, {12, 22}, {15, 27}};
    CHECK(!solve_conic(line1, e));
    CHECK(!solve_conic(line2, e));

    const sample_point far[5] = {{130, 104}, {96, 100}, {66, 74}, {82, 54}, {125, 74}};
    CHECK(solve_conic(far, e));
    CHECK(std::fabs(e.x - 100.06) < 0.005 && std::fabs(e.y - 79.97) < 0.005);
    CHECK(std::fabs(e.a - 19.70) < 0.005 && std::fabs(e.b - 40.01) < 0.005);
    CHECK(std::fabs(e.theta + 1.061) < 0.0005);

    const sample_point near[5] = {{40, 29}, {6, 25}, {-24, -1}, {-8, -21}, {35, -1}};
    CHECK(solve_conic(near, e));
    CHECK(std::fabs(e.x - 10.06) < 0.005 && std::fabs(e.y - 4.97) < 0.005);
    CHECK(std::fabs(e.a - 40.01) < 0.005 && std::fabs(e.b - 19.70) < 0.005);
    CHECK(std::fabs(e.theta - 0.509) < 0.0005);
}

NATIVE_TEST(fitting_remove_inliers_in_place_and_refusals) {
    point_array ps;
    for (int i = 0; i < 4; ++i) ps.add(i, 100 + i);
    std::vector<uint8_t> flags = {0, 1, 0, 255};
    CHECK(!check_remove_inliers(ps.view(), ps.view(), flags_of(flags)));
    CHECK(remove_inliers(ps.view(), ps.view(), flags_of(flags)) == 2);
    const std::vector<int32_t> want = {0, 100, 2, 102, 2, 102, 3, 103};
    CHECK(ps.data == want);

    points_view none;
    std::vector<uint8_t> empty, one = {0}, two = {0, 0};
    point_array small, no_cols;
    small.add(9, 9);
    no_cols.cols = 0;
    no_cols.rows = 3;
    no_cols.data.resize(1);
    point_array one_col;
    one_col.cols = 1;
    one_col.rows = 1;
    one_col.data.resize(1);
    struct row {
        points_view in, out;
        flags_view ms;
        fault_kind kind;
        int axis;
    } rows[] = {
        {none, none, flags_of(empty), fault_kind::index, 0},       // flags first, even for none
        {none, none, flags_of(one), fault_kind::none, 0},          // no points: nothing checked
        {ps.view(), none, flags_of(flags), fault_kind::index, 1},  // output None
        {no_cols.view(), ps.view(), flags_of(flags), fault_kind::index, 1},
        {ps.view(), no_cols.view(), flags_of(flags), fault_kind::index, 1},
        {ps.view(), one_col.view(), flags_of(flags), fault_kind::value, 0},
        {ps.view(), ps.view(), flags_of(two), fault_kind::value, 0},     // too few flags
        {ps.view(), small.view(), flags_of(flags), fault_kind::value, 0}, // keeps 2 > 1 row
    };
    for (const row &r : rows) {
        const fault f = check_remove_inliers(r.in, r.out, r.ms);
        CHECK(f.kind == r.kind);
        if (f.kind == fault_kind::index) CHECK(f.axis == r.axis);
    }
    points_view zero_rows = ps.view();
    zero_rows.shape[0] = 0;
    CHECK(check_remove_inliers(ps.view(), zero_rows, flags_of(flags)).axis == 0);
}

NATIVE_TEST(fitting_line_worked_examples) {
    // Vertical line x = 5 sampled at (5, 0), (5, 10): t = 20, so 3 <= x <= 7.
    const band_test b = fd::line_band({5, 0, 10, 0}, 2);
    CHECK(b.h == -50 && b.hi == 20 && b.lo == -20);
    // (0, 0), (3, 4) with delta 1: t = 5; (2, 1) lies exactly 1 away.
    const band_test c = fd::line_band({0, 0, 4, -3}, 1);
    CHECK(c.hi == 5 && c.h == 0);
    CHECK(reference_inliers().band(std::vector<int32_t>{2}.data(),
                                   std::vector<int32_t>{1}.data(), 1, c) == 1);

    // Fewer points than the sample, or count <= 0: all-zero model, every
    // flag 1, flags past N untouched.
    point_array ps;
    ps.add(1, 2);
    std::vector<uint8_t> flags = {0, 9};
    const line_model l = ransac_line(ps.view(), flags_of(flags), 100, 1, 0.0, 3);
    CHECK(l.px == 0 && l.nx == 0 && flags[0] == 1 && flags[1] == 9);
    ps.add(3, 4);
    ps.add(5, 6);
    flags = {0, 0, 0, 9};
    const auto pair = ransac_line2(ps.view(), flags_of(flags), 100, 0.0, 1, 3);
    CHECK(pair.first.nx == 0 && pair.second.ny == 0);
    CHECK(flags == (std::vector<uint8_t>{1, 1, 1, 9}));
}
