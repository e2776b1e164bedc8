#include "edges/simple_edge_hsv.hpp"

#include <cstring>
#include <vector>

#include "colour/window.hpp"
#include "edges/scan.hpp"

namespace orbisect {
namespace {

constexpr int64_t chunk_pixels = 1024;

// Colour lines: a pixel is set when it lies inside the window.  Pixels are
// classified a chunk at a time by the mask kernel's row loop.
struct window_lines {
    const edges::scan_kernels &kernels;
    const image_view &image;
    const lch_bounds &bounds;

    // Packed RGB triples of row y, pixels x0 .. x0+n-1 (copied only when the
    // row's pixels are not adjacent).
    const uint8_t *row_pixels(int64_t y, int64_t x0, int64_t n, uint8_t *copy) const {
        const int64_t step = image.strides[1];
        const uint8_t *p = image.at(y, x0);
        if (step == 3 || n == 1) return p;
        for (int64_t x = 0; x < n; ++x, p += step) std::memcpy(copy + 3 * x, p, 3);
        return copy;
    }

    bool row(int64_t y, edges::point_sink &sink) {
        const int64_t width = image.shape[1];
        const auto yi = static_cast<int32_t>(y);
        auto put = [&](int64_t x) { return sink.put(static_cast<int32_t>(x), yi); };
        uint8_t copy[3 * chunk_pixels], inside[chunk_pixels];
        bool in_run = false;
        for (int64_t x0 = 0; x0 < width; x0 += chunk_pixels) {
            const int64_t n = width - x0 < chunk_pixels ? width - x0 : chunk_pixels;
            classify_pixels(row_pixels(y, x0, n, copy), n, bounds, inside);
            if (!edges::emit_changes(inside, n, x0, in_run, put)) return false;
        }
        return !in_run || put(width - 1);
    }

    void columns(const int64_t *xs, int count, int64_t y0, int64_t rows, uint32_t *bits) const {
        // Straight from the image by the level's loop when it has one for the
        // window; otherwise gathered and classified a block at a time.
        alignas(64) int32_t offset[edges::max_column_group];
        uint8_t first[edges::max_column_group];
        const int64_t step = image.strides[1];
        const bool windows = edges::column_windows(xs, count, image.shape[1], step, 3, offset, first);
        const edges::column_block block{image.row(y0), image.strides[0], rows, offset, first, count, bits};
        if (windows && kernels.window_columns(block, bounds)) return;

        // At most 256 columns at a time, in blocks of 32 rows (the last block
        // shorter) or more: the columns' pixels are copied row after row into
        // packed triples, classified in one call, and the classification of
        // every 32 rows packed into the columns' words.  A pixel whose window
        // starts at the pixel is moved as four bytes, the one beyond the
        // triple being overwritten by the next pixel (or landing in the
        // slack); the others (at the ends of the ascending columns) as three.
        int64_t at[edges::max_column_group];
        for (int j = 0; j < count; ++j) at[j] = xs[j] * step;
        int wide_lo = count, wide_hi = count;  // columns moved as four bytes
        if (windows) {
            for (wide_lo = 0; wide_lo < count && first[wide_lo] != 0;) ++wide_lo;
            for (wide_hi = wide_lo; wide_hi < count && first[wide_hi] == 0;) ++wide_hi;
        }
        uint8_t *const copy = edges::pixel_scratch();
        uint8_t *const inside = copy + 3 * edges::pixel_block + edges::pixel_slack;
        for (int j0 = 0; j0 < count; j0 += 256) {
            const int n = count - j0 < 256 ? count - j0 : 256;
            const int lo = wide_lo < j0 ? j0 : wide_lo > j0 + n ? j0 + n : wide_lo;
            const int hi = wide_hi < lo ? lo : wide_hi > j0 + n ? j0 + n : wide_hi;
            const int64_t block_rows = edges::pixel_block / n / 32 * 32;
            for (int64_t b0 = 0; b0 < rows; b0 += block_rows) {
                const int64_t m = rows - b0 < block_rows ? rows - b0 : block_rows;
                uint8_t *c = copy;
                for (int64_t y = 0; y < m; ++y) {
                    const uint8_t *row = image.row(y0 + b0 + y);
                    int j = j0;
                    for (; j < lo; ++j, c += 3) std::memcpy(c, row + at[j], 3);
                    for (; j < hi; ++j, c += 3) std::memcpy(c, row + at[j], 4);
                    for (; j < j0 + n; ++j, c += 3) std::memcpy(c, row + at[j], 3);
                }
                classify_pixels(copy, m * n, bounds, inside);
                for (int64_t r0 = 0; r0 < m; r0 += 32)
                    edges::pack_row_bits(inside + r0 * n, n, m - r0 < 32 ? static_cast<int>(m - r0) : 32, n,
                                         bits + (b0 + r0) / 32 * count + j0);
            }
        }
    }
};

// Membership of n packed pixels in the union of `count` windows (window(k)
// the k-th), into out (more: n bytes of scratch); the first two in one
// pass (one matrix product when they share it).
template <class Window>
void classify_union(const uint8_t *px, int64_t n, int count, Window window, uint8_t *out, uint8_t *more) {
    if (count >= 2) classify_either_pixels(px, n, window(0), window(1), out);
    else classify_pixels(px, n, window(0), out);
    for (int k = 2; k < count; ++k) {
        classify_pixels(px, n, window(k), more);
        for (int64_t i = 0; i < n; ++i) out[i] |= more[i];
    }
}

// Lines of a union of windows: a pixel is set when it lies inside any of
// them.  Rows are classified once per window a chunk at a time and joined;
// columns are each window's bits, joined word by word.
struct union_lines {
    window_lines *parts;
    int count;

    bool row(int64_t y, edges::point_sink &sink) {
        const image_view &image = parts[0].image;
        const int64_t width = image.shape[1];
        const auto yi = static_cast<int32_t>(y);
        auto put = [&](int64_t x) { return sink.put(static_cast<int32_t>(x), yi); };
        uint8_t copy[3 * chunk_pixels], inside[chunk_pixels], more[chunk_pixels];
        bool in_run = false;
        for (int64_t x0 = 0; x0 < width; x0 += chunk_pixels) {
            const int64_t n = width - x0 < chunk_pixels ? width - x0 : chunk_pixels;
            const uint8_t *px = parts[0].row_pixels(y, x0, n, copy);
            classify_union(px, n, count, [this](int k) -> const lch_bounds & { return parts[k].bounds; }, inside,
                           more);
            if (!edges::emit_changes(inside, n, x0, in_run, put)) return false;
        }
        return !in_run || put(width - 1);
    }

    void columns(const int64_t *xs, int n, int64_t y0, int64_t rows, uint32_t *bits) const {
        parts[0].columns(xs, n, y0, rows, bits);
        if (count == 1) return;
        const int64_t words = (rows / 32 + (rows % 32 != 0)) * n;
        // (The thread's scratch taken once: each use of a thread_local
        // in a shared library is a call.)
        thread_local std::vector<uint32_t> scratch;
        if (static_cast<int64_t>(scratch.size()) < words) scratch.resize(static_cast<size_t>(words));
        uint32_t *const more = scratch.data();
        for (int k = 1; k < count; ++k) {
            parts[k].columns(xs, n, y0, rows, more);
            for (int64_t i = 0; i < words; ++i) bits[i] |= more[i];
        }
    }
};

// Two scans in one pass over the frame: each chosen row and column is read
// once and its pixels classified for both sides (each side a union of
// windows).  The points of each side are those of its own scan.
struct two_sides {
    const image_view &image;
    const lch_bounds *windows[2];
    int counts[2];

    // Membership of n packed pixels in side k's union (more: scratch).
    void classify(int k, const uint8_t *px, int64_t n, uint8_t *out, uint8_t *more) const {
        const lch_bounds *w = windows[k];
        classify_union(px, n, counts[k], [w](int j) -> const lch_bounds & { return w[j]; }, out, more);
    }
};

// The reads of a group of columns (ascending addresses along a row, or
// descending in a reversed view), row after row: each pixel copied as four
// bytes where its four-byte window starts at it (the byte beyond the
// triple is overwritten by the next pixel, or lands in the slack), as three
// otherwise; and the pixels `prefetch_rows` rows ahead asked for, once per
// cache line, so that the reads of several rows overlap (a column's pixels
// lie a row apart, each in a line of its own).  Prefetching is a hint:
// nothing is read through it.
struct column_reads {
    static constexpr int64_t prefetch_rows = 4;
    int64_t at[edges::max_column_group];     // byte offsets in a row
    int64_t ahead[edges::max_column_group];  // one per cache line
    int lines = 0, wide_lo = 0, wide_hi = 0;

    column_reads(const int64_t *sorted, int n, int64_t width, int64_t step) {
        alignas(64) int32_t offset[edges::max_column_group];
        uint8_t first[edges::max_column_group];
        for (int j = 0; j < n; ++j) at[j] = sorted[j] * step;
        wide_lo = wide_hi = n;
        if (edges::column_windows(sorted, n, width, step, 3, offset, first)) {
            for (wide_lo = 0; wide_lo < n && first[wide_lo] != 0;) ++wide_lo;
            for (wide_hi = wide_lo; wide_hi < n && first[wide_hi] == 0;) ++wide_hi;
        }
        for (int j = 0; j < n; ++j)
            if (lines == 0 || at[j] - ahead[lines - 1] >= 64 || ahead[lines - 1] - at[j] >= 64) ahead[lines++] = at[j];
    }
    void prefetch(const uint8_t *row) const {
        for (int k = 0; k < lines; ++k) __builtin_prefetch(row + ahead[k]);
    }
    // Columns j0 .. j1 - 1 of a row, column j's pixel to c + (j - j0) * pitch
    // (pitch 3: packed triples; a multiple of 3 otherwise): as four bytes
    // where wide is true and the window allows (the byte beyond lands where
    // the next pixel goes), else as three.
    void copy(const uint8_t *row, int j0, int j1, uint8_t *c, int64_t pitch, bool wide = true) const {
        const int lo = !wide ? j1 : wide_lo < j0 ? j0 : wide_lo > j1 ? j1 : wide_lo;
        const int hi = !wide ? j1 : wide_hi < lo ? lo : wide_hi > j1 ? j1 : wide_hi;
        int j = j0;
        for (; j < lo; ++j, c += pitch) std::memcpy(c, row + at[j], 3);
        for (; j < hi; ++j, c += pitch) std::memcpy(c, row + at[j], 4);
        for (; j < j1; ++j, c += pitch) std::memcpy(c, row + at[j], 3);
    }
};

int64_t words_of(int64_t rows) { return rows / 32 + (rows % 32 != 0); }

// The columns k0 .. k0 + count - 1 of a pass over w columns: xs in pass
// order, sorted ascending (so that reads run forward along each row), and
// slot[j], where column j landed among the sorted.
void column_group(int32_t k0, int count, uint32_t w, int64_t *xs, int64_t *sorted, int *slot) {
    int order[edges::max_column_group];
    for (int j = 0; j < count; ++j) {
        xs[j] = edges::scan_line(static_cast<uint32_t>(k0 + j), w);
        order[j] = j;
    }
    std::sort(order, order + count, [&](int p, int q) { return xs[p] < xs[q]; });
    for (int i = 0; i < count; ++i) {
        sorted[i] = xs[order[i]];
        slot[order[i]] = i;
    }
}

}  // namespace

int32_t simple_edge_union(const image_view &image, const points_view &ps, const lch_bounds *windows, int count,
                          int32_t row_count, int32_t column_count) {
    if (image.empty() || count < 1) return 0;
    if (count > max_union_windows) count = max_union_windows;
    const edges::scan_kernels &kernels = edges::best_scan_kernels();
    edges::point_sink sink(ps);
    window_lines parts[max_union_windows] = {
        {kernels, image, windows[0]}, {kernels, image, windows[count > 1 ? 1 : 0]},
        {kernels, image, windows[count > 2 ? 2 : 0]}, {kernels, image, windows[count > 3 ? 3 : 0]}};
    union_lines lines{parts, count};
    return edges::scan_lines(lines, image.shape[0], image.shape[1], row_count, column_count, sink);
}

pair_count simple_edge_pair(const image_view &image, const points_view &ps_a, const lch_bounds *a, int na,
                            const points_view &ps_b, const lch_bounds *b, int nb, int32_t row_count,
                            int32_t column_count, int64_t every) {
    pair_count out;
    if (image.empty() || na < 1 || nb < 1) return out;
    if (na > max_union_windows) na = max_union_windows;
    if (nb > max_union_windows) nb = max_union_windows;
    const two_sides sides{image, {a, b}, {na, nb}};
    edges::point_sink sink_a(ps_a), sink_b(ps_b);
    edges::point_sink *sinks[2] = {&sink_a, &sink_b};
    bool done[2] = {false, false};
    const int64_t height = image.shape[0], width = image.shape[1];
    const int32_t rows = row_count < edges::max_line_count ? row_count : edges::max_line_count;
    const int32_t columns = column_count < edges::max_line_count ? column_count : edges::max_line_count;
    const auto h = static_cast<uint32_t>(height), w = static_cast<uint32_t>(width);
    const edges::scan_kernels &kernels = edges::best_scan_kernels();
    const window_lines reader{kernels, image, a[0]};

    // Rows: each chunk of a row's pixels classified for both sides.
    uint8_t copy[3 * chunk_pixels], inside[chunk_pixels], more[chunk_pixels];
    for (int32_t k = 0; k < rows && !(done[0] && done[1]); ++k) {
        const int64_t y = edges::scan_line(static_cast<uint32_t>(k), h);
        const auto yi = static_cast<int32_t>(y);
        bool in_run[2] = {false, false};
        for (int64_t x0 = 0; x0 < width; x0 += chunk_pixels) {
            const int64_t n = width - x0 < chunk_pixels ? width - x0 : chunk_pixels;
            const uint8_t *px = reader.row_pixels(y, x0, n, copy);
            for (int side = 0; side < 2; ++side) {
                if (done[side]) continue;
                sides.classify(side, px, n, inside, more);
                edges::point_sink &sink = *sinks[side];
                auto put = [&](int64_t x) { return sink.put(static_cast<int32_t>(x), yi); };
                if (!edges::emit_changes(inside, n, x0, in_run[side], put)) done[side] = true;
            }
        }
        for (int side = 0; side < 2; ++side)
            if (!done[side] && in_run[side] && !sinks[side]->put(static_cast<int32_t>(width - 1), yi))
                done[side] = true;
    }

    if (every > 1) {
        // Columns read every `every`-th row (and the last), a group of them
        // row after row, each change between two samples located by
        // bisection along its column: a column's pixels lie a row apart, so
        // every sample is a read of its own.
        thread_local std::vector<uint8_t> column_bytes;
        const edges::sampled_line along{image.row(0), image.strides[0], height, every};
        const int64_t m = along.samples();
        const int group = edges::max_column_group < 64 ? edges::max_column_group : 64;
        if (static_cast<int64_t>(column_bytes.size()) < 6 * m * group + 1)
            column_bytes.resize(static_cast<size_t>(6 * m * group + 1));
        uint8_t *const gathered = column_bytes.data();
        uint8_t *const flags[2] = {gathered + 3 * m * group + 1, gathered + 4 * m * group + 1};
        uint8_t *const spare = gathered + 5 * m * group + 1;
        int64_t xs[edges::max_column_group], sorted[edges::max_column_group];
        int slot[edges::max_column_group];
        for (int32_t k0 = 0; k0 < columns && !(done[0] && done[1]); k0 += group) {
            const int count = columns - k0 < group ? columns - k0 : group;
            column_group(k0, count, w, xs, sorted, slot);
            // Column after column in the scratch (sample i of column j at
            // j * m + i), so that each column's flags lie together.
            const column_reads reads(sorted, count, width, image.strides[1]);
            // At every second row the rows between the samples are asked
            // for too: the band then comes in whole, as the processor's own
            // prefetching follows (it does not follow every other row of a
            // frame out of the caches), and the bisections read there.
            for (int64_t i = 0; i < m; ++i) {
                if (i + column_reads::prefetch_rows < m) {
                    const int64_t y = along.index(i + column_reads::prefetch_rows);
                    reads.prefetch(image.row(y));
                    if (every == 2 && y + 1 < height) reads.prefetch(image.row(y + 1));
                }
                reads.copy(image.row(along.index(i)), 0, count, gathered + 3 * i, 3 * m, i + 1 < m);
            }
            // Both sides classified, and (beyond every second row, whose
            // rows between were asked for above) the pixels their
            // bisections read first asked for, before any is bisected.
            for (int side = 0; side < 2; ++side) {
                if (done[side]) continue;
                sides.classify(side, gathered, m * count, flags[side], spare);
                for (int j = 0; every > 2 && j < count; ++j)
                    edges::sampled_line{image.at(0, xs[j]), image.strides[0], height, every}.prefetch_changes(
                        flags[side] + slot[j] * m);
            }
            for (int side = 0; side < 2; ++side) {
                if (done[side]) continue;
                edges::point_sink &sink = *sinks[side];
                const int ws = sides.counts[side];
                const lch_bounds *wins = sides.windows[side];
                auto member = [ws, wins](const uint8_t *q) {
                    for (int k = 0; k < ws; ++k)
                        if (window_inside(wins[k], q[0], q[1], q[2])) return true;
                    return false;
                };
                for (int j = 0; j < count && !done[side]; ++j) {
                    const auto x = static_cast<int32_t>(xs[j]);
                    const edges::sampled_line col{image.at(0, xs[j]), image.strides[0], height, every};
                    auto put = [&](int64_t y) { return sink.put(x, static_cast<int32_t>(y)); };
                    if (!col.emit(flags[side] + slot[j] * m, member, put)) done[side] = true;
                }
            }
        }
        out.a = sink_a.count();
        out.b = sink_b.count();
        return out;
    }

    // Columns in groups of whole columns that fit half the scratch each, the
    // group's pixels gathered once, row after row, in blocks, and classified
    // for both sides; the points in the order of the single scan.
    const int64_t words = words_of(height);
    const int64_t half = edges::column_scratch_words / 2;
    const int group = static_cast<int>(half / words < edges::max_column_group ? half / words : edges::max_column_group);
    if (group < 1) {
        // Columns too tall for the scratch: each side's columns by its own scan.
        for (int side = 0; side < 2; ++side)
            if (!done[side]) {
                const lch_bounds *ws = sides.windows[side];
                const int c = sides.counts[side];
                window_lines parts[max_union_windows] = {
                    {kernels, image, ws[0]}, {kernels, image, ws[c > 1 ? 1 : 0]},
                    {kernels, image, ws[c > 2 ? 2 : 0]}, {kernels, image, ws[c > 3 ? 3 : 0]}};
                union_lines lines{parts, c};
                edges::scan_lines(lines, height, width, 0, columns, *sinks[side]);
            }
        out.a = sink_a.count();
        out.b = sink_b.count();
        return out;
    }
    uint32_t *const bits_of[2] = {edges::column_scratch(), edges::column_scratch() + half};
    uint8_t *const gathered = edges::pixel_scratch();
    uint8_t *const flags = gathered + 3 * edges::pixel_block + edges::pixel_slack;
    thread_local std::vector<uint8_t> spare_bytes;
    if (spare_bytes.size() < static_cast<size_t>(edges::pixel_block + edges::pixel_slack))
        spare_bytes.resize(static_cast<size_t>(edges::pixel_block + edges::pixel_slack));
    uint8_t *const spare = spare_bytes.data();
    const int64_t step = image.strides[1];
    int64_t xs[edges::max_column_group], sorted[edges::max_column_group];
    int slot[edges::max_column_group];
    for (int32_t k0 = 0; k0 < columns && !(done[0] && done[1]); k0 += group) {
        const int count = columns - k0 < group ? columns - k0 : group;
        column_group(k0, count, w, xs, sorted, slot);
        const column_reads reads(sorted, count, width, step);
        // At most 256 columns at a time, in blocks of 32 rows (the last
        // block shorter) or more.
        for (int j0 = 0; j0 < count; j0 += 256) {
            const int n = count - j0 < 256 ? count - j0 : 256;
            const int64_t block_rows = edges::pixel_block / n / 32 * 32;
            for (int64_t b0 = 0; b0 < height; b0 += block_rows) {
                const int64_t m = height - b0 < block_rows ? height - b0 : block_rows;
                uint8_t *c = gathered;
                for (int64_t y = 0; y < m; ++y) {
                    if (b0 + y + column_reads::prefetch_rows < height)
                        reads.prefetch(image.row(b0 + y + column_reads::prefetch_rows));
                    reads.copy(image.row(b0 + y), j0, j0 + n, c, 3);
                    c += 3 * n;
                }
                for (int side = 0; side < 2; ++side) {
                    if (done[side]) continue;
                    sides.classify(side, gathered, m * n, flags, spare);
                    for (int64_t r0 = 0; r0 < m; r0 += 32)
                        edges::pack_row_bits(flags + r0 * n, n, m - r0 < 32 ? static_cast<int>(m - r0) : 32, n,
                                             bits_of[side] + (b0 + r0) / 32 * count + j0);
                }
            }
        }
        for (int side = 0; side < 2; ++side) {
            edges::point_sink &sink = *sinks[side];
            for (int j = 0; j < count && !done[side]; ++j) {
                const auto x = static_cast<int32_t>(xs[j]);
                auto put = [&](int64_t y) { return sink.put(x, static_cast<int32_t>(y)); };
                bool in_run = false;
                if (!edges::emit_bit_changes(bits_of[side] + slot[j], count, height, 0, in_run, put) ||
                    (in_run && !put(height - 1)))
                    done[side] = true;
            }
        }
    }
    out.a = sink_a.count();
    out.b = sink_b.count();
    return out;
}

fault check_simple_edge_hsv(const image_view &image, const points_view &ps) {
    if (!image.empty() && image.shape[2] != 3)
        return fault::value("image must have 3 channels (last axis of extent 3)");
    return edges::check_point_output(ps);
}

int32_t simple_edge_hsv(const image_view &image, const points_view &ps, const lch_bounds &bounds,
                        int32_t row_count, int32_t column_count) {
    return simple_edge_hsv(edges::best_scan_kernels(), image, ps, bounds, row_count, column_count);
}

int32_t simple_edge_hsv(const edges::scan_kernels &kernels, const image_view &image, const points_view &ps,
                        const lch_bounds &bounds, int32_t row_count, int32_t column_count) {
    if (image.empty()) return 0;
    edges::point_sink sink(ps);
    window_lines lines{kernels, image, bounds};
    return edges::scan_lines(lines, image.shape[0], image.shape[1], row_count, column_count, sink);
}

}  // namespace orbisect
