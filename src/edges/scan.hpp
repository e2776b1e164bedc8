// The scan-line walk shared by the mask scan and the colour-window scan:
// rows then columns in bit-reversed order, run starts and ends written as
// (x, y) points until the point set is full.  A "line source" decides which
// pixels are set; see simple_edge.cpp and simple_edge_hsv.cpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include "core/array_view.hpp"
#include "core/fault.hpp"
#include "core/levels.hpp"
#include "edges/scan_kernels.hpp"

namespace orbisect::edges {

// Counts above this select lines outside the bit-reversed order.
constexpr int32_t max_line_count = 65536;

inline uint32_t reverse16(uint32_t k) {
    k &= 0xFFFFu;
    k = ((k & 0x5555u) << 1) | ((k >> 1) & 0x5555u);
    k = ((k & 0x3333u) << 2) | ((k >> 2) & 0x3333u);
    k = ((k & 0x0F0Fu) << 4) | ((k >> 4) & 0x0F0Fu);
    return ((k & 0x00FFu) << 8) | (k >> 8);
}

// The k-th line of a pass over `lines` lines: floor(reverse16(k) * lines /
// 2^16).  The product is formed in 64 bits, so that passes over more than
// 65536 lines are spread like shorter ones; up to 65536 lines it never
// exceeds 32 bits, so the result is the same as a 32-bit product's.
inline uint32_t scan_line(uint32_t k, uint32_t lines) {
    return static_cast<uint32_t>((uint64_t{reverse16(k)} * lines) >> 16);
}

// Receives points until the point set is full.
class point_sink {
  public:
    explicit point_sink(const points_view &ps) : ps_(ps), capacity_(ps.empty() ? 0 : ps.shape[0]) {}

    // False (and nothing written) once the capacity is reached.
    bool put(int32_t x, int32_t y) {
        if (count_ >= capacity_) return false;
        write_point(ps_, count_, x, y);
        ++count_;
        return true;
    }
    int32_t count() const { return static_cast<int32_t>(count_); }

  private:
    const points_view &ps_;
    int64_t capacity_;
    int64_t count_ = 0;
};

// A point set the scan may write: at least 2 columns when it has rows.
fault check_point_output(const points_view &ps);

// Bit i set when bytes[i] is non-zero, for 64 bytes.
inline uint64_t nonzero_bits(const uint8_t *bytes) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    uint64_t zeros = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + 16 * i));
        zeros |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))))
                 << (16 * i);
    }
    return ~zeros;
#elif defined(__ARM_NEON)
    // Each non-zero byte becomes its bit's weight within its group of 8, and
    // three rounds of pairwise adds sum the groups into the 8 bytes of the
    // result (byte g holds bytes 8g .. 8g+7).
    static const uint8_t weights[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t w = vld1q_u8(weights);
    uint8x16_t part[4];
    for (int i = 0; i < 4; ++i) {
        const uint8x16_t v = vld1q_u8(bytes + 16 * i);
        part[i] = vandq_u8(vtstq_u8(v, v), w);
    }
    const uint8x16_t sum = vpaddq_u8(vpaddq_u8(part[0], part[1]), vpaddq_u8(part[2], part[3]));
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(sum, sum)), 0);
#else
    uint64_t bits = 0;
    for (int i = 0; i < 64; ++i) bits |= static_cast<uint64_t>(bytes[i] != 0) << i;
    return bits;
#endif
}

// Writes the membership changes of a piece of a line given as 0 / non-zero
// bytes: put(position) for every position where membership flips, with
// `in_run` carried across consecutive pieces of one line.  64 bytes at a
// time: the flips are the set bits of bits ^ (bits << 1 | previous bit).
// False as soon as put() is (the point set is full).
template <class Put>
bool emit_changes(const uint8_t *bytes, int64_t n, int64_t origin, bool &in_run, Put put) {
    uint64_t previous = in_run ? 1 : 0;
    for (int64_t x0 = 0; x0 < n; x0 += 64) {
        uint64_t bits;
        const int64_t left = n - x0;
        if (left >= 64) {
            bits = nonzero_bits(bytes + x0);
        } else {
            uint8_t last[64] = {};
            std::memcpy(last, bytes + x0, static_cast<size_t>(left));
            bits = nonzero_bits(last);
        }
        uint64_t flips = bits ^ (bits << 1 | previous);
        if (left < 64) flips &= (uint64_t{1} << left) - 1;
        previous = (bits >> (left < 64 ? left - 1 : 63)) & 1;
        for (; flips; flips &= flips - 1) {
            if (!put(origin + x0 + __builtin_ctzll(flips))) {
                in_run = previous;  // not read again: the scan stops
                return false;
            }
        }
    }
    in_run = previous;
    return true;
}

// Writes the membership changes of a piece of a column given as bit words
// (bit b of word w for row origin + 32 * w + b; words `pitch` apart), like
// emit_changes: the flips are the set bits of bits ^ (bits << 1 | previous
// bit).  Bits beyond the n rows of the piece are ignored.
template <class Put>
bool emit_bit_changes(const uint32_t *bits, int64_t pitch, int64_t n, int64_t origin, bool &in_run,
                      Put put) {
    uint32_t previous = in_run ? 1 : 0;
    for (int64_t y0 = 0; y0 < n; y0 += 32, bits += pitch) {
        const int64_t left = n - y0;
        const uint32_t keep = left < 32 ? (uint32_t{1} << left) - 1 : ~uint32_t{0};
        const uint32_t word = *bits & keep;
        uint32_t flips = (word ^ (word << 1 | previous)) & keep;
        previous = (word >> (left < 32 ? left - 1 : 31)) & 1;
        for (; flips; flips &= flips - 1) {
            if (!put(origin + y0 + __builtin_ctz(flips))) {
                in_run = previous;  // not read again: the scan stops
                return false;
            }
        }
    }
    in_run = previous;
    return true;
}

// Bit words of rows: words[j] gets bit r set when bytes[r * stride + j] is
// non-zero, for rows r < rows (at most 32) and columns j < n.  Reads up to
// 15 bytes past the last row's n bytes.
inline void pack_row_bits(const uint8_t *bytes, int64_t stride, int rows, int n, uint32_t *words) {
#if defined(__SSE2__)
    // Sixteen columns at a time: bytes of 8 rows each (bit r % 8 for row r),
    // four of them interleaved into the columns' words.
    const __m128i zero = _mm_setzero_si128();
    for (int j = 0; j < n; j += 16) {
        __m128i part[4];
        for (int g = 0; g < 4; ++g) {
            __m128i acc = zero;
            for (int r = 0; r < 8 && 8 * g + r < rows; ++r) {
                const __m128i v =
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + (8 * g + r) * stride + j));
                const __m128i bit = _mm_set1_epi8(static_cast<char>(1 << r));
                acc = _mm_or_si128(acc, _mm_andnot_si128(_mm_cmpeq_epi8(v, zero), bit));
            }
            part[g] = acc;
        }
        const __m128i lo01 = _mm_unpacklo_epi8(part[0], part[1]), hi01 = _mm_unpackhi_epi8(part[0], part[1]);
        const __m128i lo23 = _mm_unpacklo_epi8(part[2], part[3]), hi23 = _mm_unpackhi_epi8(part[2], part[3]);
        uint32_t out[16];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi16(lo01, lo23));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4), _mm_unpackhi_epi16(lo01, lo23));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8), _mm_unpacklo_epi16(hi01, hi23));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 12), _mm_unpackhi_epi16(hi01, hi23));
        std::memcpy(words + j, out, static_cast<size_t>(n - j < 16 ? n - j : 16) * 4);
    }
#else
    for (int j = 0; j < n; ++j) {
        uint32_t word = 0;
        for (int r = 0; r < rows; ++r) word |= static_cast<uint32_t>(bytes[r * stride + j] != 0) << r;
        words[j] = word;
    }
#endif
}

// Column scratch: the bit words of a group of columns, read row by row so
// that one pass over the rows serves many columns (reading a few bytes from
// every row once per column would stream the whole image again for each
// column).  It is allocated once per thread and kept.
constexpr int64_t column_scratch_words = 1 << 14;
constexpr int max_column_group = max_block_columns;
uint32_t *column_scratch();
// Room beside the column scratch (same lifetime) for the columns' pixels
// gathered a block of rows at a time, when a source reads them that way:
// 3 bytes a pixel, then 1 byte a pixel, each with pixel_slack bytes to spare.
constexpr int64_t pixel_block = 1 << 13;  // pixels; 32 rows of 256 columns
constexpr int64_t pixel_slack = 64;
uint8_t *pixel_scratch();

// The four-byte windows of chosen columns of an image whose pixels are
// `pixel_bytes` bytes wide and `step` bytes apart along a row of `width`
// pixels, for a source that reads them so (see scan_kernels.hpp): the window
// of a pixel starts at the pixel, except for the pixel at the highest address
// of the row, whose window ends at its last byte.  Every window lies inside
// the row's bytes (between its first and last pixel).  False when there is
// no such window: a row of one pixel or of pixels at one address, or offsets
// beyond 32 bits.
bool column_windows(const int64_t *xs, int count, int64_t width, int64_t step, int pixel_bytes,
                    int32_t *offset, uint8_t *first);

// The table of a level (which must be supported), and of the best level.
const scan_kernels &level_scan_kernels(isa_level level);
const scan_kernels &best_scan_kernels();

// The whole scan.  Source provides
//   bool row(int64_t y, point_sink &)   - scans row y; false once the point
//                                         set is full
//   void columns(const int64_t *xs, int count, int64_t y0, int64_t rows,
//                uint32_t *bits)        - membership of rows y0 .. y0+rows-1
//                                         of the columns xs (ascending) as
//                                         bit words: bit b of
//                                         bits[w * count + j] for row
//                                         y0 + 32 * w + b of column j
template <class Source>
int32_t scan_lines(Source &source, int64_t height, int64_t width, int32_t row_count,
                   int32_t column_count, point_sink &sink) {
    if (height <= 0 || width <= 0) return 0;
    const int32_t rows = row_count < max_line_count ? row_count : max_line_count;
    const int32_t columns = column_count < max_line_count ? column_count : max_line_count;
    const auto h = static_cast<uint32_t>(height), w = static_cast<uint32_t>(width);
    for (int32_t k = 0; k < rows; ++k)
        if (!source.row(scan_line(static_cast<uint32_t>(k), h), sink)) return sink.count();

    // Columns in groups when a group of whole columns fits the scratch;
    // otherwise one column at a time, in pieces.
    uint32_t *const scratch = column_scratch();
    const int64_t words = height / 32 + (height % 32 != 0);
    int group = static_cast<int>(column_scratch_words / words < max_column_group
                                     ? column_scratch_words / words
                                     : max_column_group);
    const int64_t piece = group >= 1 ? height : 32 * column_scratch_words;
    if (group < 1) group = 1;
    // A group is read in increasing x, so that the reads run forward through
    // memory row after row; slot[j] is where column j of the group landed.
    int64_t xs[max_column_group], sorted[max_column_group];
    int order[max_column_group], slot[max_column_group];
    for (int32_t k0 = 0; k0 < columns; k0 += group) {
        const int count = columns - k0 < group ? columns - k0 : group;
        for (int j = 0; j < count; ++j) {
            xs[j] = scan_line(static_cast<uint32_t>(k0 + j), w);
            order[j] = j;
        }
        std::sort(order, order + count, [&](int a, int b) { return xs[a] < xs[b]; });
        for (int i = 0; i < count; ++i) {
            sorted[i] = xs[order[i]];
            slot[order[i]] = i;
        }
        if (piece == height) source.columns(sorted, count, 0, height, scratch);
        for (int j = 0; j < count; ++j) {
            const auto x = static_cast<int32_t>(xs[j]);
            auto put = [&](int64_t y) { return sink.put(x, static_cast<int32_t>(y)); };
            bool in_run = false;
            for (int64_t y0 = 0; y0 < height; y0 += piece) {
                const int64_t n = height - y0 < piece ? height - y0 : piece;
                if (piece != height) source.columns(xs + j, 1, y0, n, scratch);
                const uint32_t *bits = scratch + (piece == height ? slot[j] : 0);
                if (!emit_bit_changes(bits, piece == height ? count : 1, n, y0, in_run, put))
                    return sink.count();
            }
            if (in_run && !put(height - 1)) return sink.count();
        }
    }
    return sink.count();
}

// A line of n pixels from p, `step` bytes apart, read every `every`-th pixel
// (and at the last): its samples classified, and each change between two
// samples located by bisection with the pixel test.  Runs and gaps of
// `every` pixels or more are all found where they are.
struct sampled_line {
    const uint8_t *p;
    int64_t step, n, every;

    int64_t samples() const { return (n - 1) / every + 1 + ((n - 1) % every != 0 ? 1 : 0); }
    int64_t index(int64_t k) const { return k * every < n ? k * every : n - 1; }
    // The samples as packed triples (3 bytes each).
    void gather(uint8_t *out) const {
        const int64_t m = samples();
        // Every sample but the last lies k * every pixels on; the last at n - 1.
        const int64_t stride = every * step;
        for (int64_t k = 0; k + 1 < m; ++k) std::memcpy(out + 3 * k, p + k * stride, 3);
        std::memcpy(out + 3 * (m - 1), p + index(m - 1) * step, 3);
    }
    // Asks for the pixel that the first step of each change's bisection
    // reads (a hint: nothing is read through it), so that those reads,
    // each in a cache line of its own, overlap rather than wait in turn.
    void prefetch_changes(const uint8_t *flags) const {
        if (every < 2) return;
        const int64_t m = samples();
        for (int64_t k = 1; k < m; ++k) {
            uint64_t a, b;
            if (k + 8 <= m && (std::memcpy(&a, flags + k, 8), std::memcpy(&b, flags + k - 1, 8), a == b)) {
                k += 7;
                continue;
            }
            if ((flags[k] != 0) == (flags[k - 1] != 0)) continue;
            const int64_t lo = index(k - 1), hi = index(k);
            if (hi - lo > 1) __builtin_prefetch(p + (lo + (hi - lo) / 2) * step);
        }
    }
    // The changes (flags: the samples' membership) as the full scan writes
    // them, the last pixel closing a run that reaches it; after max_changes
    // changes the line ends there (closed as at its last pixel).  False as
    // soon as put() is (the point set is full).
    template <class Inside, class Put>
    bool emit(const uint8_t *flags, Inside inside, Put put, int64_t max_changes = INT64_MAX) const {
        const int64_t m = samples();
        bool in_run = flags[0] != 0;
        if (in_run && !put(0)) return false;
        int64_t changes = 0;
        // Flags one byte each (0 or 1): eight at a time past those that
        // change nothing.
        uint64_t same = in_run ? 0x0101010101010101ull : 0;
        for (int64_t k = 1; k < m && changes < max_changes; ++k) {
            uint64_t eight;
            if (k + 8 <= m && (std::memcpy(&eight, flags + k, 8), eight == same)) {
                k += 7;
                continue;
            }
            const bool now = flags[k] != 0;
            if (now == in_run) continue;
            int64_t lo = index(k - 1), hi = index(k);
            while (hi - lo > 1) {
                const int64_t mid = lo + (hi - lo) / 2;
                if (inside(p + mid * step) == in_run) lo = mid;
                else hi = mid;
            }
            in_run = now;
            same = ~same & 0x0101010101010101ull;
            ++changes;
            if (!put(hi)) return false;
        }
        return !in_run || put(n - 1);
    }
};

}  // namespace orbisect::edges
