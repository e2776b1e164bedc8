#include "edges/simple_edge.hpp"

#include "edges/scan.hpp"

namespace orbisect {
namespace {

// Mask lines: a pixel is set when its byte is non-zero.  Rows are read in
// place; columns are gathered a group at a time.
struct mask_lines {
    const mask_view &mask;

    bool row(int64_t y, edges::point_sink &sink) {
        const int64_t width = mask.shape[1];
        const auto yi = static_cast<int32_t>(y);
        auto put = [&](int64_t x) { return sink.put(static_cast<int32_t>(x), yi); };
        bool in_run = false;
        if (!edges::emit_changes(mask.row(y), width, 0, in_run, put)) return false;
        return !in_run || put(width - 1);
    }

    void columns(const int64_t *xs, int count, int64_t y0, int64_t rows, uint8_t *out) const {
        int64_t offset[edges::max_column_group];
        for (int j = 0; j < count; ++j) offset[j] = xs[j] * mask.strides[1];
        for (int64_t y = 0; y < rows; ++y) {
            const uint8_t *p = mask.row(y0 + y);
            for (int j = 0; j < count; ++j) out[j * rows + y] = p[offset[j]];
        }
    }
};

}  // namespace

fault check_simple_edge(const mask_view &, const points_view &ps) {
    return edges::check_point_output(ps);
}

int32_t simple_edge(const mask_view &image, const points_view &ps, int32_t row_count,
                    int32_t column_count) {
    if (image.empty()) return 0;
    edges::point_sink sink(ps);
    mask_lines lines{image};
    return edges::scan_lines(lines, image.shape[0], image.shape[1], row_count, column_count, sink);
}

}  // namespace orbisect
