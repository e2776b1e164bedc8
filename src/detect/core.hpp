// The detection core: one object per detector holding its settings (converted
// once) and its scratch, and the per-frame work on a frame view.  A core may
// be used by one thread at a time; any number of cores run in parallel (they
// share nothing but the kernels' per-thread scratch).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "colour/lch_bounds.hpp"
#include "core/array_view.hpp"
#include "core/fault.hpp"
#include "detect/ball.hpp"
#include "detect/lines.hpp"

namespace orbisect::detect {

// The most lines and columns a pass reads, and the longest stretch of a scan
// line whose runs are kept (the scan stops at its point capacity).
constexpr int32_t max_scan_lines = 65536;
constexpr int64_t max_points_per_line = 2048;
// Most points one scan of a frame writes (2 MiB of them).
constexpr int64_t max_scan_points = int64_t{1} << 18;

struct core_settings {
    lch_bounds field[2] = {};   // the field's window, for RGB and BGR frames
    lch_bounds shade[2] = {};   // the field in deep shadow, when shaded: its runs are the union
    bool shaded = false;
    paint_colour paint[2] = {};
    // The paint as a deep shadow leaves it (see field_gaps), when given.
    paint_colour shaded_paint[2] = {};
    bool paint_in_shade = false;
    int32_t rows = 48, columns = 64;
    line_settings lines;
    lch_bounds ball_window[2] = {};  // the ball's, for RGB and BGR frames
    ball_settings ball;
    bool seeded = false;        // seed given: draws from seed and the frame
    uint64_t seed = 0;
};

// Refuses settings the core cannot run with, naming the setting.
fault check_settings(const core_settings &s);

struct frame_lines {
    std::vector<found_line> lines;
    uint64_t key = 0;            // the frame's key (seed and scan points)
    double scan_seconds = 0.0, line_seconds = 0.0;
};

// What a frame holds: its balls (best first) and lines, and with
// diagnostics every ball candidate scored and the ball-coloured runs.
struct frame_detection {
    std::vector<found_ball> balls;
    std::vector<found_line> lines;
    std::vector<ball_note> notes;
    std::vector<int32_t> ball_runs;  // x, y of each run start and end
    uint64_t key = 0;
    double scan_seconds = 0.0, ball_seconds = 0.0, line_seconds = 0.0;
};

class detection_core {
  public:
    explicit detection_core(const core_settings &s) : s_(s) {}

    // The lines of a frame (H x W x 3, channels adjacent: strides[2] == 1;
    // bgr selects the settings' BGR windows).  The frame is only read.
    // Throws std::bad_alloc when scratch cannot be had.
    void find_lines(const image_view &frame, bool bgr, frame_lines &out);

    // The balls and the lines of a frame: the field's and the ball's scans
    // of the same rows and columns, the lines as find_lines gives them, and
    // the ball search, its draws seeded from the frame's key and the ball's
    // runs.
    void detect(const image_view &frame, bool bgr, bool diagnostics, frame_detection &out);

    const core_settings &settings() const { return s_; }

    // Frames of more bytes than this are scanned for the field and the ball
    // in one pass (simple_edge_pair); smaller ones, which stay in the caches
    // from one pass to the next, in two.  Either gives the same points.  On
    // frames fresh from memory one pass took 1.10x the time of two at
    // 320x240, 0.84x at 640x480, 0.67x at 1280x720, 0.56x at 1920x1080.
    static constexpr int64_t paired_scan_bytes = int64_t{1} << 19;
    bool paired_scan(const image_view &frame) const;
    // The columns of frames of 480 rows and more are scanned every
    // (height / 240)-th row, each change located exactly by bisection: the
    // reads of a column (each a cache line of its own) stay as many as at
    // 240 rows, and only runs and gaps shorter than the step may be missed.
    // With the samples of a column kept together and their flags read eight
    // at a time, this took 0.83x the time of reading every row at 1280x720,
    // and 0.61x the time of gathering the flags sample by sample at
    // 1920x1080.  Sampling 640x480 frames every 2nd row took about a tenth
    // off their time in back-to-back runs, and the growth to 3840x2160 fell
    // from about 3.2x to 2.6x; the quality on the tuning seeds held.
    static int64_t scan_step(int64_t height);

  private:
    int64_t scan_capacity(int64_t height, int64_t width) const;
    static points_view buffer(std::unique_ptr<int32_t[]> &points, int64_t &capacity, int64_t need);
    // The field's scan points (and with_ball the ball's) of a frame.
    void scan(const image_view &frame, bool bgr, bool with_ball, points_view &field, points_view &ball);
    // The lines from the field's scan points (denoised here, in place).
    void lines_of(const image_view &frame, bool bgr, points_view field, frame_lines &out);

    core_settings s_;
    uint64_t frames_ = 0;       // frames seen: the key without a seed
    std::unique_ptr<int32_t[]> points_;  // uninitialised: only what the scan writes is read
    int64_t capacity_ = 0;               // points
    std::vector<gap> gaps_;
    line_scratch scratch_;
    int64_t positions_height_ = -1, positions_width_ = -1;
    std::vector<double> rows_, columns_;
    std::unique_ptr<int32_t[]> ball_points_;
    int64_t ball_capacity_ = 0;
    ball_scratch ball_scratch_;
    frame_lines lines_;
};

}  // namespace orbisect::detect
