// Corpus cases of the kernels: the colour windows over the frames, the scans
// and the denoiser over their masks and points, and the fits with fixed
// sampling states over the point sets.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "colour/window.hpp"
#include "corpus.hpp"
#include "edges/simple_denoise.hpp"
#include "edges/simple_edge.hpp"
#include "edges/simple_edge_hsv.hpp"
#include "fitting/fitting.hpp"
#include "fitting/inliers.hpp"

using namespace orbisect;

namespace {

// The detector's ball, turf and paint windows, windows of the usual scale,
// windows whose matrix leaves 16 bits and windows where everything wraps.
const std::vector<lch_bounds> &windows() {
    static const std::vector<lch_bounds> all = [] {
        std::vector<lch_bounds> v = {
            {{1966, 62259}, {6726, 80712}, {343, -581, 238, -101, 549, -447, 85, 85, 85}},
            {{2621, 52429}, {13581, 97006}, {45, 197, -241, -248, 182, 67, 85, 85, 85}},
            {{22938, 65536}, {0, 24811}, {289, -289, 0, 314, -58, -256, 85, 85, 85}},
        };
        corpus::generator g(77);
        for (int k = 0; k < 3; ++k) {
            lch_bounds b;
            for (int32_t &m : b.M) m = g.between(-600, 600);
            b.i[0] = g.between(-100000, 60000), b.i[1] = b.i[0] + g.between(0, 120000);
            b.c[0] = g.between(-200000, 150000), b.c[1] = b.c[0] + g.between(0, 300000);
            v.push_back(b);
        }
        for (int k = 0; k < 2; ++k) {
            lch_bounds b = v[k];
            for (int32_t &m : b.M) m *= 1000;
            b.i[0] *= 1000, b.i[1] *= 1000, b.c[0] *= 1000, b.c[1] *= 1000;
            v.push_back(b);
        }
        for (int k = 0; k < 2; ++k) {
            lch_bounds b;
            for (int32_t &m : b.M) m = g.any_int32();
            b.i[0] = g.any_int32(), b.i[1] = INT32_MAX, b.c[0] = INT32_MIN, b.c[1] = g.any_int32();
            v.push_back(b);
        }
        return v;
    }();
    return all;
}

mask_view dense(std::vector<uint8_t> &m, int64_t h, int64_t w) {
    mask_view v;
    v.data = m.data();
    v.shape[0] = h, v.shape[1] = w;
    v.strides[0] = w, v.strides[1] = 1;
    return v;
}

// The frame read backwards along both axes (the rows gathered pixel by pixel).
image_view reversed(const corpus::frame &f) {
    image_view v = f.view();
    v.data += 3 * (f.h * f.w - 1);
    v.strides[0] = -v.strides[0], v.strides[1] = -3;
    return v;
}

template <class Kernel>
void pixel_case(corpus::digest &d, Kernel kernel) {
    for (const corpus::frame &f : corpus::frames())
        for (const lch_bounds &b : windows())
            for (const image_view &view : {f.view(), reversed(f)}) {
                std::vector<uint8_t> out(static_cast<size_t>(f.h * f.w));
                d.add(kernel(view, dense(out, f.h, f.w), b));
                d.bytes(out.data(), out.size());
            }
}

struct points_out {
    std::vector<int32_t> xy;
    explicit points_out(int64_t capacity) : xy(static_cast<size_t>(2 * capacity)) {}
    points_view view() {
        points_view v;
        v.data = xy.data();
        v.shape[0] = static_cast<int64_t>(xy.size() / 2), v.shape[1] = 2;
        v.strides[0] = 8, v.strides[1] = 4;
        return v;
    }
    void add_to(corpus::digest &d, int32_t n) const {
        d.add(n);
        d.bytes(xy.data(), static_cast<size_t>(n) * 8);
    }
};

constexpr int32_t scan_counts[][2] = {{48, 64}, {0, 700}, {7, 0}, {65536, 3}};

flags_view flags_of(std::vector<uint8_t> &f) {
    flags_view v;
    v.data = f.data();
    v.shape[0] = static_cast<int64_t>(f.size());
    v.strides[0] = 1;
    return v;
}

// The sampling states of the fits: fixed, one per point set and fit.
uint32_t state_for(size_t set, int fit) { return static_cast<uint32_t>((set * 7919 + fit * 104729) & 0x7FFF); }

}  // namespace

CORPUS_CASE(mask_image) { pixel_case(d, mask_image_cy_impl); }

CORPUS_CASE(selective_grayscale) { pixel_case(d, selective_grayscale_impl); }

CORPUS_CASE(colour_test) {
    corpus::generator g(5);
    for (const lch_bounds &b : windows())
        for (int k = 0; k < 4096; ++k) {
            const int32_t r = g.between(0, 255), gr = g.between(0, 255), bl = g.between(0, 255);
            d.add(window_inside(b, r, gr, bl));
            d.add(static_cast<uint32_t>(window_grey(b, r, gr, bl)));
        }
}

CORPUS_CASE(simple_edge) {
    for (const corpus::frame &f : corpus::frames())
        for (const lch_bounds &b : windows()) {
            std::vector<uint8_t> mask(static_cast<size_t>(f.h * f.w));
            mask_image_cy_impl(f.view(), dense(mask, f.h, f.w), b);
            for (const auto &counts : scan_counts) {
                points_out ps(4096);
                ps.add_to(d, orbisect::simple_edge(dense(mask, f.h, f.w), ps.view(), counts[0], counts[1]));
            }
        }
}

CORPUS_CASE(simple_edge_hsv) {
    for (const corpus::frame &f : corpus::frames())
        for (const lch_bounds &b : windows())
            for (const image_view &view : {f.view(), reversed(f)})
                for (const auto &counts : scan_counts) {
                    points_out ps(4096);
                    ps.add_to(d, orbisect::simple_edge_hsv(view, ps.view(), b, counts[0], counts[1]));
                }
}

CORPUS_CASE(simple_denoise) {
    for (const corpus::frame &f : corpus::frames())
        for (const lch_bounds &b : windows()) {
            points_out ps(4096);
            const int32_t n = orbisect::simple_edge_hsv(f.view(), ps.view(), b, 48, 64);
            if (n < 2) continue;
            for (int32_t gap : {1, 3, 6}) {
                points_out in(n), out(n);
                std::copy(ps.xy.begin(), ps.xy.begin() + 2 * n, in.xy.begin());
                out.add_to(d, simple_denoise(in.view(), out.view(), gap));
            }
        }
}

CORPUS_CASE(ransac_circle) {
    const auto &sets = corpus::point_sets();
    for (size_t s = 0; s < sets.size(); ++s) {
        const circle_model c = ransac_circle(sets[s].view(), 200, 5, 200, 2, state_for(s, 0));
        d.add(c.x), d.add(c.y), d.add(c.r);
    }
}

CORPUS_CASE(ransac_ellipse) {
    const auto &sets = corpus::point_sets();
    for (size_t s = 0; s < sets.size(); ++s) {
        const ellipse_model e = ransac_ellipse(sets[s].view(), 200, 5, 200, 4.0, 2, state_for(s, 1));
        d.add(e.x), d.add(e.y), d.add(e.a), d.add(e.b), d.add(e.theta);
    }
}

CORPUS_CASE(ransac_line) {
    const auto &sets = corpus::point_sets();
    for (size_t s = 0; s < sets.size(); ++s) {
        std::vector<uint8_t> flags(static_cast<size_t>(sets[s].size()));
        const line_model l = ransac_line(sets[s].view(), flags_of(flags), 200, 2, 0.1, state_for(s, 2));
        d.add(l.px), d.add(l.py), d.add(l.nx), d.add(l.ny);
        d.bytes(flags.data(), flags.size());
    }
}

CORPUS_CASE(ransac_line2) {
    const auto &sets = corpus::point_sets();
    for (size_t s = 0; s < sets.size(); ++s) {
        std::vector<uint8_t> flags(static_cast<size_t>(sets[s].size()));
        const auto p = ransac_line2(sets[s].view(), flags_of(flags), 200, 0.9, 2, state_for(s, 3));
        for (const line_model &l : {p.first, p.second}) d.add(l.px), d.add(l.py), d.add(l.nx), d.add(l.ny);
        d.bytes(flags.data(), flags.size());
    }
}

CORPUS_CASE(remove_inliers) {
    // Lines peeled off one after another, as a line search does.
    const auto &sets = corpus::point_sets();
    for (size_t s = 0; s < sets.size(); ++s) {
        corpus::point_set left = sets[s];
        for (int round = 0; round < 3 && left.size() >= 2; ++round) {
            std::vector<uint8_t> flags(static_cast<size_t>(left.size()));
            ransac_line(left.view(), flags_of(flags), 100, 2, 0.1, state_for(s, 4 + round));
            const int32_t kept = remove_inliers(left.view(), left.view(), flags_of(flags));
            left.xy.resize(static_cast<size_t>(2 * kept));
            d.add(kept);
            d.bytes(left.xy.data(), left.xy.size() * 4);
        }
    }
}

namespace {

// The conic q^2 (x - x0)^2 + p^2 (y - y0)^2 - p^2 q^2 of an upright ellipse:
// every term is an integer held exactly, so that the value is exactly 0 on
// the lattice points of the ellipse (its axis ends among them).
conic_test upright(int32_t x0, int32_t y0, int32_t p, int32_t q) {
    const double pp = static_cast<double>(p) * p, qq = static_cast<double>(q) * q;
    return {0.0, qq, pp, -2.0 * qq * x0, -2.0 * pp * y0, qq * x0 * x0 + pp * y0 * y0 - pp * qq};
}

}  // namespace

CORPUS_CASE(inlier_counts) {
    // The counting loops straight, on points that lie exactly on the bounds
    // of the tests (ring radii of Pythagorean triples, band edges, conic
    // values of 0) and one step either side of them, where a bound off by
    // one or a value off by one ulp changes the count; then on the shared
    // point sets.
    corpus::point_set edge;
    struct shape { int32_t x0, y0, p, q; };
    const shape shapes[] = {{10, -20, 30, 40}, {-300, 250, 5, 12}, {0, 0, 25, 25}, {1000, 700, 8, 15}};
    for (const shape &e : shapes)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                for (const int32_t sx : {-1, 1}) {
                    edge.xy.push_back(e.x0 + sx * e.p + dx), edge.xy.push_back(e.y0 + dy);
                    edge.xy.push_back(e.x0 + dx), edge.xy.push_back(e.y0 + sx * e.q + dy);
                }
                // (3k, 4k) from the centre: radius 5k.
                edge.xy.push_back(e.x0 + 3 * e.p / 5 + dx), edge.xy.push_back(e.y0 + 4 * e.p / 5 + dy);
            }
    std::vector<corpus::point_set> sets = {edge};
    for (const corpus::point_set &s : corpus::point_sets()) sets.push_back(s);
    const inlier_kernels &k = best_inliers();
    for (const corpus::point_set &s : sets) {
        const int32_t n = s.size();
        std::vector<int32_t> xs(static_cast<size_t>(n)), ys(static_cast<size_t>(n));
        std::vector<uint32_t> xy(static_cast<size_t>(n));
        std::vector<double> fx(static_cast<size_t>(n)), fy(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) {
            xs[i] = s.xy[2 * i], ys[i] = s.xy[2 * i + 1];
            xy[i] = (static_cast<uint32_t>(xs[i]) & 0xFFFFu) | (static_cast<uint32_t>(ys[i]) << 16);
            fx[i] = xs[i], fy[i] = ys[i];
        }
        for (const shape &e : shapes) {
            const int32_t r = e.p;
            d.add(k.ring(xs.data(), ys.data(), n, {e.x0, e.y0, r * r, r * r}));
            d.add(k.ring(xs.data(), ys.data(), n, {e.x0, e.y0, (r - 1) * (r - 1), (r + 1) * (r + 1)}));
            const band_test vertical{1, 0, -e.x0, -e.p, e.p}, slanted{3, -4, e.y0, -5 * e.q, 5 * e.q};
            d.add(k.band(xs.data(), ys.data(), n, vertical));
            d.add(k.band_pair(xs.data(), ys.data(), n, vertical, slanted));
            d.add(k.band16(xy.data(), n, vertical));
            d.add(k.band_pair16(xy.data(), n, vertical, slanted));
            const conic_test on = upright(e.x0, e.y0, e.p, e.q);
            d.add(k.shell(fx.data(), fy.data(), n, on, upright(e.x0, e.y0, e.p + 2, e.q + 2)));
            d.add(k.shell(fx.data(), fy.data(), n, upright(e.x0, e.y0, e.p - 2, e.q - 2), on));
        }
    }
}
