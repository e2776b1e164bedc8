#include "edges/simple_edge.hpp"

#include "edges/scan.hpp"

namespace orbisect {
namespace {

// Mask lines: a pixel is set when its byte is non-zero.  Rows are read as
// contiguous bytes; columns step by the row stride.
struct mask_lines {
    const mask_view &mask;

    bool row(int64_t y, edges::point_sink &sink) {
        const int64_t width = mask.shape[1];
        bool in_run = false;
        if (!edges::emit_row_runs(mask.row(y), width, 0, static_cast<int32_t>(y), in_run, sink))
            return false;
        return !in_run || sink.put(static_cast<int32_t>(width - 1), static_cast<int32_t>(y));
    }

    bool column(int64_t x, edges::point_sink &sink) {
        const int64_t height = mask.shape[0];
        const auto xi = static_cast<int32_t>(x);
        const uint8_t *p = mask.at(0, x);
        const int64_t stride = mask.strides[0];
        bool in_run = false;
        for (int64_t y = 0; y < height; ++y, p += stride) {
            if ((*p != 0) != in_run) {
                if (!sink.put(xi, static_cast<int32_t>(y))) return false;
                in_run = !in_run;
            }
        }
        return !in_run || sink.put(xi, static_cast<int32_t>(height - 1));
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
