// The column pass's read-and-classify loops, compiled once per
// instruction-set level (see scan_kernels.hpp).  A vector holds one column
// per 32-bit lane: each lane is loaded with the four-byte window of its
// column in the current row, classified there, and the result is OR-ed into
// the lane's bit for that row.  After 32 rows the lanes are the columns'
// bit words, stored side by side.  This replaces copying the pixels out,
// classifying the copy and packing the result: each pixel is loaded once
// and never stored.
//
// The colour test is the multiply-add form of the pixel loops' window test
// for windows whose matrix entries fit in 16 bits: with 8-bit channels each
// of h0, h1, t is below 2^25 in magnitude and h0 + h1 below 2^26, so nothing
// wraps and the 16-bit products summed in 32 bits are exactly the 32-bit
// results.  Other windows, and levels without a vector multiply-add of this
// kind, leave the work to the caller.  The NEON loops take every window (see
// below).
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE4_1__)
#include <immintrin.h>
#endif
#if defined(ORBISECT_NEON_LOOPS)
#include <arm_neon.h>
#endif

#include "colour/window_vectors.hpp"
#include "edges/scan_kernels.hpp"

namespace orbisect::ORBISECT_LEVEL {
namespace {

using edges::column_block;
using edges::column_lanes;

#if defined(__SSE4_1__)

using namespace window_vectors;

// The windows of four columns in a row, one to a 32-bit lane.  Lanes are
// filled by plain loads: on the processors at hand a gather instruction is
// slower.
inline int32_t window_at(const uint8_t *p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline __m128i window_quad(const uint8_t *row, const int32_t *o) {
    const __m128i ab = _mm_insert_epi32(_mm_cvtsi32_si128(window_at(row + o[0])), window_at(row + o[1]), 1);
    const __m128i cd = _mm_insert_epi32(_mm_cvtsi32_si128(window_at(row + o[2])), window_at(row + o[3]), 1);
    return _mm_unpacklo_epi64(ab, cd);
}

#if defined(__AVX512BW__)
constexpr int lanes = 16;
using lane_set = __mmask16;
inline vec load(const void *p) { return _mm512_loadu_si512(p); }
inline vec gather(const uint8_t *row, const int32_t *o) {
    const __m256i lo = _mm256_inserti128_si256(_mm256_castsi128_si256(window_quad(row, o)),
                                               window_quad(row, o + 4), 1);
    const __m256i hi = _mm256_inserti128_si256(_mm256_castsi128_si256(window_quad(row, o + 8)),
                                               window_quad(row, o + 12), 1);
    const __m512i low = _mm512_castsi256_si512(lo);
    return _mm512_mask_inserti64x4(low, 0xFF, low, hi, 1);
}
// Lanes lo < v < hi, as one signed comparison: v - base < length.
inline lane_set in_range(lane_set in, vec v, vec base, vec length) {
    return _mm512_mask_cmpgt_epi32_mask(in, length, _mm512_sub_epi32(v, base));
}
inline lane_set positive(vec v) { return _mm512_cmpgt_epi32_mask(v, _mm512_setzero_si512()); }
inline lane_set nonzero(vec v, vec select) { return _mm512_test_epi32_mask(v, select); }
inline lane_set min_positive(vec a, vec b) {
    return _mm512_mask_cmpgt_epi32_mask(positive(a), b, _mm512_setzero_si512());
}
inline vec set_bits(vec acc, lane_set in, vec bit) { return _mm512_mask_or_epi32(acc, in, acc, bit); }
inline void store_first(uint32_t *out, vec v, int n) {
    _mm512_mask_storeu_epi32(out, static_cast<__mmask16>((1u << n) - 1), v);
}
#elif defined(__AVX2__)
constexpr int lanes = 8;
using lane_set = __m256i;
inline vec load(const void *p) { return _mm256_loadu_si256(static_cast<const __m256i *>(p)); }
inline vec gather(const uint8_t *row, const int32_t *o) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(window_quad(row, o)), window_quad(row, o + 4), 1);
}
inline lane_set in_range(lane_set in, vec v, vec base, vec length) {
    return _mm256_and_si256(in, _mm256_cmpgt_epi32(length, _mm256_sub_epi32(v, base)));
}
inline lane_set positive(vec v) { return _mm256_cmpgt_epi32(v, _mm256_setzero_si256()); }
inline lane_set min_positive(vec a, vec b) { return positive(_mm256_min_epi32(a, b)); }
// All ones in the lanes where v & select is not zero.
inline lane_set nonzero(vec v, vec select) {
    const vec zero = _mm256_cmpeq_epi32(_mm256_and_si256(v, select), _mm256_setzero_si256());
    return _mm256_xor_si256(zero, _mm256_set1_epi32(-1));
}
inline vec set_bits(vec acc, lane_set in, vec bit) { return _mm256_or_si256(acc, _mm256_and_si256(in, bit)); }
inline void store_first(uint32_t *out, vec v, int n) {
    const vec keep = _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    _mm256_maskstore_epi32(reinterpret_cast<int *>(out), keep, v);
}
#else
constexpr int lanes = 4;
using lane_set = __m128i;
inline vec load(const void *p) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); }
inline vec gather(const uint8_t *row, const int32_t *o) { return window_quad(row, o); }
inline lane_set in_range(lane_set in, vec v, vec base, vec length) {
    return _mm_and_si128(in, _mm_cmpgt_epi32(length, _mm_sub_epi32(v, base)));
}
inline lane_set positive(vec v) { return _mm_cmpgt_epi32(v, _mm_setzero_si128()); }
inline lane_set min_positive(vec a, vec b) { return positive(_mm_min_epi32(a, b)); }
inline lane_set nonzero(vec v, vec select) {
    const vec zero = _mm_cmpeq_epi32(_mm_and_si128(v, select), _mm_setzero_si128());
    return _mm_xor_si128(zero, _mm_set1_epi32(-1));
}
inline vec set_bits(vec acc, lane_set in, vec bit) { return _mm_or_si128(acc, _mm_and_si128(in, bit)); }
inline void store_first(uint32_t *out, vec v, int n) {
    uint32_t words[4];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(words), v);
    std::memcpy(out, words, static_cast<size_t>(n) * 4);
}
#endif

// The walk shared by both loops: for each 32 rows (fewer at the end) and
// each group of lanes (columns lanes * g ...), test(row, groups[g]) gives the
// lanes set in each of the rows, OR-ed into the lanes' word at the row's bit;
// then the words are stored.  A group's constants stay in registers over
// its 32 rows, which it reads at the same few cache lines.
constexpr int max_groups = edges::max_block_columns / lanes;

template <class Group, class Test>
void walk(const column_block &block, const Group *groups, Test test) {
    for (int64_t w0 = 0; w0 < block.rows; w0 += 32) {
        const int rows = block.rows - w0 < 32 ? static_cast<int>(block.rows - w0) : 32;
        uint32_t *const out = block.bits + (w0 / 32) * block.count;
        for (int j0 = 0; j0 < block.count; j0 += lanes) {
            const Group group = groups[j0 / lanes];
            vec acc = splat(0), bit = splat(1);
            for (int r = 0; r < rows; ++r) {
                const uint8_t *row = block.row0 + (w0 + r) * block.row_step;
                acc = set_bits(acc, test(row, group), bit);
                bit = add(bit, bit);
            }
            const int n = block.count - j0 < lanes ? block.count - j0 : lanes;
            store_first(out + j0, acc, n);
        }
    }
}

// Byte-shuffle indices of lanes j0 .. j0+lanes-1 that move byte first[j] +
// lead of each lane's window to the lane's low byte (lead 0) or the low
// bytes of its two words (lead 0 and 1 to words 0 and 1); other bytes 0.
vec byte_picks(const uint8_t *first, int j0, int lead0, int lead1) {
    alignas(64) int32_t picks[lanes];
    for (int i = 0; i < lanes; ++i) {
        const int at = 4 * (i & 3) + first[j0 + i];
        const uint32_t lo = static_cast<uint32_t>(at + lead0);
        const uint32_t hi = lead1 < 0 ? 0x80u : static_cast<uint32_t>(at + lead1);
        picks[i] = static_cast<int32_t>(lo | 0x8000u | (hi << 16) | 0x80000000u);
    }
    return load(picks);
}

bool window_columns(const column_block &block, const lch_bounds &b) {
    if (!fits_16_bits(b)) return false;
    const coefficients coef(b);
    const range t_range(b.i[0], b.i[1]), s_range(b.c[0], b.c[1]);
    struct group {
        vec rg, bl;
        const int32_t *offset;
    };
    group groups[max_groups];
    for (int j0 = 0; j0 < block.count; j0 += lanes)
        groups[j0 / lanes] = {byte_picks(block.first, j0, 0, 1), byte_picks(block.first, j0, 2, -1),
                              block.offset + j0};
    auto test = [&](const uint8_t *row, const group &g) {
        const vec px = gather(row, g.offset);
        const vec rg = shuffle(px, g.rg), bb = shuffle(px, g.bl);
        const vec h0 = add(madd(rg, coef.rg[0]), madd(bb, coef.b[0]));
        const vec h1 = add(madd(rg, coef.rg[1]), madd(bb, coef.b[1]));
        const vec t = add(madd(rg, coef.rg[2]), madd(bb, coef.b[2]));
        lane_set in = min_positive(h0, h1);
        in = in_range(in, t, t_range.base, t_range.length);
        return in_range(in, add(h0, h1), s_range.base, s_range.length);
    };
    walk(block, groups, test);
    return true;
}

bool mask_columns(const column_block &block) {
    struct group {
        vec select;
        const int32_t *offset;
    };
    group groups[max_groups];
    for (int j0 = 0; j0 < block.count; j0 += lanes) {
        alignas(64) int32_t select[lanes];
        for (int i = 0; i < lanes; ++i) select[i] = static_cast<int32_t>(0xFFu << (8 * block.first[j0 + i]));
        groups[j0 / lanes] = {load(select), block.offset + j0};
    }
    auto test = [&](const uint8_t *row, const group &g) {
        return nonzero(gather(row, g.offset), g.select);
    };
    walk(block, groups, test);
    return true;
}

#elif defined(ORBISECT_NEON_LOOPS)

// NEON: four columns to a vector, each lane loaded with its column's window
// in the row.  One table lookup per channel moves the channel's byte to the
// lane's low byte (other bytes 0), and h0, h1, t are formed in 32-bit lanes
// by multiplies and multiply-accumulates, modular like the scalar test, so
// that every window takes this loop.  The row's bit enters at the top of the
// lane as the earlier rows' bits shift down (one shift-right-and-insert), so
// that after r rows the lane holds them in bits 32 - r ... 31.
using namespace window_vectors;

constexpr int lanes = 4;
constexpr int max_groups = edges::max_block_columns / lanes;

inline uint32_t window_at(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
// Each window straight into its lane (a lane load per window).
inline uint32x4_t gather(const uint8_t *row, const int32_t *o) {
    uint32x4_t v = vdupq_n_u32(window_at(row + o[0]));
    v = vsetq_lane_u32(window_at(row + o[1]), v, 1);
    v = vsetq_lane_u32(window_at(row + o[2]), v, 2);
    return vsetq_lane_u32(window_at(row + o[3]), v, 3);
}

template <class Group, class Test>
void walk(const column_block &block, const Group *groups, Test test) {
    for (int64_t w0 = 0; w0 < block.rows; w0 += 32) {
        const int rows = block.rows - w0 < 32 ? static_cast<int>(block.rows - w0) : 32;
        uint32_t *const out = block.bits + (w0 / 32) * block.count;
        const int32x4_t down = vdupq_n_s32(rows - 32);  // shifts right by 32 - rows
        for (int j0 = 0; j0 < block.count; j0 += lanes) {
            const Group group = groups[j0 / lanes];
            uint32x4_t acc = vdupq_n_u32(0);
            for (int r = 0; r < rows; ++r) {
                const uint8_t *row = block.row0 + (w0 + r) * block.row_step;
                acc = vsriq_n_u32(test(row, group), acc, 1);
            }
            uint32_t words[lanes];
            vst1q_u32(words, vshlq_u32(acc, down));
            const int n = block.count - j0 < lanes ? block.count - j0 : lanes;
            std::memcpy(out + j0, words, static_cast<size_t>(n) * 4);
        }
    }
}

// Table indices of lanes j0 .. j0+3 that move byte first[j] + lead of each
// lane's window to the lane's low byte; the other bytes get an index beyond
// the table, which reads 0.
uint8x16_t byte_picks(const uint8_t *first, int j0, int lead) {
    uint8_t picks[16];
    for (int i = 0; i < lanes; ++i) {
        picks[4 * i] = static_cast<uint8_t>(4 * i + first[j0 + i] + lead);
        picks[4 * i + 1] = picks[4 * i + 2] = picks[4 * i + 3] = 0xFF;
    }
    return vld1q_u8(picks);
}

bool window_columns(const column_block &block, const lch_bounds &b) {
    const neon_window window(b);
    uint32_t m[9];
    for (int k = 0; k < 9; ++k) m[k] = static_cast<uint32_t>(b.M[k]);
    struct group {
        uint8x16_t r, g, bl;
        const int32_t *offset;
    };
    group groups[max_groups];
    for (int j0 = 0; j0 < block.count; j0 += lanes)
        groups[j0 / lanes] = {byte_picks(block.first, j0, 0), byte_picks(block.first, j0, 1),
                              byte_picks(block.first, j0, 2), block.offset + j0};
    auto test = [&](const uint8_t *row, const group &gr) {
        const uint8x16_t px = vreinterpretq_u8_u32(gather(row, gr.offset));
        const uint32x4_t r = vreinterpretq_u32_u8(vqtbl1q_u8(px, gr.r));
        const uint32x4_t g = vreinterpretq_u32_u8(vqtbl1q_u8(px, gr.g));
        const uint32x4_t bl = vreinterpretq_u32_u8(vqtbl1q_u8(px, gr.bl));
        auto row_of = [&](int k) {
            return vreinterpretq_s32_u32(
                vmlaq_n_u32(vmlaq_n_u32(vmulq_n_u32(r, m[3 * k]), g, m[3 * k + 1]), bl, m[3 * k + 2]));
        };
        return window.inside(row_of(0), row_of(1), row_of(2));
    };
    walk(block, groups, test);
    return true;
}

bool mask_columns(const column_block &block) {
    struct group {
        uint32x4_t select;
        const int32_t *offset;
    };
    group groups[max_groups];
    for (int j0 = 0; j0 < block.count; j0 += lanes) {
        uint32_t select[lanes];
        for (int i = 0; i < lanes; ++i) select[i] = 0xFFu << (8 * block.first[j0 + i]);
        groups[j0 / lanes] = {vld1q_u32(select), block.offset + j0};
    }
    auto test = [&](const uint8_t *row, const group &g) { return vtstq_u32(gather(row, g.offset), g.select); };
    walk(block, groups, test);
    return true;
}

#else

bool window_columns(const column_block &, const lch_bounds &) { return false; }
bool mask_columns(const column_block &) { return false; }

#endif

const edges::scan_kernels table = {window_columns, mask_columns};

}  // namespace

const edges::scan_kernels &scan_table() { return table; }

}  // namespace orbisect::ORBISECT_LEVEL
