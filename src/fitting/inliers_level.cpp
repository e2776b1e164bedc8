// Inlier counting loops, compiled once per instruction-set level.  Each loop
// is branch-free (conditions combined with &) so that it vectorises; the
// integer loops wrap in unsigned arithmetic and the conic loop keeps the
// reference order of operations (the build forbids contraction into FMA).
#include <cstdint>

#include "fitting/inliers.hpp"

namespace orbisect::ORBISECT_LEVEL {
namespace {

int32_t ring(const int32_t *__restrict xs, const int32_t *__restrict ys, int32_t n,
             ring_test r) {
    const uint32_t cx = static_cast<uint32_t>(r.cx), cy = static_cast<uint32_t>(r.cy);
    const int32_t lo = r.lo, hi = r.hi;
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t dx = static_cast<uint32_t>(xs[i]) - cx;
        const uint32_t dy = static_cast<uint32_t>(ys[i]) - cy;
        const int32_t d = static_cast<int32_t>(dx * dx + dy * dy);
        count += static_cast<int32_t>((d >= lo) & (d <= hi));
    }
    return count;
}

int32_t band(const int32_t *__restrict xs, const int32_t *__restrict ys, int32_t n,
             band_test b) {
    const uint32_t nx = static_cast<uint32_t>(b.nx), ny = static_cast<uint32_t>(b.ny);
    const uint32_t h = static_cast<uint32_t>(b.h);
    const int32_t lo = b.lo, hi = b.hi;
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t s = static_cast<int32_t>(nx * static_cast<uint32_t>(xs[i]) +
                                               ny * static_cast<uint32_t>(ys[i]) + h);
        count += static_cast<int32_t>((s >= lo) & (s <= hi));
    }
    return count;
}

int32_t band_pair(const int32_t *__restrict xs, const int32_t *__restrict ys, int32_t n,
                  band_test b1, band_test b2) {
    const uint32_t nx1 = static_cast<uint32_t>(b1.nx), ny1 = static_cast<uint32_t>(b1.ny);
    const uint32_t h1 = static_cast<uint32_t>(b1.h);
    const uint32_t nx2 = static_cast<uint32_t>(b2.nx), ny2 = static_cast<uint32_t>(b2.ny);
    const uint32_t h2 = static_cast<uint32_t>(b2.h);
    const int32_t lo1 = b1.lo, hi1 = b1.hi, lo2 = b2.lo, hi2 = b2.hi;
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t x = static_cast<uint32_t>(xs[i]), y = static_cast<uint32_t>(ys[i]);
        const int32_t s1 = static_cast<int32_t>(nx1 * x + ny1 * y + h1);
        const int32_t s2 = static_cast<int32_t>(nx2 * x + ny2 * y + h2);
        const int32_t in1 = (s1 >= lo1) & (s1 <= hi1);
        const int32_t in2 = (s2 >= lo2) & (s2 <= hi2);
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
