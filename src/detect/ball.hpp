// The ball: circles fitted to the borders of the ball-coloured runs of a
// frame's scan, checked on a dense scan around each, moved onto the image's
// border (detect/borders.hpp) and tested as balls: of the ball's saturation
// inside, round, with no ball colour on a ring around them.
//
// A run from xs to xe has its borders half a pixel before each end; doubled,
// they are integers again (2 xs - 1, 2 xe - 1), which is how the circle fit
// takes them.  Runs that touch the frame's edge give no border there.
//
// Candidates come first from the circle fit over the coarse border points
// (each refined on them, and settled at once when they show it clearly),
// then, unless the balls found are clearly good, from pairs of chords of the
// coarse runs, which propose a small ball that larger blobs outvote.
//
// Work per frame is bounded whatever the frame shows: the fit sees at most
// max_borders border points; the chords pair at most max_chords row runs and
// as many column runs and vote among at most max_proposals proposals; a
// candidate's dense scan reads at most max_dense_lines rows and as many
// columns of the square around it, and of each line at most 257 samples and
// 256 changes located by bisection (a bounded number of pixels whatever the
// radius); at most candidates * max_balls fitted
// circles (twice as many when some are refused as pale or oval) and
// 4 * max_balls chord circles are checked.
#pragma once

#include <cstdint>
#include <vector>

#include "colour/lch_bounds.hpp"
#include "core/array_view.hpp"
#include "detect/borders.hpp"
#include "detect/circle_fit.hpp"
#include "detect/random.hpp"

namespace orbisect::detect {

constexpr int32_t max_borders = 2047;   // odd: the sampler keeps mixing
constexpr int32_t max_chords = 128;
constexpr int32_t max_proposals = 256;
constexpr int32_t max_dense_lines = 64;
constexpr int32_t max_ball_count = 16;

// The ball search's settings, its sizes worked out for the frame.
struct ball_settings {
    double min_r = 4.8, max_r = 160.0;
    int32_t iterations = 200;
    double tolerance = 1.5;
    double min_support = 0.65;
    int32_t candidates = 4;
    int32_t min_run = 3;
    double min_saturation = 0.7;
    double max_ellipticity = 0.15;
    double cut_support = 0.35;
    bool refine = true;
    int32_t max_balls = 1;
};

struct found_ball {
    double x = 0, y = 0, r = 0, support = 0;
};

// What became of a candidate that was scored.
enum class verdict : int32_t { ball, weak, weaker, pale, oval, outside_range, cut };

struct ball_note {
    found_ball ball;
    verdict what;
};

// Whether two balls are one: their centres nearer than the larger radius.
bool overlaps(const found_ball &a, const found_ball &b);

// Doubled borders (x, y pairs) of n run points (start / end pairs as the
// scan writes them) of a width x height frame: the starts' borders, then the
// ends', those on the frame's edge left out.
void run_borders(const points_view &runs, int32_t n, int64_t width, int64_t height,
                 std::vector<int32_t> &out);

struct chord_circle {
    double x, y, r;
    int32_t votes;
};
// Circles proposed by pairs of chords of the runs, the most voted first, at
// most count of them, none within 3 px (centre and radius) of a better one:
// a row run and a column run that cross each other whose radii agree within
// `agree`, and two parallel runs whose middles agree.
void chord_candidates(const points_view &runs, int32_t n, int64_t width, int64_t height, double min_r,
                      double max_r, double agree, int32_t count, std::vector<chord_circle> &out);

// Scratch of the ball search, kept from frame to frame.
struct ball_scratch {
    std::vector<int32_t> borders, mixed, order, dense_points, dense_borders, idx, probes, with_probes;
    std::vector<uint8_t> pixels, inside;  // one dense line's samples
    std::vector<uint8_t> mask;           // a dense square's pixels, classified
    std::vector<double> xs, ys, dx, dy, rows, columns, cross_x, cross_y;
    std::vector<chord_circle> chords;
    border_scratch borders_fit;
};

// The balls of a frame, best first, from its ball-coloured runs (n points,
// denoised) and the positions of the scanned rows and columns; `window` is
// the ball's in the frame's channel order.  With notes, every candidate
// scored is noted.
void find_balls(const points_view &runs, int32_t n, const image_view &frame, const lch_bounds &window,
                bool bgr, const std::vector<double> &rows, const std::vector<double> &columns,
                const ball_settings &s, core_random &rng, ball_scratch &scratch,
                std::vector<found_ball> &out, std::vector<ball_note> *notes);

}  // namespace orbisect::detect
