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
    if (s.paint_in_shade)
        for (const paint_colour &p : s.shaded_paint)
            if (p.count < 1 || p.count > max_paint_windows)
                return fault::value("shaded paint must hold from 1 to 8 windows");
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
    const ball_settings &b = s.ball;
    if (!(b.min_r > 0.0 && b.min_r <= b.max_r && b.max_r <= 65536.0))
        return fault::value("ball_search: 0 < min_r <= max_r <= 65536 must hold");
    if (b.iterations < 0 || b.iterations > 10000) return fault::value("ball_search.iterations must be from 0 to 10000");
    if (!(b.tolerance > 0.0 && b.tolerance <= 64.0)) return fault::value("ball_search.tolerance must be in (0, 64]");
    if (!(b.min_support >= 0.0 && b.min_support <= 1.0)) return fault::value("ball_search.min_support must be from 0 to 1");
    if (b.candidates < 0 || b.candidates > 16) return fault::value("ball_search.candidates must be from 0 to 16");
    if (b.min_run < 0 || b.min_run > 65536) return fault::value("ball_search.min_run must be from 0 to 65536");
    if (!(b.min_saturation >= 0.0 && b.min_saturation <= 1.0))
        return fault::value("ball_search.min_saturation must be from 0 to 1");
    if (!(b.max_ellipticity >= 0.0 && b.max_ellipticity <= 1.0))
        return fault::value("ball_search.max_ellipticity must be from 0 to 1");
    if (!(b.cut_support >= 0.0 && b.cut_support <= 1.0))
        return fault::value("ball_search.cut_support must be from 0 to 1");
    if (b.max_balls < 1 || b.max_balls > max_ball_count) return fault::value("max_balls must be from 1 to 16");
    return {};
}

// Room for a run on every other pixel of every scanned line (up to
// max_points_per_line pixels of it): the scan stops when the points are
// full, so this only bounds noisy frames.
int64_t detection_core::scan_capacity(int64_t height, int64_t width) const {
    return std::min(2 * (s_.rows * std::min(width, max_points_per_line) +
                         s_.columns * std::min(height, max_points_per_line)) / 4 + 64,
                    max_scan_points);
}

points_view detection_core::buffer(std::unique_ptr<int32_t[]> &points, int64_t &capacity, int64_t need) {
    if (capacity < need) {
        points.reset();
        capacity = 0;
        points.reset(new int32_t[static_cast<size_t>(2 * need)]);
        capacity = need;
    }
    return packed_point_set(points.get(), need);
}

void detection_core::scan(const image_view &frame, bool bgr, bool with_ball, points_view &field,
                          points_view &ball) {
    const int64_t need = scan_capacity(frame.shape[0], frame.shape[1]);
    field = buffer(points_, capacity_, need);
    const int order = bgr ? 1 : 0;
    const lch_bounds windows[2] = {s_.field[order], s_.shade[order]};
    const int count = s_.shaded ? 2 : 1;
    const int64_t every = scan_step(frame.shape[0]);
    if (with_ball || every > 1) {
        ball = buffer(ball_points_, ball_capacity_, need);
        if (every > 1 || paired_scan(frame)) {
            const pair_count n = simple_edge_pair(frame, field, windows, count, ball, &s_.ball_window[order], 1,
                                                  s_.rows, s_.columns, every);
            field.shape[0] = n.a;
            ball.shape[0] = n.b;
            return;
        }
        ball.shape[0] = simple_edge_hsv(frame, ball, s_.ball_window[order], s_.rows, s_.columns);
    }
    field.shape[0] = count == 2 ? simple_edge_union(frame, field, windows, 2, s_.rows, s_.columns)
                                : simple_edge_hsv(frame, field, windows[0], s_.rows, s_.columns);
}

int64_t detection_core::scan_step(int64_t height) { return height < 480 ? 1 : height / 240; }

bool detection_core::paired_scan(const image_view &frame) const {
    return frame.shape[0] * frame.shape[1] * 3 > paired_scan_bytes;
}

void detection_core::lines_of(const image_view &frame, bool bgr, points_view ps, frame_lines &out) {
    const auto t1 = std::chrono::steady_clock::now();
    out.lines.clear();
    const int64_t height = frame.shape[0], width = frame.shape[1];
    int32_t n = static_cast<int32_t>(ps.shape[0]);
    out.key = s_.seeded ? frame_key(s_.seed, ps, n) : mix64(++frames_ ^ 0xBB67AE8584CAA73Bull);
    if (s_.lines.min_run > 1 && n >= 4) n = simple_denoise(ps, ps, s_.lines.min_run);
    ps.shape[0] = n;
    if (height != positions_height_ || width != positions_width_) {
        rows_ = scan_positions(height, s_.rows);
        columns_ = scan_positions(width, s_.columns);
        positions_height_ = height;
        positions_width_ = width;
    }
    const paint_colour &paint = s_.paint[bgr ? 1 : 0];
    const paint_colour *shaded = s_.paint_in_shade ? &s_.shaded_paint[bgr ? 1 : 0] : nullptr;
    gaps_.clear();
    field_gaps(ps, n, frame, paint, shaded, s_.lines, gaps_);
    if (s_.lines.min_width < thin_width) thin_stripes(ps, n, frame, gaps_);
    core_random rng(out.key);
    // A stripe is followed through shadow as well as sun.
    detect::find_lines(gaps_, frame, shaded != nullptr ? *shaded : paint, rows_, columns_, s_.lines, rng, scratch_,
                       out.lines);
    out.line_seconds = seconds_since(t1);
}

void detection_core::find_lines(const image_view &frame, bool bgr, frame_lines &out) {
    const auto t0 = std::chrono::steady_clock::now();
    points_view field, ball;
    scan(frame, bgr, false, field, ball);
    out.scan_seconds = seconds_since(t0);
    lines_of(frame, bgr, field, out);
}

void detection_core::detect(const image_view &frame, bool bgr, bool diagnostics, frame_detection &out) {
    const auto t0 = std::chrono::steady_clock::now();
    points_view field, ps;
    scan(frame, bgr, true, field, ps);
    out.scan_seconds = seconds_since(t0);
    lines_of(frame, bgr, field, lines_);
    out.lines.swap(lines_.lines);
    out.key = lines_.key;
    out.line_seconds = lines_.line_seconds;
    out.balls.clear();
    out.notes.clear();
    out.ball_runs.clear();

    const auto t1 = std::chrono::steady_clock::now();
    int32_t n = static_cast<int32_t>(ps.shape[0]);
    core_random rng(frame_key(out.key, ps, n));
    if (s_.ball.min_run > 1 && n >= 4) n = simple_denoise(ps, ps, s_.ball.min_run);
    ps.shape[0] = n;
    const lch_bounds &window = s_.ball_window[bgr ? 1 : 0];
    find_balls(ps, n, frame, window, bgr, rows_, columns_, s_.ball, rng, ball_scratch_, out.balls,
               diagnostics ? &out.notes : nullptr);
    if (diagnostics) {
        out.ball_runs.resize(2 * static_cast<size_t>(n & ~1));
        for (int32_t i = 0; i < (n & ~1); ++i) {
            out.ball_runs[2 * static_cast<size_t>(i)] = point_x(ps, i);
            out.ball_runs[2 * static_cast<size_t>(i) + 1] = point_y(ps, i);
        }
    }
    out.ball_seconds = seconds_since(t1);
}

}  // namespace orbisect::detect
