// Inlier counting loops, compiled once per instruction-set level.  Each loop
// is branch-free so that it vectorises; the integer loops wrap in unsigned
// arithmetic and the conic loop keeps the
// reference order of operations (the build forbids contraction into FMA).
#include <cstdint>

#if defined(__AVX2__)
#include <immintrin.h>
#endif
#if defined(ORBISECT_NEON_LOOPS)
#include <arm_neon.h>
#endif

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

// Bands over 16-bit point pairs.  pmaddwd forms nx*x + ny*y from the words
// of a point and of the coefficients; its one overflowing case, both
// products (-2^15)^2, wraps to -2^31 exactly as the 32-bit sum does, so the
// value is the wrapped 32-bit one.
struct band16_consts {
    uint32_t coef, off, span;
};

band16_consts consts16(const band_test &b) {
    return {(static_cast<uint32_t>(b.nx) & 0xFFFFu) | (static_cast<uint32_t>(b.ny) << 16),
            static_cast<uint32_t>(b.h) - static_cast<uint32_t>(b.lo),
            static_cast<uint32_t>(b.hi) - static_cast<uint32_t>(b.lo)};
}

// Whether point word w lies in the band (portable form of the vector test).
inline int32_t in_band16(uint32_t w, const band16_consts &c) {
    const uint32_t x = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(w & 0xFFFFu)));
    const uint32_t y = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(w >> 16)));
    const uint32_t nx = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(c.coef & 0xFFFFu)));
    const uint32_t ny = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(c.coef >> 16)));
    return static_cast<int32_t>(nx * x + ny * y + c.off <= c.span);
}

#if defined(__AVX512BW__)
constexpr int32_t pairs_per_vector = 16;
using vec16 = __m512i;
inline vec16 load16(const uint32_t *p) { return _mm512_loadu_si512(p); }
inline vec16 splat16(uint32_t v) { return _mm512_set1_epi32(static_cast<int32_t>(v)); }
// All lanes' in-band tests as a mask of 0 / -1 lanes.
inline __mmask16 in_band_lanes(vec16 p, vec16 coef, vec16 off, vec16 span) {
    return _mm512_cmple_epu32_mask(_mm512_add_epi32(_mm512_madd_epi16(p, coef), off), span);
}
inline int32_t lane_sum(vec16 v) { return _mm512_reduce_add_epi32(v); }
#elif defined(__AVX2__)
constexpr int32_t pairs_per_vector = 8;
using vec16 = __m256i;
inline vec16 load16(const uint32_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
inline vec16 splat16(uint32_t v) { return _mm256_set1_epi32(static_cast<int32_t>(v)); }
inline vec16 in_band_lanes(vec16 p, vec16 coef, vec16 off, vec16 span) {
    const vec16 s = _mm256_add_epi32(_mm256_madd_epi16(p, coef), off);
    return _mm256_cmpeq_epi32(_mm256_min_epu32(s, span), s);  // s <= span, unsigned
}
inline int32_t lane_sum(vec16 v) {
    __m128i h = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    h = _mm_add_epi32(h, _mm_shuffle_epi32(h, 0x4E));
    h = _mm_add_epi32(h, _mm_shuffle_epi32(h, 0xB1));
    return _mm_cvtsi128_si32(h);
}
#endif

[[maybe_unused]] int32_t band16(const uint32_t *__restrict xy, int32_t n, band_test b) {
    if (b.lo > b.hi) return 0;
    const band16_consts c = consts16(b);
    int32_t i = 0, count = 0;
#if defined(__AVX512BW__)
    const vec16 coef = splat16(c.coef), off = splat16(c.off), span = splat16(c.span);
    vec16 acc = _mm512_setzero_si512();
    for (; i + pairs_per_vector <= n; i += pairs_per_vector)
        acc = _mm512_mask_sub_epi32(acc, in_band_lanes(load16(xy + i), coef, off, span), acc,
                                    splat16(0xFFFFFFFFu));
    count = lane_sum(acc);
#elif defined(__AVX2__)
    const vec16 coef = splat16(c.coef), off = splat16(c.off), span = splat16(c.span);
    vec16 acc = _mm256_setzero_si256();
    for (; i + pairs_per_vector <= n; i += pairs_per_vector)
        acc = _mm256_sub_epi32(acc, in_band_lanes(load16(xy + i), coef, off, span));
    count = lane_sum(acc);
#endif
    for (; i < n; ++i) count += in_band16(xy[i], c);
    return count;
}

[[maybe_unused]] int32_t band_pair16(const uint32_t *__restrict xy, int32_t n, band_test b1, band_test b2) {
    if (b1.lo > b1.hi) return band16(xy, n, b2);
    if (b2.lo > b2.hi) return band16(xy, n, b1);
    const band16_consts c1 = consts16(b1), c2 = consts16(b2);
    int32_t i = 0, count = 0;
#if defined(__AVX512BW__)
    const vec16 coef1 = splat16(c1.coef), off1 = splat16(c1.off), span1 = splat16(c1.span);
    const vec16 coef2 = splat16(c2.coef), off2 = splat16(c2.off), span2 = splat16(c2.span);
    vec16 acc = _mm512_setzero_si512();
    for (; i + pairs_per_vector <= n; i += pairs_per_vector) {
        const vec16 p = load16(xy + i);
        const __mmask16 one = in_band_lanes(p, coef1, off1, span1) ^ in_band_lanes(p, coef2, off2, span2);
        acc = _mm512_mask_sub_epi32(acc, one, acc, splat16(0xFFFFFFFFu));
    }
    count = lane_sum(acc);
#elif defined(__AVX2__)
    const vec16 coef1 = splat16(c1.coef), off1 = splat16(c1.off), span1 = splat16(c1.span);
    const vec16 coef2 = splat16(c2.coef), off2 = splat16(c2.off), span2 = splat16(c2.span);
    vec16 acc = _mm256_setzero_si256();
    for (; i + pairs_per_vector <= n; i += pairs_per_vector) {
        const vec16 p = load16(xy + i);
        acc = _mm256_sub_epi32(acc, _mm256_xor_si256(in_band_lanes(p, coef1, off1, span1),
                                                     in_band_lanes(p, coef2, off2, span2)));
    }
    count = lane_sum(acc);
#endif
    for (; i < n; ++i) count += in_band16(xy[i], c1) ^ in_band16(xy[i], c2);
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

#if defined(ORBISECT_NEON_LOOPS)
// The same loops in NEON vectors: four points a vector (two for the
// doubles), eight points an iteration, the rest by the loops above.  Counts
// gather per lane (a lane that is all ones is subtracted: one more).  The
// integer arithmetic is modular in every lane, as the loops above are; the
// conic keeps their order of operations, each multiply and add a separate
// rounding.

inline int32_t lane_total(uint32x4_t a, uint32x4_t b) { return static_cast<int32_t>(vaddvq_u32(vaddq_u32(a, b))); }
inline uint32x4_t load_u32(const int32_t *p) { return vreinterpretq_u32_s32(vld1q_s32(p)); }

int32_t ring_neon(const int32_t *__restrict xs, const int32_t *__restrict ys, int32_t n, ring_test r) {
    if (r.lo > r.hi) return 0;
    const uint32x4_t cx = vdupq_n_u32(static_cast<uint32_t>(r.cx)), cy = vdupq_n_u32(static_cast<uint32_t>(r.cy));
    const uint32x4_t lo = vdupq_n_u32(static_cast<uint32_t>(r.lo));
    const uint32x4_t span = vdupq_n_u32(static_cast<uint32_t>(r.hi) - static_cast<uint32_t>(r.lo));
    uint32x4_t acc0 = vdupq_n_u32(0), acc1 = vdupq_n_u32(0);
    auto in_ring = [&](int32_t i) {
        const uint32x4_t dx = vsubq_u32(load_u32(xs + i), cx), dy = vsubq_u32(load_u32(ys + i), cy);
        return vcleq_u32(vsubq_u32(vmlaq_u32(vmulq_u32(dx, dx), dy, dy), lo), span);
    };
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        acc0 = vsubq_u32(acc0, in_ring(i));
        acc1 = vsubq_u32(acc1, in_ring(i + 4));
    }
    return lane_total(acc0, acc1) + ring(xs + i, ys + i, n - i, r);
}

// The band's constants: s = nx*x + ny*y, inside when s + off <= span.
struct band_lanes {
    uint32x4_t nx, ny, off, span;
    explicit band_lanes(const band_test &b)
        : nx(vdupq_n_u32(static_cast<uint32_t>(b.nx))), ny(vdupq_n_u32(static_cast<uint32_t>(b.ny))),
          off(vdupq_n_u32(static_cast<uint32_t>(b.h) - static_cast<uint32_t>(b.lo))),
          span(vdupq_n_u32(static_cast<uint32_t>(b.hi) - static_cast<uint32_t>(b.lo))) {}
    uint32x4_t inside(uint32x4_t x, uint32x4_t y) const {
        return vcleq_u32(vaddq_u32(vmlaq_u32(vmulq_u32(nx, x), ny, y), off), span);
    }
};

int32_t band_neon(const int32_t *__restrict xs, const int32_t *__restrict ys, int32_t n, band_test b) {
    if (b.lo > b.hi) return 0;
    const band_lanes c(b);
    uint32x4_t acc0 = vdupq_n_u32(0), acc1 = vdupq_n_u32(0);
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        acc0 = vsubq_u32(acc0, c.inside(load_u32(xs + i), load_u32(ys + i)));
        acc1 = vsubq_u32(acc1, c.inside(load_u32(xs + i + 4), load_u32(ys + i + 4)));
    }
    return lane_total(acc0, acc1) + band(xs + i, ys + i, n - i, b);
}

int32_t band_pair_neon(const int32_t *__restrict xs, const int32_t *__restrict ys, int32_t n, band_test b1,
                       band_test b2) {
    if (b1.lo > b1.hi) return band_neon(xs, ys, n, b2);
    if (b2.lo > b2.hi) return band_neon(xs, ys, n, b1);
    const band_lanes c1(b1), c2(b2);
    uint32x4_t acc0 = vdupq_n_u32(0), acc1 = vdupq_n_u32(0);
    auto one = [&](int32_t i) {
        const uint32x4_t x = load_u32(xs + i), y = load_u32(ys + i);
        return veorq_u32(c1.inside(x, y), c2.inside(x, y));
    };
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        acc0 = vsubq_u32(acc0, one(i));
        acc1 = vsubq_u32(acc1, one(i + 4));
    }
    return lane_total(acc0, acc1) + band_pair(xs + i, ys + i, n - i, b1, b2);
}

// Eight 16-bit pairs at a time, split into their x and y words by one
// de-interleaving load; nx*x + ny*y is a widening multiply and a widening
// multiply-accumulate, modular in 32 bits like the scalar form.
struct band16_lanes {
    int16_t nx, ny;
    uint32x4_t off, span;
    explicit band16_lanes(const band16_consts &c)
        : nx(static_cast<int16_t>(c.coef & 0xFFFFu)), ny(static_cast<int16_t>(c.coef >> 16)),
          off(vdupq_n_u32(c.off)), span(vdupq_n_u32(c.span)) {}
    // Lanes of points 0..3 and 4..7 of the eight at p.
    void inside(const uint32_t *p, uint32x4_t &lo, uint32x4_t &hi) const {
        const int16x8x2_t w = vld2q_s16(reinterpret_cast<const int16_t *>(p));
        const int32x4_t s_lo = vmlal_n_s16(vmull_n_s16(vget_low_s16(w.val[0]), nx), vget_low_s16(w.val[1]), ny);
        const int32x4_t s_hi = vmlal_high_n_s16(vmull_high_n_s16(w.val[0], nx), w.val[1], ny);
        lo = vcleq_u32(vaddq_u32(vreinterpretq_u32_s32(s_lo), off), span);
        hi = vcleq_u32(vaddq_u32(vreinterpretq_u32_s32(s_hi), off), span);
    }
};

int32_t band16_neon(const uint32_t *__restrict xy, int32_t n, band_test b) {
    if (b.lo > b.hi) return 0;
    const band16_consts c = consts16(b);
    const band16_lanes lanes(c);
    uint32x4_t acc0 = vdupq_n_u32(0), acc1 = vdupq_n_u32(0);
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint32x4_t lo, hi;
        lanes.inside(xy + i, lo, hi);
        acc0 = vsubq_u32(acc0, lo);
        acc1 = vsubq_u32(acc1, hi);
    }
    int32_t count = lane_total(acc0, acc1);
    for (; i < n; ++i) count += in_band16(xy[i], c);
    return count;
}

int32_t band_pair16_neon(const uint32_t *__restrict xy, int32_t n, band_test b1, band_test b2) {
    if (b1.lo > b1.hi) return band16_neon(xy, n, b2);
    if (b2.lo > b2.hi) return band16_neon(xy, n, b1);
    const band16_consts c1 = consts16(b1), c2 = consts16(b2);
    const band16_lanes lanes1(c1), lanes2(c2);
    uint32x4_t acc0 = vdupq_n_u32(0), acc1 = vdupq_n_u32(0);
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint32x4_t lo1, hi1, lo2, hi2;
        lanes1.inside(xy + i, lo1, hi1);
        lanes2.inside(xy + i, lo2, hi2);
        acc0 = vsubq_u32(acc0, veorq_u32(lo1, lo2));
        acc1 = vsubq_u32(acc1, veorq_u32(hi1, hi2));
    }
    int32_t count = lane_total(acc0, acc1);
    for (; i < n; ++i) count += in_band16(xy[i], c1) ^ in_band16(xy[i], c2);
    return count;
}

// The conic's value at two points, in the order the scalar loop sums it.
struct conic_lanes {
    float64x2_t exy, exx, eyy, ex, ey, e0;
    explicit conic_lanes(const conic_test &e)
        : exy(vdupq_n_f64(e.exy)), exx(vdupq_n_f64(e.exx)), eyy(vdupq_n_f64(e.eyy)), ex(vdupq_n_f64(e.ex)),
          ey(vdupq_n_f64(e.ey)), e0(vdupq_n_f64(e.e0)) {}
    float64x2_t value(float64x2_t X, float64x2_t Y, float64x2_t XX, float64x2_t YY) const {
        float64x2_t v = vmulq_f64(vmulq_f64(exy, X), Y);
        v = vaddq_f64(v, vmulq_f64(exx, XX));
        v = vaddq_f64(v, vmulq_f64(eyy, YY));
        v = vaddq_f64(v, vmulq_f64(ex, X));
        v = vaddq_f64(v, vmulq_f64(ey, Y));
        return vaddq_f64(v, e0);
    }
};

int32_t shell_neon(const double *__restrict xs, const double *__restrict ys, int32_t n,
                   const conic_test &inner, const conic_test &outer) {
    const conic_lanes u(inner), v(outer);
    uint64x2_t acc0 = vdupq_n_u64(0), acc1 = vdupq_n_u64(0);
    auto one = [&](int32_t i) {
        const float64x2_t X = vld1q_f64(xs + i), Y = vld1q_f64(ys + i);
        const float64x2_t XX = vmulq_f64(X, X), YY = vmulq_f64(Y, Y);
        return vandq_u64(vcgezq_f64(u.value(X, Y, XX, YY)), vclezq_f64(v.value(X, Y, XX, YY)));
    };
    int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        acc0 = vsubq_u64(acc0, one(i));
        acc1 = vsubq_u64(acc1, one(i + 2));
    }
    const auto count = static_cast<int32_t>(vaddvq_u64(vaddq_u64(acc0, acc1)));
    return count + shell(xs + i, ys + i, n - i, inner, outer);
}

constexpr inlier_kernels table = {ring_neon, band_neon, band_pair_neon, band16_neon, band_pair16_neon, shell_neon};
#else
constexpr inlier_kernels table = {ring, band, band_pair, band16, band_pair16, shell};
#endif

}  // namespace

const inlier_kernels &inlier_table() { return table; }

}  // namespace orbisect::ORBISECT_LEVEL
