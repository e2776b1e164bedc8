// Inlier counting loops, compiled once per instruction-set level.  Each loop
// is branch-free so that it vectorises; the integer loops wrap in unsigned
// arithmetic and the conic loop keeps the
// reference order of operations (the build forbids contraction into FMA).
#include <cstdint>

#include "fitting/inliers.hpp"

namespace orbisect::ORBISECT_LEVEL {
namespace {

// lo <= v <= hi (signed, lo <= hi) is tested as one unsigned comparison,
// (v - lo) <= (hi - lo) modulo 2^32; an empty range (lo > hi) counts nothing.

int32_t ring(const int32_t *__restrict xs, const int32_t *__restrict ys, int32_t n,
             ring_test r) {
    if (r.lo > r.hi) return 0;
    const uint32_t cx = static_cast<uint32_t>(r.cx), cy = static_cast<uint32_t>(r.cy);
    const uint32_t lo = static_cast<uint32_t>(r.lo);
    const uint32_t span = static_cast<uint32_t>(r.hi) - lo;
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t dx = static_cast<uint32_t>(xs[i]) - cx;
        const uint32_t dy = static_cast<uint32_t>(ys[i]) - cy;
        count += static_cast<int32_t>(dx * dx + dy * dy - lo <= span);
    }
    return count;
}

int32_t band(const int32_t *__restrict xs, const int32_t *__restrict ys, int32_t n,
             band_test b) {
    if (b.lo > b.hi) return 0;
    const uint32_t nx = static_cast<uint32_t>(b.nx), ny = static_cast<uint32_t>(b.ny);
    const uint32_t off = static_cast<uint32_t>(b.h) - static_cast<uint32_t>(b.lo);
    const uint32_t span = static_cast<uint32_t>(b.hi) - static_cast<uint32_t>(b.lo);
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t s = nx * static_cast<uint32_t>(xs[i]) + ny * static_cast<uint32_t>(ys[i]);
        count += static_cast<int32_t>(s + off <= span);
    }
    return count;
}

int32_t band_pair(const int32_t *__restrict xs, const int32_t *__restrict ys, int32_t n,
                  band_test b1, band_test b2) {
    // Near exactly one line: with one band empty that is the other band.
    if (b1.lo > b1.hi) return band(xs, ys, n, b2);
    if (b2.lo > b2.hi) return band(xs, ys, n, b1);
    const uint32_t nx1 = static_cast<uint32_t>(b1.nx), ny1 = static_cast<uint32_t>(b1.ny);
    const uint32_t nx2 = static_cast<uint32_t>(b2.nx), ny2 = static_cast<uint32_t>(b2.ny);
    const uint32_t off1 = static_cast<uint32_t>(b1.h) - static_cast<uint32_t>(b1.lo);
    const uint32_t off2 = static_cast<uint32_t>(b2.h) - static_cast<uint32_t>(b2.lo);
    const uint32_t span1 = static_cast<uint32_t>(b1.hi) - static_cast<uint32_t>(b1.lo);
    const uint32_t span2 = static_cast<uint32_t>(b2.hi) - static_cast<uint32_t>(b2.lo);
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t x = static_cast<uint32_t>(xs[i]), y = static_cast<uint32_t>(ys[i]);
        const int32_t in1 = nx1 * x + ny1 * y + off1 <= span1;
        const int32_t in2 = nx2 * x + ny2 * y + off2 <= span2;
        count += in1 ^ in2;
    }
    return count;
}

int32_t shell(const double *__restrict xs, const double *__restrict ys, int32_t n,
              const conic_test &inner, const conic_test &outer) {
    const conic_test u = inner, v = outer;
    int64_t count = 0;  // lane width of the doubles
    for (int32_t i = 0; i < n; ++i) {
        const double X = xs[i], Y = ys[i];
        const double XX = X * X, YY = Y * Y;
        const double vu = ((((u.exy * X) * Y + u.exx * XX) + u.eyy * YY) + u.ex * X) + u.ey * Y +
                          u.e0;
        const double vv = ((((v.exy * X) * Y + v.exx * XX) + v.eyy * YY) + v.ex * X) + v.ey * Y +
                          v.e0;
        count += static_cast<int64_t>((vu >= 0.0) & (vv <= 0.0));
    }
    return static_cast<int32_t>(count);
}

constexpr inlier_kernels table = {ring, band, band_pair, shell};

}  // namespace

const inlier_kernels &inlier_table() { return table; }

}  // namespace orbisect::ORBISECT_LEVEL
