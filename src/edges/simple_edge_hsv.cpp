#include "edges/simple_edge_hsv.hpp"

#include <cstring>

#include "colour/window.hpp"
#include "edges/scan.hpp"

namespace orbisect {
namespace {

constexpr int64_t chunk_pixels = 1024;

// Colour lines: a pixel is set when it lies inside the window.  Pixels are
// classified a chunk at a time by the mask kernel's row loop.
struct window_lines {
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

    void columns(const int64_t *xs, int count, int64_t y0, int64_t rows, uint8_t *out) const {
        // A block of rows small enough to stay in the first-level cache is
        // gathered column by column into packed triples (column j's n pixels
        // at 3*n*j), classified in one call, and each column's piece copied
        // to `out`.  In packed rows a pixel that is not the row's last is
        // moved as 4 bytes, its own 3 and the next pixel's first (inside the
        // same row, wherever the row lies in memory), which the next row's
        // store overwrites; the block's last row moves 3 bytes so that
        // nothing spills into the next column.  xs ascend, so the columns
        // that hold the row's last pixel come last: there are several of
        // them when a pass chooses more columns than the image has.
        uint8_t *const copy = edges::pixel_scratch();
        uint8_t *const inside = copy + 3 * edges::pixel_block;
        const int64_t block = edges::pixel_block / count;
        const bool packed = image.strides[1] == 3;
        int wide = 0;
        if (packed)
            while (wide < count && xs[wide] < image.shape[1] - 1) ++wide;
        int64_t offset[edges::max_column_group];
        for (int j = 0; j < count; ++j) offset[j] = xs[j] * image.strides[1];
        for (int64_t b0 = 0; b0 < rows; b0 += block) {
            const int64_t n = rows - b0 < block ? rows - b0 : block;
            for (int64_t y = 0; y < n; ++y) {
                const uint8_t *p = image.row(y0 + b0 + y);
                uint8_t *c = copy + 3 * y;
                int j = 0;
                if (y + 1 < n)
                    for (; j < wide; ++j, c += 3 * n) std::memcpy(c, p + offset[j], 4);
                for (; j < count; ++j, c += 3 * n) std::memcpy(c, p + offset[j], 3);
            }
            classify_pixels(copy, n * count, bounds, inside);
            for (int j = 0; j < count; ++j) std::memcpy(out + j * rows + b0, inside + j * n, n);
        }
    }
};

}  // namespace

fault check_simple_edge_hsv(const image_view &image, const points_view &ps) {
    if (!image.empty() && image.shape[2] != 3)
        return fault::value("image must have 3 channels (last axis of extent 3)");
    return edges::check_point_output(ps);
}

int32_t simple_edge_hsv(const image_view &image, const points_view &ps, const lch_bounds &bounds,
                        int32_t row_count, int32_t column_count) {
    if (image.empty()) return 0;
    edges::point_sink sink(ps);
    window_lines lines{image, bounds};
    return edges::scan_lines(lines, image.shape[0], image.shape[1], row_count, column_count, sink);
}

}  // namespace orbisect
