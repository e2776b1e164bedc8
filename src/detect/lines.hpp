// The painted lines of a field: centre-line points from the gaps between runs
// of the field colour, lines peeled off them with the line fit, refined by
// total least squares, cut to their longest stretch, followed along the paint
// to their ends, scored and joined.
//
// Work per frame is bounded: at most max_lines + 3 line fits of `iterations`
// candidates each over at most max_gaps gap points, at
// most 4 * reach paint pixels read per line found while following it (reach:
// the widest stretch the scan leaves unread, plus 2), and for the border
// refinement two rounds of at most max_profiles profiles of at most
// max_profile_samples samples (4 pixels each) per line.
#pragma once

#include <cstdint>
#include <vector>

#include "colour/lch_bounds.hpp"
#include "core/array_view.hpp"
#include "detect/random.hpp"

namespace orbisect::detect {

constexpr int max_paint_windows = 8;
// Most gap points one frame's search fits: a prefix of the mixed gaps, a
// sample spread over the frame (odd, so that the sampler keeps mixing).
constexpr int32_t max_gaps = 2047;
// Most lines a search reports.
constexpr int32_t max_line_count = 64;

// The paint's colour: inside any of the windows, or an exact grey strictly
// between grey_lo and grey_hi (no window holds a grey).
struct paint_colour {
    lch_bounds windows[max_paint_windows] = {};
    int count = 0;
    int32_t grey_lo = 0, grey_hi = 256;

    bool operator()(const uint8_t *pixel) const;
};

struct line_settings {
    int32_t iterations = 120;
    double tolerance = 1.5;
    double min_width = 2.0, max_width = 60.0;
    int32_t min_run = 3;
    int32_t min_points = 5;
    double min_support = 0.6;
    int32_t max_lines = 8;
    bool refine = true;         // the border refinement (refine_across)
};

// A gap between two field runs on one scan line whose middle is paint.
struct gap {
    int32_t x2 = 0, y2 = 0;   // the gap's middle, doubled
    double length = 0.0;      // along its scan line, px
    bool along_row = false;
};

struct found_line {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0, width = 0, support = 0;
    double length() const;
};

// Positions of the distinct lines among the first `count` of a bit-reversed
// pass over `lines` lines, ascending.
std::vector<double> scan_positions(int64_t lines, int32_t count);

// The gaps of a frame's field runs (start / end pairs as the scan writes
// them, n points) whose length lies in [min_width, max_width] and whose
// middle pixel is paint; appended to `out`.  With shaded paint (the paint's
// colour as a deep shadow leaves it: darker, bluer) a gap also counts when
// its middle is shaded paint, the field on both sides is in deep shadow
// (R + G + B at most shade_field_sum, shade_field_offset pixels from the
// gap or at the run's far end) and the middle is at least shade_contrast2 / 2
// times as bright as the brighter side: a dim grey on sunlit grass (a leg,
// a bag) is never paint.
constexpr int32_t shade_field_sum = 230;  // intensity 0.3
constexpr int32_t shade_field_offset = 3;
constexpr int32_t shade_contrast2 = 3;    // 1.5 times
void field_gaps(const points_view &runs, int32_t n, const image_view &frame, const paint_colour &paint,
                const paint_colour *shaded_paint, const line_settings &s, std::vector<gap> &out);

// Stripes narrower than the blur leave no gap: their pixels blend with the
// grass and stay in the field's window.  thin_stripes takes the ridges of
// R + G + B inside the field runs as one- or two-pixel gaps: a local
// maximum at least thin_contrast above the pixels thin_reach away on both
// sides, and less coloured (a smaller spread of the channels) than both, as
// a blend of white paint and grass is.  The field detector runs it when the
// line search's min_width is below thin_width.  Work: one read of each pixel
// of the runs on the scanned lines.
constexpr int32_t thin_contrast = 45;
constexpr int32_t thin_reach = 3;
constexpr double thin_width = 2.0;
void thin_stripes(const points_view &runs, int32_t n, const image_view &frame, std::vector<gap> &out);

// Total least squares line through points: centroid, unit direction, and
// each point's position along it.
struct line_fit {
    double px = 0, py = 0, ux = 1, uy = 0;
};
line_fit fit_segment(const double *xs, const double *ys, const int32_t *index, int n,
                     double *t_out);

// Scanned lines at positions `at` (ascending) between a and b (either order).
int32_t crossings(const std::vector<double> &at, double a, double b);

// The span [lo, hi] of t for which p + t u lies in the frame (-0.5 .. size - 0.5).
void clip_to_frame(double px, double py, double ux, double uy, int64_t width, int64_t height,
                   double &lo, double &hi);

// Where the paint ends following p + t u from t towards t_limit in 1 px
// steps, at most `reach` steps: half a pixel before the first step that is
// not paint, t_limit when the frame's edge comes first, or the last step.
double paint_end(const image_view &frame, const paint_colour &paint, double px, double py, double ux,
                 double uy, double t, double t_limit, int32_t reach);

// The border refinement: the stripe's centre line and width from the
// pixels across its paint.  Up to max_profiles profiles across the line
// between t_lo and t_hi, sampled every half pixel (bilinear, intensity
// R + G + B) out to the gap width's half plus a margin; on each, the field's
// level from the profile's ends, the paint's from its middle, the width as
// the paint's area over its level and the centre as its centroid, both
// unbiased by a symmetric blur.  The line moves to the profiles' centres
// (offset and angle fitted by least squares) and takes their median width,
// when enough profiles agree; otherwise it stays as it is (false).
constexpr int max_profiles = 16;
struct refined_line {
    double px, py, ux, uy, t_lo, t_hi, width;
};
bool refine_across(const image_view &frame, refined_line &line);

// One line for two pieces of one stripe, or false when they are not collinear.
bool join_two(const found_line &a, const found_line &b, double tolerance, found_line &out);
// Joins the collinear pieces of a list (longest first).
std::vector<found_line> join_pieces(std::vector<found_line> lines, double tolerance);

// Scratch of the line search, kept from frame to frame.
struct line_scratch {
    std::vector<gap> gaps, mixed;
    std::vector<int32_t> turned, index, cand, seg, order;
    std::vector<uint8_t> flags, alive;
    std::vector<double> xs, ys, t, ts, w;
};

// The whole line stage on a frame's gaps; at most s.max_lines lines.
void find_lines(const std::vector<gap> &gaps, const image_view &frame, const paint_colour &paint,
                const std::vector<double> &rows, const std::vector<double> &columns,
                const line_settings &s, core_random &rng, line_scratch &scratch,
                std::vector<found_line> &out);

}  // namespace orbisect::detect
