#include "edges/simple_edge.hpp"

#include "edges/scan.hpp"

namespace orbisect {
namespace {

// Mask lines: a pixel is set when its byte is non-zero.  Rows are read in
// place; columns are gathered a group at a time.
struct mask_lines {
    const edges::scan_kernels &kernels;
    const mask_view &mask;

    bool row(int64_t y, edges::point_sink &sink) {
        const int64_t width = mask.shape[1];
        const auto yi = static_cast<int32_t>(y);
        auto put = [&](int64_t x) { return sink.put(static_cast<int32_t>(x), yi); };
        bool in_run = false;
        if (!edges::emit_changes(mask.row(y), width, 0, in_run, put)) return false;
        return !in_run || put(width - 1);
    }

    void columns(const int64_t *xs, int count, int64_t y0, int64_t rows, uint32_t *bits) const {
        // Straight from the mask by the level's loop when it has one;
        // otherwise the bytes are gathered row after row a block at a time
        // and packed into the columns' words every 32 rows.
        alignas(64) int32_t offset[edges::max_column_group];
        uint8_t first[edges::max_column_group];
        const int64_t step = mask.strides[1];
        if (edges::column_windows(xs, count, mask.shape[1], step, 1, offset, first) &&
            kernels.mask_columns(
                edges::column_block{mask.row(y0), mask.strides[0], rows, offset, first, count, bits}))
            return;

        int64_t at[edges::max_column_group];
        for (int j = 0; j < count; ++j) at[j] = xs[j] * step;
        uint8_t *const bytes = edges::pixel_scratch();
        for (int j0 = 0; j0 < count; j0 += 256) {
            const int n = count - j0 < 256 ? count - j0 : 256;
            for (int64_t r0 = 0; r0 < rows; r0 += 32) {
                const int m = rows - r0 < 32 ? static_cast<int>(rows - r0) : 32;
                for (int y = 0; y < m; ++y) {
                    const uint8_t *row = mask.row(y0 + r0 + y);
                    uint8_t *b = bytes + y * n;
                    const int64_t *a = at + j0;
                    int j = 0;
                    for (; j + 4 <= n; j += 4) {
                        b[j] = row[a[j]], b[j + 1] = row[a[j + 1]];
                        b[j + 2] = row[a[j + 2]], b[j + 3] = row[a[j + 3]];
                    }
                    for (; j < n; ++j) b[j] = row[a[j]];
                }
                edges::pack_row_bits(bytes, n, m, n, bits + r0 / 32 * count + j0);
            }
        }
    }
};

}  // namespace

fault check_simple_edge(const mask_view &, const points_view &ps) {
    return edges::check_point_output(ps);
}

int32_t simple_edge(const mask_view &image, const points_view &ps, int32_t row_count,
                    int32_t column_count) {
    return simple_edge(edges::best_scan_kernels(), image, ps, row_count, column_count);
}

int32_t simple_edge(const edges::scan_kernels &kernels, const mask_view &image, const points_view &ps,
                    int32_t row_count, int32_t column_count) {
    if (image.empty()) return 0;
    edges::point_sink sink(ps);
    mask_lines lines{kernels, image};
    return edges::scan_lines(lines, image.shape[0], image.shape[1], row_count, column_count, sink);
}

}  // namespace orbisect
