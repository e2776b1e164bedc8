// The vector pieces of the window test that the per-level sources share: the
// colour pixel loops (colour/window_level.cpp) and the colour column scan
// (edges/scan_level.cpp), for x86-64 and aarch64.  Like them it is compiled
// once per instruction-set level: everything here lives in namespace orbisect::ORBISECT_LEVEL, so that
// no level's copy can stand in for another's.  Include it only from a
// per-level source.
#pragma once

#include <cstdint>

#include "colour/lch_bounds.hpp"

#if !defined(ORBISECT_LEVEL)
#error "colour/window_vectors.hpp belongs to the per-level sources"
#endif

namespace orbisect::ORBISECT_LEVEL::window_vectors {

// Windows whose nine matrix entries fit in 16 bits (every window that
// calculate_lch_bounds makes for a hue range wider than about 0.008 rad) take
// a multiply-add path: with 8-bit channels each of h0, h1, t is below 2^25 in
// magnitude and h0 + h1 below 2^26, so nothing wraps and the 16-bit products
// summed in 32 bits are exactly the 32-bit results.
[[maybe_unused]] inline bool fits_16_bits(const lch_bounds &b) {
    bool fits = true;
    for (int k = 0; k < 9; ++k) fits &= b.M[k] >= -32768 && b.M[k] <= 32767;
    return fits;
}

}  // namespace orbisect::ORBISECT_LEVEL::window_vectors

#if defined(ORBISECT_NEON_LOOPS)
#include <arm_neon.h>

namespace orbisect::ORBISECT_LEVEL::window_vectors {

// lo < v < hi as one unsigned comparison: v - (lo + 1) < hi - lo - 1 modulo
// 2^32.  A range with no integer inside gets a length of 0, which nothing is
// below.
struct neon_range {
    uint32x4_t base, length;
    neon_range(int32_t lo, int32_t hi) {
        const int64_t n = int64_t{hi} - lo - 1 > 0 ? int64_t{hi} - lo - 1 : 0;
        base = vdupq_n_u32(static_cast<uint32_t>(lo) + 1u);
        length = vdupq_n_u32(static_cast<uint32_t>(n));
    }
    uint32x4_t holds(int32x4_t v) const { return vcltq_u32(vsubq_u32(vreinterpretq_u32_s32(v), base), length); }
};

// The six conditions of the window test for four pixels, from their h0, h1
// and t (wrapped or not, as the scalar test has them): all ones inside.
struct neon_window {
    neon_range t_range, s_range;
    explicit neon_window(const lch_bounds &b) : t_range(b.i[0], b.i[1]), s_range(b.c[0], b.c[1]) {}
    uint32x4_t inside(int32x4_t h0, int32x4_t h1, int32x4_t t) const {
        const uint32x4_t in = vandq_u32(vcgtzq_s32(vminq_s32(h0, h1)), t_range.holds(t));
        return vandq_u32(in, s_range.holds(vaddq_s32(h0, h1)));
    }
};

}  // namespace orbisect::ORBISECT_LEVEL::window_vectors
#endif

#if defined(__SSE4_1__)
#include <immintrin.h>

namespace orbisect::ORBISECT_LEVEL::window_vectors {

// (lo word, hi word) of a 32-bit lane.
inline int32_t word_pair(int32_t lo, int32_t hi) {
    return static_cast<int32_t>((static_cast<uint32_t>(lo) & 0xFFFFu) |
                                (static_cast<uint32_t>(hi) << 16));
}

#if defined(__AVX512BW__)
using vec = __m512i;
inline vec splat(int32_t v) { return _mm512_set1_epi32(v); }
inline vec madd(vec a, vec b) { return _mm512_madd_epi16(a, b); }
inline vec add(vec a, vec b) { return _mm512_add_epi32(a, b); }
inline vec shuffle(vec a, vec m) { return _mm512_shuffle_epi8(a, m); }
#elif defined(__AVX2__)
using vec = __m256i;
inline vec splat(int32_t v) { return _mm256_set1_epi32(v); }
inline vec madd(vec a, vec b) { return _mm256_madd_epi16(a, b); }
inline vec add(vec a, vec b) { return _mm256_add_epi32(a, b); }
inline vec shuffle(vec a, vec m) { return _mm256_shuffle_epi8(a, m); }
#else
using vec = __m128i;
inline vec splat(int32_t v) { return _mm_set1_epi32(v); }
inline vec madd(vec a, vec b) { return _mm_madd_epi16(a, b); }
inline vec add(vec a, vec b) { return _mm_add_epi32(a, b); }
inline vec shuffle(vec a, vec m) { return _mm_shuffle_epi8(a, m); }
#endif

// The window matrix as multiply-add coefficients: for row k, the word pair
// (M[3k], M[3k+1]) meets a pixel's (R, G) pair and (M[3k+2], 0) its (B, 0),
// so that h = madd(rg, rg[k]) + madd(b0, b[k]).
struct coefficients {
    vec rg[3], b[3];
    explicit coefficients(const lch_bounds &w) {
        for (int row = 0; row < 3; ++row) {
            rg[row] = splat(word_pair(w.M[3 * row], w.M[3 * row + 1]));
            b[row] = splat(word_pair(w.M[3 * row + 2], 0));
        }
    }
};

// lo < v < hi as one signed comparison: v - (lo + 1) < hi - lo - 1 taken
// unsigned, shifted by 2^31 so that a signed compare does it (base is what
// v is offset by, length what the offset must be below).  A range with no
// integer inside gets a length of 0, which nothing is below.
struct range {
    vec base, length;
    range(int32_t lo, int32_t hi) {
        const int64_t n = int64_t{hi} - lo - 1 > 0 ? int64_t{hi} - lo - 1 : 0;
        base = splat(static_cast<int32_t>(static_cast<uint32_t>(lo) + 0x80000001u));
        length = splat(static_cast<int32_t>(static_cast<uint32_t>(n) ^ 0x80000000u));
    }
};

}  // namespace orbisect::ORBISECT_LEVEL::window_vectors
#endif
