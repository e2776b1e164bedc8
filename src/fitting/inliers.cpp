// The plain reference loops of inlier counting and the choice of level.
#include "fitting/inliers.hpp"

#include <cstdint>

namespace orbisect {
namespace {

// One point at a time, exactly as the tests are written down; kept scalar so
// that it is an independent check on the vectorised levels.
#define ORBISECT_SCALAR __attribute__((optimize("no-tree-vectorize")))

ORBISECT_SCALAR int32_t ring_plain(const int32_t *xs, const int32_t *ys, int32_t n,
                                   ring_test r) {
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t dx = static_cast<uint32_t>(xs[i]) - static_cast<uint32_t>(r.cx);
        const uint32_t dy = static_cast<uint32_t>(ys[i]) - static_cast<uint32_t>(r.cy);
        const int32_t d = static_cast<int32_t>(dx * dx + dy * dy);
        if (r.lo <= d && d <= r.hi) ++count;
    }
    return count;
}

ORBISECT_SCALAR bool in_band(int32_t x, int32_t y, const band_test &b) {
    const int32_t s = static_cast<int32_t>(
        static_cast<uint32_t>(b.nx) * static_cast<uint32_t>(x) +
        static_cast<uint32_t>(b.ny) * static_cast<uint32_t>(y) + static_cast<uint32_t>(b.h));
    return b.lo <= s && s <= b.hi;
}

ORBISECT_SCALAR int32_t band_plain(const int32_t *xs, const int32_t *ys, int32_t n,
                                   band_test b) {
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i)
        if (in_band(xs[i], ys[i], b)) ++count;
    return count;
}

ORBISECT_SCALAR int32_t band_pair_plain(const int32_t *xs, const int32_t *ys, int32_t n,
                                        band_test b1, band_test b2) {
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i)
        if (in_band(xs[i], ys[i], b1) != in_band(xs[i], ys[i], b2)) ++count;
    return count;
}

ORBISECT_SCALAR int32_t low_word(uint32_t w) { return static_cast<int16_t>(w & 0xFFFFu); }
ORBISECT_SCALAR int32_t high_word(uint32_t w) { return static_cast<int16_t>(w >> 16); }

ORBISECT_SCALAR int32_t band16_plain(const uint32_t *xy, int32_t n, band_test b) {
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i)
        if (in_band(low_word(xy[i]), high_word(xy[i]), b)) ++count;
    return count;
}

ORBISECT_SCALAR int32_t band_pair16_plain(const uint32_t *xy, int32_t n, band_test b1,
                                          band_test b2) {
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t x = low_word(xy[i]), y = high_word(xy[i]);
        if (in_band(x, y, b1) != in_band(x, y, b2)) ++count;
    }
    return count;
}

ORBISECT_SCALAR double conic_value(const conic_test &e, double X, double Y) {
    double v = (e.exy * X) * Y;
    v = v + e.exx * (X * X);
    v = v + e.eyy * (Y * Y);
    v = v + e.ex * X;
    v = v + e.ey * Y;
    return v + e.e0;
}

ORBISECT_SCALAR int32_t shell_plain(const double *xs, const double *ys, int32_t n,
                                    const conic_test &inner, const conic_test &outer) {
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i)
        if (conic_value(inner, xs[i], ys[i]) >= 0.0 && conic_value(outer, xs[i], ys[i]) <= 0.0)
            ++count;
    return count;
}

#undef ORBISECT_SCALAR

constexpr inlier_kernels plain = {ring_plain,   band_plain,        band_pair_plain,
                                  band16_plain, band_pair16_plain, shell_plain};

}  // namespace

const inlier_kernels &reference_inliers() { return plain; }

const inlier_kernels &level_inliers(isa_level level) {
    return ORBISECT_PICK_LEVEL(level, inlier_table);
}

const inlier_kernels &best_inliers() {
    static const inlier_kernels &best = level_inliers(best_level());
    return best;
}

}  // namespace orbisect
