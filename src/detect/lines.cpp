#include "detect/lines.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstring>
#include <numeric>

#include "colour/window.hpp"
#include "detect/exact_math.hpp"
#include "detect/profile_kernels.hpp"
#include "edges/scan.hpp"
#include "fitting/fitting.hpp"

namespace orbisect::detect {
namespace {

// The core's geometry uses square roots and the four operations only, each
// correctly rounded on every machine, in one fixed order: the C library's
// hypot, atan2, sin and cos are not (glibc's hypot gives other last bits on
// aarch64 than on x86-64, and its atan2, sin and cos others on x86-64
// processors without FMA than on those with it).

// sin(2 degrees), correctly rounded.
constexpr double sin_2_degrees = 0.03489949670250097;

// The length of (x, y) (the values are pixel coordinates: no overflow).
double length_of(double x, double y) { return std::sqrt(x * x + y * y); }

// (cos h, sin h) for h = atan2(b, a) / 2 (so cos h >= 0), by the half-angle
// formulas on r = |(a, b)|, each taken where it does not cancel; (1, 0) when
// a and b are 0, as atan2(0, 0) = 0 gives.
void half_angle(double b, double a, double &c, double &s) {
    const double r = length_of(a, b);
    if (!(r > 0.0)) {
        c = 1.0;
        s = 0.0;
    } else if (a >= 0.0) {
        c = std::sqrt((r + a) / (2.0 * r));
        s = b / (2.0 * r * c);
    } else {
        s = std::copysign(std::sqrt((r - a) / (2.0 * r)), b);
        c = b / (2.0 * r * s);
    }
}

// A gap supports a line only when its scan line crosses the line at more than
// about 27 degrees: scan lines that run along a stripe see its border
// flicker, not the stripe.
constexpr double min_crossing = 0.45;

// A line is followed on past a hole in its points no longer than this many
// scan spacings (plus 10 px); a stray point further along must not stretch it.
constexpr double hole_spacings = 3.0;

// The search stops after this many candidates that are not supported.
constexpr int max_rejected = 3;

int64_t clamp_index(double v, int64_t size) {
    if (!(v > 0.0)) return 0;  // NaN too
    if (v >= static_cast<double>(size - 1)) return size - 1;
    return static_cast<int64_t>(v);
}

const uint8_t *pixel_at(const image_view &frame, int64_t x, int64_t y) {
    return frame.at(y, x);
}

// R + G + B of a pixel, and its largest channel less its smallest.
int32_t pixel_sum(const uint8_t *p) { return int32_t{p[0]} + p[1] + p[2]; }
int32_t channel_spread(const uint8_t *p) { return std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]}); }

// The longest stretch between scanned lines at positions `at`, or between one
// and the frame's edge.
double widest(const std::vector<double> &at, int64_t size) {
    if (at.empty()) return static_cast<double>(size);
    double inner = 0.0;
    for (size_t k = 1; k < at.size(); ++k) inner = std::max(inner, at[k] - at[k - 1]);
    return std::max({inner, at.front() + 0.5, static_cast<double>(size) - 0.5 - at.back()});
}

struct raw_line {
    double px, py, ux, uy, t_lo, t_hi, width, support;
};

// The profile loop of the best level this machine runs.
const profile_kernels &profiles() {
    static const profile_kernels &k = ORBISECT_PICK_LEVEL(best_level(), profile_table);
    return k;
}

// Least contrast of paint over the field in a profile (R + G + B), and the
// field's margin beside the paint that a profile reads.
constexpr double min_contrast = 45.0;
constexpr double profile_margin = 4.0;
constexpr double profile_step = 1.0;
constexpr int max_profile_samples = 2 * 64 + 1;  // out to 64 px from the centre

double median_of(std::vector<double> &v) {
    const size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    return v[mid];
}

bool refine_once(const image_view &frame, refined_line &l) {
    const double half = std::min(l.width / 2.0 + profile_margin, (max_profile_samples - 1) * profile_step / 2);
    const int samples = 2 * static_cast<int>(half / profile_step) + 1;
    const int mid = samples / 2;
    const double length = l.t_hi - l.t_lo;
    if (!(length >= 4.0) || samples < 7) return false;
    const int count = static_cast<int>(std::min<double>(max_profiles, std::max(3.0, length / 4.0)));
    const double nx = -l.uy, ny = l.ux;
    double v[max_profile_samples];
    const profile_frame pixels{frame.at(0, 0), frame.strides[0], frame.strides[1], frame.shape[1], frame.shape[0]};
    const profile_fn sample = profiles().intensities;
    std::vector<double> ts, centres, widths;
    const int outer = 2;  // samples at each end that give the field's level
    const int plateau = std::max(0, static_cast<int>((l.width / 2.0 - 2.0) / profile_step));
    // The paint's area is summed out to where a blur of about a pixel has
    // faded; its centroid closer in, where there is less noise to weigh.
    const int near = std::min(mid - outer, static_cast<int>((l.width / 2.0 + 3.0) / profile_step));
    const int close = std::min(near, static_cast<int>((l.width / 2.0 + 1.5) / profile_step));
    for (int k = 0; k < count; ++k) {
        // Profiles at the middles of count equal stretches of the line.
        const double t = l.t_lo + length * (k + 0.5) / count;
        const double cx = l.px + t * l.ux, cy = l.py + t * l.uy;
        if (!sample(pixels, cx, cy, nx, ny, samples, mid, profile_step, v)) continue;
        double left = 0.0, right = 0.0;
        for (int i = 0; i < outer; ++i) {
            left += v[i] / outer;
            right += v[samples - 1 - i] / outer;
        }
        const double field = 0.5 * (left + right);
        double paint = 0.0;
        for (int i = mid - plateau; i <= mid + plateau; ++i) paint += v[i] / (2 * plateau + 1);
        const double contrast = paint - field;
        // Something else beside the stripe (another stripe, the ball) shows
        // as unequal ends.
        if (!(contrast >= min_contrast) || std::abs(left - right) > 0.25 * contrast) continue;
        double area = 0.0, inner = 0.0, moment = 0.0;
        for (int i = mid - near; i <= mid + near; ++i) {
            const double d = v[i] - field;
            area += d;
            if (std::abs(i - mid) <= close) {
                inner += d;
                moment += d * (i - mid);
            }
        }
        if (!(area > 0.0) || !(inner > 0.0)) continue;
        ts.push_back(t);
        centres.push_back(moment / inner * profile_step);
        widths.push_back(area * profile_step / contrast);
    }
    if (ts.size() < 3) return false;
    std::vector<double> tmp = centres;
    const double c_med = median_of(tmp);
    // The profiles that agree with the middle one: a least squares line of
    // offset against position along the line (offset alone from few).
    double sw = 0, st = 0, sc = 0, stt = 0, stc = 0;
    std::vector<double> kept_widths;
    for (size_t k = 0; k < ts.size(); ++k) {
        if (std::abs(centres[k] - c_med) > 1.0) continue;
        sw += 1;
        st += ts[k];
        sc += centres[k];
        stt += ts[k] * ts[k];
        stc += ts[k] * centres[k];
        kept_widths.push_back(widths[k]);
    }
    if (sw < 3) return false;
    double a = sc / sw, b = 0.0;
    const double var = stt - st * st / sw;
    if (sw >= 6 && var > 0.0) {
        b = (stc - st * sc / sw) / var;
        a = (sc - b * st) / sw;
    }
    const double width = median_of(kept_widths);
    // A refinement that moves the line by more than half its width, or turns
    // it by more than a degree, found something else.
    if (std::abs(a + b * 0.5 * (l.t_lo + l.t_hi)) > 0.5 * l.width || std::abs(b) > 0.0175 ||
        !(width > 0.0) || width > 2.0 * l.width + 2.0)
        return false;
    const double px = l.px + a * nx, py = l.py + a * ny;
    double ux = l.ux + b * nx, uy = l.uy + b * ny;
    const double norm = length_of(ux, uy);
    ux /= norm;
    uy /= norm;
    // The old extreme points, projected on the new line.
    auto along = [&](double t) { return (l.px + t * l.ux - px) * ux + (l.py + t * l.uy - py) * uy; };
    const double t0 = along(l.t_lo), t1 = along(l.t_hi);
    l = {px, py, ux, uy, std::min(t0, t1), std::max(t0, t1), width};
    return true;
}

}  // namespace

bool refine_across(const image_view &frame, refined_line &l) {
    // Twice: the second time the profiles' extent follows the refined width.
    if (!refine_once(frame, l)) return false;
    refined_line again = l;
    if (refine_once(frame, again)) l = again;
    return true;
}

bool paint_colour::operator()(const uint8_t *p) const {
    const int32_t r = p[0], g = p[1], b = p[2];
    for (int k = 0; k < count; ++k)
        if (window_inside(windows[k], r, g, b)) return true;
    return r == g && r == b && r > grey_lo && r < grey_hi;
}

double found_line::length() const { return length_of(x1 - x0, y1 - y0); }

std::vector<double> scan_positions(int64_t lines, int32_t count) {
    std::vector<double> out;
    if (lines <= 0 || count <= 0) return out;
    const int32_t n = std::min(count, edges::max_line_count);
    std::vector<uint32_t> pos(static_cast<size_t>(n));
    for (int32_t k = 0; k < n; ++k)
        pos[static_cast<size_t>(k)] = edges::scan_line(static_cast<uint32_t>(k), static_cast<uint32_t>(lines));
    std::sort(pos.begin(), pos.end());
    pos.erase(std::unique(pos.begin(), pos.end()), pos.end());
    out.assign(pos.begin(), pos.end());
    return out;
}

void field_gaps(const points_view &runs, int32_t n, const image_view &frame, const paint_colour &paint,
                const paint_colour *shaded_paint, const line_settings &s, std::vector<gap> &out) {
    const int64_t height = frame.shape[0], width = frame.shape[1];
    const int32_t count = n / 2;
    // Run i is (xs, ys) .. (xe, ye); run i ends at its second point, run i + 1
    // starts at its first.
    for (int32_t i = 0; i + 1 < count; ++i) {
        const int32_t xs0 = point_x(runs, 2 * i), ys0 = point_y(runs, 2 * i);
        const int32_t xe0 = point_x(runs, 2 * i + 1), ye0 = point_y(runs, 2 * i + 1);
        const int32_t xs1 = point_x(runs, 2 * i + 2), ys1 = point_y(runs, 2 * i + 2);
        const int32_t xe1 = point_x(runs, 2 * i + 3), ye1 = point_y(runs, 2 * i + 3);
        const bool row0 = ys0 == ye0 && xs0 != xe0, row1 = ys1 == ye1 && xs1 != xe1;
        const bool col0 = xs0 == xe0 && ys0 != ye0, col1 = xs1 == xe1 && ys1 != ye1;
        const bool same_row = row0 && row1 && ye0 == ys1;
        const bool same_col = col0 && col1 && xe0 == xs1;
        if (!same_row && !same_col) continue;
        const int64_t length = same_row ? int64_t{xs1} - xe0 : int64_t{ys1} - ye0;
        const double len = static_cast<double>(length);
        if (!(len >= s.min_width && len <= s.max_width)) continue;
        const int64_t sx = int64_t{xe0} + xs1, sy = int64_t{ye0} + ys1;
        // A pixel inside the gap (the points lie in the frame; clamped anyway).
        const int64_t mx = std::clamp<int64_t>(sx >> 1, 0, width - 1);
        const int64_t my = std::clamp<int64_t>(sy >> 1, 0, height - 1);
        const uint8_t *middle = pixel_at(frame, mx, my);
        if (!paint(middle)) {
            if (shaded_paint == nullptr || !(*shaded_paint)(middle)) continue;
            // The field a few pixels from the gap on either side (beside it
            // the blurred paint brightens the field), inside its runs.
            const int32_t back = std::min(shade_field_offset, (same_row ? xe0 - xs0 : ye0 - ys0) - 1);
            const int32_t ahead = std::min(shade_field_offset, (same_row ? xe1 - xs1 : ye1 - ys1) - 1);
            const int32_t before = pixel_sum(pixel_at(frame, same_row ? xe0 - 1 - back : xe0, same_row ? ye0 : ye0 - 1 - back));
            const int32_t after = pixel_sum(pixel_at(frame, same_row ? xs1 + std::max(ahead, 0) : xs1,
                                               same_row ? ys1 : ys1 + std::max(ahead, 0)));
            if (before > shade_field_sum || after > shade_field_sum ||
                2 * pixel_sum(middle) < shade_contrast2 * std::max(before, after))
                continue;
        }
        // The borders lie half a pixel before each point along the line.
        gap g;
        g.x2 = static_cast<int32_t>(sx - (same_row ? 1 : 0));
        g.y2 = static_cast<int32_t>(sy - (same_row ? 0 : 1));
        g.length = len;
        g.along_row = same_row;
        out.push_back(g);
    }
}

void thin_stripes(const points_view &runs, int32_t n, const image_view &frame, std::vector<gap> &out) {
    const int32_t count = n / 2;
    std::vector<int32_t> sums;
    std::vector<uint8_t> bright;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t xs = point_x(runs, 2 * i), ys = point_y(runs, 2 * i);
        const int32_t xe = point_x(runs, 2 * i + 1), ye = point_y(runs, 2 * i + 1);
        const bool row = ys == ye && xs != xe, column = xs == xe && ys != ye;
        if (!row && !column) continue;
        const int32_t lo = row ? xs : ys, hi = row ? xe : ye;  // the run: [lo, hi)
        if (hi - lo <= 2 * thin_reach) continue;
        auto at = [&](int32_t k) { return row ? pixel_at(frame, k, ys) : pixel_at(frame, xs, k); };
        // R + G + B along the run, read once.
        const uint8_t *first = at(lo);
        const int64_t step = row ? frame.strides[1] : frame.strides[0];
        const int32_t len = hi - lo;
        sums.resize(static_cast<size_t>(len));
        bright.assign(static_cast<size_t>(len) + 8, 0);
        int32_t *const v_of = sums.data();
        uint8_t *const peak = bright.data();
        for (int32_t k = 0; k < len; ++k) v_of[k] = pixel_sum(first + k * step);
        // Pixels at least thin_contrast above those thin_reach away on both
        // sides, in one pass the compiler vectorises.
        for (int32_t k = thin_reach; k + thin_reach < len; ++k)
            peak[k] = static_cast<uint8_t>((v_of[k] - v_of[k - thin_reach] >= thin_contrast) &
                                           (v_of[k] - v_of[k + thin_reach] >= thin_contrast));
        auto v_at = [&](int32_t k) { return v_of[k - lo]; };  // pixel k of the line
        for (int32_t k = lo + thin_reach; k + thin_reach < hi; ++k) {
            uint64_t eight;
            std::memcpy(&eight, peak + (k - lo), 8);  // (the slack holds the bytes past the run)
            if (eight == 0) {
                k += 7;
                continue;
            }
            if (peak[k - lo] == 0) continue;
            const int32_t v = v_at(k);
            const int32_t left = v_at(k - 1), right = v_at(k + 1);
            const uint8_t *p = at(k), *before = at(k - thin_reach), *after = at(k + thin_reach);
            // The ridge's top (the first of equal ones), less coloured than
            // the grass on both sides.
            if (v <= left || v < right || channel_spread(p) >= std::min(channel_spread(before), channel_spread(after))) continue;
            gap g;
            // Its middle: the pixel, or between it and a neighbour nearly as bright.
            const int32_t base = v_at(k - thin_reach);
            const bool pair = 4 * (right - base) >= 3 * (v - base);
            const int32_t x2 = 2 * k + (pair ? 1 : 0);
            g.x2 = row ? x2 : 2 * xs;
            g.y2 = row ? 2 * ys : x2;
            g.length = pair ? 2.0 : 1.0;
            g.along_row = row;
            out.push_back(g);
            k += thin_reach;  // the next ridge lies beyond this one's flank
        }
    }
}

line_fit fit_segment(const double *xs, const double *ys, const int32_t *index, int n, double *t_out) {
    line_fit f;
    double sx = 0.0, sy = 0.0;
    for (int i = 0; i < n; ++i) {
        sx += xs[index[i]];
        sy += ys[index[i]];
    }
    f.px = sx / n;
    f.py = sy / n;
    double sxx = 0.0, syy = 0.0, sxy = 0.0;
    for (int i = 0; i < n; ++i) {
        const double dx = xs[index[i]] - f.px, dy = ys[index[i]] - f.py;
        sxx += dx * dx;
        syy += dy * dy;
        sxy += dx * dy;
    }
    // The principal axis: at half the angle of (sxx - syy, 2 sxy).
    half_angle(2.0 * sxy, sxx - syy, f.ux, f.uy);
    for (int i = 0; i < n; ++i)
        t_out[i] = (xs[index[i]] - f.px) * f.ux + (ys[index[i]] - f.py) * f.uy;
    return f;
}

int32_t crossings(const std::vector<double> &at, double a, double b) {
    const double lo = std::min(a, b), hi = std::max(a, b);
    const auto first = std::lower_bound(at.begin(), at.end(), lo);
    const auto last = std::upper_bound(at.begin(), at.end(), hi);
    return last > first ? static_cast<int32_t>(last - first) : 0;
}

void clip_to_frame(double px, double py, double ux, double uy, int64_t width, int64_t height,
                   double &lo, double &hi) {
    lo = -std::numeric_limits<double>::infinity();
    hi = std::numeric_limits<double>::infinity();
    const double p[2] = {px, py}, u[2] = {ux, uy};
    const int64_t size[2] = {width, height};
    for (int k = 0; k < 2; ++k) {
        if (std::abs(u[k]) < 1e-12) continue;
        const double a = (-0.5 - p[k]) / u[k], b = (static_cast<double>(size[k]) - 0.5 - p[k]) / u[k];
        lo = std::max(lo, std::min(a, b));
        hi = std::min(hi, std::max(a, b));
    }
}

double paint_end(const image_view &frame, const paint_colour &paint, double px, double py, double ux,
                 double uy, double t, double t_limit, int32_t reach) {
    const int64_t height = frame.shape[0], width = frame.shape[1];
    const double sign = t_limit >= t ? 1.0 : -1.0;
    for (int32_t k = 1; k <= reach; ++k) {
        const double tk = t + sign * static_cast<double>(k);
        // Steps past the frame's edge are not paint.
        bool on = (tk - t_limit) * sign <= 0.0;
        if (on) {
            const int64_t x = clamp_index(px + tk * ux + 0.5, width);
            const int64_t y = clamp_index(py + tk * uy + 0.5, height);
            on = paint(pixel_at(frame, x, y));
        }
        if (!on) {
            if ((tk - t_limit) * sign > 0.0) return t_limit;  // stopped by the frame's edge
            return tk - 0.5 * sign;
        }
    }
    return t + sign * static_cast<double>(reach);  // paint all the way: as far as followed
}

bool join_two(const found_line &a_in, const found_line &b_in, double tolerance, found_line &out) {
    found_line a = a_in, b = b_in;
    double la = a.length(), lb = b.length();
    if (la < lb) {
        std::swap(a, b);
        std::swap(la, lb);
    }
    if (la == 0.0) return false;
    const double ux = (a.x1 - a.x0) / la, uy = (a.y1 - a.y0) / la;
    if (lb > 0.0 && std::abs((b.x1 - b.x0) * uy - (b.y1 - b.y0) * ux) > lb * 0.035) return false;  // 2 degrees
    const double off = tolerance + 0.25 * std::max(a.width, b.width);
    for (const auto &[x, y] : {std::pair{b.x0, b.y0}, std::pair{b.x1, b.y1}})
        if (std::abs((x - a.x0) * uy - (y - a.y0) * ux) > off) return false;
    if (lb > 0.0 && std::abs((b.x1 - b.x0) / lb * uy - (b.y1 - b.y0) / lb * ux) > sin_2_degrees)
        return false;
    const double ts[4] = {0.0, la, (b.x0 - a.x0) * ux + (b.y0 - a.y0) * uy,
                          (b.x1 - a.x0) * ux + (b.y1 - a.y0) * uy};
    const double t0 = *std::min_element(ts, ts + 4), t1 = *std::max_element(ts, ts + 4);
    // The longer piece sets the line; the other only stretches it.
    out = {a.x0 + t0 * ux, a.y0 + t0 * uy, a.x0 + t1 * ux, a.y0 + t1 * uy,
           (a.width * la + b.width * lb) / (la + lb), (a.support * la + b.support * lb) / (la + lb)};
    return true;
}

std::vector<found_line> join_pieces(std::vector<found_line> lines, double tolerance) {
    std::stable_sort(lines.begin(), lines.end(),
                     [](const found_line &p, const found_line &q) { return p.length() > q.length(); });
    std::vector<found_line> out;
    for (const found_line &line : lines) {
        bool joined = false;
        for (found_line &kept : out) {
            found_line j;
            if (join_two(kept, line, tolerance, j)) {
                kept = j;
                joined = true;
                break;
            }
        }
        if (!joined) out.push_back(line);
    }
    return out;
}

void find_lines(const std::vector<gap> &gaps_in, const image_view &frame, const paint_colour &paint,
                const std::vector<double> &rows, const std::vector<double> &columns,
                const line_settings &s, core_random &rng, line_scratch &sc, std::vector<found_line> &out) {
    out.clear();
    const int64_t height = frame.shape[0], width = frame.shape[1];
    // The gaps in an order that mixes the scan lines.
    mixing_order(static_cast<int64_t>(gaps_in.size()), sc.order);
    if (sc.order.size() > static_cast<size_t>(max_gaps)) sc.order.resize(static_cast<size_t>(max_gaps));
    sc.mixed.resize(sc.order.size());
    for (size_t i = 0; i < sc.order.size(); ++i) sc.mixed[i] = gaps_in[static_cast<size_t>(sc.order[i])];
    const std::vector<gap> &gaps = sc.mixed;
    const int32_t n_all = static_cast<int32_t>(gaps.size());
    const int32_t min_points = std::max(s.min_points, 1);
    if (n_all < min_points || s.max_lines <= 0) return;

    // The fit refuses lines parallel to its x axis, so the doubled points are
    // fitted in a frame turned by atan(3/4): (x, y) -> (4x - 3y, 3x + 4y).
    sc.xs.resize(static_cast<size_t>(n_all));
    sc.ys.resize(static_cast<size_t>(n_all));
    for (int32_t i = 0; i < n_all; ++i) {
        sc.xs[static_cast<size_t>(i)] = gaps[static_cast<size_t>(i)].x2 * 0.5;
        sc.ys[static_cast<size_t>(i)] = gaps[static_cast<size_t>(i)].y2 * 0.5;
    }
    sc.alive.assign(static_cast<size_t>(n_all), 1);
    const double spacing = std::max(static_cast<double>(height) / std::max<size_t>(rows.size(), 1),
                                    static_cast<double>(width) / std::max<size_t>(columns.size(), 1));
    const int32_t reach =
        static_cast<int32_t>(std::ceil(std::max(widest(rows, height), widest(columns, width)))) + 2;
    const int32_t delta = std::max(1, static_cast<int32_t>(std::nearbyint(10.0 * s.tolerance)));
    const double hole = hole_spacings * spacing + 10.0;

    std::vector<raw_line> raw;
    int rejected = 0;
    auto &idx = sc.index, &cand = sc.cand, &seg = sc.seg;
    while (static_cast<int32_t>(raw.size()) < s.max_lines && rejected < max_rejected) {
        idx.clear();
        for (int32_t i = 0; i < n_all; ++i)
            if (sc.alive[static_cast<size_t>(i)]) idx.push_back(i);
        if (static_cast<int32_t>(idx.size()) < min_points) break;
        const bool repeated = idx.size() % 2 == 0;  // an odd count keeps the sampler mixing
        if (repeated) idx.push_back(idx.front());
        sc.turned.resize(2 * idx.size());
        for (size_t k = 0; k < idx.size(); ++k) {
            const gap &g = gaps[static_cast<size_t>(idx[k])];
            sc.turned[2 * k] = 4 * g.x2 - 3 * g.y2;
            sc.turned[2 * k + 1] = 3 * g.x2 + 4 * g.y2;
        }
        sc.flags.assign(idx.size(), 0);
        flags_view fv;
        fv.data = sc.flags.data();
        fv.shape[0] = static_cast<int64_t>(sc.flags.size());
        fv.strides[0] = 1;
        const line_model line = ransac_line(packed_point_set(sc.turned.data(), static_cast<int64_t>(sc.turned.size() / 2)), fv, s.iterations, delta, 0.0, rng.next());
        if (line.nx == 0 && line.ny == 0) break;  // no candidate: every flag is set
        cand.clear();
        const size_t last = repeated ? idx.size() - 1 : idx.size();  // the repeated point once
        for (size_t k = 0; k < last; ++k)
            if (sc.flags[k]) cand.push_back(idx[k]);
        if (static_cast<int32_t>(cand.size()) < min_points) break;
        // The normal back in the image: (4 nx + 3 ny, 4 ny - 3 nx); a row
        // crosses the line steeply when the normal's x dominates enough, a
        // column when its y does.
        const double nxi = 4.0 * line.nx + 3.0 * line.ny, nyi = 4.0 * line.ny - 3.0 * line.nx;
        const double nn = min_crossing * length_of(nxi, nyi);
        const bool rows_ok = std::abs(nxi) > nn, cols_ok = std::abs(nyi) > nn;
        seg.clear();
        for (int32_t i : cand) {
            const bool row = gaps[static_cast<size_t>(i)].along_row;
            if ((rows_ok && cols_ok) || row == rows_ok) seg.push_back(i);
        }
        if (static_cast<int32_t>(seg.size()) < min_points) {
            for (int32_t i : cand) sc.alive[static_cast<size_t>(i)] = 0;
            ++rejected;
            continue;
        }
        sc.t.resize(seg.size());
        line_fit f = fit_segment(sc.xs.data(), sc.ys.data(), seg.data(), static_cast<int>(seg.size()), sc.t.data());
        // The longest run of points without a hole is the stripe; the others
        // go back to the pool.
        sc.order.resize(seg.size());
        std::iota(sc.order.begin(), sc.order.end(), 0);
        std::stable_sort(sc.order.begin(), sc.order.end(),
                         [&](int32_t a, int32_t b) { return sc.t[static_cast<size_t>(a)] < sc.t[static_cast<size_t>(b)]; });
        size_t best_lo = 0, best_len = 0, lo = 0;
        for (size_t k = 1; k <= sc.order.size(); ++k) {
            if (k == sc.order.size() ||
                sc.t[static_cast<size_t>(sc.order[k])] - sc.t[static_cast<size_t>(sc.order[k - 1])] > hole) {
                if (k - lo > best_len) {
                    best_lo = lo;
                    best_len = k - lo;
                }
                lo = k;
            }
        }
        if (best_len < seg.size()) {
            std::vector<int32_t> kept(best_len);
            for (size_t k = 0; k < best_len; ++k) kept[k] = seg[static_cast<size_t>(sc.order[best_lo + k])];
            seg.swap(kept);
            if (static_cast<int32_t>(seg.size()) < min_points) {
                for (int32_t i : seg) sc.alive[static_cast<size_t>(i)] = 0;
                ++rejected;
                continue;
            }
            sc.t.resize(seg.size());
            f = fit_segment(sc.xs.data(), sc.ys.data(), seg.data(), static_cast<int>(seg.size()), sc.t.data());
        }
        for (int32_t i : seg) sc.alive[static_cast<size_t>(i)] = 0;
        const double t_lo = *std::min_element(sc.t.begin(), sc.t.end());
        const double t_hi = *std::max_element(sc.t.begin(), sc.t.end());
        // Width: a row gap is the stripe's width over |sin| of its angle with
        // the row (a column gap over |cos|); the median of the points'.
        sc.w.resize(seg.size());
        for (size_t k = 0; k < seg.size(); ++k) {
            const gap &g = gaps[static_cast<size_t>(seg[k])];
            sc.w[k] = g.length * (g.along_row ? std::abs(f.uy) : std::abs(f.ux));
        }
        const size_t mid = sc.w.size() / 2;
        std::nth_element(sc.w.begin(), sc.w.begin() + static_cast<std::ptrdiff_t>(mid), sc.w.end());
        const double stripe = sc.w[mid];
        int32_t expected = 0;
        if (std::abs(f.uy) > min_crossing) expected += crossings(rows, f.py + t_lo * f.uy, f.py + t_hi * f.uy);
        if (std::abs(f.ux) > min_crossing) expected += crossings(columns, f.px + t_lo * f.ux, f.px + t_hi * f.ux);
        const double support =
            expected ? std::min(1.0, static_cast<double>(seg.size()) / static_cast<double>(expected)) : 0.0;
        if (support < s.min_support) {
            ++rejected;
            continue;
        }
        refined_line r{f.px, f.py, f.ux, f.uy, t_lo, t_hi, stripe};
        if (s.refine) refine_across(frame, r);
        raw.push_back({r.px, r.py, r.ux, r.uy, r.t_lo, r.t_hi, r.width, support});
    }

    // Follow each stripe's paint beyond its outermost points, to its end or
    // the frame's edge.  An end followed in paint all the way and then within
    // reach of the frame's edge is followed on to it (further inside, paint
    // all the way is another stripe's, which the walk has run into).
    std::vector<found_line> found;
    for (const raw_line &r : raw) {
        double f0, f1;
        clip_to_frame(r.px, r.py, r.ux, r.uy, width, height, f0, f1);
        double ends[2];
        const double from[2] = {r.t_lo, r.t_hi}, limit[2] = {f0, f1};
        for (int e = 0; e < 2; ++e) {
            double t_end = paint_end(frame, paint, r.px, r.py, r.ux, r.uy, from[e], limit[e], reach);
            if (std::abs(t_end - from[e]) >= reach && 0.5 < std::abs(limit[e] - t_end) &&
                std::abs(limit[e] - t_end) <= reach)
                t_end = paint_end(frame, paint, r.px, r.py, r.ux, r.uy, t_end, limit[e], reach);
            ends[e] = t_end;
        }
        found.push_back({r.px + ends[0] * r.ux, r.py + ends[0] * r.uy, r.px + ends[1] * r.ux,
                         r.py + ends[1] * r.uy, r.width, r.support});
    }
    out = join_pieces(std::move(found), s.tolerance);
}

}  // namespace orbisect::detect
