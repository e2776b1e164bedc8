#include "detect/core.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "edges/simple_denoise.hpp"
#include "edges/simple_edge_hsv.hpp"

namespace orbisect::detect {
namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

fault check_settings(const core_settings &s) {
    if (s.rows < 1 || s.rows > max_scan_lines) return fault::value("rows must be from 1 to 65536");
    if (s.columns < 1 || s.columns > max_scan_lines) return fault::value("columns must be from 1 to 65536");
    for (const paint_colour &p : s.paint)
        if (p.count < 1 || p.count > max_paint_windows)
            return fault::value("line_windows must hold from 1 to 8 windows");
    const line_settings &l = s.lines;
    if (l.iterations < 0) return fault::value("line_search.iterations must not be negative");
    if (!std::isfinite(l.tolerance) || l.tolerance <= 0.0)
        return fault::value("line_search.tolerance must be a positive number");
    if (!std::isfinite(l.min_width) || !std::isfinite(l.max_width) || l.min_width > l.max_width)
        return fault::value("line_search.min_width and max_width must be numbers, min_width <= max_width");
    if (l.min_run < 0) return fault::value("line_search.min_run must not be negative");
    if (l.min_points < 2) return fault::value("line_search.min_points must be at least 2");
    if (!std::isfinite(l.min_support)) return fault::value("line_search.min_support must be a number");
    if (l.max_lines < 0 || l.max_lines > max_line_count)
        return fault::value("line_search.max_lines must be from 0 to 64");
    if (l.iterations > 10000) return fault::value("line_search.iterations must be at most 10000");
    return {};
}

void detection_core::find_lines(const image_view &frame, bool bgr, frame_lines &out) {
    const auto t0 = std::chrono::steady_clock::now();
    out.lines.clear();
    const int64_t height = frame.shape[0], width = frame.shape[1];
    // Room for a run on every other pixel of every scanned line (up to
    // max_points_per_line pixels of it): the scan stops when the points are
    // full, so this only bounds noisy frames.
    const int64_t need = std::min(2 * (s_.rows * std::min(width, max_points_per_line) +
                                       s_.columns * std::min(height, max_points_per_line)) / 4 + 64,
                                  max_scan_points);
    if (capacity_ < need) {
        points_.reset();
        capacity_ = 0;
        points_.reset(new int32_t[static_cast<size_t>(2 * need)]);
        capacity_ = need;
    }
    points_view ps;
    ps.data = points_.get();
    ps.shape[0] = need;
    ps.shape[1] = 2;
    ps.strides[0] = 8;
    ps.strides[1] = 4;
    const lch_bounds &field = s_.field[bgr ? 1 : 0];
    int32_t n = simple_edge_hsv(frame, ps, field, s_.rows, s_.columns);
    out.key = s_.seeded ? frame_key(s_.seed, ps, n) : mix64(++frames_ ^ 0xBB67AE8584CAA73Bull);
    ps.shape[0] = n;  // the scan's points only
    if (s_.lines.min_run > 1 && n >= 4) n = simple_denoise(ps, ps, s_.lines.min_run);
    ps.shape[0] = n;
    out.scan_seconds = seconds_since(t0);

    const auto t1 = std::chrono::steady_clock::now();
    if (height != positions_height_ || width != positions_width_) {
        rows_ = scan_positions(height, s_.rows);
        columns_ = scan_positions(width, s_.columns);
        positions_height_ = height;
        positions_width_ = width;
    }
    const paint_colour &paint = s_.paint[bgr ? 1 : 0];
    gaps_.clear();
    field_gaps(ps, n, frame, paint, s_.lines, gaps_);
    core_random rng(out.key);
    detect::find_lines(gaps_, frame, paint, rows_, columns_, s_.lines, rng, scratch_, out.lines);
    out.line_seconds = seconds_since(t1);
}

}  // namespace orbisect::detect
