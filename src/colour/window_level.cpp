// The pixel row loops, compiled once per instruction-set level.  The window
// test is written branch-free (conditions combined with `&`) in unsigned
// 32-bit arithmetic so that the compiler vectorises it; it gives the same
// bits as window_inside() for every window, wrapped products included.
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE4_1__)
#include <immintrin.h>
#endif
#if defined(ORBISECT_NEON_LOOPS)
#include <arm_neon.h>
#endif

#include "colour/window_kernels.hpp"
#include "colour/window_vectors.hpp"

namespace orbisect::ORBISECT_LEVEL {
namespace {

struct window_consts {
    uint32_t m[9];
    int32_t i0, i1, c0, c1;
};

window_consts consts_of(const lch_bounds &b) {
    window_consts w;
    for (int k = 0; k < 9; ++k) w.m[k] = static_cast<uint32_t>(b.M[k]);
    w.i0 = b.i[0];
    w.i1 = b.i[1];
    w.c0 = b.c[0];
    w.c1 = b.c[1];
    return w;
}

// 1 when the pixel lies inside, else 0; `t` receives the intensity.
inline uint32_t inside(const window_consts &w, uint32_t r, uint32_t g, uint32_t bl, int32_t &t) {
    const int32_t h0 = static_cast<int32_t>(w.m[0] * r + w.m[1] * g + w.m[2] * bl);
    const int32_t h1 = static_cast<int32_t>(w.m[3] * r + w.m[4] * g + w.m[5] * bl);
    t = static_cast<int32_t>(w.m[6] * r + w.m[7] * g + w.m[8] * bl);
    const int32_t s = static_cast<int32_t>(static_cast<uint32_t>(h0) + static_cast<uint32_t>(h1));
    return static_cast<uint32_t>((h0 > 0) & (h1 > 0) & (t > w.i0) & (t < w.i1) & (s > w.c0) &
                                 (s < w.c1));
}

// Without a 32-bit vector multiply (below SSE4.1) the compiler vectorises
// the arithmetic only over planar channels, so pixels are split into blocks
// of planar channels first; otherwise the packed loop is fastest.
#if defined(__x86_64__) && !defined(__SSE4_1__)
constexpr bool planar_blocks = true;
#else
constexpr bool planar_blocks = false;
#endif

// Grey selects the output: bits 8..15 of t inside, else 1 inside; 0 outside.
template <bool Grey>
inline uint8_t pixel_byte(const window_consts &w, uint32_t r, uint32_t g, uint32_t bl) {
    int32_t t;
    const uint32_t in = inside(w, r, g, bl, t);
    if constexpr (Grey)
        return static_cast<uint8_t>(static_cast<uint32_t>(t >> 8) & (0u - in));
    else
        return static_cast<uint8_t>(in);
}

template <bool Grey>
void row_loop(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) {
    const window_consts w = consts_of(b);
    if constexpr (planar_blocks) {
        constexpr int64_t block = 256;
        uint32_t r[block], g[block], bl[block];
        for (int64_t k0 = 0; k0 < n; k0 += block) {
            const int64_t count = n - k0 < block ? n - k0 : block;
            const uint8_t *p = rgb + 3 * k0;
            for (int64_t k = 0; k < count; ++k) r[k] = p[3 * k], g[k] = p[3 * k + 1], bl[k] = p[3 * k + 2];
            for (int64_t k = 0; k < count; ++k) out[k0 + k] = pixel_byte<Grey>(w, r[k], g[k], bl[k]);
        }
    } else {
        for (int64_t k = 0; k < n; ++k) out[k] = pixel_byte<Grey>(w, rgb[3 * k], rgb[3 * k + 1], rgb[3 * k + 2]);
    }
}

[[maybe_unused]] bool same_matrix(const lch_bounds &a, const lch_bounds &b) {
    bool same = true;
    for (int k = 0; k < 9; ++k) same &= a.M[k] == b.M[k];
    return same;
}

#if defined(__SSE4_1__)
// Windows whose matrix fits in 16 bits take the multiply-add path (see
// colour/window_vectors.hpp) in SSE4.1, AVX2 and AVX-512 vectors of 4, 8 and
// 16 pixels.  Each 128-bit lane holds 4 pixels (12 bytes): one byte shuffle
// makes the (R, G) word pairs, another the (B, 0) pairs, and pmaddwd forms
// M[k]*R + M[k+1]*G and M[k+2]*B per pixel.
using namespace window_vectors;

#if defined(__AVX512BW__)
// GCC 12's AVX-512 headers start some intrinsics from an undefined vector,
// which its uninitialised-use analysis reports once they are inlined through
// a template: a false report, silenced for this level's file only.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
constexpr int64_t lane_pixels = 16;
inline vec lane_mask(const int8_t *m16) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i *>(m16)));
}
constexpr int64_t load_bytes = 64;
// 16 pixels from 48 bytes, 12 bytes to a lane (one 64-byte load).
inline vec load_pixels(const uint8_t *p) {
    return _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6, 6, 7, 8, 9, 9, 10, 11, 12),
                                    _mm512_loadu_si512(p));
}
#elif defined(__AVX2__)
constexpr int64_t lane_pixels = 8;
inline vec sub(vec a, vec b) { return _mm256_sub_epi32(a, b); }
inline vec min(vec a, vec b) { return _mm256_min_epi32(a, b); }
inline vec greater(vec a, vec b) { return _mm256_cmpgt_epi32(a, b); }
inline vec both(vec a, vec b) { return _mm256_and_si256(a, b); }
inline vec either(vec a, vec b) { return _mm256_or_si256(a, b); }
inline vec high_byte(vec t) { return _mm256_srai_epi32(t, 8); }
inline vec lane_mask(const int8_t *m16) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(m16)));
}
constexpr int64_t load_bytes = 32;
// 8 pixels from 24 bytes, 12 bytes to a lane (one 32-byte load).
inline vec load_pixels(const uint8_t *p) {
    return _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)),
                                       _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6));
}
// The low byte of each 32-bit lane, pixels 0..3 then 4..7.
inline void store_low_bytes(uint8_t *out, vec v) {
    const vec low = _mm256_shuffle_epi8(
        v, _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                            0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
    const vec packed = _mm256_permutevar8x32_epi32(low, _mm256_setr_epi32(0, 4, 1, 1, 1, 1, 1, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm256_castsi256_si128(packed));
}
#else
constexpr int64_t lane_pixels = 4;
inline vec sub(vec a, vec b) { return _mm_sub_epi32(a, b); }
inline vec min(vec a, vec b) { return _mm_min_epi32(a, b); }
inline vec greater(vec a, vec b) { return _mm_cmpgt_epi32(a, b); }
inline vec both(vec a, vec b) { return _mm_and_si128(a, b); }
inline vec either(vec a, vec b) { return _mm_or_si128(a, b); }
inline vec high_byte(vec t) { return _mm_srai_epi32(t, 8); }
inline vec lane_mask(const int8_t *m16) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(m16)); }
constexpr int64_t load_bytes = 16;
// 4 pixels from 12 bytes (one 16-byte load).
inline vec load_pixels(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
// The low byte of each 32-bit lane.
inline void store_low_bytes(uint8_t *out, vec v) {
    const int32_t low = _mm_cvtsi128_si32(
        _mm_shuffle_epi8(v, _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)));
    std::memcpy(out, &low, 4);
}
#endif

constexpr int8_t rg_words[16] = {0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1};
constexpr int8_t b_words[16] = {2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1};

// A row, lane_pixels pixels at a time, by lanes(pixel bytes, out bytes): a
// load takes load_bytes from the first pixel's byte, straight from the row
// while that stays inside it, then from a zero-padded copy of the last
// pixels.  Returns n.
template <class Lanes>
int64_t over_lanes(const uint8_t *rgb, int64_t n, uint8_t *out, const Lanes &lanes) {
    int64_t k = 0;
    for (; 3 * k + load_bytes <= 3 * n; k += lane_pixels) lanes(rgb + 3 * k, out + k);
    for (; k < n; k += lane_pixels) {
        const int64_t m = n - k < lane_pixels ? n - k : lane_pixels;
        uint8_t px[load_bytes] = {}, dst[lane_pixels];
        std::memcpy(px, rgb + 3 * k, static_cast<size_t>(3 * m));
        lanes(px, dst);
        std::memcpy(out + k, dst, static_cast<size_t>(m));
    }
    return n;
}

// A window's matrix for the multiply-add path, and its products with
// lane_pixels pixels (read from load_bytes bytes): h0, h1, t and s = h0 + h1.
struct madd_matrix {
    vec rg_mask, b_mask;
    coefficients coef;
    explicit madd_matrix(const lch_bounds &w) : rg_mask(lane_mask(rg_words)), b_mask(lane_mask(b_words)), coef(w) {}
};

struct products {
    vec h0, h1, t, s;
    products(const madd_matrix &m, const uint8_t *px_bytes) {
        const vec px = load_pixels(px_bytes);
        const vec rg = shuffle(px, m.rg_mask), bb = shuffle(px, m.b_mask);
        h0 = add(madd(rg, m.coef.rg[0]), madd(bb, m.coef.b[0]));
        h1 = add(madd(rg, m.coef.rg[1]), madd(bb, m.coef.b[1]));
        t = add(madd(rg, m.coef.rg[2]), madd(bb, m.coef.b[2]));
        s = add(h0, h1);
    }
};

// Either of two windows of one matrix (a's, which must fit in 16 bits) by
// the multiply-add path: h0, h1 and t once, then each window's bounds.
int64_t either_loop_madd(const uint8_t *rgb, int64_t n, const lch_bounds &a, const lch_bounds &b, uint8_t *out) {
    if (!fits_16_bits(a) || !same_matrix(a, b)) return 0;
    const madd_matrix mx(a);
    const range ta(a.i[0], a.i[1]), sa(a.c[0], a.c[1]), tb(b.i[0], b.i[1]), sb(b.c[0], b.c[1]);
    return over_lanes(rgb, n, out, [&](const uint8_t *px_bytes, uint8_t *dst) {
        const products p(mx, px_bytes);
        const vec &h0 = p.h0, &h1 = p.h1, &t = p.t, &s = p.s;
#if defined(__AVX512BW__)
        const __mmask16 hue = _mm512_cmpgt_epi32_mask(_mm512_min_epi32(h0, h1), splat(0));
        __mmask16 in_a = _mm512_mask_cmpgt_epi32_mask(hue, ta.length, _mm512_sub_epi32(t, ta.base));
        in_a = _mm512_mask_cmpgt_epi32_mask(in_a, sa.length, _mm512_sub_epi32(s, sa.base));
        __mmask16 in_b = _mm512_mask_cmpgt_epi32_mask(hue, tb.length, _mm512_sub_epi32(t, tb.base));
        in_b = _mm512_mask_cmpgt_epi32_mask(in_b, sb.length, _mm512_sub_epi32(s, sb.base));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst),
                         _mm512_maskz_cvtepi32_epi8(static_cast<__mmask16>(in_a | in_b), splat(1)));
#else
        const vec in_a = both(greater(ta.length, sub(t, ta.base)), greater(sa.length, sub(s, sa.base)));
        const vec in_b = both(greater(tb.length, sub(t, tb.base)), greater(sb.length, sub(s, sb.base)));
        const vec in = both(greater(min(h0, h1), splat(0)), either(in_a, in_b));
        store_low_bytes(dst, both(splat(1), in));
#endif
    });
}

// The whole row by the multiply-add path (returns n), or nothing (returns 0)
// when the window does not fit it.
template <bool Grey>
int64_t row_loop_madd(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) {
    if (!fits_16_bits(b)) return 0;
    const madd_matrix mx(b);
    const range t_range(b.i[0], b.i[1]), s_range(b.c[0], b.c[1]);
    // lane_pixels pixels from px (reading load_bytes) to lane_pixels bytes.
    return over_lanes(rgb, n, out, [&](const uint8_t *px_bytes, uint8_t *dst) {
        const products p(mx, px_bytes);
        const vec &h0 = p.h0, &h1 = p.h1, &t = p.t, &s = p.s;
#if defined(__AVX512BW__)
        __mmask16 in = _mm512_cmpgt_epi32_mask(_mm512_min_epi32(h0, h1), splat(0));
        in = _mm512_mask_cmpgt_epi32_mask(in, t_range.length, _mm512_sub_epi32(t, t_range.base));
        in = _mm512_mask_cmpgt_epi32_mask(in, s_range.length, _mm512_sub_epi32(s, s_range.base));
        const __m128i bytes = Grey ? _mm512_maskz_cvtepi32_epi8(in, _mm512_srai_epi32(t, 8))
                                   : _mm512_maskz_cvtepi32_epi8(in, splat(1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), bytes);
#else
        vec in = greater(min(h0, h1), splat(0));
        in = both(in, greater(t_range.length, sub(t, t_range.base)));
        in = both(in, greater(s_range.length, sub(s, s_range.base)));
        store_low_bytes(dst, Grey ? both(high_byte(t), in) : both(splat(1), in));
#endif
    });
}
#endif

#if defined(ORBISECT_NEON_LOOPS)
// Windows whose matrix fits in 16 bits take the widening multiply path (see
// colour/window_vectors.hpp) over 16 pixels at a time: one de-interleaving
// load gives the R, G and B bytes in three vectors, widened to 16 bits, and
// each of h0, h1, t is a widening multiply and two widening
// multiply-accumulates by a matrix entry, per four pixels.
using namespace window_vectors;

// The matrix in two registers (entries 0..7, then entry 8), multiplied by
// lane: a 16-bit multiply by element reads its element from one of the
// first 16 vector registers, and nine separate scalars would crowd them.
struct neon_matrix {
    int16x8_t m07;
    int16x4_t m8;
    explicit neon_matrix(const lch_bounds &b) {
        int16_t m[8];
        for (int k = 0; k < 8; ++k) m[k] = static_cast<int16_t>(b.M[k]);
        m07 = vld1q_s16(m);
        m8 = vdup_n_s16(static_cast<int16_t>(b.M[8]));
    }
    // Row K of M times pixels 0..3 (low) or 4..7 (high) of the eight in r, g, bl.
    template <int K>
    int32x4_t low(int16x8_t r, int16x8_t g, int16x8_t bl) const {
        const int32x4_t v = vmlal_laneq_s16(vmull_laneq_s16(vget_low_s16(r), m07, 3 * K), vget_low_s16(g), m07, 3 * K + 1);
        if constexpr (K == 2)
            return vmlal_lane_s16(v, vget_low_s16(bl), m8, 0);
        else
            return vmlal_laneq_s16(v, vget_low_s16(bl), m07, 3 * K + 2);
    }
    template <int K>
    int32x4_t high(int16x8_t r, int16x8_t g, int16x8_t bl) const {
        const int32x4_t v = vmlal_high_laneq_s16(vmull_high_laneq_s16(r, m07, 3 * K), g, m07, 3 * K + 1);
        if constexpr (K == 2)
            return vmlal_high_lane_s16(v, bl, m8, 0);
        else
            return vmlal_high_laneq_s16(v, bl, m07, 3 * K + 2);
    }
};

inline int16x8_t widen_low(uint8x16_t v) { return vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(v))); }
inline int16x8_t widen_high(uint8x16_t v) { return vreinterpretq_s16_u16(vmovl_high_u8(v)); }

// Eight pixels' bytes: 1 inside (Grey: bits 8..15 of t), 0 outside.
template <bool Grey>
inline uint8x8_t eight_pixels(const neon_matrix &mx, const neon_window &w, int16x8_t r, int16x8_t g,
                              int16x8_t bl) {
    const int32x4_t t_lo = mx.low<2>(r, g, bl), t_hi = mx.high<2>(r, g, bl);
    const uint32x4_t in_lo = w.inside(mx.low<0>(r, g, bl), mx.low<1>(r, g, bl), t_lo);
    const uint32x4_t in_hi = w.inside(mx.high<0>(r, g, bl), mx.high<1>(r, g, bl), t_hi);
    const uint8x8_t in = vmovn_u16(vcombine_u16(vmovn_u32(in_lo), vmovn_u32(in_hi)));
    if constexpr (Grey) {
        // Bits 8..15 of t: a narrowing shift to 16 bits, then the low bytes.
        const int16x8_t t8 = vcombine_s16(vshrn_n_s32(t_lo, 8), vshrn_n_s32(t_hi, 8));
        return vand_u8(vmovn_u16(vreinterpretq_u16_s16(t8)), in);
    } else {
        return vand_u8(in, vdup_n_u8(1));
    }
}

// A row, 16 pixels at a time, by eight(r, g, bl) on the two halves of each
// de-interleaved load; the last pixels from a zero-padded copy.  Returns n.
template <class Eight>
int64_t over_sixteen(const uint8_t *rgb, int64_t n, uint8_t *out, Eight eight) {
    auto sixteen = [&](const uint8_t *p, uint8_t *dst) {
        const uint8x16x3_t px = vld3q_u8(p);
        const uint8x8_t lo = eight(widen_low(px.val[0]), widen_low(px.val[1]), widen_low(px.val[2]));
        const uint8x8_t hi = eight(widen_high(px.val[0]), widen_high(px.val[1]), widen_high(px.val[2]));
        vst1q_u8(dst, vcombine_u8(lo, hi));
    };
    int64_t k = 0;
    for (; k + 16 <= n; k += 16) sixteen(rgb + 3 * k, out + k);
    if (k < n) {
        uint8_t px[48] = {}, dst[16];
        std::memcpy(px, rgb + 3 * k, static_cast<size_t>(3 * (n - k)));
        sixteen(px, dst);
        std::memcpy(out + k, dst, static_cast<size_t>(n - k));
    }
    return n;
}

// The whole row (returns n), or nothing (returns 0) when the window does not
// fit the 16-bit path.
template <bool Grey>
int64_t row_loop_neon(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) {
    if (!fits_16_bits(b)) return 0;
    const neon_matrix mx(b);
    const neon_window w(b);
    return over_sixteen(rgb, n, out, [&](int16x8_t r, int16x8_t g, int16x8_t bl) {
        return eight_pixels<Grey>(mx, w, r, g, bl);
    });
}

// Either of two windows of one matrix (a's, fitting 16 bits): the products
// once, then each window's bounds.
int64_t either_loop_neon(const uint8_t *rgb, int64_t n, const lch_bounds &a, const lch_bounds &b, uint8_t *out) {
    if (!fits_16_bits(a) || !same_matrix(a, b)) return 0;
    const neon_matrix mx(a);
    const neon_window wa(a), wb(b);
    return over_sixteen(rgb, n, out, [&](int16x8_t r, int16x8_t g, int16x8_t bl) {
        const int32x4_t h0_lo = mx.low<0>(r, g, bl), h1_lo = mx.low<1>(r, g, bl), t_lo = mx.low<2>(r, g, bl);
        const int32x4_t h0_hi = mx.high<0>(r, g, bl), h1_hi = mx.high<1>(r, g, bl), t_hi = mx.high<2>(r, g, bl);
        const uint32x4_t in_lo = vorrq_u32(wa.inside(h0_lo, h1_lo, t_lo), wb.inside(h0_lo, h1_lo, t_lo));
        const uint32x4_t in_hi = vorrq_u32(wa.inside(h0_hi, h1_hi, t_hi), wb.inside(h0_hi, h1_hi, t_hi));
        return vand_u8(vmovn_u16(vcombine_u16(vmovn_u32(in_lo), vmovn_u32(in_hi))), vdup_n_u8(1));
    });
}
#endif

template <bool Grey>
void row_entry(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) {
#if defined(__SSE4_1__)
    const int64_t done = row_loop_madd<Grey>(rgb, n, b, out);
    row_loop<Grey>(rgb + 3 * done, n - done, b, out + done);
#elif defined(ORBISECT_NEON_LOOPS)
    const int64_t done = row_loop_neon<Grey>(rgb, n, b, out);
    row_loop<Grey>(rgb + 3 * done, n - done, b, out + done);
#else
    row_loop<Grey>(rgb, n, b, out);
#endif
}

void classify(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) { row_entry<false>(rgb, n, b, out); }
void grey(const uint8_t *rgb, int64_t n, const lch_bounds &b, uint8_t *out) { row_entry<true>(rgb, n, b, out); }

void classify_either(const uint8_t *rgb, int64_t n, const lch_bounds &a, const lch_bounds &b, uint8_t *out) {
#if defined(__SSE4_1__)
    const int64_t done = either_loop_madd(rgb, n, a, b, out);
#elif defined(ORBISECT_NEON_LOOPS)
    const int64_t done = either_loop_neon(rgb, n, a, b, out);
#else
    const int64_t done = 0;
#endif
    // Two matrices (or one too wide for the vector paths): each window's
    // loop over a chunk, joined.
    uint8_t more[256];
    for (int64_t k = done; k < n; k += 256) {
        const int64_t m = n - k < 256 ? n - k : 256;
        row_entry<false>(rgb + 3 * k, m, a, out + k);
        row_entry<false>(rgb + 3 * k, m, b, more);
        for (int64_t i = 0; i < m; ++i) out[k + i] = static_cast<uint8_t>(out[k + i] | more[i]);
    }
}

const colour_kernels table = {classify, grey, classify_either};

}  // namespace

const colour_kernels &colour_table() { return table; }

}  // namespace orbisect::ORBISECT_LEVEL
