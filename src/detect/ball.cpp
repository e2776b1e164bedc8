#include "detect/ball.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "colour/window.hpp"
#include "detect/circle_fit.hpp"
#include "detect/exact_math.hpp"
#include "detect/lines.hpp"
#include "edges/scan.hpp"
#include "edges/simple_denoise.hpp"
#include "fitting/fitting.hpp"

namespace orbisect::detect {

namespace {

double distance_from(double x, double y, double cx, double cy, double r) {
    return length2d(x - cx, y - cy) - r;
}

// Rows below `v` (lower_bound) and rows up to `v` (upper_bound) of ascending positions.
int64_t below(const std::vector<double> &at, double v) {
    return std::lower_bound(at.begin(), at.end(), v) - at.begin();
}
int64_t up_to(const std::vector<double> &at, double v) {
    return std::upper_bound(at.begin(), at.end(), v) - at.begin();
}

// Where a circle crosses the scanned rows and columns, inside the frame and
// away from its edge: appended to xs, ys (cleared first).
void crossing_points(double cx, double cy, double r, const std::vector<double> &rows,
                     const std::vector<double> &columns, int64_t width, int64_t height,
                     std::vector<double> &xs, std::vector<double> &ys) {
    xs.clear();
    ys.clear();
    const double wx = static_cast<double>(width) - 1.5, hy = static_cast<double>(height) - 1.5;
    auto keep = [&](double x, double y) {
        if (x > 0.5 && x < wx && y > 0.5 && y < hy) {
            xs.push_back(x);
            ys.push_back(y);
        }
    };
    // In the order the crossings are listed: rows' left ends, their right
    // ends, then the columns' top and bottom ends.
    for (int side = 0; side < 2; ++side)
        for (double y : rows) {
            const double h = r * r - (y - cy) * (y - cy);
            if (h > 0) keep(side ? cx + std::sqrt(h) : cx - std::sqrt(h), y);
        }
    for (int side = 0; side < 2; ++side)
        for (double x : columns) {
            const double h = r * r - (x - cx) * (x - cx);
            if (h > 0) keep(x, side ? cy + std::sqrt(h) : cy - std::sqrt(h));
        }
}

int64_t crossing_count(double cx, double cy, double r, const std::vector<double> &rows,
                       const std::vector<double> &columns, int64_t width, int64_t height,
                       ball_scratch &sc) {
    if (cx - r > 0.5 && cx + r < static_cast<double>(width) - 1.5 && cy - r > 0.5 &&
        cy + r < static_cast<double>(height) - 1.5)
        return 2 * (below(rows, cy + r) - up_to(rows, cy - r) + below(columns, cx + r) -
                    up_to(columns, cx - r));
    crossing_points(cx, cy, r, rows, columns, width, height, sc.cross_x, sc.cross_y);
    return static_cast<int64_t>(sc.cross_x.size());
}

// Whether the border point (x, y) of a circle is hidden by something dark
// and colourless in front of it: the pixel two pixels inside the border has
// chroma below 0.08 and intensity below 0.35.
bool hidden(const image_view &frame, double cx, double cy, double r, double x, double y) {
    const double k = 2.0 / std::max(r, 1.0);
    const uint8_t *p = frame.at(nearest_index(y + (cy - y) * k, frame.shape[0]),
                                nearest_index(x + (cx - x) * k, frame.shape[1]));
    return dark_and_colourless(p[0], p[1], p[2]);
}

// Directions of the ring of outside_share().
struct ring_directions {
    double c[48], s[48];
    ring_directions() {
        for (int k = 0; k < 48; ++k) sin_cos(2.0 * 3.141592653589793 * k / 48.0, s[k], c[k]);
    }
};
const ring_directions &ring() {
    static const ring_directions r;
    return r;
}

// Share of the pixels on a ring just outside the circle (48 directions, at
// 1.15 r + 2) that lie inside the window; those outside the frame left out.
double outside_share(const image_view &frame, const lch_bounds &window, double cx, double cy, double r) {
    const int64_t height = frame.shape[0], width = frame.shape[1];
    const double reach = 1.15 * r + 2.0;
    const ring_directions &d = ring();
    int n = 0, inside = 0;
    for (int k = 0; k < 48; ++k) {
        const double x = round_half_even(cx + reach * d.c[k]), y = round_half_even(cy + reach * d.s[k]);
        if (!(x >= 0.0 && x < static_cast<double>(width) && y >= 0.0 && y < static_cast<double>(height)))
            continue;
        const uint8_t *p = frame.at(static_cast<int64_t>(y), static_cast<int64_t>(x));
        ++n;
        inside += window_inside(window, p[0], p[1], p[2]) ? 1 : 0;
    }
    return n == 0 ? 0.0 : static_cast<double>(inside) / n;
}

// Share of the circle that lies in the frame (48 directions).
double visible_share(const image_view &frame, double cx, double cy, double r) {
    const double right = static_cast<double>(frame.shape[1] - 1), bottom = static_cast<double>(frame.shape[0] - 1);
    const ring_directions &d = ring();
    int n = 0;
    for (int k = 0; k < 48; ++k) {
        const double x = cx + r * d.c[k], y = cy + r * d.s[k];
        n += (x >= 0.0 && x <= right && y >= 0.0 && y <= bottom) ? 1 : 0;
    }
    return static_cast<double>(n) / 48.0;
}

double clamp_coordinate(double v) { return std::max(-1e9, std::min(1e9, v)); }

constexpr int64_t max_line_samples = 256;
constexpr int max_line_changes = 256;

// Writes the changes of a line's flags as the scan writes them; `inside`
// tests a pixel where a change between two samples is bisected.
template <class Inside>
void emit_runs(const edges::sampled_line &line, const uint8_t *flags, Inside inside, int32_t x, int32_t y,
               bool along_row, const points_view &out, int64_t &written) {
    auto put = [&](int64_t k) {
        if (written >= out.shape[0]) return false;
        write_point(out, written++, along_row ? static_cast<int32_t>(x + k) : x,
                    along_row ? y : static_cast<int32_t>(y + k));
        return true;
    };
    line.emit(flags, inside, put, max_line_changes);
}

// The same for a line whose every pixel was classified: nothing to bisect.
void flag_runs(const uint8_t *flags, const edges::sampled_line &line, int32_t x, int32_t y, bool along_row,
               const points_view &out, int64_t &written) {
    emit_runs(line, flags, [](const uint8_t *) { return false; }, x, y, along_row, out, written);
}

// Runs of the window's colour along one line of n pixels from p (pixels
// `step` bytes apart), written as the scan writes them at (x + k, y) for a
// row or (x, y + k) for a column.  Lines longer than max_line_samples are
// sampled every stride-th pixel (and at the last), each change located by
// bisection (edges::sampled_line): the pixels read per line are bounded
// whatever its length, and runs and gaps of stride pixels or more are all
// found.  At most max_line_changes changes per line.
void line_runs(const uint8_t *p, int64_t step, int64_t n, const lch_bounds &window, int32_t x, int32_t y,
               bool along_row, ball_scratch &sc, const points_view &out, int64_t &written) {
    const int64_t stride = n <= max_line_samples ? 1 : (n + max_line_samples - 1) / max_line_samples;
    const edges::sampled_line line{p, step, n, stride};
    const int64_t samples = line.samples();
    sc.pixels.resize(static_cast<size_t>(3 * samples));
    sc.inside.resize(static_cast<size_t>(samples));
    const uint8_t *packed = p;
    if (!(step == 3 && stride == 1)) {
        line.gather(sc.pixels.data());
        packed = sc.pixels.data();
    }
    classify_pixels(packed, samples, window, sc.inside.data());
    auto inside = [&](const uint8_t *q) { return window_inside(window, q[0], q[1], q[2]); };
    emit_runs(line, sc.inside.data(), inside, x, y, along_row, out, written);
}

// The runs of the chosen rows and columns of an h x w square at (x0, y0)
// from one classification of all its pixels (sc.mask, row after row): for
// squares of lines short enough to be read whole, where that classifies
// fewer pixels than reading each line.
void square_runs(const image_view &frame, const lch_bounds &window, int64_t x0, int64_t y0, int64_t h, int64_t w,
                 ball_scratch &sc, const points_view &out, int64_t &written) {
    sc.mask.resize(static_cast<size_t>(h * w));
    uint8_t *mask = sc.mask.data();
    const bool packed = frame.strides[1] == 3;
    if (!packed) sc.pixels.resize(static_cast<size_t>(3 * w));
    for (int64_t y = 0; y < h; ++y) {
        const uint8_t *p = frame.at(y0 + y, x0);
        if (!packed) {
            edges::sampled_line{p, frame.strides[1], w, 1}.gather(sc.pixels.data());
            p = sc.pixels.data();
        }
        classify_pixels(p, w, window, mask + y * w);
    }
    const edges::sampled_line row{nullptr, 0, w, 1}, column{nullptr, 0, h, 1};
    for (double v : sc.rows) {
        const auto y = static_cast<int64_t>(v);
        flag_runs(mask + y * w, row, 0, static_cast<int32_t>(y), true, out, written);
    }
    sc.inside.resize(static_cast<size_t>(h));
    for (double v : sc.columns) {
        const auto x = static_cast<int64_t>(v);
        for (int64_t y = 0; y < h; ++y) sc.inside[static_cast<size_t>(y)] = mask[y * w + x];
        flag_runs(sc.inside.data(), column, static_cast<int32_t>(x), 0, false, out, written);
    }
}

// Border points of a dense scan of the frame around a circle: the square
// 1.4 r + 4 about its centre, along every step-th row and column (at most
// max_dense_lines of each, each read as line_runs reads it).  Fills sc.xs,
// sc.ys with the borders (frame coordinates) and sc.rows, sc.columns with
// the lines scanned; false when the square is too small.
bool region_scan(const image_view &frame, const lch_bounds &window, double cx, double cy, double r,
                 double step, ball_scratch &sc) {
    const int64_t height = frame.shape[0], width = frame.shape[1];
    const double half = 1.4 * r + 4.0;
    const int64_t x0 = std::max<int64_t>(static_cast<int64_t>(clamp_coordinate(cx - half)), 0);
    const int64_t x1 = std::min<int64_t>(static_cast<int64_t>(std::ceil(clamp_coordinate(cx + half))) + 1, width);
    const int64_t y0 = std::max<int64_t>(static_cast<int64_t>(clamp_coordinate(cy - half)), 0);
    const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(std::ceil(clamp_coordinate(cy + half))) + 1, height);
    const int64_t h = y1 - y0, w = x1 - x0;
    sc.xs.clear();
    sc.ys.clear();
    if (h < 3 || w < 3) return false;
    const int32_t n_rows = static_cast<int32_t>(std::min<int64_t>(
        std::max<int64_t>(2, static_cast<int64_t>(static_cast<double>(h) / step)), max_dense_lines));
    const int32_t n_cols = static_cast<int32_t>(std::min<int64_t>(
        std::max<int64_t>(2, static_cast<int64_t>(static_cast<double>(w) / step)), max_dense_lines));
    sc.rows = scan_positions(h, n_rows);
    sc.columns = scan_positions(w, n_cols);
    // Room for every change of every line, and its closing end.
    const int64_t cap = static_cast<int64_t>(sc.rows.size() + sc.columns.size()) * (max_line_changes + 2);
    if (static_cast<int64_t>(sc.dense_points.size()) < 2 * cap) sc.dense_points.resize(static_cast<size_t>(2 * cap));
    points_view ps = packed_point_set(sc.dense_points.data(), cap);
    int64_t n = 0;
    const int64_t line_pixels = static_cast<int64_t>(sc.rows.size()) * w + static_cast<int64_t>(sc.columns.size()) * h;
    if (w <= max_line_samples && h <= max_line_samples && h * w < line_pixels) {
        square_runs(frame, window, x0, y0, h, w, sc, ps, n);
    } else {
        for (double v : sc.rows) {
            const auto y = static_cast<int64_t>(v);
            line_runs(frame.at(y0 + y, x0), frame.strides[1], w, window, 0, static_cast<int32_t>(y), true, sc, ps, n);
        }
        for (double v : sc.columns) {
            const auto x = static_cast<int64_t>(v);
            line_runs(frame.at(y0, x0 + x), frame.strides[0], h, window, static_cast<int32_t>(x), 0, false, sc, ps,
                      n);
        }
    }
    int32_t m = static_cast<int32_t>(n);
    if (m >= 4) {
        ps.shape[0] = m;
        m = simple_denoise(ps, ps, 2);
    }
    // Borders on the region's edge are not the ball's: the region is wider.
    run_borders(ps, m, w, h, sc.dense_borders);
    const size_t k_all = sc.dense_borders.size() / 2;
    sc.xs.resize(k_all);
    sc.ys.resize(k_all);
    for (size_t k = 0; k < k_all; ++k) {
        sc.xs[k] = sc.dense_borders[2 * k] * 0.5 + static_cast<double>(x0);
        sc.ys[k] = sc.dense_borders[2 * k + 1] * 0.5 + static_cast<double>(y0);
    }
    for (double &v : sc.rows) v += static_cast<double>(y0);
    for (double &v : sc.columns) v += static_cast<double>(x0);
    return true;
}

// Support of a circle among the points xs, ys and its number of inliers:
// the share of the expected crossings with the scanned lines (not hidden by
// something dark in front) that have a border point within the tolerance,
// times the share of inliers among the points on or outside the circle.
double circle_support(const std::vector<double> &xs, const std::vector<double> &ys, double cx, double cy,
                      double r, const std::vector<double> &rows, const std::vector<double> &columns,
                      const image_view &frame, double tolerance, ball_scratch &sc, int64_t &inliers) {
    inliers = 0;
    int64_t outside = 0;
    for (size_t k = 0; k < xs.size(); ++k) {
        const double d = distance_from(xs[k], ys[k], cx, cy, r);
        if (std::abs(d) <= tolerance) ++inliers;
        else if (d > tolerance) ++outside;
    }
    crossing_points(cx, cy, r, rows, columns, frame.shape[1], frame.shape[0], sc.cross_x, sc.cross_y);
    int64_t expected = static_cast<int64_t>(sc.cross_x.size());
    if (inliers < expected)  // else the coverage is full anyway
        for (size_t k = 0; k < sc.cross_x.size(); ++k)
            if (hidden(frame, cx, cy, r, sc.cross_x[k], sc.cross_y[k])) --expected;
    if (expected <= 0 || inliers == 0) return 0.0;
    const double coverage = std::min(1.0, static_cast<double>(inliers) / static_cast<double>(expected));
    return coverage * static_cast<double>(inliers) / static_cast<double>(inliers + outside);
}

// The least radius of a candidate: a pixel below min_r, since a colour
// window cuts a small ball's blurred border inside it; the radius settled
// on the image's border must reach min_r.
double candidate_min_r(const ball_settings &s) { return std::max(s.min_r - 1.0, 0.5 * s.min_r); }

struct search_state {
    const image_view &frame;
    const lch_bounds &window;
    bool bgr;
    const ball_settings &s;
    ball_scratch &sc;
    std::vector<found_ball> &found;
    std::vector<ball_note> *notes;
    std::vector<found_ball> tried;
    int32_t refused = 0;

    void note(const found_ball &b, verdict v) {
        if (notes) notes->push_back({b, v});
    }
    bool done() const {
        return static_cast<int32_t>(found.size()) == s.max_balls && found.back().support > 0.85;
    }
};

// A candidate refined and scored on a dense scan around it: refitted to the
// dense borders near it (within twice, then once the tolerance), scored by
// circle_support, times one less twice the share of ball colour on a ring
// around it.  False when it gives no ball; out of the size range [lo, hi]
// it is noted so.
bool check_dense(search_state &st, double cx, double cy, double r, double lo, double hi,
                 found_ball &out, bool note_range) {
    ball_scratch &sc = st.sc;
    const double tol = st.s.tolerance;
    const double step = std::min(std::max(r / 8.0, 1.0), 4.0);
    region_scan(st.frame, st.window, cx, cy, r, step, sc);
    if (sc.xs.size() < 5) return false;
    for (double band : {2.0 * tol, tol}) {
        sc.idx.clear();
        for (size_t k = 0; k < sc.xs.size(); ++k)
            if (std::abs(distance_from(sc.xs[k], sc.ys[k], cx, cy, r)) <= band)
                sc.idx.push_back(static_cast<int32_t>(k));
        if (sc.idx.size() < 5) return false;
        gauss_newton(sc.xs.data(), sc.ys.data(), sc.idx.data(), static_cast<int32_t>(sc.idx.size()), cx, cy, r, 2);
    }
    if (!(std::isfinite(cx) && std::isfinite(cy) && std::isfinite(r))) return false;
    int64_t inliers = 0;
    const double support = circle_support(sc.xs, sc.ys, cx, cy, r, sc.rows, sc.columns, st.frame, tol, sc, inliers);
    if (inliers == 0) return false;
    out = {cx, cy, r, support * std::max(0.0, 1.0 - 2.0 * outside_share(st.frame, st.window, cx, cy, r))};
    if (!(lo <= r && r <= hi)) {
        if (note_range) st.note(out, verdict::outside_range);
        return false;
    }
    return true;
}

// A candidate settled on the coarse points alone (false when it takes a
// dense check): refitted to the points of its ring, it must have no coarse
// point just outside it, border points on 90 % of the coarse crossings and
// no ball colour around it.
bool check_coarse(search_state &st, const std::vector<double> &xs, const std::vector<double> &ys,
                  const std::vector<int32_t> &ring_idx, double cx, double cy, double r,
                  const std::vector<double> &rows, const std::vector<double> &columns, found_ball &out) {
    gauss_newton(xs.data(), ys.data(), ring_idx.data(), static_cast<int32_t>(ring_idx.size()), cx, cy, r, 2);
    if (!(candidate_min_r(st.s) <= r && r <= st.s.max_r && std::isfinite(cx) && std::isfinite(cy))) return false;
    const double tol = st.s.tolerance;
    int64_t inliers = 0;
    for (size_t k = 0; k < xs.size(); ++k) {
        const double d = distance_from(xs[k], ys[k], cx, cy, r);
        if (std::abs(d) <= tol) ++inliers;
        else if (d > tol && d < 0.5 * r) return false;
    }
    if (inliers < 16) return false;
    const int64_t expected = crossing_count(cx, cy, r, rows, columns, st.frame.shape[1], st.frame.shape[0], st.sc);
    if (expected == 0 || static_cast<double>(inliers) < 0.9 * static_cast<double>(expected)) return false;
    const double share = outside_share(st.frame, st.window, cx, cy, r);
    if (share > 0.02) return false;
    out = {cx, cy, r, std::min(1.0, static_cast<double>(inliers) / static_cast<double>(expected)) * (1.0 - 2.0 * share)};
    return true;
}

// A supported candidate moved onto the image's border and tested as a
// ball: round where the borders are seen nearly all round, in the size
// range, of the ball's saturation inside.
bool settle(search_state &st, found_ball &ball) {
    if (st.s.refine) {
        border_options o;
        o.window = &st.window;
        o.bgr = st.bgr;
        o.skip_dark_outside = true;
        const border_fit fit = refine_circle_border(st.frame, ball.x, ball.y, ball.r, o, st.sc.borders_fit);
        if (fit.found()) {
            // An arc (a ball cut by the frame or partly hidden) tells little
            // of the shape: only a border seen nearly all round is judged,
            // and only a flattening of more than a pixel on either axis
            // (ellipticity times the radius is twice that), which the
            // pixels of a small ball's border, a leg's edge across it
            // included, may show without being oval.
            if (fit.coverage >= 0.75 && fit.ellipticity > st.s.max_ellipticity && fit.ellipticity * fit.r > 2.0) {
                st.note(ball, verdict::oval);
                return false;
            }
            ball = {fit.x, fit.y, fit.r, ball.support};
        } else {
            // No border from the ball's colour to another round it, though
            // every ray lies in the frame: not a round object (a patch of
            // shirt, the corner of a bag).
            const double reach = ball.r + max_border_reach + 1.0;
            if (ball.x - reach >= 0.0 && ball.y - reach >= 0.0 &&
                ball.x + reach <= static_cast<double>(st.frame.shape[1] - 1) &&
                ball.y + reach <= static_cast<double>(st.frame.shape[0] - 1)) {
                st.note(ball, verdict::oval);
                return false;
            }
        }
    }
    if (!(st.s.min_r <= ball.r && ball.r <= st.s.max_r)) {
        st.note(ball, verdict::outside_range);
        return false;
    }
    if (st.s.min_saturation > 0) {
        const double sat = disc_saturation(st.frame, ball.x, ball.y, ball.r);
        if (!(sat >= st.s.min_saturation)) {
            st.note(ball, verdict::pale);
            return false;
        }
    }
    return true;
}

// A candidate that reaches min_support and settles is kept unless it
// overlaps a ball kept already that is as strong; a stronger one replaces
// the weaker balls it overlaps.  At most max_balls, the strongest first.
void accept(search_state &st, found_ball ball) {
    std::vector<found_ball> &found = st.found;
    if (ball.support < st.s.min_support) {
        st.note(ball, verdict::weak);
        return;
    }
    // Weaker than a ball it overlaps, or than the weakest of a full set.
    bool any_overlap = false, weaker = false;
    for (const found_ball &b : found)
        if (overlaps(ball, b)) {
            any_overlap = true;
            weaker = weaker || ball.support <= b.support;
        }
    if (!any_overlap && static_cast<int32_t>(found.size()) >= st.s.max_balls)
        for (size_t k = static_cast<size_t>(st.s.max_balls - 1); k < found.size(); ++k)
            weaker = weaker || ball.support <= found[k].support;
    if (weaker) {
        st.note(ball, verdict::weaker);
        return;
    }
    if (!settle(st, ball)) {
        ++st.refused;
        return;
    }
    // An arc cut by the frame's edge shows less of the shape than a whole
    // circle: a patch of shirt or skin at the edge fits an arc of one, so a
    // ball cut by the frame needs more support, in step with its share
    // outside.
    if (ball.support < st.s.min_support + st.s.cut_support * (1.0 - visible_share(st.frame, ball.x, ball.y, ball.r))) {
        st.note(ball, verdict::cut);
        ++st.refused;
        return;
    }
    // Settling moves it: the balls it overlaps now are the ones it replaces.
    for (const found_ball &b : found)
        if (overlaps(ball, b) && ball.support <= b.support) {
            st.note(ball, verdict::weaker);
            return;
        }
    std::vector<found_ball> kept;
    for (const found_ball &b : found)
        if (!overlaps(ball, b)) kept.push_back(b);
    size_t at = 0;
    while (at < kept.size() && !(kept[at].support < ball.support)) ++at;
    kept.insert(kept.begin() + static_cast<std::ptrdiff_t>(at), ball);
    if (static_cast<int32_t>(kept.size()) > st.s.max_balls) kept.resize(static_cast<size_t>(st.s.max_balls));
    found = kept;
}

// Checks a candidate once (those within 3 px, centre and radius, of one
// tried are skipped); true when the search is done.
bool check(search_state &st, double cx, double cy, double r) {
    for (const found_ball &t : st.tried)
        if (std::abs(cx - t.x) + std::abs(cy - t.y) + std::abs(r - t.r) < 3.0) return false;
    st.tried.push_back({cx, cy, r, 0.0});
    found_ball b;
    if (check_dense(st, cx, cy, r, candidate_min_r(st.s), st.s.max_r, b, true)) accept(st, b);
    return st.done();
}

// Circles through pairs of parallel chords with the same middle: chords at
// positions pos across the scan direction, from lo to hi along it.  Appends
// each circle's coordinate across the chords to `across`, along them to
// `along`, and its radius.
void parallel_pairs(const std::vector<double> &pos, const std::vector<double> &lo, const std::vector<double> &hi,
                    double agree, std::vector<double> &across, std::vector<double> &along,
                    std::vector<double> &radius) {
    const size_t n = pos.size();
    for (size_t i = 0; i < n; ++i) {
        const double mid_i = (lo[i] + hi[i]) * 0.5, h_i = (hi[i] - lo[i]) * 0.5;
        for (size_t j = 0; j < n; ++j) {
            const double mid_j = (lo[j] + hi[j]) * 0.5, h_j = (hi[j] - lo[j]) * 0.5;
            if (!(std::abs(mid_i - mid_j) <= agree && pos[j] - pos[i] >= 4.0)) continue;
            const double c = (h_i * h_i - h_j * h_j + pos[i] * pos[i] - pos[j] * pos[j]) / (2.0 * (pos[i] - pos[j]));
            across.push_back(c);
            along.push_back((mid_i + mid_j) * 0.5);
            radius.push_back(std::sqrt(h_i * h_i + (pos[i] - c) * (pos[i] - c)));
        }
    }
}

// Runs across the short runs of a scan: a small ball may cross one scanned
// row and no scanned column (or the reverse), and then no chord crosses its
// run.  For each run of at most max_probe_length pixels (the first
// max_chords of rows and of columns) the line across its middle is read out
// to three lengths and 4 px on either side, and the run of the window's colour there
// through the run's line, if it ends inside that stretch, is appended to
// `out` as the scan writes runs.
constexpr int64_t max_probe_length = 48;

void probe_runs(const points_view &runs, int32_t n, const image_view &frame, const lch_bounds &window,
                std::vector<int32_t> &out) {
    out.clear();
    const int64_t height = frame.shape[0], width = frame.shape[1];
    int32_t probed[2] = {0, 0};
    auto inside = [&](int64_t y, int64_t x) {
        const uint8_t *p = frame.at(y, x);
        return window_inside(window, p[0], p[1], p[2]);
    };
    for (int32_t i = 0; i + 1 < n; i += 2) {
        const int64_t xs = point_x(runs, i), ys = point_y(runs, i);
        const int64_t xe = point_x(runs, i + 1), ye = point_y(runs, i + 1);
        const bool row = ys == ye;
        if (!row && xs != xe) continue;
        const int64_t a = row ? xs : ys, b = row ? xe : ye, at = row ? ys : xs;
        const int64_t length = b - a, size = row ? height : width;
        if (length < 2 || length > max_probe_length || probed[row ? 0 : 1] >= max_chords) continue;
        if (at < 0 || at >= size || a < 0 || b > (row ? width : height)) continue;
        ++probed[row ? 0 : 1];
        // Across the middle of the run: x = mid for a row run, y = mid for a column run.
        const int64_t mid = a + (length - 1) / 2;
        if (!(row ? inside(at, mid) : inside(mid, at))) continue;
        int64_t lo = at, hi = at;
        // A chord near the ball's edge is short: its ball reaches beyond it by
        // up to the radius on the far side (3 lengths cover chords down to
        // a tenth of the diameter).
        const int64_t reach = 3 * length + 4;
        const int64_t lo_limit = std::max<int64_t>(0, at - reach), hi_limit = std::min<int64_t>(size - 1, at + reach);
        while (lo > lo_limit && (row ? inside(lo - 1, mid) : inside(mid, lo - 1))) --lo;
        while (hi < hi_limit && (row ? inside(hi + 1, mid) : inside(mid, hi + 1))) ++hi;
        if (lo == lo_limit || hi == hi_limit) continue;  // not ended within reach
        // Start lo, end the first pixel outside.
        if (row) {
            out.insert(out.end(), {static_cast<int32_t>(mid), static_cast<int32_t>(lo), static_cast<int32_t>(mid),
                                   static_cast<int32_t>(hi + 1)});
        } else {
            out.insert(out.end(), {static_cast<int32_t>(lo), static_cast<int32_t>(mid), static_cast<int32_t>(hi + 1),
                                   static_cast<int32_t>(mid)});
        }
    }
}

}  // namespace

bool overlaps(const found_ball &a, const found_ball &b) {
    return length2d(a.x - b.x, a.y - b.y) < std::max(a.r, b.r);
}

void run_borders(const points_view &runs, int32_t n, int64_t width, int64_t height, std::vector<int32_t> &out) {
    out.clear();
    const int32_t count = n / 2;
    for (int end = 0; end < 2; ++end)
        for (int32_t i = 0; i < count; ++i) {
            const int32_t ys = point_y(runs, 2 * i), ye = point_y(runs, 2 * i + 1);
            const bool along_row = ys == ye;
            const int32_t x = point_x(runs, 2 * i + end), y = point_y(runs, 2 * i + end);
            // Doubled in 64 bits: the points are pixel positions of a frame
            // of at most 2^31 - 1 pixels a side.
            const int64_t bx = 2 * int64_t{x} - (along_row ? 1 : 0), by = 2 * int64_t{y} - (along_row ? 0 : 1);
            const int64_t along = along_row ? bx : by, limit = along_row ? 2 * width - 3 : 2 * height - 3;
            if (along >= 1 && along < limit && bx <= INT32_MAX && by <= INT32_MAX) {
                out.push_back(static_cast<int32_t>(bx));
                out.push_back(static_cast<int32_t>(by));
            }
        }
}

void chord_candidates(const points_view &runs, int32_t n, int64_t width, int64_t height, double min_r,
                      double max_r, double agree, int32_t count, std::vector<chord_circle> &out) {
    out.clear();
    // A chord is no longer than the diameter, and each proposal's radius is
    // at least half its chords: longer runs would only propose circles
    // larger than max_r (1 px of slack against rounding).
    const double longest = 2.0 * (max_r + agree + 1.0);
    std::vector<double> ry, ra, rb, cxs, ca, cb;
    for (int32_t i = 0; i + 1 < n; i += 2) {
        const int64_t xs = point_x(runs, i), ys = point_y(runs, i);
        const int64_t xe = point_x(runs, i + 1), ye = point_y(runs, i + 1);
        const bool row = ys == ye && xs > 0 && xe < width - 1 && static_cast<double>(xe - xs) <= longest;
        const bool col = xs == xe && ys > 0 && ye < height - 1 && !row && static_cast<double>(ye - ys) <= longest;
        // Row chord at y, borders at xs - 0.5 and xe - 0.5; column chord likewise.
        if (row && ry.size() < static_cast<size_t>(max_chords)) {
            ry.push_back(static_cast<double>(ys));
            ra.push_back(static_cast<double>(xs) - 0.5);
            rb.push_back(static_cast<double>(xe) - 0.5);
        } else if (col && cxs.size() < static_cast<size_t>(max_chords)) {
            cxs.push_back(static_cast<double>(xs));
            ca.push_back(static_cast<double>(ys) - 0.5);
            cb.push_back(static_cast<double>(ye) - 0.5);
        }
    }
    std::vector<double> px, py, pr;
    for (size_t i = 0; i < ry.size(); ++i)
        for (size_t j = 0; j < cxs.size(); ++j) {
            if (!(ra[i] < cxs[j] && cxs[j] < rb[i] && ca[j] < ry[i] && ry[i] < cb[j])) continue;
            const double mx = (ra[i] + rb[i]) * 0.5, my = (ca[j] + cb[j]) * 0.5;
            const double hr = (rb[i] - ra[i]) * 0.5, hc = (cb[j] - ca[j]) * 0.5;
            const double r1 = std::sqrt(hr * hr + (ry[i] - my) * (ry[i] - my));
            const double r2 = std::sqrt(hc * hc + (cxs[j] - mx) * (cxs[j] - mx));
            if (std::abs(r1 - r2) <= agree) {
                px.push_back(mx);
                py.push_back(my);
                pr.push_back((r1 + r2) * 0.5);
            }
        }
    if (cxs.size() > 1) parallel_pairs(cxs, ca, cb, agree, px, py, pr);
    if (ry.size() > 1) parallel_pairs(ry, ra, rb, agree, py, px, pr);
    // In range, every k-th when there are more than max_proposals.
    std::vector<size_t> keep;
    for (size_t k = 0; k < pr.size(); ++k)
        if (pr[k] >= min_r && pr[k] <= max_r) keep.push_back(k);
    if (keep.empty()) return;
    const size_t every = (keep.size() + max_proposals - 1) / max_proposals;
    std::vector<double> mx, my, mr;
    for (size_t k = 0; k < keep.size(); k += every) {
        mx.push_back(px[keep[k]]);
        my.push_back(py[keep[k]]);
        mr.push_back(pr[keep[k]]);
    }
    // Each proposal's votes are the proposals within 3 px of it (centre and
    // radius); the best is taken, its neighbours dropped, and so on.
    const size_t m = mx.size();
    // Only proposals within 3 px along x can be near: the proposals are
    // laid out in the order of x (sx, sy, sr), and each one's are looked
    // for in the stretch of that order within 3 px of it along x (the
    // differences grow with the distance in that order, as exactly as the
    // test takes them), a run of plain loops over adjacent values.
    std::vector<size_t> by_x(m), at(m);
    std::iota(by_x.begin(), by_x.end(), size_t{0});
    std::sort(by_x.begin(), by_x.end(), [&](size_t a, size_t b) { return mx[a] < mx[b] || (mx[a] == mx[b] && a < b); });
    std::vector<double> sx(m), sy(m), sr(m);
    for (size_t p = 0; p < m; ++p) {
        at[by_x[p]] = p;
        sx[p] = mx[by_x[p]];
        sy[p] = my[by_x[p]];
        sr[p] = mr[by_x[p]];
    }
    // The stretch [lo, hi) of proposal p's neighbours along x.
    auto stretch = [&](size_t p, size_t &lo, size_t &hi) {
        for (lo = p; lo > 0 && std::abs(sx[p] - sx[lo - 1]) <= 3.0;) --lo;
        for (hi = p + 1; hi < m && std::abs(sx[p] - sx[hi]) <= 3.0;) ++hi;
    };
    auto near = [&](size_t p, size_t q) {
        return std::abs(sx[p] - sx[q]) + std::abs(sy[p] - sy[q]) + std::abs(sr[p] - sr[q]) <= 3.0;
    };
    std::vector<int32_t> votes(m, 0);
    for (size_t p = 0; p < m; ++p) {
        size_t lo, hi;
        stretch(p, lo, hi);
        int32_t v = 0;
        for (size_t q = lo; q < hi; ++q) v += near(p, q) ? 1 : 0;
        votes[by_x[p]] = v;
    }
    std::vector<size_t> order(m);
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return votes[a] > votes[b]; });
    std::vector<uint8_t> taken(m, 0);  // by position along x
    for (size_t k : order) {
        const size_t p = at[k];
        if (taken[p]) continue;
        size_t lo, hi;
        stretch(p, lo, hi);
        for (size_t q = lo; q < hi; ++q) taken[q] |= near(p, q) ? 1 : 0;
        out.push_back({mx[k], my[k], mr[k], votes[k]});
        if (static_cast<int32_t>(out.size()) == count) break;
    }
}

void find_balls(const points_view &runs, int32_t n, const image_view &frame, const lch_bounds &window, bool bgr,
                const std::vector<double> &rows, const std::vector<double> &columns, const ball_settings &s,
                core_random &rng, ball_scratch &sc, std::vector<found_ball> &out, std::vector<ball_note> *notes) {
    out.clear();
    const int64_t height = frame.shape[0], width = frame.shape[1];
    const double hi = s.max_r, tol = s.tolerance;
    search_state st{frame, window, bgr, s, sc, out, notes, {}, 0};

    // The borders in an order that mixes the scan lines, at most max_borders.
    run_borders(runs, n, width, height, sc.borders);
    mixing_order(static_cast<int64_t>(sc.borders.size() / 2), sc.order);
    if (sc.order.size() > static_cast<size_t>(max_borders)) sc.order.resize(static_cast<size_t>(max_borders));
    std::vector<int32_t> &pts = sc.mixed;
    pts.resize(2 * sc.order.size());
    for (size_t k = 0; k < sc.order.size(); ++k) {
        pts[2 * k] = sc.borders[2 * static_cast<size_t>(sc.order[k])];
        pts[2 * k + 1] = sc.borders[2 * static_cast<size_t>(sc.order[k]) + 1];
    }
    std::vector<double> &x = sc.dx, &y = sc.dy;
    x.resize(sc.order.size());
    y.resize(sc.order.size());
    for (size_t k = 0; k < x.size(); ++k) {
        x[k] = pts[2 * k] * 0.5;
        y[k] = pts[2 * k + 1] * 0.5;
    }
    const double cand_lo = candidate_min_r(s);
    const int32_t fit_lo = static_cast<int32_t>(2.0 * cand_lo);
    const int32_t fit_hi = static_cast<int32_t>(std::min(std::ceil(2.0 * hi), 2147483647.0));
    const int32_t fit_tol = static_cast<int32_t>(std::ceil(2.0 * tol));
    std::vector<int32_t> ring_idx;
    const int32_t budget = s.candidates * s.max_balls;
    for (int32_t tries = 0; tries < budget + std::min(st.refused, budget); ++tries) {
        const int64_t m = static_cast<int64_t>(x.size());
        if (m < 5) break;
        const circle_model c = ransac_circle(packed_point_set(pts.data(), m), s.iterations, fit_lo, fit_hi, fit_tol, rng.next());
        if (c.r <= 0) break;
        const double cx = c.x * 0.5, cy = c.y * 0.5, r = c.r * 0.5;
        ring_idx.clear();
        int64_t beyond = 0;
        for (int64_t k = 0; k < m; ++k) {
            const double d = distance_from(x[k], y[k], cx, cy, r);
            if (std::abs(d) <= 2.0 * tol) ring_idx.push_back(static_cast<int32_t>(k));
            else if (d > 2.0 * tol && d < 0.5 * r) ++beyond;
        }
        const int64_t on = static_cast<int64_t>(ring_idx.size());
        // A blob that is not round leaves coarse points just outside the
        // circle fitted to part of it.
        if (cand_lo <= r && r <= hi && on >= 4 && beyond <= on) {
            if (on >= 16) {
                // Plenty of coarse points: refit on them, and settle it here
                // when they cover the circle and nothing ball-coloured is
                // around it.
                found_ball fast;
                if (check_coarse(st, x, y, ring_idx, cx, cy, r, rows, columns, fast)) {
                    st.tried.push_back({cx, cy, r, 0.0});
                    accept(st, fast);
                    if (st.done()) break;
                }
            }
            if (check(st, cx, cy, r)) break;
        }
        // The ring's points out: the next fit finds another circle.
        size_t w = 0;
        size_t ri = 0;
        for (int64_t k = 0; k < m; ++k) {
            if (ri < ring_idx.size() && ring_idx[ri] == k) {
                ++ri;
                continue;
            }
            pts[2 * w] = pts[2 * static_cast<size_t>(k)];
            pts[2 * w + 1] = pts[2 * static_cast<size_t>(k) + 1];
            x[w] = x[static_cast<size_t>(k)];
            y[w] = y[static_cast<size_t>(k)];
            ++w;
        }
        x.resize(w);
        y.resize(w);
    }
    if (!st.done()) {
        // The scan's runs and the runs across its short ones.
        probe_runs(runs, n, frame, window, sc.probes);
        sc.with_probes.resize(2 * static_cast<size_t>(n) + sc.probes.size());
        for (int32_t i = 0; i < n; ++i) {
            sc.with_probes[2 * static_cast<size_t>(i)] = point_x(runs, i);
            sc.with_probes[2 * static_cast<size_t>(i) + 1] = point_y(runs, i);
        }
        std::copy(sc.probes.begin(), sc.probes.end(), sc.with_probes.begin() + 2 * static_cast<std::ptrdiff_t>(n));
        const int64_t all = static_cast<int64_t>(sc.with_probes.size() / 2);
        chord_candidates(packed_point_set(sc.with_probes.data(), all), static_cast<int32_t>(all), width, height, cand_lo, hi, 2.5,
                         4 * s.max_balls, sc.chords);
        for (const chord_circle &c : sc.chords)
            if (check(st, c.x, c.y, c.r)) break;
        if (out.empty() && notes) {
            // Name a ball larger than the range rather than lose it silently.
            const double top = std::max(hi, std::min(65536.0, 4.0 * static_cast<double>(std::max(height, width))));
            chord_candidates(runs, n, width, height, hi, top, 2.5, 4, sc.chords);
            for (size_t k = 0; k < sc.chords.size() && k < 2; ++k) {
                found_ball b;
                const chord_circle c = sc.chords[k];
                if (check_dense(st, c.x, c.y, c.r, hi, top, b, false) && b.support >= s.min_support && b.r > hi) st.note(b, verdict::outside_range);
            }
        }
    }
    for (const found_ball &b : out) st.note(b, verdict::ball);
}

}  // namespace orbisect::detect
